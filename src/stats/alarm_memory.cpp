#include "stats/alarm_memory.h"

namespace qv {

AlarmMemory::AlarmMemory(int32_t capacity, uint64_t seed) : map_(capacity, seed, "alarm memory") {}

time_t AlarmMemory::last_alarm(const SourceAddr& source) const {
    const int32_t i = map_.find(source);
    return i < 0 ? 0 : static_cast<time_t>(map_.entry(i).when);
}

void AlarmMemory::remember(const SourceAddr& source, time_t t) {
    const uint32_t when = static_cast<uint32_t>(static_cast<uint64_t>(t));
    const int32_t i = map_.find_or_claim(source, when).index;
    map_.entry(i).when = when;
    map_.stamp(i, when);
}

}  // namespace qv
