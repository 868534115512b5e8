#include "control/metrics_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

#include "control/connection_lifetimes.h"

#include "base/lines.h"

namespace qv {
namespace {

// Bounds for whoever connects: a few scrapers at a time, no more than a
// quarter of them from one address (one host cannot take them all), a
// request's headers held in a small fixed pool each. A connection is closed
// when it has sent nothing for 5 seconds, and in any case 10 seconds after it
// opened, whatever it is doing: a scrape takes milliseconds, and a client
// that trickles its request or reads its reply a byte at a time gives its
// place up like any other. Each connection carries one request, so the
// second limit bounds a request with its reply, not a keep-alive session.
constexpr unsigned kMaxConnections = 32;
constexpr unsigned kPerAddressConnections = 8;
constexpr unsigned kIdleSeconds = 5;
constexpr std::chrono::seconds kLifetime{10};
constexpr size_t kConnectionMemory = 16 * 1024;

bool parse_port(const char* text, uint16_t* port) {
    if (*text == '\0' || strlen(text) > 5) return false;
    unsigned long n = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        n = n * 10 + static_cast<unsigned long>(*p - '0');
    }
    if (n < 1 || n > 65535) return false;
    *port = static_cast<uint16_t>(n);
    return true;
}

MHD_Result reply(MHD_Connection* c, unsigned status, const std::string& body, const char* type) {
    MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (r == nullptr) return MHD_NO;
    MHD_add_response_header(r, "Content-Type", type);
    MHD_add_response_header(r, "Connection", "close");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(r, "Allow", "GET, HEAD");
    const MHD_Result ok = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return ok;
}

MHD_Result answer(void* cls, MHD_Connection* c, const char* url, const char* method,
                  const char* /*version*/, const char* /*upload*/, size_t* upload_size,
                  void** state) {
    // The first call only sees the headers; a body, if any, is read and
    // thrown away before the answer.
    static int seen;
    if (*state == nullptr) {
        *state = &seen;
        return MHD_YES;
    }
    if (*upload_size != 0) {
        *upload_size = 0;
        return MHD_YES;
    }
    const auto* server = static_cast<const MetricsServer*>(cls);
    constexpr const char* kText = "text/plain; charset=utf-8";
    if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        return reply(c, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n", kText);
    }
    if (strcmp(url, "/metrics") != 0) return reply(c, MHD_HTTP_NOT_FOUND, "not found\n", kText);
    return reply(c, MHD_HTTP_OK, server->page(), "text/plain; version=0.0.4; charset=utf-8");
}

void on_connection(void* cls, MHD_Connection* c, void** /*socket_context*/,
                   MHD_ConnectionNotificationCode code) {
    auto* lifetimes = static_cast<ConnectionLifetimes*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        lifetimes->closed(c);
    } else if (const MHD_ConnectionInfo* info =
                   MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD)) {
        lifetimes->opened(c, info->connect_fd);
    }
}

}  // namespace

bool parse_metrics_address(const char* text, sockaddr_storage* addr, socklen_t* len) {
    *addr = sockaddr_storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(addr);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(addr);
    uint16_t port = 0;
    std::string host = "127.0.0.1";
    const char* port_text = text;
    if (text[0] == '[') {
        const char* close = strchr(text, ']');
        if (close == nullptr || close[1] != ':') return false;
        host.assign(text + 1, static_cast<size_t>(close - text - 1));
        port_text = close + 2;
        if (!parse_port(port_text, &port) || inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) != 1) {
            return false;
        }
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        *len = sizeof(sockaddr_in6);
        return true;
    }
    if (const char* colon = strrchr(text, ':')) {
        host.assign(text, static_cast<size_t>(colon - text));
        port_text = colon + 1;
    }
    if (!parse_port(port_text, &port) || inet_pton(AF_INET, host.c_str(), &v4->sin_addr) != 1) {
        return false;
    }
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    *len = sizeof(sockaddr_in);
    return true;
}

MetricsServer::MetricsServer(const Settings& s)
    : s_(s), lifetimes_(std::make_unique<ConnectionLifetimes>(kLifetime)) {
    sockaddr_storage addr;
    socklen_t len = 0;
    // The command line has refused a text that does not parse.
    parse_metrics_address(s.metrics_addr, &addr, &len);
    fd_ = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (fd_ >= 0) {
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (addr.ss_family == AF_INET6) setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr*>(&addr), len) != 0 ||
        listen(fd_, 64) != 0) {
        fatal("unable to serve metrics on %s: %s\n", s.metrics_addr, strerror(errno));
    }
}

MetricsServer::~MetricsServer() {
    stop();
    if (fd_ >= 0) close(fd_);
}

void MetricsServer::start(const CaptureStats& stats, const MetricsBoard& board, const HookCounters* hook) {
    stats_ = &stats;
    board_ = &board;
    hook_ = hook;
    try {
        sweeper_ = std::thread([l = lifetimes_.get()] { l->run(); });
    } catch (const std::system_error& e) {
        fatal("unable to serve metrics on %s: %s\n", s_.metrics_addr, strerror(e.code().value()));
    }
    // clang-format off
    daemon_ = MHD_start_daemon(
        MHD_USE_AUTO_INTERNAL_THREAD, 0, nullptr, nullptr, &answer, this,
        MHD_OPTION_LISTEN_SOCKET, fd_,
        MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, kPerAddressConnections,
        MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
        MHD_OPTION_NOTIFY_CONNECTION, &on_connection, lifetimes_.get(),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
        MHD_OPTION_END);
    // clang-format on
    if (daemon_ == nullptr) {
        fatal("unable to serve metrics on %s: %s\n", s_.metrics_addr, strerror(errno));
    }
}

void MetricsServer::stop() {
    if (daemon_ == nullptr) return;
    lifetimes_->stop();
    sweeper_.join();
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
    fd_ = -1;  // closed with the daemon
}

std::string MetricsServer::page() const {
    MetricsPage p{s_.version, pcap_lib_version(), stats_, board_->figures(), read_process_figures(), hook_};
    return render_metrics(p);
}

ProcessFigures read_process_figures() {
    ProcessFigures f;
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    const double page_size = static_cast<double>(sysconf(_SC_PAGESIZE));
    if (FILE* stat = fopen("/proc/self/stat", "re")) {
        char buf[1024];
        const size_t n = fread(buf, 1, sizeof buf - 1, stat);
        fclose(stat);
        buf[n] = '\0';
        // After the command name in parentheses: fields 3 on.
        if (const char* p = strrchr(buf, ')')) {
            unsigned long utime = 0, stime = 0;
            unsigned long long start = 0;
            long rss = 0;
            if (sscanf(p + 2,
                       "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu %*d %*d %*d %*d %*d %*d "
                       "%llu %*u %ld",
                       &utime, &stime, &start, &rss) == 4) {
                f.cpu_seconds = static_cast<double>(utime + stime) / ticks;
                f.resident_bytes = static_cast<uint64_t>(static_cast<double>(rss) * page_size);
                // Start time: ticks after boot, plus the boot time.
                if (FILE* all = fopen("/proc/stat", "re")) {
                    char line[256];
                    while (fgets(line, sizeof line, all) != nullptr) {
                        unsigned long long boot = 0;
                        if (sscanf(line, "btime %llu", &boot) == 1) {
                            f.start_time = static_cast<double>(boot) + static_cast<double>(start) / ticks;
                            break;
                        }
                    }
                    fclose(all);
                }
            }
        }
    }
    if (DIR* d = opendir("/proc/self/fd")) {
        while (const dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') ++f.open_fds;
        }
        closedir(d);
        if (f.open_fds > 0) --f.open_fds;  // the directory's own descriptor
    }
    return f;
}

}  // namespace qv
