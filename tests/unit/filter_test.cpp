// The capture filter text for each way of choosing the watched network, and
// that libpcap compiles it on every link type the program reads.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <string>

#include "control/startup.h"

namespace qv {
namespace {

const std::string T =
    "(port 53 or ip6[6] = 0 or ip6[6] = 43 or ip6[6] = 44 or ip6[6] = 51 or ip6[6] = 60)";

// The Ethernet form: untagged, one tag or two.
std::string tagged(const std::string& b) {
    return b + " or (vlan and (" + b + " or (vlan and " + b + ")))";
}

struct FilterCaseRow {
    const char* what;
    int no_local;
    const char* addr_filter;
    const char* mask_filter;
    const char* read_file;
    DeviceNetworks nets;
    FilterCase expect_case;
    std::string text;  // the filter on a link other than Ethernet
};

DeviceNetworks v4_net(const char* net, const char* mask, std::vector<std::string> v6 = {}) {
    return {inet_addr(net), inet_addr(mask), std::move(v6)};
}

const std::vector<FilterCaseRow>& rows() {
    static const std::vector<FilterCaseRow> table = {
        {"-Q", 1, nullptr, nullptr, nullptr, v4_net("10.1.2.0", "255.255.255.0"),
         FilterCase::no_local, T},
        {"-Q -M", 1, nullptr, "255.255.255.0", nullptr, v4_net("10.1.2.0", "255.255.255.0"),
         FilterCase::no_local, T},
        {"a file without -A", 0, nullptr, nullptr, "x.pcap", {}, FilterCase::no_local, T},
        {"-A", 0, "192.0.2.1", nullptr, nullptr, v4_net("10.1.2.0", "255.255.255.0"),
         FilterCase::address, "port 53 and dst net 192.0.2.1 mask 255.255.255.255"},
        {"-A -M", 0, "192.0.2.0", "255.255.255.0", nullptr, {}, FilterCase::address,
         "port 53 and dst net 192.0.2.0 mask 255.255.255.0"},
        {"-A as typed", 0, "10", nullptr, nullptr, {}, FilterCase::address,
         "port 53 and dst net 10 mask 255.255.255.255"},
        {"-A with a file", 0, "192.0.2.0", "255.255.255.0", "x.pcap", {}, FilterCase::address,
         "port 53 and dst net 192.0.2.0 mask 255.255.255.0"},
        {"-A IPv6", 0, "2001:db8::53", nullptr, nullptr, {}, FilterCase::address,
         T + " and dst net 2001:db8::53/128"},
        {"-A IPv6 -M 48", 0, "2001:db8:1::", "48", nullptr, {}, FilterCase::address,
         T + " and dst net 2001:db8:1::/48"},
        {"device network", 0, nullptr, nullptr, nullptr, v4_net("10.1.2.0", "255.255.255.0"),
         FilterCase::local_net, "port 53 and dst net 10.1.2.0 mask 255.255.255.0"},
        {"device network with -M", 0, nullptr, "255.255.0.0", nullptr,
         v4_net("10.1.0.0", "255.255.255.0"), FilterCase::local_net,
         "port 53 and dst net 10.1.0.0 mask 255.255.0.0"},
        {"device without an address", 0, nullptr, nullptr, nullptr, v4_net("0.0.0.0", "0.0.0.0"),
         FilterCase::local_net, "port 53 and dst net 0.0.0.0 mask 0.0.0.0"},
        {"device with IPv6 networks", 0, nullptr, nullptr, nullptr,
         v4_net("10.1.2.0", "255.255.255.0", {"2001:db8:1::/64", "::1/128"}), FilterCase::local_net,
         T + " and (dst net 10.1.2.0 mask 255.255.255.0 or dst net 2001:db8:1::/64 or dst net "
             "::1/128)"},
        {"-M replaces only the IPv4 mask", 0, nullptr, "255.0.0.0", nullptr,
         v4_net("10.0.0.0", "255.255.255.0", {"2001:db8:1::/64"}), FilterCase::local_net,
         T + " and (dst net 10.0.0.0 mask 255.0.0.0 or dst net 2001:db8:1::/64)"},
    };
    return table;
}

Settings settings_of(const FilterCaseRow& r) {
    Settings s;
    s.no_local_filter = r.no_local;
    s.addr_filter = const_cast<char*>(r.addr_filter);
    s.mask_filter = const_cast<char*>(r.mask_filter);
    s.read_file = const_cast<char*>(r.read_file);
    return s;
}

TEST(Filter, TextForEachCase) {
    for (const auto& r : rows()) {
        SCOPED_TRACE(r.what);
        const Settings s = settings_of(r);
        EXPECT_EQ(filter_case(s), r.expect_case);
        EXPECT_EQ(build_filter_text(s, r.nets, false), r.text);
        // On Ethernet each B is one group: T already is, the others are put in one.
        const std::string group = r.text.front() == '(' && r.text.back() == ')' &&
                                          r.text.find(") and") == std::string::npos
                                      ? r.text
                                      : "(" + r.text + ")";
        EXPECT_EQ(build_filter_text(s, r.nets, true), tagged(group));
    }
}

TEST(Filter, CompilesOnEveryLinkType) {
    const struct {
        int dlt;
        bool ethernet;
    } links[] = {{DLT_EN10MB, true},  {DLT_RAW, false},        {DLT_NULL, false},
                 {DLT_LOOP, false},   {DLT_LINUX_SLL, false},  {DLT_LINUX_SLL2, false}};
    for (const auto& l : links) {
        pcap_t* dead = pcap_open_dead(l.dlt, 1500);
        ASSERT_NE(dead, nullptr);
        for (const auto& r : rows()) {
            if (std::string(r.what) == "-A as typed") continue;  // "10" is a network, not a host
            SCOPED_TRACE(testing::Message() << r.what << " on link type " << l.dlt);
            const std::string text = build_filter_text(settings_of(r), r.nets, l.ethernet);
            bpf_program prog{};
            EXPECT_EQ(pcap_compile(dead, &prog, text.c_str(), 0, 0), 0) << pcap_geterr(dead);
            pcap_freecode(&prog);
        }
        pcap_close(dead);
    }
}

}  // namespace
}  // namespace qv
