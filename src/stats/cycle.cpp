#include "stats/cycle.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "stats/rates.h"

namespace qv {
namespace {

// The alarm lists are reserved for a whole set of each kind.
Alarms alarms_for(const Settings& s, LockGuarded<Table>& table) {
    auto t = table.lock();
    const ZoneSet* zones = t->retired_zones();
    return Alarms(s, t->active().size(), zones != nullptr ? zones->size() : 0);
}

}  // namespace

StatsCycle::StatsCycle(const Settings& s, LockGuarded<Table>& table, CaptureCounters* counters)
    : s_(s), table_(table), alarms_(alarms_for(s, table)), counters_(counters) {}

time_t StatsCycle::run(time_t at) {
    const time_t cycle_time = at;
    CycleSummary summary;
    summary.cycle_time = cycle_time;
    summary.started = std::chrono::steady_clock::now();
    BucketSet* retired;
    ZoneSet* zones;
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
        zones = table->retired_zones();
        summary.takeovers_total = table->takeovers();
        if (totals_due(s_, table->totals(), cycle_time, &summary.window)) {
            summary.totals_due = true;
            summary.totals = table->totals();
            summary.answer_totals = table->answer_totals();
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

    if (zones != nullptr) rate_zones(*zones, cycle_time);
    summary.retired = retired;
    summary.zones = zones;
    summary.answers = retired->counts_answers();
    summary.capture = read_capture();
    summary.alarms = alarms_.decide(*retired, zones, cycle_time);
    for (CycleConsumer* c : consumers_) c->consume(summary);
    reset_retired(*retired, zones, cycle_time);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - summary.started).count();
    for (CycleConsumer* c : consumers_) c->cycle_done(summary, seconds);
    return cycle_time;
}

void reset_retired(BucketSet& retired, ZoneSet* zones, time_t cycle_time) {
    retired.reset_all(cycle_time);
    if (zones != nullptr) zones->reset_all(cycle_time);
}

CaptureLoss StatsCycle::read_capture() {
    uint32_t received = 0;
    uint32_t kernel = 0;
    uint32_t interface = 0;
    if (counters_ == nullptr || !counters_->read(&received, &kernel, &interface))
        return CaptureLoss{};
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

void StatsCycle::rate_zones(ZoneSet& zones, time_t cycle_time) {
    for (int32_t i = zones.next_in_use(0); i != -1; i = zones.next_in_use(i + 1)) {
        ZoneCount& z = zones.zone(i);
        z.names = zones.distinct_names(i);
        const uint32_t elapsed = elapsed_seconds(cycle_time, z.first_packet);
        if (elapsed < 2) continue;  // too young to give a rate
        z.qps = rate_up(z.queries, static_cast<float>(elapsed));
    }
}

}  // namespace qv
