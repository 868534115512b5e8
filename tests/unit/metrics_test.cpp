// The metrics page: its exposition text, the per-cycle figures a cycle
// publishes (top sources, monotonic capture counters), the -P address, and
// what the callback makes of each kind of frame.
#include "output/metrics.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "capture/handler.h"
#include "collectors.h"
#include "control/metrics_server.h"
#include "control/stats_thread.h"
#include "frames.h"

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
    alloc_buckets(16);
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
        ctx.table = &process_table();
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
