// IPv6 and VLAN-tagged queries in a live capture on lo: real queries a
// resolver on ::1 sends, and injected frames behind one and two tags, each
// through the capture filter the program compiles for them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "frames.h"
#include "harness.h"

namespace qv::e2e {
namespace {

using Ipv6Capture = E2eTest;
using VlanCapture = E2eTest;
using qv::test::ExtHeader;
using qv::test::FrameSpec;
using Clock = std::chrono::steady_clock;
using Counts = std::map<std::string, uint64_t>;

void set_dst(FrameSpec& f, const Ipv4& dst) {
    memcpy(f.dst, dst.data(), 4);
}
void set_dst(FrameSpec& f, const Ipv6& dst) {
    memcpy(f.dst6, dst.data(), 16);
}

// A TCP connection from [::1] to [::1]:53 that carries one query, framed as
// DNS over TCP is: its length, then the message, in one segment.
::testing::AssertionResult query_over_tcp6(const std::vector<uint8_t>& message) {
    sockaddr_in6 server{};
    server.sin6_family = AF_INET6;
    server.sin6_addr = in6addr_loopback;
    server.sin6_port = htons(53);
    int listener = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int client = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto fail = [&](const char* what) {
        const int saved = errno;
        close(listener);
        close(client);
        return ::testing::AssertionFailure() << what << ": " << strerror(saved);
    };
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listener, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0)
        return fail("bind [::1]:53");
    if (listen(listener, 1) != 0) return fail("listen");
    // The kernel completes the handshake on its own; nobody needs to accept.
    if (connect(client, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0)
        return fail("connect [::1]:53");
    std::vector<uint8_t> framed{static_cast<uint8_t>(message.size() >> 8),
                                static_cast<uint8_t>(message.size())};
    framed.insert(framed.end(), message.begin(), message.end());
    if (send(client, framed.data(), framed.size(), 0) != static_cast<ssize_t>(framed.size()))
        return fail("send");
    close(client);
    close(listener);
    return ::testing::AssertionSuccess();
}

// Without -Q or -A the program watches lo's own networks, 127.0.0.0/8 and
// ::1/128: queries to ::1 show up with their IPv6 source, queries to
// addresses elsewhere do not.
TEST_F(Ipv6Capture, QueriesToLoopbackShowTheirIpv6Source) {
    const Ipv4 localhost{127, 0, 0, 1};
    const Ipv6 loopback6 = ipv6("::1");
    const Ipv4 probe{10, 255, 90, 1};
    FrameSpec probe_frame = query_from(probe, {"ready", "probe"});
    set_dst(probe_frame, localhost);

    Process p = start_program({"-b", "-D", "-i", "lo"});
    ASSERT_TRUE(wait_capturing(p, probe_frame, probe_line(probe)));

    // Real queries from a resolver on this host, over UDP and TCP.
    UdpSender udp6("::1", "::1", 53);
    udp6.send(dns_query({"six", "example"}, 28));
    ASSERT_TRUE(query_over_tcp6(dns_query({"tcp", "example"}, 1)));
    UdpSender udp4("127.0.0.1", "127.0.0.1", 53);
    udp4.send(dns_query({"four", "example"}, 1));

    // Injected ones: from a global IPv6 source, to ::1 and to elsewhere.
    FrameInjector injector;
    FrameSpec in_net = query_from6(ipv6("2001:db8:1:2::3"), {"in", "net"});
    set_dst(in_net, loopback6);
    injector.send(qv::test::build_frame(in_net));
    FrameSpec elsewhere6 = query_from6(ipv6("2001:db8:1:2::4"), {"elsewhere", "six"});
    injector.send(qv::test::build_frame(elsewhere6));  // to 2001:db8::53
    FrameSpec elsewhere4 = query_from(Ipv4{10, 90, 0, 9}, {"elsewhere", "four"});
    injector.send(qv::test::build_frame(elsewhere4));  // to 192.0.2.53

    const std::vector<std::string> wanted = {
        "src: ::1              proto: udp  qtype: 0x1c  domain: six.example.",
        "src: ::1              proto: tcp  qtype: 0x01  domain: tcp.example.",
        "src: 127.0.0.1        proto: udp  qtype: 0x01  domain: four.example.",
        "src: 2001:db8:1:2::3  proto: udp  qtype: 0x01  domain: in.net.",
    };
    ASSERT_TRUE(p.wait_until([&](const std::string& out, const std::string&) {
        return std::all_of(wanted.begin(), wanted.end(), [&](const std::string& line) {
            return out.find(line + "\n") != std::string::npos;
        });
    })) << p.describe();
    // Sent after the frames that must leave no line, from the same CPU: once
    // its line is out, theirs would be too.
    const Ipv4 marker{10, 254, 90, 1};
    FrameSpec marker_frame = query_from(marker, {"marker", "end"});
    set_dst(marker_frame, localhost);
    injector.send(qv::test::build_frame(marker_frame));
    const std::string marker_line = dump_line(marker, "udp", 1, "marker.end.");
    ASSERT_TRUE(p.wait_out(marker_line + "\n")) << p.describe();

    std::vector<std::string> expected = wanted;
    expected.push_back(marker_line);
    std::vector<std::string> seen = lines_of(p.out());
    std::erase(seen, probe_line(probe));
    std::sort(expected.begin(), expected.end());
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, expected) << p.describe();
}

// ---------------------------------------------------------------- VLAN tags

std::string source_of(const FrameSpec& f) {
    if (f.ip_version == 6) {
        Ipv6 a;
        memcpy(a.data(), f.src6, 16);
        return ip_text(a);
    }
    return ip_text(Ipv4{f.src[0], f.src[1], f.src[2], f.src[3]});
}

// A helper query (probe or marker) to dst, from a source of its own: role
// and n tell the helpers apart.
template <class Address>
FrameSpec helper_query(const std::string& what, uint8_t role, uint8_t n, const Address& dst) {
    FrameSpec f;
    if constexpr (std::is_same_v<Address, Ipv6>) {
        f = query_from6(ipv6("2001:db8:ffff:" + std::to_string(role) + "::" + std::to_string(n)),
                        {what, "end"});
    } else {
        f = query_from(Ipv4{10, 255, static_cast<uint8_t>(100 + role), n}, {what, "end"});
    }
    set_dst(f, dst);
    return f;
}

// Adds up export datagrams until source has been counted or the deadline
// passes.
::testing::AssertionResult receive_until_counted(UdpReceiver& rx, Counts& got,
                                                 const std::string& source) {
    const auto deadline = Clock::now() + Duration(20000);
    while (got[source] == 0) {
        if (Clock::now() >= deadline)
            return ::testing::AssertionFailure() << source << " was never exported";
        if (std::optional<std::string> d = rx.receive(Duration(500))) {
            auto ok = add_export_counts(*d, got);
            if (!ok) return ok;
        }
    }
    return ::testing::AssertionSuccess();
}

// On lo the kernel takes the outer tag of a frame into its metadata before
// the capture filter runs, and libpcap puts it back for the program. Every
// kind of frame below must be counted exactly as often as it was sent when
// its destination is one the filter watches, and never otherwise, through
// each filter the program builds.
TEST_F(VlanCapture, TaggedQueriesAreCountedLiveThroughEveryFilter) {
    const std::vector<std::vector<uint16_t>> tag_stacks = {
        {}, {0x8100}, {0x88a8}, {0x9100}, {0x88a8, 0x8100}, {0x8100, 0x8100},
    };
    // IPv6 either straight to UDP, or behind extension headers that hide the
    // port from libpcap's "port 53".
    const std::vector<std::vector<ExtHeader>> ipv6_layouts = {
        {},
        {{.kind = 0}, {.kind = 60}},
        {{.kind = 60}},
    };
    const Ipv4 doc4{192, 0, 2, 53}, other4{192, 0, 2, 99}, localhost{127, 0, 0, 1};
    const Ipv6 doc6 = ipv6("2001:db8::53"), other6 = ipv6("2001:db8::99"), loop6 = ipv6("::1");
    const std::vector<Ipv4> dsts4 = {doc4, other4, localhost};
    const std::vector<Ipv6> dsts6 = {doc6, other6, loop6};

    struct Run {
        const char* name = "";
        std::vector<std::string> filter_args;
        std::set<Ipv4> watched4;
        std::set<Ipv6> watched6;
        // Probe and markers go to a watched address of either family.
        FrameSpec probe, first_marker, second_marker;
        std::optional<UdpReceiver> receiver{};
        std::optional<Process> process{};
        Counts expected{};
        Counts got{};
    };
    std::list<Run> runs;
    auto add_run = [&](const char* name, std::vector<std::string> args, std::set<Ipv4> w4,
                       std::set<Ipv6> w6, uint8_t n, const auto& helper_dst) {
        // In place: a Run holds a process, which does not move.
        Run& r = runs.emplace_back();
        r.name = name;
        r.filter_args = std::move(args);
        r.watched4 = std::move(w4);
        r.watched6 = std::move(w6);
        r.probe = helper_query("probe", 1, n, helper_dst);
        r.first_marker = helper_query("marker", 2, n, helper_dst);
        r.second_marker = helper_query("next", 3, n, helper_dst);
    };
    add_run("-Q", {"-Q"}, {dsts4.begin(), dsts4.end()}, {dsts6.begin(), dsts6.end()}, 1, doc4);
    add_run("-A IPv4", {"-A", "192.0.2.53"}, {doc4}, {}, 2, doc4);
    add_run("-A IPv6", {"-A", "2001:db8::53"}, {}, {doc6}, 3, doc6);
    add_run("device networks", {}, {localhost}, {loop6}, 4, localhost);
    // Probes and markers of every run: some runs count the others'.
    std::set<std::string> helpers;
    for (const Run& r : runs) {
        for (const FrameSpec* f : {&r.probe, &r.first_marker, &r.second_marker})
            helpers.insert(source_of(*f));
    }

    // All runs watch the same frames at once.
    for (Run& r : runs) {
        r.receiver.emplace();
        std::vector<std::string> argv{
            QV_BINARY, "-b", "-D", "-i", "lo",        "-6", "128",
            "-w",      "2",  "-s", "-z", "127.0.0.1", "-p", std::to_string(r.receiver->port())};
        argv.insert(argv.end(), r.filter_args.begin(), r.filter_args.end());
        r.process.emplace(QV_BINARY, argv);
    }
    for (Run& r : runs) {
        SCOPED_TRACE(r.name);
        ASSERT_TRUE(wait_capturing(*r.process, r.probe,
                                   dump_line_text(source_of(r.probe), "udp", 1, "probe.end.")));
    }

    // Each kind of frame has its own source and is sent 1 to 4 times, so a
    // frame counted twice or in place of another shows.
    FrameInjector injector;
    int kinds = 0;
    auto send_kind = [&](const FrameSpec& f, bool watched_by(const Run&, const FrameSpec&)) {
        const int n = 1 + kinds++ % 4;
        const auto frame = qv::test::build_frame(f);
        for (int i = 0; i < n; ++i) injector.send(frame);
        for (Run& r : runs) {
            if (watched_by(r, f)) r.expected[source_of(f)] = static_cast<uint64_t>(n);
        }
    };
    auto watches4 = [](const Run& r, const FrameSpec& f) {
        return r.watched4.count(Ipv4{f.dst[0], f.dst[1], f.dst[2], f.dst[3]}) != 0;
    };
    auto watches6 = [](const Run& r, const FrameSpec& f) {
        Ipv6 dst;
        memcpy(dst.data(), f.dst6, 16);
        return r.watched6.count(dst) != 0;
    };
    for (size_t t = 0; t < tag_stacks.size(); ++t) {
        for (size_t d = 0; d < dsts4.size(); ++d) {
            FrameSpec f =
                query_from(Ipv4{10, 92, static_cast<uint8_t>(t), static_cast<uint8_t>(d + 1)});
            f.vlan_tpids = tag_stacks[t];
            set_dst(f, dsts4[d]);
            send_kind(f, watches4);
        }
        for (size_t l = 0; l < ipv6_layouts.size(); ++l) {
            for (size_t d = 0; d < dsts6.size(); ++d) {
                FrameSpec f = query_from6(ipv6("2001:db8:92:" + std::to_string(t) + ":" +
                                               std::to_string(l) + "::" + std::to_string(d + 1)));
                f.vlan_tpids = tag_stacks[t];
                f.ext_headers = ipv6_layouts[l];
                set_dst(f, dsts6[d]);
                send_kind(f, watches6);
            }
        }
    }
    // Sent last, from the same CPU: a run that counts its first marker has
    // counted every frame before it. A second marker, sent once the first is
    // exported, is exported by a later sweep: the first one's sweep, and all
    // it carried, is in by then.
    for (Run& r : runs) injector.send(qv::test::build_frame(r.first_marker));
    for (Run& r : runs) {
        SCOPED_TRACE(r.name);
        ASSERT_TRUE(receive_until_counted(*r.receiver, r.got, source_of(r.first_marker)))
            << r.process->describe();
        injector.send(qv::test::build_frame(r.second_marker));
        ASSERT_TRUE(receive_until_counted(*r.receiver, r.got, source_of(r.second_marker)))
            << r.process->describe();
        for (const std::string& h : helpers) r.got.erase(h);
        EXPECT_EQ(count_differences(r.expected, r.got), "") << r.process->describe();
    }
}

}  // namespace
}  // namespace qv::e2e
