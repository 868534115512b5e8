// Which sources and zones alarm in a cycle, decided once, before any
// consumer reads the cycle, so that the report lines, the metrics page and
// whatever comes after them all see the same alarms.
//
// A source alarms when its rate is above -t, or (with -B) when it was sent
// more answer bytes per second than -B; a zone when its rate is above -T. In daemon mode a key alarmed at cycle time T stays quiet while the
// cycle time is at most T + alarm_reset (-a); the time of each key's last
// alarm is kept in a bounded memory across cycles (see alarm_memory.h).
// Nothing is allocated per cycle: the lists of decided alarms are reserved
// for every bucket and zone of a set when the unit is built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <vector>

#include "base/settings.h"
#include "stats/alarm_memory.h"
#include "table/table.h"
#include "table/zones.h"

namespace qv {

// The alarms of one cycle, as indexes into its retired set and its zones,
// in index order. Valid until the next decide().
struct DecidedAlarms {
    std::span<const int32_t> sources;
    std::span<const int32_t> zones;
    // Every source and zone above its threshold, whatever the hold-off
    // (in foreground mode the same as the alarms).
    std::span<const int32_t> sources_above;
    std::span<const int32_t> zones_above;
    size_t count() const { return sources.size() + zones.size(); }
};

class Alarms {
  public:
    // bucket_count and zone_count: the size of one bucket set and of one
    // zone set (0 when zones are not counted).
    Alarms(const Settings& s, int32_t bucket_count, int32_t zone_count);

    // Decides over the retired set and the rated zones (null when not
    // counted) at cycle_time.
    DecidedAlarms decide(const BucketSet& retired, const ZoneSet* zones, time_t cycle_time);

  private:
    // Daemon mode: whether a key last alarmed at `last` (0: never) is still
    // held off at cycle_time.
    bool held_off(time_t last, time_t cycle_time) const;
    // -B: whether source i was sent more answer bytes per second than that.
    bool answer_bytes_above(const BucketSet& retired, int32_t i, time_t cycle_time) const;

    const Settings& s_;
    AlarmMemory memory_;
    ZoneAlarmMemory zone_memory_;
    std::vector<int32_t> sources_;
    std::vector<int32_t> zones_;
    std::vector<int32_t> sources_above_;
    std::vector<int32_t> zones_above_;
};

}  // namespace qv
