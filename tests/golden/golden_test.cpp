// Golden replays: every line of TESTLIST runs the program over a generated
// sample capture and compares its output with the expected files, byte for
// byte. The captures are written afresh by make_captures (deterministic).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct GoldenCase {
    std::string name;
    std::string capture;
    int status = 0;
    std::vector<std::string> options;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<GoldenCase> load_cases() {
    std::vector<GoldenCase> cases;
    std::ifstream in(QV_GOLDEN_DIR "/TESTLIST");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        GoldenCase c;
        words >> c.name >> c.capture >> c.status;
        std::string w;
        while (words >> w) c.options.push_back(w);
        cases.push_back(c);
    }
    return cases;
}

std::string capture_dir() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/qv-golden-XXXXXX";
        std::string d = mkdtemp(tmpl);
        std::string cmd = std::string(QV_MAKE_CAPTURES) + " " + d;
        if (system(cmd.c_str()) != 0) ADD_FAILURE() << "make_captures failed";
        return d;
    }();
    return dir;
}

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the program in the capture directory (so file names in messages are
// as typed) with TZ=UTC, collecting both streams through files.
Result replay(const GoldenCase& c) {
    const std::string dir = capture_dir();
    const std::string out_path = dir + "/" + c.name + ".stdout";
    const std::string err_path = dir + "/" + c.name + ".stderr";
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        if (!freopen(out_path.c_str(), "w", stdout) || !freopen(err_path.c_str(), "w", stderr)) {
            _exit(126);
        }
        setenv("TZ", "UTC", 1);
        std::vector<char*> argv;
        std::string bin = QV_BINARY, r = "-r";
        std::string cap = c.capture;
        argv.push_back(bin.data());
        argv.push_back(r.data());
        argv.push_back(cap.data());
        std::vector<std::string> opts = c.options;
        for (auto& o : opts) argv.push_back(o.data());
        argv.push_back(nullptr);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    Result r;
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    return r;
}

class Golden : public testing::TestWithParam<GoldenCase> {};

TEST_P(Golden, OutputMatches) {
    const GoldenCase& c = GetParam();
    Result r = replay(c);
    const std::string base = std::string(QV_GOLDEN_DIR) + "/expected/" + c.name;
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, read_file(base + ".out"));
    EXPECT_EQ(r.err, read_file(base + ".err"));
    // The same file and options give the same output every run.
    Result again = replay(c);
    EXPECT_EQ(again.out, r.out);
}

TEST(GoldenStdin, DashReadsStandardInput) {
    // `-r -` with the capture on standard input gives what the file gives.
    const std::string dir = capture_dir();
    std::string cmd = "cd " + dir + " && TZ=UTC " QV_BINARY " -r - -w 10 < heavy.pcap";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0);
    EXPECT_EQ(out, read_file(std::string(QV_GOLDEN_DIR) + "/expected/heavy-v0.out"));
}

INSTANTIATE_TEST_SUITE_P(Replay, Golden, testing::ValuesIn(load_cases()),
                         [](const testing::TestParamInfo<GoldenCase>& info) {
                             std::string n = info.param.name;
                             for (char& ch : n) {
                                 if (ch == '-') ch = '_';
                             }
                             return n;
                         });

}  // namespace
