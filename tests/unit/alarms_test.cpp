// The alarms of a cycle: the thresholds, the daemon-mode hold-off per key and
// the bounded memory that keeps it across cycles.
#include "stats/alarms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "stats/alarm_memory.h"

namespace qv {
namespace {

constexpr time_t kDay = time_t{86400} * 20000;

// A key of a cycle: source 10.0.0.N and zone "zN." at the same rate, the
// source's from the queries it counted over the cycle's window.
struct Key {
    uint8_t n;
    uint32_t qps;
};

// "zN.", built by appending: g++ 12 -O2 warns falsely (-Wrestrict) on a C
// string added to a temporary std::string.
std::string zone_name(int n) {
    return std::string("z").append(std::to_string(n)).append(".");
}

// The sets of one cycle, keys in the given order, the zones rated as the
// cycle's rate pass leaves them.
struct RatedSets {
    // Counted from `at`, to be decided at `to`.
    RatedSets(const std::vector<Key>& keys, time_t at, time_t to) {
        for (const Key& k : keys) {
            const int32_t i = sources.find_bucket(make_addr(10, 0, 0, k.n), at);
            // The rate times the seconds, as many as 32 bits hold.
            const uint64_t queries =
                std::min<uint64_t>(uint64_t{k.qps} * static_cast<uint64_t>(to - at), UINT32_MAX);
            sources.count(i, 17, static_cast<uint32_t>(queries), 1, at);
            const ZoneKey zone = ZoneKey::of(zone_name(k.n));
            zones.count(zone, 1, at);
            for (int32_t z = zones.next_in_use(0); z != -1; z = zones.next_in_use(z + 1)) {
                if (zones.zone(z).zone == zone) zones.zone(z).qps = k.qps;
            }
        }
    }
    BucketSet sources{16, 3};
    ZoneSet zones{16, 3};
};

// The keys of the decided alarms, sources then zones, as text.
struct Decided {
    std::vector<std::string> sources;
    std::vector<std::string> zones;
    friend bool operator==(const Decided&, const Decided&) = default;
};

Decided decided(const DecidedAlarms& d, const RatedSets& sets) {
    Decided out;
    for (int32_t i : d.sources)
        out.sources.push_back(to_text(sets.sources.bucket(i).ip_addr).c_str());
    for (int32_t i : d.zones) out.zones.emplace_back(sets.zones.zone(i).zone.view());
    return out;
}

// The same keys alarmed as sources and as zones.
Decided both(const std::vector<int>& keys) {
    Decided out;
    for (int n : keys) {
        out.sources.push_back(std::string("10.0.0.").append(std::to_string(n)));
        out.zones.push_back(zone_name(n));
    }
    return out;
}

std::ostream& operator<<(std::ostream& os, const Decided& d) {
    os << "sources";
    for (const auto& s : d.sources) os << ' ' << s;
    os << " zones";
    for (const auto& z : d.zones) os << ' ' << z;
    return os;
}

// ---- thresholds ----------------------------------------------------------------

// Above the threshold alarms, at it does not; in either mode the first alarm
// of a key has no hold-off. Lists are in index order, whatever the rates.
TEST(Alarms, OnlyRatesAboveTheThresholdAlarmInIndexOrder) {
    struct Case {
        const char* name;
        uint32_t threshold;
        uint32_t zone_threshold;
        std::vector<Key> keys;
        Decided want;
    };
    const Case cases[] = {
        {"at the thresholds: none", 60, 60, {{1, 60}}, {}},
        {"one above each",
         60,
         100,
         {{1, 60}, {2, 61}, {3, 100}, {4, 101}},
         {{"10.0.0.2", "10.0.0.3", "10.0.0.4"}, {"z4."}}},
        {"index order, not rate order", 10, 10, {{5, 11}, {6, 900}, {7, 12}}, both({5, 6, 7})},
        {"threshold 0: an unrated key (qps 0) does not alarm",
         0,
         1,
         {{1, 0}, {2, 1}, {3, 2}},
         {{"10.0.0.2", "10.0.0.3"}, {"z3."}}},
        // 2^32 - 1 queries in 2 seconds; below, the next rate a float holds.
        {"the largest rate",
         2147483520u,
         2147483520u,
         {{1, 2147483520u}, {2, 2147483648u}},
         both({2})},
        {"nothing counted", 0, 0, {}, {}},
    };
    for (const auto& c : cases) {
        for (int foreground : {0, 1}) {
            SCOPED_TRACE(testing::Message()
                         << c.name << (foreground ? " (foreground)" : " (daemon)"));
            Settings s;
            s.foreground = foreground;
            s.threshold = c.threshold;
            s.zone_threshold = c.zone_threshold;
            Alarms alarms(s, 16, 16);
            RatedSets sets(c.keys, kDay, kDay + 2);
            const DecidedAlarms d = alarms.decide(sets.sources, &sets.zones, kDay + 2);
            EXPECT_EQ(decided(d, sets), c.want);
            EXPECT_EQ(d.count(), c.want.sources.size() + c.want.zones.size());
        }
    }
}

TEST(Alarms, ZonesNotCountedAlarmNoZone) {
    Settings s;
    s.threshold = 10;
    Alarms alarms(s, 16, 0);
    RatedSets sets({{1, 50}}, kDay, kDay + 2);
    const DecidedAlarms d = alarms.decide(sets.sources, nullptr, kDay + 2);
    EXPECT_EQ(decided(d, sets), (Decided{{"10.0.0.1"}, {}}));
}

// ---- the hold-off --------------------------------------------------------------

// Keys 1 and 2 over cycles, as sources and as zones. In daemon mode an alarm
// at T silences the key up to and including T + alarm_reset; its next alarm
// is the first later cycle in which it is above the threshold. In
// foreground mode every cycle above the threshold alarms.
TEST(Alarms, DaemonHoldOffPerKeyUpToAndIncludingTheReset) {
    const time_t t0 = kDay + 100;
    struct Step {
        time_t at;
        std::vector<int> above;   // keys above the threshold; the rest below
        std::vector<int> daemon;  // the alarms in daemon mode
    };
    const Step steps[] = {
        {t0, {1}, {1}},          {t0 + 30, {1, 2}, {2}},
        {t0 + 90, {1, 2}, {}},    // key 1: exactly 90 s is still quiet
        {t0 + 91, {1, 2}, {1}},   // 91 > 90
        {t0 + 120, {1, 2}, {}},   // key 2: exactly 90 s
        {t0 + 190, {2}, {2}},     // key 1 below the threshold
        {t0 + 200, {1, 2}, {1}},  // key 1's first cycle above it again
        {t0 + 281, {1, 2}, {2}},  // key 2: 91 s after t0 + 190
    };
    for (int foreground : {0, 1}) {
        SCOPED_TRACE(foreground ? "foreground" : "daemon");
        Settings s;
        s.foreground = foreground;
        s.threshold = 60;
        s.zone_threshold = 60;
        s.alarm_reset = 90;
        Alarms alarms(s, 16, 16);
        for (const Step& st : steps) {
            SCOPED_TRACE(st.at - t0);
            std::vector<Key> keys;
            for (uint8_t n : {1, 2}) {
                const bool above = std::find(st.above.begin(), st.above.end(), n) != st.above.end();
                keys.push_back({n, above ? 100u : 10u});
            }
            RatedSets sets(keys, st.at - 20, st.at);
            const DecidedAlarms d = alarms.decide(sets.sources, &sets.zones, st.at);
            EXPECT_EQ(decided(d, sets), both(foreground ? st.above : st.daemon));
        }
    }
}

// The memory remembers as many keys as a set has buckets (-x) or zones
// (-Z): past that it forgets the key alarmed longest ago (lowest index on
// ties), which may then alarm again before its hold-off ends.
TEST(Alarms, TheMemoryBoundForgetsTheOldestAlarmFirst) {
    const struct {
        time_t at;
        std::vector<int> above;
        std::vector<int> want;
    } steps[] = {
        {kDay, {1, 2}, {1, 2}},  // remembered in that order, at the same time
        {kDay + 1, {3}, {3}},    // full: key 1 goes (a tie with key 2, lower index)
        {kDay + 2, {2}, {}},     // key 2 is still remembered: held off
        {kDay + 3, {1}, {1}},    // key 1 was forgotten: it alarms again; key 2 goes
        {kDay + 4, {2}, {2}},    // and key 2 alarms again; key 3 goes
        {kDay + 5, {1, 2}, {}},  // both remembered
        {kDay + 6, {3}, {3}},
    };
    Settings s;
    s.threshold = 60;
    s.zone_threshold = 60;
    s.alarm_reset = 90;
    s.bucket_count = 2;
    s.zone_count = 2;
    Alarms alarms(s, 16, 16);
    for (const auto& st : steps) {
        SCOPED_TRACE(st.at - kDay);
        std::vector<Key> keys;
        for (int n : st.above) keys.push_back({static_cast<uint8_t>(n), 100});
        RatedSets sets(keys, st.at - 20, st.at);
        EXPECT_EQ(decided(alarms.decide(sets.sources, &sets.zones, st.at), sets), both(st.want));
    }
}

// ---- alarm memory ---------------------------------------------------------------

TEST(AlarmMemory, RemembersTheLatestAlarmOfEachSource) {
    AlarmMemory m(4, 1);
    const SourceAddr a = make_addr(10, 0, 0, 1);
    const SourceAddr b = make_addr(10, 0, 0, 2);
    EXPECT_EQ(m.last_alarm(a), 0);
    m.remember(a, kDay);
    m.remember(b, kDay + 5);
    EXPECT_EQ(m.last_alarm(a), kDay);
    EXPECT_EQ(m.last_alarm(b), kDay + 5);
    m.remember(a, kDay + 100);
    EXPECT_EQ(m.last_alarm(a), kDay + 100);
    EXPECT_EQ(m.size(), 2);
    EXPECT_EQ(m.last_alarm(make_addr(10, 0, 0, 3)), 0);
}

TEST(AlarmMemory, ForgetsTheOldestAlarmedFirstAndReAlarmingMakesNewest) {
    const SourceAddr a = make_addr(10, 0, 0, 1);
    const SourceAddr b = make_addr(10, 0, 0, 2);
    const SourceAddr c = make_addr(10, 0, 0, 3);
    const SourceAddr d = make_addr(10, 0, 0, 4);
    const SourceAddr e = make_addr(10, 0, 0, 5);
    AlarmMemory m(3, 7);
    m.remember(a, kDay + 1);
    m.remember(b, kDay + 2);
    m.remember(c, kDay + 3);
    m.remember(d, kDay + 4);  // full: a goes
    EXPECT_EQ(m.size(), 3);
    EXPECT_EQ(m.last_alarm(a), 0);
    EXPECT_EQ(m.last_alarm(b), kDay + 2);
    m.remember(b, kDay + 5);  // b is now the newest, c the oldest
    m.remember(e, kDay + 6);
    EXPECT_EQ(m.last_alarm(c), 0);
    EXPECT_EQ(m.last_alarm(b), kDay + 5);
    EXPECT_EQ(m.last_alarm(d), kDay + 4);
    EXPECT_EQ(m.last_alarm(e), kDay + 6);
    EXPECT_EQ(m.size(), 3);

    AlarmMemory one(0, 7);  // capacity is at least one
    one.remember(a, kDay + 1);
    EXPECT_EQ(one.last_alarm(a), kDay + 1);
    one.remember(b, kDay + 2);
    EXPECT_EQ(one.last_alarm(a), 0);
    EXPECT_EQ(one.last_alarm(b), kDay + 2);
}

// Against two plain scans over an array of slots, the model of every user of
// the indexed map: a source's own slot, else the first free one, else the
// slot alarmed longest ago, lowest index on ties. Several sources are often
// alarmed in the same cycle, so ties are common; the pool mixes IPv4 and
// IPv6 sources of one /64 so re-alarms, evictions and hash-chain collisions
// all happen often.
TEST(AlarmMemory, MatchesATwoScanModel) {
    for (uint64_t seed : {1ull, 2ull, 0xdeadbeefull}) {
        for (int32_t capacity : {1, 2, 5, 8, 13}) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << " capacity " << capacity);
            AlarmMemory m(capacity, seed);
            std::vector<std::pair<SourceAddr, time_t>> model;  // by slot
            std::mt19937 rng(static_cast<uint32_t>(seed) + static_cast<uint32_t>(capacity));
            std::vector<SourceAddr> pool;
            for (uint8_t i = 0; i < 12; ++i) pool.push_back(make_addr(10, 1, i, 7));
            for (uint8_t i = 0; i < 12; ++i) {
                SourceAddr a = make_addr6("2001:db8:1:2::");
                a.bytes[15] = i;
                pool.push_back(a);
            }
            time_t t = kDay;
            for (int step = 0; step < 2000; ++step) {
                const SourceAddr src = pool[rng() % pool.size()];
                t += static_cast<time_t>(rng() % 3);  // 0: the same cycle
                m.remember(src, t);
                size_t slot = 0;
                while (slot < model.size() && !(model[slot].first == src)) ++slot;
                if (slot == model.size()) {
                    if (model.size() < static_cast<size_t>(capacity)) {
                        model.emplace_back();
                    } else {
                        slot = 0;
                        for (size_t k = 1; k < model.size(); ++k) {
                            if (model[k].second < model[slot].second) slot = k;
                        }
                    }
                }
                model[slot] = {src, t};

                ASSERT_EQ(m.size(), static_cast<int32_t>(model.size()));
                for (const SourceAddr& p : pool) {
                    time_t want = 0;
                    for (const auto& [addr, when] : model) {
                        if (addr == p) want = when;
                    }
                    ASSERT_EQ(m.last_alarm(p), want) << "step " << step;
                }
            }
        }
    }
}

// -B: a source sent more answer bytes per second than N alarms whatever its
// query rate (a reflection victim asks little); at N or below, or rated
// under 2 seconds, it does not. In daemon mode one hold-off covers it.
TEST(Alarms, AnswerBytesAlarmASourceWithoutItsQueryRate) {
    Settings s;
    s.foreground = 0;
    s.threshold = 60;
    s.answer_bytes_threshold = 1000;
    s.alarm_reset = 90;
    Alarms alarms(s, 16, 0);
    const time_t at = kDay;
    auto cycle = [&](time_t t, std::vector<std::pair<uint8_t, uint32_t>> bytes, uint32_t age = 10) {
        BucketSet set(16, 3, true);
        for (const auto& [n, b] : bytes) {
            const int32_t i = set.find_bucket(make_addr(10, 0, 0, n), t - age);
            set.answers(i).bytes = b;
        }
        std::vector<std::string> out;
        for (int32_t i : alarms.decide(set, nullptr, t).sources)
            out.push_back(to_text(set.bucket(i).ip_addr).c_str());
        return out;
    };
    // 10 seconds: 10001 bytes is 1001 bytes/s, 10000 is 1000.
    EXPECT_EQ(cycle(at, {{1, 10001}, {2, 10000}, {3, 0}}), std::vector<std::string>{"10.0.0.1"});
    EXPECT_EQ(cycle(at + 20, {{1, 50000}, {2, 50000}}), std::vector<std::string>{"10.0.0.2"});
    EXPECT_EQ(cycle(at + 91, {{1, 50000}, {2, 50000}}), std::vector<std::string>{"10.0.0.1"});
    // Under 2 seconds a source has no rate to alarm on.
    EXPECT_EQ(cycle(at + 400, {{4, 50000}}, 1), std::vector<std::string>{});
    // Off (0): bytes alone never alarm.
    s.answer_bytes_threshold = 0;
    EXPECT_EQ(cycle(at + 800, {{5, 1u << 30}}), std::vector<std::string>{});
}

}  // namespace
}  // namespace qv
