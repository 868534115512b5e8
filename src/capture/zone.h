// The zone of a query name: its registrable domain (the public suffix and
// one label more) by libpsl, lower case, with a trailing dot. A name that is
// itself a public suffix, or has a single label, is its own zone; the root
// is the zone ".".
//
// libpsl takes about 3,000 instructions a name, too slow for a flood of
// random subdomains or for a busy resolver's thousands of zones. But which
// rules of the list match a name depends only on its last few labels: once
// the last d labels are no suffix of any rule, no longer suffix is either.
// So at start every such suffix of a rule (a "tail") is put in a hash table
// with what libpsl says of it: whether it is a public suffix, and whether
// one label more in front of it, a label of no rule, is one (a wildcard).
// A name is then decided by looking up its suffixes from the right, one
// label more each time, until one is no tail: a handful of hash lookups of
// its last labels, whatever the number of zones. A suffix with a label that
// is not plain ASCII, or that is punycode (xn--), is asked of libpsl.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

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
    // table of tails), else the list libpsl was built with (without it:
    // every name is asked of libpsl).
    explicit ZoneFinder(uint64_t seed);
    // From the list file at path (tests); empty: libpsl's built-in list.
    ZoneFinder(uint64_t seed, const char* path);
    ~ZoneFinder();
    ZoneFinder(const ZoneFinder&) = delete;
    ZoneFinder& operator=(const ZoneFinder&) = delete;

    // The zone of name, a name in presentation form as name_text writes
    // it (each label followed by '.'; "" for the root), and the name's hash.
    void zone_of(std::string_view name, ZoneText& out);

    // Whether plain names are decided by the table of tails.
    bool cached() const { return !slots_.empty(); }
    // The tails in the table, and the bytes the table and their text take.
    size_t tail_count() const { return tails_; }
    size_t table_bytes() const { return slots_.size() * sizeof(Slot) + filter_.size() * 8 + text_.size(); }

private:
    enum : uint8_t { kPublic = 1, kWildcard = 2 };
    struct Slot {
        uint32_t check;  // the low bits of the tail's hash
        uint32_t at;     // the tail's text in text_
        uint8_t len;    // 0: an empty slot
        uint8_t flags;  // kPublic, kWildcard
    };

    // Labels in the registrable domain of text (lower case, dots between
    // labels, no final dot), or 0 when text is itself a public suffix.
    int registrable_labels(const char* text) const;
    // True when text (NUL-terminated, no final dot) is a public suffix.
    bool is_public(const char* text) const { return registrable_labels(text) == 0; }
    void build_tails(const char* path);
    // The zone of text (in lower case, n characters) by the tails; false
    // when libpsl must judge it.
    bool zone_by_tails(const char* text, size_t n, ZoneText& out) const;
    void zone_by_libpsl(const char* text, size_t n, ZoneText& out) const;
    // The tail p[0, n), whose hash state is state, or null.
    const Slot* find_tail(const char* p, size_t n, uint64_t state) const;

    const psl_ctx_st* psl_ = nullptr;
    bool own_psl_ = false;
    std::vector<Slot> slots_;  // a power of two many, at most half in use
    std::vector<char> text_;
    size_t tails_ = 0;
    bool root_wildcard_ = true;  // a single label of no rule is a public suffix
    // A tail's hash is mix() of a state taken over its bytes from the last
    // to the first, so that a name's suffixes, one label longer each time,
    // hash on from the one before. Its top bits pick the tail's first slot,
    // its low 32 bits are kept in the slot to pass over other tails without
    // reading their text. The table is made of the list alone: no name can
    // make a probe longer than its longest run of slots in use.
    uint64_t tail_state(uint64_t state, const char* p, size_t n) const;
    // A bit for every tail's hash, eight bits a slot (32 KiB for the
    // list's 9,000 or so tails): most names' first suffix that is no
    // tail is turned away here, without a read of the larger slots.
    size_t filter_bit(uint64_t h) const { return (h >> 20) & (filter_.size() * 64 - 1); }
    std::vector<uint64_t> filter_;
    uint64_t tail_seed_;
    uint64_t tail_mul_;  // odd
    int tail_shift_ = 64;
    SeededHash name_hash_;
};

}  // namespace qv
