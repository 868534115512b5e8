// Zones counted live (-T): the alarm lines in the foreground and in syslog
// with the hold-off per zone, the zone datagrams of -s, and the top zones
// on the metrics page of -P. Two floods run side by side: random names
// under one zone from a few resolvers, none of them loud, and one name
// from random (spoofed) sources; a quiet zone asks the same name now and
// then.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "harness.h"

namespace qv::e2e {
namespace {

using ZonesLive = E2eTest;
using ZonesDaemon = E2eTest;
using Clock = std::chrono::steady_clock;

constexpr const char* kRandomZone = "example.co.uk.";
constexpr const char* kOneNameZone = "example.org.";
constexpr const char* kQuietZone = "example.net.";
// Far under the floods (400 qps each), far over the quiet zone.
constexpr int kThreshold = 100;

// What the floods and the quiet zone have sent, by zone.
struct Sent {
    std::map<std::string, uint64_t> queries;
};

// Every 50 ms: 20 new random-looking names under the random zone, one from
// each of 20 resolvers (20 qps each: under the source threshold), and 20
// queries for www.example.org from random sources; every 20th round one
// query of the quiet zone.
class Floods {
  public:
    void round(Sent& sent) {
        for (uint8_t r = 1; r <= 20; ++r) {
            char label[32];
            snprintf(label, sizeof label, "q%llux7k", next_name_++);
            injector_.send(qv::test::build_frame(
                query_from(Ipv4{10, 80, 0, r}, {label, "example", "co", "uk"})));
            ++sent.queries[kRandomZone];
        }
        for (int i = 0; i < 20; ++i) {
            const uint32_t n = next_spoofed_++;
            const Ipv4 src{10, static_cast<uint8_t>(81 + (n >> 16) % 8),
                           static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
            injector_.send(qv::test::build_frame(query_from(src, {"www", "example", "org"})));
            ++sent.queries[kOneNameZone];
        }
        if (rounds_++ % 20 == 0) {
            injector_.send(
                qv::test::build_frame(query_from(Ipv4{10, 90, 0, 1}, {"www", "example", "net"})));
            ++sent.queries[kQuietZone];
        }
    }

  private:
    FrameInjector injector_;
    unsigned long long next_name_ = 0;
    uint32_t next_spoofed_ = 0;
    uint64_t rounds_ = 0;
};

struct ZoneAlarm {
    std::string zone;
    long qps = 0;
    long names = 0;
};

// "zone [Z] - N qps, M names", after the stamp in the foreground.
const std::regex kZoneAlarm(R"(zone \[([^\]]+)\] - (\d+) qps, (\d+) names)");
const std::regex kForegroundZoneAlarm(
    R"(\[\d\d:\d\d:\d\d\] zone \[([^\]]+)\] - (\d+) qps, (\d+) names)");

std::optional<ZoneAlarm> parse_zone_alarm(const std::string& text, const std::regex& form) {
    std::smatch m;
    if (!std::regex_match(text, m, form)) return std::nullopt;
    return ZoneAlarm{m[1], std::stol(m[2]), std::stol(m[3])};
}

// What an alarm can say of each zone: both floods over the threshold; the
// random one with a new name for every query, so, rated over at least two
// seconds, more names than its rate; the other with one name.
::testing::AssertionResult plausible(const ZoneAlarm& a) {
    if (a.zone != kRandomZone && a.zone != kOneNameZone)
        return ::testing::AssertionFailure() << "an alarm for zone " << a.zone;
    if (a.qps <= kThreshold)
        return ::testing::AssertionFailure() << a.qps << " qps, not over the threshold";
    if (a.zone == kOneNameZone && a.names != 1)
        return ::testing::AssertionFailure() << a.names << " names for one name";
    if (a.zone == kRandomZone && a.names <= a.qps)
        return ::testing::AssertionFailure()
               << "only " << a.names << " names at " << a.qps << " qps";
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------- datagrams

struct ZoneTotals {
    uint64_t queries = 0;
    uint64_t entries = 0;
};

// Checks one zone datagram as add_export_counts checks a source one: one NUL
// at its end, at most 1199 bytes, {"hostname", "type": "zone", "data":
// {zone: {"queries": N, "names": M}, ...}} and nothing else; each entry's
// names must fit its zone (every query a new name, or one name). Adds the
// queries to totals.
::testing::AssertionResult add_zone_counts(const std::string& datagram,
                                           std::map<std::string, ZoneTotals>& totals) {
    auto bad = [&](const std::string& why) {
        return ::testing::AssertionFailure()
               << why << " in datagram of " << datagram.size() << " bytes: " << datagram;
    };
    nlohmann::json j;
    if (auto ok = parse_datagram(datagram, "zone", j); !ok) return ok;
    for (const auto& [zone, entry] : j["data"].items()) {
        if (!entry.is_object() || entry.size() != 2 || !entry.contains("queries") ||
            !entry.contains("names") || !entry["queries"].is_number_unsigned() ||
            !entry["names"].is_number_unsigned())
            return bad("entry of " + zone + " is not {queries, names}");
        const auto queries = entry["queries"].get<uint64_t>();
        const auto names = entry["names"].get<uint64_t>();
        if (queries == 0 || names == 0 || (zone != kRandomZone && names > queries))
            return bad("counts of " + zone + " cannot be");
        if ((zone == kOneNameZone || zone == kQuietZone) && names != 1)
            return bad(zone + " was asked one name");
        // Exact up to 16 names, then the sketch: within 5 % (its standard
        // error is under 1.6 %).
        const double off = static_cast<double>(names) - static_cast<double>(queries);
        if (zone == kRandomZone &&
            std::abs(off) > std::max(0.0, 0.05 * static_cast<double>(queries)))
            return bad(std::to_string(names) + " names for " + std::to_string(queries) +
                       " new names");
        totals[zone].queries += queries;
        ++totals[zone].entries;
    }
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------- metrics page

// A port nobody listens on in the namespace.
uint16_t free_tcp_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        port = ntohs(a.sin_port);
    }
    if (fd >= 0) close(fd);
    return port;
}

// The body of GET /metrics on 127.0.0.1:port, or nothing when it could not
// be fetched whole within the timeout.
std::optional<std::string> fetch_metrics(uint16_t port, Duration timeout = Duration(2000)) {
    const auto deadline = Clock::now() + timeout;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    std::string reply;
    const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    bool whole = false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        for (;;) {
            const auto left = std::chrono::duration_cast<Duration>(deadline - Clock::now()).count();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
            char buf[4096];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n == 0) whole = true;
            if (n <= 0) break;
            reply.append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    const size_t body = reply.find("\r\n\r\n");
    if (!whole || !reply.starts_with("HTTP/1.") || reply.find(" 200 ") == std::string::npos ||
        body == std::string::npos)
        return std::nullopt;
    return reply.substr(body + 4);
}

// The value of one sample on the page, e.g. metric{zone="example.org."}.
std::optional<long> sample(const std::string& page, const std::string& metric,
                           const std::string& zone) {
    const std::string key = metric + "{zone=\"" + zone + "\"} ";
    for (const std::string& line : lines_of(page)) {
        if (line.starts_with(key)) return std::stol(line.substr(key.size()));
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- foreground

TEST_F(ZonesLive, ForegroundAlarmsDatagramsAndTopZones) {
    const Ipv4 probe{10, 255, 80, 1};
    UdpReceiver rx;
    const uint16_t metrics_port = free_tcp_port();
    ASSERT_NE(metrics_port, 0);
    await_second_turn();
    // -a is for daemon mode: a foreground run alarms in every cycle.
    Process p = start_program({"-b", "-D", "-Q", "-i", "lo", "-w", "2", "-a", "60", "-T",
                               std::to_string(kThreshold), "-s", "-z", "127.0.0.1", "-p",
                               std::to_string(rx.port()), "-P",
                               "127.0.0.1:" + std::to_string(metrics_port)});
    ASSERT_TRUE(wait_capturing(p, probe));

    // Flood until each flood has an alarm line, the random one in two
    // cycles, and the metrics page shows the random zone over the threshold.
    Floods floods;
    Sent sent;
    std::vector<std::string> zone_lines;
    std::optional<std::string> page;
    auto count_alarms = [&](const char* zone) {
        return std::count_if(zone_lines.begin(), zone_lines.end(), [&](const std::string& l) {
            return l.find(std::string("] zone [") + zone + "]") != std::string::npos;
        });
    };
    const auto deadline = Clock::now() + Duration(40000);
    for (int round = 0;; ++round) {
        floods.round(sent);
        zone_lines.clear();
        for (const std::string& line : lines_of(p.out())) {
            if (line.find("] zone [") != std::string::npos) zone_lines.push_back(line);
        }
        if (round % 10 == 0 &&
            !(page && sample(*page, "quorvane_top_zone_qps", kRandomZone) > kThreshold)) {
            page = fetch_metrics(metrics_port);
        }
        if (count_alarms(kRandomZone) >= 2 && count_alarms(kOneNameZone) >= 1 && page &&
            sample(*page, "quorvane_top_zone_qps", kRandomZone) > kThreshold)
            break;
        ASSERT_TRUE(p.running()) << p.describe();
        ASSERT_TRUE(Clock::now() < deadline)
            << "no alarms for both floods or no page with the random zone: " << p.describe()
            << "\n--- page:\n"
            << page.value_or("(none)");
        std::this_thread::sleep_for(Duration(50));
    }

    for (const std::string& line : zone_lines) {
        SCOPED_TRACE("zone alarm line: " + line);
        const auto a = parse_zone_alarm(line, kForegroundZoneAlarm);
        ASSERT_TRUE(a.has_value());
        EXPECT_TRUE(plausible(*a));
    }
    // No source was loud: both floods pass under the per-source alarm.
    EXPECT_EQ(p.out().find("] source ["), std::string::npos) << p.describe();

    // The page: the two floods, as the last finished cycle saw them.
    SCOPED_TRACE("metrics page:\n" + *page);
    for (const char* zone : {kRandomZone, kOneNameZone}) {
        const auto qps = sample(*page, "quorvane_top_zone_qps", zone);
        const auto names = sample(*page, "quorvane_top_zone_names", zone);
        ASSERT_TRUE(qps && names) << zone;
        EXPECT_TRUE(plausible({zone, *qps, *names}));
    }
    EXPECT_NE(page->find("# TYPE quorvane_top_zone_qps gauge\n"), std::string::npos);
    EXPECT_NE(page->find("# TYPE quorvane_top_zone_names gauge\n"), std::string::npos);

    // Every query of the three zones reaches the collector exactly once,
    // each zone in entries whose names fit it.
    std::map<std::string, ZoneTotals> got;
    std::map<std::string, uint64_t> sources;
    auto all_counted = [&] {
        return std::all_of(sent.queries.begin(), sent.queries.end(),
                           [&](const auto& s) { return got[s.first].queries >= s.second; });
    };
    const auto export_deadline = Clock::now() + Duration(20000);
    while (!all_counted()) {
        ASSERT_TRUE(Clock::now() < export_deadline) << "not every query exported: " << p.describe();
        const std::optional<std::string> d = rx.receive(Duration(500));
        if (!d) continue;
        if (d->find("\"type\":\"source\"") != std::string::npos) {
            ASSERT_TRUE(add_export_counts(*d, sources));
            continue;
        }
        ASSERT_TRUE(add_zone_counts(*d, got));
    }
    for (const auto& [zone, n] : sent.queries) {
        EXPECT_EQ(got[zone].queries, n) << zone;
    }
    EXPECT_GE(got[kRandomZone].entries, 2u) << "the flood spans cycles, one entry each";
    EXPECT_EQ(sources[ip_text(Ipv4{10, 80, 0, 1})], sent.queries[kRandomZone] / 20);
}

// ---------------------------------------------------------------- daemon

const std::regex kDaemonTotals(R"(\[totals\] - \d+\.\d\d tcp qps : \d+\.\d\d udp qps)");
constexpr int kDaemonNotice = LOG_DAEMON | LOG_NOTICE;

std::string log_text(const std::vector<SyslogMessage>& log) {
    std::string text;
    for (const SyslogMessage& m : log) text += m.raw + (m.raw.ends_with("\n") ? "" : "\n");
    return text;
}

// Logs a marker of our own and waits for it: the listener has then taken in
// every message logged before.
::testing::AssertionResult syslog_synced() {
    const std::string text = "sync " + std::to_string(Clock::now().time_since_epoch().count());
    openlog("qv-e2e", LOG_NDELAY, LOG_USER);
    syslog(LOG_INFO, "%s", text.c_str());
    closelog();
    if (syslog_listener().wait_for([&](const SyslogMessage& m) { return m.message == text; }))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "our own syslog marker never arrived";
}

TEST_F(ZonesDaemon, AlarmsEachZoneOncePerHoldOff) {
    await_second_turn();
    Process starter = start_program({"-d", "-Q", "-i", "lo", "-w", "2", "-a", "11", "-m", "2", "-T",
                                     std::to_string(kThreshold)});
    ASSERT_EQ(starter.wait_exit(), exited(0)) << starter.describe();
    std::optional<pid_t> adopted = wait_adopted();
    ASSERT_TRUE(adopted.has_value()) << "no detached child";
    const pid_t daemon = *adopted;

    auto alarm_of = [](const SyslogMessage& m) { return parse_zone_alarm(m.message, kZoneAlarm); };
    auto is_alarm_for = [&](const char* zone) {
        return [=](const SyslogMessage& m) {
            const auto a = alarm_of(m);
            return a && a->zone == zone;
        };
    };
    // Both floods, until each zone has been reported twice: once, then
    // again only when the 11 s hold-off is over, six 2 s cycles later.
    Floods floods;
    Sent sent;
    std::vector<SyslogMessage> log;
    const auto deadline = Clock::now() + Duration(45000);
    for (;;) {
        floods.round(sent);
        log = syslog_listener().messages();
        if (std::count_if(log.begin(), log.end(), is_alarm_for(kRandomZone)) >= 2 &&
            std::count_if(log.begin(), log.end(), is_alarm_for(kOneNameZone)) >= 2)
            break;
        ASSERT_EQ(wait_exit_of(daemon, Duration(0)), kStillRunning);
        ASSERT_TRUE(Clock::now() < deadline) << "the floods were not reported twice:\n"
                                             << log_text(log);
        std::this_thread::sleep_for(Duration(50));
    }
    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    EXPECT_EQ(wait_exit_of(daemon), exited(SIGTERM));
    ASSERT_TRUE(syslog_synced());

    auto is_totals = [&](const SyslogMessage& m) {
        return m.pid == daemon && std::regex_match(m.message, kDaemonTotals);
    };
    std::vector<std::vector<SyslogMessage>::iterator> firsts;
    for (const char* zone : {kRandomZone, kOneNameZone}) {
        SCOPED_TRACE(zone);
        auto first = std::find_if(log.begin(), log.end(), is_alarm_for(zone));
        auto second = std::find_if(first + 1, log.end(), is_alarm_for(zone));
        for (auto it : {first, second}) {
            SCOPED_TRACE("alarm: " + it->raw);
            EXPECT_EQ(it->priority, kDaemonNotice);
            EXPECT_EQ(it->tag, "quorvane");
            EXPECT_EQ(it->pid, daemon);
            EXPECT_TRUE(plausible(*alarm_of(*it)));
        }
        // The first alarm's cycle, then five quiet ones (the cycle time at
        // most 11 s past the alarm's); the second alarm comes before its
        // cycle's totals.
        EXPECT_EQ(std::count_if(first, second, is_totals), 6) << log_text(log);
        firsts.push_back(first);
    }
    // Each zone has its own hold-off: the second zone's first alarm is in
    // the same cycle as the first one's.
    const auto [early, late] = std::minmax(firsts[0], firsts[1]);
    EXPECT_EQ(std::count_if(early, late, is_totals), 0) << log_text(log);

    // Nothing else from the daemon but totals: no source was loud.
    for (const SyslogMessage& m : log) {
        if (m.pid != daemon) continue;
        SCOPED_TRACE("message: " + m.raw);
        EXPECT_TRUE(alarm_of(m) || std::regex_match(m.message, kDaemonTotals));
    }
}

}  // namespace
}  // namespace qv::e2e
