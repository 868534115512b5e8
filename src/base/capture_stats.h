// Counts the capture thread keeps for the metrics page: 64-bit, only ever
// growing while the process lives. One thread writes them (a plain load
// and store, no locked instruction), others read them at any time.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace qv {

// What became of a frame, in the order the metrics page lists them.
enum class FrameResult : uint8_t { counted, type0, response, malformed, other, answer };
inline constexpr int kFrameResults = 6;
inline constexpr std::array<const char*, kFrameResults> frame_result_names = {
    "counted", "type0", "response", "malformed", "other", "answer"};
// What a frame that carried several messages (a TCP segment) was: the best
// of them, in this order.
inline int frame_rank(FrameResult r) {
    static constexpr std::array<int, kFrameResults> rank = {0, 2, 3, 4, 5, 1};
    return rank[static_cast<size_t>(r)];
}

// The answer codes the metrics page breaks out, by RCODE; every other code
// counts as "other", the last row.
inline constexpr std::array<const char*, 7> answer_code_names = {
    "NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN", "NOTIMP", "REFUSED", "other"};
inline constexpr int kAnswerCodeRows = static_cast<int>(answer_code_names.size());
inline int answer_code_row(uint8_t rcode) { return rcode < kAnswerCodeRows - 1 ? rcode : kAnswerCodeRows - 1; }

// The query types the metrics page breaks out, by their full 16-bit code;
// every other type counts as "other", the last row.
struct MetricType {
    const char* name;
    uint16_t code;
};
inline constexpr std::array<MetricType, 18> metric_types = {{
    {"A", 1},      {"NS", 2},      {"CNAME", 5},   {"SOA", 6},   {"PTR", 12},   {"MX", 15},
    {"TXT", 16},   {"AAAA", 28},   {"SRV", 33},    {"NAPTR", 35}, {"DS", 43},   {"DNSKEY", 48},
    {"SVCB", 64},  {"HTTPS", 65},  {"CAA", 257},   {"ANY", 255}, {"AXFR", 252}, {"IXFR", 251},
}};
inline constexpr int kMetricTypeRows = static_cast<int>(metric_types.size()) + 1;

namespace metric_types_detail {
// The row of each type below 256, found once: one load a query.
struct RowTable {
    uint8_t row[256] = {};
    constexpr RowTable() {
        for (auto& r : row) r = static_cast<uint8_t>(kMetricTypeRows - 1);
        for (size_t i = 0; i < metric_types.size(); ++i) {
            if (metric_types[i].code < 256) row[metric_types[i].code] = static_cast<uint8_t>(i);
        }
    }
};
inline constexpr RowTable kRows;
}  // namespace metric_types_detail

// The row of a query type, "other" included.
inline int metric_type_row(uint16_t qtype) {
    if (qtype < 256) return metric_types_detail::kRows.row[qtype];
    for (int i = 0; i < static_cast<int>(metric_types.size()); ++i) {
        if (metric_types[static_cast<size_t>(i)].code == qtype) return i;
    }
    return kMetricTypeRows - 1;
}

class CaptureStats {
public:
    using Counter = std::atomic<uint64_t>;

    void frame(FrameResult r) { bump(frames_[static_cast<size_t>(r)]); }
    // family 4 or 6, protocol 6 (TCP) or 17 (UDP).
    void query(uint8_t family, uint8_t protocol, uint16_t qtype) {
        bump(queries_[family == 6 ? 1 : 0][protocol == 6 ? 1 : 0]);
        bump(by_type_[static_cast<size_t>(metric_type_row(qtype))]);
    }

    // A counted answer of size bytes.
    void answer(uint8_t family, uint8_t protocol, uint8_t rcode, bool truncated, uint32_t size) {
        const size_t v6 = family == 6 ? 1 : 0, tcp = protocol == 6 ? 1 : 0;
        bump(answers_[v6][tcp][static_cast<size_t>(answer_code_row(rcode))]);
        add(answer_bytes_[v6][tcp], size);
        if (truncated) bump(truncated_);
    }
    // The bytes of a counted query, when answers are counted.
    void query_bytes(uint8_t family, uint8_t protocol, uint32_t size) {
        add(query_bytes_[family == 6 ? 1 : 0][protocol == 6 ? 1 : 0], size);
    }

    uint64_t answers(bool ipv6, bool tcp, int row) const { return read(answers_[ipv6][tcp][static_cast<size_t>(row)]); }
    uint64_t answer_bytes(bool ipv6, bool tcp) const { return read(answer_bytes_[ipv6][tcp]); }
    uint64_t query_bytes(bool ipv6, bool tcp) const { return read(query_bytes_[ipv6][tcp]); }
    uint64_t truncated() const { return read(truncated_); }

    uint64_t frames(FrameResult r) const { return read(frames_[static_cast<size_t>(r)]); }
    uint64_t queries(bool ipv6, bool tcp) const { return read(queries_[ipv6][tcp]); }
    uint64_t by_type(int row) const { return read(by_type_[static_cast<size_t>(row)]); }

private:
    // Only the capture thread writes: no read-modify-write needed.
    static void bump(Counter& c) { add(c, 1); }
    static void add(Counter& c, uint64_t n) { c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed); }
    static uint64_t read(const Counter& c) { return c.load(std::memory_order_relaxed); }

    std::array<Counter, kFrameResults> frames_{};
    Counter queries_[2][2]{};
    std::array<Counter, kMetricTypeRows> by_type_{};
    std::array<Counter, kAnswerCodeRows> answers_[2][2]{};
    Counter answer_bytes_[2][2]{};
    Counter query_bytes_[2][2]{};
    Counter truncated_{};
};

}  // namespace qv
