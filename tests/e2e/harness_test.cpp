// The harness's own checks: each tool the e2e tests lean on is shown to see
// what it claims to see.
#include "harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <map>

namespace qv::e2e {
namespace {

using Harness = E2eTest;
using Clock = std::chrono::steady_clock;

// Every count the e2e tests make rests on this: one injected frame, one
// captured frame, for a libpcap capture on lo like the program's.
TEST_F(Harness, InjectedFrameIsCapturedOnceOnLo) {
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* pc = pcap_create("lo", errbuf);
    ASSERT_NE(pc, nullptr) << errbuf;
    pcap_set_snaplen(pc, 1500);
    pcap_set_timeout(pc, 1);
    pcap_set_immediate_mode(pc, 1);
    ASSERT_GE(pcap_activate(pc), 0) << pcap_geterr(pc);
    ASSERT_EQ(pcap_datalink(pc), DLT_EN10MB);
    bpf_program prog{};
    ASSERT_EQ(pcap_compile(pc, &prog, "port 53", 0, 0), 0) << pcap_geterr(pc);
    ASSERT_EQ(pcap_setfilter(pc, &prog), 0) << pcap_geterr(pc);
    pcap_freecode(&prog);
    ASSERT_EQ(pcap_setnonblock(pc, 1, errbuf), 0) << errbuf;

    // The DNS id tells the frames apart; the last one ends the capture.
    constexpr uint16_t kFrames = 20;
    FrameInjector injector;
    for (uint16_t id = 0; id <= kFrames; ++id) {
        qv::test::FrameSpec frame = query_from({10, 9, 8, 7});
        frame.dns_id = id;
        injector.send(qv::test::build_frame(frame));
    }
    std::map<uint16_t, int> seen;
    auto on_frame = [](u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
        // Ethernet 14, IPv4 20, UDP 8: the DNS id follows.
        if (h->caplen >= 44)
            ++(*reinterpret_cast<std::map<uint16_t, int>*>(
                user))[static_cast<uint16_t>(bytes[42] << 8 | bytes[43])];
    };
    const auto deadline = Clock::now() + kWait;
    while (seen.count(kFrames) == 0 && Clock::now() < deadline) {
        pollfd p{pcap_get_selectable_fd(pc), POLLIN, 0};
        poll(&p, 1, 50);
        ASSERT_GE(pcap_dispatch(pc, -1, on_frame, reinterpret_cast<u_char*>(&seen)), 0)
            << pcap_geterr(pc);
    }
    pcap_close(pc);
    std::map<uint16_t, int> once;
    for (uint16_t id = 0; id <= kFrames; ++id) once[id] = 1;
    EXPECT_EQ(seen, once);
}

TEST_F(Harness, UdpReceiverGetsDatagramsOnLoopback) {
    for (const char* address : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(address);
        UdpReceiver receiver(address);
        UdpSender sender(address, address, receiver.port());
        for (const char* text : {"{\"first\":1}", "second"}) {
            sender.send(std::vector<uint8_t>(text, text + strlen(text)));
        }
        EXPECT_EQ(receiver.receive(), "{\"first\":1}");
        EXPECT_EQ(receiver.receive(), "second");
        EXPECT_EQ(receiver.receive(Duration(20)), std::nullopt);
    }
}

// The export check must let through every source text the program may
// write, and stop the ones a fault in its formatting would give.
TEST_F(Harness, ExportCheckKnowsSourceTexts) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    auto datagram = [&](const std::string& key) {
        return std::string("{\"hostname\":\"") + host + "\",\"type\":\"source\",\"data\":{\"" +
               key + "\":3}}" + std::string(1, '\0');
    };
    const struct {
        const char* key;
        bool valid;
    } cases[] = {
        {"198.51.100.7", true},
        {"198.51.100.0/24", true},
        {"10.0.0.0/8", true},
        {"::1", true},
        {"::/64", true},
        {"2001:db8:1:2::/64", true},
        {"2001:db8:1:2::3", true},
        {"2001:db8:aa::/48", true},
        {"198.51.100.7/24", false},  // host bits left
        {"198.51.100.0/32", false},  // full width is written plain
        {"198.51.100.0/7", false},   // shorter than -4 allows
        {"198.51.100.0/024", false},
        {"2001:db8:1:2::3/64", false},
        {"2001:DB8::1", false},  // not inet_ntop's text
        {"2001:db8:0:0::1", false},
        {"::ffff:198.51.100.7", true},  // IPv6 sources whose bytes hold 198.51.100.7
        {"::198.51.100.7", true},
        {"c633:6407::", true},
        {"::ffff:198.51.0.0/112", true},
        {"::ffff:c633:6407", false},  // inet_ntop writes ::ffff:198.51.100.7
        {"::c633:6407", false},       // ... and ::198.51.100.7
        {"::ffff:198.51.100.7/112", false},
        {"::/128", false},
        {"198.51.100.0/", false},
        {"host", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        std::map<std::string, uint64_t> counts;
        EXPECT_EQ(static_cast<bool>(add_export_counts(datagram(c.key), counts)), c.valid);
        EXPECT_EQ(counts[c.key], c.valid ? 3u : 0u);
    }
}

TEST_F(Harness, SyslogListenerReadsGlibcMessages) {
    // glibc's own syslog(), from a child as the program would call it.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        openlog("qv-selftest", LOG_PID, LOG_DAEMON);
        syslog(LOG_WARNING, "source %s: %d queries", "10.1.2.3", 42);
        closelog();
        openlog("qv-nopid", 0, LOG_LOCAL3);
        syslog(LOG_ERR, "a: b");
        _exit(0);
    }
    EXPECT_EQ(wait_exit_of(child), exited(0));

    auto tagged = [](const char* tag) {
        return [tag](const SyslogMessage& m) { return m.tag == tag; };
    };
    auto with_pid = syslog_listener().wait_for(tagged("qv-selftest"));
    ASSERT_TRUE(with_pid.has_value());
    EXPECT_EQ(with_pid->priority, LOG_DAEMON | LOG_WARNING);
    EXPECT_EQ(with_pid->pid, child);
    EXPECT_EQ(with_pid->message, "source 10.1.2.3: 42 queries");

    auto without_pid = syslog_listener().wait_for(tagged("qv-nopid"));
    ASSERT_TRUE(without_pid.has_value()) << "raw of the first: " << with_pid->raw;
    EXPECT_EQ(without_pid->priority, LOG_LOCAL3 | LOG_ERR);
    EXPECT_EQ(without_pid->pid, -1);
    EXPECT_EQ(without_pid->message, "a: b");
}

// A daemon's detached child is ours to reap once its parent has exited.
TEST_F(Harness, SubreaperCollectsTheExitOfAnOrphan) {
    int report[2], release[2];
    ASSERT_EQ(pipe(report), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t parent = fork();
    ASSERT_GE(parent, 0);
    if (parent == 0) {
        // Only the test may hold the release pipe's write end.
        close(release[1]);
        close(report[0]);
        pid_t orphan = fork();
        if (orphan == 0) {
            char c;
            ssize_t ignored = read(release[0], &c, 1);
            (void)ignored;
            _exit(7);
        }
        ssize_t ignored = write(report[1], &orphan, sizeof orphan);
        (void)ignored;
        _exit(0);
    }
    close(report[1]);
    close(release[0]);
    pid_t orphan = -1;
    ASSERT_EQ(read(report[0], &orphan, sizeof orphan), static_cast<ssize_t>(sizeof orphan));
    close(report[0]);
    EXPECT_EQ(wait_exit_of(parent), exited(0));

    EXPECT_EQ(wait_adopted(), orphan);
    EXPECT_EQ(wait_exit_of(orphan, Duration(0)), kStillRunning);
    close(release[1]);
    EXPECT_EQ(wait_exit_of(orphan), exited(7));
}

}  // namespace
}  // namespace qv::e2e
