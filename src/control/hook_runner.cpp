#include "control/hook_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/memory.h"

namespace qv {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPathEnv = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
// Without a pidfd the end of a run is looked for this often.
constexpr int kExitPollMs = 20;

int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Takes back the SIGPIPE a write to a closed pipe left pending in this
// thread (where it is blocked).
void take_pending_sigpipe() {
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    const timespec now{0, 0};
    while (sigtimedwait(&pipe_only, nullptr, &now) == SIGPIPE) {
    }
}

int remaining_ms(Clock::time_point until) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 60'000));
}

// A queue holds at least one event.
HookLimits with_room(HookLimits l) {
    if (l.queue_capacity == 0) l.queue_capacity = 1;
    return l;
}

double in_seconds(std::chrono::milliseconds d) {
    return static_cast<double>(d.count()) / 1000.0;
}

}  // namespace

HookRunner::HookRunner(std::string shown, std::string path, std::string hostname, bool foreground,
                       LineSink& lines, HookCounters& counters, HookLimits limits)
    : shown_(std::move(shown)),
      path_(std::move(path)),
      host_env_("QUORVANE_HOSTNAME=" + hostname),
      foreground_(foreground),
      lines_(lines),
      counters_(counters),
      limits_(with_room(limits)) {
    const size_t bytes = limits_.queue_capacity * sizeof(EventText);
    ring_ = static_cast<EventText*>(std::calloc(limits_.queue_capacity, sizeof(EventText)));
    if (ring_ == nullptr) malloc_fail("hook queue", bytes);
    thread_ = std::thread([this] { loop(); });
}

HookRunner::~HookRunner() {
    {
        std::lock_guard<std::mutex> hold(mu_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    std::free(ring_);
}

void HookRunner::drop_oldest() {
    head_ = (head_ + 1) % limits_.queue_capacity;
    --size_;
    if (ready_ > 0) --ready_;
    if (run_left_ > 0) --run_left_;
    counters_.dropped.fetch_add(1, std::memory_order_relaxed);
}

void HookRunner::event(const EventText& e) {
    counters_.events.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard<std::mutex> hold(mu_);
    if (size_ == limits_.queue_capacity) drop_oldest();
    ring_[(head_ + size_) % limits_.queue_capacity] = e;
    ++size_;
}

void HookRunner::end_cycle() {
    {
        std::lock_guard<std::mutex> hold(mu_);
        ready_ = size_;
    }
    wake_.notify_all();
}

void HookRunner::drain() {
    std::unique_lock<std::mutex> hold(mu_);
    idle_.wait(hold, [this] { return stop_ || (ready_ == 0 && !running_); });
}

bool HookRunner::next_for_run(EventText* out) {
    std::lock_guard<std::mutex> hold(mu_);
    if (run_left_ == 0) return false;
    *out = ring_[head_];
    head_ = (head_ + 1) % limits_.queue_capacity;
    --size_;
    --ready_;
    --run_left_;
    return true;
}

void HookRunner::report(const char* fmt, ...) {
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (foreground_) {
        lines_.to_stderr(std::string(line) + "\n");
    } else {
        lines_.to_syslog(LOG_WARNING, line);
    }
}

void HookRunner::loop() {
    // A write to a program that closed its standard input must fail with
    // EPIPE here, not end the process.
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, nullptr);
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(mu_);
            wake_.wait(hold, [this] { return stop_ || ready_ > 0; });
            if (stop_) break;
            run_left_ = ready_;
            running_ = true;
        }
        run();
        {
            std::lock_guard<std::mutex> hold(mu_);
            running_ = false;
            // Whatever the run did not write (it stopped reading) goes with it.
            while (run_left_ > 0) {
                head_ = (head_ + 1) % limits_.queue_capacity;
                --size_;
                --ready_;
                --run_left_;
            }
        }
        idle_.notify_all();
    }
    idle_.notify_all();
}

void HookRunner::run() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        counters_.runs_failed.fetch_add(1, std::memory_order_relaxed);
        report("hook %s could not be started: %s", shown_.c_str(), strerror(errno));
        return;
    }
    fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_adddup2(&actions, 2, 1);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Nothing of this process's (capture, sockets) stays open in the program.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGCHLD}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    char* argv[] = {const_cast<char*>(path_.c_str()), nullptr};
    char* envp[] = {const_cast<char*>(kPathEnv), const_cast<char*>(host_env_.c_str()), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path_.c_str(), &actions, &attr, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(fds[0]);
    if (rc != 0) {
        close(fds[1]);
        counters_.runs_failed.fetch_add(1, std::memory_order_relaxed);
        report("hook %s could not be started: %s", shown_.c_str(), strerror(rc));
        return;
    }

    const int pidfd = open_pidfd(pid);
    const auto started = Clock::now();
    Clock::time_point deadline = started + limits_.run_timeout;
    bool termed = false;
    bool killed = false;
    int out = fds[1];
    EventText current;
    size_t written = 0;
    bool have = false;
    int status = 0;
    bool reaped = false;
    for (;;) {
        if (out >= 0 && !have) {
            have = next_for_run(&current);
            written = 0;
            if (!have) {
                close(out);  // all written: the program sees the end of its input
                out = -1;
            }
        }
        if (waitpid(pid, &status, WNOHANG) == pid) {
            reaped = true;
            break;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            if (!termed) {
                kill(pid, SIGTERM);
                termed = true;
                deadline = now + limits_.kill_grace;
            } else if (!killed) {
                kill(pid, SIGKILL);
                killed = true;
                deadline = now + std::chrono::hours(1);  // it dies now; wait for it
            }
            continue;
        }
        pollfd p[2];
        nfds_t count = 0;
        if (out >= 0) p[count++] = pollfd{out, POLLOUT, 0};
        if (pidfd >= 0) p[count++] = pollfd{pidfd, POLLIN, 0};
        int wait_ms = remaining_ms(deadline);
        if (pidfd < 0 && wait_ms > kExitPollMs) wait_ms = kExitPollMs;
        if (poll(p, count, wait_ms) < 0 && errno != EINTR) break;
        if (out >= 0 && (p[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t w = write(out, current.text + written, current.len - written);
            if (w > 0) {
                written += static_cast<size_t>(w);
                if (written == current.len) have = false;
            } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                // It closed its standard input: the rest of its events go unread.
                take_pending_sigpipe();
                close(out);
                out = -1;
            }
        }
    }
    if (out >= 0) close(out);
    if (pidfd >= 0) close(pidfd);
    if (!reaped) {
        // Only when poll failed: no run is left behind.
        kill(pid, SIGKILL);
        termed = true;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }

    if (termed) {
        counters_.runs_killed.fetch_add(1, std::memory_order_relaxed);
        report("hook %s killed after %g s", shown_.c_str(), in_seconds(limits_.run_timeout));
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        counters_.runs_ok.fetch_add(1, std::memory_order_relaxed);
    } else {
        counters_.runs_failed.fetch_add(1, std::memory_order_relaxed);
        // Ended by a signal of someone else's: the status a shell would show.
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        report("hook %s exited with status %d", shown_.c_str(), code);
    }
}

}  // namespace qv
