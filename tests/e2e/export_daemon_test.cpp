// The JSON export to the collector, and the daemon: detaching, reporting to
// syslog with a hold-off per source, exporting, and ending on SIGTERM.
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "harness.h"

namespace qv::e2e {
namespace {

using Export = E2eTest;
using Daemon = E2eTest;
using Clock = std::chrono::steady_clock;
using Counts = std::map<std::string, uint64_t>;

size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST_F(Export, SendsEverySourceCountExactlyOnce) {
    const Ipv4 probe{10, 255, 60, 1};
    // Five busy sources and enough light ones that a cycle's entries fill
    // more than one datagram.
    std::map<std::string, uint64_t> expected;
    std::vector<std::pair<Ipv4, int>> plan;
    for (uint8_t i = 0; i < 150; ++i) plan.push_back({Ipv4{10, 60, 1, i}, 1 + i % 4});
    for (uint8_t i = 1; i <= 5; ++i) plan.push_back({Ipv4{10, 60, 0, i}, 40});
    for (const auto& [src, n] : plan) expected[ip_text(src)] = static_cast<uint64_t>(n);

    UdpReceiver rx;
    Process p = start_program({"-b", "-D", "-Q", "-i", "lo", "-s", "-z", "127.0.0.1", "-p",
                               std::to_string(rx.port()), "-w", "2"});
    ASSERT_TRUE(wait_capturing(p, probe));
    FrameInjector injector;
    for (const auto& [src, n] : plan) {
        const auto frame = qv::test::build_frame(query_from(src));
        for (int k = 0; k < n; ++k) injector.send(frame);
    }

    Counts got;
    size_t largest = 0;
    // Receives until pred(got) holds; every datagram must be well formed and
    // carry only the sources sent, none of them over its count.
    auto receive_until = [&](const std::function<bool()>& pred) -> ::testing::AssertionResult {
        const auto deadline = Clock::now() + Duration(20000);
        while (!pred()) {
            if (Clock::now() >= deadline) return ::testing::AssertionFailure() << "deadline passed";
            std::optional<std::string> d = rx.receive(Duration(500));
            if (!d) continue;
            largest = std::max(largest, d->size());
            auto ok = add_export_counts(*d, got);
            if (!ok) return ok;
            for (const auto& [addr, n] : got) {
                auto it = expected.find(addr);
                if (it == expected.end() && addr != ip_text(probe))
                    return ::testing::AssertionFailure() << "a source never sent: " << addr;
                if (it != expected.end() && n > it->second)
                    return ::testing::AssertionFailure()
                           << addr << " counted " << n << " times, sent " << it->second;
            }
        }
        return ::testing::AssertionSuccess();
    };
    ASSERT_TRUE(receive_until([&] {
        return std::all_of(expected.begin(), expected.end(),
                           [&](const auto& e) { return got[e.first] == e.second; });
    })) << p.describe();
    EXPECT_GT(largest, 1100u) << "entries split before a datagram was full";

    // Nor are they exported again by the next two cycles (the two halves of
    // the table take turns): a marker sent now shows in the next cycle's
    // export, a second one sent then in the one after.
    for (const Ipv4& marker : {Ipv4{10, 60, 9, 1}, Ipv4{10, 60, 9, 2}}) {
        injector.send(qv::test::build_frame(query_from(marker)));
        expected[ip_text(marker)] = 1;
        ASSERT_TRUE(receive_until([&] { return got[ip_text(marker)] == 1; })) << p.describe();
    }
}

TEST_F(Export, SendsNothingWithoutS) {
    const Ipv4 probe{10, 255, 61, 1};
    const Ipv4 src{10, 61, 0, 1};
    UdpReceiver rx;
    Process p = start_program({"-b", "-D", "-Q", "-i", "lo", "-z", "127.0.0.1", "-p",
                               std::to_string(rx.port()), "-w", "2", "-m", "2"});
    ASSERT_TRUE(wait_capturing(p, probe));
    FrameInjector injector;
    for (int i = 0; i < 10; ++i) injector.send(qv::test::build_frame(query_from(src)));
    const std::string src_line = dump_line(src, "udp", 1, "abc.de.") + "\n";
    ASSERT_TRUE(p.wait_until([&](const std::string& out, const std::string&) {
        return count_of(out, src_line) == 10;
    })) << p.describe();

    // Each cycle writes its totals line before it would export; three more
    // totals lines mean the cycle that held the queries is over.
    const size_t before = count_of(p.out(), "] totals - ");
    ASSERT_TRUE(
        p.wait_until([&](const std::string& out,
                         const std::string&) { return count_of(out, "] totals - ") >= before + 3; },
                     Duration(20000)))
        << p.describe();
    std::optional<std::string> d = rx.receive(Duration(0));
    EXPECT_FALSE(d.has_value()) << "a datagram without -s: " << *d;
}

// ---------------------------------------------------------------- daemon

// The messages as parsed, without the newline that ends the program's lines.
const std::regex kDaemonAlarm(R"(source \[([0-9.]+)\] - (\d+) qps)");
const std::regex kDaemonTotals(R"(\[totals\] - \d+\.\d\d tcp qps : \d+\.\d\d udp qps)");
constexpr int kDaemonNotice = LOG_DAEMON | LOG_NOTICE;  // 29

std::string link_of(const std::string& path) {
    std::error_code ec;
    return std::filesystem::read_symlink(path, ec).string();
}

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

TEST_F(Daemon, DetachesAlarmsOncePerHoldOffExportsAndEndsOnSigterm) {
    const Ipv4 loud{10, 70, 0, 1};
    const std::string loud_text = ip_text(loud);
    UdpReceiver rx;
    await_second_turn();
    Process starter =
        start_program({"-d", "-Q", "-i", "lo", "-w", "2", "-t", "20", "-a", "11", "-m", "2", "-s",
                       "-z", "127.0.0.1", "-p", std::to_string(rx.port())});
    ASSERT_EQ(starter.wait_exit(), exited(0)) << starter.describe();
    EXPECT_EQ(starter.out(), "");
    EXPECT_EQ(starter.err(), "");
    std::optional<SyslogMessage> hello = syslog_listener().wait_for(
        [](const SyslogMessage& m) { return m.message == "quorvane starting"; });
    ASSERT_TRUE(hello.has_value());
    EXPECT_EQ(hello->priority, kDaemonNotice);
    EXPECT_EQ(hello->tag, "quorvane");
    EXPECT_EQ(hello->pid, starter.pid());

    std::optional<pid_t> adopted = wait_adopted();
    ASSERT_TRUE(adopted.has_value()) << "no detached child";
    const pid_t daemon = *adopted;
    EXPECT_NE(daemon, starter.pid());

    // Keep the loud source far over the threshold (400 qps) until it has
    // been reported twice: once, then again only when the 11 s hold-off is
    // over, six cycles of 2 s later.
    auto is_loud_alarm = [&](const SyslogMessage& m) {
        std::smatch s;
        return std::regex_match(m.message, s, kDaemonAlarm) && s[1] == loud_text;
    };
    FrameInjector injector;
    const auto frame = qv::test::build_frame(query_from(loud));
    std::vector<SyslogMessage> log;
    const auto deadline = Clock::now() + Duration(45000);
    for (;;) {
        for (int i = 0; i < 20; ++i) injector.send(frame);
        log = syslog_listener().messages();
        if (std::count_if(log.begin(), log.end(), is_loud_alarm) >= 2) break;
        ASSERT_EQ(wait_exit_of(daemon, Duration(0)), kStillRunning);
        ASSERT_TRUE(Clock::now() < deadline) << "the loud source was not reported twice:\n"
                                             << log_text(log);
        std::this_thread::sleep_for(Duration(50));
    }
    // Long detached by now: in a session of its own, on / and /dev/null.
    EXPECT_EQ(getsid(daemon), daemon);
    const std::string proc = "/proc/" + std::to_string(daemon);
    EXPECT_EQ(link_of(proc + "/cwd"), "/");
    for (const char* fd : {"/fd/0", "/fd/1", "/fd/2"}) {
        EXPECT_EQ(link_of(proc + fd), "/dev/null") << fd;
    }
    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    EXPECT_EQ(wait_exit_of(daemon), exited(SIGTERM));
    ASSERT_TRUE(syslog_synced());

    auto first = std::find_if(log.begin(), log.end(), is_loud_alarm);
    auto second = std::find_if(first + 1, log.end(), is_loud_alarm);
    for (auto it : {first, second}) {
        SCOPED_TRACE("alarm: " + it->raw);
        EXPECT_EQ(it->priority, kDaemonNotice);
        EXPECT_EQ(it->tag, "quorvane");
        EXPECT_EQ(it->pid, daemon);
        std::smatch s;
        std::regex_match(it->message, s, kDaemonAlarm);
        EXPECT_GT(std::stol(s[2]), 20);
    }
    // Totals lines mark the cycles: the first alarm's own, then five in which
    // the source stayed quiet, the second alarm coming before its cycle's.
    const auto cycles_between = std::count_if(first, second, [&](const SyslogMessage& m) {
        return m.pid == daemon && std::regex_match(m.message, kDaemonTotals);
    });
    EXPECT_EQ(cycles_between, 6);

    // From the daemon: alarms and totals only, nothing when it ended; from
    // the starter only its greeting.
    for (const SyslogMessage& m : syslog_listener().messages()) {
        if (m.tag == "qv-e2e") continue;
        SCOPED_TRACE("message: " + m.raw);
        EXPECT_EQ(m.tag, "quorvane");
        if (m.pid == starter.pid()) {
            EXPECT_EQ(m.message, "quorvane starting");
            continue;
        }
        EXPECT_EQ(m.pid, daemon);
        EXPECT_TRUE(std::regex_match(m.message, kDaemonAlarm) ||
                    std::regex_match(m.message, kDaemonTotals));
        EXPECT_EQ(m.priority, kDaemonNotice);
        EXPECT_TRUE(m.raw.ends_with(m.message + "\n"));
    }

    // It exported the loud source while it ran.
    Counts got;
    while (std::optional<std::string> d = rx.receive(Duration(0))) {
        ASSERT_TRUE(add_export_counts(*d, got));
    }
    EXPECT_GT(got[loud_text], 0u) << "no datagram counted the loud source";
}

}  // namespace
}  // namespace qv::e2e
