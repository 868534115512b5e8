// The action hook with the shipped nft-block hook against real nftables,
// inside the test's own network namespace (its own ruleset): a source that
// floods over TCP with real handshakes is added to the block set and its
// next queries are dropped by the kernel; a forged UDP flood alarms
// unverified and is left alone; an allow-listed source is not added; a dry
// run adds nothing.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "frames.h"
#include "harness.h"

namespace qv::e2e {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kVerified = "127.0.0.5";
constexpr const char* kAllowed = "127.0.0.7";
constexpr Ipv4 kForged = {10, 99, 0, 1};

std::string read_all(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// nft's own output, or "" with a failure when it fails.
std::string nft(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"nft"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_tool(argv);
}

// The elements of a set of the hook's table, or "" while there is none.
std::string set_listing(const std::string& set) {
    Process p(tool("nft"), {"nft", "list", "set", "inet", "quorvane", set}, Stdout::pipe);
    return p.wait_exit() == exited(0) ? p.out() : "";
}

bool table_exists() {
    Process p(tool("nft"), {"nft", "list", "table", "inet", "quorvane"}, Stdout::pipe);
    return p.wait_exit() == exited(0);
}

// The packets the drop rule of a set has counted.
uint64_t dropped_by(const std::string& set) {
    const std::string chain = nft({"list", "chain", "inet", "quorvane", "input"});
    std::smatch m;
    if (!std::regex_search(chain, m, std::regex("saddr @" + set + " counter packets ([0-9]+)"))) {
        ADD_FAILURE() << "no counter for @" << set << " in\n" << chain;
        return 0;
    }
    return std::stoull(m[1]);
}

class Hook : public E2eTest {
  protected:
    void SetUp() override {
        E2eTest::SetUp();
        if (HasFatalFailure()) return;
        for (const char* t : {"nft", "jq", "dnsperf", "kdig"}) {
            ASSERT_FALSE(tool(t).empty())
                << t << " is not installed: scripts/install-deps installs it";
        }
        char tmpl[] = "/tmp/qv-hook-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        // The namespace's own ruleset, empty to begin with.
        run_tool({"nft", "flush", "ruleset"});
        responder_ = std::make_unique<Responder>();
        std::ofstream(dir_ + "/queries") << "flood.hook.test A\nflood.hook.test AAAA\n";
    }
    void TearDown() override {
        responder_.reset();
        if (!dir_.empty()) {
            run_tool({"nft", "flush", "ruleset"});
            std::system(("rm -rf " + dir_).c_str());
        }
        E2eTest::TearDown();
    }

    // The program given to -e: it keeps a copy of the events and hands them
    // to nft-block with a configuration of this test's (the program's
    // environment is only PATH and QUORVANE_HOSTNAME).
    std::string hook(const std::string& config) {
        std::ofstream(dir_ + "/nft.conf") << config << "QUORVANE_NFT_ALLOW=" << dir_ << "/allow\n"
                                          << "QUORVANE_NFT_SYSLOG=0\n";
        std::ofstream(dir_ + "/allow") << "# never blocked\n" << kAllowed << "/32\n10.200.0.0/16\n";
        const std::string path = dir_ + "/hook";
        std::ofstream(path) << "#!/bin/sh\n"
                            << "tee -a " << dir_ << "/events | QUORVANE_NFT_CONFIG=" << dir_
                            << "/nft.conf " << QV_SOURCE_DIR << "/service/hooks/nft-block\n";
        chmod(path.c_str(), 0755);
        return path;
    }

    // dnsperf over TCP from a loopback address, about 200 queries a second,
    // 20 to a connection: every cycle sees handshakes of its own.
    std::unique_ptr<Process> flood_from(const std::string& address, int seconds) {
        return std::make_unique<Process>(
            tool("dnsperf"),
            std::vector<std::string>{"dnsperf", "-s", "127.0.0.1", "-a", address, "-m", "tcp", "-d",
                                     dir_ + "/queries", "-l", std::to_string(seconds), "-Q", "200",
                                     "-c", "2", "-q", "10", "-O", "num-queries-per-conn=20"},
            Stdout::pipe);
    }

    // The events the hook got so far, and whether one of them is an alarm
    // for key with that verified value.
    std::vector<nlohmann::json> events() const {
        std::vector<nlohmann::json> out;
        for (const std::string& line : lines_of(read_all(dir_ + "/events")))
            out.push_back(nlohmann::json::parse(line));
        return out;
    }
    bool alarmed(const std::string& key, bool verified) const {
        for (const auto& e : events()) {
            if (e["event"] == "alarm" && e["kind"] == "source" && e["key"] == key &&
                e["verified"] == verified)
                return true;
        }
        return false;
    }

    bool wait_for(const std::function<bool()>& pred, Duration timeout = Duration(20000)) {
        const auto deadline = Clock::now() + timeout;
        while (!pred()) {
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(Duration(100));
        }
        return true;
    }

    std::string dir_;
    std::unique_ptr<Responder> responder_;
};

// A UDP query from src to the responder's address, as injected on lo.
qv::test::FrameSpec to_responder(const Ipv4& src, const std::string& label) {
    qv::test::FrameSpec f = query_from(src, {label, "hook", "test"});
    f.dst[0] = 127, f.dst[1] = 0, f.dst[2] = 0, f.dst[3] = 1;
    return f;
}

// Forged UDP queries from kForged, injected on lo while the flood runs.
void inject_forged(FrameInjector& injector, int k) {
    qv::test::FrameSpec f = to_responder(kForged, "forged" + std::to_string(k));
    f.src_port = static_cast<uint16_t>(20000 + k % 20000);
    injector.send(qv::test::build_frame(f));
}

// The program (-D) with the hook, once its capture is in place.
::testing::AssertionResult capturing(Process& qv) {
    const Ipv4 probe = {10, 255, 53, 1};
    return wait_capturing(qv, to_responder(probe, "ready"),
                          dump_line(probe, "udp", 1, "ready.hook.test."));
}

TEST_F(Hook, VerifiedFloodIsBlockedByTheKernelForgedAndAllowedAreNot) {
    const std::string program = hook("QUORVANE_NFT_APPLY=1\n");
    const uint16_t port = 19530;
    Process qv = start_program({"-b", "-D", "-i", "lo", "-A", "127.0.0.1", "-R", "-t", "50", "-w",
                                "2", "-P", std::to_string(port), "-e", program});
    ASSERT_TRUE(capturing(qv));
    auto verified = flood_from(kVerified, 20);
    auto allowed = flood_from(kAllowed, 20);
    FrameInjector injector;
    int k = 0;
    // Until the hook has seen all three alarm and the element is in.
    const bool seen = wait_for([&] {
        for (int n = 0; n < 10; ++n) inject_forged(injector, ++k);
        return alarmed(kVerified, true) && alarmed(kAllowed, true) &&
               alarmed(ip_text(kForged), false) &&
               set_listing("block").find(kVerified) != std::string::npos;
    });
    ASSERT_TRUE(seen) << qv.describe() << "\nevents:\n" << read_all(dir_ + "/events");
    ASSERT_FALSE(responder_->names_from(kVerified).empty())
        << "the flood never reached the responder";

    // Its next queries never reach the responder: the kernel drops them.
    const uint64_t before = dropped_by("block");
    for (const char* transport : {"+tcp", "+notcp"}) {
        Process probe(tool("kdig"),
                      {"kdig", "@127.0.0.1", "-b", kVerified, transport, "+retry=0", "+timeout=1",
                       std::string("after") + transport + ".hook.test", "A"},
                      Stdout::pipe);
        EXPECT_NE(probe.wait_exit(), exited(0)) << probe.describe();
    }
    EXPECT_GT(dropped_by("block"), before);
    for (const std::string& name : responder_->names_from(kVerified)) {
        EXPECT_EQ(name.find("after"), std::string::npos) << name << " reached the responder";
    }
    // Another source still gets answers.
    run_tool({"kdig", "@127.0.0.1", "-b", "127.0.0.9", "+tcp", "+retry=0", "other.hook.test", "A"});

    const std::string set = nft({"list", "set", "inet", "quorvane", "block"});
    EXPECT_NE(set.find(std::string(kVerified) + " timeout"), std::string::npos) << set;
    EXPECT_EQ(set.find(kAllowed), std::string::npos) << set;
    EXPECT_EQ(set.find(ip_text(kForged)), std::string::npos) << set;
    EXPECT_EQ(nft({"list", "set", "inet", "quorvane", "block6"}).find("elements"),
              std::string::npos);
    EXPECT_NE(qv.err().find("nft-block: added 127.0.0.5 to inet quorvane block (timeout 300s)\n"),
              std::string::npos)
        << qv.describe();
    EXPECT_NE(qv.err().find("nft-block: 127.0.0.7 is on the allow list: not blocked\n"),
              std::string::npos)
        << qv.describe();

    // The hook's figures on the metrics page, which promtool accepts.
    const auto page = metrics_page(port);
    ASSERT_TRUE(page.has_value());
    const Samples got = samples_of(*page);
    EXPECT_GE(got.at("quorvane_hook_runs_total{result=\"ok\"}"), 1.0);
    EXPECT_EQ(got.at("quorvane_hook_runs_total{result=\"failed\"}"), 0.0) << qv.describe();
    EXPECT_EQ(got.at("quorvane_hook_runs_total{result=\"killed\"}"), 0.0);
    EXPECT_GE(got.at("quorvane_hook_events_total"), 3.0);
    EXPECT_EQ(got.at("quorvane_hook_events_dropped_total"), 0.0);
    EXPECT_TRUE(promtool_accepts(*page));
}

TEST_F(Hook, DryRunOnlySaysWhatItWouldDo) {
    const std::string program = hook("");
    Process qv = start_program(
        {"-b", "-D", "-i", "lo", "-A", "127.0.0.1", "-R", "-t", "50", "-w", "2", "-e", program});
    ASSERT_TRUE(capturing(qv));
    auto verified = flood_from(kVerified, 20);
    ASSERT_TRUE(qv.wait_err(
        "nft-block: dry run: would add 127.0.0.5 to inet quorvane block (timeout 300s)\n",
        Duration(20000)))
        << qv.describe();
    EXPECT_TRUE(alarmed(kVerified, true));
    EXPECT_FALSE(table_exists());
}

// The program runs as the user of -u, with only PATH and the host name in
// its environment and its output on the program's standard error.
TEST_F(Hook, ProgramRunsAsTheUserOfUWithAnEnvironmentOfItsOwn) {
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    chmod(dir_.c_str(), 0777);
    const std::string path = dir_ + "/as-user";
    std::ofstream(path) << "#!/bin/sh\n"
                        << "id -u > " << dir_ << "/uid.part; /usr/bin/env > " << dir_ << "/env\n"
                        << "echo hook says out; echo hook says err >&2; cat > /dev/null\n"
                        << "mv " << dir_ << "/uid.part " << dir_ << "/uid\n";
    chmod(path.c_str(), 0755);
    setenv("QV_HOOK_TEST_MARKER", "1", 1);
    Process qv = start_program({"-b", "-D", "-i", "lo", "-A", "127.0.0.1", "-t", "50", "-w", "2",
                                "-u", "nobody", "-e", path});
    ASSERT_TRUE(capturing(qv));
    FrameInjector injector;
    int k = 0;
    ASSERT_TRUE(wait_for([&] {
        for (int n = 0; n < 10; ++n) inject_forged(injector, ++k);
        return access((dir_ + "/uid").c_str(), F_OK) == 0;
    })) << qv.describe();
    EXPECT_EQ(read_all(dir_ + "/uid"), std::to_string(nobody->pw_uid) + "\n");
    char host[256] = {};
    gethostname(host, 253);
    std::set<std::string> env;
    for (const std::string& line : lines_of(read_all(dir_ + "/env"))) {
        if (line.rfind("PWD=", 0) != 0) env.insert(line);  // the shell's own
    }
    EXPECT_EQ(env, (std::set<std::string>{"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                          "QUORVANE_HOSTNAME=" + std::string(host)}));
    EXPECT_TRUE(qv.wait_err("hook says out\n")) << qv.describe();
    EXPECT_TRUE(qv.wait_err("hook says err\n")) << qv.describe();
    EXPECT_EQ(qv.out().find("hook says"), std::string::npos);
}

}  // namespace
}  // namespace qv::e2e
