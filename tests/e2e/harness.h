// The end-to-end harness: runs the real program inside private network and
// mount namespaces, feeds it frames on lo and watches everything it can
// emit (stdout, stderr, syslog, UDP datagrams, its exit status).
//
// The namespaces are entered once, before the first test, by the whole test
// process; every child inherits them. Nothing here ever sends outside the
// private loopback.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "frames.h"

namespace qv::e2e {

using Duration = std::chrono::milliseconds;
// Long enough for a loaded machine; only failures ever wait this long.
inline constexpr Duration kWait{10000};

// ---------------------------------------------------------------- set-up

// Whether the namespaces, /dev/log and the subreaper are in place, and why not.
bool environment_ready();
const std::string& environment_error();

// Base fixture of every e2e test: fails at once when the environment is not
// ready, clears the syslog listener, and at the end kills and reaps whatever
// children are left.
class E2eTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

// ---------------------------------------------------------------- processes

// Exit descriptions, as Process::wait_exit and wait_exit_of return them.
std::string exited(int status);     // "exited N"
std::string killed_by(int signal);  // "killed by signal N"
inline constexpr const char* kStillRunning = "still running";

enum class Stdout {
    pty,   // line-buffered in the child: lines show up while it runs
    pipe,  // fully buffered in the child: everything shows up at exit
};

// A child process with stdin on /dev/null and stdout and stderr collected
// by a reader thread. It leads its own process group. The destructor kills
// the group and reaps the child.
class Process {
  public:
    // Runs path with argv (argv[0] included) in the test namespaces; throws
    // when they are not ready or the child cannot be made.
    Process(const std::string& path, std::vector<std::string> argv, Stdout kind = Stdout::pty);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    std::string out() const;
    std::string err() const;

    // Waits until pred(stdout, stderr) holds, both streams are closed, or the
    // timeout passes; returns whether pred holds.
    bool wait_until(const std::function<bool(const std::string&, const std::string&)>& pred,
                    Duration timeout = kWait);
    bool wait_out(std::string_view text, Duration timeout = kWait);
    bool wait_err(std::string_view text, Duration timeout = kWait);

    // Reaps the child once it has exited and collects what it wrote; returns
    // exited(N), killed_by(N), or kStillRunning after the timeout.
    std::string wait_exit(Duration timeout = kWait);
    bool running() const;
    void signal(int sig);
    // SIGKILL to the child's process group, then reaps it.
    void kill();

    // pid, status so far, stdout and stderr: for failure messages.
    std::string describe() const;

  private:
    void pump();
    void sync_output();

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    int wake_fd_ = -1;
    bool reaped_ = false;
    std::string status_;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::string out_;
    std::string err_;
    bool out_open_ = true;
    bool err_open_ = true;
    bool stop_ = false;
    bool pump_done_ = false;
    uint64_t sync_wanted_ = 0;
    uint64_t sync_done_ = 0;
    std::thread reader_;
};

// The program under test, QV_BINARY, with args; argv[0] is the binary's path
// unless given.
Process start_program(const std::vector<std::string>& args, Stdout kind = Stdout::pty);
Process start_program_as(const std::string& argv0, const std::vector<std::string>& args,
                         Stdout kind = Stdout::pty);

// The complete lines of a text (a last line without '\n' is left out).
std::vector<std::string> lines_of(const std::string& text);

// ---------------------------------------------------------------- other programs

// The path of a program on PATH (or in /usr/sbin and /sbin, which a
// non-login root shell may lack), or "" when it is not installed.
std::string tool(const std::string& name);

// Runs the program argv[0] (found by tool) to its end, with the timeout;
// adds a failure unless it exits 0. Its standard output.
std::string run_tool(const std::vector<std::string>& argv, Duration timeout = Duration(30000));

// tshark capturing on lo, printing the fields of every frame it dissects
// as one line, tab-separated (several occurrences of a field in a frame,
// such as the DNS messages of one TCP segment, comma-separated). Its
// temporary capture file goes into temp_dir.
class Tshark {
  public:
    Tshark(const std::string& capture_filter, const std::vector<std::string>& fields,
           const std::string& temp_dir, const std::string& display_filter = "");
    // Ends it by a signal it handles, so that it removes its temporary file.
    ~Tshark();
    Tshark(const Tshark&) = delete;
    Tshark& operator=(const Tshark&) = delete;

    std::string out() const { return process_.out(); }
    // Waits until pred(stdout) holds or the timeout passes; whether it holds.
    bool wait_until(const std::function<bool(const std::string&)>& pred, Duration timeout = kWait);
    std::string describe() const { return process_.describe(); }

  private:
    static std::vector<std::string> argv(const std::string& capture_filter,
                                         const std::vector<std::string>& fields,
                                         const std::string& temp_dir,
                                         const std::string& display_filter);
    Process process_;
};

// The fields of one of Tshark's lines, and the occurrences of one field.
std::vector<std::string> tshark_fields(const std::string& line);
std::vector<std::string> occurrences(const std::string& field);

// Returns just after the wall clock's second has turned. The program rates a
// source over the whole seconds since its first query of the cycle, so a
// source whose first query falls in the second after the cycle's is not
// rated in it. A test that waits for rates starts the program here: its
// cycles then fall early in their seconds, and a source sending every few
// tens of milliseconds is rated in each of them.
void await_second_turn();

// ---------------------------------------------------------------- frames

using Ipv4 = std::array<uint8_t, 4>;
std::string ip_text(const Ipv4& a);
using Ipv6 = std::array<uint8_t, 16>;
// The address of an IPv6 text; throws when it does not parse.
Ipv6 ipv6(const std::string& text);
std::string ip_text(const Ipv6& a);

// A query frame from src (the builder's defaults otherwise: to 192.0.2.53 or
// 2001:db8::53).
qv::test::FrameSpec query_from(const Ipv4& src, std::vector<std::string> labels = {"abc", "de"});
qv::test::FrameSpec query_from6(const Ipv6& src, std::vector<std::string> labels = {"abc", "de"});

// The DNS message of a query (what a resolver writes into a UDP datagram).
std::vector<uint8_t> dns_query(const std::vector<std::string>& labels, uint16_t qtype = 1);

// The program's -D line for a query, without the newline.
std::string dump_line(const Ipv4& src, const char* proto, unsigned qtype,
                      const std::string& domain);
// The same for a source given as text (any family).
std::string dump_line_text(const std::string& src, const char* proto, unsigned qtype,
                           const std::string& domain);

// Sends raw frames out of an interface through an AF_PACKET socket. On lo,
// each frame comes back in and a capture on lo sees it once.
class FrameInjector {
  public:
    explicit FrameInjector(const char* ifname = "lo");
    ~FrameInjector();
    FrameInjector(const FrameInjector&) = delete;
    FrameInjector& operator=(const FrameInjector&) = delete;

    void send(const std::vector<uint8_t>& frame);

  private:
    int fd_ = -1;
    int cpu_ = -1;
};

// For a program started with -b -D on lo: injects a query from probe every
// ~50 ms until its dump line (probe_line) shows up, which proves the capture
// filter is installed. The probes are counted like any query.
::testing::AssertionResult wait_capturing(Process& p, const Ipv4& probe, Duration timeout = kWait);
std::string probe_line(const Ipv4& probe);
// The same with a probe frame of the caller's (one the filter in use lets
// through) and its dump line, without the newline.
::testing::AssertionResult wait_capturing(Process& p, const qv::test::FrameSpec& probe,
                                          const std::string& line, Duration timeout = kWait);

// A DNS server on 127.0.0.1 port 53, UDP and TCP (with fast open). It reads
// a connection at most every 5 ms, so that a client's queries pile up in
// flight and go out several to a segment, as they do against a busy server.
// Each answer is the query's header with QR and RA set and its question,
// nothing else (FORMERR with the header alone when the question cannot be
// read). It keeps the names it was asked, by the sender's address.
class Responder {
  public:
    Responder();
    ~Responder();
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    // The names (without the final dot) asked from an address, in order.
    std::vector<std::string> names_from(const std::string& address) const;

  private:
    struct Conn {
        int fd;
        std::string peer;
        std::vector<uint8_t> in, out;
        std::chrono::steady_clock::time_point last_read;
    };
    void run();
    void serve_udp();
    void accept_all();
    bool serve(Conn& c, short events);
    void asked(const std::string& peer, const uint8_t* q, size_t len);

    int stop_ = -1, udp_ = -1, listener_ = -1;
    std::vector<Conn> conns_;
    mutable std::mutex mu_;
    std::map<std::string, std::vector<std::string>> names_;
    std::thread thread_;
};

// ---------------------------------------------------------------- collectors

// A UDP socket on a loopback address (127.0.0.1 or ::1) at an ephemeral port.
class UdpReceiver {
  public:
    explicit UdpReceiver(const std::string& address = "127.0.0.1");
    ~UdpReceiver();
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    uint16_t port() const { return port_; }
    // The next datagram's payload, or nothing after the timeout.
    std::optional<std::string> receive(Duration timeout = kWait);

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// Real datagrams from a UDP socket bound to a local address (port chosen by
// the kernel), as a resolver on this host would send them.
class UdpSender {
  public:
    UdpSender(const std::string& from, const std::string& to, uint16_t port);
    ~UdpSender();
    UdpSender(const UdpSender&) = delete;
    UdpSender& operator=(const UdpSender&) = delete;

    void send(const std::vector<uint8_t>& payload);

  private:
    int fd_ = -1;
    sockaddr_storage to_{};
    socklen_t to_len_ = 0;
};

// Checks one datagram of the program's JSON export: a single NUL at its end,
// at most 1199 bytes, and {"hostname": this host's name, "type": "source",
// "data": {source: count, ...}} with nothing else. A source is an address
// as inet_ntop writes it, or such an address with its host bits clear and
// "/LEN" after it (8..31 for IPv4, 16..127 for IPv6). On success, adds each
// count to counts.
// Checks the frame of one datagram: one NUL at its end, at most 1199 bytes,
// {"hostname": this host, "type": type, "data": {...}} with at least one
// entry and nothing else; j gets the object.
::testing::AssertionResult parse_datagram(const std::string& datagram, const char* type,
                                          nlohmann::json& j);

::testing::AssertionResult add_export_counts(const std::string& datagram,
                                             std::map<std::string, uint64_t>& counts);

// How the counts got differ from the expected ones: one line for each source
// missing, unexpected or miscounted; empty when they agree.
std::string count_differences(const std::map<std::string, uint64_t>& expected,
                              const std::map<std::string, uint64_t>& got);

// One message as glibc's syslog() writes it: "<PRI>Mmm dd hh:mm:ss tag[pid]: message".
struct SyslogMessage {
    int priority = -1;  // facility | level
    std::string timestamp;
    std::string tag;
    pid_t pid = -1;  // -1 without LOG_PID
    std::string message;
    std::string raw;
};
std::optional<SyslogMessage> parse_syslog(std::string_view datagram);

// The listener on /dev/log (inside the mount namespace). A thread drains the
// socket at all times so that a logging program never blocks on it.
class SyslogListener {
  public:
    std::vector<SyslogMessage> messages() const;
    void clear();
    std::optional<SyslogMessage> wait_for(const std::function<bool(const SyslogMessage&)>& pred,
                                          Duration timeout = kWait);

    // Called once by the set-up with the bound socket: starts the drain.
    void start(int fd);

  private:
    void drain(int fd);

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<SyslogMessage> messages_;
};
SyslogListener& syslog_listener();

// ---------------------------------------------------------------- HTTP

// The status and body of an HTTP answer.
struct HttpReply {
    int status = 0;
    std::string body;
};

// One HTTP/1.0 GET of path on 127.0.0.1:port, read to the close: nothing
// when no connection is made or no whole answer comes within the timeout.
std::optional<HttpReply> http_get_local(uint16_t port, const std::string& path,
                                        Duration timeout = Duration(2000));

// ---------------------------------------------------------------- metrics page

// GET /metrics on 127.0.0.1:port: the body of a 200 answer, or nothing.
std::optional<std::string> metrics_page(uint16_t port);

// Each sample line of a page: the series as written, name{labels}, to its value.
// promtool's parse and lint of a page: status 0 and nothing said.
::testing::AssertionResult promtool_accepts(const std::string& page);

using Samples = std::map<std::string, double>;
Samples samples_of(const std::string& page);

// The series of want that got lacks or holds with another value, one a line.
std::string mismatches(const Samples& got, const Samples& want);

// ---------------------------------------------------------------- Prometheus

// A Prometheus server of the test's own: configuration and storage in a
// fresh directory (removed at the end), its web side on 127.0.0.1:kPort
// inside the test namespace, scraping the page on 127.0.0.1:target as job
// quorvane every second and evaluating its rules every second. files are
// written into the directory first (name to content), and extra_config is
// appended to prometheus.yml: rule_files in it are relative to the directory.
class Prometheus {
  public:
    static constexpr uint16_t kPort = 9090;

    explicit Prometheus(uint16_t target, const std::map<std::string, std::string>& files = {},
                        const std::string& extra_config = "");
    ~Prometheus();
    Prometheus(const Prometheus&) = delete;
    Prometheus& operator=(const Prometheus&) = delete;

    // Until /-/ready answers 200; a failure when the server ends or the
    // timeout passes first.
    ::testing::AssertionResult wait_ready(Duration timeout);

    // An instant query's vector: each series' labels ("k=v,...", sorted,
    // without the name) to its value; nothing when no vector came back.
    std::optional<std::map<std::string, double>> query(const std::string& promql);

    std::string describe_process() const;

  private:
    std::string dir_;
    std::unique_ptr<Process> process_;
};

// A vector as Prometheus::query returns it, one series a line.
std::string text_of(const std::optional<std::map<std::string, double>>& v);

// A text with every byte but letters, digits and -_.~ written %XX.
std::string url_encoded(const std::string& text);

// ---------------------------------------------------------------- subreaper

// The test process is a child subreaper: a program that daemonizes leaves
// its detached child to us. These are our children that no Process owns.
std::vector<pid_t> adopted_children();
// Waits until an adopted child exists; returns the lowest pid.
std::optional<pid_t> wait_adopted(Duration timeout = kWait);
// Reaps a child of ours once it exits: exited(N), killed_by(N) or kStillRunning.
std::string wait_exit_of(pid_t child, Duration timeout = kWait);

}  // namespace qv::e2e
