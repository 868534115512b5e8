// Running it in production: giving up root, the version screen, and telling
// the operator when the kernel dropped frames the capture never saw.
#include <grp.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <pcap/pcap.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "frames.h"
#include "harness.h"

namespace qv::e2e {
namespace {

using Operations = E2eTest;
using Clock = std::chrono::steady_clock;

size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The numbers after "Name:" in a /proc status file, e.g. the four of "Uid:".
std::vector<long> status_numbers(const std::string& status_path, const std::string& name) {
    std::ifstream in(status_path);
    std::vector<long> out;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(name + ":", 0) != 0) continue;
        std::istringstream fields(line.substr(name.size() + 1));
        for (long n; fields >> n;) out.push_back(n);
    }
    return out;
}

TEST_F(Operations, RunsAsTheUserItWasToldToBecome) {
    const passwd* pw = getpwnam("nobody");
    ASSERT_NE(pw, nullptr) << "no user nobody on this machine";
    const long uid = static_cast<long>(pw->pw_uid);
    const long gid = static_cast<long>(pw->pw_gid);
    std::vector<gid_t> groups(64);
    int ngroups = static_cast<int>(groups.size());
    ASSERT_GE(getgrouplist("nobody", pw->pw_gid, groups.data(), &ngroups), 0);
    const std::set<long> nobody_groups(groups.begin(), groups.begin() + ngroups);

    const Ipv4 probe{10, 255, 80, 1};
    const Ipv4 src{10, 80, 0, 1};
    UdpReceiver rx;
    Process p = start_program({"-b", "-D", "-Q", "-i", "lo", "-u", "nobody", "-s", "-z",
                               "127.0.0.1", "-p", std::to_string(rx.port()), "-w", "2"});
    ASSERT_TRUE(wait_capturing(p, probe));

    // Capturing means the drop is done. Every thread: real, effective, saved
    // and file-system ids, and the supplementary groups (none of root's).
    const std::string task_dir = "/proc/" + std::to_string(p.pid()) + "/task";
    int threads = 0;
    for (const auto& task : std::filesystem::directory_iterator(task_dir)) {
        const std::string status = task.path().string() + "/status";
        SCOPED_TRACE(status);
        ++threads;
        EXPECT_EQ(status_numbers(status, "Uid"), std::vector<long>(4, uid));
        EXPECT_EQ(status_numbers(status, "Gid"), std::vector<long>(4, gid));
        const std::vector<long> g = status_numbers(status, "Groups");
        EXPECT_EQ(std::set<long>(g.begin(), g.end()), nobody_groups);
    }
    EXPECT_GE(threads, 2) << "the capture and the stats thread";

    // It still captures, dumps, counts and sends.
    constexpr int kQueries = 30;
    FrameInjector injector;
    for (int i = 0; i < kQueries; ++i) injector.send(qv::test::build_frame(query_from(src)));
    const std::string line = dump_line(src, "udp", 1, "abc.de.") + "\n";
    EXPECT_TRUE(p.wait_until([&](const std::string& out, const std::string&) {
        return count_of(out, line) == kQueries;
    })) << p.describe();
    std::map<std::string, uint64_t> got;
    const auto deadline = Clock::now() + Duration(20000);
    while (got[ip_text(src)] < kQueries && Clock::now() < deadline) {
        if (std::optional<std::string> d = rx.receive(Duration(500))) {
            ASSERT_TRUE(add_export_counts(*d, got));
        }
    }
    EXPECT_EQ(got[ip_text(src)], static_cast<uint64_t>(kQueries)) << p.describe();
}

TEST_F(Operations, VersionScreenAndUnknownUser) {
    const struct {
        std::vector<std::string> args;
        std::string status;
        std::string out;
        std::string err;
    } cases[] = {
        {{"-V"}, exited(0), std::string("quorvane, version 1.2\n") + pcap_lib_version() + "\n", ""},
        {{"-b", "-u", "no-such-user-xyz"}, exited(1), "", "unknown user no-such-user-xyz\n"},
        // Refused before it detaches: the starting process says so itself.
        {{"-d", "-u", "no-such-user-xyz"}, exited(1), "", "unknown user no-such-user-xyz\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front() + " " + c.args.back());
        Process p = start_program(c.args, Stdout::pipe);
        EXPECT_EQ(p.wait_exit(), c.status);
        EXPECT_EQ(p.out(), c.out);
        EXPECT_EQ(p.err(), c.err);
    }
    EXPECT_TRUE(adopted_children().empty()) << "something detached";
}

// Sends one frame many times, as fast as the kernel takes it.
class Flood {
  public:
    Flood() {
        fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        sockaddr_ll sll{};
        sll.sll_family = AF_PACKET;
        sll.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) {
            ADD_FAILURE() << "AF_PACKET socket on lo: " << strerror(errno);
        }
    }
    ~Flood() {
        if (fd_ >= 0) close(fd_);
    }
    Flood(const Flood&) = delete;
    Flood& operator=(const Flood&) = delete;

    // Returns how many were sent.
    long send(std::vector<uint8_t> frame, long count) {
        constexpr unsigned kBatch = 1024;
        std::vector<iovec> iov(kBatch, iovec{frame.data(), frame.size()});
        std::vector<mmsghdr> msgs(kBatch);
        for (unsigned i = 0; i < kBatch; ++i) {
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        long sent = 0;
        while (sent < count) {
            const unsigned n = static_cast<unsigned>(std::min<long>(kBatch, count - sent));
            const int k = sendmmsg(fd_, msgs.data(), n, 0);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) break;
            sent += k;
        }
        return sent;
    }

  private:
    int fd_ = -1;
};

TEST_F(Operations, ReportsFramesTheKernelDroppedOnceEach) {
    const Ipv4 probe{10, 255, 90, 1};
    const std::regex loss(R"(\[\d\d:\d\d:\d\d\] capture dropped (\d+) of (\d+) frames)");
    auto totals = [](const std::string& out) { return count_of(out, "] totals - "); };
    auto wait_totals = [&](Process& p, size_t n) {
        return p.wait_until(
            [&](const std::string& out, const std::string&) { return totals(out) >= n; },
            Duration(20000));
    };

    Process p = start_program({"-b", "-D", "-Q", "-i", "lo", "-w", "2", "-m", "2"});
    ASSERT_TRUE(wait_capturing(p, probe));

    // A capture that keeps up reports no loss, cycle after cycle.
    ASSERT_TRUE(wait_totals(p, totals(p.out()) + 3)) << p.describe();
    ASSERT_EQ(p.out().find("capture dropped"), std::string::npos) << p.describe();

    // Stopped, the program reads nothing, and a flood of frames that pass
    // its filter overruns its 64 MiB ring (a few hundred thousand frames).
    // Responses: no dump lines, nothing counted.
    p.signal(SIGSTOP);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(p.pid()), &info, WSTOPPED | WNOWAIT), 0);
    qv::test::FrameSpec response = query_from({10, 90, 0, 1});
    response.dns_flags_hi = 0x81;
    constexpr long kFlood = 800000;
    const auto flood_start = Clock::now();
    const long sent = Flood().send(qv::test::build_frame(response), kFlood);
    RecordProperty(
        "flood_ms",
        static_cast<int>(std::chrono::duration_cast<Duration>(Clock::now() - flood_start).count()));
    p.signal(SIGCONT);
    ASSERT_EQ(sent, kFlood);

    ASSERT_TRUE(p.wait_until(
        [&](const std::string& out, const std::string&) {
            return out.find("capture dropped") != std::string::npos &&
                   out.find('\n', out.find("capture dropped")) != std::string::npos;
        },
        Duration(20000)))
        << p.describe();
    // A loss is reported in the cycle that saw it, not again: two totals
    // lines more, and the next cycle has made its own check.
    ASSERT_TRUE(wait_totals(p, totals(p.out()) + 2)) << p.describe();
    std::vector<std::string> reports;
    for (const std::string& line : lines_of(p.out())) {
        if (line.find("capture dropped") != std::string::npos) reports.push_back(line);
    }
    ASSERT_EQ(reports.size(), 1u) << p.describe();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(reports[0], m, loss)) << reports[0];
    const unsigned long dropped = std::stoul(m[1]);
    const unsigned long received = std::stoul(m[2]);
    EXPECT_GT(dropped, 0u) << reports[0];
    EXPECT_LE(dropped, received) << reports[0];
    // Every flood frame passed the filter: the kernel saw each at least once
    // (on lo, libpcap's socket sees both directions).
    EXPECT_GE(received, static_cast<unsigned long>(kFlood)) << reports[0];
}

}  // namespace
}  // namespace qv::e2e
