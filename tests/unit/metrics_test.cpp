// The metrics page: its exposition text, the per-cycle figures a cycle
// publishes (top sources, monotonic capture counters), the -P address, and
// what the callback makes of each kind of frame.
#include "output/metrics.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "capture/handler.h"
#include "collectors.h"
#include "control/metrics_server.h"
#include "control/stats_thread.h"
#include "frames.h"
#include "table/observation.h"

namespace qv {
namespace {

constexpr time_t kDay = time_t{86400} * 20000;

// name{labels} -> value, and every family's HELP and TYPE, from a page.
struct Parsed {
    std::map<std::string, std::string> samples;
    std::map<std::string, std::string> types;
    std::vector<std::string> helps;
};

Parsed parse(const std::string& page) {
    Parsed p;
    std::istringstream in(page);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("# HELP ", 0) == 0) {
            p.helps.push_back(line.substr(7, line.find(' ', 7) - 7));
        } else if (line.rfind("# TYPE ", 0) == 0) {
            const size_t sp = line.find(' ', 7);
            p.types[line.substr(7, sp - 7)] = line.substr(sp + 1);
        } else {
            const size_t sp = line.rfind(' ');
            p.samples[line.substr(0, sp)] = line.substr(sp + 1);
        }
    }
    return p;
}

TEST(Metrics, PageFamiliesAndCounts) {
    CaptureStats stats;
    stats.frame(FrameResult::counted);
    stats.frame(FrameResult::counted);
    stats.frame(FrameResult::response);
    stats.frame(FrameResult::other);
    stats.frame(FrameResult::answer);
    stats.query(4, 17, 1);
    stats.query(6, 6, 257);   // CAA, not A
    stats.query(6, 6, 0x1001);  // a type with no row of its own
    CycleFigures f;
    f.sources = 3;
    f.capture.known = true;
    f.capture.received_total = 5000000000ull;  // past 32 bits
    f.capture.dropped_kernel_total = 7;
    f.top_count = 1;
    f.top[0] = {to_text(make_addr(198, 51, 100, 0), Prefixes{24, 64}), 1200};
    const Parsed p = parse(render_metrics({"1.2", "libpcap \"x\"\\y", &stats, f, {}}));

    // HELP and TYPE once for every family, types as documented.
    const std::map<std::string, std::string> want_types = {
        {"quorvane_build_info", "gauge"},
        {"quorvane_frames_total", "counter"},
        {"quorvane_queries_total", "counter"},
        {"quorvane_queries_by_type_total", "counter"},
        {"quorvane_capture_received_total", "counter"},
        {"quorvane_capture_dropped_total", "counter"},
        {"quorvane_sources", "gauge"},
        {"quorvane_table_takeovers_total", "counter"},
        {"quorvane_alarms_total", "counter"},
        {"quorvane_cycle_duration_seconds", "gauge"},
        {"quorvane_last_cycle_timestamp_seconds", "gauge"},
        {"quorvane_top_source_qps", "gauge"},
        {"process_cpu_seconds_total", "counter"},
        {"process_resident_memory_bytes", "gauge"},
        {"process_start_time_seconds", "gauge"},
        {"process_open_fds", "gauge"},
    };
    EXPECT_EQ(p.types, want_types);
    EXPECT_EQ(p.helps.size(), want_types.size());

    // Label values escaped.
    EXPECT_EQ(p.samples.at(R"(quorvane_build_info{version="1.2",libpcap="libpcap \"x\"\\y"})"), "1");
    EXPECT_EQ(p.samples.at(R"(quorvane_frames_total{result="counted"})"), "2");
    EXPECT_EQ(p.samples.at(R"(quorvane_frames_total{result="type0"})"), "0");
    EXPECT_EQ(p.samples.at(R"(quorvane_frames_total{result="response"})"), "1");
    EXPECT_EQ(p.samples.at(R"(quorvane_frames_total{result="malformed"})"), "0");
    EXPECT_EQ(p.samples.at(R"(quorvane_frames_total{result="other"})"), "1");
    EXPECT_EQ(p.samples.at(R"(quorvane_frames_total{result="answer"})"), "1");
    EXPECT_EQ(p.samples.at(R"(quorvane_queries_total{family="ipv4",transport="udp"})"), "1");
    EXPECT_EQ(p.samples.at(R"(quorvane_queries_total{family="ipv6",transport="tcp"})"), "2");
    EXPECT_EQ(p.samples.at(R"(quorvane_queries_total{family="ipv6",transport="udp"})"), "0");
    EXPECT_EQ(p.samples.at(R"(quorvane_queries_by_type_total{type="A"})"), "1");
    EXPECT_EQ(p.samples.at(R"(quorvane_queries_by_type_total{type="CAA"})"), "1");
    EXPECT_EQ(p.samples.at(R"(quorvane_queries_by_type_total{type="other"})"), "1");
    EXPECT_EQ(p.samples.at("quorvane_capture_received_total"), "5000000000");
    EXPECT_EQ(p.samples.at(R"(quorvane_capture_dropped_total{by="kernel"})"), "7");
    EXPECT_EQ(p.samples.at(R"(quorvane_top_source_qps{source="198.51.100.0/24"})"), "1200");
    EXPECT_EQ(p.samples.at("quorvane_sources"), "3");

    // A replay has no capture counters: those families are absent.
    f.capture.known = false;
    const Parsed replay = parse(render_metrics({"1.2", "x", &stats, f, {}}));
    EXPECT_EQ(replay.types.count("quorvane_capture_received_total"), 0u);
    EXPECT_EQ(replay.types.count("quorvane_capture_dropped_total"), 0u);
}

// The hook's families are on the page with -e only, with its counts.
TEST(Metrics, HookFamiliesWithAHook) {
    CaptureStats stats;
    CycleFigures f;
    const Parsed off = parse(render_metrics({"1.2", "x", &stats, f, {}}));
    for (const char* family :
         {"quorvane_hook_runs_total", "quorvane_hook_events_total", "quorvane_hook_events_dropped_total"}) {
        EXPECT_EQ(off.types.count(family), 0u) << family;
    }
    HookCounters hook;
    hook.runs_ok = 7;
    hook.runs_failed = 2;
    hook.runs_killed = 1;
    hook.events = 12000;
    hook.dropped = 2000;
    const Parsed on = parse(render_metrics({"1.2", "x", &stats, f, {}, &hook}));
    EXPECT_EQ(on.types.at("quorvane_hook_runs_total"), "counter");
    EXPECT_EQ(on.types.at("quorvane_hook_events_total"), "counter");
    EXPECT_EQ(on.types.at("quorvane_hook_events_dropped_total"), "counter");
    EXPECT_EQ(on.samples.at(R"(quorvane_hook_runs_total{result="ok"})"), "7");
    EXPECT_EQ(on.samples.at(R"(quorvane_hook_runs_total{result="failed"})"), "2");
    EXPECT_EQ(on.samples.at(R"(quorvane_hook_runs_total{result="killed"})"), "1");
    EXPECT_EQ(on.samples.at("quorvane_hook_events_total"), "12000");
    EXPECT_EQ(on.samples.at("quorvane_hook_events_dropped_total"), "2000");
}

TEST(Metrics, TopZonesWhenZonesAreCounted) {
    CaptureStats stats;
    CycleFigures f;
    const Parsed off = parse(render_metrics({"1.2", "x", &stats, f, {}}));
    EXPECT_EQ(off.types.count("quorvane_top_zone_qps"), 0u);
    f.zones_counted = true;
    f.top_zone_count = 2;
    f.top_zones[0] = {ZoneKey::of("example.com."), 1200, 1180};
    f.top_zones[1] = {ZoneKey::of("a\\\"b.net."), 300, 1};  // a\"b.net. as the decoder writes it
    const Parsed on = parse(render_metrics({"1.2", "x", &stats, f, {}}));
    EXPECT_EQ(on.types.at("quorvane_top_zone_qps"), "gauge");
    EXPECT_EQ(on.types.at("quorvane_top_zone_names"), "gauge");
    EXPECT_EQ(on.samples.at(R"(quorvane_top_zone_qps{zone="example.com."})"), "1200");
    EXPECT_EQ(on.samples.at(R"(quorvane_top_zone_names{zone="example.com."})"), "1180");
    EXPECT_EQ(on.samples.at(R"(quorvane_top_zone_names{zone="a\\\"b.net."})"), "1");
}

// The answer families, with -R only: every family, transport and code row
// from the capture's own counts, the top answer bytes, the zone ratios.
TEST(Metrics, AnswerFamiliesWithAnswersCounted) {
    CaptureStats stats;
    stats.answer(4, 17, 3, false, 100);  // NXDOMAIN
    stats.answer(4, 17, 3, true, 120);
    stats.answer(6, 6, 2, false, 700);  // SERVFAIL
    stats.answer(4, 6, 1, true, 40);    // FORMERR
    stats.answer(6, 17, 4, false, 30);  // NOTIMP
    stats.answer(6, 17, 9, false, 20);  // no row of its own
    stats.answer(6, 17, 15, false, 10);
    stats.query_bytes(4, 17, 33);
    stats.query_bytes(6, 6, 4000000000u);
    stats.query_bytes(6, 6, 1000000000u);  // past 32 bits together
    CycleFigures f;
    f.top_answer_count = 2;
    f.top_answer_bytes[0] = {to_text(make_addr6("2001:db8:1:2::"), Prefixes{32, 64}), 90000};
    f.top_answer_bytes[1] = {to_text(make_addr(192, 0, 2, 7)), 512};

    const Parsed off = parse(render_metrics({"1.2", "x", &stats, f, {}}));
    f.answers_counted = true;
    const Parsed on = parse(render_metrics({"1.2", "x", &stats, f, {}}));

    const std::map<std::string, std::string> families = {
        {"quorvane_answers_total", "counter"},
        {"quorvane_answer_bytes_total", "counter"},
        {"quorvane_query_bytes_total", "counter"},
        {"quorvane_answers_truncated_total", "counter"},
        {"quorvane_top_source_answer_bytes", "gauge"},
    };
    for (const auto& [name, type] : families) {
        EXPECT_EQ(off.types.count(name), 0u) << name;
        EXPECT_EQ(on.types.count(name) == 1 ? on.types.at(name) : "", type) << name;
    }
    EXPECT_EQ(on.helps.size(), on.types.size());
    EXPECT_EQ(on.types.size(), off.types.size() + families.size());

    // Every row is on the page, those not named above at 0.
    std::map<std::string, std::string> want = {
        {R"(quorvane_answers_total{family="ipv4",transport="udp",rcode="NXDOMAIN"})", "2"},
        {R"(quorvane_answers_total{family="ipv6",transport="tcp",rcode="SERVFAIL"})", "1"},
        {R"(quorvane_answers_total{family="ipv4",transport="tcp",rcode="FORMERR"})", "1"},
        {R"(quorvane_answers_total{family="ipv6",transport="udp",rcode="NOTIMP"})", "1"},
        {R"(quorvane_answers_total{family="ipv6",transport="udp",rcode="other"})", "2"},
        {R"(quorvane_answer_bytes_total{family="ipv4",transport="udp"})", "220"},
        {R"(quorvane_answer_bytes_total{family="ipv6",transport="tcp"})", "700"},
        {R"(quorvane_answer_bytes_total{family="ipv4",transport="tcp"})", "40"},
        {R"(quorvane_answer_bytes_total{family="ipv6",transport="udp"})", "60"},
        {R"(quorvane_query_bytes_total{family="ipv4",transport="udp"})", "33"},
        {R"(quorvane_query_bytes_total{family="ipv6",transport="tcp"})", "5000000000"},
        {"quorvane_answers_truncated_total", "2"},
        {R"(quorvane_top_source_answer_bytes{source="2001:db8:1:2::/64"})", "90000"},
        {R"(quorvane_top_source_answer_bytes{source="192.0.2.7"})", "512"},
    };
    for (const char* family : {"ipv4", "ipv6"}) {
        for (const char* transport : {"udp", "tcp"}) {
            const std::string ft =
                std::string("family=\"") + family + "\",transport=\"" + transport + "\"";
            for (const char* code : answer_code_names)
                want.emplace("quorvane_answers_total{" + ft + ",rcode=\"" + code + "\"}", "0");
            want.emplace("quorvane_answer_bytes_total{" + ft + "}", "0");
            want.emplace("quorvane_query_bytes_total{" + ft + "}", "0");
        }
    }
    ASSERT_EQ(want.size(), 4u * 7 + 4 + 4 + 1 + 2);
    std::map<std::string, std::string> got;
    for (const auto& [series, value] : on.samples) {
        if (families.count(series.substr(0, series.find('{'))) != 0) got[series] = value;
    }
    EXPECT_EQ(got, want);
}

TEST(Metrics, ZoneAnswerRatios) {
    CaptureStats stats;
    CycleFigures f;
    f.zones_counted = true;
    const struct {
        const char* zone;
        uint32_t queries, answers, nxdomain;
        double answered, nx;
    } cases[] = {
        {"example.", 5, 5, 4, 1.0, 0.8},
        {"more.example.", 4, 6, 0, 1.5, 0.0},    // answers to an earlier cycle's queries
        {"quiet.example.", 300, 0, 0, 0.0, 0.0},  // no answers: no NXDOMAIN share
        {"gone.example.", 0, 3, 3, 0.0, 1.0},     // no queries: answered 0
        {"third.example.", 3, 3, 1, 1.0, 1.0 / 3},
    };
    for (const auto& c : cases) {
        f.top_zones[static_cast<size_t>(f.top_zone_count++)] = {
            ZoneKey::of(c.zone), 10, 1, c.queries, c.answers, c.nxdomain};
    }
    const Parsed off = parse(render_metrics({"1.2", "x", &stats, f, {}}));
    EXPECT_EQ(off.types.count("quorvane_top_zone_answered_ratio"), 0u);
    EXPECT_EQ(off.types.count("quorvane_top_zone_nxdomain_ratio"), 0u);
    f.answers_counted = true;
    const Parsed on = parse(render_metrics({"1.2", "x", &stats, f, {}}));
    EXPECT_EQ(on.types.at("quorvane_top_zone_answered_ratio"), "gauge");
    EXPECT_EQ(on.types.at("quorvane_top_zone_nxdomain_ratio"), "gauge");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.zone);
        const std::string zone = std::string("{zone=\"") + c.zone + "\"}";
        // Written to round-trip: the very double.
        EXPECT_EQ(std::stod(on.samples.at("quorvane_top_zone_answered_ratio" + zone)), c.answered);
        EXPECT_EQ(std::stod(on.samples.at("quorvane_top_zone_nxdomain_ratio" + zone)), c.nx);
    }
    // Without zones, no zone family at all.
    f.zones_counted = false;
    const Parsed no_zones = parse(render_metrics({"1.2", "x", &stats, f, {}}));
    EXPECT_EQ(no_zones.types.count("quorvane_top_zone_answered_ratio"), 0u);
}

TEST(Metrics, EscapeLabel) {
    EXPECT_EQ(escape_label("plain"), "plain");
    EXPECT_EQ(escape_label("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
}

// Capture counters that the test sets, wrapping at 2^32 as pcap_stats does.
class FakeCounters final : public CaptureCounters {
public:
    bool read(uint32_t* received, uint32_t* kernel, uint32_t* interface) override {
        *received = received_;
        *kernel = kernel_;
        *interface = interface_;
        return true;
    }
    uint32_t received_ = 0, kernel_ = 0, interface_ = 0;
};

class MetricsCycle : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        s_.foreground = 1;
        s_.threshold = 1000000;
        host_ = escape_host_name("host1");
    }
    Settings s_;
    CaptureStats stats_;
    LockGuarded<Table> table_{64, 5};
    test::CollectingSink sink_;
    test::CollectingSender sender_;
    HostJson host_;
};

TEST_F(MetricsCycle, CaptureCountersStayMonotonicAcrossTheWrap) {
    FakeCounters counters;
    MetricsBoard board(s_);
    WiredCycle cycle(s_, table_, sink_, sender_, host_, &counters, &board);
    counters.received_ = 0xFFFFFF00u;
    counters.kernel_ = 0xFFFFFFF0u;
    cycle.run(kDay);
    EXPECT_EQ(board.figures().capture.received_total, 0xFFFFFF00u);
    counters.received_ = 0x100;  // wrapped: 0x200 more
    counters.kernel_ = 0x10;     // wrapped: 0x20 more
    counters.interface_ = 3;
    cycle.run(kDay + 20);
    const CycleFigures f = board.figures();
    EXPECT_EQ(f.capture.received_total, 0xFFFFFF00ull + 0x200);
    EXPECT_EQ(f.capture.dropped_kernel_total, 0xFFFFFFF0ull + 0x20);
    EXPECT_EQ(f.capture.dropped_interface_total, 3u);
    EXPECT_EQ(f.last_cycle, kDay + 20);
    EXPECT_TRUE(f.capture.known);
}

TEST_F(MetricsCycle, TopTwentyByRateOfTheLastCycleOnly) {
    s_.threshold = 100;
    s_.foreground = 1;
    MetricsBoard board(s_);
    WiredCycle cycle(s_, table_, sink_, sender_, host_, nullptr, &board);
    // 30 sources at 10, 20, ... 300 qps over 2 seconds, and one too young
    // to be rated.
    for (uint8_t k = 1; k <= 30; ++k) {
        table_.lock()->add_query(make_addr(10, 0, 0, k), 17, 20u * k, 1, kDay);
    }
    table_.lock()->add_query(make_addr(10, 0, 1, 1), 17, 100000, 1, kDay + 1);
    cycle.run(kDay + 2);
    CycleFigures f = board.figures();
    ASSERT_EQ(f.top_count, 20);
    for (int k = 0; k < 20; ++k) {
        EXPECT_EQ(f.top[static_cast<size_t>(k)].qps, 10u * static_cast<uint32_t>(30 - k));
        EXPECT_STREQ(f.top[static_cast<size_t>(k)].source.c_str(),
                     to_text(make_addr(10, 0, 0, static_cast<uint8_t>(30 - k))).c_str());
    }
    EXPECT_EQ(f.sources, 31u);
    // Alarm lines above 100 qps: sources 11 to 30.
    EXPECT_EQ(f.alarms_total, 20u);
    EXPECT_GE(f.duration_seconds, 0.0);
    // The next cycle is empty: no top sources, the alarm count stays.
    cycle.run(kDay + 4);
    f = board.figures();
    EXPECT_EQ(f.top_count, 0);
    EXPECT_EQ(f.sources, 0u);
    EXPECT_EQ(f.alarms_total, 20u);
}

// An answer of size bytes and code rcode to who, in zone when given.
Observation answer_to(SourceAddr who, uint32_t size, time_t at, uint8_t rcode = 0,
                      const ZoneQuery* zone = nullptr) {
    return Observation{.who = who, .time = at, .protocol = 17, .answer = true, .truncated = false,
                       .rcode = rcode, .qtype = 0, .size = size, .zone = zone};
}

TEST_F(MetricsCycle, TopTwentyByAnswerBytesAndTheZoneCounts) {
    s_.count_answers = 1;
    s_.zone_threshold = 1000000;
    s_.zone_count = 16;
    LockGuarded<Table> table(64, 5, 16, true);
    MetricsBoard board(s_);
    // On the page from the start: the capture's answer counts need no cycle.
    EXPECT_TRUE(board.figures().answers_counted);
    WiredCycle cycle(s_, table, sink_, sender_, host_, nullptr, &board);
    const ZoneKey nx = ZoneKey::of("nx.example.");
    const ZoneQuery nx_name{&nx, 7};
    {
        auto t = table.lock();
        // 25 sources sent 1000, 2000, ... 25000 answer bytes over 2 seconds;
        // 10.0.0.30 as many as 10.0.0.25, claimed later.
        for (uint8_t k = 1; k <= 25; ++k)
            t->add(answer_to(make_addr(10, 0, 0, k), 1000u * k, kDay));
        t->add(answer_to(make_addr(10, 0, 0, 30), 25000, kDay));
        // Seen for one second: not rated, however much.
        t->add(answer_to(make_addr(10, 0, 1, 1), 900000, kDay + 1));
        // A zone asked 4 times, answered 5 times (3 NXDOMAIN, 1 SERVFAIL).
        for (uint64_t k = 0; k < 4; ++k) {
            const ZoneQuery q{&nx, k};
            t->add(Observation{.who = make_addr(10, 0, 2, 1),
                               .time = kDay,
                               .protocol = 17,
                               .answer = false,
                               .truncated = false,
                               .rcode = 0,
                               .qtype = 1,
                               .size = 30,
                               .zone = &q});
        }
        for (uint8_t rcode : {3, 3, 3, 2, 0})
            t->add(answer_to(make_addr(10, 0, 2, 1), 50, kDay, rcode, &nx_name));
    }
    cycle.run(kDay + 2);
    CycleFigures f = board.figures();
    ASSERT_EQ(f.top_answer_count, 20);
    std::vector<std::pair<std::string, uint32_t>> got, want;
    for (int k = 0; k < f.top_answer_count; ++k) {
        const TopAnswerSource& t = f.top_answer_bytes[static_cast<size_t>(k)];
        got.emplace_back(t.source.c_str(), t.bytes_per_second);
    }
    want.emplace_back("10.0.0.25", 12500);
    want.emplace_back("10.0.0.30", 12500);
    for (uint32_t k = 24; want.size() < 20; --k)
        want.emplace_back(std::string("10.0.0.").append(std::to_string(k)), 500 * k);
    EXPECT_EQ(got, want);
    ASSERT_EQ(f.top_zone_count, 1);
    const TopZone& z = f.top_zones[0];
    EXPECT_EQ(z.zone.view(), "nx.example.");
    EXPECT_EQ(std::make_tuple(z.queries, z.answers, z.nxdomain), std::make_tuple(4u, 5u, 3u));
    const Parsed p = parse(render_metrics({"1.2", "x", &stats_, f, {}}));
    EXPECT_EQ(p.samples.at(R"(quorvane_top_source_answer_bytes{source="10.0.0.25"})"), "12500");
    const std::string zone = R"({zone="nx.example."})";
    EXPECT_EQ(std::stod(p.samples.at("quorvane_top_zone_answered_ratio" + zone)), 1.25);
    EXPECT_EQ(std::stod(p.samples.at("quorvane_top_zone_nxdomain_ratio" + zone)), 0.6);
    // The next cycle is empty: the family stays, with no samples.
    cycle.run(kDay + 4);
    f = board.figures();
    EXPECT_EQ(f.top_answer_count, 0);
    EXPECT_TRUE(f.answers_counted);
}

TEST(Metrics, TakeoversAreCounted) {
    Table t(11, 3);
    for (uint8_t k = 0; k < 30; ++k) t.add_query(make_addr(10, 0, 0, k), 17, 1, 1, kDay + k);
    EXPECT_EQ(t.takeovers(), 19u);
}

TEST(Metrics, AddressOfTheOption) {
    const struct {
        const char* text;
        bool ok;
        int family;
        uint16_t port;
        const char* addr;
    } cases[] = {
        {"9153", true, AF_INET, 9153, "127.0.0.1"},
        {"0.0.0.0:80", true, AF_INET, 80, "0.0.0.0"},
        {"192.0.2.1:65535", true, AF_INET, 65535, "192.0.2.1"},
        {"[::1]:9153", true, AF_INET6, 9153, "::1"},
        {"[2001:db8::1]:1", true, AF_INET6, 1, "2001:db8::1"},
        {"0", false, 0, 0, ""},
        {"65536", false, 0, 0, ""},
        {"", false, 0, 0, ""},
        {"localhost:9153", false, 0, 0, ""},
        {"::1:9153", false, 0, 0, ""},
        {"[::1]9153", false, 0, 0, ""},
        {"[::1]:", false, 0, 0, ""},
        {"1.2.3.4:", false, 0, 0, ""},
        {"1.2.3.4:12x", false, 0, 0, ""},
        {"300.1.1.1:80", false, 0, 0, ""},
        {"[1.2.3.4]:80", false, 0, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        sockaddr_storage a;
        socklen_t len = 0;
        ASSERT_EQ(parse_metrics_address(c.text, &a, &len), c.ok);
        if (!c.ok) continue;
        ASSERT_EQ(a.ss_family, c.family);
        char text[64];
        if (c.family == AF_INET) {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
            EXPECT_EQ(ntohs(v4->sin_port), c.port);
            inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        } else {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
            EXPECT_EQ(ntohs(v6->sin6_port), c.port);
            inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        }
        EXPECT_STREQ(text, c.addr);
    }
}

// Each kind of frame lands in exactly one class, as the README lists them.
TEST(Metrics, FrameClasses) {
    LockGuarded<Table> table(16, 1);
    const struct {
        const char* what;
        std::function<void(test::FrameSpec&)> shape;
        FrameResult result;
    } cases[] = {
        {"udp query", [](test::FrameSpec&) {}, FrameResult::counted},
        {"type 0", [](test::FrameSpec& s) { s.qtype = 0; }, FrameResult::type0},
        {"response", [](test::FrameSpec& s) { s.dns_flags_hi = 0x81; }, FrameResult::response},
        {"QDCOUNT 0", [](test::FrameSpec& s) { s.qdcount = 0; }, FrameResult::malformed},
        {"compression pointer", [](test::FrameSpec& s) { s.raw_name = {0xc0, 0x0c}; }, FrameResult::malformed},
        {"IPv4 total length past the wire", [](test::FrameSpec& s) { s.total_len_delta = 5; }, FrameResult::malformed},
        {"three VLAN tags", [](test::FrameSpec& s) { s.vlan_tpids = {0x8100, 0x8100, 0x8100}; }, FrameResult::other},
        {"ICMP", [](test::FrameSpec& s) { s.protocol = 1; }, FrameResult::other},
        {"port 5353", [](test::FrameSpec& s) { s.dst_port = 5353; }, FrameResult::other},
        {"later fragment", [](test::FrameSpec& s) { s.frag = 0x0010; }, FrameResult::other},
        {"IPv6 ESP", [](test::FrameSpec& s) { s.ip_version = 6, s.ext_headers = {{50}}; }, FrameResult::other},
        {"tcp query", [](test::FrameSpec& s) { s.protocol = 6, s.tcp_flags = 0x19; }, FrameResult::counted},
        {"tcp from port 53", [](test::FrameSpec& s) { s.protocol = 6, s.src_port = 53, s.dst_port = 40001; },
         FrameResult::response},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CaptureStats stats;
        TcpStreams streams(1, 8);
        CaptureContext ctx;
        ctx.table = &table;
        ctx.streams = &streams;
        ctx.stats = &stats;
        test::FrameSpec layout;
        c.shape(layout);
        const auto frame = test::build_frame(layout);
        pcap_pkthdr h{};
        h.ts.tv_sec = kDay;
        h.caplen = h.len = static_cast<uint32_t>(frame.size());
        handle_packet(reinterpret_cast<u_char*>(&ctx), &h, frame.data());
        for (int r = 0; r < kFrameResults; ++r) {
            EXPECT_EQ(stats.frames(static_cast<FrameResult>(r)), static_cast<FrameResult>(r) == c.result ? 1u : 0u)
                << frame_result_names[static_cast<size_t>(r)];
        }
    }
}

}  // namespace
}  // namespace qv
