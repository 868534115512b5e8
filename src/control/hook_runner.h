// The action hook (-e PROGRAM): runs the program once for each batch of
// events, the events as lines on its standard input. A thread of its own
// does it, so that neither the capture nor the cycle ever waits for the
// program:
//
// - at most one run at a time; events that come while it runs wait in a
//   queue of at most queue_capacity events (the oldest are dropped first,
//   and counted), and the next run takes all that wait;
// - the pipe to the program is written without blocking, so a program that
//   never reads holds up only its own run, and one that closes its standard
//   input at once costs this process nothing (no SIGPIPE: blocked in the
//   hook's thread, the pending one taken back);
// - a run still going run_timeout after its start gets SIGTERM, and SIGKILL
//   kill_grace later; every run's status is collected.
//
// The program is executed directly, without a shell or arguments, with an
// environment of PATH and QUORVANE_HOSTNAME only; its standard output and
// standard error are this process's standard error (in daemon mode that is
// /dev/null). It runs as the user this process runs as (after -u).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "base/hook_counters.h"
#include "base/lines.h"
#include "output/hook_events.h"

namespace qv {

struct HookLimits {
    std::chrono::milliseconds run_timeout{60000};
    std::chrono::milliseconds kill_grace{5000};
    size_t queue_capacity = 10000;
};

class HookRunner final : public EventSink {
  public:
    // shown: the path as the user gave it, for the lines; path: the one to
    // execute. Failed and killed runs write a line to standard error, or in
    // daemon mode (foreground false) to syslog at LOG_WARNING, through lines.
    HookRunner(std::string shown, std::string path, std::string hostname, bool foreground,
               LineSink& lines, HookCounters& counters, HookLimits limits = {});
    // Stops after the run in progress, if any; the events still waiting are
    // left.
    ~HookRunner();
    HookRunner(const HookRunner&) = delete;
    HookRunner& operator=(const HookRunner&) = delete;

    // Queues one event; it is the next run's once end_cycle() comes.
    void event(const EventText& e) override;
    void end_cycle() override;

    // Waits until every event handed over has gone to a run and no run is
    // going (the end of a replay).
    void drain();

  private:
    void loop();
    // One run of the program for the events ready when it starts.
    void run();
    // Under the lock: the oldest event goes, counted as dropped.
    void drop_oldest();
    // Takes the oldest queued event into *out; false when the run has had
    // its share (some may have been dropped meanwhile).
    bool next_for_run(EventText* out);
    void report(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    const std::string shown_;
    const std::string path_;
    const std::string host_env_;
    const bool foreground_;
    LineSink& lines_;
    HookCounters& counters_;
    const HookLimits limits_;

    std::mutex mu_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    // A ring of queue_capacity events, allocated once: pages are touched
    // only as events fill them.
    EventText* ring_;
    size_t head_ = 0;      // the oldest event
    size_t size_ = 0;      // events queued
    size_t ready_ = 0;     // of them, those of cycles that have ended
    size_t run_left_ = 0;  // of them, those the run in progress still has to write
    bool running_ = false;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace qv
