// Start-up as a user meets it: the usage screen, the refusals, the capture
// filter chosen, and the -D dump of what the capture decodes.
#include <algorithm>
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

TEST_F(Startup, VerboseNamesTheCaptureFilter) {
    const struct {
        std::vector<std::string> args;
        std::string first_line;
    } cases[] = {
        {{"-b", "-v", "-Q", "-i", "lo"}, "using filter \"port 53\" on dev lo"},
        {{"-b", "-v", "-A", "192.0.2.0", "-M", "255.255.255.0", "-i", "lo"},
         "using filter \"port 53 and dst net 192.0.2.0 mask 255.255.255.0\" on dev lo"},
        {{"-b", "-v", "-A", "192.0.2.7", "-i", "lo"},
         "using filter \"port 53 and dst net 192.0.2.7 mask 255.255.255.255\" on dev lo"},
        // Without -Q or -A: the device's own network (lo's, in the test namespace).
        {{"-b", "-v", "-i", "lo"},
         "using filter \"port 53 and dst net 127.0.0.0 mask 255.0.0.0\" on dev lo"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first_line);
        Process p = start_program(c.args);
        ASSERT_TRUE(p.wait_out("\n")) << p.describe();
        EXPECT_EQ(lines_of(p.out()).front(), c.first_line) << p.describe();
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
         .qtype = 256,  // only its low byte shows
         .line = "src: 10.1.2.6         proto: udp  qtype: 0x00  domain: abc.de."},
        {.src = {10, 1, 3, 1}, .dns_flags_hi = 0x81},  // QR: a response
        {.src = {10, 1, 3, 2}, .qdcount = 0},
        {.src = {10, 1, 3, 3}, .frag = 0x0010},  // a later fragment
        {.src = {10, 1, 3, 4}, .labels = {"a*c", "de"}},
        {.src = {10, 1, 3, 5}, .protocol = 6, .tcp_flags = 0x10},  // ACK without PSH
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
