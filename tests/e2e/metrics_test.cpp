// The metrics page over HTTP as its users meet it: a real Prometheus
// scraping it and finding the queries that were sent, the frame classes and
// promtool's check of the page, -P beside -u and -d, the refusals, and a
// storm of good and bad requests while queries flood in.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "harness.h"
#include "usage_text.h"

namespace qv::e2e {
namespace {

using Metrics = E2eTest;
using Clock = std::chrono::steady_clock;
using qv::test::build_frame;
using qv::test::FrameSpec;

// Ports in the test's own network namespace: nothing else listens there.
constexpr uint16_t kPort = 9530;
// Below 1024: only a process that binds it as root can serve it.
constexpr uint16_t kPrivilegedPort = 99;

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Duration>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// ---------------------------------------------------------------- HTTP by hand

// The socket address of an IPv4 or IPv6 literal and a port; 0 when host is
// neither.
socklen_t socket_address(const std::string& host, uint16_t port, sockaddr_storage* ss) {
    *ss = sockaddr_storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(ss);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(ss);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        return sizeof *v4;
    }
    if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        return sizeof *v6;
    }
    return 0;
}

// A non-blocking TCP connection to host (an IPv4 or IPv6 literal) and port,
// from the local address from when one is given; -1 when none is made by
// the deadline.
int connect_to(const std::string& host, uint16_t port, Clock::time_point deadline,
               const std::string& from = "") {
    sockaddr_storage ss, local;
    const socklen_t len = socket_address(host, port, &ss);
    const socklen_t local_len = from.empty() ? 0 : socket_address(from, 0, &local);
    if (len == 0 || (!from.empty() && (local_len == 0 || local.ss_family != ss.ss_family))) {
        return -1;
    }
    const int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (local_len != 0 && bind(fd, reinterpret_cast<sockaddr*>(&local), local_len) != 0) {
        close(fd);
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
        int err = errno;
        if (err == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            socklen_t el = sizeof err;
            if (poll(&p, 1, remaining_ms(deadline)) != 1 ||
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el) != 0) {
                err = ETIMEDOUT;
            }
        }
        if (err != 0) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

// Writes data before the deadline; false when the peer stopped taking it.
bool send_all(int fd, std::string_view data, Clock::time_point deadline) {
    while (!data.empty()) {
        const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n > 0) {
            data.remove_prefix(static_cast<size_t>(n));
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, remaining_ms(deadline)) <= 0) return false;
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}

// What the peer sends until it closes (or resets); nothing when it has not
// closed by the deadline.
std::optional<std::string> read_to_close(int fd, Clock::time_point deadline) {
    std::string out;
    char buf[16384];
    for (;;) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno == ECONNRESET) {
            return out;
        } else if (errno == EAGAIN) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, remaining_ms(deadline)) <= 0) return std::nullopt;
        } else if (errno != EINTR) {
            return out;
        }
    }
}

struct Reply {
    int status = 0;    // 0: closed without a status line
    std::string head;  // the status line and the headers
    std::string body;
};

Reply parse_reply(const std::string& raw) {
    Reply r;
    const size_t end = raw.find("\r\n\r\n");
    r.head = raw.substr(0, end);
    if (end != std::string::npos) r.body = raw.substr(end + 4);
    if (raw.starts_with("HTTP/1.") && raw.size() >= 12) r.status = std::atoi(raw.c_str() + 9);
    return r;
}

// One request on a connection of its own, the reply read to the close.
// Nothing when no connection was made or the reply did not end in time.
std::optional<Reply> exchange(const std::string& host, uint16_t port, std::string_view request,
                              bool half_close = false, Duration timeout = Duration(8000)) {
    const auto deadline = Clock::now() + timeout;
    const int fd = connect_to(host, port, deadline);
    if (fd < 0) return std::nullopt;
    // The peer may answer and close before it has read all of a request.
    send_all(fd, request, deadline);
    if (half_close) shutdown(fd, SHUT_WR);
    std::optional<std::string> raw = read_to_close(fd, deadline);
    close(fd);
    if (!raw) return std::nullopt;
    return parse_reply(*raw);
}

std::optional<Reply> http_get(uint16_t port, const std::string& path,
                              const std::string& host = "127.0.0.1",
                              Duration timeout = Duration(8000)) {
    return exchange(host, port, "GET " + path + " HTTP/1.0\r\n\r\n", false, timeout);
}

std::string describe(const std::optional<Reply>& r) {
    if (!r) return "no reply in time";
    return r->head + "\n\n" + r->body;
}

// A client that opens a request and never finishes it. One host is served
// at most 8 connections at once: clients meant to be held come from
// addresses of their own (all of 127.0.0.0/8 is the namespace's loopback).
int start_slow_client(uint16_t port, const std::string& from) {
    const auto deadline = Clock::now() + Duration(5000);
    const int fd = connect_to("127.0.0.1", port, deadline, from);
    if (fd >= 0) send_all(fd, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: 1", deadline);
    return fd;
}

// How /proc/net/tcp writes an IPv4 address and port: the address's four
// bytes read as one number in this host's byte order, then the port.
std::string proc_tcp_key(const sockaddr_in& a) {
    char text[16];
    snprintf(text, sizeof text, "%08X:%04X", static_cast<unsigned>(a.sin_addr.s_addr),
             static_cast<unsigned>(ntohs(a.sin_port)));
    return text;
}

// The peers (as proc_tcp_key writes them) of the connections to
// 127.0.0.1:port that a process holds: taken from the listen queue and not
// yet closed. A connection still waiting in the queue, or one its server
// has closed, belongs to no process and shows inode 0.
std::set<std::string> held_by_server(uint16_t port) {
    sockaddr_in server{};
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(port);
    const std::string local = proc_tcp_key(server);
    std::set<std::string> peers;
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, here, there, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> here >> there >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        if (here == local && there != "00000000:0000" && !inode.empty() && inode != "0") {
            peers.insert(there);
        }
    }
    return peers;
}

// ---------------------------------------------------------------- the page

// The query-type rows of the page, in its order.
const std::vector<std::string> kTypeRows = {
    "A",  "NS",     "CNAME", "SOA",   "PTR", "MX",  "TXT",  "AAAA", "SRV",  "NAPTR",
    "DS", "DNSKEY", "SVCB",  "HTTPS", "CAA", "ANY", "AXFR", "IXFR", "other"};

const Ipv4 kProbe{10, 255, 77, 1};

FrameSpec probe_spec() {
    FrameSpec s = query_from(kProbe, {"ready", "probe"});
    s.qtype = 0;  // counted as a frame only: the query counts stay the test's own
    return s;
}

// Sends a type-0 probe every 50 ms until the page at host:port counts one:
// the page answers and the capture runs with its filter.
::testing::AssertionResult wait_probe_on_page(uint16_t port, const std::string& host = "127.0.0.1",
                                              Duration timeout = kWait) {
    FrameInjector injector;
    const auto frame = build_frame(probe_spec());
    const auto deadline = Clock::now() + timeout;
    std::optional<Reply> r;
    for (;;) {
        injector.send(frame);
        r = http_get(port, "/metrics", host, Duration(2000));
        if (r && r->status == 200 &&
            samples_of(r->body)["quorvane_frames_total{result=\"type0\"}"] >= 1) {
            return ::testing::AssertionSuccess();
        }
        if (Clock::now() >= deadline) {
            return ::testing::AssertionFailure()
                   << "no page counting a probe on " << host << ":" << port << ": " << describe(r);
        }
        std::this_thread::sleep_for(Duration(50));
    }
}

// Reads the page until it holds every series of want with its value.
::testing::AssertionResult wait_page_holds(uint16_t port, const Samples& want,
                                           Duration timeout = Duration(20000),
                                           std::string* page = nullptr) {
    const auto deadline = Clock::now() + timeout;
    std::string last = "no page read";
    for (;;) {
        std::optional<Reply> r = http_get(port, "/metrics");
        if (r && r->status == 200) {
            last = mismatches(samples_of(r->body), want);
            if (page != nullptr) *page = r->body;
            if (last.empty()) return ::testing::AssertionSuccess();
        } else {
            last = describe(r);
        }
        if (Clock::now() >= deadline) {
            return ::testing::AssertionFailure() << "the page never held what was sent:\n" << last;
        }
        std::this_thread::sleep_for(Duration(100));
    }
}

// ---------------------------------------------------------------- DNS over TCP

// A query message: header with RD, one question of class IN.
std::string dns_query(const std::vector<std::string>& labels, uint16_t qtype) {
    std::string m = {'\x4a', '\x21', '\x01', '\x00', '\x00', '\x01',
                     '\0',   '\0',   '\0',   '\0',   '\0',   '\0'};
    for (uint8_t b : qv::test::wire_name(labels)) m += static_cast<char>(b);
    m += static_cast<char>(qtype >> 8);
    m += static_cast<char>(qtype & 0xff);
    m += std::string("\x00\x01", 2);
    return m;
}

std::string with_length(const std::string& message) {
    return std::string{static_cast<char>(message.size() >> 8),
                       static_cast<char>(message.size() & 0xff)} +
           message;
}

// A DNS server's TCP socket on port 53 of the loopback address of a family.
class Port53 {
  public:
    explicit Port53(int family) : family_(family) {
        fd_ = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + strerror(errno));
        sockaddr_storage ss = address();
        if (bind(fd_, reinterpret_cast<sockaddr*>(&ss), length()) != 0 || listen(fd_, 16) != 0)
            throw std::runtime_error(std::string("bind or listen on port 53: ") + strerror(errno));
    }
    ~Port53() { close(fd_); }
    Port53(const Port53&) = delete;
    Port53& operator=(const Port53&) = delete;

    // One connection as a client makes it: handshake, the messages each
    // behind its length (the first two in one write), FIN; this side reads
    // to the end and closes too.
    ::testing::AssertionResult exchange(const std::vector<std::string>& messages) {
        const auto deadline = Clock::now() + kWait;
        const int client = socket(family_, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (client < 0) return ::testing::AssertionFailure() << "socket: " << strerror(errno);
        const timeval limit{10, 0};
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_storage ss = address();
        if (connect(client, reinterpret_cast<sockaddr*>(&ss), length()) != 0) {
            const int err = errno;
            close(client);
            return ::testing::AssertionFailure() << "connect to port 53: " << strerror(err);
        }
        bool sent = true;
        for (size_t i = 0; i < messages.size(); ++i) {
            std::string chunk = with_length(messages[i]);
            if (i == 0 && messages.size() > 1) chunk += with_length(messages[++i]);
            sent = sent && send_all(client, chunk, deadline);
        }
        shutdown(client, SHUT_WR);
        const int server = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        std::optional<std::string> got;
        if (server >= 0) {
            got = read_to_close(server, deadline);
            close(server);
        }
        std::string expected;
        for (const auto& m : messages) expected += with_length(m);
        // The client's side sees the server's FIN.
        char c;
        const bool closed = server >= 0 && recv(client, &c, 1, 0) == 0;
        close(client);
        if (!sent || !got || *got != expected || !closed)
            return ::testing::AssertionFailure() << "the TCP exchange did not go through";
        return ::testing::AssertionSuccess();
    }

  private:
    sockaddr_storage address() const {
        sockaddr_storage ss{};
        if (family_ == AF_INET) {
            auto* a = reinterpret_cast<sockaddr_in*>(&ss);
            a->sin_family = AF_INET;
            a->sin_port = htons(53);
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        } else {
            auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
            a->sin6_family = AF_INET6;
            a->sin6_port = htons(53);
            a->sin6_addr = in6addr_loopback;
        }
        return ss;
    }
    socklen_t length() const {
        return family_ == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    }

    int family_;
    int fd_ = -1;
};

// ---------------------------------------------------------------- tests

TEST_F(Metrics, PrometheusScrapesTheQueriesSentByFamilyAndTransport) {
    const Ipv4 loud{10, 80, 0, 1};
    FrameSpec loud_spec = query_from(loud);
    FrameSpec v6_spec = query_from(loud);
    v6_spec.ip_version = 6;  // from 2001:db8:1:2::3, counted under its /64
    v6_spec.qtype = 28;
    const auto loud_frame = build_frame(loud_spec);
    const auto v6_frame = build_frame(v6_spec);
    const std::string loud_key = "source=" + ip_text(loud);
    const std::string v6_key = "source=2001:db8:1:2::/64";

    // Cycles early in their seconds, so that steady senders are rated.
    await_second_turn();
    Process p = start_program({"-b", "-Q", "-i", "lo", "-w", "2", "-t", "20", "-P",
                               "127.0.0.1:" + std::to_string(kPort)});
    ASSERT_TRUE(wait_probe_on_page(kPort)) << p.describe();
    Prometheus prometheus(kPort);
    ASSERT_TRUE(prometheus.wait_ready(Duration(30000)));

    // Whole TCP connections over IPv4 and IPv6, three queries each.
    constexpr int kTcp4 = 4, kTcp6 = 3, kPerConnection = 3;
    Port53 server4(AF_INET), server6(AF_INET6);
    for (int i = 0; i < kTcp4; ++i) {
        const std::string mx = dns_query({"mail", "example", "org"}, 15);
        ASSERT_TRUE(server4.exchange({mx, mx, mx}));
    }
    for (int i = 0; i < kTcp6; ++i) {
        const std::string txt = dns_query({"text", "example", "net"}, 16);
        ASSERT_TRUE(server6.exchange({txt, txt, txt}));
    }

    // Over UDP, a loud IPv4 source (about 100 qps) and an IPv6 one (about
    // 50 qps), for as long as it takes Prometheus to see both among the top
    // sources: more than one 2-second cycle.
    FrameInjector injector;
    long v4_udp = 0, v6_udp = 0;
    std::optional<std::map<std::string, double>> up, top;
    auto next_query = Clock::now();
    const auto deadline = Clock::now() + Duration(40000);
    for (;;) {
        injector.send(loud_frame);
        injector.send(loud_frame);
        injector.send(v6_frame);
        v4_udp += 2;
        v6_udp += 1;
        if (Clock::now() >= next_query) {
            next_query = Clock::now() + Duration(500);
            up = prometheus.query("up");
            top = prometheus.query("max by (source) (quorvane_top_source_qps)");
            if (up && top && top->count(loud_key) && top->count(v6_key)) break;
        }
        ASSERT_LT(Clock::now(), deadline) << "up:\n"
                                          << text_of(up) << "top sources:\n"
                                          << text_of(top) << p.describe() << "\n"
                                          << prometheus.describe_process();
        std::this_thread::sleep_for(Duration(20));
    }
    const time_t stopped = time(nullptr);
    EXPECT_EQ(*up, (std::map<std::string, double>{
                       {"instance=127.0.0.1:" + std::to_string(kPort) + ",job=quorvane", 1}}));
    EXPECT_GT(top->at(loud_key), 0);
    EXPECT_GT(top->at(v6_key), 0);

    // The page as scraped, top sources and all, passes promtool's lint.
    std::optional<Reply> page = http_get(kPort, "/metrics");
    ASSERT_TRUE(page && page->status == 200) << describe(page);
    EXPECT_TRUE(promtool_accepts(page->body));

    // Every query sent is in Prometheus, by family and transport and by type.
    std::map<std::string, double> want_queries = {
        {"family=ipv4,transport=udp", static_cast<double>(v4_udp)},
        {"family=ipv6,transport=udp", static_cast<double>(v6_udp)},
        {"family=ipv4,transport=tcp", kTcp4 * kPerConnection},
        {"family=ipv6,transport=tcp", kTcp6 * kPerConnection},
    };
    std::map<std::string, double> want_types;
    for (const std::string& row : kTypeRows) want_types["type=" + row] = 0;
    want_types["type=A"] = static_cast<double>(v4_udp);
    want_types["type=AAAA"] = static_cast<double>(v6_udp);
    want_types["type=MX"] = kTcp4 * kPerConnection;
    want_types["type=TXT"] = kTcp6 * kPerConnection;
    std::optional<std::map<std::string, double>> queries, types;
    const auto sums_deadline = Clock::now() + Duration(20000);
    for (;;) {
        queries = prometheus.query("sum by (family, transport) (quorvane_queries_total)");
        types = prometheus.query("sum by (type) (quorvane_queries_by_type_total)");
        if (queries == want_queries && types == want_types) break;
        if (Clock::now() >= sums_deadline) break;
        std::this_thread::sleep_for(Duration(250));
    }
    EXPECT_EQ(queries, want_queries) << text_of(queries);
    EXPECT_EQ(types, want_types) << text_of(types);

    // Both sources were over the threshold of 20: once a cycle has run after
    // the last query, the page counts every alarm line written.
    Samples got;
    const auto alarms_deadline = Clock::now() + Duration(20000);
    do {
        std::this_thread::sleep_for(Duration(100));
        std::optional<Reply> r = http_get(kPort, "/metrics");
        got = r ? samples_of(r->body) : Samples{};
    } while (got["quorvane_last_cycle_timestamp_seconds"] <= static_cast<double>(stopped) &&
             Clock::now() < alarms_deadline);
    ASSERT_GT(got["quorvane_last_cycle_timestamp_seconds"], static_cast<double>(stopped));
    const size_t alarms = static_cast<size_t>(got["quorvane_alarms_total"]);
    EXPECT_GE(alarms, 2u);
    EXPECT_TRUE(p.wait_until([&](const std::string& out, const std::string&) {
        return count_of(out, "] source [") == alarms;
    })) << alarms
        << " alarms on the page\n"
        << p.describe();
}

TEST_F(Metrics, PageCountsEachFrameClassAndPassesPromtool) {
    auto v4 = [](auto&& bend) {
        FrameSpec s = query_from({10, 84, 0, 1});
        bend(s);
        return s;
    };
    auto v6 = [](auto&& bend) {
        FrameSpec s = query_from({10, 84, 0, 1});
        s.ip_version = 6;
        bend(s);
        return s;
    };
    // Each TCP segment a connection of its own: a hundred ports a case.
    uint16_t port = 41000;
    auto tcp = [&port](FrameSpec& s) {
        s.protocol = 6;
        s.src_port = port;
        port = static_cast<uint16_t>(port + 100);
    };
    const std::vector<uint8_t> long_label = [] {
        // A length byte of 64, 64 letters, the root label.
        std::vector<uint8_t> n(66, 'x');
        n.front() = 64;
        n.back() = 0;
        return n;
    }();
    const struct {
        const char* what;
        FrameSpec layout;
        int count;
        const char* result;
        const char* queries;  // the family and transport labels when counted
        const char* type;
    } cases[] = {
        {"UDP A", v4([](FrameSpec&) {}), 5, "counted", R"(family="ipv4",transport="udp")", "A"},
        {"UDP AAAA over IPv6", v6([](FrameSpec& s) { s.qtype = 28; }), 4, "counted",
         R"(family="ipv6",transport="udp")", "AAAA"},
        {"UDP HTTPS", v4([](FrameSpec& s) { s.qtype = 65; }), 2, "counted",
         R"(family="ipv4",transport="udp")", "HTTPS"},
        {"UDP type 999", v4([](FrameSpec& s) { s.qtype = 999; }), 3, "counted",
         R"(family="ipv4",transport="udp")", "other"},
        {"UDP A in a VLAN", v4([](FrameSpec& s) { s.vlan_tpids = {0x8100}; }), 2, "counted",
         R"(family="ipv4",transport="udp")", "A"},
        {"UDP A after a hop-by-hop header", v6([](FrameSpec& s) { s.ext_headers = {{0}}; }), 1,
         "counted", R"(family="ipv6",transport="udp")", "A"},
        {"TCP segment with a whole query", v4(tcp), 3, "counted",
         R"(family="ipv4",transport="tcp")", "A"},
        {"TCP segment with a whole query over IPv6", v6([&](FrameSpec& s) {
             tcp(s);
             s.qtype = 33;
         }),
         2, "counted", R"(family="ipv6",transport="tcp")", "SRV"},
        {"UDP type 0", v4([](FrameSpec& s) { s.qtype = 0; }), 3, "type0", nullptr, nullptr},
        {"UDP response", v4([](FrameSpec& s) { s.dns_flags_hi = 0x81; }), 4, "response", nullptr,
         nullptr},
        {"TCP from port 53", v4([&](FrameSpec& s) {
             tcp(s);
             s.src_port = 53;
             s.dst_port = 40053;
         }),
         2, "response", nullptr, nullptr},
        {"QDCOUNT 0", v4([](FrameSpec& s) { s.qdcount = 0; }), 2, "malformed", nullptr, nullptr},
        {"label of 64 bytes", v4([&](FrameSpec& s) { s.raw_name = long_label; }), 1, "malformed",
         nullptr, nullptr},
        {"compression pointer", v4([](FrameSpec& s) {
             s.raw_name = {0xc0, 0x0c};
         }),
         1, "malformed", nullptr, nullptr},
        {"IPv4 total length past the frame", v4([](FrameSpec& s) { s.total_len_delta = 8; }), 1,
         "malformed", nullptr, nullptr},
        {"IPv6 payload length past the frame", v6([](FrameSpec& s) { s.total_len_delta = 8; }), 1,
         "malformed", nullptr, nullptr},
        {"TCP data offset 4", v4([&](FrameSpec& s) {
             tcp(s);
             s.tcp_doff = 4;
         }),
         1, "malformed", nullptr, nullptr},
        {"ICMPv6 after a hop-by-hop header", v6([](FrameSpec& s) {
             s.ext_headers = {{0}};
             s.protocol = 58;
         }),
         2, "other", nullptr, nullptr},
        {"IPv6 later fragment", v6([](FrameSpec& s) {
             s.ext_headers = {{44, 0x0008}};
         }),
         1, "other", nullptr, nullptr},
        {"UDP between other ports", v6([](FrameSpec& s) {
             s.ext_headers = {{0}};
             s.dst_port = 5353;
         }),
         1, "other", nullptr, nullptr},
        {"TCP to port 53 starting no query", v4([&](FrameSpec& s) {
             tcp(s);
             s.qdcount = 0;
         }),
         1, "other", nullptr, nullptr},
    };

    Process p =
        start_program({"-b", "-D", "-Q", "-i", "lo", "-w", "2", "-P", std::to_string(kPort)});
    ASSERT_TRUE(wait_probe_on_page(kPort)) << p.describe();
    FrameInjector injector;
    Samples want;
    for (const char* r : {"counted", "type0", "response", "malformed", "other"})
        want[std::string("quorvane_frames_total{result=\"") + r + "\"}"] = 0;
    for (const char* ft : {R"(family="ipv4",transport="udp")", R"(family="ipv4",transport="tcp")",
                           R"(family="ipv6",transport="udp")", R"(family="ipv6",transport="tcp")"})
        want[std::string("quorvane_queries_total{") + ft + "}"] = 0;
    for (const std::string& row : kTypeRows)
        want["quorvane_queries_by_type_total{type=\"" + row + "\"}"] = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FrameSpec layout = c.layout;
        for (int i = 0; i < c.count; ++i) {
            injector.send(build_frame(layout));
            if (layout.protocol == 6 && layout.dst_port == 53) ++layout.src_port;
        }
        want[std::string("quorvane_frames_total{result=\"") + c.result + "\"}"] += c.count;
        if (c.queries != nullptr) {
            want[std::string("quorvane_queries_total{") + c.queries + "}"] += c.count;
            want[std::string("quorvane_queries_by_type_total{type=\"") + c.type + "\"}"] += c.count;
        }
    }
    // The frames are taken in the order sent: once the marker's dump line is
    // out, every frame before it has been classed.
    const Ipv4 marker{10, 84, 9, 9};
    injector.send(build_frame(query_from(marker, {"marker", "end"})));
    ASSERT_TRUE(p.wait_out(dump_line(marker, "udp", 1, "marker.end.") + "\n")) << p.describe();
    want["quorvane_frames_total{result=\"counted\"}"] += 1;
    want[R"(quorvane_queries_total{family="ipv4",transport="udp"})"] += 1;
    want[R"(quorvane_queries_by_type_total{type="A"})"] += 1;
    // The probes the capture saw, each dumped before it was classed.
    want["quorvane_frames_total{result=\"type0\"}"] +=
        static_cast<double>(count_of(p.out(), dump_line(kProbe, "udp", 0, "ready.probe.") + "\n"));

    std::string page;
    ASSERT_TRUE(wait_page_holds(kPort, want, Duration(20000), &page)) << p.describe();
    EXPECT_TRUE(promtool_accepts(page));
    // Every family the page promises, with HELP and TYPE.
    for (const char* family :
         {"quorvane_build_info", "quorvane_frames_total", "quorvane_queries_total",
          "quorvane_queries_by_type_total", "quorvane_capture_received_total",
          "quorvane_capture_dropped_total", "quorvane_sources", "quorvane_table_takeovers_total",
          "quorvane_alarms_total", "quorvane_cycle_duration_seconds",
          "quorvane_last_cycle_timestamp_seconds", "quorvane_top_source_qps",
          "process_cpu_seconds_total", "process_resident_memory_bytes",
          "process_start_time_seconds", "process_open_fds"}) {
        EXPECT_NE(page.find(std::string("# HELP ") + family + " "), std::string::npos) << family;
        EXPECT_NE(page.find(std::string("\n# TYPE ") + family + " "), std::string::npos) << family;
    }
}

// With -R and -T: the answers the server sends back are counted by code,
// bytes and TC, the top sources by answer bytes and the zones' answer ratios
// come with the cycles, and the page with all of them passes promtool.
TEST_F(Metrics, AnswerFamiliesCountWhatTheServerSentAndPassPromtool) {
    const Ipv4 client{10, 84, 7, 1};
    const Ipv4 server{192, 0, 2, 53};
    FrameSpec query = query_from(client, {"www", "example", "com"});
    // The server's answer to it, with the code and flags of each case.
    auto answer = [&](uint8_t flags_hi, uint8_t rcode) {
        FrameSpec a = query;
        std::copy(server.begin(), server.end(), a.src);
        std::copy(client.begin(), client.end(), a.dst);
        a.src_port = 53;
        a.dst_port = 40000;
        a.dns_flags_hi = flags_hi;
        a.dns_flags_lo = static_cast<uint8_t>(0x80 | rcode);
        return build_frame(a);
    };
    const auto query_frame = build_frame(query);
    const auto nxdomain = answer(0x81, 3);
    const auto truncated = answer(0x83, 0);  // QR, TC, RD: NOERROR
    // Every message here has the same question: 12 header bytes, 17 name
    // bytes, type and class.
    constexpr double kSize = 12 + 17 + 4;
    ASSERT_EQ(query_frame.size(), 14u + 20 + 8 + kSize);

    // Cycles early in their seconds, so that the steady client is rated.
    await_second_turn();
    Process p = start_program(
        {"-b", "-Q", "-R", "-T", "1000000", "-i", "lo", "-w", "2", "-P", std::to_string(kPort)});
    ASSERT_TRUE(wait_probe_on_page(kPort)) << p.describe();
    FrameInjector injector;
    const std::string source = R"({source="10.84.7.1"})";
    const std::string zone = R"({zone="example.com."})";
    std::string page;
    Samples got;
    double queries = 0, nx = 0, tc = 0;
    const auto deadline = Clock::now() + Duration(30000);
    // A query and its NXDOMAIN, and every third query a truncated answer too,
    // until a cycle has rated the client and the zone.
    for (int round = 0;; ++round) {
        injector.send(query_frame);
        injector.send(nxdomain);
        queries += 1;
        nx += 1;
        if (round % 3 == 0) {
            injector.send(truncated);
            tc += 1;
        }
        if (round % 10 == 9) {
            std::optional<Reply> r = http_get(kPort, "/metrics");
            if (r && r->status == 200) {
                page = r->body;
                got = samples_of(page);
                if (got.count("quorvane_top_source_answer_bytes" + source) != 0 &&
                    got.count("quorvane_top_zone_nxdomain_ratio" + zone) != 0)
                    break;
            }
        }
        ASSERT_LT(Clock::now(), deadline) << "no cycle rated the client:\n" << page << p.describe();
        std::this_thread::sleep_for(Duration(20));
    }
    EXPECT_TRUE(promtool_accepts(page));
    for (const char* family :
         {"quorvane_answers_total", "quorvane_answer_bytes_total", "quorvane_query_bytes_total",
          "quorvane_answers_truncated_total", "quorvane_top_source_answer_bytes",
          "quorvane_top_zone_answered_ratio", "quorvane_top_zone_nxdomain_ratio"}) {
        EXPECT_NE(page.find(std::string("# HELP ") + family + " "), std::string::npos) << family;
        EXPECT_NE(page.find(std::string("\n# TYPE ") + family + " "), std::string::npos) << family;
    }
    EXPECT_GT(got.at("quorvane_top_source_answer_bytes" + source), 0);
    // In a cycle the zone had about one NXDOMAIN a query and a NOERROR every third.
    EXPECT_GT(got.at("quorvane_top_zone_answered_ratio" + zone), 0);
    EXPECT_GT(got.at("quorvane_top_zone_nxdomain_ratio" + zone), 0);
    EXPECT_LT(got.at("quorvane_top_zone_nxdomain_ratio" + zone), 1);

    // Every answer sent is counted once the capture has taken them all.
    const std::string udp4 = R"(family="ipv4",transport="udp")";
    const Samples want = {
        {"quorvane_answers_total{" + udp4 + R"(,rcode="NXDOMAIN"})", nx},
        {"quorvane_answers_total{" + udp4 + R"(,rcode="NOERROR"})", tc},
        {"quorvane_answers_total{" + udp4 + R"(,rcode="SERVFAIL"})", 0},
        {"quorvane_answers_total{family=\"ipv6\",transport=\"tcp\",rcode=\"NXDOMAIN\"}", 0},
        {"quorvane_answer_bytes_total{" + udp4 + "}", (nx + tc) * kSize},
        {"quorvane_answers_truncated_total", tc},
        {R"(quorvane_frames_total{result="answer"})", nx + tc},
        {"quorvane_queries_total{" + udp4 + "}", queries},
    };
    ASSERT_TRUE(wait_page_holds(kPort, want, Duration(20000), &page)) << p.describe();
    // The probes are queries too (type 0, not counted): their bytes are not
    // counted either.
    EXPECT_EQ(samples_of(page).at("quorvane_query_bytes_total{" + udp4 + "}"), queries * kSize);
}

TEST_F(Metrics, PageAnswersAfterPrivilegesDropAndWhenDetached) {
    const passwd* pw = getpwnam("nobody");
    ASSERT_NE(pw, nullptr) << "no user nobody on this machine";
    const uid_t nobody = pw->pw_uid;
    const std::string low = std::to_string(kPrivilegedPort);
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::string host;
        uint16_t port;
        bool daemon;
        uid_t uid;
    } cases[] = {
        {"-u nobody on a privileged port",
         {"-b", "-u", "nobody", "-P", "127.0.0.1:" + low},
         "127.0.0.1",
         kPrivilegedPort,
         false,
         nobody},
        {"-d on IPv6", {"-d", "-P", "[::1]:" + std::to_string(kPort)}, "::1", kPort, true, 0},
        {"-d -u nobody on a privileged port",
         {"-d", "-u", "nobody", "-P", low},
         "127.0.0.1",
         kPrivilegedPort,
         true,
         nobody},
    };
    const Ipv4 src{10, 85, 0, 1};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args{"-Q", "-i", "lo", "-w", "2"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const time_t before = time(nullptr);
        Process p = start_program(args);
        pid_t server = p.pid();
        if (c.daemon) {
            ASSERT_EQ(p.wait_exit(), exited(0)) << p.describe();
            EXPECT_EQ(p.err(), "");
            std::optional<pid_t> adopted = wait_adopted();
            ASSERT_TRUE(adopted.has_value()) << "no detached child";
            server = *adopted;
        }
        ASSERT_TRUE(wait_probe_on_page(c.port, c.host)) << p.describe();

        FrameInjector injector;
        const auto frame = build_frame(query_from(src));
        constexpr int kSent = 25;
        for (int i = 0; i < kSent; ++i) injector.send(frame);
        std::optional<Reply> r;
        Samples got;
        const auto deadline = Clock::now() + Duration(20000);
        do {
            std::this_thread::sleep_for(Duration(50));
            r = http_get(c.port, "/metrics", c.host);
            got = r ? samples_of(r->body) : Samples{};
        } while (got[R"(quorvane_queries_total{family="ipv4",transport="udp"})"] != kSent &&
                 Clock::now() < deadline);
        ASSERT_EQ(got[R"(quorvane_queries_total{family="ipv4",transport="udp"})"], kSent)
            << describe(r);

        // The process figures are the serving process's own, read as whatever
        // user it has become.
        std::ifstream status("/proc/" + std::to_string(server) + "/status");
        std::string line;
        uid_t real = 1, effective = 1;
        while (std::getline(status, line)) {
            if (std::sscanf(line.c_str(), "Uid: %u %u", &real, &effective) == 2) break;
        }
        EXPECT_EQ(real, c.uid);
        EXPECT_EQ(effective, c.uid);
        size_t fds = 0;
        if (DIR* d = opendir(("/proc/" + std::to_string(server) + "/fd").c_str())) {
            while (const dirent* e = readdir(d)) fds += e->d_name[0] != '.';
            closedir(d);
        }
        // Give or take the connection of the request that read it.
        EXPECT_GE(got["process_open_fds"], 4);
        EXPECT_NEAR(got["process_open_fds"], static_cast<double>(fds), 1.0);
        EXPECT_GE(got["process_start_time_seconds"], static_cast<double>(before - 1));
        EXPECT_LE(got["process_start_time_seconds"], static_cast<double>(time(nullptr) + 1));
        EXPECT_GT(got["process_resident_memory_bytes"], 1e6);

        if (c.daemon) {
            ASSERT_EQ(kill(server, SIGTERM), 0);
            EXPECT_EQ(wait_exit_of(server), exited(SIGTERM));
        }
    }
}

TEST_F(Metrics, RefusesBadAddressesAndPortsItCannotHave) {
    constexpr const char* kArgv0 = "./qv-under-test";
    const std::string usage = qv::test::usage_screen(kArgv0);
    for (const char* text :
         {"abc", "0", "65536", "127.0.0.1:", "127.0.0.1:0", "localhost:9530", "::1:9530",
          "[::1]9530", "[::1]:", "[127.0.0.1]:9530", "300.1.1.1:9530", "9530x", "-1"}) {
        SCOPED_TRACE(text);
        Process p = start_program_as(kArgv0, {"-b", "-P", text}, Stdout::pipe);
        EXPECT_EQ(p.wait_exit(), exited(1));
        EXPECT_EQ(p.err(), "Invalid metrics address \"" + std::string(text) + "\"\n" + usage);
        EXPECT_EQ(p.out(), "");
    }

    // Ports already served, and addresses that are not this host's: said on
    // the terminal before the program detaches.
    const std::string port = std::to_string(kPort);
    auto listener = [&](int family) {
        const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // A port the program served a moment ago may linger in TIME_WAIT.
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        sockaddr_storage ss{};
        if (family == AF_INET) {
            auto* a = reinterpret_cast<sockaddr_in*>(&ss);
            a->sin_family = AF_INET;
            a->sin_port = htons(kPort);
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        } else {
            auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
            a->sin6_family = AF_INET6;
            a->sin6_port = htons(kPort);
            a->sin6_addr = in6addr_loopback;
        }
        const socklen_t len = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, 4) != 0) {
            ADD_FAILURE() << "cannot take port " << kPort << " first: " << strerror(errno);
            close(fd);
            return -1;
        }
        return fd;
    };
    const int taken4 = listener(AF_INET);
    const int taken6 = listener(AF_INET6);
    ASSERT_TRUE(taken4 >= 0 && taken6 >= 0);
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-b", "-Q", "-i", "lo", "-P", "127.0.0.1:" + port},
         "unable to serve metrics on 127.0.0.1:" + port + ": Address already in use\n"},
        {{"-d", "-Q", "-i", "lo", "-P", port},
         "unable to serve metrics on " + port + ": Address already in use\n"},
        {{"-b", "-Q", "-i", "lo", "-u", "nobody", "-P", "[::1]:" + port},
         "unable to serve metrics on [::1]:" + port + ": Address already in use\n"},
        {{"-d", "-Q", "-i", "lo", "-P", "192.0.2.1:" + port},
         "unable to serve metrics on 192.0.2.1:" + port + ": Cannot assign requested address\n"},
        {{"-b", "-Q", "-i", "lo", "-P", "[2001:db8::1]:" + port},
         "unable to serve metrics on [2001:db8::1]:" + port +
             ": Cannot assign requested address\n"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += " " + a;
        SCOPED_TRACE("arguments:" + shown);
        Process p = start_program(c.args, Stdout::pipe);
        EXPECT_EQ(p.wait_exit(), exited(1));
        EXPECT_EQ(p.err(), c.err);
        EXPECT_EQ(p.out(), "");
        EXPECT_TRUE(adopted_children().empty()) << "a child detached after all";
    }
    close(taken4);
    close(taken6);
}

TEST_F(Metrics, StormOfRequestsGoodAndBadLosesNoQuery) {
    Process p = start_program(
        {"-b", "-Q", "-i", "lo", "-w", "2", "-P", "127.0.0.1:" + std::to_string(kPort)});
    ASSERT_TRUE(wait_probe_on_page(kPort)) << p.describe();

    // Slow clients that never finish their requests, held through the
    // storm, each from an address of its own; ten at the start and one more
    // every hundred requests keep well below the connection limit.
    auto slow_address = [](int i) { return "127.0.1." + std::to_string(i + 1); };
    std::vector<int> slow;
    for (int i = 0; i < 10; ++i) slow.push_back(start_slow_client(kPort, slow_address(i)));

    // The flood: queries from 250 sources, one in five over IPv6, as fast
    // as they go, at least 50,000 and on until the storm is over; at most
    // 100,000, far below what the capture's ring holds.
    std::atomic<bool> flood_started{false}, storm_over{false};
    long flood_v4 = 0, flood_v6 = 0;
    std::thread flood([&] {
        FrameInjector injector;
        std::vector<std::vector<uint8_t>> frames;
        for (uint8_t i = 0; i < 250; ++i) {
            FrameSpec s = query_from({10, 86, 0, i});
            if (i % 5 == 0) {
                s.ip_version = 6;
                s.src6[15] = i;
            }
            frames.push_back(build_frame(s));
        }
        flood_started = true;
        for (size_t k = 0; k < 100000 && (k < 50000 || !storm_over.load()); ++k) {
            injector.send(frames[k % frames.size()]);
            (k % frames.size() % 5 == 0 ? flood_v6 : flood_v4) += 1;
        }
    });
    while (!flood_started.load()) std::this_thread::yield();

    // The storm: a thousand requests from four threads, of eight kinds.
    constexpr const char* kPageType = "\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8";
    constexpr const char* kAllow = "\r\nAllow: GET, HEAD";
    const std::string big_header =
        "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " + std::string(64 * 1024, 'a') +
        "\r\n\r\n";
    const struct {
        const char* what;
        std::string request;
        bool half_close;
        std::vector<int> statuses;  // what may come back; 0: closed without a reply
        const char* header = "";    // in every reply with a status
    } kinds[] = {
        {"GET /metrics", "GET /metrics HTTP/1.0\r\n\r\n", false, {200}, kPageType},
        {"HEAD /metrics",
         "HEAD /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
         false,
         {200},
         kPageType},
        // Garbage with a line end in it is refused or dropped at once;
        // without one the server would wait for its timeout, as for any
        // request cut short.
        {"garbage ending in a blank line", "", false, {400, 0}},
        {"garbage, then the end of the request stream", "", true, {400, 0}},
        {"a 64 KiB header", big_header, false, {431, 0}},
        {"POST with a body",
         "POST /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\nConnection: "
         "close\r\n\r\n" +
             std::string(100, 'b'),
         false,
         {405},
         kAllow},
        {"unknown path", "GET /nothing-here HTTP/1.0\r\n\r\n", false, {404}},
        {"DELETE", "DELETE /metrics HTTP/1.0\r\n\r\n", false, {405}, kAllow},
    };
    constexpr int kKinds = 8, kThreads = 4, kPerThread = 250;
    // [thread][kind]: requests answered as allowed, and the first that was not.
    struct Tally {
        int allowed[kKinds] = {};
        int pages = 0;  // GETs whose whole page came back
        std::string first_wrong;
    };
    std::vector<Tally> tallies(kThreads);
    std::vector<std::vector<int>> slow_later(kThreads);
    std::vector<std::thread> storm;
    for (int t = 0; t < kThreads; ++t) {
        storm.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t + 1));
            Tally& tally = tallies[static_cast<size_t>(t)];
            for (int i = 0; i < kPerThread; ++i) {
                const int n = t * kPerThread + i;
                if (n % 100 == 50) {
                    slow_later[static_cast<size_t>(t)].push_back(
                        start_slow_client(kPort, slow_address(10 + n / 100)));
                }
                const auto& kind = kinds[n % kKinds];
                std::string request = kind.request;
                if (request.empty()) {
                    for (int b = 0; b < 300; ++b) request += static_cast<char>(random() % 256);
                    request[150] = '\n';
                    if (!kind.half_close) request += "\r\n\r\n";
                }
                const std::optional<Reply> r =
                    exchange("127.0.0.1", kPort, request, kind.half_close);
                const int status = r ? r->status : -1;
                const bool allowed =
                    std::find(kind.statuses.begin(), kind.statuses.end(), status) !=
                        kind.statuses.end() &&
                    (status <= 0 || r->head.find(kind.header) != std::string::npos);
                if (allowed) {
                    ++tally.allowed[n % kKinds];
                    if (status == 200 && n % kKinds == 0 &&
                        r->body.find("\nprocess_open_fds ") != std::string::npos &&
                        r->body.ends_with("\n")) {
                        ++tally.pages;
                    }
                } else if (tally.first_wrong.empty()) {
                    tally.first_wrong = std::string(kind.what) + ": " + describe(r);
                }
            }
        });
    }
    const auto storm_start = Clock::now();
    for (std::thread& t : storm) t.join();
    const auto storm_ms = std::chrono::duration_cast<Duration>(Clock::now() - storm_start).count();
    storm_over = true;
    flood.join();
    for (const auto& fds : slow_later) slow.insert(slow.end(), fds.begin(), fds.end());

    for (int k = 0; k < kKinds; ++k) {
        int allowed = 0;
        for (const Tally& t : tallies) allowed += t.allowed[k];
        EXPECT_EQ(allowed, kThreads * kPerThread / kKinds) << kinds[k].what;
    }
    int pages = 0;
    for (const Tally& t : tallies) {
        pages += t.pages;
        EXPECT_EQ(t.first_wrong, "");
    }
    EXPECT_EQ(pages, kThreads * kPerThread / kKinds) << "GETs without the whole page";
    EXPECT_EQ(std::count(slow.begin(), slow.end(), -1), 0) << "slow clients that could not connect";

    // Nothing lost: every query of the flood counted, the capture dropped
    // nothing, and the program still runs and answers.
    ASSERT_GT(flood_v4 + flood_v6, 0);
    const Samples want = {
        {R"(quorvane_queries_total{family="ipv4",transport="udp"})", static_cast<double>(flood_v4)},
        {R"(quorvane_queries_total{family="ipv6",transport="udp"})", static_cast<double>(flood_v6)},
        {R"(quorvane_frames_total{result="counted"})", static_cast<double>(flood_v4 + flood_v6)},
        {R"(quorvane_capture_dropped_total{by="kernel"})", 0},
    };
    EXPECT_TRUE(wait_page_holds(kPort, want)) << p.describe();
    EXPECT_TRUE(p.running()) << p.describe();
    for (int fd : slow) {
        if (fd >= 0) close(fd);
    }
    std::optional<Reply> after = http_get(kPort, "/metrics");
    ASSERT_TRUE(after && after->status == 200) << describe(after);
    RecordProperty("flood_frames", static_cast<int>(flood_v4 + flood_v6));
    RecordProperty("storm_ms", static_cast<int>(storm_ms));
}

TEST_F(Metrics, SlowClientsHoldingEveryConnectionAreCutOff) {
    Process p = start_program(
        {"-b", "-Q", "-i", "lo", "-w", "2", "-P", "127.0.0.1:" + std::to_string(kPort)});
    ASSERT_TRUE(wait_probe_on_page(kPort)) << p.describe();

    // More slow clients than the page serves at once, from five hosts with
    // as many connections as one host is served: the rest wait in the listen
    // queue, and so does the next request, until the idle ones are cut off.
    std::vector<int> slow;
    for (int i = 0; i < 40; ++i) {
        slow.push_back(start_slow_client(kPort, "127.0.0." + std::to_string(2 + i / 8)));
    }
    ASSERT_EQ(std::count(slow.begin(), slow.end(), -1), 0);
    // The capture goes on meanwhile.
    FrameInjector injector;
    const auto frame = build_frame(query_from({10, 87, 0, 1}));
    for (int i = 0; i < 10; ++i) injector.send(frame);

    std::optional<Reply> r = http_get(kPort, "/metrics", "127.0.0.1", Duration(20000));
    ASSERT_TRUE(r && r->status == 200) << describe(r) << p.describe();
    EXPECT_TRUE(
        wait_page_holds(kPort, {{R"(quorvane_queries_total{family="ipv4",transport="udp"})", 10}}));
    // The slow ones were closed by the server, not by us.
    int cut_off = 0;
    for (int fd : slow) {
        const std::optional<std::string> rest = read_to_close(fd, Clock::now() + Duration(10000));
        cut_off += rest.has_value();
        close(fd);
    }
    EXPECT_EQ(cut_off, 40);
}

TEST_F(Metrics, TricklingClientsAreCutOffAndScrapesGetThrough) {
    Process p = start_program(
        {"-b", "-Q", "-i", "lo", "-w", "2", "-P", "127.0.0.1:" + std::to_string(kPort)});
    ASSERT_TRUE(wait_probe_on_page(kPort)) << p.describe();

    // The server's limits, as the README gives them, and how late a loaded
    // machine may be on top of one.
    constexpr Duration kLife{10000}, kIdle{5000}, kMargin{3000};
    constexpr int kPerHost = 8;
    constexpr size_t kConnections = 32;
    const std::string kOneHost = "127.0.0.2";

    // A flood throughout: queries from 250 sources, about 5,000 a second.
    long flooded = 0;
    std::jthread flood([&](std::stop_token stop) {
        FrameInjector injector;
        std::vector<std::vector<uint8_t>> frames;
        for (uint8_t i = 0; i < 250; ++i) frames.push_back(build_frame(query_from({10, 88, 0, i})));
        for (size_t k = 0; !stop.stop_requested(); ++k) {
            injector.send(frames[k % frames.size()]);
            ++flooded;
            if (k % 50 == 49) std::this_thread::sleep_for(Duration(10));
        }
    });

    // Clients that send a request a byte every 2 seconds and never finish
    // it: never idle, so only the limit on a connection's life can end them.
    // 40 from one host, and one each from 40 others: more than the server
    // holds at once, so the last of them wait in the listen queue.
    struct Drip {
        std::string from;
        int fd = -1;
        std::string key;  // as /proc/net/tcp writes it
        Clock::time_point opened;
        // The last moment it was seen waiting to be taken (at first, when it
        // was opened): its life on the server began after it.
        Clock::time_point waiting;
        Clock::time_point closed;
        bool taken = false, is_closed = false, held_before = false;
    };
    std::vector<Drip> drips(80);
    struct Closer {
        std::vector<Drip>& drips;
        ~Closer() {
            for (const Drip& d : drips) {
                if (d.fd >= 0) close(d.fd);
            }
        }
    } closer{drips};
    for (size_t i = 0; i < drips.size(); ++i) {
        Drip& d = drips[i];
        d.from = i < 40 ? kOneHost : "127.0.0." + std::to_string(3 + i - 40);
        d.opened = d.waiting = Clock::now();
        d.fd = connect_to("127.0.0.1", kPort, Clock::now() + Duration(5000), d.from);
        ASSERT_GE(d.fd, 0) << "no connection from " << d.from;
        sockaddr_in self{};
        socklen_t len = sizeof self;
        ASSERT_EQ(getsockname(d.fd, reinterpret_cast<sockaddr*>(&self), &len), 0);
        d.key = proc_tcp_key(self);
        send_all(d.fd, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Drip: ",
                 Clock::now() + Duration(1000));
    }

    // A well-behaved scraper all along, allowed to wait one life for a place.
    struct Scrape {
        Clock::time_point start;
        Duration took;
        std::string failure;
    };
    std::mutex scrapes_mu;
    std::vector<Scrape> scrapes;
    std::jthread scraper([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            const auto start = Clock::now();
            const std::optional<Reply> r =
                http_get(kPort, "/metrics", "127.0.0.1", kLife + kMargin);
            const bool whole = r && r->status == 200 &&
                               r->body.find("\nprocess_open_fds ") != std::string::npos &&
                               r->body.ends_with("\n");
            const auto took = std::chrono::duration_cast<Duration>(Clock::now() - start);
            {
                std::lock_guard<std::mutex> lock(scrapes_mu);
                scrapes.push_back({start, took, whole ? "" : describe(r)});
            }
            std::this_thread::sleep_for(Duration(500));
        }
    });

    // Until every drip is closed: feed them, see which the server has taken
    // and when each is closed. Those in the queue wait out the first ones'
    // lives before their own begin.
    const auto deadline = Clock::now() + 2 * (kLife + kMargin);
    auto next_byte = Clock::now() + Duration(2000);
    size_t open = drips.size(), most_held = 0;
    while (open > 0 && Clock::now() < deadline) {
        std::vector<pollfd> fds;
        std::vector<Drip*> of;
        for (Drip& d : drips) {
            if (d.is_closed) continue;
            fds.push_back({d.fd, POLLIN, 0});
            of.push_back(&d);
        }
        poll(fds.data(), fds.size(), 50);
        const auto now = Clock::now();
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            char buf[512];
            const ssize_t n = recv(fds[i].fd, buf, sizeof buf, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                of[i]->is_closed = true;
                of[i]->closed = now;
                --open;
            }
        }
        const auto looked = Clock::now();
        const std::set<std::string> held = held_by_server(kPort);
        // Drips the server held at this look and the one before: a connection
        // over the limit is accepted and closed at once, and the scraper's own
        // is no drip, so neither counts as held.
        size_t steady = 0;
        for (Drip& d : drips) {
            const bool now_held = !d.is_closed && held.count(d.key) != 0;
            steady += now_held && d.held_before;
            d.held_before = now_held;
        }
        most_held = std::max(most_held, steady);
        for (Drip& d : drips) {
            if (d.is_closed || d.taken) continue;
            if (held.count(d.key) != 0) {
                d.taken = true;
            } else {
                d.waiting = looked;
            }
        }
        if (now >= next_byte) {
            for (const Drip& d : drips) {
                if (!d.is_closed) send(d.fd, "a", 1, MSG_NOSIGNAL);
            }
            next_byte += Duration(2000);
        }
    }
    scraper.request_stop();
    scraper.join();
    flood.request_stop();
    flood.join();

    // One host's connections beyond its share are refused at once, sooner
    // than any timeout; every other drip is closed once its life is over,
    // measured from the last moment it was seen waiting, so from before the
    // server took it: never sooner, and late by a loaded machine's margin at
    // most.
    const auto ms = [](Clock::duration t) {
        return static_cast<int>(std::chrono::duration_cast<Duration>(t).count());
    };
    int refused = 0, held_from_one_host = 0, still_open = 0;
    Clock::time_point first_cut = Clock::time_point::max(), last_cut{};
    Clock::duration shortest = Clock::duration::max(), longest{};
    for (const Drip& d : drips) {
        SCOPED_TRACE("drip from " + d.from);
        if (!d.is_closed) {
            ++still_open;
            continue;
        }
        if (!d.taken && d.closed - d.opened < kIdle / 2) {
            EXPECT_EQ(d.from, kOneHost) << "refused, though its host had no other connection";
            ++refused;
            continue;
        }
        EXPECT_TRUE(d.taken) << "closed after " << ms(d.closed - d.opened)
                             << " ms, never seen held by the server";
        const auto life = d.closed - d.waiting;
        EXPECT_GE(life, kLife - Duration(100)) << "closed after " << ms(life) << " ms";
        EXPECT_LE(life, kLife + kMargin) << "closed after " << ms(life) << " ms";
        held_from_one_host += d.from == kOneHost;
        shortest = std::min(shortest, life);
        longest = std::max(longest, life);
        first_cut = std::min(first_cut, d.closed);
        last_cut = std::max(last_cut, d.closed);
    }
    EXPECT_EQ(still_open, 0) << "drips still open after " << ms(Clock::now() - drips.front().opened)
                             << " ms";
    EXPECT_EQ(refused, 40 - kPerHost);
    EXPECT_EQ(held_from_one_host, kPerHost);
    // The drips took every connection there is, and no more.
    EXPECT_EQ(most_held, kConnections);

    // Every scrape got the whole page within a life; some were made while
    // the first drips held every connection, some while the last ones did.
    ASSERT_FALSE(scrapes.empty());
    Duration slowest{0};
    bool while_first = false, while_last = false;
    for (const Scrape& s : scrapes) {
        EXPECT_EQ(s.failure, "") << "scrape taking " << s.took.count() << " ms";
        slowest = std::max(slowest, s.took);
        while_first = while_first || s.start < first_cut;
        while_last = while_last || (s.start > first_cut && s.start < last_cut);
    }
    EXPECT_TRUE(while_first && while_last) << scrapes.size() << " scrapes";

    // And the capture accounted for the whole flood meanwhile: each query
    // counted once, or dropped by the kernel and reported as such (a
    // sanitizer build on a loaded machine can fall behind a flood).
    ASSERT_GT(flooded, 0);
    const std::string counted_series = R"(quorvane_queries_total{family="ipv4",transport="udp"})";
    const std::string dropped_series = R"(quorvane_capture_dropped_total{by="kernel"})";
    double counted = -1, dropped = -1;
    const auto accounted_by = Clock::now() + Duration(20000);
    do {
        if (std::optional<Reply> r = http_get(kPort, "/metrics"); r && r->status == 200) {
            const auto samples = samples_of(r->body);
            const auto c = samples.find(counted_series), d = samples.find(dropped_series);
            if (c != samples.end() && d != samples.end()) {
                counted = c->second;
                dropped = d->second;
                if (counted + dropped >= static_cast<double>(flooded)) break;
            }
        }
        std::this_thread::sleep_for(Duration(100));
    } while (Clock::now() < accounted_by);
    EXPECT_GE(counted + dropped, static_cast<double>(flooded)) << p.describe();
    EXPECT_LE(counted, static_cast<double>(flooded)) << p.describe();
    EXPECT_TRUE(p.running()) << p.describe();
    RecordProperty("scrapes", static_cast<int>(scrapes.size()));
    RecordProperty("slowest_scrape_ms", static_cast<int>(slowest.count()));
    RecordProperty("shortest_life_ms", ms(shortest));
    RecordProperty("longest_life_ms", ms(longest));
}

}  // namespace
}  // namespace qv::e2e
