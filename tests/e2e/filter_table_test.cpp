// The filter's table of frames through the program itself: injected live,
// where the kernel runs the filter on frames whose outer VLAN tag it has
// already taken out, and replayed from capture files of every link type.
// A frame the rule rejects must not reach the program at all, and one it
// accepts must reach it once; the metrics page's frame counts tell which,
// one frame at a time.
#include <fcntl.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "filter_frames.h"
#include "frames.h"
#include "harness.h"

namespace qv::e2e {
namespace {

using FilterTable = E2eTest;
using Clock = std::chrono::steady_clock;
using qv::test::build_frame;
using qv::test::FileLink;
using qv::test::FrameSpec;
using qv::test::TableFrame;
using qv::test::Watched;

// Fewer destinations than the unit tests use: in the watched networks below
// (2001:db8:1:2::53 only in the /48 of -A, not in the device's /64) and out.
const qv::test::Destinations kTo = {
    .src4 = "192.0.2.7",
    .src6 = "2001:db8:1::7",
    .v4 = {"192.0.2.53", "198.51.100.53"},
    .v6 = {"2001:db8:1::53", "2001:db8:1:2::53", "2001:db8:2::53"},
};

const Watched kEverything{.everything = true};
const Watched kNet4{.v4 = {qv::test::net4("192.0.2.0", 24)}};
const Watched kNet6{.v6 = {qv::test::net6("2001:db8:1::", 48)}};
const std::vector<std::string> kNet4Args = {"-A", "192.0.2.0", "-M", "255.255.255.0"};
const std::vector<std::string> kNet6Args = {"-A", "2001:db8:1::", "-M", "48"};

// ---------------------------------------------------------------- the page

// A page's frame counts in three classes that never mix: the table's
// frames are queries of type A, whatever became of them; the markers sent
// after each of them are queries of type 0; the probes that wait for the
// capture to start are responses.
struct FrameCounts {
    uint64_t table = 0;
    uint64_t markers = 0;
    uint64_t probes = 0;
};

std::optional<FrameCounts> read_counts(uint16_t port) {
    const std::optional<std::string> page = metrics_page(port);
    if (!page) return std::nullopt;
    FrameCounts c;
    bool seen = false;
    std::istringstream in(*page);
    const std::string family = "quorvane_frames_total{result=\"";
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with(family)) continue;
        const size_t end = line.find('"', family.size());
        const size_t space = line.rfind(' ');
        if (end == std::string::npos || space == std::string::npos) return std::nullopt;
        const std::string result = line.substr(family.size(), end - family.size());
        const uint64_t n = std::strtoull(line.c_str() + space + 1, nullptr, 10);
        (result == "type0" ? c.markers : result == "response" ? c.probes : c.table) += n;
        seen = true;
    }
    if (!seen) return std::nullopt;
    return c;
}

// ---------------------------------------------------------------- programs

// One program watching through one filter form, and what it should count.
struct Watcher {
    std::string name;
    Watched watched;
    std::string filter_part;  // a piece of its -v filter line, when the test knows it
    uint16_t port = 0;
    std::optional<Process> process;
    FrameCounts expected;
    int frames = 0, passed = 0, wrong_passes = 0, wrong_rejects = 0;
    std::string wrong;  // the first few frames judged wrongly
};

// Where frames go in: an interface, or the capture file a program reads.
struct Feed {
    std::function<void(const std::vector<uint8_t>&)> send;
    std::vector<Watcher*> watchers;
};

uint16_t next_port() {
    static uint16_t port = 9600;
    return port++;
}

Watcher& add_watcher(std::list<Watcher>& watchers, const std::string& name,
                     const Watched& watched) {
    Watcher& r = watchers.emplace_back();
    r.name = name;
    r.watched = watched;
    r.port = next_port();
    return r;
}

std::vector<std::string> program_args(const Watcher& r, std::vector<std::string> args) {
    std::vector<std::string> argv = {QV_BINARY, "-v", "-t",
                                     "1000000", "-P", "127.0.0.1:" + std::to_string(r.port)};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

::testing::AssertionResult wait_counts(Watcher& r,
                                       const std::function<bool(const FrameCounts&)>& done,
                                       FrameCounts& got) {
    const auto deadline = Clock::now() + kWait;
    for (;;) {
        if (std::optional<FrameCounts> c = read_counts(r.port); c && done(*c)) {
            got = *c;
            return ::testing::AssertionSuccess();
        }
        if (!r.process->running() || Clock::now() >= deadline) {
            return ::testing::AssertionFailure()
                   << r.name
                   << ": the page never showed the frames sent: " << r.process->describe();
        }
        std::this_thread::sleep_for(Duration(1));
    }
}

// Probes (responses) and markers (queries of type 0): one to a watched
// address of each family, when the link carries it. Every program must see
// at least one of each.
std::vector<FrameSpec> helpers(const FileLink& link, bool response) {
    std::vector<FrameSpec> out;
    for (uint8_t version : {4, 6}) {
        if (!(version == 4 ? link.ipv4 : link.ipv6)) continue;
        FrameSpec f =
            version == 4 ? query_from(Ipv4{192, 0, 2, 8}) : query_from6(ipv6("2001:db8:1::8"));
        const Ipv4 dst4{192, 0, 2, 53};
        const Ipv6 dst6 = ipv6("2001:db8:1::53");
        memcpy(f.dst, dst4.data(), 4);
        memcpy(f.dst6, dst6.data(), 16);
        f.link_len = link.link_len;
        f.null_big_endian = link.null_big_endian;
        if (response) {
            f.dns_flags_hi = 0x81;
            f.src_port = 53;
            f.dst_port = 40000;
        } else {
            f.qtype = 0;
        }
        out.push_back(f);
    }
    return out;
}

uint64_t accepted(const Watched& w, const std::vector<FrameSpec>& frames) {
    uint64_t n = 0;
    for (const FrameSpec& f : frames) n += qv::test::rule_accepts(w, f) ? 1 : 0;
    return n;
}

// Sends every frame into every feed, each followed by the markers, and
// after each one reads every program's page: once a program has counted
// the markers, it has counted the frame before them, or never will.
void judge(const std::vector<TableFrame>& frames, const std::vector<FrameSpec>& marker_specs,
           std::list<Feed>& feeds) {
    std::vector<std::vector<uint8_t>> markers;
    for (const FrameSpec& m : marker_specs) markers.push_back(build_frame(m));
    for (const TableFrame& f : frames) {
        const std::vector<uint8_t> bytes = build_frame(f.layout);
        for (Feed& feed : feeds) {
            feed.send(bytes);
            for (const auto& m : markers) feed.send(m);
        }
        for (Feed& feed : feeds) {
            for (Watcher* r : feed.watchers) {
                const bool accepts = qv::test::rule_accepts(r->watched, f.layout);
                r->expected.markers += accepted(r->watched, marker_specs);
                FrameCounts got;
                ASSERT_TRUE(wait_counts(
                    *r, [&](const FrameCounts& c) { return c.markers >= r->expected.markers; },
                    got));
                // A page reads its counts one after another while the capture
                // counts on: the one that showed the markers may have read the
                // table's count before the frame. A page read after it cannot.
                ASSERT_TRUE(wait_counts(
                    *r, [](const FrameCounts&) { return true; }, got));
                ASSERT_EQ(got.markers, r->expected.markers)
                    << r->name << ": a marker counted twice";
                const uint64_t counted = got.table - r->expected.table;
                ++r->frames;
                if (counted == 1) ++r->passed;
                if (counted != (accepts ? 1u : 0u)) {
                    ++(accepts ? r->wrong_rejects : r->wrong_passes);
                    if (r->wrong_passes + r->wrong_rejects <= 8) {
                        r->wrong += (counted == 0 ? "rejected: " : "passed: ") + f.name + " (" +
                                    std::to_string(counted) + " counted)\n";
                    }
                }
                // Each frame judged on its own, whatever the one before did.
                r->expected.table = got.table;
            }
        }
    }
}

// Every program has counted its first probe: its filter is installed. Probes
// may keep arriving (repeat: one more every 50 ms until then); they are
// counted apart from everything else.
void wait_started(std::list<Feed>& feeds, const std::vector<FrameSpec>& probe_specs,
                  const std::vector<FrameSpec>& marker_specs, bool repeat) {
    std::vector<std::vector<uint8_t>> probes;
    for (const FrameSpec& p : probe_specs) probes.push_back(build_frame(p));
    for (Feed& feed : feeds) {
        for (Watcher* r : feed.watchers) {
            ASSERT_GT(accepted(r->watched, probe_specs), 0u) << r->name << " would see no probe";
            ASSERT_GT(accepted(r->watched, marker_specs), 0u) << r->name << " would see no marker";
        }
    }
    for (Feed& feed : feeds) {
        for (const auto& p : probes) feed.send(p);
        for (Watcher* r : feed.watchers) {
            const auto deadline = Clock::now() + kWait;
            for (;;) {
                std::optional<FrameCounts> c = read_counts(r->port);
                if (c && c->probes > 0) {
                    r->expected = *c;
                    break;
                }
                ASSERT_TRUE(r->process->running() && Clock::now() < deadline)
                    << r->name << " never counted a probe: " << r->process->describe();
                std::this_thread::sleep_for(Duration(repeat ? 50 : 1));
                if (repeat) {
                    for (const auto& p : probes) feed.send(p);
                }
            }
            if (!r->filter_part.empty()) {
                EXPECT_TRUE(r->process->wait_out(r->filter_part)) << r->process->describe();
            }
        }
    }
}

void expect_judged(const Watcher& r, size_t frames) {
    EXPECT_EQ(static_cast<size_t>(r.frames), frames) << r.name;
    EXPECT_EQ(r.wrong_passes + r.wrong_rejects, 0)
        << r.name << ": " << r.wrong_passes << " wrongly passed and " << r.wrong_rejects
        << " wrongly rejected of " << r.frames << " frames, among them:\n"
        << r.wrong << r.process->describe();
    printf("%-28s %4d frames: %4d passed, %4d rejected, %d wrongly\n", r.name.c_str(), r.frames,
           r.passed, r.frames - r.passed, r.wrong_passes + r.wrong_rejects);
}

// ---------------------------------------------------------------- devices

::testing::AssertionResult run_ip(const std::string& args) {
    Process p("/bin/sh", {"sh", "-c", "exec /sbin/ip " + args}, Stdout::pipe);
    const std::string status = p.wait_exit();
    if (status == exited(0)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "ip " << args << ": " << p.describe();
}

bool write_sysctl(const std::string& path, const char* value) {
    std::ofstream f(path);
    f << value;
    return static_cast<bool>(f.flush());
}

// A veth pair in the test's own namespace: frames injected at one end are
// received at the other, where the kernel takes their outer tag out just
// as lo does. Gone with the object, so that no later test sees a device
// besides lo.
class VethPair {
  public:
    VethPair(const std::string& inject, const std::string& capture)
        : inject_(inject), capture_(capture) {}
    ~VethPair() {
        if (made_) {
            EXPECT_TRUE(run_ip("link del " + inject_));
        }
    }
    ::testing::AssertionResult make(const std::vector<std::string>& capture_addresses) {
        auto ok = run_ip("link add " + inject_ + " type veth peer name " + capture_);
        if (!ok) return ok;
        made_ = true;
        // Nothing of its own from the injecting end: no IPv6 at all.
        if (!write_sysctl("/proc/sys/net/ipv6/conf/" + inject_ + "/disable_ipv6", "1"))
            return ::testing::AssertionFailure() << "cannot disable IPv6 on " << inject_;
        for (const std::string& a : capture_addresses) {
            ok = run_ip("addr add " + a + " dev " + capture_ + " nodad");
            if (!ok) return ok;
        }
        for (const std::string& dev : {inject_, capture_}) {
            ok = run_ip("link set " + dev + " up");
            if (!ok) return ok;
        }
        return ::testing::AssertionSuccess();
    }

  private:
    std::string inject_, capture_;
    bool made_ = false;
};

// Through every filter form a live capture builds: -Q, -A with an IPv4 and
// an IPv6 network on lo, and the device's own networks on a device with
// an IPv4 network only (and its link-local IPv6 address) and on one with an
// IPv6 network too. Every frame is Ethernet, untagged or tagged.
TEST_F(FilterTable, LiveCaptureCountsExactlyTheFramesTheRuleAccepts) {
    VethPair v4("qvf4i", "qvf4c"), v6("qvf6i", "qvf6c");
    ASSERT_TRUE(v4.make({"192.0.2.1/24"}));
    ASSERT_TRUE(v6.make({"192.0.2.1/24", "2001:db8:1::1/64"}));

    std::list<Watcher> watchers;
    std::list<Feed> feeds;
    std::list<FrameInjector> injectors;
    auto feed_on = [&](const char* dev) -> Feed& {
        FrameInjector& inj = injectors.emplace_back(dev);
        return feeds.emplace_back(Feed{[&inj](const std::vector<uint8_t>& f) { inj.send(f); }, {}});
    };
    auto start = [&](Feed& feed, const char* name, const Watched& w, const char* dev,
                     std::vector<std::string> args, const char* filter_part = "") {
        Watcher& r = add_watcher(watchers, name, w);
        r.filter_part = filter_part;
        args.insert(args.begin(), {"-b", "-i", dev});
        r.process.emplace(QV_BINARY, program_args(r, args));
        feed.watchers.push_back(&r);
    };
    Feed& lo = feed_on("lo");
    start(lo, "-Q on lo", kEverything, "lo", {"-Q"});
    start(lo, "-A IPv4 on lo", kNet4, "lo", kNet4Args);
    start(lo, "-A IPv6 on lo", kNet6, "lo", kNet6Args);
    // The device forms watch the networks of their devices, and no link-local one.
    start(feed_on("qvf4i"), "device, IPv4 only", kNet4, "qvf4c", {},
          "(port 53 and dst net 192.0.2.0 mask 255.255.255.0) or");
    const Watched both{.v4 = kNet4.v4, .v6 = {qv::test::net6("2001:db8:1::", 64)}};
    start(feed_on("qvf6i"), "device with IPv6", both, "qvf6c", {},
          " and (dst net 192.0.2.0 mask 255.255.255.0 or dst net 2001:db8:1::/64)) or");

    const FileLink& ethernet = qv::test::file_links().front();
    ASSERT_EQ(ethernet.dlt, DLT_EN10MB);
    const std::vector<FrameSpec> markers = helpers(ethernet, false);
    wait_started(feeds, helpers(ethernet, true), markers, true);
    if (HasFatalFailure()) return;

    const std::vector<TableFrame> frames = qv::test::table_frames(ethernet, kTo);
    judge(frames, markers, feeds);
    for (const Watcher& r : watchers) expect_judged(r, frames.size());
}

// ---------------------------------------------------------------- files

// A capture file written into a FIFO record by record, as libpcap writes
// it, for a program replaying it (-r) to read while the test watches.
class FifoCapture {
  public:
    FifoCapture(const std::string& path, int dlt) : path_(path), dlt_(dlt) {
        if (mkfifo(path.c_str(), 0600) != 0) {
            ADD_FAILURE() << "mkfifo " << path << ": " << strerror(errno);
        }
    }
    ~FifoCapture() {
        finish();
        if (dumper_ != nullptr) {
            pcap_dump_close(dumper_);  // and the memory stream under it
        } else if (memory_ != nullptr) {
            fclose(memory_);
        }
        if (dead_ != nullptr) pcap_close(dead_);
        free(buffer_);
        unlink(path_.c_str());
    }

    // Opens the FIFO once the program has opened it to read, and writes the
    // file header.
    ::testing::AssertionResult open(Process& reader) {
        const auto deadline = Clock::now() + kWait;
        while ((fd_ = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
            if (errno != ENXIO || !reader.running() || Clock::now() >= deadline)
                return ::testing::AssertionFailure()
                       << "open " << path_ << ": " << strerror(errno) << "; " << reader.describe();
            std::this_thread::sleep_for(Duration(5));
        }
        fcntl(fd_, F_SETFL, 0);
        memory_ = open_memstream(&buffer_, &size_);
        dead_ = pcap_open_dead(dlt_, 65535);
        dumper_ = pcap_dump_fopen(dead_, memory_);
        if (dumper_ == nullptr) return ::testing::AssertionFailure() << pcap_geterr(dead_);
        pass_on();
        return ::testing::AssertionSuccess();
    }

    void add(const std::vector<uint8_t>& frame) {
        pcap_pkthdr h{};
        h.ts.tv_sec = 1796126400;
        h.caplen = h.len = static_cast<bpf_u_int32>(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper_), &h, frame.data());
        pass_on();
    }

    // The end of the file.
    void finish() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

  private:
    // What libpcap has written since the last time, into the FIFO. A reader
    // that has gone makes the write fail (EPIPE), not end the test (SIGPIPE).
    void pass_on() {
        pcap_dump_flush(dumper_);
        sigset_t pipe, before;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &before);
        while (sent_ < size_ && fd_ >= 0) {
            const ssize_t n = write(fd_, buffer_ + sent_, size_ - sent_);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ADD_FAILURE() << "write " << path_ << ": " << strerror(errno);
                timespec none{};
                sigtimedwait(&pipe, nullptr, &none);
                finish();
                break;
            }
            sent_ += static_cast<size_t>(n);
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }

    std::string path_;
    int dlt_;
    int fd_ = -1;
    FILE* memory_ = nullptr;
    char* buffer_ = nullptr;
    size_t size_ = 0;
    size_t sent_ = 0;
    pcap_t* dead_ = nullptr;
    pcap_dumper_t* dumper_ = nullptr;
};

// Through the filter forms of a replay (none but the frames' own, -A with an
// IPv4 network, -A with an IPv6 one), from a file of each link type the
// program reads; tagged frames on Ethernet only. A form that can accept
// nothing on a link (IPv6 networks in a file of IPv4 only) has no marker to
// wait for there; the unit tests hold it.
TEST_F(FilterTable, ReplayCountsExactlyTheFramesTheRuleAccepts) {
    char dir_template[] = "/tmp/qv-filter-XXXXXX";
    const char* dir = mkdtemp(dir_template);
    ASSERT_NE(dir, nullptr) << strerror(errno);
    // Empty by then: each FIFO goes with its writer.
    const std::unique_ptr<const char, int (*)(const char*)> remove_dir(dir, rmdir);
    for (const FileLink& link : qv::test::file_links()) {
        SCOPED_TRACE(link.name);
        struct Form {
            const char* name;
            Watched watched;
            std::vector<std::string> args;
        };
        const Form forms[] = {{"no -A", kEverything, {}},
                              {"-A IPv4", kNet4, kNet4Args},
                              {"-A IPv6", kNet6, kNet6Args}};
        const std::vector<FrameSpec> markers = helpers(link, false);
        std::list<Watcher> watchers;
        std::list<FifoCapture> files;
        std::list<Feed> feeds;
        for (const Form& form : forms) {
            if (accepted(form.watched, markers) == 0) continue;
            Watcher& r =
                add_watcher(watchers, std::string(form.name) + " from " + link.name, form.watched);
            const std::string path = std::string(dir) + "/" + std::to_string(r.port) + ".pcap";
            FifoCapture& file = files.emplace_back(path, link.dlt);
            std::vector<std::string> args = {"-r", path};
            args.insert(args.end(), form.args.begin(), form.args.end());
            r.process.emplace(QV_BINARY, program_args(r, args));
            ASSERT_TRUE(file.open(*r.process));
            feeds.push_back(Feed{[&file](const std::vector<uint8_t>& f) { file.add(f); }, {&r}});
        }
        wait_started(feeds, helpers(link, true), markers, false);
        if (HasFatalFailure()) break;
        const std::vector<TableFrame> frames = qv::test::table_frames(link, kTo);
        judge(frames, markers, feeds);
        if (HasFatalFailure()) break;
        for (FifoCapture& file : files) file.finish();
        for (Watcher& r : watchers) {
            expect_judged(r, frames.size());
            EXPECT_EQ(r.process->wait_exit(), exited(0)) << r.process->describe();
        }
    }
}

}  // namespace
}  // namespace qv::e2e
