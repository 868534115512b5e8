// A real resolver (Debian's unbound) on 127.0.0.1 and ::1 inside the test
// namespace, asked by real clients (dnsperf, kdig) over UDP and TCP for
// names that get each common answer: NOERROR from a local zone, NXDOMAIN
// under it, SERVFAIL from a forward zone whose server never answers,
// REFUSED for a client the access rules turn away, and a TXT record too
// big for 512 bytes that comes truncated over UDP. What the program counts
// of the queries and answers, beside what tshark dissects from the same
// traffic on lo.
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "harness.h"

namespace qv::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// The metrics port, in the test's own network namespace.
constexpr uint16_t kPort = 9531;
// Lo has all of 127/8: a client that binds this address is refused.
constexpr const char* kRefusedClient = "127.0.0.3";
// A forward zone's server: a port nobody listens on, so every query to it
// fails (port unreachable, or at worst a short timeout). Not port 53, so
// that neither the program nor tshark sees the resolver's own queries.
constexpr const char* kDeadServer = "127.0.0.1@5399";

// ---------------------------------------------------------------- the page's series

const std::array<const char*, 2> kFamilies = {"ipv4", "ipv6"};
const std::array<const char*, 2> kTransports = {"udp", "tcp"};
// The answer classes the page breaks out, RCODE 0 to 5 and the rest.
const std::array<const char*, 7> kRcodes = {"NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN",
                                            "NOTIMP",  "REFUSED", "other"};

std::string rcode_class(unsigned long rcode) {
    return rcode < kRcodes.size() - 1 ? kRcodes[rcode] : "other";
}

std::string series(const char* name, const std::string& family, const std::string& transport) {
    std::string s = name;
    s.append("{family=\"").append(family).append("\",transport=\"").append(transport).append("\"");
    return s;
}

std::string queries(const std::string& family, const std::string& transport) {
    return series("quorvane_queries_total", family, transport) + "}";
}
std::string query_bytes(const std::string& family, const std::string& transport) {
    return series("quorvane_query_bytes_total", family, transport) + "}";
}
std::string answer_bytes(const std::string& family, const std::string& transport) {
    return series("quorvane_answer_bytes_total", family, transport) + "}";
}
std::string answers(const std::string& family, const std::string& transport,
                    const std::string& rcode) {
    std::string s = series("quorvane_answers_total", family, transport);
    s.append(",rcode=\"").append(rcode).append("\"}");
    return s;
}
const std::string kTruncated = "quorvane_answers_truncated_total";

// Every series of the answers and queries at 0; with bytes, the byte
// counts too.
Samples zero_series(bool bytes) {
    Samples s{{kTruncated, 0}};
    for (const char* f : kFamilies) {
        for (const char* t : kTransports) {
            s[queries(f, t)] = 0;
            if (bytes) {
                s[query_bytes(f, t)] = 0;
                s[answer_bytes(f, t)] = 0;
            }
            for (const char* r : kRcodes) s[answers(f, t, r)] = 0;
        }
    }
    return s;
}

// The query series of a set of samples alone.
Samples queries_only(const Samples& all) {
    Samples s;
    for (const auto& [name, value] : all) {
        if (name.starts_with("quorvane_queries_total{")) s[name] = value;
    }
    return s;
}

std::string describe(const Samples& s) {
    std::string out;
    for (const auto& [name, value] : s) {
        if (value != 0) out.append(name).append(" ").append(std::to_string(value)).append("\n");
    }
    return out;
}

// ---------------------------------------------------------------- the scenario

// A name the resolver knows, and the answer an allowed client gets.
struct Name {
    const char* name;
    const char* type;
    const char* rcode;
    bool too_big;  // over 512 bytes: truncated over UDP (neither client sends EDNS)
};
const std::array<Name, 8> kNames = {{
    {"www.e2e.test", "A", "NOERROR", false},
    {"www.e2e.test", "AAAA", "NOERROR", false},  // the name exists, the type not
    {"mail.e2e.test", "AAAA", "NOERROR", false},
    {"big.e2e.test", "TXT", "NOERROR", true},
    {"nope.e2e.test", "A", "NXDOMAIN", false},
    {"deep.nope.e2e.test", "AAAA", "NXDOMAIN", false},
    {"x.dead.test", "A", "SERVFAIL", false},
    {"y.dead.test", "MX", "SERVFAIL", false},
}};

// Who asks whom, how.
struct Client {
    const char* from;
    const char* server;
    const char* transport;
};

std::string family_of(const Client& c) {
    return strchr(c.server, ':') != nullptr ? "ipv6" : "ipv4";
}

// dnsperf through the whole name list `passes` times.
struct PerfRun {
    Client client;
    int passes;
};
const std::array<PerfRun, 6> kPerfRuns = {{
    {{"127.0.0.1", "127.0.0.1", "udp"}, 20},
    {{kRefusedClient, "127.0.0.1", "udp"}, 5},
    {{"::1", "::1", "udp"}, 10},
    {{"127.0.0.1", "127.0.0.1", "tcp"}, 20},
    {{kRefusedClient, "127.0.0.1", "tcp"}, 5},
    {{"::1", "::1", "tcp"}, 10},
}};

// kdig for one name. Over UDP a truncated answer makes it ask again over TCP.
struct DigRun {
    Client client;
    size_t name;  // in kNames
};
const std::array<DigRun, 7> kDigRuns = {{
    {{"127.0.0.1", "127.0.0.1", "udp"}, 0},
    {{"127.0.0.1", "127.0.0.1", "tcp"}, 4},
    {{"127.0.0.1", "127.0.0.1", "udp"}, 3},
    {{kRefusedClient, "127.0.0.1", "tcp"}, 0},
    {{kRefusedClient, "127.0.0.1", "udp"}, 6},
    {{"::1", "::1", "tcp"}, 6},
    {{"::1", "::1", "udp"}, 5},
}};

// Adds n queries of a name from a client, and their answers, to a plan.
void plan_answers(Samples& plan, const Client& c, const Name& name, double n) {
    const std::string family = family_of(c);
    const bool refused = strcmp(c.from, kRefusedClient) == 0;
    plan[queries(family, c.transport)] += n;
    plan[answers(family, c.transport, refused ? "REFUSED" : name.rcode)] += n;
    if (!refused && name.too_big && strcmp(c.transport, "udp") == 0) plan[kTruncated] += n;
}

// What the clients of the scenario should get: queries, answers by class
// and truncated answers (no byte counts: those are the resolver's to make).
Samples planned() {
    Samples plan = zero_series(false);
    for (const PerfRun& r : kPerfRuns) {
        for (const Name& name : kNames) plan_answers(plan, r.client, name, r.passes);
    }
    for (const DigRun& d : kDigRuns) {
        const Name& name = kNames[d.name];
        plan_answers(plan, d.client, name, 1);
        const bool refused = strcmp(d.client.from, kRefusedClient) == 0;
        if (name.too_big && !refused && strcmp(d.client.transport, "udp") == 0) {
            plan_answers(plan, {d.client.from, d.client.server, "tcp"}, name, 1);
        }
    }
    return plan;
}

double answers_in(const Samples& s) {
    double n = 0;
    for (const auto& [name, value] : s) {
        if (name.starts_with("quorvane_answers_total{")) n += value;
    }
    return n;
}

// ---------------------------------------------------------------- the resolver

// unbound in the foreground on 127.0.0.1 and ::1 port 53, UDP and TCP, as
// root with no chroot, its files in dir: no trust anchor, no remote
// control, no validator. Ended by SIGTERM, reaped by the destructor.
class Resolver {
  public:
    explicit Resolver(const std::string& dir)
        : process_(tool("unbound"), {"unbound", "-d", "-c", write_config(dir)}) {}
    ~Resolver() {
        process_.signal(SIGTERM);
        process_.wait_exit();
    }
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    // Its sockets are open once it says so.
    ::testing::AssertionResult wait_ready() {
        if (process_.wait_err("start of service")) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "unbound did not start: " << process_.describe();
    }
    std::string describe() const { return process_.describe(); }

  private:
    static std::string write_config(const std::string& dir) {
        const std::string path = dir + "/unbound.conf";
        const std::string txt(200, 't');
        std::ofstream f(path);
        f << "server:\n"
             "    verbosity: 1\n"
             "    num-threads: 1\n"
             "    interface: 127.0.0.1\n"
             "    interface: ::1\n"
             "    port: 53\n"
             "    do-ip4: yes\n"
             "    do-ip6: yes\n"
             "    do-udp: yes\n"
             "    do-tcp: yes\n"
             "    chroot: \"\"\n"
             "    username: \"\"\n"
             "    directory: \""
          << dir
          << "\"\n"
             "    pidfile: \""
          << dir
          << "/unbound.pid\"\n"
             "    logfile: \"\"\n"
             "    use-syslog: no\n"
             "    module-config: \"iterator\"\n"
             "    so-reuseport: no\n"
             // The forward zone's server is on this host.
             "    do-not-query-localhost: no\n"
             // Give up on it quickly: at most 300 ms a try and one retry,
             // so SERVFAIL comes well within the clients' timeouts.
             "    infra-cache-max-rtt: 300\n"
             "    unknown-server-time-limit: 100\n"
             "    outbound-msg-retry: 1\n"
             "    access-control: 127.0.0.0/8 allow\n"
             "    access-control: ::1/128 allow\n"
             "    access-control: "
          << kRefusedClient
          << "/32 refuse\n"
             // Nothing outside the two zones is ever looked up: no root
             // servers, no traffic beyond lo.
             "    local-zone: \".\" static\n"
             "    local-zone: \"e2e.test.\" static\n"
             "    local-data: \"www.e2e.test. 300 IN A 192.0.2.10\"\n"
             "    local-data: \"mail.e2e.test. 300 IN AAAA 2001:db8::25\"\n"
             "    local-data: 'big.e2e.test. 300 IN TXT \""
          << txt << "\" \"" << txt << "\" \"" << txt
          << "\"'\n"
             "    local-zone: \"dead.test.\" transparent\n"
             "forward-zone:\n"
             "    name: \"dead.test.\"\n"
             "    forward-addr: "
          << kDeadServer
          << "\n"
             "remote-control:\n"
             "    control-enable: no\n";
        return path;
    }

    Process process_;
};

// ---------------------------------------------------------------- tshark's count

const std::vector<std::string> kFields = {
    "ip.src",      "ipv6.src",           "ip.dst",          "ipv6.dst",
    "udp.srcport", "udp.dstport",        "tcp.srcport",     "tcp.dstport",
    "udp.length",  "dns.flags.response", "dns.flags.rcode", "dns.flags.truncated",
    "dns.length",  "dns.qry.name"};
enum Field {
    kIpSrc,
    kIp6Src,
    kIpDst,
    kIp6Dst,
    kUdpSrcPort,
    kUdpDstPort,
    kTcpSrcPort,
    kTcpDstPort,
    kUdpLength,
    kResponse,
    kRcode,
    kTruncatedFlag,
    kDnsLength,
    kQueryName,
};

// tshark's figures in the page's series: the answers the server sent (from
// its address and port 53) and the queries sent to it, by family and
// transport; a message's length is the UDP length less 8, or over TCP its
// 2-byte length prefix. Every DNS message of a TCP segment counts.
Samples tshark_tally(const std::string& out) {
    Samples t = zero_series(true);
    for (const std::string& line : lines_of(out)) {
        const std::vector<std::string> f = tshark_fields(line);
        if (f.size() != kFields.size()) continue;
        const bool v4 = !f[kIpSrc].empty();
        const bool udp = !f[kUdpSrcPort].empty();
        const std::string family = v4 ? "ipv4" : "ipv6";
        const std::string transport = udp ? "udp" : "tcp";
        const std::string server = v4 ? "127.0.0.1" : "::1";
        const std::string& src = f[v4 ? kIpSrc : kIp6Src];
        const std::string& dst = f[v4 ? kIpDst : kIp6Dst];
        const std::string& sport = f[udp ? kUdpSrcPort : kTcpSrcPort];
        const std::string& dport = f[udp ? kUdpDstPort : kTcpDstPort];
        const std::vector<std::string> response = occurrences(f[kResponse]);
        const std::vector<std::string> rcodes = occurrences(f[kRcode]);  // answers only
        const std::vector<std::string> tc = occurrences(f[kTruncatedFlag]);
        const std::vector<std::string> lengths = occurrences(f[kDnsLength]);
        size_t answer = 0;
        for (size_t k = 0; k < response.size(); ++k) {
            double bytes = -1;  // shows as a mismatch if tshark gave none
            if (udp && !f[kUdpLength].empty()) bytes = std::stod(f[kUdpLength]) - 8;
            if (!udp && k < lengths.size()) bytes = std::stod(lengths[k]);
            if (response[k] == "1") {
                const std::string rcode =
                    answer < rcodes.size() ? rcode_class(std::stoul(rcodes[answer])) : "none";
                ++answer;
                if (src != server || sport != "53") continue;
                t[answers(family, transport, rcode)] += 1;
                t[answer_bytes(family, transport)] += bytes;
                if (k < tc.size() && tc[k] == "1") t[kTruncated] += 1;
            } else if (dst == server && dport == "53") {
                t[queries(family, transport)] += 1;
                t[query_bytes(family, transport)] += bytes;
            }
        }
    }
    return t;
}

// ---------------------------------------------------------------- the test

std::optional<double> sample(uint16_t port, const std::string& name) {
    const std::optional<std::string> page = metrics_page(port);
    if (!page) return std::nullopt;
    const Samples s = samples_of(*page);
    const auto it = s.find(name);
    if (it == s.end()) return std::nullopt;
    return it->second;
}

class AnswersServer : public E2eTest {
  protected:
    void SetUp() override {
        E2eTest::SetUp();
        if (HasFatalFailure()) return;
        for (const char* t : {"unbound", "dnsperf", "kdig", "tshark"}) {
            ASSERT_FALSE(tool(t).empty())
                << t << " is not installed: scripts/install-deps installs it";
        }
        char tmpl[] = "/tmp/qv-answers-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::ofstream names(dir_ + "/names");
        for (const Name& n : kNames) names << n.name << " " << n.type << "\n";
        names.close();
        resolver_ = std::make_unique<Resolver>(dir_);
        ASSERT_TRUE(resolver_->wait_ready());
    }
    void TearDown() override {
        resolver_.reset();
        if (!dir_.empty()) std::system(("rm -rf " + dir_).c_str());
        E2eTest::TearDown();
    }

    // Injects a type-0 query (a frame the program sees but counts as no
    // query) from 10.255.53.1 to another address every 50 ms until tshark
    // has dissected one and, if program, the page counts one.
    ::testing::AssertionResult probe(const std::string& label, Tshark& tshark, bool program) {
        FrameInjector injector;
        const std::string name = label + ".probe";
        const std::string type0 = R"(quorvane_frames_total{result="type0"})";
        const double before = program ? sample(kPort, type0).value_or(0) : 0;
        bool seen_by_tshark = false, seen_by_program = !program;
        const auto deadline = Clock::now() + kWait;
        while (!(seen_by_tshark && seen_by_program)) {
            if (Clock::now() >= deadline) {
                return ::testing::AssertionFailure() << "no " << label << " probe seen by "
                                                     << (seen_by_tshark ? "the program" : "tshark")
                                                     << "\ntshark: " << tshark.describe();
            }
            qv::test::FrameSpec s = query_from({10, 255, 53, 1}, {label, "probe"});
            s.qtype = 0;
            s.src_port = static_cast<uint16_t>(20000 + ++probes_ % 20000);
            injector.send(qv::test::build_frame(s));
            seen_by_tshark = seen_by_tshark || tshark.wait_until(
                                                   [&](const std::string& out) {
                                                       return out.find(name) != std::string::npos;
                                                   },
                                                   Duration(50));
            if (!seen_by_program) seen_by_program = sample(kPort, type0).value_or(0) > before;
            if (seen_by_tshark && !seen_by_program) std::this_thread::sleep_for(Duration(50));
        }
        return ::testing::AssertionSuccess();
    }

    // Runs every client of the scenario to its end.
    void run_clients() {
        const std::regex sent_re("Queries sent: +([0-9]+)"),
            done_re("Queries completed: +([0-9]+)");
        for (const PerfRun& r : kPerfRuns) {
            SCOPED_TRACE(std::string("dnsperf from ") + r.client.from + " over " +
                         r.client.transport);
            const std::string report =
                run_tool({"dnsperf", "-s", r.client.server, "-a", r.client.from, "-m",
                          r.client.transport, "-d", dir_ + "/names", "-n", std::to_string(r.passes),
                          "-c", "2", "-q", "10", "-t", "10"},
                         Duration(60000));
            std::smatch sent, done;
            ASSERT_TRUE(std::regex_search(report, sent, sent_re)) << report;
            ASSERT_TRUE(std::regex_search(report, done, done_re)) << report;
            const size_t want = static_cast<size_t>(r.passes) * kNames.size();
            ASSERT_EQ(std::stoul(sent[1]), want) << report;
            ASSERT_EQ(std::stoul(done[1]), want) << "answers lost: " << report;
        }
        for (const DigRun& d : kDigRuns) {
            const Name& n = kNames[d.name];
            SCOPED_TRACE(std::string("kdig from ") + d.client.from + " over " + d.client.transport +
                         " for " + n.name);
            // UDP is kdig's default; +notcp would also stop its retry over TCP.
            std::vector<std::string> argv = {"kdig",        "-b",
                                             d.client.from, std::string("@") + d.client.server,
                                             "+retry=0",    "+timeout=10"};
            if (strcmp(d.client.transport, "tcp") == 0) argv.push_back("+tcp");
            argv.push_back(n.name);
            argv.push_back(n.type);
            const std::string out = run_tool(argv);
            const bool refused = strcmp(d.client.from, kRefusedClient) == 0;
            EXPECT_NE(out.find(std::string("status: ") + (refused ? "REFUSED" : n.rcode)),
                      std::string::npos)
                << out;
        }
    }

    // The whole scenario with the program watching lo, with -R when
    // with_answers: tshark sees what the scenario means to make, and the
    // page counts what tshark saw (the answers only with -R), still so a
    // cycle later.
    void run(bool with_answers) {
        std::vector<std::string> args;
        if (with_answers) args.push_back("-R");
        for (const char* a : {"-b", "-Q", "-i", "lo", "-w", "2", "-P"}) args.push_back(a);
        args.push_back("127.0.0.1:");
        args.back().append(std::to_string(kPort));
        Tshark tshark("port 53", kFields, dir_);
        Process program = start_program(args);
        ASSERT_TRUE(probe("ready", tshark, true)) << program.describe();

        run_clients();
        if (HasFatalFailure()) return;

        const Samples plan = planned();
        tshark.wait_until(
            [&](const std::string& out) {
                return answers_in(tshark_tally(out)) >= answers_in(plan);
            },
            Duration(20000));
        ASSERT_TRUE(probe("end", tshark, false));
        const Samples seen = tshark_tally(tshark.out());
        RecordProperty("tshark", describe(seen));
        ASSERT_EQ(mismatches(seen, plan), "")
            << "tshark saw other traffic than the scenario's:\n"
            << describe(seen) << "\nresolver: " << resolver_->describe();

        const Samples want = with_answers ? seen : queries_only(seen);
        const auto deadline = Clock::now() + Duration(20000);
        std::string last = "no page read";
        for (;;) {
            if (const std::optional<std::string> page = metrics_page(kPort)) {
                last = mismatches(samples_of(*page), want);
                if (last.empty()) break;
            }
            if (Clock::now() >= deadline) {
                FAIL() << "the page never held what tshark saw:\n" << last << program.describe();
            }
            std::this_thread::sleep_for(Duration(100));
        }
        // Nothing more is counted once a further cycle has passed.
        const std::string cycle = "quorvane_last_cycle_timestamp_seconds";
        const double matched = sample(kPort, cycle).value_or(0);
        for (;;) {
            const std::optional<std::string> page = metrics_page(kPort);
            const Samples s = page ? samples_of(*page) : Samples{};
            if (s.contains(cycle) && s.at(cycle) > matched) {
                EXPECT_EQ(mismatches(s, want), "") << "a cycle later";
                break;
            }
            if (Clock::now() >= deadline + Duration(10000))
                FAIL() << "no cycle after " << matched << ": " << program.describe();
            std::this_thread::sleep_for(Duration(100));
        }
    }

    std::string dir_;
    std::unique_ptr<Resolver> resolver_;
    int probes_ = 0;
};

// Without -R: the queries the clients sent to the resolver, per family and
// transport, as tshark counts them, whatever the answers.
TEST_F(AnswersServer, QueriesCountedAsTsharkSeesThem) {
    run(false);
}

// With -R: also the answers by class, the truncated ones and the bytes of
// the queries and answers, per family and transport, as tshark counts them.
TEST_F(AnswersServer, AnswersCountedAsTsharkSeesThem) {
    run(true);
}

}  // namespace
}  // namespace qv::e2e
