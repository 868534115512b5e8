#include "table/table.h"

#include <cassert>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/hash.h"
#include "base/memory.h"

namespace qv {
namespace {

constexpr const char* kLabel = "bb";

// Two's complement wrap without signed overflow.
int32_t add_wrapping(int32_t value, uint32_t count) {
    return static_cast<int32_t>(static_cast<uint32_t>(value) + count);
}

void add_counts(Bucket& b, int protocol, uint32_t count, uint32_t qtype) {
    if (protocol == 6) {
        b.tcp_count += count;
    } else {
        b.udp_count += count;
    }
    const int slot = type_slot(qtype);
    if (slot >= 0) b.qstats[slot] = add_wrapping(b.qstats[slot], count);
}

// What a never-used bucket reads as: its slot is still all zero bytes, and
// a free slot that was ever used holds FREE_ADDR, never the all-zero address.
constexpr Bucket kNeverUsed = {FREE_ADDR, false, 0, 0, 0, 0, {}};

}  // namespace

BucketSet::BucketSet(int32_t count, uint64_t seed, bool answers) : map_(count, seed, kLabel) {
    // Bucket 0 must exist: it is the takeover of last resort.
    assert(count >= 1);
    // Zero pages until used, like the buckets.
    if (answers) {
        const size_t bytes = static_cast<size_t>(map_.capacity()) * sizeof(AnswerCounts);
        answers_ = static_cast<AnswerCounts*>(std::calloc(1, bytes));
        if (answers_ == nullptr) malloc_fail(kLabel, bytes);
    }
}

BucketSet::~BucketSet() { std::free(answers_); }

const Bucket& BucketSet::bucket(int32_t i) const {
    assert(i >= 0 && i < size());
    if (!in_use(i) && map_.key(i) == SourceAddr{}) return kNeverUsed;
    return map_.entry(i);
}

Bucket& BucketSet::bucket(int32_t i) {
    assert(i >= 0 && i < size());
    // Made what it reads as: free, its window starting at 0.
    if (!in_use(i) && map_.key(i) == SourceAddr{}) map_.release(i, 0);
    return map_.entry(i);
}

int32_t BucketSet::find_bucket(const SourceAddr& source, time_t now) {
    // Claimed or taken over, the bucket is fresh: a clean window from now on.
    const auto c = map_.claim(source, stamp_of(now));
    if (c.how == Map::How::taken_over) ++takeovers_;
    if (answers_ != nullptr && c.how != Map::How::found) answers_[c.index] = AnswerCounts{};
    return c.index;
}

void BucketSet::count(int32_t i, const Observation& o) {
    assert(in_use(i));
    Bucket& b = map_.entry(i);
    if (o.handshake) {
        b.verified = true;
    } else if (o.answer) {
        answers_[i].add_answer(o.rcode, o.truncated, o.size);
    } else {
        add_counts(b, o.protocol, 1, o.qtype);
        if (answers_ != nullptr) answers_[i].query_bytes += o.size;
    }
    map_.touch(i, stamp_of(o.time));
}

void BucketSet::count(int32_t i, int protocol, uint32_t count, uint32_t qtype, time_t now) {
    assert(in_use(i));
    Bucket& b = map_.entry(i);
    add_counts(b, protocol, count, qtype);
    // Whole seconds: most queries leave the takeover order alone.
    map_.touch(i, stamp_of(now));
}

void BucketSet::reset_bucket(int32_t i, time_t now) {
    assert(i >= 0 && i < size());
    map_.release(i, stamp_of(now));
    if (answers_ != nullptr) answers_[i] = AnswerCounts{};
}

void BucketSet::reset_all(time_t now) {
    if (answers_ == nullptr) {
        map_.release_all(stamp_of(now));
    } else {
        map_.release_all(stamp_of(now), [this](int32_t i, const Bucket&) { answers_[i] = AnswerCounts{}; });
    }
}

// ---- the table -----------------------------------------------------------

Table::Table(int32_t bucket_count, uint64_t seed, int32_t zone_count, bool answers)
    : bucket_count_(bucket_count),
      sets_{BucketSet(bucket_count, SeededHash::mix(seed ^ 0xA5A5A5A5A5A5A5A5ull), answers),
            BucketSet(bucket_count, SeededHash::mix(seed ^ 0x5A5A5A5A5A5A5A5Aull), answers)},
      active_(&sets_[0]) {
    totals_.ip_addr = FREE_ADDR;
    if (zone_count > 0) {
        zones_[0] = std::make_unique<ZoneSet>(zone_count, SeededHash::mix(seed ^ 0x3C3C3C3C3C3C3C3Cull));
        zones_[1] = std::make_unique<ZoneSet>(zone_count, SeededHash::mix(seed ^ 0xC3C3C3C3C3C3C3C3ull));
    }
}

void Table::count_zone(const ZoneKey& zone, uint64_t name_hash, time_t now) {
    if (ZoneSet* z = active_zones()) z->count(zone, name_hash, now);
}

int32_t Table::add_query(const SourceAddr& source, int protocol, uint32_t count, uint32_t qtype,
                         time_t now) {
    int32_t i = active_->find_bucket(source, now);
    active_->count(i, protocol, count, qtype, now);
    add_counts(totals_, protocol, count, qtype);
    return i;
}

int32_t Table::add(const Observation& o) {
    const int32_t i = active_->find_bucket(o.who, o.time);
    active_->count(i, o);
    if (o.handshake) return i;  // nothing for the totals or the zones
    if (o.answer) {
        answer_totals_.add_answer(o.rcode, o.truncated, o.size);
    } else {
        add_counts(totals_, o.protocol, 1, o.qtype);
        if (counts_answers()) answer_totals_.query_bytes += o.size;
    }
    if (o.zone != nullptr) {
        if (ZoneSet* z = active_zones()) {
            if (o.answer) {
                z->count_answer(*o.zone->zone, o.rcode, o.time);
            } else {
                z->count(*o.zone->zone, o.zone->name_hash, o.time);
            }
        }
    }
    return i;
}

BucketSet& Table::swap_sets() {
    BucketSet& retired = *active_;
    active_ = active_ == &sets_[0] ? &sets_[1] : &sets_[0];
    // The set coming back must have been reset after it was retired.
    assert(active_->in_use_count() == 0);
    active_zone_ = 1 - active_zone_;
    return retired;
}

void Table::reset_totals(time_t now) {
    totals_ = Bucket{};
    totals_.ip_addr = FREE_ADDR;
    totals_.first_packet = stamp_of(now);
    answer_totals_ = AnswerTotals{};
}

}  // namespace qv
