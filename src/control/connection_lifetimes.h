// The connections of the metrics server, each with the end of its life, and
// the loop that cuts them when it comes. libmicrohttpd knows only idleness:
// a client sending a byte every few seconds would hold its connection for
// ever. So a thread of the program's own runs this loop and cuts each
// connection when its life is over, by shutdown() of its socket, which the
// server's thread then sees as a client gone and closes as usual.
//
// The socket is never closed here, and the lock keeps it from being closed
// (and its number given to another file) under the loop: the server reports
// a connection closed, which takes the lock, before it closes the socket.
#pragma once

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace qv {

class ConnectionLifetimes {
  public:
    using Clock = std::chrono::steady_clock;

    explicit ConnectionLifetimes(Clock::duration life) : life_(life) {}

    // A connection the server has just taken, known by key, on socket fd:
    // its life begins now.
    void opened(const void* key, int fd) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            held_.push_back({key, fd, Clock::now() + life_, false});
        }
        cv_.notify_one();
    }

    // The server is done with the connection and is about to close its
    // socket; it is not touched again. A key never opened is ignored.
    void closed(const void* key) {
        std::lock_guard<std::mutex> lock(mu_);
        auto it =
            std::find_if(held_.begin(), held_.end(), [key](const Held& h) { return h.key == key; });
        if (it == held_.end()) return;
        *it = held_.back();
        held_.pop_back();
    }

    // Cuts connections as their lives end, until stop().
    void run() {
        std::unique_lock<std::mutex> lock(mu_);
        while (!stopping_) {
            const auto now = Clock::now();
            auto next = Clock::time_point::max();
            for (Held& h : held_) {
                if (h.cut) continue;
                if (h.due <= now) {
                    shutdown(h.fd, SHUT_RDWR);
                    h.cut = true;
                } else {
                    next = std::min(next, h.due);
                }
            }
            if (next == Clock::time_point::max()) {
                cv_.wait(lock);
            } else {
                cv_.wait_until(lock, next);
            }
        }
    }

    void stop() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            stopping_ = true;
        }
        cv_.notify_one();
    }

  private:
    struct Held {
        const void* key;
        int fd;
        Clock::time_point due;
        bool cut;  // shut down, waiting for the server to close it
    };

    const Clock::duration life_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Held> held_;
    bool stopping_ = false;
};

}  // namespace qv
