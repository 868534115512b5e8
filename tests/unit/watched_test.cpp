// The watched network of each way of choosing it: the addresses at the
// edges of each of its networks, in and out, and the other family out.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <array>
#include <string>
#include <vector>

#include "capture/watched.h"
#include "control/filter.h"

namespace qv {
namespace {

// An IPv6 source for a text with a colon (::ffff:a.b.c.d too), else an IPv4 one.
SourceAddr addr(const std::string& text) {
    if (text.find(':') != std::string::npos) {
        std::array<uint8_t, 16> b{};
        EXPECT_EQ(inet_pton(AF_INET6, text.c_str(), b.data()), 1) << text;
        return SourceAddr::from_v6(b.data());
    }
    uint8_t b[4] = {};
    EXPECT_EQ(inet_pton(AF_INET, text.c_str(), b), 1) << text;
    return SourceAddr::from_v4(b);
}

DeviceNetworks device(const char* net, const char* mask, std::vector<std::string> v6 = {}) {
    return {inet_addr(net), inet_addr(mask), std::move(v6)};
}

TEST(WatchedNetwork, MembershipForEachFilterForm) {
    const struct {
        const char* what;
        int no_local;
        const char* addr_filter;
        const char* mask_filter;
        const char* read_file;
        DeviceNetworks nets;
        bool all;
        std::vector<std::string> in, out;
    } cases[] = {
        {"-A IPv4 -M", 0, "192.0.2.0", "255.255.255.0", nullptr,
         device("10.1.2.0", "255.255.255.0"), false, {"192.0.2.0", "192.0.2.255"},
         {"192.0.1.255", "192.0.3.0", "10.1.2.3", "::ffff:192.0.2.1", "::192.0.2.1",
          "2001:db8::1"}},
        {"-A IPv4 alone: one host", 0, "192.0.2.1", nullptr, nullptr, {}, false, {"192.0.2.1"},
         {"192.0.2.0", "192.0.2.2", "::ffff:192.0.2.1"}},
        {"-A IPv4 -M /25", 0, "192.0.2.128", "255.255.255.128", nullptr, {}, false,
         {"192.0.2.128", "192.0.2.255"}, {"192.0.2.127", "192.0.3.128"}},
        // libpcap fills a short form from the right: 10.1.0.0, not inet_aton's 10.0.0.1.
        {"-A short form", 0, "10.1", "255.255", nullptr, {}, false, {"10.1.0.0", "10.1.255.255"},
         {"10.0.255.255", "10.2.0.0", "10.0.0.1"}},
        {"-A with a mask with holes", 0, "192.0.2.0", "255.0.255.0", nullptr, {}, false,
         {"192.0.2.0", "192.7.2.9"}, {"192.0.3.0", "193.0.2.0"}},
        {"-A libpcap cannot read", 0, "10", nullptr, nullptr, {}, false, {},
         {"10.0.0.0", "0.0.0.10", "::a"}},
        {"-A IPv6 -M 48", 0, "2001:db8:1::", "48", nullptr, {}, false,
         {"2001:db8:1::", "2001:db8:1:ffff:ffff:ffff:ffff:ffff"},
         {"2001:db8:0:ffff:ffff:ffff:ffff:ffff", "2001:db8:2::", "32.1.13.184"}},
        {"-A IPv6 -M 57", 0, "2001:db8:1:80::", "57", nullptr, {}, false,
         {"2001:db8:1:80::", "2001:db8:1:ff:ffff:ffff:ffff:ffff"},
         {"2001:db8:1:7f:ffff:ffff:ffff:ffff", "2001:db8:1:100::"}},
        {"-A IPv6 alone: one host", 0, "2001:db8::53", nullptr, nullptr, {}, false,
         {"2001:db8::53"}, {"2001:db8::52", "2001:db8::54"}},
        {"-A IPv6 -M 0x40", 0, "2001:db8:1::", "0x40", nullptr, {}, false,
         {"2001:db8:1::ffff:ffff:ffff:ffff"}, {"2001:db8:1:1::", "2001:db8:0:ffff::"}},
        {"-A IPv6 -M 0", 0, "::", "0", nullptr, {}, false,
         {"::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "::ffff:10.1.2.3"},
         {"0.0.0.0", "255.255.255.255"}},
        // An IPv4-mapped IPv6 network holds IPv6 sources only.
        {"-A IPv4-mapped IPv6", 0, "::ffff:192.0.2.0", "120", nullptr, {}, false,
         {"::ffff:192.0.2.0", "::ffff:192.0.2.255"}, {"192.0.2.5", "::ffff:192.0.3.0"}},
        {"-A with a file", 0, "192.0.2.0", "255.255.255.0", "x.pcap", {}, false, {"192.0.2.9"},
         {"192.0.3.0", "2001:db8::1"}},
        {"device, IPv4 only", 0, nullptr, nullptr, nullptr, device("10.1.2.0", "255.255.255.0"),
         false, {"10.1.2.0", "10.1.2.255"},
         {"10.1.1.255", "10.1.3.0", "::ffff:10.1.2.3", "2001:db8:1::1"}},
        {"device, -M replaces the mask", 0, nullptr, "255.255.0.0", nullptr,
         device("10.1.2.0", "255.255.255.0"), false, {"10.1.0.0", "10.1.255.255"},
         {"10.0.255.255", "10.2.0.0"}},
        {"device with IPv4 and IPv6", 0, nullptr, nullptr, nullptr,
         device("10.1.2.0", "255.255.255.0", {"2001:db8:1::/64", "::1/128"}), false,
         {"10.1.2.0", "10.1.2.255", "2001:db8:1::", "2001:db8:1::ffff:ffff:ffff:ffff", "::1"},
         {"10.1.3.0", "2001:db8:0:ffff:ffff:ffff:ffff:ffff", "2001:db8:1:1::", "::", "::2",
          "::ffff:10.1.2.3"}},
        {"device with IPv6, -M replaces only the IPv4 mask", 0, nullptr, "255.0.0.0", nullptr,
         device("10.0.0.0", "255.255.255.0", {"2001:db8:1::/64"}), false,
         {"10.255.255.255", "2001:db8:1::1"}, {"11.0.0.0", "2001:db8:2::1"}},
        // 0.0.0.0 mask 0.0.0.0 in the filter: every IPv4 address, as libpcap reads it.
        {"device without an IPv4 network", 0, nullptr, nullptr, nullptr,
         device("0.0.0.0", "0.0.0.0"), false, {"0.0.0.0", "255.255.255.255"},
         {"::", "::ffff:10.1.2.3", "2001:db8::1"}},
        {"device without an IPv4 network, -M", 0, nullptr, "255.255.255.0", nullptr,
         device("0.0.0.0", "0.0.0.0"), false, {"0.0.0.0", "0.0.0.255"}, {"0.0.1.0", "::"}},
        {"device with IPv6 networks only", 0, nullptr, nullptr, nullptr,
         device("0.0.0.0", "0.0.0.0", {"2001:db8:1::/64"}), false,
         {"198.51.100.1", "2001:db8:1::1"}, {"2001:db8:2::1", "::ffff:198.51.100.1"}},
        {"-Q", 1, nullptr, nullptr, nullptr, device("10.1.2.0", "255.255.255.0"), true,
         {"10.1.2.3", "192.0.2.1", "0.0.0.0", "::", "2001:db8::1", "::ffff:10.1.2.3"}, {}},
        {"-Q -M", 1, nullptr, "255.255.255.0", nullptr, device("10.1.2.0", "255.255.255.0"), true,
         {"192.0.2.1", "2001:db8::1"}, {}},
        {"a file without -A", 0, nullptr, nullptr, "x.pcap", {}, true, {"192.0.2.1", "2001:db8::1"},
         {}},
    };
    for (const auto& c : cases) {
        // -R lets more frames through, but of the same networks.
        for (int answers : {0, 1}) {
            SCOPED_TRACE(testing::Message() << c.what << (answers ? " with -R" : ""));
            Settings s;
            s.no_local_filter = c.no_local;
            s.addr_filter = const_cast<char*>(c.addr_filter);
            s.mask_filter = const_cast<char*>(c.mask_filter);
            s.read_file = const_cast<char*>(c.read_file);
            s.count_answers = answers;
            const WatchedNetwork w = watched_of(s, c.nets);
            EXPECT_EQ(w.all(), c.all);
            for (const std::string& a : c.in) EXPECT_TRUE(w.contains(addr(a))) << a;
            for (const std::string& a : c.out) EXPECT_FALSE(w.contains(addr(a))) << a;
        }
    }
}

// Built by hand: nothing until a network is added; the networks add up.
TEST(WatchedNetwork, NetworksAddUp) {
    WatchedNetwork w;
    EXPECT_FALSE(w.all());
    EXPECT_FALSE(w.contains(addr("0.0.0.0")));
    EXPECT_FALSE(w.contains(addr("::")));
    w.add_v4(inet_addr("198.51.100.0"), inet_addr("255.255.255.0"));
    std::array<uint8_t, 16> prefix{};
    ASSERT_EQ(inet_pton(AF_INET6, "2001:db8:53::", prefix.data()), 1);
    w.add_v6(prefix, 48);
    w.add_v4(inet_addr("192.0.2.7"), inet_addr("255.255.255.255"));
    for (const char* in : {"198.51.100.255", "2001:db8:53:ffff::", "192.0.2.7"})
        EXPECT_TRUE(w.contains(addr(in))) << in;
    for (const char* out : {"198.51.101.0", "2001:db8:54::", "192.0.2.6", "::ffff:192.0.2.7"})
        EXPECT_FALSE(w.contains(addr(out))) << out;
    EXPECT_TRUE(WatchedNetwork::everything().all());
}

}  // namespace
}  // namespace qv
