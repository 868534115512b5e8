// The stats cycle: under bucket_lock only the cycle time, the swap of the two
// bucket sets and (when due) a copy and reset of the totals bucket; then,
// without the lock, the alarm lines of the retired set, the totals line, and
// the sweep that exports and empties the retired set.
#pragma once

#include <ctime>

#include "base/lines.h"
#include "base/settings.h"
#include "stats/alarm_memory.h"
#include "stats/export.h"
#include "stats/lines.h"
#include "table/table.h"

namespace qv {

// The capture's own counters of frames received and dropped (by the kernel
// or the interface), since the capture opened.
class CaptureCounters {
public:
    virtual ~CaptureCounters() = default;
    virtual bool read(uint32_t* received, uint32_t* dropped) = 0;
};

class StatsCycle {
public:
    // counters may be null (a replay has no capture losses to report).
    StatsCycle(const Settings& s, LockGuarded<Table>& table, LineSink& out,
               DatagramSender& sender, const HostJson& host,
               CaptureCounters* counters = nullptr);

    // One cycle at time `at`: the clock's reading in a live capture, the
    // packets' clock in a replay. Returns the cycle time.
    time_t run(time_t at);

private:
    void alarm_pass(BucketSet& retired, time_t cycle_time, const Stamp& stamp);
    void report_capture_loss(const Stamp& stamp);

    const Settings& s_;
    LockGuarded<Table>& table_;
    LineSink& out_;
    DatagramSender& sender_;
    const HostJson& host_;
    AlarmMemory memory_;
    CaptureCounters* counters_;
    uint32_t last_received_ = 0;
    uint32_t last_dropped_ = 0;
};

// Starts the stats thread: the collector set-up, then a cycle at once and
// another stats_interval seconds after each one ends. A thread that cannot
// be created ends the process with status 1.
void start_stats_thread(const Settings& s, CaptureCounters* counters);

}  // namespace qv
