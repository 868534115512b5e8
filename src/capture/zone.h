// The zone of a query name: its registrable domain (the public suffix and
// one label more) by libpsl, lower case, with a trailing dot. A name that is
// itself a public suffix, or has a single label, is its own zone; the root
// is the zone ".".
//
// libpsl takes about half a microsecond a name, too slow for a flood of
// random subdomains. The zone of a name depends on the labels after its
// first, except where the public suffix list has rules right below them; so
// the answer for those labels is kept in a small cache, and names under a
// parent that has such rules (or that is not plain ASCII) always ask libpsl.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

#include "base/hash.h"

struct psl_ctx_st;

namespace qv {

// A zone's text: at most kZoneMax characters (a longer one is cut).
inline constexpr size_t kZoneMax = 255;
struct ZoneText {
    char text[kZoneMax + 1];
    uint8_t len = 0;
    uint64_t name_hash = 0;  // of the whole name in lower case, for counting distinct names
    std::string_view view() const { return {text, len}; }
};

class ZoneFinder {
public:
    // The system's public suffix list file when there is one (with the
    // cache), else the list libpsl was built with (without it).
    explicit ZoneFinder(uint64_t seed);
    // From the list file at path (tests); empty: libpsl's built-in list.
    ZoneFinder(uint64_t seed, const char* path);
    ~ZoneFinder();
    ZoneFinder(const ZoneFinder&) = delete;
    ZoneFinder& operator=(const ZoneFinder&) = delete;

    // The zone of name, a name in presentation form as name_text writes
    // it (each label followed by '.'; "" for the root), and the name's hash.
    void zone_of(std::string_view name, ZoneText& out);

    bool cached() const { return cache_ != nullptr; }

private:
    struct CacheSlot {
        uint8_t len;        // of the parent's text; 0: empty slot
        uint8_t labels;     // of the zone, from the right; 0: the whole name
        char parent[kZoneMax];
    };
    static constexpr size_t kCacheSlots = 4096;

    // Labels in the registrable domain of text (lower case, dots between
    // labels, no final dot), or 0 when text is itself a public suffix.
    int registrable_labels(const char* text);

    const psl_ctx_st* psl_ = nullptr;
    bool own_psl_ = false;
    std::unordered_set<std::string> parents_;  // with rules right below them
    CacheSlot* cache_ = nullptr;
    SeededHash hash_;
    SeededHash name_hash_;
};

}  // namespace qv
