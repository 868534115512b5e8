// The stats cycle: under bucket_lock only the cycle time, the swap of the two
// bucket sets and (when due) a copy and reset of the totals bucket; then,
// without the lock, the rates of the retired set, a summary handed to each
// consumer in turn (report lines, the metrics page), and last the sweep that
// exports and empties the retired set.
#pragma once

#include <chrono>
#include <ctime>
#include <vector>

#include "base/lines.h"
#include "base/settings.h"
#include "stats/alarm_memory.h"
#include "output/export.h"
#include "output/report_lines.h"
#include "table/table.h"

namespace qv {

// The capture's own counters of frames received and dropped by the kernel
// and by the interface, since the capture opened: 32 bits, they may wrap.
class CaptureCounters {
public:
    virtual ~CaptureCounters() = default;
    virtual bool read(uint32_t* received, uint32_t* dropped_kernel, uint32_t* dropped_interface) = 0;
};

// The capture's counters as this cycle saw them.
struct CaptureLoss {
    bool known = false;         // false in a replay, or when they could not be read
    uint32_t new_received = 0;  // since the last cycle
    uint32_t new_dropped = 0;
    // Since the capture opened, made monotonic across the 32-bit wrap.
    uint64_t received_total = 0;
    uint64_t dropped_kernel_total = 0;
    uint64_t dropped_interface_total = 0;
};

// What one cycle hands to its consumers.
struct CycleSummary {
    time_t cycle_time;
    Stamp stamp;
    // Rated: every bucket seen for 2 seconds or more has its qps. The sweep
    // empties it after the consumers.
    BucketSet* retired;
    // The zones of the cycle, rated likewise and with their distinct names
    // (null when zones are not counted).
    ZoneSet* zones = nullptr;
    bool totals_due = false;
    Bucket totals{};
    uint32_t window = 0;
    uint64_t takeovers_total = 0;
    CaptureLoss capture;
    uint64_t alarms_written = 0;  // by the report lines, for those after them
    std::chrono::steady_clock::time_point started;
};

class CycleConsumer {
public:
    virtual ~CycleConsumer() = default;
    virtual void consume(CycleSummary& summary) = 0;
    // After the sweep: how long the cycle's work took.
    virtual void cycle_done(const CycleSummary& /*summary*/, double /*seconds*/) {}
};

// Alarm lines (with the daemon-mode hold-off), the totals line and the
// capture-loss line.
class ReportLines final : public CycleConsumer {
public:
    ReportLines(const Settings& s, LineSink& out);
    void consume(CycleSummary& summary) override;

private:
    void alarm_pass(CycleSummary& summary);
    void zone_alarm_pass(CycleSummary& summary);
    void report_capture_loss(const CycleSummary& summary);

    const Settings& s_;
    LineSink& out_;
    AlarmMemory memory_;
    ZoneAlarmMemory zone_memory_;
};

class StatsCycle {
public:
    // counters may be null (a replay has no capture losses to report).
    StatsCycle(const Settings& s, LockGuarded<Table>& table, LineSink& out,
               DatagramSender& sender, const HostJson& host,
               CaptureCounters* counters = nullptr);

    // Another consumer after the report lines (not owned).
    void add_consumer(CycleConsumer* c) { consumers_.push_back(c); }

    // One cycle at time `at`: the clock's reading in a live capture, the
    // packets' clock in a replay. Returns the cycle time.
    time_t run(time_t at);

private:
    void rate_pass(BucketSet& retired, time_t cycle_time);
    void rate_zones(ZoneSet& zones, time_t cycle_time);
    CaptureLoss read_capture();

    const Settings& s_;
    LockGuarded<Table>& table_;
    DatagramSender& sender_;
    const HostJson& host_;
    ReportLines lines_;
    std::vector<CycleConsumer*> consumers_;
    CaptureCounters* counters_;
    uint32_t last_received_ = 0;
    uint32_t last_kernel_ = 0;
    uint32_t last_interface_ = 0;
    CaptureLoss totals_;
};

// Starts the stats thread: the collector set-up, then a cycle at once and
// another stats_interval seconds after each one ends. extra (may be null)
// is one more consumer. A thread that cannot be created ends the process
// through fatal(), "unable to start the stats thread: %s\n".
void start_stats_thread(const Settings& s, CaptureCounters* counters, CycleConsumer* extra);

}  // namespace qv
