#include "stats/cycle.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "collectors.h"
#include "control/stats_thread.h"
#include "output/report_lines.h"
#include "stats/rates.h"

namespace qv {
namespace {

using test::CollectingSender;
using test::CollectingSink;
using test::Line;

// Midnight UTC: a cycle at kDay + n seconds stamps as the n-th second of the day.
constexpr time_t kDay = time_t{86400} * 20000;

constexpr SourceAddr kA = make_addr(192, 0, 2, 10);
constexpr SourceAddr kB = make_addr(198, 51, 100, 7);
constexpr SourceAddr kC = make_addr(203, 0, 113, 99);
constexpr SourceAddr kD = make_addr(10, 0, 0, 4);

constexpr int kTcp = 6;
constexpr int kUdp = 17;



Line out(const std::string& text) {
    return {false, 0, text};
}
Line notice(const std::string& text) {
    return {true, LOG_NOTICE, text};
}



struct Query {
    SourceAddr source;
    int protocol;
    uint32_t count;
    uint32_t qtype;
    time_t at;
};

class CycleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        host_ = escape_host_name("host1");
    }

    // Builds the cycle once the settings of the test are in place.
    WiredCycle& cycle() {
        if (!cycle_) cycle_ = std::make_unique<WiredCycle>(s_, table_, sink_, sender_, host_);
        return *cycle_;
    }
    void add(const Query& q) {
        table_.lock()->add_query(q.source, q.protocol, q.count, q.qtype, q.at);
    }
    // One cycle at `at`; returns the lines it wrote.
    std::vector<Line> run(time_t at) {
        sink_.lines.clear();
        EXPECT_EQ(cycle().run(at), at);
        return sink_.lines;
    }

    // Per-source counts exported since the last call, from parsed datagrams.
    std::map<std::string, uint64_t> exported() {
        std::map<std::string, uint64_t> counts;
        for (const std::string& d : sender_.datagrams) {
            EXPECT_EQ(d.back(), '\0');
            auto j = nlohmann::json::parse(d.substr(0, d.size() - 1));
            EXPECT_EQ(j["hostname"], "host1");
            for (const auto& [addr, n] : j["data"].items()) {
                EXPECT_EQ(counts.count(addr), 0u) << addr << " exported twice";
                counts[addr] += n.get<uint64_t>();
            }
        }
        sender_.datagrams.clear();
        return counts;
    }

    void expect_active_set_free() {
        auto t = table_.lock();
        BucketSet& set = t->active();
        EXPECT_EQ(set.in_use_count(), 0);
        EXPECT_EQ(set.next_in_use(0), -1);
        for (int32_t i = 0; i < set.size(); ++i) {
            EXPECT_FALSE(set.in_use(i)) << i;
            EXPECT_EQ(set.bucket(i).tcp_count + set.bucket(i).udp_count, 0u) << i;
        }
    }

    Settings s_;
    LockGuarded<Table> table_{16, 99};
    CollectingSink sink_;
    CollectingSender sender_;
    HostJson host_{};
    std::unique_ptr<WiredCycle> cycle_;
};

// ---- alarms ------------------------------------------------------------------

TEST_F(CycleTest, AlarmRatesAndThresholds) {
    struct Case {
        const char* name;
        uint32_t threshold;
        int verbosity;
        std::vector<Query> queries;
        time_t at;
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {"120 over 2 s is 60 qps: not above 60", 60, 0, {{kA, kUdp, 120, 1, kDay}}, kDay + 2, {}},
        {"121 over 2 s rounds up to 61",
         60,
         0,
         {{kA, kUdp, 121, 1, kDay}},
         kDay + 2,
         {"[00:00:02] source [192.0.2.10] - 61 qps\n"}},
        {"61 tcp + 61 udp: qps 61",
         60,
         0,
         {{kA, kTcp, 61, 1, kDay}, {kA, kUdp, 61, 1, kDay}},
         kDay + 2,
         {"[00:00:02] source [192.0.2.10] - 61 qps\n"}},
        {"61 tcp + 61 udp: 31 each",
         60,
         1,
         {{kA, kTcp, 61, 1, kDay}, {kA, kUdp, 61, 1, kDay}},
         kDay + 2,
         {"[00:00:02] source [192.0.2.10] - 31 qps tcp : 31 qps udp \n"}},
        {"one query in 20 s is 1 qps",
         0,
         0,
         {{kA, kUdp, 1, 1, kDay}},
         kDay + 20,
         {"[00:00:20] source [192.0.2.10] - 1 qps\n"}},
        {"the window starts at the first query, not the last",
         60,
         0,
         {{kA, kUdp, 300, 1, kDay}, {kA, kUdp, 66, 1, kDay + 5}},
         kDay + 6,
         {"[00:00:06] source [192.0.2.10] - 61 qps\n"}},
        {"a clock set back wraps the window: 1 qps",
         0,
         0,
         {{kA, kUdp, 1000, 1, kDay + 10}},
         kDay,
         {"[00:00:00] source [192.0.2.10] - 1 qps\n"}},
        {"a clock set back: no alarm above 1", 1, 0, {{kA, kUdp, 1000, 1, kDay + 10}}, kDay, {}},
        // Buckets keep the low 32 bits of their times: a window that spans
        // 2^32 seconds (in 2106) is still its true length.
        {"a window across 2^32 seconds",
         0,
         0,
         {{kA, kUdp, 400, 1, (time_t{1} << 32) - 2}},
         (time_t{1} << 32) + 2,
         {std::string("[") + make_stamp((time_t{1} << 32) + 2).text +
          "] source [192.0.2.10] - 100 qps\n"}},
        {"1 s is too young for a rate", 0, 0, {{kA, kUdp, 1000, 1, kDay}}, kDay + 1, {}},
        {"0 s is too young for a rate", 0, 0, {{kA, kUdp, 1000, 1, kDay}}, kDay, {}},
        // 3e9 + 2e9 wraps to 705032704.
        {"tcp + udp is a wrapping 32-bit sum",
         0,
         0,
         {{kA, kTcp, 3000000000u, 1, kDay}, {kA, kUdp, 2000000000u, 1, kDay}},
         kDay + 2,
         {"[00:00:02] source [192.0.2.10] - 352516352 qps\n"}},
        {"only sources above the threshold, in bucket order",
         60,
         0,
         {{kC, kUdp, 200, 1, kDay},
          {kB, kUdp, 10, 1, kDay},
          {kA, kTcp, 300, 1, kDay},
          {kD, kUdp, 500, 1, kDay + 1}},
         kDay + 2,
         {"[00:00:02] source [203.0.113.99] - 100 qps\n",
          "[00:00:02] source [192.0.2.10] - 150 qps\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Settings s;
        s.foreground = 1;
        s.threshold = c.threshold;
        s.verbosity = c.verbosity;
        LockGuarded<Table> table(16, 5);
        CollectingSink sink;
        CollectingSender sender;
        WiredCycle cycle(s, table, sink, sender, host_);
        for (const Query& q : c.queries) {
            table.lock()->add_query(q.source, q.protocol, q.count, q.qtype, q.at);
        }
        cycle.run(c.at);
        std::vector<Line> want;
        for (const auto& w : c.want) want.push_back(out(w));
        EXPECT_EQ(sink.lines, want);
    }
}

// Two sources over seven cycles. In daemon mode an alarm at T silences the
// source up to and including T + alarm_reset, and its next line comes at the
// first later cycle in which it is above the threshold; in foreground mode
// every cycle above the threshold has its line.
TEST_F(CycleTest, HoldOffAcrossCyclesOnlyInDaemonMode) {
    const time_t t0 = kDay + 100;
    struct Step {
        time_t at;
        bool a_above;             // kA at 100 qps, else 10
        bool b_on;                // kB at 70 qps, else silent
        bool a_daemon, b_daemon;  // lines expected in daemon mode
    };
    const Step steps[] = {
        {t0, true, false, true, false},      // kA alarmed at t0
        {t0 + 30, true, true, false, true},  // kB alarmed at t0+30
        {t0 + 89, true, true, false, false},  {t0 + 91, true, true, true, false},  // kA: 91 > 90
        {t0 + 120, true, true, false, false},  // kB: exactly 90 is still quiet
        {t0 + 190, false, true, false, true},  // kA below the threshold
        {t0 + 200, true, true, true, false},   // kA's first cycle above it again
    };

    for (int foreground : {0, 1}) {
        SCOPED_TRACE(foreground ? "foreground" : "daemon");
        Settings s;
        s.foreground = foreground;
        s.threshold = 60;
        s.alarm_reset = 90;
        LockGuarded<Table> table(16, 5);
        CollectingSink sink;
        CollectingSender sender;
        WiredCycle cycle(s, table, sink, sender, host_);

        auto line = [&](SourceAddr src, uint32_t qps, time_t at) {
            const std::string addr = to_text(src).c_str();
            // Appended piece by piece: GCC 12 at -O3 misreads a chain of string
            // additions here as an overlapping copy.
            std::string text = "source [";
            text.append(addr).append("] - ").append(std::to_string(qps)).append(" qps\n");
            if (foreground) return out(std::string("[") + make_stamp(at).text + "] " + text);
            return notice(text);
        };
        std::vector<std::vector<Line>> got, want;
        time_t prev = t0 - 10;
        for (const Step& st : steps) {
            const uint32_t gap = static_cast<uint32_t>(st.at - prev);
            table.lock()->add_query(kA, kUdp, (st.a_above ? 100 : 10) * gap, 1, prev);
            if (st.b_on) table.lock()->add_query(kB, kUdp, 70 * gap, 1, prev);
            sink.lines.clear();
            cycle.run(st.at);
            got.push_back(sink.lines);
            prev = st.at;

            want.emplace_back();
            if (foreground ? st.a_above : st.a_daemon) want.back().push_back(line(kA, 100, st.at));
            if (foreground ? st.b_on : st.b_daemon) want.back().push_back(line(kB, 70, st.at));
        }
        EXPECT_EQ(got, want);
    }
}

// ---- totals ------------------------------------------------------------------

TEST_F(CycleTest, TotalsAccumulateUntilDueThenResetAtAFreshClockReading) {
    s_.foreground = 1;
    s_.verbosity = 1;
    s_.threshold = 1000000;  // a due report does not depend on any alarm
    s_.totals_interval = 10;
    table_.lock()->reset_totals(kDay);

    add({kA, kTcp, 3, 1, kDay});
    EXPECT_EQ(run(kDay + 5), std::vector<Line>{});  // 5 s: not due
    add({kA, kUdp, 2, 28, kDay + 6});
    add({kB, kUdp, 5, 28, kDay + 7});
    // Due at 10 s: everything counted since the window opened, over 10 s.
    // The next window opens at the cycle time.
    EXPECT_EQ(run(kDay + 10),
              std::vector<Line>{out("[00:00:10] totals - 0.30 qps tcp : 0.70 qps udp "
                                    "[0.30 qps A] [0.70 qps AAAA] \n")});
    {
        auto t = table_.lock();
        EXPECT_EQ(t->totals().first_packet, kDay + 10);
        EXPECT_EQ(t->totals().tcp_count + t->totals().udp_count, 0u);
        EXPECT_EQ(t->totals().type_count(1) + t->totals().type_count(28), 0);
    }
    add({kC, kUdp, 4, 1, kDay + 12});
    EXPECT_EQ(run(kDay + 19), std::vector<Line>{});  // 9 s since the reset
    EXPECT_EQ(
        run(kDay + 20),
        std::vector<Line>{out("[00:00:20] totals - 0.00 qps tcp : 0.40 qps udp [0.40 qps A] \n")});
}

TEST_F(CycleTest, TotalsFollowTheAlarmLinesOfTheirCycle) {
    s_.foreground = 1;
    s_.totals_interval = 2;
    table_.lock()->reset_totals(kDay);
    add({kA, kUdp, 200, 1, kDay});
    add({kB, kTcp, 10, 1, kDay});
    EXPECT_EQ(run(kDay + 2), (std::vector<Line>{
                                 out("[00:00:02] source [192.0.2.10] - 100 qps\n"),
                                 out("[00:00:02] totals - 5.00 qps tcp : 100.00 qps udp \n"),
                             }));
}

TEST_F(CycleTest, TotalsWindowRules) {
    struct Case {
        const char* name;
        int32_t interval;
        int foreground;
        std::vector<time_t> cycles;  // seconds after the window opened
        std::vector<std::vector<Line>> want;
    };
    const Case cases[] = {
        {"no totals without an interval", 0, 1, {1, 2, 1000}, {{}, {}, {}}},
        {"-m 1 waits 2 s",
         1,
         1,
         {1, 2},
         {{}, {out("[00:00:02] totals - 0.00 qps tcp : 2.00 qps udp \n")}}},
        {"daemon mode", 3, 0, {2, 3}, {{}, {notice("[totals] - 0.00 tcp qps : 1.33 udp qps\n")}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Settings s;
        s.foreground = c.foreground;
        s.threshold = 1000;
        s.totals_interval = c.interval;
        LockGuarded<Table> table(16, 5);
        CollectingSink sink;
        CollectingSender sender;
        WiredCycle cycle(s, table, sink, sender, host_);
        table.lock()->reset_totals(kDay);
        table.lock()->add_query(kA, kUdp, 4, 16, kDay);
        std::vector<std::vector<Line>> got;
        for (time_t after : c.cycles) {
            sink.lines.clear();
            cycle.run(kDay + after);
            got.push_back(sink.lines);
        }
        EXPECT_EQ(got, c.want);
    }
}

TEST_F(CycleTest, AnEmptyWindowStillReportsZeroRates) {
    s_.foreground = 1;
    s_.verbosity = 2;
    s_.totals_interval = 5;
    table_.lock()->reset_totals(kDay);
    EXPECT_EQ(run(kDay + 5),
              std::vector<Line>{out("[00:00:05] totals - 0.00 qps tcp : 0.00 qps udp \n")});
}

// ---- the two bucket sets ------------------------------------------------------

TEST_F(CycleTest, EveryCountedQueryFallsIntoExactlyOneCycle) {
    s_.send_json = 1;
    s_.threshold = 1000000;
    const SourceAddr sources[] = {
        kA, kB, kC, kD, make_addr(0, 0, 0, 0), make_addr(255, 255, 255, 255)};
    time_t t = kDay;
    uint64_t total = 0;
    for (int k = 0; k < 8; ++k) {
        SCOPED_TRACE(k);
        std::map<std::string, uint64_t> want;
        for (int q = 0; q < 5 + 3 * k; ++q) {
            const SourceAddr src = sources[(k * 7 + q * 5) % std::size(sources)];
            const uint32_t n = static_cast<uint32_t>(1 + (q * 13 + k) % 17);
            add({src, q % 3 == 0 ? kTcp : kUdp, n, 1, t + q % 4});
            want[to_text(src).c_str()] += n;
            total += n;
        }
        t += 20;
        run(t);
        EXPECT_EQ(exported(), want);
        expect_active_set_free();
    }
    auto tot = table_.lock()->totals();
    EXPECT_EQ(uint64_t{tot.tcp_count} + tot.udp_count, total);
}

TEST_F(CycleTest, AfterACycleTheCaptureCountsIntoAnEmptySet) {
    s_.send_json = 1;
    add({kA, kUdp, 3, 1, kDay});
    add({kB, kTcp, 4, 1, kDay});
    run(kDay + 20);
    EXPECT_EQ(exported(),
              (std::map<std::string, uint64_t>{{"192.0.2.10", 3}, {"198.51.100.7", 4}}));
    expect_active_set_free();

    // kB comes back into a set where it has no bucket yet: it claims the
    // lowest free one, with a window that opens now.
    EXPECT_EQ(table_.lock()->add_query(kB, kUdp, 1, 1, kDay + 25), 0);
    EXPECT_EQ(table_.lock()->active().bucket(0).first_packet, kDay + 25);
    run(kDay + 40);
    EXPECT_EQ(exported(), (std::map<std::string, uint64_t>{{"198.51.100.7", 1}}));
    // A cycle with nothing counted sends nothing.
    run(kDay + 60);
    EXPECT_TRUE(sender_.datagrams.empty());
}

// ---- the consumers -------------------------------------------------------------

// What a consumer saw of each cycle, in a log shared with the others.
class Recorder final : public CycleConsumer {
  public:
    Recorder(std::vector<std::string>& log, std::string name) : log_(log), name_(std::move(name)) {}
    void consume(const CycleSummary& s) override {
        std::string entry =
            name_ + ": " + std::to_string(s.retired->in_use_count()) + " sources, alarms";
        for (int32_t i : s.alarms.sources) {
            const Bucket& b = s.retired->bucket(i);
            entry.append(" ").append(to_text(b.ip_addr).c_str());
            entry += " at " + std::to_string(source_qps_at(b, s.cycle_time)) + " qps";
        }
        log_.push_back(entry);
    }
    void cycle_done(const CycleSummary& s, double) override {
        log_.push_back(name_ + " done: " + std::to_string(s.retired->in_use_count()) + " sources");
    }

  private:
    std::vector<std::string>& log_;
    std::string name_;
};

// The alarms are decided before the first consumer, every consumer reads
// the same full retired set in the order they were added, and the set is
// emptied only after the last.
TEST_F(CycleTest, ConsumersReadTheDecidedAlarmsInTurnThenTheSetIsEmptied) {
    s_.threshold = 60;
    StatsCycle cycle(s_, table_);
    std::vector<std::string> log;
    Recorder first(log, "first");
    Recorder second(log, "second");
    cycle.add_consumer(&first);
    cycle.add_consumer(&second);
    add({kA, kUdp, 10, 1, kDay});
    add({kB, kUdp, 200, 1, kDay});
    add({kC, kTcp, 300, 1, kDay});
    cycle.run(kDay + 2);
    const std::string alarms = "3 sources, alarms 198.51.100.7 at 100 qps 203.0.113.99 at 150 qps";
    EXPECT_EQ(log, (std::vector<std::string>{"first: " + alarms, "second: " + alarms,
                                             "first done: 0 sources", "second done: 0 sources"}));
}

}  // namespace
}  // namespace qv
