// Sources counted by prefix (-4, -6): the alarm lines, the export keys and
// the daemon's hold-off all name the prefix, while -D still shows each
// packet's own source.
#include <algorithm>
#include <csignal>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "harness.h"

namespace qv::e2e {
namespace {

using PrefixCounting = E2eTest;
using Clock = std::chrono::steady_clock;
using Counts = std::map<std::string, uint64_t>;

// 64 hosts of 198.51.100.0/24, and 64 of 2001:db8:bb::/48 with each its own
// /64: together loud, each on its own far under the threshold.
std::vector<Ipv4> spread4() {
    std::vector<Ipv4> out;
    for (int i = 0; i < 64; ++i) out.push_back({198, 51, 100, static_cast<uint8_t>(1 + 3 * i)});
    return out;
}
std::vector<Ipv6> spread6() {
    std::vector<Ipv6> out;
    for (int i = 0; i < 64; ++i) {
        char text[64];
        snprintf(text, sizeof text, "2001:db8:bb:%x::%x", 0x100 * i + 7, i + 1);
        out.push_back(ipv6(text));
    }
    return out;
}

// Each round sends one query from each of 10 hosts of each spread, taking
// turns, and 10 real datagrams from ::1. Every 50 ms that is 200 qps for
// each of the three, and about 3 qps for each spread host.
class Traffic {
  public:
    Traffic() : udp6_("::1", "::1", 53), query_(dns_query({"abc", "de"})) {
        for (const Ipv4& a : spread4()) frames4_.push_back(qv::test::build_frame(query_from(a)));
        for (const Ipv6& a : spread6()) frames6_.push_back(qv::test::build_frame(query_from6(a)));
        quiet_.push_back(qv::test::build_frame(query_from(Ipv4{198, 51, 101, 1})));
        quiet_.push_back(qv::test::build_frame(query_from6(ipv6("2001:db8:cc::1"))));
    }

    void round() {
        for (int i = 0; i < 10; ++i) {
            injector_.send(frames4_[next_ % frames4_.size()]);
            injector_.send(frames6_[next_ % frames6_.size()]);
            udp6_.send(query_);
            ++next_;
        }
        if (rounds_++ % 20 == 0) {
            for (const auto& f : quiet_) injector_.send(f);
        }
    }

  private:
    FrameInjector injector_;
    UdpSender udp6_;
    std::vector<uint8_t> query_;
    std::vector<std::vector<uint8_t>> frames4_, frames6_, quiet_;
    size_t next_ = 0;
    int rounds_ = 0;
};

constexpr const char* kStamp = R"(\[\d\d:\d\d:\d\d\] )";
const std::regex kAlarm(std::string(kStamp) + R"(source \[([0-9a-f.:/]+)\] - (\d+) qps)");

TEST_F(PrefixCounting, AlarmNamesTheCountedPrefix) {
    // One mix of traffic, watched at once under each setting. A prefix
    // shorter than its family's width is written ADDRESS/LEN, host bits
    // clear; at full width the plain address.
    const struct {
        std::vector<std::string> prefix_args;
        std::set<std::string> alarms;
    } cases[] = {
        {{}, {"::/64"}},
        {{"-6", "128"}, {"::1"}},
        {{"-4", "24"}, {"::/64", "198.51.100.0/24"}},
        {{"-6", "48"}, {"::/48", "2001:db8:bb::/48"}},
        {{"-4", "24", "-6", "127"}, {"::/127", "198.51.100.0/24"}},
    };
    struct Run {
        std::string name;
        std::set<std::string> alarms;
        std::optional<Process> process{};
    };
    await_second_turn();
    std::list<Run> runs;
    uint8_t n = 0;
    for (const auto& c : cases) {
        Run& r = runs.emplace_back();
        r.name = "prefixes:";
        for (const auto& a : c.prefix_args) r.name += " " + a;
        r.alarms = c.alarms;
        std::vector<std::string> argv{QV_BINARY, "-b", "-D", "-Q", "-i", "lo",
                                      "-w",      "2",  "-t", "20", "-m", "2"};
        argv.insert(argv.end(), c.prefix_args.begin(), c.prefix_args.end());
        r.process.emplace(QV_BINARY, argv);
        SCOPED_TRACE(r.name);
        ASSERT_TRUE(wait_capturing(*r.process, Ipv4{10, 255, 110, ++n}));
    }

    // Until every run has written all its alarms and the totals line of
    // their cycle: a wrong alarm would come in that same cycle.
    auto done = [](const Run& r) {
        const std::string out = r.process->out();
        size_t last = 0;
        for (const std::string& text : r.alarms) {
            const size_t at = out.find("] source [" + text + "] - ");
            if (at == std::string::npos) return false;
            last = std::max(last, at);
        }
        const size_t totals = out.find("] totals - ", last);
        return totals != std::string::npos && out.find('\n', totals) != std::string::npos;
    };
    Traffic traffic;
    const auto deadline = Clock::now() + Duration(20000);
    while (!std::all_of(runs.begin(), runs.end(), done)) {
        traffic.round();
        for (const Run& r : runs) ASSERT_TRUE(r.process->running()) << r.process->describe();
        if (Clock::now() >= deadline) {
            std::string seen;
            for (const Run& r : runs) {
                seen += "\n" + r.name + (done(r) ? " (done):" : ":");
                for (const std::string& line : lines_of(r.process->out())) {
                    if (line.find("] source [") != std::string::npos ||
                        line.find("] totals - ") != std::string::npos)
                        seen += "\n  " + line;
                }
            }
            FAIL() << "not every run alarmed as it should:" << seen;
        }
        std::this_thread::sleep_for(Duration(50));
    }

    for (const Run& r : runs) {
        SCOPED_TRACE(r.name);
        std::set<std::string> alarmed;
        for (const std::string& line : lines_of(r.process->out())) {
            if (line.find("] source [") == std::string::npos) continue;
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, kAlarm)) << line;
            EXPECT_GT(std::stol(m[2]), 20) << line;
            alarmed.insert(m[1]);
        }
        EXPECT_EQ(alarmed, r.alarms) << r.process->describe();
        // The dump still shows each packet's own source.
        const std::string out = r.process->out();
        for (const std::string& src :
             {std::string("::1"), ip_text(spread4()[5]), ip_text(spread6()[5])}) {
            EXPECT_NE(out.find(dump_line_text(src, "udp", 1, "abc.de.") + "\n"), std::string::npos)
                << src;
        }
    }
}

// The export's keys are the same texts, counted exactly, to an IPv4 and to
// an IPv6 collector alike.
TEST_F(PrefixCounting, ExportKeysAreTheCountedPrefixes) {
    struct Run {
        std::string collector;
        std::optional<UdpReceiver> receiver{};
        std::optional<Process> process{};
        Counts got{};
    };
    std::list<Run> runs;
    uint8_t n = 0;
    for (const char* collector : {"127.0.0.1", "::1"}) {
        Run& r = runs.emplace_back();
        r.collector = collector;
        r.receiver.emplace(collector);
        r.process.emplace(
            QV_BINARY, std::vector<std::string>{QV_BINARY, "-b", "-D", "-Q", "-i", "lo", "-4", "24",
                                                "-6", "48", "-w", "2", "-s", "-z", collector, "-p",
                                                std::to_string(r.receiver->port())});
        SCOPED_TRACE(collector);
        ASSERT_TRUE(wait_capturing(*r.process, Ipv4{10, 255, 120, ++n}));
    }
    // The probes, counted under their /24.
    const std::string probes = "10.255.120.0/24";

    const std::vector<std::pair<qv::test::FrameSpec, int>> plan = {
        {query_from(Ipv4{198, 51, 100, 1}), 3},
        {query_from(Ipv4{198, 51, 100, 77}), 4},
        {query_from(Ipv4{198, 51, 100, 254}), 5},
        {query_from(Ipv4{198, 51, 101, 9}), 2},
        {query_from6(ipv6("2001:db8:aa:1::1")), 3},
        {query_from6(ipv6("2001:db8:aa:ffff:1:2:3:4")), 3},
        {query_from6(ipv6("2001:db8:ab::1")), 1},
    };
    constexpr int kFromLoopback = 4;
    const Counts expected = {
        {"198.51.100.0/24", 12}, {"198.51.101.0/24", 2},   {"2001:db8:aa::/48", 6},
        {"2001:db8:ab::/48", 1}, {"::/48", kFromLoopback},
    };
    FrameInjector injector;
    for (const auto& [frame, count] : plan) {
        const auto bytes = qv::test::build_frame(frame);
        for (int i = 0; i < count; ++i) injector.send(bytes);
    }
    UdpSender udp6("::1", "::1", 53);
    for (int i = 0; i < kFromLoopback; ++i) udp6.send(dns_query({"abc", "de"}));

    // Adds up r's datagrams until done() holds or the deadline passes.
    auto receive_until = [](Run& r,
                            const std::function<bool()>& done) -> ::testing::AssertionResult {
        const auto deadline = Clock::now() + Duration(20000);
        while (!done()) {
            if (Clock::now() >= deadline) return ::testing::AssertionFailure() << "deadline passed";
            if (std::optional<std::string> d = r.receiver->receive(Duration(500))) {
                auto ok = add_export_counts(*d, r.got);
                if (!ok) return ok;
            }
        }
        return ::testing::AssertionSuccess();
    };
    for (Run& r : runs) {
        SCOPED_TRACE(r.collector);
        ASSERT_TRUE(receive_until(r,
                                  [&] {
                                      return std::all_of(expected.begin(), expected.end(),
                                                         [&](const auto& e) {
                                                             return r.got[e.first] >= e.second;
                                                         });
                                  }))
            << count_differences(expected, r.got) << r.process->describe();
    }
    // A marker sent now is exported by a later sweep than every query
    // before it: once it is in, so are all of theirs.
    const std::string marker = "198.51.102.0/24";
    injector.send(qv::test::build_frame(query_from(Ipv4{198, 51, 102, 1})));
    for (Run& r : runs) {
        SCOPED_TRACE(r.collector);
        ASSERT_TRUE(receive_until(r, [&] { return r.got[marker] != 0; })) << r.process->describe();
        EXPECT_EQ(r.got[marker], 1u);
        r.got.erase(marker);
        r.got.erase(probes);
        EXPECT_EQ(count_differences(expected, r.got), "") << r.process->describe();
    }
}

// ---------------------------------------------------------------- daemon

const std::regex kDaemonAlarm(R"(source \[([0-9a-f.:/]+)\] - (\d+) qps)");
const std::regex kDaemonTotals(R"(\[totals\] - \d+\.\d\d tcp qps : \d+\.\d\d udp qps)");

// Drives traffic.round() until every key of loud has two daemon alarms in
// syslog (failing after 45 s), then ends the daemon and checks that the
// second alarm of each came six cycles after its first (-a 11, -w 2) and
// that no other key was reported. Returns the log.
template <class Sender>
std::vector<SyslogMessage> expect_held_off_six_cycles(pid_t daemon, const std::set<std::string>& loud,
                                                      Sender& traffic) {
    auto alarms_of = [](const std::vector<SyslogMessage>& log, const std::string& text) {
        std::vector<size_t> at;
        for (size_t i = 0; i < log.size(); ++i) {
            std::smatch m;
            if (std::regex_match(log[i].message, m, kDaemonAlarm) && m[1] == text) at.push_back(i);
        }
        return at;
    };
    std::vector<SyslogMessage> log;
    const auto deadline = Clock::now() + Duration(45000);
    for (;;) {
        traffic.round();
        log = syslog_listener().messages();
        if (std::all_of(loud.begin(), loud.end(),
                        [&](const std::string& t) { return alarms_of(log, t).size() >= 2; }))
            break;
        if (const std::string now = wait_exit_of(daemon, Duration(0)); now != kStillRunning) {
            ADD_FAILURE() << "the daemon ended: " << now;
            return log;
        }
        if (Clock::now() >= deadline) {
            std::string seen;
            for (const SyslogMessage& m : log) seen += "\n  " + m.message;
            ADD_FAILURE() << "not every loud key was reported twice:" << seen;
            return log;
        }
        std::this_thread::sleep_for(Duration(50));
    }
    EXPECT_EQ(kill(daemon, SIGTERM), 0);
    EXPECT_EQ(wait_exit_of(daemon), exited(SIGTERM));

    std::string text;
    for (const SyslogMessage& m : log) text += m.raw;
    for (const std::string& t : loud) {
        SCOPED_TRACE(t);
        const std::vector<size_t> at = alarms_of(log, t);
        const auto cycles_between =
            std::count_if(log.begin() + static_cast<long>(at[0]),
                          log.begin() + static_cast<long>(at[1]), [&](const SyslogMessage& m) {
                              return m.pid == daemon && std::regex_match(m.message, kDaemonTotals);
                          });
        EXPECT_EQ(cycles_between, 6) << text;
    }
    for (const SyslogMessage& m : log) {
        std::smatch sm;
        if (!std::regex_match(m.message, sm, kDaemonAlarm)) continue;
        EXPECT_EQ(loud.count(sm[1]), 1u) << m.raw;
    }
    return log;
}

// The daemon holds off a prefix as one source: the hosts of a loud /24 take
// turns, yet the /24 is reported once, then again only when the -a 11
// hold-off is over, six cycles of 2 s later.
TEST_F(PrefixCounting, DaemonHoldsOffAPrefixAsOneSource) {
    await_second_turn();
    Process starter = start_program(
        {"-d", "-Q", "-i", "lo", "-4", "24", "-w", "2", "-t", "20", "-a", "11", "-m", "2"});
    ASSERT_EQ(starter.wait_exit(), exited(0)) << starter.describe();
    std::optional<pid_t> daemon = wait_adopted();
    ASSERT_TRUE(daemon.has_value()) << "no detached child";

    const std::set<std::string> loud = {"::/64", "198.51.100.0/24"};
    Traffic traffic;
    const std::vector<SyslogMessage> log = expect_held_off_six_cycles(*daemon, loud, traffic);
    // Only the loud prefixes were reported, never one of the hosts on its own.
    for (const SyslogMessage& m : log) {
        std::smatch s;
        if (std::regex_match(m.message, s, kDaemonAlarm)) {
            EXPECT_GT(std::stol(s[2]), 20) << m.raw;
        }
    }
}

// ---------------------------------------------------------------- families

// 198.51.100.7, and three IPv6 sources whose bytes spell it out: the
// IPv4-mapped and IPv4-compatible forms and the four bytes in front. The
// family of the frame makes the source: four sources, never one.
struct FamilySource {
    qv::test::FrameSpec frame;
    std::string text;  // the packet's own source as -D writes it
};
std::vector<FamilySource> family_sources() {
    return {{query_from(Ipv4{198, 51, 100, 7}), "198.51.100.7"},
            {query_from6(ipv6("::ffff:198.51.100.7")), "::ffff:198.51.100.7"},
            {query_from6(ipv6("::c633:6407")), "::198.51.100.7"},
            {query_from6(ipv6("c633:6407::")), "c633:6407::"}};
}

// One round: 10 queries from each of the sources, taking turns; every 50 ms
// that is 200 qps each. Counts what it sent per source.
class FamilyTraffic {
  public:
    FamilyTraffic() {
        for (const FamilySource& s : family_sources())
            frames_.push_back(qv::test::build_frame(s.frame));
        sent_.resize(frames_.size());
    }
    void round() {
        for (int i = 0; i < 10; ++i) {
            for (size_t k = 0; k < frames_.size(); ++k) {
                injector_.send(frames_[k]);
                ++sent_[k];
            }
        }
    }
    uint64_t sent(size_t k) const { return sent_[k]; }

  private:
    FrameInjector injector_;
    std::vector<std::vector<uint8_t>> frames_;
    std::vector<uint64_t> sent_;
};

// Alarm lines and export keys, under the prefixes of each family: -4
// applies to the IPv4 source alone, -6 to the three IPv6 ones, whose texts
// are inet_ntop's (a prefix as ADDRESS/LEN).
TEST_F(PrefixCounting, EachFamilyIsASourceOfItsOwn) {
    const struct {
        std::vector<std::string> prefix_args;
        std::vector<std::string> keys;  // of family_sources() in order
    } cases[] = {
        {{"-6", "128"}, {"198.51.100.7", "::ffff:198.51.100.7", "::198.51.100.7", "c633:6407::"}},
        {{"-4", "24", "-6", "112"},
         {"198.51.100.0/24", "::ffff:198.51.0.0/112", "::198.51.0.0/112", "c633:6407::/112"}},
        // The mapped and the compatible address share the IPv6 /48 ::/48.
        {{"-4", "24", "-6", "48"}, {"198.51.100.0/24", "::/48", "::/48", "c633:6407::/48"}},
    };
    struct Run {
        std::string name;
        std::vector<std::string> keys;
        std::optional<UdpReceiver> receiver{};
        std::optional<Process> process{};
        Counts got{};
    };
    await_second_turn();
    std::list<Run> runs;
    uint8_t n = 0;
    for (const auto& c : cases) {
        Run& r = runs.emplace_back();
        r.name = "prefixes:";
        for (const auto& a : c.prefix_args) r.name += " " + a;
        r.keys = c.keys;
        r.receiver.emplace("127.0.0.1");
        std::vector<std::string> argv{QV_BINARY, "-b", "-D", "-Q", "-i", "lo", "-w",       "2",
                                      "-t",      "20", "-m", "2",  "-s", "-z", "127.0.0.1"};
        argv.insert(argv.end(), {"-p", std::to_string(r.receiver->port())});
        argv.insert(argv.end(), c.prefix_args.begin(), c.prefix_args.end());
        r.process.emplace(QV_BINARY, argv);
        SCOPED_TRACE(r.name);
        ASSERT_TRUE(wait_capturing(*r.process, Ipv4{10, 255, 130, ++n}));
    }
    auto drain = [](Run& r, Duration wait) -> ::testing::AssertionResult {
        while (std::optional<std::string> d = r.receiver->receive(wait)) {
            auto ok = add_export_counts(*d, r.got);
            if (!ok) return ok;
            wait = Duration(0);
        }
        return ::testing::AssertionSuccess();
    };

    // Loud until every run has alarmed each of its keys and written the
    // totals line of that cycle.
    auto alarmed = [](const Run& r) {
        const std::string out = r.process->out();
        size_t last = 0;
        for (const std::string& key : r.keys) {
            const size_t at = out.find("] source [" + key + "] - ");
            if (at == std::string::npos) return false;
            last = std::max(last, at);
        }
        const size_t totals = out.find("] totals - ", last);
        return totals != std::string::npos && out.find('\n', totals) != std::string::npos;
    };
    FamilyTraffic traffic;
    const auto deadline = Clock::now() + Duration(20000);
    while (!std::all_of(runs.begin(), runs.end(), alarmed)) {
        traffic.round();
        for (Run& r : runs) {
            ASSERT_TRUE(r.process->running()) << r.process->describe();
            ASSERT_TRUE(drain(r, Duration(0))) << r.name;
        }
        if (Clock::now() >= deadline) {
            std::string seen;
            for (const Run& r : runs) {
                seen += "\n" + r.name + ":";
                for (const std::string& line : lines_of(r.process->out())) {
                    if (line.find("] source [") != std::string::npos) seen += "\n  " + line;
                }
            }
            FAIL() << "not every source was alarmed:" << seen;
        }
        std::this_thread::sleep_for(Duration(50));
    }
    // A marker sent after the last of them is exported by a later sweep.
    const std::string marker = "198.51.102.";
    FrameInjector injector;
    injector.send(qv::test::build_frame(query_from(Ipv4{198, 51, 102, 1})));
    auto marked = [&](const Run& r) {
        return std::any_of(r.got.begin(), r.got.end(),
                           [&](const auto& e) { return e.first.rfind(marker, 0) == 0; });
    };
    for (Run& r : runs) {
        SCOPED_TRACE(r.name);
        while (!marked(r)) {
            ASSERT_TRUE(Clock::now() < deadline + Duration(10000)) << "no marker";
            ASSERT_TRUE(drain(r, Duration(500)));
        }
    }

    const std::vector<FamilySource> sources = family_sources();
    for (Run& r : runs) {
        SCOPED_TRACE(r.name);
        const std::string out = r.process->out();
        std::set<std::string> alarms;
        for (const std::string& line : lines_of(out)) {
            if (line.find("] source [") == std::string::npos) continue;
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, kAlarm)) << line;
            EXPECT_GT(std::stol(m[2]), 20) << line;
            alarms.insert(m[1]);
        }
        EXPECT_EQ(alarms, std::set<std::string>(r.keys.begin(), r.keys.end())) << out;

        Counts expected;
        for (size_t k = 0; k < sources.size(); ++k) {
            expected[r.keys[k]] += traffic.sent(k);
            // -D shows each packet's own source, whatever the prefixes.
            EXPECT_NE(out.find(dump_line_text(sources[k].text, "udp", 1, "abc.de.") + "\n"),
                      std::string::npos)
                << sources[k].text;
        }
        for (auto it = r.got.begin(); it != r.got.end();) {
            const bool probe_or_marker =
                it->first.rfind("10.255.130.", 0) == 0 || it->first.rfind(marker, 0) == 0;
            it = probe_or_marker ? r.got.erase(it) : std::next(it);
        }
        EXPECT_EQ(count_differences(expected, r.got), "") << r.process->describe();
    }
}

// The daemon holds off each of the four on its own: an alarm of the IPv4
// source silences none of its IPv6 look-alikes, nor the other way round.
// Each is reported, then again when its -a 11 hold-off is over.
TEST_F(PrefixCounting, DaemonHoldsOffEachFamilyApart) {
    await_second_turn();
    Process starter = start_program(
        {"-d", "-Q", "-i", "lo", "-6", "128", "-w", "2", "-t", "20", "-a", "11", "-m", "2"});
    ASSERT_EQ(starter.wait_exit(), exited(0)) << starter.describe();
    std::optional<pid_t> daemon = wait_adopted();
    ASSERT_TRUE(daemon.has_value()) << "no detached child";

    std::set<std::string> loud;
    for (const FamilySource& s : family_sources()) loud.insert(s.text);
    ASSERT_EQ(loud.size(), 4u);
    FamilyTraffic traffic;
    expect_held_off_six_cycles(*daemon, loud, traffic);
}

}  // namespace
}  // namespace qv::e2e
