// The source table: per-source buckets of counters plus one totals bucket.
//
// Two sets of per-source buckets exist, each with its own index. add_query
// counts into the active set; once a cycle the stats thread swaps the sets
// under bucket_lock (a pointer swap) and then evaluates, exports and resets
// the retired set without the lock, while the capture counts on into the
// other set, whose buckets are all free. The totals bucket is one, outside
// both sets, and is only touched under the lock.
//
// Within a set the choices are those of two plain scans in index order (the
// source's own bucket; else the lowest-index free bucket; else takeover of
// the in-use bucket with the smallest last_packet, lowest index on ties,
// bucket 0 when none qualifies), but they are found through an index in
// constant or logarithmic time: a hash of the source addresses with a secret
// seed, a hierarchical bitmap of free buckets and a heap ordered by
// (last_packet, index). Nothing is allocated after construction.
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>

#include "base/address.h"

namespace qv {

// The address a free bucket holds. It does not by itself tell a free bucket:
// every address is an ordinary source that may claim a bucket, so whether a
// bucket is in use is kept apart (BucketSet::in_use).
inline constexpr SourceAddr FREE_ADDR = make_addr(255, 255, 255, 255);

struct Bucket {
    SourceAddr ip_addr;      // the source (by its prefix); FREE_ADDR when free
    uint32_t tcp_count;      // queries over TCP since the last reset (wraps)
    uint32_t udp_count;      // queries over any other transport (wraps)
    uint32_t qps;            // last rate the stats cycle computed; 0 after a reset
    int32_t qstats[256];     // per query-type byte (wraps); the capture never counts byte 0
    time_t first_packet;     // the last reset: start of the measuring window
    time_t last_packet;      // the latest query counted; 0 = none since the reset
    time_t alarm_set;        // the last daemon-mode alarm for this source; 0 = none
};

class BucketSet {
public:
    // count per-source buckets, all free. seed keys the address hash.
    BucketSet(int32_t count, uint64_t seed);
    ~BucketSet();
    BucketSet(const BucketSet&) = delete;
    BucketSet& operator=(const BucketSet&) = delete;

    int32_t size() const { return count_; }
    const Bucket& bucket(int32_t i) const;
    Bucket& bucket(int32_t i);
    bool in_use(int32_t i) const;
    int32_t in_use_count() const { return used_; }
    // The lowest index >= from of a bucket in use, or -1.
    int32_t next_in_use(int32_t from) const;

    // The bucket that is to count a query from source: its own, else the
    // lowest-index free one (claimed: reset at now and given the address),
    // else the one taken over (reset at now and given the address).
    int32_t find_bucket(const SourceAddr& source, time_t now);
    // Counts `count` queries of type byte qtype (low 8 bits) over protocol
    // (6 = TCP, anything else UDP) into bucket i, stamping last_packet = now.
    void count(int32_t i, int protocol, uint32_t count, uint32_t qtype, time_t now);
    // Returns bucket i to the free state, its window starting at now.
    void reset_bucket(int32_t i, time_t now);
    // Frees every bucket; touches only the buckets in use and, in them, only
    // the counters that were counted into.
    void reset_all(time_t now);

private:
    struct Slot;
    struct Index;
    int32_t count_;
    int32_t used_ = 0;
    Slot* slots_;
    Index* index_;
};

class Table {
public:
    Table(int32_t bucket_count, uint64_t seed);
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    int32_t bucket_count() const { return bucket_count_; }
    // The totals bucket's place after the per-source buckets.
    int32_t totals_index() const { return bucket_count_; }

    // Counts into the active set and the totals bucket; returns the index of
    // the source's bucket in the active set.
    int32_t add_query(const SourceAddr& source, int protocol, uint32_t count, uint32_t qtype,
                      time_t now);

    BucketSet& active() { return *active_; }
    // Makes the other set active and returns the retired one, which the
    // caller owns until it has called reset_all() on it; that must happen
    // before the next swap.
    BucketSet& swap_sets();

    Bucket& totals() { return totals_; }
    void reset_totals(time_t now);

private:
    int32_t bucket_count_;
    BucketSet sets_[2];
    BucketSet* active_;
    Bucket totals_{};
};

// Shared data that cannot be reached without its lock.
template <class T>
class LockGuarded {
public:
    template <class... Args>
    explicit LockGuarded(Args&&... args) : value_(static_cast<Args&&>(args)...) {}

    class Handle {
    public:
        Handle(std::mutex& m, T& v) : lock_(m), value_(&v) {}
        T* operator->() { return value_; }
        T& operator*() { return *value_; }

    private:
        std::unique_lock<std::mutex> lock_;
        T* value_;
    };
    Handle lock() { return Handle(bucket_lock_, value_); }

private:
    std::mutex bucket_lock_;  // the one lock of the program
    T value_;
};

// The process-wide table, built once at start-up (bucket_count per-source
// buckets per set, a secret random seed for the hash).
void alloc_buckets(int32_t bucket_count);
LockGuarded<Table>& process_table();

// Counts one query in the process-wide table: takes bucket_lock, reads the
// clock, counts in the source's bucket and in the totals bucket.
void add_query(const SourceAddr& source, int protocol, uint32_t count, uint32_t qtype);

}  // namespace qv
