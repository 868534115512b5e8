// Queries counted per zone, with the number of distinct names asked: one
// set per cycle, like the source buckets, in a bounded, seeded, indexed map
// (takeover of the zone whose last query is oldest when all are in use).
//
// Distinct names are counted exactly while a zone has seen few, then by a
// HyperLogLog sketch of 4,096 one-byte registers (standard error about
// 1.6 %). A zone's registers are touched only once it needs them, so a
// large -Z costs memory only for the zones that are asked many names.
//
// A zone's entry is two cache lines, its text within them when it is no
// longer than 63 characters (nearly every registrable domain): a query for
// a zone reads the chain head and its entry, and a set of 10,000 zones
// fits the second-level cache. Longer texts, and the names after a zone's
// first, lie in arrays of the set's own, reserved at start and touched
// only when used.
#pragma once

#include <cstdint>
#include <cstring>
#include <ctime>
#include <string_view>

#include "base/hash.h"
#include "base/indexed_map.h"

namespace qv {

inline constexpr size_t kZoneKeyMax = 255;

struct ZoneKey {
    uint8_t len = 0;
    char text[kZoneKeyMax];
    std::string_view view() const { return {text, len}; }
    static ZoneKey of(std::string_view zone) {
        ZoneKey k;
        k.len = static_cast<uint8_t>(std::min(zone.size(), kZoneKeyMax));
        std::memcpy(k.text, zone.data(), k.len);
        return k;
    }
    friend bool operator==(const ZoneKey& a, const ZoneKey& b) {
        return a.len == b.len && std::memcmp(a.text, b.text, a.len) == 0;
    }
};
inline uint32_t hash_key(const SeededHash& h, const ZoneKey& k) { return h.text(k.text, k.len); }

// A zone as a set keys it: its text, the first kZoneHead characters in the
// key itself. text points to the whole: the key's own head when it fits
// (a copy points to its own head), else the set's copy (or, while a zone is
// looked up, the caller's).
inline constexpr size_t kZoneHead = 63;
struct ZoneName {
    const char* text = nullptr;
    uint8_t len = 0;
    char head[kZoneHead] = {};

    constexpr ZoneName() = default;
    // key's zone: refers to key's text when longer than kZoneHead, which
    // key must then outlive.
    ZoneName(const ZoneKey& key) : len(key.len) {  // NOLINT: a ZoneKey is a zone
        std::memcpy(head, key.text, std::min<size_t>(key.len, kZoneHead));
        text = key.len <= kZoneHead ? head : key.text;
    }
    constexpr ZoneName(const ZoneName& o) : text(o.text), len(o.len) { copy_head(o); }
    constexpr ZoneName& operator=(const ZoneName& o) {
        text = o.text;
        len = o.len;
        copy_head(o);
        return *this;
    }

    std::string_view view() const { return {text, len}; }
    operator ZoneKey() const { return ZoneKey::of(view()); }
    static ZoneName of(const ZoneKey& key) { return ZoneName(key); }
    friend bool operator==(const ZoneName& a, const ZoneName& b) {
        if (a.len != b.len) return false;
        return std::memcmp(a.len <= kZoneHead ? a.head : a.text, a.len <= kZoneHead ? b.head : b.text,
                           a.len) == 0;
    }
    friend bool operator==(const ZoneName& a, const ZoneKey& b) { return a.view() == b.view(); }

private:
    constexpr void copy_head(const ZoneName& o) {
        for (size_t i = 0; i < kZoneHead; ++i) head[i] = o.head[i];
        if (o.text == o.head) text = head;
    }
};
inline uint32_t hash_key(const SeededHash& h, const ZoneName& k) { return h.text(k.text, k.len); }

// The distinct-name sketch's arithmetic on a register array.
namespace hll {
inline constexpr int kBits = 12;
inline constexpr size_t kRegisters = size_t{1} << kBits;
void add(uint8_t* registers, uint64_t hash);
double estimate(const uint8_t* registers);
}  // namespace hll

inline constexpr int kExactNames = 16;

struct ZoneCount {
    ZoneName zone;          // the set's to write: see ZoneSet::claim
    uint32_t queries;       // since the last reset (wraps)
    uint32_t first_packet;  // the start of the window, seconds (low 32 bits)
    uint32_t last_packet;   // the latest query; 0 = none since the reset
    uint32_t qps;           // the rate the stats cycle computed; 0 after a reset
    uint32_t names;         // the distinct names the stats cycle estimated
    uint32_t answers;       // answers with -R, since the last reset (wrap)
    uint32_t nxdomain;
    uint32_t servfail;
    uint8_t exact_count;    // distinct name hashes kept, while not dense
    bool dense;             // the names are in the zone's registers
    // The first name's hash; the next ones are in the set's own array, so
    // that a zone's entry stays small (most zones are asked few names).
    uint64_t first_name;
};

class ZoneSet {
public:
    ZoneSet(int32_t count, uint64_t seed);
    ~ZoneSet();
    ZoneSet(const ZoneSet&) = delete;
    ZoneSet& operator=(const ZoneSet&) = delete;

    int32_t size() const { return map_.capacity(); }
    int32_t in_use_count() const { return map_.size(); }
    int32_t next_in_use(int32_t from) const { return map_.next_in_use(from); }
    const ZoneCount& zone(int32_t i) const { return map_.entry(i); }
    ZoneCount& zone(int32_t i) { return map_.entry(i); }

    // One query for zone, whose name hashes to name_hash, at time now.
    void count(const ZoneKey& zone, uint64_t name_hash, time_t now);
    // One answer for zone, of the given RCODE, at time now: claims the
    // zone like a query does.
    void count_answer(const ZoneKey& zone, uint8_t rcode, time_t now);
    // The distinct names of zone i so far.
    uint32_t distinct_names(int32_t i) const;
    // Frees every zone; touches only the zones in use.
    void reset_all(time_t now);

private:
    // A zone claimed or freed starts its window at that time.
    struct MapRules {
        static constexpr auto key = &ZoneCount::zone;
        static constexpr auto stamp = &ZoneCount::last_packet;
        static void fresh(ZoneCount& z, uint32_t now) { z.first_packet = now; }
    };
    using Map = IndexedMap<ZoneCount, MapRules>;
    // key's zone, found or made fresh at t.
    int32_t claim(const ZoneKey& key, uint32_t t);
    uint8_t* registers(int32_t i) const { return registers_ + static_cast<size_t>(i) * hll::kRegisters; }
    uint64_t* more_names(int32_t i) const { return more_names_ + static_cast<size_t>(i) * (kExactNames - 1); }
    // A zone's registers, once it has used them, are zero again when it goes.
    void clear_registers(int32_t i, const ZoneCount& z) {
        if (z.dense) std::memset(registers(i), 0, hll::kRegisters);
    }

    Map map_;
    uint8_t* registers_;  // kRegisters a zone, untouched until needed
    uint64_t* more_names_;  // kExactNames - 1 a zone: the hashes after its first
    ZoneKey* long_names_;   // a zone's text when longer than kZoneHead
};

}  // namespace qv
