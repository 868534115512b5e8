#include "table/zones.h"

#include <bit>
#include <cmath>
#include <cstdlib>

#include "base/memory.h"

namespace qv {
namespace hll {

void add(uint8_t* registers, uint64_t hash) {
    const size_t index = hash >> (64 - kBits);
    // The position of the first 1 bit in the rest, from 1; all zero gives
    // the largest rank.
    const uint64_t rest = hash << kBits;
    const uint8_t rank = static_cast<uint8_t>(rest == 0 ? 64 - kBits + 1 : std::countl_zero(rest) + 1);
    if (rank > registers[index]) registers[index] = rank;
}

double estimate(const uint8_t* registers) {
    const double m = static_cast<double>(kRegisters);
    double sum = 0;
    size_t zeros = 0;
    for (size_t i = 0; i < kRegisters; ++i) {
        sum += std::ldexp(1.0, -registers[i]);
        zeros += registers[i] == 0;
    }
    const double alpha = 0.7213 / (1 + 1.079 / m);
    const double raw = alpha * m * m / sum;
    // Few distinct values: linear counting of the empty registers is the
    // better estimate. A 64-bit hash needs no correction at the top.
    if (raw <= 2.5 * m && zeros != 0) return m * std::log(m / static_cast<double>(zeros));
    return raw;
}

}  // namespace hll

ZoneSet::ZoneSet(int32_t count, uint64_t seed) : map_(count, seed, "zones") {
    registers_ = static_cast<uint8_t*>(
        alloc_or_die(static_cast<size_t>(map_.capacity()) * hll::kRegisters, "zones"));
    more_names_ = static_cast<uint64_t*>(
        alloc_or_die(static_cast<size_t>(map_.capacity()) * (kExactNames - 1) * sizeof(uint64_t), "zones"));
    long_names_ = static_cast<ZoneKey*>(alloc_or_die(static_cast<size_t>(map_.capacity()) * sizeof(ZoneKey), "zones"));
}

// The entry's size is what a query reads: two cache lines, the chain link
// after it included.
static_assert(sizeof(ZoneCount) + sizeof(int32_t) <= 128);

ZoneSet::~ZoneSet() {
    std::free(long_names_);
    std::free(more_names_);
    std::free(registers_);
}

int32_t ZoneSet::claim(const ZoneKey& key, uint32_t t) {
    // Registers are zero when a zone is claimed: never used, or cleared as
    // the zone before it went.
    const auto c = map_.claim(ZoneName::of(key), t,
                              [this](int32_t j, const ZoneCount& old) { clear_registers(j, old); });
    if (c.how != Map::How::found) {
        // A fresh entry's long text is still the caller's: the set keeps
        // its own. (A short one is in the entry's key.)
        ZoneName& z = map_.entry(c.index).zone;
        if (key.len > kZoneHead) {
            ZoneKey& copy = long_names_[c.index];
            copy = key;
            z.text = copy.text;
        }
    }
    return c.index;
}

void ZoneSet::count(const ZoneKey& key, uint64_t name_hash, time_t now) {
    const uint32_t t = static_cast<uint32_t>(static_cast<uint64_t>(now));
    const int32_t i = claim(key, t);
    ZoneCount& z = map_.entry(i);
    ++z.queries;
    if (z.dense) {
        hll::add(registers(i), name_hash);
    } else {
        uint64_t* more = more_names(i);
        bool seen = z.exact_count > 0 && z.first_name == name_hash;
        for (int k = 1; k < z.exact_count; ++k) seen |= more[k - 1] == name_hash;
        if (!seen) {
            if (z.exact_count == 0) {
                z.first_name = name_hash;
                z.exact_count = 1;
            } else if (z.exact_count < kExactNames) {
                more[z.exact_count - 1] = name_hash;
                ++z.exact_count;
            } else {
                uint8_t* r = registers(i);
                hll::add(r, z.first_name);
                for (int k = 0; k < kExactNames - 1; ++k) hll::add(r, more[k]);
                hll::add(r, name_hash);
                z.dense = true;
            }
        }
    }
    map_.touch(i, t);
}

void ZoneSet::count_answer(const ZoneKey& key, uint8_t rcode, time_t now) {
    const uint32_t t = static_cast<uint32_t>(static_cast<uint64_t>(now));
    const int32_t i = claim(key, t);
    ZoneCount& z = map_.entry(i);
    ++z.answers;
    z.nxdomain += rcode == 3 ? 1 : 0;
    z.servfail += rcode == 2 ? 1 : 0;
    map_.touch(i, t);
}

uint32_t ZoneSet::distinct_names(int32_t i) const {
    const ZoneCount& z = map_.entry(i);
    if (!z.dense) return z.exact_count;
    return static_cast<uint32_t>(std::llround(hll::estimate(registers(i))));
}

void ZoneSet::reset_all(time_t now) {
    map_.release_all(static_cast<uint32_t>(static_cast<uint64_t>(now)),
                     [this](int32_t i, const ZoneCount& z) { clear_registers(i, z); });
}

}  // namespace qv
