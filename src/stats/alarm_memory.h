// When each source was last alarmed in daemon mode, kept outside the buckets
// (which every cycle empties) so the hold-off of -a lasts across cycles.
// Bounded: it remembers at most `capacity` sources and forgets the one
// alarmed longest ago first. Nothing is allocated after construction.
#pragma once

#include <cstdint>
#include <ctime>

#include "base/address.h"
#include "base/hash.h"

namespace qv {

class AlarmMemory {
public:
    AlarmMemory(int32_t capacity, uint64_t seed);
    ~AlarmMemory();
    AlarmMemory(const AlarmMemory&) = delete;
    AlarmMemory& operator=(const AlarmMemory&) = delete;

    // The cycle time of the source's last alarm, or 0 when none is remembered.
    time_t last_alarm(const SourceAddr& source) const;
    // Records an alarm at cycle time t; the source becomes the newest.
    void remember(const SourceAddr& source, time_t t);
    int32_t size() const { return size_; }

private:
    struct Entry {
        SourceAddr addr;
        int32_t chain;  // next entry in the same hash chain, -1 at the end
        int32_t newer;  // age order: a doubly-linked list, oldest at head_
        int32_t older;
        time_t when;
    };
    int32_t find(const SourceAddr& addr) const;
    uint32_t chain_of(const SourceAddr& addr) const { return hash_(addr.half(0), addr.half(1)); }
    void unlink_age(int32_t i);
    void unlink_chain(int32_t i);

    int32_t capacity_;
    int32_t size_ = 0;
    Entry* entries_;
    int32_t* heads_;
    SeededHash hash_;
    int32_t oldest_ = -1;
    int32_t newest_ = -1;
};

}  // namespace qv
