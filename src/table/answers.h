// What a source, a zone or the totals were answered: answers by the class of
// their RCODE, truncated answers, and bytes.
#pragma once

#include <array>
#include <cstdint>

namespace qv {

// The classes reports break answers into, in report order.
enum AnswerClass : uint8_t { kNoError, kServFail, kNxDomain, kRefused, kOtherCode };
inline constexpr int kAnswerClasses = 5;

inline AnswerClass answer_class(uint8_t rcode) {
    switch (rcode) {
        case 0:
            return kNoError;
        case 2:
            return kServFail;
        case 3:
            return kNxDomain;
        case 5:
            return kRefused;
        default:
            return kOtherCode;
    }
}

// Counts since the last reset; per source 32 bits that wrap like the query
// counts, in the totals 64 bits.
template <class T>
struct BasicAnswerCounts {
    std::array<T, kAnswerClasses> by_class;
    T truncated;    // answers with TC set
    T bytes;        // answer bytes, as the headers give each message's length
    T query_bytes;  // bytes of the queries counted, taken the same way

    T answers() const {
        T n = 0;
        for (T c : by_class) n += c;
        return n;
    }
    void add_answer(uint8_t rcode, bool tc, uint32_t size) {
        ++by_class[answer_class(rcode)];
        truncated += tc ? 1 : 0;
        bytes += size;
    }
};
using AnswerCounts = BasicAnswerCounts<uint32_t>;
using AnswerTotals = BasicAnswerCounts<uint64_t>;
static_assert(sizeof(AnswerCounts) == 32, "with -R a source costs these bytes more a set");

}  // namespace qv
