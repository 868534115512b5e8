// The stats cycle: under bucket_lock only the cycle time, the swap of the two
// bucket sets and (when due) a copy and reset of the totals bucket; then,
// without the lock, the rates of the retired set, the decision of the
// cycle's alarms, a const summary handed to each consumer in turn (report
// lines, JSON export, metrics page: see src/output/), and last the reset of
// the retired set and zones. The cycle owns no consumer; start-up adds them.
#pragma once

#include <chrono>
#include <ctime>
#include <vector>

#include "base/lock_guarded.h"
#include "base/settings.h"
#include "stats/alarms.h"
#include "table/table.h"
#include "table/zones.h"

namespace qv {

// The capture's own counters of frames received and dropped by the kernel
// and by the interface, since the capture opened: 32 bits, they may wrap.
class CaptureCounters {
  public:
    virtual ~CaptureCounters() = default;
    virtual bool read(uint32_t* received, uint32_t* dropped_kernel,
                      uint32_t* dropped_interface) = 0;
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

// What one cycle hands to its consumers, read-only.
struct CycleSummary {
    time_t cycle_time;
    // The sources of the cycle (their rates: source_qps_at). The cycle
    // empties it after the consumers.
    const BucketSet* retired;
    // The zones of the cycle, rated likewise and with their distinct names
    // (null when zones are not counted).
    const ZoneSet* zones = nullptr;
    DecidedAlarms alarms;
    bool totals_due = false;
    Bucket totals{};
    // With -R: the answer totals of the same window (when due).
    bool answers = false;
    AnswerTotals answer_totals{};
    uint32_t window = 0;
    uint64_t takeovers_total = 0;
    CaptureLoss capture;
    std::chrono::steady_clock::time_point started;
};

class CycleConsumer {
  public:
    virtual ~CycleConsumer() = default;
    virtual void consume(const CycleSummary& summary) = 0;
    // After the reset (the summary's sets are empty by then): how long the
    // cycle's work took.
    virtual void cycle_done(const CycleSummary& /*summary*/, double /*seconds*/) {}
};

class StatsCycle {
  public:
    // counters may be null (a replay has no capture losses to report).
    StatsCycle(const Settings& s, LockGuarded<Table>& table, CaptureCounters* counters = nullptr);

    // Consumers read each summary in the order they were added (not owned).
    void add_consumer(CycleConsumer* c) { consumers_.push_back(c); }

    // One cycle at time `at`: the clock's reading in a live capture, the
    // packets' clock in a replay. Returns the cycle time.
    time_t run(time_t at);

  private:
    void rate_zones(ZoneSet& zones, time_t cycle_time);
    CaptureLoss read_capture();

    const Settings& s_;
    LockGuarded<Table>& table_;
    Alarms alarms_;
    std::vector<CycleConsumer*> consumers_;
    CaptureCounters* counters_;
    uint32_t last_received_ = 0;
    uint32_t last_kernel_ = 0;
    uint32_t last_interface_ = 0;
    CaptureLoss totals_;
};

// Empties a retired set and its zones (may be null) once every consumer has
// read them, their windows opening at cycle_time: the table counts into
// them again after the next swap.
void reset_retired(BucketSet& retired, ZoneSet* zones, time_t cycle_time);

}  // namespace qv
