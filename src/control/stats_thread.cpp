#include "control/stats_thread.h"

#include <pthread.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

namespace qv {

WiredCycle::WiredCycle(const Settings& s, LockGuarded<Table>& table, LineSink& out,
                       DatagramSender& sender, const HostJson& host, CaptureCounters* counters,
                       MetricsBoard* board, HookCounters* hook)
    : lines_(s, out), export_(s, host, sender), cycle_(s, table, counters) {
    cycle_.add_consumer(&lines_);
    cycle_.add_consumer(&export_);
    if (s.hook_path != nullptr) {
        char hostname[256] = {};
        gethostname(hostname, 253);
        runner_ = std::make_unique<HookRunner>(s.hook_program, s.hook_path, hostname, s.foreground != 0, out,
                                               hook != nullptr ? *hook : own_hook_counters_);
        hook_ = std::make_unique<HookConsumer>(s, s.bucket_count, s.zone_threshold > 0 ? s.zone_count : 1,
                                               *runner_);
        cycle_.add_consumer(hook_.get());
    }
    if (board != nullptr) cycle_.add_consumer(board);
}

namespace {

struct ThreadArgs {
    const Settings* settings;
    LockGuarded<Table>* table;
    CaptureCounters* counters;
    MetricsBoard* board;
    HookCounters* hook;
};

void* stats_thread(void* arg) {
    const ThreadArgs args = *static_cast<ThreadArgs*>(arg);
    const Settings& s = *args.settings;
    // Built once and never torn down: the process may end (SIGTERM) while
    // this thread is in the middle of a cycle.
    auto* collector = new Collector(setup_collector(s));
    auto* sender = new SocketSender(*collector);
    auto* cycle = new WiredCycle(s, *args.table, system_lines(), *sender, collector->host,
                                 args.counters, args.board, args.hook);
    for (;;) {
        cycle->run(time(nullptr));
        // Whole seconds from the end of the cycle; a signal cuts sleep short.
        unsigned left = s.stats_interval;
        while (left > 0) left = sleep(left);
    }
    return nullptr;
}

}  // namespace

void start_stats_thread(const Settings& s, LockGuarded<Table>& table, CaptureCounters* counters,
                        MetricsBoard* board, HookCounters* hook) {
    static ThreadArgs args;
    args = ThreadArgs{&s, &table, counters, board, hook};
    pthread_t thread;
    const int rc = pthread_create(&thread, nullptr, stats_thread, &args);
    if (rc != 0) fatal("unable to start the stats thread: %s\n", strerror(rc));
}

}  // namespace qv
