#include "control/stop_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace qv {
namespace {

// Stdio buffer of the replay's input: fewer reads, each with its wait.
constexpr size_t kInputBuffer = 64 * 1024;

std::atomic<int> stop_received{0};
std::atomic<pcap_t*> live_capture{nullptr};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<pcap_t*>::is_always_lock_free,
              "read and written by a signal handler");

sigset_t stop_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

void default_action(int sig) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
}

// Async-signal-safe only: atomics, pcap_breakloop (made for this), sigaction
// and raise.
void on_stop_signal(int sig) {
    const int saved_errno = errno;
    int none = 0;
    if (stop_received.compare_exchange_strong(none, sig)) {
        if (pcap_t* handle = live_capture.load()) pcap_breakloop(handle);
    } else {
        // Asked again: the flush may be waiting on a reader that never reads.
        // The signal is blocked while its handler runs, so it lands on return.
        default_action(sig);
        raise(sig);
    }
    errno = saved_errno;
}

struct CaptureInput {
    int fd;
};

// Waits until fd has data, its end or an error to read. False, with errno
// set (EINTR once a stop signal has come), when the wait ends otherwise.
bool wait_readable(int fd) {
    const sigset_t stops = stop_set();
    sigset_t open_mask;
    pthread_sigmask(SIG_BLOCK, &stops, &open_mask);
    int failure = 0;
    for (;;) {
        if (stop_signal() != 0) {
            failure = EINTR;
            break;
        }
        pollfd p{fd, POLLIN, 0};
        // The stop signals are let in only during the wait, so one that comes
        // after the check above still ends it.
        const int n = ppoll(&p, 1, nullptr, &open_mask);
        if (n > 0) break;
        if (n < 0 && errno != EINTR) {
            failure = errno;
            break;
        }
    }
    // A signal that came while the file was ready anyway is taken here.
    pthread_sigmask(SIG_SETMASK, &open_mask, nullptr);
    if (failure == 0) return true;
    errno = stop_signal() != 0 ? EINTR : failure;
    return false;
}

ssize_t read_input(void* cookie, char* buf, size_t size) {
    const int fd = static_cast<CaptureInput*>(cookie)->fd;
    for (;;) {
        if (!wait_readable(fd)) return -1;
        const ssize_t n = read(fd, buf, size);
        if (n >= 0 || (errno != EAGAIN && errno != EINTR)) return n;
    }
}

int close_input(void* cookie) {
    auto* input = static_cast<CaptureInput*>(cookie);
    const int rc = input->fd == STDIN_FILENO ? 0 : close(input->fd);
    delete input;
    return rc;
}

}  // namespace

void catch_stop_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sa.sa_mask = stop_set();
    // A write to a full pipe goes on where it was: stdio would drop its
    // buffer on EINTR, the very lines this is about.
    sa.sa_flags = SA_RESTART;
    for (const int sig : {SIGTERM, SIGINT}) {
        // One ignored from the start stays so (a shell starts background
        // jobs with SIGINT ignored).
        struct sigaction was {};
        if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
}

void break_on_stop(pcap_t* handle) {
    live_capture.store(handle);
}

int stop_signal() {
    return stop_received.load();
}

void end_by_signal(int sig) {
    // Held to the end: no line of another thread starts after this flush,
    // and one it was writing is complete before it.
    flockfile(stdout);
    fflush(stdout);
    default_action(sig);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig);  // not reached: the default action of both ends the process
}

StopSignalsBlocked::StopSignalsBlocked() {
    const sigset_t stops = stop_set();
    pthread_sigmask(SIG_BLOCK, &stops, &saved_);
}

StopSignalsBlocked::~StopSignalsBlocked() {
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

FILE* open_capture_input(const char* path, char* errbuf, size_t errbuf_size) {
    int fd = STDIN_FILENO;
    if (strcmp(path, "-") != 0) {
        // Not blocking: the open of a FIFO would wait for its writer, and a
        // stop signal would only restart it. The reads wait instead.
        fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            snprintf(errbuf, errbuf_size, "%s: %s", path, strerror(errno));
            return nullptr;
        }
    }
    auto* input = new CaptureInput{fd};
    FILE* f =
        fopencookie(input, "r", cookie_io_functions_t{read_input, nullptr, nullptr, close_input});
    if (f == nullptr) {
        snprintf(errbuf, errbuf_size, "%s: %s", path, strerror(errno));
        close_input(input);
        return nullptr;
    }
    setvbuf(f, nullptr, _IOFBF, kInputBuffer);
    return f;
}

}  // namespace qv
