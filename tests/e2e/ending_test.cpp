// How the program ends: SIGTERM and SIGINT in foreground mode end it by the
// signal only once every line it wrote has left its standard output buffer,
// and a fatal error after the detach in daemon mode is logged to syslog.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "harness.h"

namespace qv::e2e {
namespace {

using Signals = E2eTest;
using FatalErrors = E2eTest;
using Clock = std::chrono::steady_clock;
using qv::test::build_frame;
using qv::test::FrameSpec;

// Nothing else listens in the test's own network namespace.
constexpr uint16_t kPort = 9531;
const std::string kQueriesSeries = R"(quorvane_queries_total{family="ipv4",transport="udp"})";
const std::string kType0Series = R"(quorvane_frames_total{result="type0"})";

const struct {
    int sig;
    const char* name;
} kStopSignals[] = {{SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}};

// A child inherits an ignored SIGINT (a test run started in the background
// has one), and the program rightly leaves it ignored: the test's children
// get the default action while this lives.
class DefaultStopSignals {
  public:
    DefaultStopSignals() {
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigaction(SIGTERM, &dfl, &term_);
        sigaction(SIGINT, &dfl, &int_);
    }
    ~DefaultStopSignals() {
        sigaction(SIGTERM, &term_, nullptr);
        sigaction(SIGINT, &int_, nullptr);
    }
    DefaultStopSignals(const DefaultStopSignals&) = delete;
    DefaultStopSignals& operator=(const DefaultStopSignals&) = delete;

  private:
    struct sigaction term_ {};
    struct sigaction int_ {};
};

class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/qv-ending-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            throw std::runtime_error(std::string("mkdtemp: ") + strerror(errno));
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// The value of a series (written as on the page) of a page; -1 when absent.
double sample_of(const std::string& page, const std::string& series) {
    std::istringstream in(page);
    for (std::string line; std::getline(in, line);) {
        if (line.size() > series.size() && line.compare(0, series.size(), series) == 0 &&
            line[series.size()] == ' ') {
            return std::strtod(line.c_str() + series.size() + 1, nullptr);
        }
    }
    return -1;
}

// Reads the page every 50 ms until pred holds for it, calling before_each
// first each time; page gets the last one read.
::testing::AssertionResult wait_page(const std::function<bool(const std::string&)>& pred,
                                     std::string& page,
                                     const std::function<void()>& before_each = {}) {
    const auto deadline = Clock::now() + kWait;
    for (;;) {
        if (before_each) before_each();
        if (std::optional<std::string> p = metrics_page(kPort)) {
            page = *p;
            if (pred(page)) return ::testing::AssertionSuccess();
        }
        if (Clock::now() >= deadline) {
            return ::testing::AssertionFailure() << "the page never showed it; last read:\n"
                                                 << page;
        }
        std::this_thread::sleep_for(Duration(50));
    }
}

// A query from a source of its own for each i, and its dump line.
Ipv4 source_of(int i) {
    return Ipv4{10, 17, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
}
std::string line_of(int i) {
    return dump_line(source_of(i), "udp", 1, "abc.de.");
}

// Where two runs of lines part; empty when they agree.
std::string difference(const std::vector<std::string>& got, const std::vector<std::string>& want) {
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    if (i == got.size() && i == want.size()) return "";
    return std::to_string(got.size()) + " lines where " + std::to_string(want.size()) +
           " were due; line " + std::to_string(i) + " is \"" + (i < got.size() ? got[i] : "") +
           "\", not \"" + (i < want.size() ? want[i] : "") + "\"";
}

// A pcap file (Ethernet, the byte order of this host) of the queries 0..n-1,
// a microsecond apart.
std::string capture_of(int n) {
    std::string out;
    auto put = [&out](auto v) { out.append(reinterpret_cast<const char*>(&v), sizeof v); };
    put(uint32_t{0xa1b2c3d4});
    put(uint16_t{2});
    put(uint16_t{4});
    put(int32_t{0});
    put(uint32_t{0});
    put(uint32_t{65535});
    put(uint32_t{1});
    for (int i = 0; i < n; ++i) {
        const std::vector<uint8_t> frame = build_frame(query_from(source_of(i)));
        put(uint32_t{1700000000});
        put(static_cast<uint32_t>(i));
        put(static_cast<uint32_t>(frame.size()));
        put(static_cast<uint32_t>(frame.size()));
        out.append(frame.begin(), frame.end());
    }
    return out;
}

TEST_F(Signals, LiveCaptureWritesEveryCountedLineThenEndsByTheSignal) {
    // Some 63-byte lines more than the 4 KiB that standard output holds into
    // a pipe: the last of them are still in the buffer when the signal comes.
    constexpr int kQueries = 500;
    const DefaultStopSignals defaults;
    const Ipv4 probe{10, 255, 17, 1};
    FrameSpec probe_spec = query_from(probe, {"ready", "probe"});
    probe_spec.qtype = 0;  // dumped, counted as a frame only
    const std::vector<uint8_t> probe_frame = build_frame(probe_spec);
    const std::string probe_dump = dump_line(probe, "udp", 0, "ready.probe.");
    std::vector<std::string> expected;
    for (int i = 0; i < kQueries; ++i) expected.push_back(line_of(i));
    std::sort(expected.begin(), expected.end());

    for (const auto& c : kStopSignals) {
        SCOPED_TRACE(c.name);
        // No stats line in the test's time (-w 3600) whose flush would carry
        // the dump lines out with it.
        Process p = start_program(
            {"-D", "-Q", "-i", "lo", "-w", "3600", "-P", std::to_string(kPort)}, Stdout::pipe);
        FrameInjector injector;
        std::string page;
        ASSERT_TRUE(
            wait_page([](const std::string& pg) { return sample_of(pg, kType0Series) >= 1; }, page,
                      [&] { injector.send(probe_frame); }))
            << p.describe();
        for (int i = 0; i < kQueries; ++i) injector.send(build_frame(query_from(source_of(i))));
        ASSERT_TRUE(wait_page(
            [](const std::string& pg) { return sample_of(pg, kQueriesSeries) == kQueries; }, page))
            << p.describe();
        const double probes_counted = sample_of(page, kType0Series);

        p.signal(c.sig);
        ASSERT_EQ(p.wait_exit(), killed_by(c.sig)) << p.describe();
        const std::string out = p.out();
        EXPECT_TRUE(out.ends_with("\n")) << "the last line is cut short";
        std::vector<std::string> queries;
        size_t probe_lines = 0;
        for (const std::string& line : lines_of(out)) {
            if (line == probe_dump) {
                ++probe_lines;
            } else {
                queries.push_back(line);
            }
        }
        std::sort(queries.begin(), queries.end());
        EXPECT_EQ(difference(queries, expected), "");
        EXPECT_GE(static_cast<double>(probe_lines), probes_counted);
        EXPECT_EQ(p.err(), "");
    }
}

TEST_F(Signals, ReplayWaitingForMoreInputWritesEveryLineThenEndsByTheSignal) {
    constexpr int kQueries = 500;
    const DefaultStopSignals defaults;
    const std::string capture = capture_of(kQueries);
    std::vector<std::string> expected;
    for (int i = 0; i < kQueries; ++i) expected.push_back(line_of(i));

    for (const auto& c : kStopSignals) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string fifo = dir / "input";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << strerror(errno);
        // Open for writing to the end: the program reads it all, then waits
        // for more that never comes.
        const int w = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(w, 0) << strerror(errno);
        ASSERT_EQ(write(w, capture.data(), capture.size()), static_cast<ssize_t>(capture.size()))
            << "the FIFO holds less than the capture";
        Process p = start_program({"-D", "-r", fifo, "-P", std::to_string(kPort)}, Stdout::pipe);
        std::string page;
        const bool counted = wait_page(
            [](const std::string& pg) { return sample_of(pg, kQueriesSeries) == kQueries; }, page);
        if (counted) p.signal(c.sig);
        const std::string status = p.wait_exit();
        close(w);
        ASSERT_TRUE(counted) << page << "\n" << p.describe();
        EXPECT_EQ(status, killed_by(c.sig)) << p.describe();
        // Every line, whole and in order, and nothing after them: the stop
        // runs no final cycle.
        EXPECT_TRUE(p.out().ends_with("\n")) << "the last line is cut short";
        EXPECT_EQ(difference(lines_of(p.out()), expected), "");
        EXPECT_EQ(p.err(), "");
    }
}

// What fd gives until at least min bytes have come, its end, or the deadline.
std::string read_from(int fd, size_t min, Clock::time_point deadline) {
    std::string got;
    while (got.size() < min) {
        const auto left = std::chrono::duration_cast<Duration>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buf[65536];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

// Waits until pid sits in the system call number call, as /proc tells.
::testing::AssertionResult wait_in_syscall(pid_t pid, long call) {
    const std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    const std::string want = std::to_string(call) + " ";
    const auto deadline = Clock::now() + kWait;
    std::string last;
    while (Clock::now() < deadline) {
        std::ifstream in(path);
        std::getline(in, last);
        if (last.starts_with(want)) return ::testing::AssertionSuccess();
        std::this_thread::sleep_for(Duration(5));
    }
    return ::testing::AssertionFailure() << path << " never showed call " << call << ": " << last;
}

TEST_F(Signals, ReplayHeldUpByItsReaderEndsOnAWholeLine) {
    // 1.3 MB of dump lines, twenty times what a pipe holds: the program waits
    // in a write in the middle of the file when the signal comes.
    constexpr int kQueries = 20000;
    const DefaultStopSignals defaults;
    TempDir dir;
    const std::string file = dir / "queries.pcap";
    {
        const std::string capture = capture_of(kQueries);
        FILE* f = fopen(file.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fwrite(capture.data(), 1, capture.size(), f), capture.size());
        ASSERT_EQ(fclose(f), 0);
    }
    const std::string out_fifo = dir / "out";
    ASSERT_EQ(mkfifo(out_fifo.c_str(), 0600), 0) << strerror(errno);

    for (const auto& c : kStopSignals) {
        SCOPED_TRACE(c.name);
        const int r = open(out_fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(r, 0) << strerror(errno);
        // Standard output on a FIFO that only the test reads, and only when
        // it chooses to.
        Process p("/bin/sh",
                  {"sh", "-c", "exec \"$0\" -D -r \"$1\" >\"$2\"", QV_BINARY, file, out_fifo},
                  Stdout::pipe);
        const auto deadline = Clock::now() + kWait;
        std::string out = read_from(r, 1, deadline);
        ASSERT_FALSE(out.empty()) << p.describe();
        ASSERT_TRUE(wait_in_syscall(p.pid(), SYS_write)) << p.describe();
        p.signal(c.sig);
        out += read_from(r, std::string::npos, deadline);
        close(r);
        ASSERT_EQ(p.wait_exit(), killed_by(c.sig)) << p.describe();
        EXPECT_TRUE(out.ends_with("\n")) << "the last line is cut short";
        const std::vector<std::string> lines = lines_of(out);
        ASSERT_LT(lines.size(), static_cast<size_t>(kQueries))
            << "the replay ended before the signal";
        // The lines of the first queries of the file, none missing.
        std::vector<std::string> first;
        for (size_t i = 0; i < lines.size(); ++i) first.push_back(line_of(static_cast<int>(i)));
        EXPECT_EQ(difference(lines, first), "");
        EXPECT_EQ(p.err(), "");
    }
}

std::string log_text(const std::vector<SyslogMessage>& log) {
    std::string text;
    for (const SyslogMessage& m : log) text += m.raw + (m.raw.ends_with("\n") ? "" : "\n");
    return text;
}

TEST_F(FatalErrors, AfterTheDetachGoToSyslogAndEndWithStatusOne) {
    // Every case fails after the detach (or, in the foreground, at the same
    // point); with a daemon, the message is its only one.
    const std::vector<std::string> no_wrapper;
    // Room for no thread once the user is nobody (root is not held to it).
    const std::vector<std::string> one_process{"/usr/bin/prlimit", "--nproc=1"};
    const std::vector<std::string> no_setgid{"/usr/bin/setpriv", "--bounding-set", "-setgid"};
    const std::string port = std::to_string(kPort);
    const struct {
        const char* what;
        std::vector<std::string> wrapper;
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {"a device that cannot be opened",
         no_wrapper,
         {"-d", "-i", "no-such-dev0"},
         "unable to open device no-such-dev0"},
        {"a filter that does not compile",
         no_wrapper,
         {"-d", "-i", "lo", "-A", "192.0.2.7", "-M", "255.255.255.0"},
         "error compiling filter: non-network bits set in \"192.0.2.7 mask 255.255.255.0\""},
        {"privileges that cannot be dropped",
         no_setgid,
         {"-d", "-Q", "-i", "lo", "-u", "nobody"},
         "unable to drop privileges to nobody: Operation not permitted"},
        {"a metrics server whose thread cannot start",
         one_process,
         {"-d", "-Q", "-i", "lo", "-u", "nobody", "-P", port},
         "unable to serve metrics on " + port + ": Resource temporarily unavailable"},
        {"a stats thread that cannot start",
         one_process,
         {"-d", "-Q", "-i", "lo", "-u", "nobody"},
         "unable to start the stats thread: Resource temporarily unavailable"},
        // In the foreground the same error stays on standard error.
        {"a filter that does not compile, in the foreground",
         no_wrapper,
         {"-b", "-i", "lo", "-A", "192.0.2.7", "-M", "255.255.255.0"},
         "error compiling filter: non-network bits set in \"192.0.2.7 mask 255.255.255.0\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> argv = c.wrapper;
        argv.push_back(QV_BINARY);
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Process starter(argv.front(), argv, Stdout::pipe);
        const bool daemon_mode = c.args.front() == "-d";
        if (!daemon_mode) {
            EXPECT_EQ(starter.wait_exit(), exited(1));
            EXPECT_EQ(starter.err(), c.message + "\n");
            EXPECT_EQ(starter.out(), "");
            EXPECT_TRUE(adopted_children().empty()) << "something detached";
            continue;
        }
        ASSERT_EQ(starter.wait_exit(), exited(0)) << starter.describe();
        EXPECT_EQ(starter.out(), "");
        EXPECT_EQ(starter.err(), "");
        std::optional<pid_t> adopted = wait_adopted();
        ASSERT_TRUE(adopted.has_value()) << "no detached child";
        const pid_t daemon = *adopted;
        EXPECT_EQ(wait_exit_of(daemon), exited(1));
        std::optional<SyslogMessage> error =
            syslog_listener().wait_for([&](const SyslogMessage& m) {
                return m.pid == daemon && m.priority == (LOG_DAEMON | LOG_ERR);
            });
        ASSERT_TRUE(error.has_value()) << log_text(syslog_listener().messages());
        EXPECT_EQ(error->tag, "quorvane");
        EXPECT_EQ(error->message, c.message) << error->raw;
        for (const SyslogMessage& m : syslog_listener().messages()) {
            if (m.pid == daemon) {
                EXPECT_EQ(m.raw, error->raw);
            }
        }
    }
}

}  // namespace
}  // namespace qv::e2e
