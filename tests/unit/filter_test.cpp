// The capture filter text for each way of choosing the watched network.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdlib>
#include <string>

#include "control/startup.h"

namespace qv {
namespace {

uint32_t addr(const char* text) { return inet_addr(text); }

TEST(Filter, TextForEachCase) {
    char a1[] = "192.0.2.1", a0[] = "192.0.2.0", m24[] = "255.255.255.0", m16[] = "255.255.0.0",
         ten[] = "10";
    const struct {
        const char* what;
        int no_local;
        char* addr_filter;
        char* mask_filter;
        const char* net;
        const char* mask;
        FilterCase expect_case;
        const char* text;
    } cases[] = {
        {"-Q", 1, nullptr, nullptr, "10.1.2.0", "255.255.255.0", FilterCase::no_local, "port 53"},
        {"-Q -M", 1, nullptr, m24, "10.1.2.0", "255.255.255.0", FilterCase::no_local, "port 53"},
        {"-A", 0, a1, nullptr, "10.1.2.0", "255.255.255.0", FilterCase::address,
         "port 53 and dst net 192.0.2.1 mask 255.255.255.255"},
        {"-A -M", 0, a0, m24, "10.1.2.0", "255.255.255.0", FilterCase::address,
         "port 53 and dst net 192.0.2.0 mask 255.255.255.0"},
        {"-A as typed", 0, ten, nullptr, "0.0.0.0", "0.0.0.0", FilterCase::address,
         "port 53 and dst net 10 mask 255.255.255.255"},
        {"device network", 0, nullptr, nullptr, "10.1.2.0", "255.255.255.0", FilterCase::local_net,
         "port 53 and dst net 10.1.2.0 mask 255.255.255.0"},
        {"device network with -M", 0, nullptr, m16, "10.1.2.0", "255.255.255.0",
         FilterCase::local_net, "port 53 and dst net 10.1.2.0 mask 255.255.0.0"},
        {"device without an address", 0, nullptr, nullptr, "0.0.0.0", "0.0.0.0",
         FilterCase::local_net, "port 53 and dst net 0.0.0.0 mask 0.0.0.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Settings s;
        s.no_local_filter = c.no_local;
        s.addr_filter = c.addr_filter;
        s.mask_filter = c.mask_filter;
        EXPECT_EQ(filter_case(s), c.expect_case);
        char* text = build_filter_text(s, addr(c.net), addr(c.mask));
        EXPECT_STREQ(text, c.text);
        free(text);
    }
}

}  // namespace
}  // namespace qv
