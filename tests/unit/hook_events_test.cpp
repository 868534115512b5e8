// The action hook's events: their JSON text, the events of cycles (alarm,
// clear, zones, the bounded memory of alarmed keys), and the verified rule
// through the program's own frame path.
#include "output/hook_events.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "base/capture_stats.h"
#include "capture/watched.h"
#include "capture/worker.h"
#include "frames.h"
#include "stats/cycle.h"

namespace qv {
namespace {

constexpr time_t kDay = time_t{86400} * 20000;
constexpr SourceAddr kA = make_addr(192, 0, 2, 10);
constexpr SourceAddr kB = make_addr(198, 51, 100, 7);
constexpr SourceAddr kC = make_addr(203, 0, 113, 99);

class Collect final : public EventSink {
  public:
    void event(const EventText& e) override {
        EXPECT_EQ(e.view().back(), '\n');
        EXPECT_TRUE(nlohmann::json::accept(e.view())) << e.view();
        lines.emplace_back(e.view().substr(0, e.len - 1));
    }
    void end_cycle() override { ++cycles; }
    std::vector<std::string> lines;
    int cycles = 0;
};

// ---------------------------------------------------------------- the text

TEST(HookEvents, Text) {
    Settings s;
    s.v4_prefix = 24;
    Bucket b{};
    b.ip_addr = make_addr(198, 51, 100, 0);
    b.first_packet = static_cast<uint32_t>(kDay);
    b.tcp_count = 30;
    b.udp_count = 12000;  // 12030 over 10 seconds: 1203 qps
    AnswerCounts a{};
    a.by_class[kNoError] = 6000;
    a.bytes = 500000;
    // Queries, window, last, qps, names, answers, NXDOMAIN, SERVFAIL, and the sketch.
    const ZoneCount z{
        ZoneKey::of("ex\"am\\ple.co.uk."), 40000, 0, 0, 2000, 8085, 20000, 5000, 0, 0, false, {}};

    const struct {
        const char* what;
        std::function<EventText()> make;
        const char* text;
    } cases[] = {
        {"source", [&] { return source_alarm_event(s, b, nullptr, kDay + 10); },
         R"({"event":"alarm","kind":"source","key":"198.51.100.0/24","time":1728000010,"qps":1203,)"
         R"("tcp_qps":3,"udp_qps":1200,"verified":false})"},
        {"source with answers, verified",
         [&] {
             Bucket v = b;
             v.verified = true;
             return source_alarm_event(s, v, &a, kDay + 10);
         },
         R"({"event":"alarm","kind":"source","key":"198.51.100.0/24","time":1728000010,"qps":1203,)"
         R"("tcp_qps":3,"udp_qps":1200,"answer_bytes_per_second":50000,"answered":49,"verified":true})"},
        {"zone, its key escaped", [&] { return zone_alarm_event(z, false, kDay + 10); },
         R"({"event":"alarm","kind":"zone","key":"ex\"am\\ple.co.uk.","time":1728000010,"qps":2000,"names":8085})"},
        {"zone with answers", [&] { return zone_alarm_event(z, true, kDay + 10); },
         R"({"event":"alarm","kind":"zone","key":"ex\"am\\ple.co.uk.","time":1728000010,"qps":2000,"names":8085,)"
         R"("answered":50,"nxdomain":25})"},
        {"clear", [&] { return clear_event("source", "2001:db8:1:2::/64", kDay + 30); },
         R"({"event":"clear","kind":"source","key":"2001:db8:1:2::/64","time":1728000030})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const EventText e = c.make();
        EXPECT_EQ(e.view(), std::string(c.text) + "\n");
        EXPECT_TRUE(nlohmann::json::accept(e.view()));
    }
}

// The longest event fits whole.
TEST(HookEvents, LongestZoneKeyFits) {
    constexpr uint32_t kMax = 4294967295u;
    const ZoneKey longest = ZoneKey::of(std::string(kZoneKeyMax, '"'));  // a count refers to a long zone's text
    const ZoneCount z{longest,
                      kMax,
                      0,
                      0,
                      kMax,
                      kMax,
                      kMax,
                      kMax,
                      0,
                      0,
                      false,
                      {}};
    const EventText e = zone_alarm_event(z, true, time_t{-9223372036854775807LL});
    ASSERT_EQ(e.view().back(), '\n');
    const auto j = nlohmann::json::parse(e.view());
    EXPECT_EQ(j["key"].get<std::string>(), std::string(kZoneKeyMax, '"'));
}

// ---------------------------------------------------------------- cycles

struct Traffic {
    SourceAddr source;
    uint32_t queries;  // UDP, at the start of the cycle's window
};
struct ZoneTraffic {
    const char* zone;
    uint32_t queries;
};
struct Step {
    std::vector<Traffic> sources;
    std::vector<ZoneTraffic> zones;
    std::vector<std::string> events;  // "alarm KEY" / "clear KEY", in order
};

// Each cycle is 10 seconds; -t 10 and -T 10: 101 or more queries alarm.
void run_steps(Settings s, int32_t memory, const std::vector<Step>& steps) {
    s.threshold = 10;
    s.zone_threshold = 10;
    LockGuarded<Table> table(16, 7, 16, false);
    StatsCycle cycle(s, table);
    Collect sink;
    HookConsumer hook(s, memory, memory, sink);
    cycle.add_consumer(&hook);
    time_t t = kDay;
    cycle.run(t);
    int with_events = 0;
    for (size_t k = 0; k < steps.size(); ++k) {
        SCOPED_TRACE("cycle " + std::to_string(k + 1));
        for (const Traffic& q : steps[k].sources)
            table.lock()->add_query(q.source, 17, q.queries, 1, t);
        for (const ZoneTraffic& z : steps[k].zones) {
            for (uint32_t n = 0; n < z.queries; ++n)
                table.lock()->count_zone(ZoneKey::of(z.zone), n, t);
        }
        sink.lines.clear();
        t += 10;
        cycle.run(t);
        std::vector<std::string> got;
        for (const std::string& l : sink.lines) {
            const auto j = nlohmann::json::parse(l);
            EXPECT_EQ(j["time"].get<long long>(), static_cast<long long>(t));
            got.push_back(j["event"].get<std::string>() + " " + j["key"].get<std::string>());
        }
        EXPECT_EQ(got, steps[k].events);
        if (!steps[k].events.empty()) ++with_events;
    }
    // One end of cycle for each cycle that had events, none for the others.
    EXPECT_EQ(sink.cycles, with_events);
}

TEST(HookEvents, Cycles) {
    Settings foreground;
    foreground.foreground = 1;
    Settings daemon;
    daemon.alarm_reset = 90;
    const struct {
        const char* what;
        Settings s;
        int32_t memory;
        std::vector<Step> steps;
    } cases[] = {
        {"alarm each cycle above, one clear when it falls, then nothing",
         foreground,
         16,
         {{{{kA, 500}, {kB, 50}}, {}, {"alarm 192.0.2.10"}},
          {{{kA, 500}}, {}, {"alarm 192.0.2.10"}},
          {{{kA, 100}}, {}, {"clear 192.0.2.10"}},
          {{}, {}, {}},
          {{{kA, 101}}, {}, {"alarm 192.0.2.10"}},
          {{}, {}, {"clear 192.0.2.10"}}}},
        {"daemon mode: the hold-off silences the lines, not the events",
         daemon,
         16,
         {{{{kA, 500}}, {}, {"alarm 192.0.2.10"}},
          {{{kA, 500}}, {}, {"alarm 192.0.2.10"}},
          {{}, {}, {"clear 192.0.2.10"}}}},
        {"zones after sources, clears after alarms",
         foreground,
         16,
         {{{{kA, 500}}, {{"example.co.uk.", 200}}, {"alarm 192.0.2.10", "alarm example.co.uk."}},
          {{{kB, 500}}, {}, {"alarm 198.51.100.7", "clear 192.0.2.10", "clear example.co.uk."}},
          {{}, {{"example.co.uk.", 20}}, {"clear 198.51.100.7"}}}},
        {"a full memory forgets the key alarmed longest ago: it gets no clear",
         foreground,
         2,
         {{{{kA, 500}, {kB, 500}}, {}, {"alarm 192.0.2.10", "alarm 198.51.100.7"}},
          {{{kC, 500}}, {}, {"alarm 203.0.113.99", "clear 198.51.100.7"}},
          {{}, {}, {"clear 203.0.113.99"}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        run_steps(c.s, c.memory, c.steps);
    }
}

// ---------------------------------------------------------------- verified

constexpr uint32_t kClientIsn = 100;
constexpr uint32_t kServerIsn = 5000;

struct Frame {
    test::FrameSpec layout;
    time_t at;
};

test::FrameSpec tcp_from_client(uint8_t flags, uint32_t seq, uint32_t ack, uint16_t port = 40000,
                                uint8_t last = 3) {
    test::FrameSpec f;
    f.protocol = 6;
    f.src[3] = last;
    f.src_port = port;
    f.tcp_flags = flags;
    f.tcp_seq = seq;
    f.tcp_ack = ack;
    f.no_message = true;
    return f;
}
test::FrameSpec syn_ack(uint32_t isn, uint32_t ack, uint16_t port = 40000, uint8_t last = 3) {
    test::FrameSpec f = tcp_from_client(kTcpSyn | kTcpAck, isn, ack, port, last);
    std::swap(f.src, f.dst);
    f.src_port = 53;
    f.dst_port = port;
    return f;
}
// Queries over UDP from 10.1.2.<last>: enough to alarm at -t 1 over 10 seconds.
std::vector<Frame> flood(time_t at, uint8_t last = 3) {
    std::vector<Frame> out;
    test::FrameSpec q;
    q.src[3] = last;
    for (int k = 0; k < 30; ++k) out.push_back({q, at});
    return out;
}
std::vector<Frame> handshake(time_t at, uint32_t client_ack, uint16_t port = 40000,
                             uint8_t last = 3) {
    return {{tcp_from_client(kTcpSyn, kClientIsn, 0, port, last), at},
            {syn_ack(kServerIsn, kClientIsn + 1, port, last), at},
            {tcp_from_client(kTcpAck, kClientIsn + 1, client_ack, port, last), at}};
}
std::vector<Frame> operator+(std::vector<Frame> a, const std::vector<Frame>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(HookEvents, VerifiedThroughTheFramePath) {
    const time_t t1 = kDay;
    const time_t t2 = kDay + 10;
    std::vector<Frame> syn_flood;
    for (uint16_t p = 0; p < 20; ++p) {
        syn_flood.push_back(
            {tcp_from_client(kTcpSyn, kClientIsn + p, 0, static_cast<uint16_t>(41000 + p)), t1});
        syn_flood.push_back(
            {syn_ack(kServerIsn + p, kClientIsn + p + 1, static_cast<uint16_t>(41000 + p)), t1});
    }
    const struct {
        const char* what;
        bool answers;  // -R; else -Q alone: only the server's SYN-ACKs are read
        int v4_prefix;
        std::vector<Frame> cycle1;
        std::vector<Frame> cycle2;
        std::optional<bool> verified1;  // none: no alarm
        std::optional<bool> verified2;
    } cases[] = {
        {"handshake acknowledged", true, 32, handshake(t1, kServerIsn + 1) + flood(t1), flood(t2),
         true, false},
        {"the same with -Q and without -R",
         false,
         32,
         handshake(t1, kServerIsn + 1) + flood(t1),
         {},
         true,
         false},
        {"guessed ack", true, 32, handshake(t1, kServerIsn + 7) + flood(t1), {}, false, false},
        {"ack of a SYN-ACK never seen",
         true,
         32,
         std::vector<Frame>{{tcp_from_client(kTcpSyn, kClientIsn, 0), t1},
                            {tcp_from_client(kTcpAck, kClientIsn + 1, kServerIsn + 1), t1}} +
             flood(t1),
         {},
         false,
         false},
        {"SYN flood", true, 32, syn_flood + flood(t1), {}, false, false},
        {"handshake in the previous cycle, queries on its connection now", true, 32,
         handshake(t1, kServerIsn + 1),
         std::vector<Frame>{{tcp_from_client(kTcpAck, kClientIsn + 1, kServerIsn + 1), t2}} +
             flood(t2),
         std::nullopt, false},
        {"one host of the prefix verifies it",
         true,
         24,
         handshake(t1, kServerIsn + 1, 40000, 9) + flood(t1, 3),
         {},
         true,
         false},
    };
    // Live, a message at a time, and as a replay counts: the table's lock
    // held from one cycle to the next.
    for (const bool held : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (held ? ", lock held" : ""));
            Settings s;
            s.foreground = 1;
            s.threshold = 1;
            s.bucket_count = 16;
            s.count_answers = c.answers ? 1 : 0;
            s.v4_prefix = c.v4_prefix;
            CaptureStats stats;
            Worker worker(s, LinkType::ethernet, stats, WatchedNetwork::everything(), 3, 5, 6);
            StatsCycle cycle(s, worker.table());
            Collect sink;
            HookConsumer hook(s, 16, 1, sink);
            cycle.add_consumer(&hook);
            cycle.run(t1);
            auto feed = [&](const std::vector<Frame>& frames) {
                std::optional<LockGuarded<Table>::Handle> lock;
                if (held) lock.emplace(worker.table().lock());
                for (const Frame& f : frames) {
                    const auto bytes = test::build_frame(f.layout);
                    pcap_pkthdr h{};
                    h.ts.tv_sec = f.at;
                    h.caplen = h.len = static_cast<uint32_t>(bytes.size());
                    if (lock) {
                        worker.frame(&h, bytes.data(), **lock);
                    } else {
                        worker.frame(&h, bytes.data());
                    }
                }
            };
            const std::string key = c.v4_prefix == 24 ? "10.1.2.0/24" : "10.1.2.3";
            auto verified_in = [&](time_t at) -> std::optional<bool> {
                sink.lines.clear();
                cycle.run(at);
                for (const std::string& l : sink.lines) {
                    const auto j = nlohmann::json::parse(l);
                    if (j["event"] == "alarm" && j["key"] == key) return j["verified"].get<bool>();
                }
                return std::nullopt;
            };
            feed(c.cycle1);
            EXPECT_EQ(verified_in(t1 + 10), c.verified1);
            if (!c.cycle2.empty()) {
                feed(c.cycle2);
                EXPECT_EQ(verified_in(t2 + 10), c.verified2);
            }
        }
    }
}

}  // namespace
}  // namespace qv
