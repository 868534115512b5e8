// Start-up as a user meets it: the usage screen, the refusals, the capture
// filter chosen, and the -D dump of what the capture decodes.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
// After netinet/in.h, which it leaves the shared definitions to.
#include <linux/ipv6.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "frames.h"
#include "harness.h"
#include "usage_text.h"

namespace qv::e2e {
namespace {

using Startup = E2eTest;
using qv::test::FrameSpec;

// Not the binary's path: the screen must echo argv[0] as it was passed.
constexpr const char* kArgv0 = "./qv-under-test";

using qv::test::usage_screen;

std::string couldnt_start(const std::string& why) {
    return std::string(kArgv0) + " couldn't start\n" + why;
}

TEST_F(Startup, RefusesWithStatusOneAndExactMessages) {
    const std::string usage = usage_screen(kArgv0);
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-h"}, usage},
        {{"-b", "extra"}, usage},
        {{}, couldnt_start("You must specify either -d (daemon) or -b (peekline)\n")},
        {{"-b", "-Q", "-A", "192.0.2.1"},
         couldnt_start("You can't specify both -A (address filter) and -Q (no filter)\n")},
        {{"-A", "300.1.1.1"}, "Invalid filter address \"300.1.1.1\"\n" + usage},
        {{"-b", "-z", "not-an-address"}, "Invalid collector address \"not-an-address\"\n"},
        {{"-b", "-i", "no-such-dev0"}, "unable to open device no-such-dev0\n"},
        // The filter is named only once the device is open.
        {{"-b", "-v", "-i", "no-such-dev0"}, "unable to open device no-such-dev0\n"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += " " + a;
        SCOPED_TRACE("arguments:" + shown);
        Process p = start_program_as(kArgv0, c.args, Stdout::pipe);
        EXPECT_EQ(p.wait_exit(), exited(1));
        EXPECT_EQ(p.err(), c.err);
        EXPECT_EQ(p.out(), "");
    }
}

// Frames that may hold a query: port 53, or IPv6 with an extension header
// first (the port then lies beyond where libpcap looks).
const std::string kQueries =
    "(port 53 or ip6 proto 0 or ip6 proto 43 or ip6 proto 44 or ip6 proto 51 or ip6 proto 60)";

// A filter for lo (Ethernet): the group for untagged frames, then the same
// behind one VLAN tag and behind two.
std::string on_ethernet(const std::string& group) {
    return group + " or (vlan and (" + group + " or (vlan and " + group + ")))";
}

std::string filter_line(const std::string& group) {
    return "using filter \"" + on_ethernet(group) + "\" on dev lo";
}

// The IPv6 addresses of lo, in the order the system lists them.
std::vector<std::string> lo_ipv6_addresses() {
    std::vector<std::string> out;
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0) return out;
    for (ifaddrs* a = all; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET6) continue;
        if (strcmp(a->ifa_name, "lo") != 0) continue;
        char text[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a->ifa_addr)->sin6_addr, text,
                  sizeof text);
        out.push_back(text);
    }
    freeifaddrs(all);
    return out;
}

// Adds or removes an IPv6 address of lo, as "ip -6 addr add/del" would.
::testing::AssertionResult change_lo_address(unsigned long request, const std::string& address,
                                             uint32_t prefix_len) {
    in6_ifreq req{};
    inet_pton(AF_INET6, address.c_str(), &req.ifr6_addr);
    req.ifr6_prefixlen = prefix_len;
    req.ifr6_ifindex = static_cast<int>(if_nametoindex("lo"));
    int s = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return ::testing::AssertionFailure() << "socket AF_INET6: " << strerror(errno);
    const int rc = ioctl(s, request, &req);
    const int saved = errno;
    close(s);
    if (rc != 0)
        return ::testing::AssertionFailure()
               << (request == SIOCSIFADDR ? "adding " : "removing ") << address << "/" << prefix_len
               << " on lo: " << strerror(saved);
    return ::testing::AssertionSuccess();
}

// An address added to lo (or taken from it) for as long as this lives.
class LoAddressChange {
  public:
    LoAddressChange(bool add, std::string address, uint32_t prefix_len)
        : add_(add),
          address_(std::move(address)),
          len_(prefix_len),
          done_(change_lo_address(add ? SIOCSIFADDR : SIOCDIFADDR, address_, len_)) {}
    ~LoAddressChange() {
        if (done_) {
            EXPECT_TRUE(change_lo_address(add_ ? SIOCDIFADDR : SIOCSIFADDR, address_, len_));
        }
    }
    LoAddressChange(const LoAddressChange&) = delete;
    LoAddressChange& operator=(const LoAddressChange&) = delete;

    const ::testing::AssertionResult& done() const { return done_; }

  private:
    bool add_;
    std::string address_;
    uint32_t len_;
    ::testing::AssertionResult done_;
};

TEST_F(Startup, VerboseNamesTheCaptureFilter) {
    ASSERT_EQ(lo_ipv6_addresses(), std::vector<std::string>{"::1"})
        << "lo of a new network namespace has ::1 and no other IPv6 address";
    const struct {
        std::vector<std::string> args;
        std::string first_line;
    } cases[] = {
        {{"-b", "-v", "-Q", "-i", "lo"}, filter_line(kQueries)},
        {{"-b", "-v", "-A", "192.0.2.0", "-M", "255.255.255.0", "-i", "lo"},
         filter_line("(port 53 and dst net 192.0.2.0 mask 255.255.255.0)")},
        {{"-b", "-v", "-A", "192.0.2.7", "-i", "lo"},
         filter_line("(port 53 and dst net 192.0.2.7 mask 255.255.255.255)")},
        // An IPv6 address: a prefix length, the whole address without -M.
        {{"-b", "-v", "-A", "2001:db8::53", "-i", "lo"},
         filter_line("(" + kQueries + " and dst net 2001:db8::53/128)")},
        {{"-b", "-v", "-A", "2001:db8:5::", "-M", "48", "-i", "lo"},
         filter_line("(" + kQueries + " and dst net 2001:db8:5::/48)")},
        // Without -Q or -A: the device's own networks (lo's, in the test
        // namespace), -M standing in for the IPv4 mask.
        {{"-b", "-v", "-i", "lo"},
         filter_line("(" + kQueries +
                     " and (dst net 127.0.0.0 mask 255.0.0.0 or dst net ::1/128))")},
        {{"-b", "-v", "-M", "255.255.0.0", "-i", "lo"},
         filter_line("(" + kQueries +
                     " and (dst net 127.0.0.0 mask 255.255.0.0 or dst net ::1/128))")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first_line);
        Process p = start_program(c.args);
        ASSERT_TRUE(p.wait_out("\n")) << p.describe();
        EXPECT_EQ(lines_of(p.out()).front(), c.first_line) << p.describe();
    }
}

// The device's IPv6 networks come from its addresses: none but link-local
// ones leave the IPv4-only filter; each other one adds its prefix.
TEST_F(Startup, VerboseNamesTheDeviceNetworks) {
    const std::string v4_only = filter_line("(port 53 and dst net 127.0.0.0 mask 255.0.0.0)");
    struct Address {
        std::string address;
        uint32_t len;
    };
    const struct {
        const char* name;
        bool keep_loopback;  // ::1/128
        std::vector<Address> added;
        // Each IPv6 address of lo and its network in the filter.
        std::map<std::string, std::string> networks;
    } cases[] = {
        {"no IPv6 address", false, {}, {}},
        {"link-local only", false, {{"fe80::1", 64}}, {}},
        {"a global /64 beside ::1",
         true,
         {{"2001:db8:5::7", 64}},
         {{"::1", "::1/128"}, {"2001:db8:5::7", "2001:db8:5::/64"}}},
        {"a /56 with host bits past its prefix",
         false,
         {{"2001:db8:6:ab12::1", 56}},
         {{"2001:db8:6:ab12::1", "2001:db8:6:ab00::/56"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::list<LoAddressChange> changes;
        if (!c.keep_loopback) changes.emplace_back(false, "::1", 128);
        for (const Address& a : c.added) changes.emplace_back(true, a.address, a.len);
        for (const LoAddressChange& change : changes) ASSERT_TRUE(change.done());

        std::string expected = v4_only;
        if (!c.networks.empty()) {
            std::string nets = "dst net 127.0.0.0 mask 255.0.0.0";
            size_t listed = 0;
            for (const std::string& addr : lo_ipv6_addresses()) {
                auto it = c.networks.find(addr);
                if (it == c.networks.end()) continue;
                nets += " or dst net " + it->second;
                ++listed;
            }
            ASSERT_EQ(listed, c.networks.size()) << "an address of the case is not on lo";
            expected = filter_line("(" + kQueries + " and (" + nets + "))");
        }
        Process p = start_program({"-b", "-v", "-i", "lo"});
        EXPECT_TRUE(p.wait_out("\n")) << p.describe();
        EXPECT_EQ(lines_of(p.out()).front(), expected) << p.describe();
        p.kill();
        changes.clear();
        ASSERT_EQ(lo_ipv6_addresses(), std::vector<std::string>{"::1"});
    }
}

TEST_F(Startup, DumpShowsEachDecodedQueryOnce) {
    // A query frame with a few fields bent. Every case has its own source,
    // so a stray line names its case.
    struct Case {
        Ipv4 src{};
        uint8_t protocol = 17;
        uint8_t tcp_flags = 0x18;  // PSH|ACK
        uint8_t dns_flags_hi = 0x01;
        uint16_t qdcount = 1;
        uint16_t frag = 0;
        std::vector<std::string> labels = {"abc", "de"};
        uint16_t qtype = 1;
        std::optional<std::string> line{};  // none: the frame must leave no line
    };
    const Case cases[] = {
        {.src = {10, 1, 2, 3},
         .line = "src: 10.1.2.3         proto: udp  qtype: 0x01  domain: abc.de."},
        {.src = {10, 1, 2, 4},
         .protocol = 6,
         .line = "src: 10.1.2.4         proto: tcp  qtype: 0x01  domain: abc.de."},
        {.src = {10, 1, 2, 5},
         .qtype = 28,  // AAAA
         .line = "src: 10.1.2.5         proto: udp  qtype: 0x1c  domain: abc.de."},
        {.src = {10, 1, 2, 6},
         .qtype = 256,  // the full 16 bits show
         .line = "src: 10.1.2.6         proto: udp  qtype: 0x100  domain: abc.de."},
        {.src = {10, 1, 2, 7},
         .qtype = 257,  // CAA
         .line = "src: 10.1.2.7         proto: udp  qtype: 0x101  domain: abc.de."},
        {.src = {10, 1, 3, 1}, .dns_flags_hi = 0x81},  // QR: a response
        {.src = {10, 1, 3, 2}, .qdcount = 0},
        {.src = {10, 1, 3, 3}, .frag = 0x0010},  // a later fragment
        // Any byte in a label, written as dig writes it.
        {.src = {10, 1, 3, 4},
         .labels = {"a*c", "d e"},
         .line = "src: 10.1.3.4         proto: udp  qtype: 0x01  domain: a*c.d\\032e."},
        // PSH no longer matters: a whole query at the start of a stream counts.
        {.src = {10, 1, 3, 5},
         .protocol = 6,
         .tcp_flags = 0x10,
         .line = "src: 10.1.3.5         proto: tcp  qtype: 0x01  domain: abc.de."},
        {.src = {10, 1, 3, 6}, .labels = {std::string(64, 'x'), "de"}},  // a label over 63 bytes
    };
    auto frame_of = [](const Case& c) {
        FrameSpec f = query_from(c.src, c.labels);
        f.protocol = c.protocol;
        f.tcp_flags = c.tcp_flags;
        f.dns_flags_hi = c.dns_flags_hi;
        f.qdcount = c.qdcount;
        f.frag = c.frag;
        f.qtype = c.qtype;
        return qv::test::build_frame(f);
    };
    const Ipv4 probe{10, 255, 0, 1};
    const Ipv4 marker{10, 254, 0, 1};

    Process p = start_program({"-b", "-D", "-Q", "-i", "lo"});
    ASSERT_TRUE(wait_capturing(p, probe));
    FrameInjector injector;
    for (const Case& c : cases) injector.send(frame_of(c));
    injector.send(qv::test::build_frame(query_from(marker, {"marker", "end"})));
    const std::string marker_line = dump_line(marker, "udp", 1, "marker.end.");
    ASSERT_TRUE(p.wait_out(marker_line + "\n")) << p.describe();

    std::vector<std::string> expected{marker_line};
    for (const Case& c : cases) {
        if (c.line) expected.push_back(*c.line);
    }
    std::vector<std::string> seen = lines_of(p.out());
    std::erase(seen, probe_line(probe));
    std::sort(expected.begin(), expected.end());
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, expected) << p.describe();
}

}  // namespace
}  // namespace qv::e2e
