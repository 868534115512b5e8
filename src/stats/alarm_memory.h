// When each source (or zone) was last alarmed in daemon mode, kept outside
// the buckets (which every cycle empties) so the hold-off of -a lasts across
// cycles. Bounded: it remembers at most `capacity` keys and forgets the one
// alarmed longest ago first (lowest index on ties). Nothing is allocated
// after construction.
#pragma once

#include <cstdint>
#include <ctime>

#include "base/address.h"
#include "base/indexed_map.h"
#include "table/zones.h"

namespace qv {

template <class Key>
class AlarmMemoryOf {
public:
    AlarmMemoryOf(int32_t capacity, uint64_t seed) : map_(capacity, seed, "alarm memory") {}

    // The cycle time of the key's last alarm, or 0 when none is remembered.
    time_t last_alarm(const Key& key) const {
        const int32_t i = map_.find(key);
        return i < 0 ? 0 : static_cast<time_t>(map_.entry(i).when);
    }
    // Records an alarm at cycle time t (whole seconds, kept as their low 32
    // bits); the key becomes the newest.
    void remember(const Key& key, time_t t) {
        const uint32_t when = static_cast<uint32_t>(static_cast<uint64_t>(t));
        map_.touch(map_.claim(key, when).index, when);
    }
    int32_t size() const { return map_.size(); }

private:
    struct Entry {
        const Key key;
        uint32_t when;  // the stamp
    };
    struct MapRules {
        static constexpr auto key = &Entry::key;
        static constexpr auto stamp = &Entry::when;
    };
    IndexedMap<Entry, MapRules> map_;
};

using AlarmMemory = AlarmMemoryOf<SourceAddr>;
using ZoneAlarmMemory = AlarmMemoryOf<ZoneKey>;

}  // namespace qv
