// The stats thread and what it runs: the stats cycle wired to the program's
// consumers.
#pragma once

#include <ctime>
#include <memory>

#include "base/lines.h"
#include "base/lock_guarded.h"
#include "base/settings.h"
#include "control/hook_runner.h"
#include "output/hook_events.h"
#include "output/export.h"
#include "output/metrics.h"
#include "output/report_lines.h"
#include "stats/cycle.h"
#include "table/table.h"

namespace qv {

// The cycle with its consumers in the order they read each summary: the
// report lines, the JSON export, then the metrics board when there is one.
// So the lines of a cycle are written before its datagrams are sent.
class WiredCycle {
  public:
    // counters and board may be null.
    // With -e the action hook reads each summary after the export, and
    // counts into hook (its own counters when null).
    WiredCycle(const Settings& s, LockGuarded<Table>& table, LineSink& out, DatagramSender& sender,
               const HostJson& host, CaptureCounters* counters = nullptr,
               MetricsBoard* board = nullptr, HookCounters* hook = nullptr);

    time_t run(time_t at) { return cycle_.run(at); }
    // Waits until the hook has run for every event so far (none: at once).
    void drain_hook() {
        if (runner_) runner_->drain();
    }

  private:
    ReportLines lines_;
    JsonExport export_;
    HookCounters own_hook_counters_;
    std::unique_ptr<HookRunner> runner_;
    std::unique_ptr<HookConsumer> hook_;
    StatsCycle cycle_;
};

// Starts the stats thread: the collector set-up, then a cycle at once and
// another stats_interval seconds after each one ends. board (may be null)
// is the metrics page's. A thread that cannot be created ends the process
// through fatal(), "unable to start the stats thread: %s\n".
void start_stats_thread(const Settings& s, LockGuarded<Table>& table, CaptureCounters* counters,
                        MetricsBoard* board, HookCounters* hook = nullptr);

}  // namespace qv
