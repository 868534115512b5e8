#include "stats/cycle.h"

#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>

#include "base/hash.h"
#include "stats/lines.h"

namespace qv {

StatsCycle::StatsCycle(const Settings& s, LockGuarded<Table>& table, LineSink& out,
                       DatagramSender& sender, const HostJson& host,
                       CaptureCounters* counters)
    : s_(s),
      table_(table),
      out_(out),
      sender_(sender),
      host_(host),
      // Every source that can be in alarm in one cycle has a bucket.
      memory_(s.bucket_count, random_seed()),
      counters_(counters) {}

time_t StatsCycle::run(time_t at) {
    const time_t cycle_time = at;
    BucketSet* retired;
    bool report_totals = false;
    uint32_t window = 0;
    Bucket totals;
#ifdef QV_LOCK_TIMING
    const auto asked = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point locked;
#endif
    {
        auto table = table_.lock();
#ifdef QV_LOCK_TIMING
        locked = std::chrono::steady_clock::now();
#endif
        retired = &table->swap_sets();
        if (totals_due(s_, table->totals(), cycle_time, &window)) {
            report_totals = true;
            totals = table->totals();
            table->reset_totals(cycle_time);
        }
    }
#ifdef QV_LOCK_TIMING
    // Benchmark builds only: how long this cycle waited for and held the lock.
    const auto released = std::chrono::steady_clock::now();
    fprintf(stderr, "lock: cycle waited %lld ns, held %lld ns\n",
            static_cast<long long>(std::chrono::nanoseconds(locked - asked).count()),
            static_cast<long long>(std::chrono::nanoseconds(released - locked).count()));
#endif

    const Stamp stamp = make_stamp(cycle_time);
    alarm_pass(*retired, cycle_time, stamp);
    if (report_totals) write_totals_line(s_, totals, window, stamp, out_);
    if (counters_ != nullptr) report_capture_loss(stamp);
    sweep_and_export(s_, *retired, host_, sender_, cycle_time);
    return cycle_time;
}

void StatsCycle::report_capture_loss(const Stamp& stamp) {
    uint32_t received = 0;
    uint32_t dropped = 0;
    if (!counters_->read(&received, &dropped)) return;
    // The counters wrap at 2^32; the differences stay right across a wrap.
    const uint32_t new_received = received - last_received_;
    const uint32_t new_dropped = dropped - last_dropped_;
    last_received_ = received;
    last_dropped_ = dropped;
    if (new_dropped == 0) return;
    char line[128];
    if (s_.foreground) {
        int n = snprintf(line, sizeof line, "[%s] capture dropped %u of %u frames\n", stamp.text,
                         new_dropped, new_received);
        out_.to_stdout(std::string_view(line, static_cast<size_t>(n)));
    } else {
        snprintf(line, sizeof line, "capture dropped %u of %u frames", new_dropped, new_received);
        out_.to_syslog(LOG_WARNING, line);
    }
}

void StatsCycle::alarm_pass(BucketSet& retired, time_t cycle_time, const Stamp& stamp) {
    for (int32_t i = retired.next_in_use(0); i != -1; i = retired.next_in_use(i + 1)) {
        Bucket& b = retired.bucket(i);
        const uint32_t elapsed = elapsed_seconds(cycle_time, b.first_packet);
        if (elapsed < 2) continue;  // too young to give a rate
        const float e = static_cast<float>(elapsed);
        b.qps = rate_up(b.tcp_count + b.udp_count, e);
        if (b.qps <= s_.threshold) continue;
        if (s_.foreground) {
            write_alarm_line(s_, b, e, stamp, out_);
            continue;
        }
        // Daemon mode: a source alarmed at T stays quiet while the cycle
        // time is at most alarm_reset seconds past T.
        const SourceAddr& source = b.ip_addr;
        const time_t last = memory_.last_alarm(source);
        if (last != 0 && static_cast<int64_t>(cycle_time) - static_cast<int64_t>(last) <=
                             static_cast<int64_t>(s_.alarm_reset)) {
            continue;
        }
        write_alarm_line(s_, b, e, stamp, out_);
        b.alarm_set = stamp_of(cycle_time);
        memory_.remember(source, cycle_time);
    }
}

namespace {

struct ThreadArgs {
    const Settings* settings;
    CaptureCounters* counters;
};

void* stats_thread(void* arg) {
    const ThreadArgs args = *static_cast<ThreadArgs*>(arg);
    const Settings& s = *args.settings;
    // Built once and never torn down: the process may end (SIGTERM) while
    // this thread is in the middle of a cycle.
    auto* collector = new Collector(setup_collector(s));
    auto* sender = new SocketSender(*collector);
    auto* cycle = new StatsCycle(s, process_table(), system_lines(), *sender, collector->host,
                                 args.counters);
    for (;;) {
        cycle->run(time(nullptr));
        // Whole seconds from the end of the cycle; a signal cuts sleep short.
        unsigned left = s.stats_interval;
        while (left > 0) left = sleep(left);
    }
    return nullptr;
}

}  // namespace

void start_stats_thread(const Settings& s, CaptureCounters* counters) {
    static ThreadArgs args;
    args = ThreadArgs{&s, counters};
    pthread_t thread;
    if (pthread_create(&thread, nullptr, stats_thread, &args) != 0) exit(1);
}

}  // namespace qv
