// The action hook's runner, with small scripts of its own as programs: what
// the program gets (its input, its environment), one run at a time, the
// bound of the queue, the statuses and lines of runs that fail or are
// killed (with short limits), and programs that close their input at once
// or never read it.
#include "control/hook_runner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace qv {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// Short limits: a run is sent SIGTERM after 300 ms, SIGKILL 300 ms later.
constexpr HookLimits kShort{milliseconds(300), milliseconds(300), 10000};

class Lines final : public LineSink {
  public:
    void to_stdout(std::string_view line) override { add("stdout " + std::string(line)); }
    void to_syslog(int priority, const char* message) override {
        add("syslog " + std::to_string(priority) + " " + message);
    }
    void to_stderr(std::string_view line) override { add("stderr " + std::string(line)); }
    std::vector<std::string> all() {
        std::lock_guard<std::mutex> hold(mu_);
        return lines_;
    }

  private:
    void add(std::string l) {
        std::lock_guard<std::mutex> hold(mu_);
        lines_.push_back(std::move(l));
    }
    std::mutex mu_;
    std::vector<std::string> lines_;
};

EventText event(const std::string& text) {
    EventText e;
    if (text.size() >= kEventMax) throw std::length_error("event text");
    e.len = static_cast<uint16_t>(text.size() + 1);
    std::memcpy(e.text, text.data(), text.size());
    e.text[text.size()] = '\n';
    return e;
}

std::string read_file(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Waits for a file the script makes; a missing one fails the test at the
// end of a long deadline, not a measured one.
bool wait_for(const fs::path& p) {
    for (int k = 0; k < 2000 && !fs::exists(p); ++k) std::this_thread::sleep_for(milliseconds(10));
    return fs::exists(p);
}

class HookRunnerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qv-hook-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A script in the temp dir; DIR in its body is the temp dir.
    std::string script(const std::string& body) {
        std::string text = "#!/bin/sh\n" + body + "\n";
        for (size_t at; (at = text.find("DIR")) != std::string::npos;)
            text.replace(at, 3, dir_.string());
        const fs::path p = dir_ / ("hook" + std::to_string(++scripts_));
        std::ofstream(p) << text;
        chmod(p.c_str(), 0755);
        return p.string();
    }
    std::unique_ptr<HookRunner> runner(const std::string& path, bool foreground = true,
                                       HookLimits limits = kShort) {
        return std::make_unique<HookRunner>(path, path, "host1", foreground, lines_, counters_,
                                            limits);
    }
    void cycle(HookRunner& r, int from, int to) {
        for (int k = from; k <= to; ++k) r.event(event("e" + std::to_string(k)));
        r.end_cycle();
    }
    std::string events(int from, int to) {
        std::string out;
        for (int k = from; k <= to; ++k) out += "e" + std::to_string(k) + "\n";
        return out;
    }

    fs::path dir_;
    int scripts_ = 0;
    Lines lines_;
    HookCounters counters_;
};

TEST_F(HookRunnerTest, InputAndEnvironment) {
    setenv("QV_HOOK_TEST_MARKER", "1", 1);
    const std::string path = script("cat > DIR/in; /usr/bin/env > DIR/env");
    auto r = runner(path);
    cycle(*r, 1, 3);
    r->drain();
    EXPECT_EQ(read_file(dir_ / "in"), events(1, 3));
    const std::string env = read_file(dir_ / "env");
    EXPECT_NE(env.find("PATH=/usr/sbin:/usr/bin:/sbin:/bin\n"), std::string::npos) << env;
    EXPECT_NE(env.find("QUORVANE_HOSTNAME=host1\n"), std::string::npos) << env;
    EXPECT_EQ(env.find("QV_HOOK_TEST_MARKER"), std::string::npos) << env;
    EXPECT_EQ(counters_.runs_ok.load(), 1u);
    EXPECT_EQ(counters_.events.load(), 3u);
    EXPECT_TRUE(lines_.all().empty());
}

// Events of cycles that end while a run goes wait for the next run, which
// takes them all; runs never overlap.
TEST_F(HookRunnerTest, OneRunAtATime) {
    const std::string path = script(
        "mkdir DIR/running || echo overlap >> DIR/log\n"
        "cat >> DIR/in; echo run >> DIR/runs; touch DIR/ran$$\n"
        "sleep 0.2; rmdir DIR/running");
    auto r = runner(path, true, HookLimits{milliseconds(5000), milliseconds(1000), 10000});
    cycle(*r, 1, 2);
    for (int k = 0; k < 2000 && read_file(dir_ / "runs").empty(); ++k)
        std::this_thread::sleep_for(milliseconds(5));
    cycle(*r, 3, 4);
    cycle(*r, 5, 6);
    r->drain();
    EXPECT_FALSE(fs::exists(dir_ / "log")) << read_file(dir_ / "log");
    EXPECT_EQ(read_file(dir_ / "in"), events(1, 6));
    // The first run took cycle 1 alone; the others waited for one run.
    EXPECT_EQ(read_file(dir_ / "runs"), "run\nrun\n");
    EXPECT_EQ(counters_.runs_ok.load(), 2u);
    EXPECT_EQ(counters_.dropped.load(), 0u);
}

// A full queue drops its oldest events and counts them.
TEST_F(HookRunnerTest, QueueBound) {
    const std::string path =
        script("cat >> DIR/in; touch DIR/read; while [ ! -e DIR/go ]; do sleep 0.02; done");
    auto r = runner(path, true, HookLimits{milliseconds(20000), milliseconds(1000), 5});
    cycle(*r, 1, 1);
    ASSERT_TRUE(wait_for(dir_ / "read"));
    cycle(*r, 2, 8);   // 7 into a queue of 5: e2 and e3 go
    cycle(*r, 9, 10);  // and then e4 and e5
    std::ofstream(dir_ / "go") << "";
    r->drain();
    EXPECT_EQ(read_file(dir_ / "in"), events(1, 1) + events(6, 10));
    EXPECT_EQ(counters_.dropped.load(), 4u);
    EXPECT_EQ(counters_.events.load(), 10u);
    EXPECT_EQ(counters_.runs_ok.load(), 2u);
}

TEST_F(HookRunnerTest, Statuses) {
    const struct {
        const char* what;
        const char* body;
        bool foreground;
        uint64_t ok, failed, killed;
        const char* line;  // after the path; empty: none
    } cases[] = {
        {"status 0", "cat > /dev/null", true, 1, 0, 0, ""},
        {"status 3", "cat > /dev/null; exit 3", true, 0, 1, 0,
         "stderr hook PATH exited with status 3\n"},
        {"status 3, daemon mode", "exit 3", false, 0, 1, 0,
         "syslog 4 hook PATH exited with status 3"},
        {"ended by a signal of its own", "kill -9 $$", true, 0, 1, 0,
         "stderr hook PATH exited with status 137\n"},
        {"SIGTERM at the limit", "exec sleep 30", true, 0, 0, 1,
         "stderr hook PATH killed after 0.3 s\n"},
        {"SIGKILL after the grace", "trap '' TERM; while :; do sleep 0.05; done", true, 0, 0, 1,
         "stderr hook PATH killed after 0.3 s\n"},
        {"killed, daemon mode", "exec sleep 30", false, 0, 0, 1,
         "syslog 4 hook PATH killed after 0.3 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Lines lines;
        HookCounters counters;
        const std::string path = script(c.body);
        {
            HookRunner r(path, path, "host1", c.foreground, lines, counters, kShort);
            r.event(event("e1"));
            r.end_cycle();
            r.drain();
        }
        EXPECT_EQ(counters.runs_ok.load(), c.ok);
        EXPECT_EQ(counters.runs_failed.load(), c.failed);
        EXPECT_EQ(counters.runs_killed.load(), c.killed);
        std::vector<std::string> want;
        if (*c.line) {
            std::string l = c.line;
            l.replace(l.find("PATH"), 4, path);
            want.push_back(l);
        }
        EXPECT_EQ(lines.all(), want);
    }
}

// The line names the path as given; the run is of the resolved one.
TEST_F(HookRunnerTest, ShownPath) {
    const std::string path = script("exit 1");
    HookRunner r("./hook-as-typed", path, "host1", true, lines_, counters_, kShort);
    cycle(r, 1, 1);
    r.drain();
    EXPECT_EQ(lines_.all(),
              std::vector<std::string>{"stderr hook ./hook-as-typed exited with status 1\n"});
}

// Far more than a pipe holds (about 2 MB), to a program that closes its
// input at once, and to one that never reads it: neither blocks the
// cycle's side nor ends this process with SIGPIPE.
TEST_F(HookRunnerTest, ProgramsThatDoNotRead) {
    const struct {
        const char* what;
        const char* body;
        uint64_t ok, killed;
    } cases[] = {
        {"closes its input at once", "exec 0<&-; touch DIR/closed; sleep 0.1", 1, 0},
        {"never reads", "touch DIR/closed; exec sleep 30", 0, 1},
    };
    const std::string big(kEventMax - 2, 'x');
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(dir_ / "closed");
        HookCounters counters;
        const std::string path = script(c.body);
        HookRunner r(path, path, "host1", true, lines_, counters, kShort);
        for (int k = 0; k < 3000; ++k) r.event(event(big));
        r.end_cycle();
        ASSERT_TRUE(wait_for(dir_ / "closed"));
        // While the run is stuck, the cycle's side goes on.
        for (int k = 0; k < 3000; ++k) r.event(event(big));
        r.end_cycle();
        r.drain();
        EXPECT_EQ(counters.runs_ok.load(), c.ok + (c.ok ? 1 : 0));
        EXPECT_EQ(counters.runs_killed.load(), c.killed * 2);
        EXPECT_EQ(counters.events.load(), 6000u);
    }
}

// A program that has gone since the start is a failed run, with its line.
TEST_F(HookRunnerTest, ProgramGone) {
    const std::string path = (dir_ / "gone").string();
    auto r = runner(path);
    cycle(*r, 1, 1);
    r->drain();
    EXPECT_EQ(counters_.runs_failed.load(), 1u);
    EXPECT_EQ(lines_.all(),
              std::vector<std::string>{"stderr hook " + path +
                                       " could not be started: No such file or directory\n"});
}

}  // namespace
}  // namespace qv
