// Foreground reports as a user watching the terminal sees them: the alarm
// line of a source over the threshold and the periodic totals line.
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "harness.h"

namespace qv::e2e {
namespace {

using Report = E2eTest;
using Clock = std::chrono::steady_clock;

const Ipv4 kLoud{10, 50, 0, 1};
const Ipv4 kQuiet{10, 50, 0, 2};
const Ipv4 kProbe{10, 255, 50, 1};

// The stamps must be local time. A zone 5:30 east of UTC makes a stamp taken
// in UTC (or rounded to the hour) differ from it.
constexpr const char* kZone = "QVT-5:30";

// Sets TZ for the test process and the programs it starts.
class LocalZone {
  public:
    explicit LocalZone(const char* zone) {
        if (const char* old = getenv("TZ")) saved_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~LocalZone() {
        if (saved_) {
            setenv("TZ", saved_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    LocalZone(const LocalZone&) = delete;
    LocalZone& operator=(const LocalZone&) = delete;

  private:
    std::optional<std::string> saved_;
};

// Whether stamp reads as the local time of a second in [from, to].
bool local_stamp_within(const std::string& stamp, time_t from, time_t to) {
    for (time_t t = from; t <= to; ++t) {
        tm local{};
        localtime_r(&t, &local);
        char text[16];
        strftime(text, sizeof text, "%H:%M:%S", &local);
        if (stamp == text) return true;
    }
    return false;
}

// One burst from the loud source: A over UDP, some A over TCP, one AAAA.
constexpr int kUdpA = 16;
constexpr int kTcpA = 3;
constexpr int kUdpAaaa = 1;
std::vector<std::vector<uint8_t>> loud_burst() {
    std::vector<std::vector<uint8_t>> frames;
    qv::test::FrameSpec udp_a = query_from(kLoud);
    qv::test::FrameSpec tcp_a = udp_a;
    tcp_a.protocol = 6;
    qv::test::FrameSpec udp_aaaa = udp_a;
    udp_aaaa.qtype = 28;
    for (int i = 0; i < kUdpA; ++i) frames.push_back(qv::test::build_frame(udp_a));
    for (int i = 0; i < kTcpA; ++i) frames.push_back(qv::test::build_frame(tcp_a));
    for (int i = 0; i < kUdpAaaa; ++i) frames.push_back(qv::test::build_frame(udp_aaaa));
    return frames;
}

constexpr const char* kStamp = R"(\[(\d\d:\d\d:\d\d)\] )";
const std::regex kTotals(
    std::string(kStamp) +
    R"(totals - (\d+\.\d\d) qps tcp : (\d+\.\d\d) qps udp ((?:\[\d+\.\d\d qps [A-Z0-9]+\] )*))");
const std::regex kTypeEntry(R"(\[(\d+\.\d\d) qps ([A-Z0-9]+)\] )");

struct TotalsLine {
    std::string stamp;
    double tcp = 0;
    double udp = 0;
    std::vector<std::pair<std::string, double>> types;  // in the order written
};

std::optional<TotalsLine> parse_totals(const std::string& line) {
    std::smatch m;
    if (!std::regex_match(line, m, kTotals)) return std::nullopt;
    TotalsLine t{m[1], std::stod(m[2]), std::stod(m[3]), {}};
    const std::string entries = m[4];
    for (std::sregex_iterator it(entries.begin(), entries.end(), kTypeEntry), end; it != end;
         ++it) {
        t.types.emplace_back((*it)[2], std::stod((*it)[1]));
    }
    return t;
}

bool is_alarm(const std::string& line) {
    return line.find("] source [") != std::string::npos;
}
bool is_totals(const std::string& line) {
    return line.find("] totals - ") != std::string::npos;
}

TEST_F(Report, LoudSourceAlarmsAndTotalsAddUp) {
    // The alarm line's numbers, by verbosity: tcp and udp rates at 1, the
    // rate of both at 0. Group 1 is the stamp, group 2 the address.
    const struct {
        const char* name;
        std::vector<std::string> verbosity;
        std::string alarm;
        bool typed_totals;
    } cases[] = {
        {"verbosity 0", {}, std::string(kStamp) + R"(source \[([0-9.]+)\] - (\d+) qps)", false},
        {"verbosity 1",
         {"-v"},
         std::string(kStamp) + R"(source \[([0-9.]+)\] - (\d+) qps tcp : (\d+) qps udp )",
         true},
    };
    LocalZone zone(kZone);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::regex alarm(c.alarm);
        std::vector<std::string> args{"-b", "-D", "-Q", "-i", "lo", "-w",
                                      "2",  "-t", "20", "-m", "2"};
        args.insert(args.end(), c.verbosity.begin(), c.verbosity.end());

        await_second_turn();
        const time_t started = time(nullptr);
        Process p = start_program(args);
        ASSERT_TRUE(wait_capturing(p, kProbe));

        // The loud source sends a burst every 50 ms (400 qps, far over 20),
        // the quiet one a query a second, until an alarm line for the loud
        // source and the totals line of its cycle are out.
        FrameInjector injector;
        const auto burst = loud_burst();
        const auto quiet = qv::test::build_frame(query_from(kQuiet));
        const std::string loud_text = "] source [" + ip_text(kLoud) + "]";
        long loud_sent = 0;
        std::string out;
        const auto deadline = Clock::now() + Duration(20000);
        for (int round = 0;; ++round) {
            for (const auto& f : burst) injector.send(f);
            loud_sent += static_cast<long>(burst.size());
            if (round % 20 == 0) injector.send(quiet);
            out = p.out();
            // The totals line whole, with its newline: the alarm line is before it.
            const size_t alarm_at = out.find(loud_text);
            const size_t totals_at =
                alarm_at == std::string::npos ? alarm_at : out.find("] totals - ", alarm_at);
            if (totals_at != std::string::npos && out.find('\n', totals_at) != std::string::npos)
                break;
            ASSERT_TRUE(p.running()) << p.describe();
            ASSERT_TRUE(Clock::now() < deadline)
                << "no alarm for the loud source and no totals after it: " << p.describe();
            std::this_thread::sleep_for(Duration(50));
        }
        const time_t ended = time(nullptr);
        const std::vector<std::string> lines = lines_of(out);
        ASSERT_NE(std::find(lines.begin(), lines.end(), dump_line(kQuiet, "udp", 1, "abc.de.")),
                  lines.end())
            << "the quiet source was never captured: " << p.describe();

        // Every alarm line is the loud source's, in full, with rates it can have had.
        std::optional<size_t> first_alarm;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (!is_alarm(lines[i])) continue;
            SCOPED_TRACE("alarm line: " + lines[i]);
            std::smatch m;
            ASSERT_TRUE(std::regex_match(lines[i], m, alarm));
            EXPECT_EQ(m[2], ip_text(kLoud));
            EXPECT_TRUE(local_stamp_within(m[1], started, ended)) << "not the local time";
            if (c.verbosity.empty()) {
                const long qps = std::stol(m[3]);
                EXPECT_GT(qps, 20);
                EXPECT_LE(qps, loud_sent);
            } else {
                const long tcp = std::stol(m[3]);
                const long udp = std::stol(m[4]);
                // Over 5 UDP queries for each TCP one were sent.
                EXPECT_GT(tcp, 0);
                EXPECT_GT(udp, 20);
                EXPECT_GT(udp, 2 * tcp);
                EXPECT_LE(tcp + udp, loud_sent);
            }
            if (!first_alarm) first_alarm = i;
        }
        ASSERT_TRUE(first_alarm.has_value()) << p.describe();

        // Every totals line is whole; the first after the alarm closes the
        // same cycle: same stamp, the loud traffic in it.
        std::optional<TotalsLine> after_alarm;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (!is_totals(lines[i])) continue;
            SCOPED_TRACE("totals line: " + lines[i]);
            std::optional<TotalsLine> t = parse_totals(lines[i]);
            ASSERT_TRUE(t.has_value());
            EXPECT_TRUE(local_stamp_within(t->stamp, started, ended)) << "not the local time";
            if (!c.typed_totals) {
                EXPECT_TRUE(t->types.empty());
            }
            if (i > *first_alarm && !after_alarm) after_alarm = t;
        }
        ASSERT_TRUE(after_alarm.has_value()) << p.describe();
        std::smatch m;
        std::regex_match(lines[*first_alarm], m, alarm);
        EXPECT_EQ(after_alarm->stamp, m[1]) << p.describe();
        EXPECT_GT(after_alarm->tcp, 0);
        EXPECT_GT(after_alarm->udp, 2 * after_alarm->tcp);
        if (c.typed_totals) {
            // Every query sent was an A or an AAAA one, so their rates make
            // up the whole (to the rounding of the three printed numbers).
            ASSERT_EQ(after_alarm->types.size(), 2u) << p.describe();
            EXPECT_EQ(after_alarm->types[0].first, "A");
            EXPECT_EQ(after_alarm->types[1].first, "AAAA");
            EXPECT_GT(after_alarm->types[0].second, 0);
            EXPECT_GT(after_alarm->types[1].second, 0);
            EXPECT_NEAR(after_alarm->types[0].second + after_alarm->types[1].second,
                        after_alarm->tcp + after_alarm->udp, 0.021);
        }
    }
}

// The first totals window opens when the program starts: no totals line
// comes before -m seconds have passed.
TEST_F(Report, FirstTotalsWindowOpensAtStart) {
    LocalZone zone("UTC0");
    const time_t started = time(nullptr);
    Process p = start_program({"-b", "-Q", "-i", "lo", "-w", "2", "-m", "5"});
    ASSERT_TRUE(p.wait_out("\n", Duration(30000))) << p.describe();
    const std::string first = lines_of(p.out()).front();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(first, m, kTotals)) << first;
    const std::string stamp = m[1];
    const long of_day = std::stol(stamp.substr(0, 2)) * 3600 + std::stol(stamp.substr(3, 2)) * 60 +
                        std::stol(stamp.substr(6, 2));
    const long since = ((of_day - static_cast<long>(started % 86400)) + 86400) % 86400;
    EXPECT_GE(since, 5) << "a totals line " << since << " s after the start: " << first;
}

}  // namespace
}  // namespace qv::e2e
