// The end of a metrics connection's life: its socket shut down once the
// life is over and not before, a connection the server has closed never
// touched, and the loop ending on stop() with connections still held.
// Connections here are socket pairs: one end is the server's socket, the
// other the client's, which sees the end of the connection.
#include "control/connection_lifetimes.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

namespace qv {
namespace {

using Clock = ConnectionLifetimes::Clock;
using std::chrono::milliseconds;

// Only a failure waits this long.
constexpr milliseconds kWait{10000};

struct Pair {
    int server = -1;
    int client = -1;
    Pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            server = fds[0];
            client = fds[1];
        }
    }
    ~Pair() {
        if (server >= 0) close(server);
        if (client >= 0) close(client);
    }
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;
};

// Whether the client's end sees the connection ended (end of stream)
// within the timeout.
bool ended(const Pair& p, milliseconds timeout) {
    pollfd fd{p.client, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(timeout.count())) != 1) return false;
    char c;
    return recv(p.client, &c, 1, MSG_DONTWAIT) == 0;
}

// The loop on a thread of its own, stopped and joined at the end.
struct Running {
    ConnectionLifetimes lifetimes;
    std::thread loop;
    explicit Running(Clock::duration life) : lifetimes(life), loop([this] { lifetimes.run(); }) {}
    ~Running() {
        lifetimes.stop();
        loop.join();
    }
};

TEST(ConnectionLifetimes, EachConnectionEndsWhenItsLifeIsOverAndNotBefore) {
    constexpr milliseconds kLife{200};
    Running r(kLife);
    // Opened at different times, each ends on its own schedule.
    std::vector<Pair> pairs(3);
    std::vector<Clock::time_point> opened;
    for (size_t i = 0; i < pairs.size(); ++i) {
        ASSERT_GE(pairs[i].server, 0);
        opened.push_back(Clock::now());
        r.lifetimes.opened(&pairs[i], pairs[i].server);
        std::this_thread::sleep_for(milliseconds(50));  // spreads the openings
    }
    for (size_t i = 0; i < pairs.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(ended(pairs[i], kWait));
        // The life began after opened was taken, so it cannot be shorter.
        EXPECT_GE(Clock::now() - opened[i], kLife);
    }
}

TEST(ConnectionLifetimes, ConnectionClosedByTheServerIsNeverTouched) {
    constexpr milliseconds kLife{100};
    Running r(kLife);
    // Closed before its life is over: its socket number may already belong
    // to another file when the life would have ended.
    Pair closed_early, kept;
    ASSERT_GE(closed_early.server, 0);
    ASSERT_GE(kept.server, 0);
    r.lifetimes.opened(&closed_early, closed_early.server);
    r.lifetimes.closed(&closed_early);
    // A key never opened changes nothing.
    r.lifetimes.closed(&r);
    r.lifetimes.opened(&kept, kept.server);
    // The second ends after the first would have: once it has, the first
    // would have been cut too.
    ASSERT_TRUE(ended(kept, kWait));
    EXPECT_FALSE(ended(closed_early, milliseconds(0)));
    const char byte = 'x';
    EXPECT_EQ(send(closed_early.server, &byte, 1, MSG_NOSIGNAL), 1);
}

TEST(ConnectionLifetimes, StopEndsTheLoopWithConnectionsHeld) {
    Pair p;
    ASSERT_GE(p.server, 0);
    {
        Running r(std::chrono::hours(1));
        r.lifetimes.opened(&p, p.server);
    }  // stopped and joined here
    EXPECT_FALSE(ended(p, milliseconds(0)));
}

}  // namespace
}  // namespace qv
