#include "output/hook_events.h"

#include <cstdarg>
#include <cstdio>

#include "base/hash.h"
#include "output/export.h"
#include "stats/rates.h"

namespace qv {
namespace {

// Appends to an event's text; a text that would not fit is cut (none does:
// kEventMax bounds the longest).
void add(EventText& e, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void add(EventText& e, const char* fmt, ...) {
    if (e.len >= kEventMax - 1) return;
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(e.text + e.len, kEventMax - e.len, fmt, ap);
    va_end(ap);
    if (n > 0)
        e.len =
            static_cast<uint16_t>(std::min<size_t>(e.len + static_cast<size_t>(n), kEventMax - 1));
}

long long seconds(time_t t) {
    return static_cast<long long>(t);
}

}  // namespace

EventText source_alarm_event(const Settings& s, const Bucket& b, const AnswerCounts* answers,
                             time_t cycle_time) {
    EventText e;
    const AddrText key = to_text(b.ip_addr, source_prefixes(s));
    const uint32_t elapsed = elapsed_seconds(cycle_time, b.first_packet);
    const float f = static_cast<float>(elapsed);
    add(e,
        "{\"event\":\"alarm\",\"kind\":\"source\",\"key\":\"%s\",\"time\":%lld,\"qps\":%u,\"tcp_"
        "qps\":%u,\"udp_qps\":%u",
        key.c_str(), seconds(cycle_time), source_qps(b, elapsed), rate_up(b.tcp_count, f), rate_up(b.udp_count, f));
    if (answers != nullptr) {
        add(e, ",\"answer_bytes_per_second\":%u,\"answered\":%llu",
            answer_bytes_rate(*answers, elapsed),
            static_cast<unsigned long long>(
                share(answers->answers(), uint64_t{b.tcp_count} + b.udp_count)));
    }
    add(e, ",\"verified\":%s}\n", b.verified ? "true" : "false");
    return e;
}

EventText zone_alarm_event(const ZoneCount& z, bool answers, time_t cycle_time) {
    EventText e;
    const ZoneJson key = escape_zone(z.zone);
    add(e,
        "{\"event\":\"alarm\",\"kind\":\"zone\",\"key\":\"%s\",\"time\":%lld,\"qps\":%u,\"names\":%"
        "u",
        key.text, seconds(cycle_time), z.qps, z.names);
    if (answers) {
        add(e, ",\"answered\":%llu,\"nxdomain\":%llu",
            static_cast<unsigned long long>(share(z.answers, z.queries)),
            static_cast<unsigned long long>(share(z.nxdomain, z.answers)));
    }
    add(e, "}\n");
    return e;
}

EventText clear_event(const char* kind, const char* key, time_t cycle_time) {
    EventText e;
    add(e, "{\"event\":\"clear\",\"kind\":\"%s\",\"key\":\"%s\",\"time\":%lld}\n", kind, key,
        seconds(cycle_time));
    return e;
}

HookEvents::HookEvents(const Settings& s, int32_t source_capacity, int32_t zone_capacity,
                       uint64_t seed)
    : s_(s),
      sources_(source_capacity, SeededHash::mix(seed ^ 0x686f6f6b73726373ull)),
      zones_(zone_capacity, SeededHash::mix(seed ^ 0x686f6f6b7a6f6e65ull)) {}

void HookEvents::events_of(const CycleSummary& summary, EventSink& out) {
    // Cycle numbers from 1: 0 would be no stamp at all.
    if (++cycle_ == 0) cycle_ = 1;
    const time_t t = summary.cycle_time;
    for (int32_t i : summary.alarms.sources_above) {
        const Bucket& b = summary.retired->bucket(i);
        out.event(
            source_alarm_event(s_, b, summary.answers ? &summary.retired->answers(i) : nullptr, t));
        sources_.alarmed(b.ip_addr, cycle_);
    }
    for (int32_t i : summary.alarms.zones_above) {
        const ZoneCount& z = summary.zones->zone(i);
        out.event(zone_alarm_event(z, summary.answers, t));
        zones_.alarmed(z.zone, cycle_);
    }
    sources_.clear_all_but(cycle_, [&](const SourceAddr& a) {
        out.event(clear_event("source", to_text(a, source_prefixes(s_)).c_str(), t));
    });
    zones_.clear_all_but(
        cycle_, [&](const ZoneKey& z) { out.event(clear_event("zone", escape_zone(z).text, t)); });
}

namespace {

// Counts what goes through, so that a cycle with no events ends no cycle.
class CountingSink final : public EventSink {
  public:
    explicit CountingSink(EventSink& to) : to_(to) {}
    void event(const EventText& e) override {
        ++n_;
        to_.event(e);
    }
    size_t count() const { return n_; }

  private:
    EventSink& to_;
    size_t n_ = 0;
};

}  // namespace

HookConsumer::HookConsumer(const Settings& s, int32_t source_capacity, int32_t zone_capacity,
                           EventSink& sink)
    : events_(s, source_capacity, zone_capacity, random_seed()), sink_(sink) {}

void HookConsumer::consume(const CycleSummary& summary) {
    CountingSink counted(sink_);
    events_.events_of(summary, counted);
    if (counted.count() > 0) sink_.end_cycle();
}

}  // namespace qv
