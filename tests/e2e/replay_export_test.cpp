// A replay with -s sends the datagrams a live run would have sent, the same
// every time: compared with an expected file, the host name aside.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "harness.h"

namespace qv::e2e {
namespace {

using ReplayExport = E2eTest;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST_F(ReplayExport, DatagramsMatchTheExpectedFile) {
    char tmpl[] = "/tmp/qv-replay-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    ASSERT_EQ(system((std::string(QV_MAKE_CAPTURES) + " " + dir).c_str()), 0);

    char host[256] = {};
    gethostname(host, 253);
    const std::string host_member = std::string("{\"hostname\":\"") + host + "\",";

    UdpReceiver receiver;
    Process p = start_program({"-r", dir + "/flood.pcap", "-w", "5", "-x", "11", "-s", "-z",
                               "127.0.0.1", "-p", std::to_string(receiver.port())},
                              Stdout::pipe);
    ASSERT_EQ(p.wait_exit(), exited(0)) << p.describe();

    // Everything was sent before the program ended; the receiver holds it.
    std::string got;
    std::map<std::string, uint64_t> counts;
    while (auto d = receiver.receive(Duration(500))) {
        ASSERT_TRUE(add_export_counts(*d, counts));
        std::string text = d->substr(0, d->size() - 1);
        ASSERT_EQ(text.compare(0, host_member.size(), host_member), 0) << text;
        got += "{\"hostname\":\"HOST\"," + text.substr(host_member.size()) + "\n";
    }
    EXPECT_EQ(got, read_file(std::string(QV_SOURCE_DIR) + "/tests/golden/expected/flood-export.json"));
    system(("rm -rf " + dir).c_str());
}

}  // namespace
}  // namespace qv::e2e
