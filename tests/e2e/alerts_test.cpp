// The shipped alert rules end to end: the program under a flood of the
// test's own, a real Prometheus scraping it with the rules, a real
// Alertmanager routing the alerts to a webhook receiver of the test's own,
// and the receiver told of the loud source and the flooded zone, then of
// their resolution once the flood stops.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "harness.h"

namespace qv::e2e {
namespace {

using Alerts = E2eTest;
using Clock = std::chrono::steady_clock;
using qv::test::build_frame;

// Ports in the test's own network namespace: nothing else listens there.
constexpr uint16_t kPort = 9530;
constexpr uint16_t kAlertmanagerPort = 9093;
// The rules' for durations are divided by this in the test's copy: 1m
// becomes 2s, 5m 10s.
constexpr int kForScale = 30;

std::string errno_text(const std::string& what) {
    return what + ": " + strerror(errno);
}

// ---------------------------------------------------------------- the rules

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The rules as shipped, but every `for:` divided by kForScale (1s at
// least): expressions, thresholds, labels and annotations untouched. A
// `for:` line in a form this does not read is a failure, so that no
// duration stays long unnoticed.
std::string shortened_rules(const std::string& shipped, int& rewritten) {
    static const std::regex for_line(R"(^(\s*)for:\s*(\d+)([smh])\s*$)");
    static const std::regex any_for(R"(^\s*for:)");
    std::istringstream in(shipped);
    std::string out;
    rewritten = 0;
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_match(line, m, for_line)) {
            const int unit = m[3] == "s" ? 1 : m[3] == "m" ? 60 : 3600;
            const int seconds = std::max(1, std::stoi(m[2]) * unit / kForScale);
            line = m[1].str() + "for: " + std::to_string(seconds) + "s";
            ++rewritten;
        } else if (std::regex_search(line, any_for)) {
            ADD_FAILURE() << "a for: line the test cannot shorten: " << line;
        }
        out += line + "\n";
    }
    return out;
}

// ---------------------------------------------------------------- the receiver

// One alert of a webhook notification, as Alertmanager sent it.
struct Notice {
    std::string status;  // "firing" or "resolved"
    std::map<std::string, std::string> labels;
    std::map<std::string, std::string> annotations;
};

std::string notice_text(const Notice& n) {
    std::string out = n.status + " {";
    for (const auto& [k, v] : n.labels) out += k + "=\"" + v + "\",";
    out += "}";
    for (const auto& [k, v] : n.annotations) out += "\n    " + k + ": " + v;
    return out;
}

// A webhook receiver of the test's own: an HTTP server on 127.0.0.1 at a
// port the kernel picks, one thread taking one request a connection. Every
// alert of every notification is kept in the order it came; a request that
// is not a notification is kept as a problem.
class WebhookReceiver {
  public:
    WebhookReceiver() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) throw std::runtime_error(errno_text("socket"));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(fd_, 16) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            const std::string why = errno_text("webhook socket");
            close(fd_);
            throw std::runtime_error(why);
        }
        port_ = ntohs(a.sin_port);
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_ < 0) {
            close(fd_);
            throw std::runtime_error(errno_text("eventfd"));
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~WebhookReceiver() {
        const uint64_t one = 1;
        ssize_t ignored = write(wake_, &one, sizeof one);
        (void)ignored;
        thread_.join();
        close(fd_);
        close(wake_);
    }
    WebhookReceiver(const WebhookReceiver&) = delete;
    WebhookReceiver& operator=(const WebhookReceiver&) = delete;

    uint16_t port() const { return port_; }

    std::vector<Notice> notices() const {
        std::lock_guard lock(mu_);
        return notices_;
    }
    std::vector<std::string> problems() const {
        std::lock_guard lock(mu_);
        return problems_;
    }

    // The index of the first notice at or after from that pred holds for,
    // waiting for one until the timeout.
    std::optional<size_t> wait_for(const std::function<bool(const Notice&)>& pred, size_t from,
                                   Duration timeout) {
        std::unique_lock lock(mu_);
        std::optional<size_t> found;
        cv_.wait_for(lock, timeout, [&] {
            for (size_t i = from; i < notices_.size(); ++i) {
                if (pred(notices_[i])) {
                    found = i;
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    std::string describe() const {
        std::lock_guard lock(mu_);
        std::string out = std::to_string(notices_.size()) + " notices:\n";
        for (const Notice& n : notices_) out += "  " + notice_text(n) + "\n";
        for (const std::string& p : problems_) out += "  problem: " + p + "\n";
        return out;
    }

  private:
    void serve() {
        for (;;) {
            pollfd p[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
            if (poll(p, 2, -1) < 0) {
                if (errno == EINTR) continue;
                problem(errno_text("poll"));
                return;
            }
            if (p[1].revents != 0) return;
            const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            take(c);
            close(c);
        }
    }

    // One request on connection c: read it whole (headers and a body of
    // Content-Length bytes), answer 200, keep what it says.
    void take(int c) {
        const timeval limit{5, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        std::string raw;
        size_t head_end = std::string::npos, length = 0;
        char buf[8192];
        for (;;) {
            if (head_end == std::string::npos) {
                head_end = raw.find("\r\n\r\n");
                if (head_end != std::string::npos) {
                    std::string head = raw.substr(0, head_end);
                    std::transform(head.begin(), head.end(), head.begin(),
                                   [](unsigned char ch) { return std::tolower(ch); });
                    const size_t at = head.find("\r\ncontent-length:");
                    if (at == std::string::npos) {
                        problem("a request without Content-Length: " + raw.substr(0, head_end));
                        return;
                    }
                    length = std::strtoul(head.c_str() + at + 17, nullptr, 10);
                }
            }
            if (head_end != std::string::npos && raw.size() >= head_end + 4 + length) break;
            const ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) {
                problem("a request cut short: " + raw);
                return;
            }
            raw.append(buf, static_cast<size_t>(n));
        }
        const std::string reply =
            "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        ssize_t ignored = send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
        (void)ignored;

        if (!raw.starts_with("POST ")) {
            problem("not a POST: " + raw.substr(0, head_end));
            return;
        }
        const nlohmann::json j =
            nlohmann::json::parse(raw.substr(head_end + 4, length), nullptr, false);
        if (j.is_discarded() || !j.is_object() || !j.contains("alerts") ||
            !j.at("alerts").is_array()) {
            problem("not a notification: " + raw.substr(head_end + 4));
            return;
        }
        std::vector<Notice> got;
        try {
            for (const auto& a : j.at("alerts")) {
                got.push_back({a.at("status").get<std::string>(),
                               a.at("labels").get<std::map<std::string, std::string>>(),
                               a.at("annotations").get<std::map<std::string, std::string>>()});
            }
        } catch (const nlohmann::json::exception& e) {
            problem(std::string("an alert without its fields: ") + e.what());
            return;
        }
        {
            std::lock_guard lock(mu_);
            notices_.insert(notices_.end(), got.begin(), got.end());
        }
        cv_.notify_all();
    }

    void problem(const std::string& what) {
        {
            std::lock_guard lock(mu_);
            problems_.push_back(what);
        }
        cv_.notify_all();
    }

    int fd_ = -1;
    int wake_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Notice> notices_;
    std::vector<std::string> problems_;
};

// ---------------------------------------------------------------- Alertmanager

// An Alertmanager of the test's own: configuration and storage in a fresh
// directory, its web side on 127.0.0.1 and no cluster port, every alert a
// group of its own (so one alert a notification), sent to the receiver
// within a second of its change.
class Alertmanager {
  public:
    explicit Alertmanager(uint16_t webhook_port) {
        const std::string binary = tool("prometheus-alertmanager");
        if (binary.empty())
            throw std::runtime_error("no prometheus-alertmanager: run scripts/install-deps");
        char dir[] = "/tmp/qv-alertmanager-XXXXXX";
        if (mkdtemp(dir) == nullptr) throw std::runtime_error(errno_text("mkdtemp"));
        dir_ = dir;
        std::ofstream(dir_ + "/alertmanager.yml") << "global:\n"
                                                     "  resolve_timeout: 5s\n"
                                                     "route:\n"
                                                     "  receiver: test\n"
                                                     "  group_by: ['...']\n"
                                                     "  group_wait: 1s\n"
                                                     "  group_interval: 1s\n"
                                                     "  repeat_interval: 1h\n"
                                                     "receivers:\n"
                                                     "  - name: test\n"
                                                     "    webhook_configs:\n"
                                                     "      - url: http://127.0.0.1:"
                                                  << webhook_port
                                                  << "/\n"
                                                     "        send_resolved: true\n";
        process_ = std::make_unique<Process>(
            binary,
            std::vector<std::string>{
                "prometheus-alertmanager", "--config.file=" + dir_ + "/alertmanager.yml",
                "--storage.path=" + dir_ + "/data",
                "--web.listen-address=127.0.0.1:" + std::to_string(kAlertmanagerPort),
                "--cluster.listen-address=", "--log.level=warn"},
            Stdout::pipe);
    }
    ~Alertmanager() {
        process_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    Alertmanager(const Alertmanager&) = delete;
    Alertmanager& operator=(const Alertmanager&) = delete;

    ::testing::AssertionResult wait_ready(Duration timeout) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            std::optional<HttpReply> r = http_get_local(kAlertmanagerPort, "/-/ready");
            if (r && r->status == 200) return ::testing::AssertionSuccess();
            if (!process_->running() || Clock::now() >= deadline) {
                return ::testing::AssertionFailure()
                       << "Alertmanager not ready: " << process_->describe();
            }
            std::this_thread::sleep_for(Duration(100));
        }
    }
    std::string describe_process() const { return process_->describe(); }

  private:
    std::string dir_;
    std::unique_ptr<Process> process_;
};

// ---------------------------------------------------------------- sockets

// Every socket of the namespace that listens (TCP) or waits unconnected
// (UDP) on an address other than 127.0.0.1, as /proc/net writes it.
std::vector<std::string> listening_elsewhere() {
    std::vector<std::string> out;
    for (const char* table : {"tcp", "tcp6", "udp", "udp6"}) {
        std::ifstream in(std::string("/proc/net/") + table);
        std::string line;
        std::getline(in, line);  // the heading
        const bool tcp = table[0] == 't';
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            const bool waiting =
                tcp ? state == "0A" : remote.find_first_not_of("0:") == std::string::npos;
            // 127.0.0.1 as the kernel writes it: its four bytes read as one
            // number in this host's byte order.
            in_addr loopback{htonl(INADDR_LOOPBACK)};
            char key[16];
            snprintf(key, sizeof key, "%08X:", static_cast<unsigned>(loopback.s_addr));
            if (waiting && !local.starts_with(key)) out.push_back(std::string(table) + " " + local);
        }
    }
    return out;
}

// ---------------------------------------------------------------- the test

TEST_F(Alerts, FloodsReachTheReceiverThroughAlertmanagerAndResolve) {
    const auto started = Clock::now();
    int rewritten = 0;
    const std::string rules = shortened_rules(
        read_file(QV_SOURCE_DIR "/service/prometheus/quorvane.rules.yml"), rewritten);
    ASSERT_GE(rewritten, 5) << rules;

    WebhookReceiver receiver;
    Alertmanager alertmanager(receiver.port());
    // Cycles early in their seconds, so that steady senders are rated.
    await_second_turn();
    Process p = start_program({"-b", "-Q", "-i", "lo", "-w", "2", "-R", "-T", "1000", "-P",
                               "127.0.0.1:" + std::to_string(kPort)});
    Prometheus prometheus(kPort, {{"quorvane.rules.yml", rules}},
                          "rule_files:\n"
                          "  - quorvane.rules.yml\n"
                          "alerting:\n"
                          "  alertmanagers:\n"
                          "    - static_configs:\n"
                          "        - targets: ['127.0.0.1:" +
                              std::to_string(kAlertmanagerPort) + "']\n");
    ASSERT_TRUE(alertmanager.wait_ready(Duration(30000)));
    ASSERT_TRUE(prometheus.wait_ready(Duration(30000)));

    // The flood, paced by the clock: one loud source at about 200 qps asking
    // in example.org. (a zone under its threshold), and 100 quiet sources at
    // about 20 qps each (under theirs) asking new names in example.com., about
    // 2,000 qps in all. A machine that falls far behind skips ahead rather
    // than catching up, so no source bursts past its rate.
    const Ipv4 loud{10, 90, 0, 1};
    const auto loud_frame = build_frame(query_from(loud, {"www", "example", "org"}));
    std::jthread flood([&](std::stop_token stop) {
        FrameInjector injector;
        constexpr Duration kTick{10};
        auto next = Clock::now();
        for (uint32_t k = 0; !stop.stop_requested();) {
            injector.send(loud_frame);
            injector.send(loud_frame);
            for (int i = 0; i < 20; ++i, ++k) {
                const Ipv4 quiet{10, 91, 0, static_cast<uint8_t>(k % 100)};
                injector.send(
                    build_frame(query_from(quiet, {"n" + std::to_string(k), "example", "com"})));
            }
            next += kTick;
            const auto now = Clock::now();
            if (now > next + 10 * kTick) next = now;
            std::this_thread::sleep_until(next);
        }
    });

    // Both alerts fire (after their shortened for) and reach the receiver.
    const std::string instance = "127.0.0.1:" + std::to_string(kPort);
    auto is = [&](const char* status, const char* alert, const char* key,
                  const std::string& value) {
        return [=](const Notice& n) {
            auto get = [&](const char* k) {
                auto it = n.labels.find(k);
                return it == n.labels.end() ? std::string() : it->second;
            };
            return n.status == status && get("alertname") == alert && get(key) == value &&
                   get("instance") == instance;
        };
    };
    const auto source_firing = is("firing", "QuorvaneSourceFlood", "source", ip_text(loud));
    const auto zone_firing = is("firing", "QuorvaneZoneFlood", "zone", "example.com.");
    const Duration kAlertWait{60000};
    auto describe_all = [&] {
        return receiver.describe() + "ALERTS in Prometheus:\n" +
               text_of(prometheus.query("ALERTS")) + "top sources:\n" +
               text_of(prometheus.query("quorvane_top_source_qps")) + "top zones:\n" +
               text_of(prometheus.query("quorvane_top_zone_qps")) + p.describe() + "\n" +
               prometheus.describe_process() + "\n" + alertmanager.describe_process();
    };
    const std::optional<size_t> source_at = receiver.wait_for(source_firing, 0, kAlertWait);
    ASSERT_TRUE(source_at) << describe_all();
    const std::optional<size_t> zone_at = receiver.wait_for(zone_firing, 0, kAlertWait);
    ASSERT_TRUE(zone_at) << describe_all();
    const auto fired = Clock::now();
    // While the flood runs, Prometheus, Alertmanager, the receiver and the
    // program all listen on 127.0.0.1 and nowhere else.
    EXPECT_EQ(listening_elsewhere(), std::vector<std::string>{});

    flood.request_stop();
    flood.join();
    const size_t stopped_at = receiver.notices().size();

    // Their labels and annotations, as the shipped rules write them.
    const std::vector<Notice> seen = receiver.notices();
    const Notice& source = seen[*source_at];
    EXPECT_EQ(source.labels.at("severity"), "warning");
    EXPECT_EQ(source.labels.at("job"), "quorvane");
    EXPECT_EQ(source.annotations.at("summary"), "Source 10.90.0.1 floods sensor " + instance);
    const std::regex source_text(
        "Source 10\\.90\\.0\\.1 sends (\\d+) queries per second seen by "
        "sensor 127\\.0\\.0\\.1:9530, above the threshold, for at least "
        "1 minute\\.");
    std::smatch m;
    const std::string source_description = source.annotations.at("description");
    ASSERT_TRUE(std::regex_match(source_description, m, source_text)) << source_description;
    EXPECT_GT(std::stoi(m[1]), 60);
    const Notice& zone = seen[*zone_at];
    EXPECT_EQ(zone.labels.at("severity"), "warning");
    EXPECT_EQ(zone.labels.at("job"), "quorvane");
    EXPECT_EQ(zone.annotations.at("summary"), "Zone example.com. is flooded at sensor " + instance);
    const std::regex zone_text(
        "Zone example\\.com\\. is asked (\\d+) queries per second seen by "
        "sensor 127\\.0\\.0\\.1:9530, (\\d+) distinct names in the last "
        "cycle, for at least 1 minute\\.");
    const std::string zone_description = zone.annotations.at("description");
    ASSERT_TRUE(std::regex_match(zone_description, m, zone_text)) << zone_description;
    EXPECT_GT(std::stoi(m[1]), 1000);
    // Nearly every query asked a new name: a cycle of 2 seconds holds thousands.
    EXPECT_GT(std::stoi(m[2]), 1000);

    // Once the flood has stopped, both are resolved.
    ASSERT_TRUE(receiver.wait_for(is("resolved", "QuorvaneSourceFlood", "source", ip_text(loud)),
                                  stopped_at, kAlertWait))
        << describe_all();
    ASSERT_TRUE(receiver.wait_for(is("resolved", "QuorvaneZoneFlood", "zone", "example.com."),
                                  stopped_at, kAlertWait))
        << describe_all();
    const auto resolved = Clock::now();

    // Nothing else floods: the quiet sources stay under 60 qps, example.org.
    // under 1000; and every request the receiver got was a notification.
    for (const Notice& n : receiver.notices()) {
        const std::string name = n.labels.count("alertname") ? n.labels.at("alertname") : "";
        if (name == "QuorvaneSourceFlood") {
            EXPECT_EQ(n.labels.at("source"), ip_text(loud)) << notice_text(n);
        } else if (name == "QuorvaneZoneFlood") {
            EXPECT_EQ(n.labels.at("zone"), "example.com.") << notice_text(n);
        }
    }
    EXPECT_EQ(receiver.problems(), std::vector<std::string>{});
    EXPECT_TRUE(p.running()) << p.describe();

    const auto ms = [](Clock::duration d) {
        return static_cast<int>(std::chrono::duration_cast<Duration>(d).count());
    };
    RecordProperty("fired_ms", ms(fired - started));
    RecordProperty("resolved_ms", ms(resolved - fired));
}

}  // namespace
}  // namespace qv::e2e
