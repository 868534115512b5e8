// Real DNS clients (dnsperf, kdig) against a small responder on 127.0.0.1,
// inside the test namespace: what the program counts beside what tshark
// dissects from the same traffic on lo and what the clients say they sent.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "harness.h"

namespace qv::e2e {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;



size_t count_if_lines(const std::string& text,
                      const std::function<bool(const std::string&)>& pred) {
    size_t n = 0;
    for (const std::string& line : lines_of(text)) n += pred(line) ? 1 : 0;
    return n;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The program's dump lines for queries from 127.0.0.1 over proto whose
// name ends in suffix (with its final dot).
size_t dumped(const std::string& out, const std::string& proto, const std::string& suffix) {
    char head[64];
    snprintf(head, sizeof head, "src: %-15s  proto: %s  qtype: ", "127.0.0.1", proto.c_str());
    return count_if_lines(
        out, [&](const std::string& l) { return l.rfind(head, 0) == 0 && ends_with(l, suffix); });
}

// One line of tshark's fields: source, SYN flag, then the question names
// of every DNS query in the frame, comma-separated.
struct TsharkFrame {
    std::string src;
    bool syn = false;
    std::vector<std::string> names;
};

std::vector<TsharkFrame> tshark_frames(const std::string& out) {
    std::vector<TsharkFrame> frames;
    for (const std::string& line : lines_of(out)) {
        std::istringstream fields(line);
        TsharkFrame f;
        std::string syn, names;
        std::getline(fields, f.src, '\t');
        std::getline(fields, syn, '\t');
        std::getline(fields, names, '\t');
        f.syn = syn == "1" || syn == "True";
        std::istringstream each(names);
        for (std::string n; std::getline(each, n, ',');) f.names.push_back(n);
        frames.push_back(std::move(f));
    }
    return frames;
}

// tshark's queries from 127.0.0.1 whose name ends in suffix (no final dot).
size_t dissected(const std::string& out, const std::string& suffix) {
    size_t n = 0;
    for (const TsharkFrame& f : tshark_frames(out)) {
        if (f.src != "127.0.0.1") continue;
        for (const std::string& name : f.names) n += ends_with(name, suffix) ? 1 : 0;
    }
    return n;
}

// A query frame from 10.255.53.1 to port 53 over proto, a port of its own
// each time (tshark would take a repeat for a retransmission).
Bytes probe_frame(const std::string& proto, const std::string& label, int k) {
    qv::test::FrameSpec s = query_from({10, 255, 53, 1}, {label, "probe"});
    if (proto == "tcp") {
        s.protocol = 6;
        s.tcp_flags = 0x19;  // PSH|ACK|FIN: the whole of a short connection
    }
    s.src_port = static_cast<uint16_t>(20000 + k % 20000);
    return qv::test::build_frame(s);
}

// The program (-D, exporting every 2 s to a collector here) and tshark,
// both capturing the proto traffic of lo once made. Probes of their own
// name tell when each sees what was sent before it.
class Watchers {
  public:
    Watchers(const std::string& proto, const std::string& temp_dir)
        : proto_(proto),
          qv_(start_program({"-b", "-D", "-Q", "-i", "lo", "-w", "2", "-s", "-z", "127.0.0.1", "-p",
                             std::to_string(collector_.port())})),
          tshark_(proto + " port 53", {"ip.src", "tcp.flags.syn", "dns.qry.name"}, temp_dir,
                  "dns.flags.response == 0") {}

    // Both capture: each has shown a probe.
    ::testing::AssertionResult start() { return probe("ready"); }

    // Waits until the program has dumped and tshark has dissected at least
    // `want` queries from 127.0.0.1 with names ending in suffix (no final
    // dot), then for a last probe: what came before it has been seen.
    ::testing::AssertionResult settle(size_t want, const std::string& suffix) {
        qv_.wait_until([&](const std::string& out, const std::string&) {
            return dumped(out, proto_, suffix + ".") >= want;
        });
        tshark_.wait_until([&](const std::string& out) { return dissected(out, suffix) >= want; });
        return probe("end");
    }

    size_t program_dumped(const std::string& suffix) const {
        return dumped(qv_.out(), proto_, suffix + ".");
    }
    size_t tshark_dissected(const std::string& suffix) const {
        return dissected(tshark_.out(), suffix);
    }
    std::vector<TsharkFrame> tshark_seen() const { return tshark_frames(tshark_.out()); }

    // What the program exported for 127.0.0.1 once the count reaches want,
    // or what it had by the deadline.
    uint64_t exported(uint64_t want) {
        const auto deadline = Clock::now() + Duration(20000);
        while (exported_ < want && Clock::now() < deadline) {
            std::map<std::string, uint64_t> counts;
            if (auto d = collector_.receive(Duration(500))) {
                EXPECT_TRUE(add_export_counts(*d, counts));
                exported_ += counts["127.0.0.1"];
            }
        }
        return exported_;
    }

    std::string describe() const { return qv_.describe() + "\ntshark: " + tshark_.describe(); }

  private:
    ::testing::AssertionResult probe(const std::string& label) {
        FrameInjector injector;
        const std::string qv_line =
            dump_line({10, 255, 53, 1}, proto_.c_str(), 1, label + ".probe.");
        const std::string tshark_line = "10.255.53.1\t";
        const std::string tshark_name = label + ".probe";
        bool qv_seen = false, tshark_seen = false;
        const auto deadline = Clock::now() + kWait;
        for (int k = 0; !(qv_seen && tshark_seen); ++k) {
            if (Clock::now() >= deadline) {
                return ::testing::AssertionFailure()
                       << "no " << label << " probe seen by "
                       << (qv_seen ? "tshark" : "the program") << ": " << describe();
            }
            injector.send(probe_frame(proto_, label, ++probes_));
            qv_seen = qv_seen || qv_.wait_out(qv_line, Duration(50));
            tshark_seen = tshark_seen || tshark_.wait_until(
                                             [&](const std::string& out) {
                                                 return out.find(tshark_name) != std::string::npos;
                                             },
                                             Duration(50));
        }
        return ::testing::AssertionSuccess();
    }

    std::string proto_;
    UdpReceiver collector_;
    Process qv_;
    Tshark tshark_;
    int probes_ = 0;
    uint64_t exported_ = 0;
};

class TcpClients : public E2eTest {
  protected:
    void SetUp() override {
        E2eTest::SetUp();
        if (HasFatalFailure()) return;
        for (const char* t : {"dnsperf", "kdig", "tshark"}) {
            ASSERT_FALSE(tool(t).empty())
                << t << " is not installed: scripts/install-deps installs it";
        }
        // Fast open for clients and servers, in this network namespace only.
        std::ofstream("/proc/sys/net/ipv4/tcp_fastopen") << "3\n";
        std::ifstream check("/proc/sys/net/ipv4/tcp_fastopen");
        int mode = 0;
        check >> mode;
        ASSERT_EQ(mode, 3) << "cannot enable TCP fast open in the test namespace";
        char tmpl[] = "/tmp/qv-clients-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        responder_ = std::make_unique<Responder>();
    }
    void TearDown() override {
        responder_.reset();
        if (!dir_.empty()) std::system(("rm -rf " + dir_).c_str());
        E2eTest::TearDown();
    }

    std::string dir_;
    std::unique_ptr<Responder> responder_;
};

// dnsperf for two seconds at 2,000 queries a second from two connections
// (twenty queries in flight at most), or over UDP: every query it sent is
// one the program dumps and exports, and one tshark dissects.
TEST_F(TcpClients, DnsperfQueriesAreCountedAsSent) {
    const std::string data = dir_ + "/queries";
    {
        std::ofstream f(data);
        for (int i = 0; i < 200; ++i)
            f << "q" << i << ".perf.test " << (i % 4 == 0 ? "AAAA" : "A") << "\n";
    }
    for (const std::string proto : {"tcp", "udp"}) {
        SCOPED_TRACE(proto);
        Watchers w(proto, dir_);
        ASSERT_TRUE(w.start());
        const std::string report = run_tool({"dnsperf", "-s", "127.0.0.1", "-m", proto, "-d", data,
                                             "-l", "2", "-Q", "2000", "-c", "2", "-q", "20"});
        std::smatch m;
        ASSERT_TRUE(std::regex_search(report, m, std::regex("Queries sent: +([0-9]+)"))) << report;
        const size_t sent = std::stoul(m[1]);
        EXPECT_GE(sent, 1000u) << report;
        ASSERT_TRUE(w.settle(sent, "perf.test"));
        EXPECT_EQ(w.tshark_dissected("perf.test"), sent) << report;
        EXPECT_EQ(w.program_dumped("perf.test"), sent) << report;
        EXPECT_EQ(w.exported(sent), sent);
        if (proto == "tcp") {
            // What the test is about: queries that shared a segment.
            const auto frames = w.tshark_seen();
            const auto shared =
                std::count_if(frames.begin(), frames.end(),
                              [](const TsharkFrame& f) { return f.names.size() > 1; });
            EXPECT_GT(shared, 0) << "no segment carried more than one query";
        }
    }
}

// kdig over TCP, and with fast open until a query rides in the SYN (the
// first connection only fetches the server's cookie): each counted once.
TEST_F(TcpClients, KdigOverTcpAndFastOpenCountOnce) {
    Watchers w("tcp", dir_);
    ASSERT_TRUE(w.start());
    run_tool({"kdig", "@127.0.0.1", "+tcp", "+retry=0", "plain.kdig.test", "A"});
    std::vector<std::string> names = {"plain.kdig.test"};
    bool in_syn = false;
    for (int k = 1; k <= 3 && !in_syn; ++k) {
        const std::string name = "fastopen" + std::to_string(k) + ".kdig.test";
        run_tool({"kdig", "@127.0.0.1", "+fastopen", "+retry=0", name, "AAAA"});
        names.push_back(name);
        ASSERT_TRUE(w.settle(names.size(), "kdig.test"));
        for (const TsharkFrame& f : w.tshark_seen()) {
            in_syn = in_syn ||
                     (f.syn && std::find(f.names.begin(), f.names.end(), name) != f.names.end());
        }
    }
    EXPECT_TRUE(in_syn) << "no query went out in a SYN: " << w.describe();
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(w.program_dumped(name), 1u);
        EXPECT_EQ(w.tshark_dissected(name), 1u);
    }
    EXPECT_EQ(w.exported(names.size()), names.size());
}

}  // namespace
}  // namespace qv::e2e
