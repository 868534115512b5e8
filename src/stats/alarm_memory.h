// When each source was last alarmed in daemon mode, kept outside the buckets
// (which every cycle empties) so the hold-off of -a lasts across cycles.
// Bounded: it remembers at most `capacity` sources and forgets the one
// alarmed longest ago first (lowest index on ties). Nothing is allocated
// after construction.
#pragma once

#include <cstdint>
#include <ctime>

#include "base/address.h"
#include "base/indexed_map.h"

namespace qv {

class AlarmMemory {
public:
    AlarmMemory(int32_t capacity, uint64_t seed);

    // The cycle time of the source's last alarm, or 0 when none is remembered.
    time_t last_alarm(const SourceAddr& source) const;
    // Records an alarm at cycle time t (whole seconds, kept as their low 32
    // bits); the source becomes the newest.
    void remember(const SourceAddr& source, time_t t);
    int32_t size() const { return map_.size(); }

private:
    struct Entry {
        SourceAddr addr;
        uint32_t when;
    };
    IndexedMap<Entry, SourceAddr, &Entry::addr> map_;
};

}  // namespace qv
