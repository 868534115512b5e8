// The metrics endpoint: GET and HEAD of /metrics over HTTP, served from a
// thread of its own by libmicrohttpd. The socket is bound while the process
// starts (before privileges drop and before it detaches); the thread starts
// once the capture runs, with a second one that ends each connection's life.
#pragma once

#include <sys/socket.h>

#include <memory>
#include <string>
#include <thread>

#include "base/capture_stats.h"
#include "base/settings.h"
#include "output/metrics.h"

struct MHD_Daemon;

namespace qv {

class ConnectionLifetimes;

// "PORT", "ADDR:PORT" (IPv4) or "[ADDR]:PORT" (IPv6); the address defaults
// to 127.0.0.1, the port is 1 to 65535. False when text is none of these.
bool parse_metrics_address(const char* text, sockaddr_storage* addr, socklen_t* len);

class MetricsServer {
public:
    // Binds and listens on the address of -P; a socket that cannot be had
    // ends the process with "unable to serve metrics on %s: %s\n", status 1.
    explicit MetricsServer(const Settings& s);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Starts serving what stats and board hold; stop() ends it.
    // hook (may be null): the action hook's counts, when -e runs one.
    void start(const CaptureStats& stats, const MetricsBoard& board, const HookCounters* hook = nullptr);
    void stop();

    // The page as it stands (what a GET returns).
    std::string page() const;

private:
    const Settings& s_;
    int fd_ = -1;
    const CaptureStats* stats_ = nullptr;
    const MetricsBoard* board_ = nullptr;
    const HookCounters* hook_ = nullptr;
    ::MHD_Daemon* daemon_ = nullptr;
    std::unique_ptr<ConnectionLifetimes> lifetimes_;
    std::thread sweeper_;
};

// This process's CPU time, resident memory, start time and open files,
// from /proc.
ProcessFigures read_process_figures();

}  // namespace qv
