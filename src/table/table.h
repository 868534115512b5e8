// The source table: per-source buckets of counters plus one totals bucket.
//
// Two sets of per-source buckets exist, each with its own index. add_query
// counts into the active set; once a cycle the stats thread swaps the sets
// under bucket_lock (a pointer swap) and then evaluates, exports and resets
// the retired set without the lock, while the capture counts on into the
// other set, whose buckets are all free. The totals bucket is one, outside
// both sets, and is only touched under the lock.
//
// Within a set a source's bucket is its own; else the lowest-index free
// bucket; else the bucket in use whose last_packet is smallest (lowest index
// on ties, bucket 0 when none has counted a query since its reset) is taken
// over. The choices are found by an IndexedMap; nothing is allocated after
// construction.
//
// Times are whole seconds passed in by the caller (the packet's time, the
// cycle's time). A bucket keeps their low 32 bits: the rates use only
// differences of those, and unsigned 32-bit seconds order the takeover
// correctly until 2106.
#pragma once

#include <cstdint>
#include <ctime>

#include "base/address.h"
#include "base/indexed_map.h"
#include "base/lock_guarded.h"
#include "table/answers.h"
#include "table/observation.h"
#include "table/query_types.h"
#include "table/zones.h"

#include <memory>

namespace qv {

// The address a free bucket holds. It does not by itself tell a free bucket:
// every address is an ordinary source that may claim a bucket, so whether a
// bucket is in use is kept apart (BucketSet::in_use).
inline constexpr SourceAddr FREE_ADDR = make_addr(255, 255, 255, 255);

// 76 bytes (the address's family byte costs one word): with its chain link,
// its chain head and its place in the takeover heap a source costs 96 bytes
// a set, and 128 with the answer counts of -R. Rates are not kept: the cycle
// reads them from the counts and the window (stats/rates.h).
struct Bucket {
    SourceAddr ip_addr;      // the source (by its prefix); FREE_ADDR when free
    bool verified;           // completed a TCP handshake since the reset (in the address's padding)
    uint32_t tcp_count;      // queries over TCP since the last reset (wraps)
    uint32_t udp_count;      // queries over any other transport (wraps)
    uint32_t last_packet;    // the latest query counted; 0 = none since the reset
    uint32_t first_packet;   // the last reset: start of the measuring window
    int32_t qstats[kReportedTypes];  // per reported type, in query_types order (wraps)

    // The count of a query type byte: its slot's, or 0 for a type not broken out.
    int32_t type_count(uint8_t code) const {
        const int s = type_slot(code);
        return s < 0 ? 0 : qstats[s];
    }
};
static_assert(sizeof(Bucket) == 76, "every byte of a bucket is paid for once per source and set");

// The low 32 bits of a time, as a bucket keeps it.
inline uint32_t stamp_of(time_t t) { return static_cast<uint32_t>(static_cast<uint64_t>(t)); }

class BucketSet {
public:
    // count per-source buckets, all free. seed keys the address hash. With
    // answers, each bucket has its answer counts beside it.
    BucketSet(int32_t count, uint64_t seed, bool answers = false);
    ~BucketSet();
    BucketSet(const BucketSet&) = delete;
    BucketSet& operator=(const BucketSet&) = delete;

    int32_t size() const { return map_.capacity(); }
    const Bucket& bucket(int32_t i) const;
    Bucket& bucket(int32_t i);
    bool in_use(int32_t i) const { return map_.in_use(i); }
    int32_t in_use_count() const { return map_.size(); }
    // The lowest index >= from of a bucket in use, or -1.
    int32_t next_in_use(int32_t from) const { return map_.next_in_use(from); }

    // The bucket that is to count a query from source: its own, else the
    // lowest-index free one (claimed: reset at now and given the address),
    // else the one taken over (reset at now and given the address).
    int32_t find_bucket(const SourceAddr& source, time_t now);
    // Counts `count` queries of type qtype over protocol
    // (6 = TCP, anything else UDP) into bucket i, stamping last_packet = now.
    void count(int32_t i, int protocol, uint32_t count, uint32_t qtype, time_t now);
    // Counts one observation into bucket i (its source's), stamping
    // last_packet.
    void count(int32_t i, const Observation& o);
    // Whether the buckets have answer counts, and bucket i's (zero when it
    // has not been answered since its reset).
    bool counts_answers() const { return answers_ != nullptr; }
    const AnswerCounts& answers(int32_t i) const { return answers_[i]; }
    AnswerCounts& answers(int32_t i) { return answers_[i]; }
    // Returns bucket i to the free state, its window starting at now.
    void reset_bucket(int32_t i, time_t now);
    // Frees every bucket; touches only the buckets in use.
    void reset_all(time_t now);
    // Buckets taken over from another source since the set was built.
    uint64_t takeovers() const { return takeovers_; }

private:
    // A bucket claimed or freed starts its window at that time; a free one
    // holds FREE_ADDR. The address stays an ordinary member, Bucket being
    // also the totals record and a plain value copied elsewhere; in a set
    // only the map writes it.
    struct MapRules {
        static constexpr auto key = &Bucket::ip_addr;
        static constexpr auto stamp = &Bucket::last_packet;
        static constexpr SourceAddr vacant = FREE_ADDR;
        static void fresh(Bucket& b, uint32_t now) { b.first_packet = now; }
    };
    using Map = IndexedMap<Bucket, MapRules>;

    Map map_;
    AnswerCounts* answers_ = nullptr;  // one per bucket, with answers
    uint64_t takeovers_ = 0;
};

class Table {
public:
    // zone_count zones a set when zones are counted (-T), else 0; answers
    // with -R.
    Table(int32_t bucket_count, uint64_t seed, int32_t zone_count = 0, bool answers = false);
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    int32_t bucket_count() const { return bucket_count_; }
    // The totals bucket's place after the per-source buckets.
    int32_t totals_index() const { return bucket_count_; }

    // Counts into the active set and the totals bucket; returns the index of
    // the source's bucket in the active set.
    int32_t add_query(const SourceAddr& source, int protocol, uint32_t count, uint32_t qtype,
                      time_t now);
    // Counts one observation into its source's bucket in the active set, the
    // totals and its zone, if any; returns the bucket's index.
    int32_t add(const Observation& o);
    bool counts_answers() const { return sets_[0].counts_answers(); }

    BucketSet& active() { return *active_; }
    // Makes the other set active and returns the retired one, which the
    // caller owns until it has called reset_all() on it; that must happen
    // before the next swap. The zone sets swap with them.
    BucketSet& swap_sets();

    // Counts one query for a zone (when zones are counted).
    void count_zone(const ZoneKey& zone, uint64_t name_hash, time_t now);
    bool counts_zones() const { return zones_[0] != nullptr; }
    ZoneSet* active_zones() { return zones_[active_zone_].get(); }
    // The zones retired by the last swap, the caller's until it has called
    // reset_all() on them (null when zones are not counted).
    ZoneSet* retired_zones() { return zones_[1 - active_zone_].get(); }

    Bucket& totals() { return totals_; }
    AnswerTotals& answer_totals() { return answer_totals_; }
    // Resets the totals bucket and answer totals.
    void reset_totals(time_t now);
    // Buckets taken over from another source, in both sets, ever.
    uint64_t takeovers() const { return sets_[0].takeovers() + sets_[1].takeovers(); }

private:
    int32_t bucket_count_;
    BucketSet sets_[2];
    BucketSet* active_;
    Bucket totals_{};
    AnswerTotals answer_totals_{};
    std::unique_ptr<ZoneSet> zones_[2];
    int active_zone_ = 0;
};

}  // namespace qv
