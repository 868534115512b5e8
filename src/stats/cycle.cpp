#include "stats/cycle.h"

#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/hash.h"
#include "base/lines.h"
#include "output/report_lines.h"

namespace qv {

ReportLines::ReportLines(const Settings& s, LineSink& out)
    : s_(s),
      out_(out),
      // Every source that can be in alarm in one cycle has a bucket.
      memory_(s.bucket_count, random_seed()),
      zone_memory_(s.zone_threshold > 0 ? s.zone_count : 1, random_seed()) {}

void ReportLines::consume(CycleSummary& summary) {
    alarm_pass(summary);
    if (summary.zones != nullptr) zone_alarm_pass(summary);
    if (summary.totals_due) {
        write_totals_line(s_, summary.totals, summary.window, summary.stamp, out_);
    }
    report_capture_loss(summary);
}

StatsCycle::StatsCycle(const Settings& s, LockGuarded<Table>& table, LineSink& out,
                       DatagramSender& sender, const HostJson& host,
                       CaptureCounters* counters)
    : s_(s),
      table_(table),
      sender_(sender),
      host_(host),
      lines_(s, out),
      consumers_{&lines_},
      counters_(counters) {}

time_t StatsCycle::run(time_t at) {
    const time_t cycle_time = at;
    CycleSummary summary;
    summary.cycle_time = cycle_time;
    summary.started = std::chrono::steady_clock::now();
    BucketSet* retired;
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
        summary.zones = table->retired_zones();
        summary.takeovers_total = table->takeovers();
        if (totals_due(s_, table->totals(), cycle_time, &summary.window)) {
            summary.totals_due = true;
            summary.totals = table->totals();
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

    summary.stamp = make_stamp(cycle_time);
    rate_pass(*retired, cycle_time);
    if (summary.zones != nullptr) rate_zones(*summary.zones, cycle_time);
    summary.retired = retired;
    summary.capture = read_capture();
    for (CycleConsumer* c : consumers_) c->consume(summary);
    sweep_and_export(s_, *retired, host_, sender_, cycle_time);
    if (summary.zones != nullptr) {
        export_zones(s_, *summary.zones, host_, sender_);
        summary.zones->reset_all(cycle_time);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - summary.started).count();
    for (CycleConsumer* c : consumers_) c->cycle_done(summary, seconds);
    return cycle_time;
}

CaptureLoss StatsCycle::read_capture() {
    uint32_t received = 0;
    uint32_t kernel = 0;
    uint32_t interface = 0;
    if (counters_ == nullptr || !counters_->read(&received, &kernel, &interface)) return CaptureLoss{};
    // The counters wrap at 2^32; the differences stay right across a wrap.
    const uint32_t new_received = received - last_received_;
    const uint32_t new_kernel = kernel - last_kernel_;
    const uint32_t new_interface = interface - last_interface_;
    last_received_ = received;
    last_kernel_ = kernel;
    last_interface_ = interface;
    totals_.known = true;
    totals_.new_received = new_received;
    totals_.new_dropped = new_kernel + new_interface;
    totals_.received_total += new_received;
    totals_.dropped_kernel_total += new_kernel;
    totals_.dropped_interface_total += new_interface;
    return totals_;
}

void ReportLines::report_capture_loss(const CycleSummary& summary) {
    const CaptureLoss& c = summary.capture;
    if (!c.known || c.new_dropped == 0) return;
    char line[128];
    if (s_.foreground) {
        int n = snprintf(line, sizeof line, "[%s] capture dropped %u of %u frames\n", summary.stamp.text,
                         c.new_dropped, c.new_received);
        out_.to_stdout(std::string_view(line, static_cast<size_t>(n)));
    } else {
        snprintf(line, sizeof line, "capture dropped %u of %u frames", c.new_dropped, c.new_received);
        out_.to_syslog(LOG_WARNING, line);
    }
}

void StatsCycle::rate_pass(BucketSet& retired, time_t cycle_time) {
    for (int32_t i = retired.next_in_use(0); i != -1; i = retired.next_in_use(i + 1)) {
        Bucket& b = retired.bucket(i);
        const uint32_t elapsed = elapsed_seconds(cycle_time, b.first_packet);
        if (elapsed < 2) continue;  // too young to give a rate
        b.qps = rate_up(b.tcp_count + b.udp_count, static_cast<float>(elapsed));
    }
}

void StatsCycle::rate_zones(ZoneSet& zones, time_t cycle_time) {
    for (int32_t i = zones.next_in_use(0); i != -1; i = zones.next_in_use(i + 1)) {
        ZoneCount& z = zones.zone(i);
        z.names = zones.distinct_names(i);
        const uint32_t elapsed = elapsed_seconds(cycle_time, z.first_packet);
        if (elapsed < 2) continue;  // too young to give a rate
        z.qps = rate_up(z.queries, static_cast<float>(elapsed));
    }
}

void ReportLines::zone_alarm_pass(CycleSummary& summary) {
    const ZoneSet& zones = *summary.zones;
    const time_t cycle_time = summary.cycle_time;
    for (int32_t i = zones.next_in_use(0); i != -1; i = zones.next_in_use(i + 1)) {
        const ZoneCount& z = zones.zone(i);
        if (z.qps <= s_.zone_threshold) continue;
        if (!s_.foreground) {
            // The hold-off, as for sources, keyed by zone.
            const time_t last = zone_memory_.last_alarm(z.zone);
            if (last != 0 && static_cast<int64_t>(cycle_time) - static_cast<int64_t>(last) <=
                                 static_cast<int64_t>(s_.alarm_reset)) {
                continue;
            }
            zone_memory_.remember(z.zone, cycle_time);
        }
        write_zone_alarm_line(s_, z, summary.stamp, out_);
        ++summary.alarms_written;
    }
}

void ReportLines::alarm_pass(CycleSummary& summary) {
    BucketSet& retired = *summary.retired;
    const time_t cycle_time = summary.cycle_time;
    for (int32_t i = retired.next_in_use(0); i != -1; i = retired.next_in_use(i + 1)) {
        Bucket& b = retired.bucket(i);
        if (b.qps <= s_.threshold) continue;
        const float e = static_cast<float>(elapsed_seconds(cycle_time, b.first_packet));
        if (s_.foreground) {
            write_alarm_line(s_, b, e, summary.stamp, out_);
            ++summary.alarms_written;
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
        write_alarm_line(s_, b, e, summary.stamp, out_);
        ++summary.alarms_written;
        b.alarm_set = stamp_of(cycle_time);
        memory_.remember(source, cycle_time);
    }
}

namespace {

struct ThreadArgs {
    const Settings* settings;
    CaptureCounters* counters;
    CycleConsumer* extra;
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
    if (args.extra != nullptr) cycle->add_consumer(args.extra);
    for (;;) {
        cycle->run(time(nullptr));
        // Whole seconds from the end of the cycle; a signal cuts sleep short.
        unsigned left = s.stats_interval;
        while (left > 0) left = sleep(left);
    }
    return nullptr;
}

}  // namespace

void start_stats_thread(const Settings& s, CaptureCounters* counters, CycleConsumer* extra) {
    static ThreadArgs args;
    args = ThreadArgs{&s, counters, extra};
    pthread_t thread;
    const int rc = pthread_create(&thread, nullptr, stats_thread, &args);
    if (rc != 0) fatal("unable to start the stats thread: %s\n", strerror(rc));
}

}  // namespace qv
