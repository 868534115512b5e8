#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "collectors.h"
#include "output/report_lines.h"
#include "stats/rates.h"

namespace qv {
namespace {

using test::CollectingSink;
using test::Line;

// Midnight UTC, so a cycle time of kDay + 3723 stamps as 01:02:03.
constexpr time_t kDay = time_t{86400} * 20000;
constexpr time_t kAt = kDay + 3723;

constexpr SourceAddr kSrc = make_addr(192, 0, 2, 10);



using TypeCounts = std::vector<std::pair<int, int32_t>>;

Bucket make_bucket(SourceAddr addr, uint32_t tcp, uint32_t udp, uint32_t qps,
                   const TypeCounts& types = {}) {
    Bucket b{};
    b.ip_addr = addr;
    b.tcp_count = tcp;
    b.udp_count = udp;
    b.qps = qps;
    // A type no report breaks out has no counter: what the capture would count.
    for (const auto& [code, n] : types) {
        if (type_slot(static_cast<uint32_t>(code)) >= 0) b.qstats[type_slot(static_cast<uint32_t>(code))] = n;
    }
    return b;
}

// Every rate computed from these is exact in single precision: counts are
// multiples of 256 below 2^32 and the window is 2 seconds.
TypeCounts all_types_huge() {
    const int codes[] = {1, 2, 5, 6, 12, 15, 28, 38, 252, 255};
    TypeCounts out;
    for (int k = 0; k < 10; ++k) out.push_back({codes[k], 2000000000 + 256 * k});
    return out;
}

class StatsLinesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

// ---- rates ---------------------------------------------------------------

TEST(StatsRates, QueryTypesAreTheTenReportedRowsInOrder) {
    const std::vector<std::pair<std::string, int>> want = {
        {"A", 1},   {"NS", 2},    {"CNAME", 5}, {"SOA", 6},    {"PTR", 12},
        {"MX", 15}, {"AAAA", 28}, {"A6", 38},   {"AXFR", 252}, {"ANY", 255}};
    ASSERT_EQ(query_types.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(query_types[i].name, want[i].first) << i;
        EXPECT_EQ(query_types[i].code, want[i].second) << i;
    }
}

TEST(StatsRates, ElapsedIsTheUnsigned32BitDifferenceOfTheLowBits) {
    struct Case {
        time_t to, from;
        uint32_t want;
    };
    const Case cases[] = {
        {kDay + 20, kDay, 20},
        {kDay, kDay, 0},
        // A clock set back: the difference wraps.
        {kDay, kDay + 10, 4294967286u},
        // Only the low 32 bits count: across a 2^32 boundary, and with
        // different high halves.
        {time_t{0x100000005}, time_t{0xFFFFFFFD}, 8},
        {time_t{0x200000007}, time_t{0x100000003}, 4},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(elapsed_seconds(c.to, c.from), c.want) << c.to << " - " << c.from;
    }
}

TEST(StatsRates, RatesRoundUpInSinglePrecision) {
    struct Case {
        uint32_t count;
        float elapsed;
        uint32_t want;
    };
    const Case cases[] = {
        {120, 2, 60},
        {121, 2, 61},
        {61, 2, 31},
        {7, 3, 3},
        {1, 20, 1},
        {0, 20, 0},
        {1, 4294967286.0f, 1},
        // 2^25 + 2 is 2^25 as a float: a double-precision division would give
        // 16777217.
        {33554434u, 2, 16777216u},
        // The largest count rounds to 2^32 as a float; half of it needs all
        // 32 unsigned bits.
        {4294967295u, 2, 2147483648u},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rate_up(c.count, c.elapsed), c.want) << c.count << " / " << c.elapsed;
    }
    EXPECT_EQ(rate_up(int32_t{7}, 2.0f), 4u);
    EXPECT_EQ(rate_up(int32_t{0}, 2.0f), 0u);
    EXPECT_EQ(rate_up(int32_t{2147483647}, 2.0f), 1073741824u);
}

TEST_F(StatsLinesTest, StampIsLocalTimeInTwoDigitFields) {
    EXPECT_STREQ(make_stamp(kDay).text, "00:00:00");
    EXPECT_STREQ(make_stamp(kAt).text, "01:02:03");
    EXPECT_STREQ(make_stamp(kDay + 45296).text, "12:34:56");
    EXPECT_STREQ(make_stamp(kDay + 86399).text, "23:59:59");
}

// ---- alarm lines -----------------------------------------------------------

struct AlarmCase {
    const char* name;
    int verbosity;
    Bucket bucket;
    const char* want;
};

const TypeCounts kMixed = {{1, 6}, {15, 3}, {28, 5}, {255, 1}, {16, 100}};

TEST_F(StatsLinesTest, ForegroundAlarmLinesPerVerbosity) {
    const AlarmCase cases[] = {
        {"v0 prints the qps", 0, make_bucket(kSrc, 61, 61, 61),
         "[01:02:03] source [192.0.2.10] - 61 qps\n"},
        {"v1 prints tcp and udp rates", 1, make_bucket(kSrc, 61, 61, 61),
         "[01:02:03] source [192.0.2.10] - 31 qps tcp : 31 qps udp \n"},
        {"v2 adds the non-zero listed types in table order", 2, make_bucket(kSrc, 10, 5, 8, kMixed),
         "[01:02:03] source [192.0.2.10] - 5 qps tcp : 3 qps udp "
         "[3 qps A] [2 qps MX] [3 qps AAAA] [1 qps ANY] \n"},
        {"v3 is v2", 3, make_bucket(kSrc, 10, 5, 8, kMixed),
         "[01:02:03] source [192.0.2.10] - 5 qps tcp : 3 qps udp "
         "[3 qps A] [2 qps MX] [3 qps AAAA] [1 qps ANY] \n"},
        {"v2 with only unlisted types has no entries", 2,
         make_bucket(kSrc, 0, 20, 10, {{16, 20}, {0, 4}, {29, 2}}),
         "[01:02:03] source [192.0.2.10] - 0 qps tcp : 10 qps udp \n"},
        {"v2 reads each listed code", 2,
         make_bucket(kSrc, 0, 110, 55,
                     {{1, 2},
                      {2, 4},
                      {5, 6},
                      {6, 8},
                      {12, 10},
                      {15, 12},
                      {28, 14},
                      {38, 16},
                      {252, 18},
                      {255, 20}}),
         "[01:02:03] source [192.0.2.10] - 0 qps tcp : 55 qps udp [1 qps A] [2 qps NS] "
         "[3 qps CNAME] [4 qps SOA] [5 qps PTR] [6 qps MX] [7 qps AAAA] [8 qps A6] "
         "[9 qps AXFR] [10 qps ANY] \n"},
        {"v2 foreground lines are not cut at 191", 2,
         make_bucket(make_addr(198, 51, 100, 200), 4000000000u, 3000000000u, 1352516352u,
                     all_types_huge()),
         "[01:02:03] source [198.51.100.200] - 2000000000 qps tcp : 1500000000 qps udp "
         "[1000000000 qps A] [1000000128 qps NS] [1000000256 qps CNAME] "
         "[1000000384 qps SOA] [1000000512 qps PTR] [1000000640 qps MX] "
         "[1000000768 qps AAAA] [1000000896 qps A6] [1000001024 qps AXFR] "
         "[1000001152 qps ANY] \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Settings s;
        s.foreground = 1;
        s.verbosity = c.verbosity;
        CollectingSink sink;
        write_alarm_line(s, c.bucket, 2.0f, make_stamp(kAt), sink);
        ASSERT_EQ(sink.lines.size(), 1u);
        EXPECT_FALSE(sink.lines[0].syslog);
        EXPECT_EQ(sink.lines[0].text, c.want);
    }
}

TEST_F(StatsLinesTest, SyslogAlarmLinesPerVerbosity) {
    const AlarmCase cases[] = {
        {"v0", 0, make_bucket(kSrc, 61, 61, 61), "source [192.0.2.10] - 61 qps\n"},
        {"v1", 1, make_bucket(kSrc, 61, 61, 61), "source [192.0.2.10] - 31 tcp qps - 31 udp qps\n"},
        {"v2", 2, make_bucket(kSrc, 10, 5, 8, kMixed),
         "source [192.0.2.10] - 5 tcp qps : 3 udp qps "
         "[3 qps A] [2 qps MX] [3 qps AAAA] [1 qps ANY] "},
        {"v2 with only unlisted types", 2, make_bucket(kSrc, 0, 20, 10, {{16, 20}}),
         "source [192.0.2.10] - 0 tcp qps : 10 udp qps "},
        // Head 66 characters; the six entries after it reach 190, leaving 2
        // bytes: the AAAA entry is formatted into them as its first character
        // and nothing follows.
        {"v2 cut at 191", 2,
         make_bucket(make_addr(198, 51, 100, 200), 4000000000u, 3000000000u, 1352516352u,
                     all_types_huge()),
         "source [198.51.100.200] - 2000000000 tcp qps : 1500000000 udp qps "
         "[1000000000 qps A] [1000000128 qps NS] [1000000256 qps CNAME] "
         "[1000000384 qps SOA] [1000000512 qps PTR] [1000000640 qps MX] ["},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Settings s;
        s.foreground = 0;
        s.verbosity = c.verbosity;
        CollectingSink sink;
        write_alarm_line(s, c.bucket, 2.0f, make_stamp(kAt), sink);
        ASSERT_EQ(sink.lines.size(), 1u);
        EXPECT_TRUE(sink.lines[0].syslog);
        EXPECT_EQ(sink.lines[0].priority, LOG_NOTICE);
        EXPECT_EQ(sink.lines[0].text, c.want);
        EXPECT_LE(sink.lines[0].text.size(), 191u);
    }
}

// ---- the 192-byte composed line ---------------------------------------------

TEST(StatsComposedLine, EntriesFollowTheHeadWithinTheBuffer) {
    struct Case {
        const char* name;
        std::string head;
        std::vector<std::string> entries;
        std::string want;
    };
    const std::string x180(180, 'x');
    const Case cases[] = {
        {"everything fits", "h ", {"a ", "b "}, "h a b "},
        {"exactly 2 bytes left: the entry gets one character, then nothing",
         x180,
         {"0123456789", "abcdef", "zz"},
         x180 + "0123456789a"},
        {"exactly 1 byte left: no further entry",
         x180,
         {"0123456789A", "q", "r"},
         x180 + "0123456789A"},
        {"an entry that runs over is cut at 191",
         std::string(100, 'x'),
         {std::string(95, 'y'), "zz"},
         std::string(100, 'x') + std::string(91, 'y')},
        {"a head that runs over leaves no room",
         std::string(200, 'x'),
         {"a"},
         std::string(191, 'x')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ComposedLine line;
        line.head("%s", c.head.c_str());
        for (const auto& e : c.entries) line.entry("%s", e.c_str());
        EXPECT_EQ(std::string(line.text()), c.want);
    }
}

// ---- totals ------------------------------------------------------------------

TEST(StatsTotals, DueOnlyForAPositiveIntervalAndAWindowOfAtLeastItAndTwo) {
    struct Case {
        int32_t interval;
        time_t first, cycle;
        bool due;
        uint32_t window;
    };
    const Case cases[] = {
        {0, kDay, kDay + 100, false, 0},
        {-5, kDay, kDay + 100, false, 0},
        {1, kDay, kDay + 1, false, 0},  // -m 1 waits for 2 seconds like -m 2
        {1, kDay, kDay + 2, true, 2},
        {2, kDay, kDay + 2, true, 2},
        {10, kDay, kDay + 9, false, 0},
        {10, kDay, kDay + 10, true, 10},
        {10, kDay, kDay + 11, true, 11},
        {10, kDay, kDay, false, 0},
        // A clock set back wraps the window to nearly 2^32 seconds.
        {10, kDay + 5, kDay, true, 4294967291u},
    };
    for (const auto& c : cases) {
        Settings s;
        s.totals_interval = c.interval;
        Bucket totals = make_bucket(SourceAddr{FREE_ADDR}, 3, 0, 0);
        totals.first_packet = c.first;
        uint32_t window = 12345;
        EXPECT_EQ(totals_due(s, totals, c.cycle, &window), c.due)
            << c.interval << " " << c.cycle - c.first;
        if (c.due) {
            EXPECT_EQ(window, c.window);
        }
    }
}

struct TotalsCase {
    const char* name;
    int foreground;
    int verbosity;
    Bucket totals;
    uint32_t window;
    const char* want;
};

TEST_F(StatsLinesTest, TotalsLinesPerModeAndVerbosity) {
    const SourceAddr none{FREE_ADDR};
    const TypeCounts a_aaaa = {{1, 4}, {28, 4}, {16, 9}};
    const TotalsCase cases[] = {
        {"fg v0: unrounded rates", 1, 0, make_bucket(none, 3, 0, 0), 2,
         "[01:02:03] totals - 1.50 qps tcp : 0.00 qps udp \n"},
        {"fg v0 has no type entries", 1, 0, make_bucket(none, 3, 5, 0, a_aaaa), 2,
         "[01:02:03] totals - 1.50 qps tcp : 2.50 qps udp \n"},
        {"fg v1 adds the listed types with a rate", 1, 1, make_bucket(none, 3, 5, 0, a_aaaa), 2,
         "[01:02:03] totals - 1.50 qps tcp : 2.50 qps udp [2.00 qps A] [2.00 qps AAAA] \n"},
        {"fg v1: a rate above zero that prints as 0.00 is listed", 1, 1,
         make_bucket(none, 0, 1, 0, {{1, 1}}), 300,
         "[01:02:03] totals - 0.00 qps tcp : 0.00 qps udp [0.00 qps A] \n"},
        {"fg v1: a window without queries", 1, 1, make_bucket(none, 0, 0, 0), 10,
         "[01:02:03] totals - 0.00 qps tcp : 0.00 qps udp \n"},
        {"fg v2: no cut on standard output", 1, 2,
         make_bucket(none, 4000000000u, 3000000000u, 0, all_types_huge()), 2,
         "[01:02:03] totals - 2000000000.00 qps tcp : 1500000000.00 qps udp "
         "[1000000000.00 qps A] [1000000128.00 qps NS] [1000000256.00 qps CNAME] "
         "[1000000384.00 qps SOA] [1000000512.00 qps PTR] [1000000640.00 qps MX] "
         "[1000000768.00 qps AAAA] [1000000896.00 qps A6] [1000001024.00 qps AXFR] "
         "[1000001152.00 qps ANY] \n"},
        {"syslog v0", 0, 0, make_bucket(none, 3, 5, 0, a_aaaa), 2,
         "[totals] - 1.50 tcp qps : 2.50 udp qps\n"},
        {"syslog v1", 0, 1, make_bucket(none, 3, 5, 0, a_aaaa), 2,
         "[totals] - 1.50 tcp qps : 2.50 udp qps [2.00 qps A] [2.00 qps AAAA] "},
        {"syslog v1: a tiny rate is listed", 0, 1, make_bucket(none, 0, 1, 0, {{1, 1}}), 300,
         "[totals] - 0.00 tcp qps : 0.00 udp qps [0.00 qps A] "},
        {"syslog v1: a window without queries", 0, 1, make_bucket(none, 0, 0, 0), 10,
         "[totals] - 0.00 tcp qps : 0.00 udp qps "},
        // Head 57 characters; five entries reach 176, so the MX entry gets
        // the last 15 characters and nothing follows.
        {"syslog v2 cut at 191", 0, 2,
         make_bucket(none, 4000000000u, 3000000000u, 0, all_types_huge()), 2,
         "[totals] - 2000000000.00 tcp qps : 1500000000.00 udp qps "
         "[1000000000.00 qps A] [1000000128.00 qps NS] [1000000256.00 qps CNAME] "
         "[1000000384.00 qps SOA] [1000000512.00 qps PTR] [1000000640.00 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Settings s;
        s.foreground = c.foreground;
        s.verbosity = c.verbosity;
        CollectingSink sink;
        write_totals_line(s, c.totals, c.window, make_stamp(kAt), sink);
        ASSERT_EQ(sink.lines.size(), 1u);
        EXPECT_EQ(sink.lines[0].syslog, c.foreground == 0);
        if (c.foreground == 0) {
            EXPECT_EQ(sink.lines[0].priority, LOG_NOTICE);
        }
        EXPECT_EQ(sink.lines[0].text, c.want);
    }
}

AnswerCounts answer_counts(std::array<uint32_t, kAnswerClasses> by_class, uint32_t tc, uint32_t bytes,
                           uint32_t query_bytes) {
    AnswerCounts a{};
    a.by_class = by_class;
    a.truncated = tc;
    a.bytes = bytes;
    a.query_bytes = query_bytes;
    return a;
}

// The answers line after a source's alarm line: rate rounded up over the
// elapsed seconds (none under 2), shares rounded down and over the answers,
// answered over the queries (past 100 when answers of an earlier cycle's
// queries come), the byte factor to one decimal, "-x" without query bytes.
TEST_F(StatsLinesTest, AnswersLinesPerMode) {
    const struct {
        const char* name;
        int foreground;
        Bucket b;
        AnswerCounts a;
        uint32_t elapsed;
        const char* want;
    } cases[] = {
        {"a source answered for its queries", 1, make_bucket(kSrc, 0, 100, 60), answer_counts({97, 0, 1, 0, 0}, 0, 20480, 6000), 10,
         "[01:02:03] answers [192.0.2.10] - 2048 bytes/s, 98% answered, 1% NXDOMAIN, 0% SERVFAIL, 0% REFUSED, 3.4x bytes\n"},
        {"syslog: the same without the stamp", 0, make_bucket(kSrc, 0, 100, 60),
         answer_counts({97, 0, 1, 0, 0}, 0, 20480, 6000), 10,
         "answers [192.0.2.10] - 2048 bytes/s, 98% answered, 1% NXDOMAIN, 0% SERVFAIL, 0% REFUSED, 3.4x bytes"},
        {"2.96 prints as 3.0, the rate rounds up", 1, make_bucket(kSrc, 1, 2, 2), answer_counts({3, 0, 0, 0, 0}, 0, 296, 100), 3,
         "[01:02:03] answers [192.0.2.10] - 99 bytes/s, 100% answered, 0% NXDOMAIN, 0% SERVFAIL, 0% REFUSED, 3.0x bytes\n"},
        {"answers without queries", 1, make_bucket(kSrc, 0, 0, 0), answer_counts({0, 2, 1, 1, 0}, 1, 4000, 0), 4,
         "[01:02:03] answers [192.0.2.10] - 1000 bytes/s, 0% answered, 25% NXDOMAIN, 50% SERVFAIL, 25% REFUSED, -x bytes\n"},
        {"more answers than queries, too young for a rate", 1, make_bucket(kSrc, 0, 2, 0),
         answer_counts({5, 0, 0, 0, 0}, 0, 500, 40), 1,
         "[01:02:03] answers [192.0.2.10] - 0 bytes/s, 250% answered, 0% NXDOMAIN, 0% SERVFAIL, 0% REFUSED, 12.5x bytes\n"},
        {"no answers", 1, make_bucket(kSrc, 0, 9, 5), answer_counts({0, 0, 0, 0, 0}, 0, 0, 90), 2,
         "[01:02:03] answers [192.0.2.10] - 0 bytes/s, 0% answered, 0% NXDOMAIN, 0% SERVFAIL, 0% REFUSED, 0.0x bytes\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Settings s;
        s.foreground = c.foreground;
        s.count_answers = 1;
        CollectingSink sink;
        write_answers_line(s, c.b, c.a, c.elapsed, make_stamp(kAt), sink);
        ASSERT_EQ(sink.lines.size(), 1u);
        EXPECT_EQ(sink.lines[0], (Line{c.foreground == 0, c.foreground == 0 ? LOG_NOTICE : 0, c.want}));
    }
}

// Zone lines gain their answer shares with -R; the totals gain a line of
// their own, its rates over the window, not rounded.
TEST_F(StatsLinesTest, ZoneAndTotalsLinesWithAnswers) {
    ZoneCount z{ZoneKey::of("example.co.uk."), 0, 0, 0, 0, 0, 0, 0, 0, 0, false, {}};
    z.queries = 20000;
    z.qps = 2000;
    z.names = 8085;
    z.answers = 19900;
    z.nxdomain = 19400;
    z.servfail = 3;
    for (int fg : {1, 0}) {
        for (int answers : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "foreground " << fg << " answers " << answers);
            Settings s;
            s.foreground = fg;
            s.count_answers = answers;
            CollectingSink sink;
            write_zone_alarm_line(s, z, make_stamp(kAt), sink);
            std::string want = "zone [example.co.uk.] - 2000 qps, 8085 names";
            if (answers) want += ", 99% answered, 97% NXDOMAIN, 0% SERVFAIL";
            if (fg) want = "[01:02:03] " + want + "\n";
            ASSERT_EQ(sink.lines.size(), 1u);
            EXPECT_EQ(sink.lines[0].text, want);
        }
    }

    const Bucket totals = make_bucket(SourceAddr{FREE_ADDR}, 1000, 143000, 0);
    AnswerTotals a{};
    a.by_class = {114800, 500, 8700, 0, 1400};  // 125400 over 60 s
    a.truncated = 1300;
    a.bytes = 72000000;
    for (int fg : {1, 0}) {
        SCOPED_TRACE(fg);
        Settings s;
        s.foreground = fg;
        CollectingSink sink;
        write_answer_totals_line(s, totals, a, 60, make_stamp(kAt), sink);
        const std::string body =
            "- 2090.00 answers/s : 87% of queries : 91% NOERROR : 6% NXDOMAIN : 0% SERVFAIL : 0% REFUSED : "
            "1% other : 1200000.00 bytes/s : 1% truncated";
        ASSERT_EQ(sink.lines.size(), 1u);
        EXPECT_EQ(sink.lines[0].text, fg ? "[01:02:03] answers " + body + "\n" : "[answers] " + body);
    }
}

}  // namespace
}  // namespace qv
