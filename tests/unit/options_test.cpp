// The command line: option values, the address rule, the post-parse rules.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <list>
#include <string>
#include <vector>

#include "control/options.h"
#include "usage_text.h"

namespace qv {
namespace {

struct Parsed {
    // argv: the settings may point into it, so its texts must not move when
    // a Parsed does (a list's elements stay where they are).
    std::list<std::string> words;
    Settings s;
    ParseResult r;
    std::string err;
};

Parsed parse(std::vector<std::string> words) {
    Parsed p;
    p.words.assign(words.begin(), words.end());
    p.words.push_front("quorvane");
    std::vector<char*> argv;
    for (auto& w : p.words) argv.push_back(w.data());
    argv.push_back(nullptr);
    char* buf = nullptr;
    size_t len = 0;
    FILE* err = open_memstream(&buf, &len);
    p.r = parse_command_line(static_cast<int>(p.words.size()), argv.data(), p.s, err);
    fclose(err);
    p.err.assign(buf, len);
    free(buf);
    return p;
}

std::string usage_screen() { return test::usage_screen("quorvane"); }

TEST(Options, Defaults) {
    auto p = parse({"-b"});
    ASSERT_TRUE(p.r.run);
    EXPECT_EQ(p.s.threshold, 60u);
    EXPECT_EQ(p.s.alarm_reset, 90);
    EXPECT_EQ(p.s.stats_interval, 20u);
    EXPECT_EQ(p.s.bucket_count, 10000);
    EXPECT_EQ(p.s.totals_interval, 0);
    EXPECT_STREQ(p.s.collector_addr, "226.1.1.2");
    EXPECT_EQ(p.s.collector_port, 2000);
    EXPECT_EQ(p.s.foreground, 1);
    EXPECT_EQ(p.s.verbosity, 0);
    EXPECT_EQ(p.s.addr_filter, nullptr);
    EXPECT_EQ(p.s.device, nullptr);
    EXPECT_TRUE(p.err.empty());
}

TEST(Options, NumericValuesAndTheirRanges) {
    const struct {
        std::vector<std::string> words;
        uint32_t threshold;
        int32_t alarm_reset;
        uint32_t stats_interval;
        int32_t bucket_count;
        int32_t totals_interval;
        int32_t port;
    } cases[] = {
        {{"-t", "0"}, 60, 90, 20, 10000, 0, 2000},
        {{"-t", "80", "-t", "0"}, 80, 90, 20, 10000, 0, 2000},
        {{"-t", "-80"}, 80, 90, 20, 10000, 0, 2000},
        {{"-t", "abc", "-m", "abc"}, 60, 90, 20, 10000, 0, 2000},
        {{"-t100"}, 100, 90, 20, 10000, 0, 2000},
        {{"-a", "10"}, 60, 90, 20, 10000, 0, 2000},
        {{"-a", "11"}, 60, 11, 20, 10000, 0, 2000},
        {{"-a", "-30"}, 60, 30, 20, 10000, 0, 2000},
        {{"-w", "1"}, 60, 90, 20, 10000, 0, 2000},
        {{"-w", "2"}, 60, 90, 2, 10000, 0, 2000},
        {{"-x", "10"}, 60, 90, 20, 10000, 0, 2000},
        {{"-x", "11"}, 60, 90, 20, 11, 0, 2000},
        {{"-m", "-30"}, 60, 90, 20, 10000, 30, 2000},
        {{"-m", "0"}, 60, 90, 20, 10000, 0, 2000},
        {{"-p", "-1"}, 60, 90, 20, 10000, 0, -1},
        {{"-p", "70000"}, 60, 90, 20, 10000, 0, 70000},
        {{"-t", " 42x"}, 42, 90, 20, 10000, 0, 2000},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words = c.words;
        words.push_back("-b");
        auto p = parse(words);
        SCOPED_TRACE(words[0] + " " + (words.size() > 1 ? words[1] : ""));
        ASSERT_TRUE(p.r.run);
        EXPECT_EQ(p.s.threshold, c.threshold);
        EXPECT_EQ(p.s.alarm_reset, c.alarm_reset);
        EXPECT_EQ(p.s.stats_interval, c.stats_interval);
        EXPECT_EQ(p.s.bucket_count, c.bucket_count);
        EXPECT_EQ(p.s.totals_interval, c.totals_interval);
        EXPECT_EQ(p.s.collector_port, c.port);
    }
}

TEST(Options, PrefixLengths) {
    // Absolute values; out of range leaves the setting as it was.
    const struct {
        std::vector<std::string> words;
        int32_t v4;
        int32_t v6;
    } cases[] = {
        {{}, 32, 64},
        {{"-4", "24", "-6", "48"}, 24, 48},
        {{"-4", "-8", "-6", "-128"}, 8, 128},
        {{"-4", "7", "-6", "15"}, 32, 64},
        {{"-4", "33", "-6", "129"}, 32, 64},
        {{"-4", "16", "-4", "40"}, 16, 64},
        {{"-6", "56", "-6", "0"}, 32, 56},
        {{"-4", "x", "-6", "y"}, 32, 64},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words = c.words;
        words.push_back("-b");
        auto p = parse(words);
        ASSERT_TRUE(p.r.run);
        EXPECT_EQ(p.s.v4_prefix, c.v4) << testing::PrintToString(c.words);
        EXPECT_EQ(p.s.v6_prefix, c.v6) << testing::PrintToString(c.words);
    }
}

TEST(Options, ZoneOptions) {
    const struct {
        std::vector<std::string> words;
        uint32_t threshold;
        int32_t zones;
    } cases[] = {
        {{}, 0, 10000},
        {{"-T", "1000"}, 1000, 10000},
        {{"-T", "-500", "-Z", "-20"}, 500, 20},
        {{"-T", "1000", "-T", "0"}, 0, 10000},
        {{"-Z", "10"}, 0, 10000},
        {{"-Z", "11"}, 0, 11},
        {{"-T", "x", "-Z", "y"}, 0, 10000},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words = c.words;
        words.push_back("-b");
        auto p = parse(words);
        ASSERT_TRUE(p.r.run);
        EXPECT_EQ(p.s.zone_threshold, c.threshold) << testing::PrintToString(c.words);
        EXPECT_EQ(p.s.zone_count, c.zones) << testing::PrintToString(c.words);
    }
}

// -B as -t: the absolute value, 0 or no number ignored; a threshold turns
// on -R, which also stands alone.
TEST(Options, AnswerOptions) {
    const struct {
        std::vector<std::string> words;
        int32_t count_answers;
        uint32_t bytes;
    } cases[] = {
        {{}, 0, 0},
        {{"-R"}, 1, 0},
        {{"-B", "5000"}, 1, 5000},
        {{"-B", "-5000"}, 1, 5000},
        {{"-B", "0"}, 0, 0},
        {{"-B", "x"}, 0, 0},
        {{"-B", "5000", "-B", "0"}, 1, 5000},
        {{"-B", "5000", "-B", "x"}, 1, 5000},
        {{"-B", "5000", "-B", "700"}, 1, 700},
        {{"-R", "-B", "0"}, 1, 0},
        {{"-B", "2147483648"}, 1, 2147483647},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words = c.words;
        words.push_back("-b");
        auto p = parse(words);
        ASSERT_TRUE(p.r.run);
        EXPECT_EQ(p.s.count_answers, c.count_answers) << testing::PrintToString(c.words);
        EXPECT_EQ(p.s.answer_bytes_threshold, c.bytes) << testing::PrintToString(c.words);
        EXPECT_TRUE(p.err.empty());
    }
}

// -e: an executable file is taken, resolved to an absolute path; anything
// else is refused before the program starts.
TEST(Options, HookProgram) {
    char tmpl[] = "/tmp/qv-options-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string hook = dir + "/hook";
    const std::string plain = dir + "/plain";
    for (const auto& [path, mode] : {std::pair{hook, 0755}, std::pair{plain, 0644}}) {
        FILE* f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs("#!/bin/sh\n", f);
        fclose(f);
        chmod(path.c_str(), static_cast<mode_t>(mode));
    }
    const struct {
        std::string path;
        const char* why;  // null: taken
    } cases[] = {
        {hook, nullptr},
        {dir + "/./hook", nullptr},
        {dir + "/missing", "No such file or directory"},
        {dir, "Is a directory"},
        {"/dev/null", "Permission denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto p = parse({"-e", c.path, "-b"});
        if (c.why == nullptr) {
            ASSERT_TRUE(p.r.run);
            EXPECT_STREQ(p.s.hook_program, c.path.c_str());
            EXPECT_EQ(std::string(p.s.hook_path), hook);
            EXPECT_TRUE(p.err.empty());
        } else {
            EXPECT_FALSE(p.r.run);
            EXPECT_EQ(p.r.status, 1);
            EXPECT_EQ(p.err, "unable to run hook " + c.path + ": " + c.why + "\n");
        }
    }
    // Not executable (no execute bit, so not even for root).
    auto p = parse({"-e", plain, "-b"});
    EXPECT_FALSE(p.r.run);
    EXPECT_EQ(p.err, "unable to run hook " + plain + ": Permission denied\n");
    auto none = parse({"-b"});
    EXPECT_EQ(none.s.hook_program, nullptr);
    EXPECT_EQ(none.s.hook_path, nullptr);
    unlink(hook.c_str());
    unlink(plain.c_str());
    rmdir(dir.c_str());
}

TEST(Options, FlagsAndTexts) {
    auto p = parse({"-vvv", "-b", "-s", "-Q", "-i", "eth0", "-i", "lo", "-z", "192.0.2.9"});
    ASSERT_TRUE(p.r.run);
    EXPECT_EQ(p.s.verbosity, 3);
    EXPECT_EQ(p.s.send_json, 1);
    EXPECT_EQ(p.s.no_local_filter, 1);
    EXPECT_STREQ(p.s.device, "lo");
    EXPECT_STREQ(p.s.collector_addr, "192.0.2.9");

    auto both = parse({"-b", "-d"});
    ASSERT_TRUE(both.r.run);
    EXPECT_EQ(both.s.foreground, 1);

    auto dump = parse({"-d", "-D"});
    ASSERT_TRUE(dump.r.run);
    EXPECT_EQ(dump.s.foreground, 1);
    EXPECT_EQ(dump.s.daemon_mode, 0);
    EXPECT_EQ(dump.s.dump_packets, 1);

    auto replay = parse({"-r", "x.pcap", "-d"});
    ASSERT_TRUE(replay.r.run);
    EXPECT_EQ(replay.s.foreground, 1);
    EXPECT_EQ(replay.s.daemon_mode, 0);
    EXPECT_STREQ(replay.s.read_file, "x.pcap");

    auto daemon = parse({"-d"});
    ASSERT_TRUE(daemon.r.run);
    EXPECT_EQ(daemon.s.foreground, 0);
    EXPECT_EQ(daemon.s.daemon_mode, 1);
}

TEST(Options, AddressRule) {
    auto first = parse({"-b", "-A", "192.0.2.1", "-A", "198.51.100.7"});
    ASSERT_TRUE(first.r.run);
    EXPECT_STREQ(first.s.addr_filter, "192.0.2.1");
    EXPECT_TRUE(first.err.empty());

    auto short_form = parse({"-b", "-A", "10", "-M", "0xffffff00"});
    ASSERT_TRUE(short_form.r.run);
    EXPECT_STREQ(short_form.s.addr_filter, "10");
    EXPECT_STREQ(short_form.s.mask_filter, "0xffffff00");

    // A rejected text leaves the field free for the next one, but the usage
    // screen still ends the run.
    auto bad = parse({"-b", "-A", "300.1.1.1", "-A", "192.0.2.1"});
    EXPECT_FALSE(bad.r.run);
    EXPECT_EQ(bad.r.status, 1);
    EXPECT_STREQ(bad.s.addr_filter, "192.0.2.1");
    EXPECT_EQ(bad.err, "Invalid filter address \"300.1.1.1\"\n" + usage_screen());

    auto v6 = parse({"-b", "-A", "2001:db8::53", "-M", "64", "-z", "ff05::1:3"});
    ASSERT_TRUE(v6.r.run);
    EXPECT_STREQ(v6.s.addr_filter, "2001:db8::53");
    EXPECT_STREQ(v6.s.mask_filter, "64");
    EXPECT_STREQ(v6.s.collector_addr, "ff05::1:3");

    auto bad_v6 = parse({"-b", "-A", "2001:db8::53::1"});
    EXPECT_EQ(bad_v6.err, "Invalid filter address \"2001:db8::53::1\"\n" + usage_screen());
    auto bad_collector = parse({"-b", "-z", "::1::"});
    EXPECT_FALSE(bad_collector.r.run);
    EXPECT_EQ(bad_collector.err, "Invalid collector address \"::1::\"\n");

    auto metrics = parse({"-b", "-P", "[::1]:9153"});
    ASSERT_TRUE(metrics.r.run);
    EXPECT_STREQ(metrics.s.metrics_addr, "[::1]:9153");
    auto bad_metrics = parse({"-b", "-P", "localhost:9153"});
    EXPECT_FALSE(bad_metrics.r.run);
    EXPECT_EQ(bad_metrics.r.status, 1);
    EXPECT_EQ(bad_metrics.err, "Invalid metrics address \"localhost:9153\"\n" + usage_screen());

    auto bad_mask = parse({"-b", "-M", "nope"});
    EXPECT_EQ(bad_mask.err, "Invalid filter mask \"nope\"\n" + usage_screen());
}

TEST(Options, PostParseRulesInTheirOrder) {
    const struct {
        std::vector<std::string> words;
        bool run;
        std::string err;
    } cases[] = {
        {{}, false,
         "quorvane couldn't start\nYou must specify either -d (daemon) or -b (peekline)\n"},
        {{"-h"}, false, usage_screen()},
        {{"-h", "-b"}, false, usage_screen()},
        {{"-b", "extra"}, false, usage_screen()},
        {{"extra", "-b"}, false, usage_screen()},  // parsing stops at the first non-option
        {{"-b", "--"}, true, ""},
        {{"-b", "-Q", "-A", "192.0.2.1"}, false,
         "quorvane couldn't start\nYou can't specify both -A (address filter) and -Q (no filter)\n"},
        {{"-Q", "-A", "192.0.2.1"}, false,
         "quorvane couldn't start\nYou can't specify both -A (address filter) and -Q (no filter)\n"},
        {{"-b", "-Q", "-M", "255.255.255.0"}, true, ""},
        {{"-h", "-Q", "-A", "192.0.2.1"}, false, usage_screen()},
        {{"-b", "-z", "not-an-address"}, false, "Invalid collector address \"not-an-address\"\n"},
        {{"-b", "-z", "10"}, true, ""},
        {{"-r", "x.pcap", "-i", "lo"}, false,
         "quorvane couldn't start\nYou can't specify both -i (device) and -r (file)\n"},
        {{"-r", "x.pcap", "-Q", "-A", "192.0.2.1"}, false,
         "quorvane couldn't start\nYou can't specify both -A (address filter) and -Q (no filter)\n"},
        {{"-b", "-u", "no-such-user-here"}, false, "unknown user no-such-user-here\n"},
        {{"-b", "-u", "root"}, true, ""},
    };
    for (const auto& c : cases) {
        auto p = parse(c.words);
        std::string joined;
        for (const auto& w : c.words) joined += w + " ";
        SCOPED_TRACE(joined);
        EXPECT_EQ(p.r.run, c.run);
        if (!c.run) {
            EXPECT_EQ(p.r.status, 1);
        }
        EXPECT_EQ(p.err, c.err);
    }
}

TEST(Options, UnknownOptionAndMissingArgumentAreIgnored) {
    auto unknown = parse({"-b", "-y"});
    EXPECT_TRUE(unknown.r.run);
    auto missing = parse({"-b", "-t"});
    EXPECT_TRUE(missing.r.run);
    EXPECT_EQ(missing.s.threshold, 60u);
}

}  // namespace
}  // namespace qv
