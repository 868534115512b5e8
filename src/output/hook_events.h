// The action hook's events, a consumer of the cycle: one JSON object a line
// for every source and zone above its threshold in the cycle (whatever the
// hold-off of the alarm lines), then a "clear" for every key that had an
// alarm event and is no longer above it. Which keys had alarm events is kept
// in a bounded memory across cycles, one entry a key, like the daemon-mode
// hold-off: when it is full the key alarmed longest ago is forgotten, and a
// forgotten key gets no clear event. What becomes of the events (the program
// that reads them) is the sink's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

#include "base/address.h"
#include "base/indexed_map.h"
#include "base/settings.h"
#include "stats/cycle.h"
#include "table/table.h"
#include "table/zones.h"

namespace qv {

// One event's text, its newline included. The longest is a zone's alarm with
// -R: a key of 255 characters, each escaped to at most two, and under 200
// characters of names and numbers.
inline constexpr size_t kEventMax = 2 * kZoneKeyMax + 256;
struct EventText {
    uint16_t len = 0;
    char text[kEventMax];
    std::string_view view() const { return {text, len}; }
};

// A source's alarm event: rates as the alarm lines compute them; with
// answers (a set that counts them, -R) also its answer bytes per second and
// answered share; verified when it completed a TCP handshake in the cycle.
EventText source_alarm_event(const Settings& s, const Bucket& b, const AnswerCounts* answers,
                             time_t cycle_time);
// A zone's alarm event; with answers (-R) also its answered and NXDOMAIN shares.
EventText zone_alarm_event(const ZoneCount& z, bool answers, time_t cycle_time);
// The clear event of a source or zone key, its text already JSON-escaped.
EventText clear_event(const char* kind, const char* key, time_t cycle_time);

// Where a cycle's events go, in order; end_cycle() after the last one of a
// cycle that had any.
class EventSink {
  public:
    virtual ~EventSink() = default;
    virtual void event(const EventText& e) = 0;
    virtual void end_cycle() {}
};

// The keys that had alarm events, each stamped with the number of the last
// cycle that alarmed it.
template <class Key>
class AlarmedKeys {
  public:
    AlarmedKeys(int32_t capacity, uint64_t seed) : map_(capacity, seed, "hook memory") {}
    void alarmed(const Key& key, uint32_t cycle) {
        map_.touch(map_.claim(key, cycle).index, cycle);
    }
    // Calls f(key) for every key not alarmed in `cycle` and forgets it.
    template <class F>
    void clear_all_but(uint32_t cycle, F&& f) {
        for (int32_t i = map_.next_in_use(0); i != -1; i = map_.next_in_use(i + 1)) {
            if (map_.entry(i).cycle == cycle) continue;
            f(map_.key(i));
            map_.release(i, 0);
        }
    }
    int32_t size() const { return map_.size(); }

  private:
    struct Entry {
        const Key key;
        uint32_t cycle;  // the stamp: the key alarmed longest ago gives way first
    };
    struct Rules {
        static constexpr auto key = &Entry::key;
        static constexpr auto stamp = &Entry::cycle;
    };
    IndexedMap<Entry, Rules> map_;
};

class HookEvents {
  public:
    // source_capacity and zone_capacity: how many keys of each kind are
    // remembered (one bucket set's and one zone set's worth in the program).
    HookEvents(const Settings& s, int32_t source_capacity, int32_t zone_capacity, uint64_t seed);
    // The events of one cycle, in order: the sources' alarms, the zones'
    // alarms (both in the order the cycle decided them), then the clears of
    // sources and of zones.
    void events_of(const CycleSummary& summary, EventSink& out);

  private:
    const Settings& s_;
    AlarmedKeys<SourceAddr> sources_;
    AlarmedKeys<ZoneKey> zones_;
    uint32_t cycle_ = 0;
};

class HookConsumer final : public CycleConsumer {
  public:
    HookConsumer(const Settings& s, int32_t source_capacity, int32_t zone_capacity,
                 EventSink& sink);
    void consume(const CycleSummary& summary) override;

  private:
    HookEvents events_;
    EventSink& sink_;
};

}  // namespace qv
