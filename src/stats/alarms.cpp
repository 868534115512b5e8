#include "stats/alarms.h"

#include "base/hash.h"
#include "stats/rates.h"

namespace qv {

Alarms::Alarms(const Settings& s, int32_t bucket_count, int32_t zone_count)
    : s_(s),
      // Every source that can be in alarm in one cycle has a bucket.
      memory_(s.bucket_count, random_seed()),
      zone_memory_(s.zone_threshold > 0 ? s.zone_count : 1, random_seed()) {
    sources_.reserve(static_cast<size_t>(bucket_count));
    zones_.reserve(static_cast<size_t>(zone_count));
    sources_above_.reserve(static_cast<size_t>(bucket_count));
    zones_above_.reserve(static_cast<size_t>(zone_count));
}

bool Alarms::answer_bytes_above(const BucketSet& retired, int32_t i, time_t cycle_time) const {
    if (s_.answer_bytes_threshold == 0 || !retired.counts_answers()) return false;
    const uint32_t elapsed = elapsed_seconds(cycle_time, retired.bucket(i).first_packet);
    return answer_bytes_rate(retired.answers(i), elapsed) > s_.answer_bytes_threshold;
}

bool Alarms::held_off(time_t last, time_t cycle_time) const {
    return last != 0 && static_cast<int64_t>(cycle_time) - static_cast<int64_t>(last) <=
                            static_cast<int64_t>(s_.alarm_reset);
}

DecidedAlarms Alarms::decide(const BucketSet& retired, const ZoneSet* zones, time_t cycle_time) {
    sources_.clear();
    sources_above_.clear();
    for (int32_t i = retired.next_in_use(0); i != -1; i = retired.next_in_use(i + 1)) {
        const Bucket& b = retired.bucket(i);
        if (source_qps_at(b, cycle_time) <= s_.threshold && !answer_bytes_above(retired, i, cycle_time)) continue;
        sources_above_.push_back(i);
        if (!s_.foreground) {
            if (held_off(memory_.last_alarm(b.ip_addr), cycle_time)) continue;
            memory_.remember(b.ip_addr, cycle_time);
        }
        sources_.push_back(i);
    }

    zones_.clear();
    zones_above_.clear();
    if (zones != nullptr) {
        for (int32_t i = zones->next_in_use(0); i != -1; i = zones->next_in_use(i + 1)) {
            const ZoneCount& z = zones->zone(i);
            if (z.qps <= s_.zone_threshold) continue;
            zones_above_.push_back(i);
            if (!s_.foreground) {
                if (held_off(zone_memory_.last_alarm(z.zone), cycle_time)) continue;
                zone_memory_.remember(z.zone, cycle_time);
            }
            zones_.push_back(i);
        }
    }
    return {sources_, zones_, sources_above_, zones_above_};
}

}  // namespace qv
