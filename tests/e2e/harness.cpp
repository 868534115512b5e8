#include "harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>

namespace qv::e2e {
namespace {

using Clock = std::chrono::steady_clock;

std::string errno_text(const std::string& what) {
    return what + ": " + strerror(errno);
}

[[noreturn]] void throw_errno(const std::string& what) {
    throw std::runtime_error(errno_text(what));
}

int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<Duration>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// poll() on one descriptor until it is readable or the deadline passes.
bool readable_by(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int n = poll(&p, 1, remaining_ms(deadline));
        if (n > 0) return true;
        if (n == 0) return false;
        if (errno != EINTR) throw_errno("poll");
    }
}

int open_pidfd(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

std::string describe_status(int status) {
    if (WIFEXITED(status)) return exited(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return killed_by(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// ---- pids that a live Process owns; every other child of ours is a stray.

std::mutex g_owned_mu;
std::set<pid_t> g_owned;

void own(pid_t pid) {
    std::lock_guard lock(g_owned_mu);
    g_owned.insert(pid);
}
void disown(pid_t pid) {
    std::lock_guard lock(g_owned_mu);
    g_owned.erase(pid);
}

// Every process whose parent is this one, from /proc.
std::vector<pid_t> children() {
    std::vector<pid_t> out;
    const pid_t self = getpid();
    DIR* d = opendir("/proc");
    if (d == nullptr) return out;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        std::ifstream in("/proc/" + std::string(e->d_name) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // "pid (comm) state ppid ...": comm may hold anything, so start after its last ')'.
        size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 1));
        std::string state;
        long ppid = 0;
        if (rest >> state >> ppid && ppid == self) out.push_back(static_cast<pid_t>(pid));
    }
    closedir(d);
    return out;
}

void kill_strays() {
    // Killing an adopted child may hand us its own children; go round until none is left.
    for (int round = 0; round < 100; ++round) {
        std::vector<pid_t> strays = adopted_children();
        if (strays.empty()) return;
        for (pid_t pid : strays) ::kill(pid, SIGKILL);
        for (pid_t pid : strays) waitpid(pid, nullptr, 0);
    }
}

// ---- the namespaces

bool g_ready = false;
std::string g_error = "the e2e environment was never set up";

void bring_up_lo() {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) throw_errno("socket for SIOCSIFFLAGS");
    ifreq ifr{};
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(s, SIOCGIFFLAGS, &ifr) != 0) throw_errno("SIOCGIFFLAGS lo");
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0) throw_errno("SIOCSIFFLAGS lo up");
    close(s);
}

// A fresh network namespace has lo and nothing else; anything more means
// traffic could leave the machine.
void check_only_lo() {
    struct if_nameindex* all = ::if_nameindex();
    if (all == nullptr) throw_errno("if_nameindex");
    std::string names;
    for (struct if_nameindex* i = all; i->if_index != 0; ++i)
        names += std::string(names.empty() ? "" : ",") + i->if_name;
    if_freenameindex(all);
    if (names != "lo")
        throw std::runtime_error("expected only lo in the new network namespace, found " + names);
}

void make_dir(const char* path, mode_t mode) {
    if (mkdir(path, mode) != 0 && errno != EEXIST) throw_errno(std::string("mkdir ") + path);
    chmod(path, mode);  // the umask must not narrow it
}

void do_mount(const char* source, const char* target, const char* type, unsigned long flags,
              const char* data) {
    if (mount(source, target, type, flags, data) != 0) {
        throw_errno(std::string("mount ") + (source ? source : "") + " on " + target);
    }
}

// /dev becomes a tmpfs of our own: the real one is a devtmpfs shared with
// the host, where /dev/log must not be created. The few device nodes a
// program needs are bind-mounted from the real /dev, reached through a
// descriptor opened before the tmpfs hides it.
void private_dev() {
    int host_dev = open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (host_dev < 0) throw_errno("open /dev");
    do_mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=755,size=1m");
    make_dir("/dev/.host", 0700);
    std::string host_path = "/proc/self/fd/" + std::to_string(host_dev);
    do_mount(host_path.c_str(), "/dev/.host", nullptr, MS_BIND, nullptr);
    close(host_dev);
    for (const char* name : {"null", "zero", "full", "random", "urandom", "tty"}) {
        std::string target = std::string("/dev/") + name;
        int fd = open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0) throw_errno("create " + target);
        close(fd);
        std::string source = std::string("/dev/.host/") + name;
        do_mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr);
    }
    if (umount2("/dev/.host", MNT_DETACH) != 0) throw_errno("umount /dev/.host");
    rmdir("/dev/.host");

    const std::pair<const char*, const char*> links[] = {
        {"/proc/self/fd", "/dev/fd"},       {"/proc/self/fd/0", "/dev/stdin"},
        {"/proc/self/fd/1", "/dev/stdout"}, {"/proc/self/fd/2", "/dev/stderr"},
        {"pts/ptmx", "/dev/ptmx"},
    };
    for (const auto& [to, from] : links) {
        if (symlink(to, from) != 0) throw_errno(std::string("symlink ") + from);
    }
    make_dir("/dev/pts", 0755);
    do_mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC,
             "newinstance,ptmxmode=0666,mode=0620");
    make_dir("/dev/shm", 01777);
    do_mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
}

void setup_environment() {
    if (geteuid() != 0) {
        throw std::runtime_error("the e2e tests must run as root (euid is " +
                                 std::to_string(geteuid()) +
                                 "): they need private network and mount namespaces");
    }
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
        throw_errno("unshare(CLONE_NEWNET | CLONE_NEWNS)");
    // Before any mount: nothing done below may propagate to the host.
    do_mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    bring_up_lo();
    check_only_lo();
    private_dev();
    // A sysfs of the new network namespace, so device lookups see only lo.
    do_mount("sysfs", "/sys", "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);

    int log = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (log < 0) throw_errno("socket AF_UNIX");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, "/dev/log", sizeof addr.sun_path - 1);
    if (bind(log, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw_errno("bind /dev/log");
    chmod("/dev/log", 0666);
    syslog_listener().start(log);

    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) throw_errno("PR_SET_CHILD_SUBREAPER");
}

class Environment : public ::testing::Environment {
  public:
    void SetUp() override {
        try {
            setup_environment();
            g_ready = true;
            g_error.clear();
        } catch (const std::exception& e) {
            g_error = std::string("cannot set up the e2e environment: ") + e.what();
        }
    }
};

// Registered before main: gtest sets it up once, before the first test,
// and not at all when only listing the tests.
[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new Environment);

}  // namespace

bool environment_ready() {
    return g_ready;
}
const std::string& environment_error() {
    return g_error;
}

void E2eTest::SetUp() {
    ASSERT_TRUE(environment_ready()) << environment_error();
    syslog_listener().clear();
}

void E2eTest::TearDown() {
    if (environment_ready()) kill_strays();
}

// ---------------------------------------------------------------- processes

std::string exited(int status) {
    return "exited " + std::to_string(status);
}
std::string killed_by(int signal) {
    return "killed by signal " + std::to_string(signal);
}

Process::Process(const std::string& path, std::vector<std::string> argv, Stdout kind) {
    if (!environment_ready()) {
        throw std::runtime_error("refusing to run " + path +
                                 " outside the test namespaces: " + environment_error());
    }
    int out_child = -1;
    if (kind == Stdout::pty) {
        out_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (out_fd_ < 0) throw_errno("posix_openpt");
        char name[64];
        if (grantpt(out_fd_) != 0 || unlockpt(out_fd_) != 0 ||
            ptsname_r(out_fd_, name, sizeof name) != 0) {
            throw_errno("pty set-up");
        }
        out_child = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (out_child < 0) throw_errno(std::string("open ") + name);
        // Raw: no "\r\n" for "\n", no echo; the bytes arrive as written.
        termios t{};
        tcgetattr(out_child, &t);
        cfmakeraw(&t);
        tcsetattr(out_child, TCSANOW, &t);
    } else {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) throw_errno("pipe2");
        out_fd_ = p[0];
        out_child = p[1];
    }
    int e[2];
    if (pipe2(e, O_CLOEXEC) != 0) throw_errno("pipe2");
    err_fd_ = e[0];
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null < 0) throw_errno("open /dev/null");
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) throw_errno("eventfd");

    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) throw_errno("fork");
    if (pid_ == 0) {
        // Only async-signal-safe calls from here to exec.
        setsid();
        dup2(null, 0);
        dup2(out_child, 1);
        dup2(e[1], 2);
        close_range(3, ~0u, 0);
        execv(path.c_str(), args.data());
        const char msg[] = "exec failed\n";
        ssize_t ignored = write(2, msg, sizeof msg - 1);
        (void)ignored;
        _exit(127);
    }
    close(null);
    close(out_child);
    close(e[1]);
    pidfd_ = open_pidfd(pid_);
    if (pidfd_ < 0) {
        int saved = errno;
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        errno = saved;
        throw_errno("pidfd_open");
    }
    own(pid_);
    fcntl(out_fd_, F_SETFL, O_NONBLOCK);
    fcntl(err_fd_, F_SETFL, O_NONBLOCK);
    reader_ = std::thread([this] { pump(); });
}

Process::~Process() {
    try {
        kill();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "cannot end pid " << pid_ << ": " << e.what();
    }
    {
        std::lock_guard lock(mu_);
        stop_ = true;
    }
    uint64_t one = 1;
    ssize_t ignored = write(wake_fd_, &one, sizeof one);
    (void)ignored;
    if (reader_.joinable()) reader_.join();
    for (int fd : {pidfd_, out_fd_, err_fd_, wake_fd_}) {
        if (fd >= 0) close(fd);
    }
}

// The reader thread: everything readable on stdout and stderr goes into the
// strings; a wake-up on wake_fd_ asks for a full drain (sync_output) or stop.
void Process::pump() {
    auto read_all = [this](int fd, std::string& into, bool& open) {
        if (!open) return;
        char buf[4096];
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) {
                std::lock_guard lock(mu_);
                into.append(buf, static_cast<size_t>(n));
                cv_.notify_all();
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) return;
            // 0 at the end of a pipe; EIO from a pty master once the last slave is closed.
            std::lock_guard lock(mu_);
            open = false;
            cv_.notify_all();
            return;
        }
    };
    for (;;) {
        uint64_t wanted;
        bool out_open, err_open;
        {
            std::lock_guard lock(mu_);
            if (stop_) break;
            wanted = sync_wanted_;
            out_open = out_open_;
            err_open = err_open_;
        }
        read_all(out_fd_, out_, out_open_);
        read_all(err_fd_, err_, err_open_);
        {
            std::lock_guard lock(mu_);
            sync_done_ = wanted;
            cv_.notify_all();
            out_open = out_open_;
            err_open = err_open_;
        }
        if (!out_open && !err_open) break;
        pollfd fds[3] = {{wake_fd_, POLLIN, 0},
                         {out_open ? out_fd_ : -1, POLLIN, 0},
                         {err_open ? err_fd_ : -1, POLLIN, 0}};
        if (poll(fds, 3, -1) < 0 && errno != EINTR) break;
        uint64_t value;
        ssize_t ignored = read(wake_fd_, &value, sizeof value);
        (void)ignored;
    }
    std::lock_guard lock(mu_);
    pump_done_ = true;
    cv_.notify_all();
}

// Returns once everything the child wrote before this call is in the strings.
void Process::sync_output() {
    std::unique_lock lock(mu_);
    uint64_t ticket = ++sync_wanted_;
    uint64_t one = 1;
    ssize_t ignored = write(wake_fd_, &one, sizeof one);
    (void)ignored;
    cv_.wait(lock, [&] { return sync_done_ >= ticket || pump_done_; });
}

std::string Process::out() const {
    std::lock_guard lock(mu_);
    return out_;
}

std::string Process::err() const {
    std::lock_guard lock(mu_);
    return err_;
}

bool Process::wait_until(const std::function<bool(const std::string&, const std::string&)>& pred,
                         Duration timeout) {
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, timeout, [&] { return pred(out_, err_) || pump_done_; });
    return pred(out_, err_);
}

bool Process::wait_out(std::string_view text, Duration timeout) {
    return wait_until([&](const std::string& out,
                          const std::string&) { return out.find(text) != std::string::npos; },
                      timeout);
}

bool Process::wait_err(std::string_view text, Duration timeout) {
    return wait_until([&](const std::string&,
                          const std::string& err) { return err.find(text) != std::string::npos; },
                      timeout);
}

std::string Process::wait_exit(Duration timeout) {
    if (!reaped_) {
        if (!readable_by(pidfd_, Clock::now() + timeout)) return kStillRunning;
        int status = 0;
        if (waitpid(pid_, &status, 0) != pid_) throw_errno("waitpid");
        reaped_ = true;
        status_ = describe_status(status);
        disown(pid_);
        // A daemon's children may still hold the streams open, so do not wait
        // for their end: what the child wrote is already in them.
        sync_output();
    }
    return status_;
}

bool Process::running() const {
    if (reaped_) return false;
    pollfd p{pidfd_, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
}

void Process::signal(int sig) {
    if (!reaped_) ::kill(pid_, sig);
}

void Process::kill() {
    if (reaped_ || pid_ <= 0) return;
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    wait_exit(kWait);
}

std::string Process::describe() const {
    std::lock_guard lock(mu_);
    return "pid " + std::to_string(pid_) + " (" + (reaped_ ? status_ : std::string(kStillRunning)) +
           ")\n--- stdout:\n" + out_ + "\n--- stderr:\n" + err_ + "\n---";
}

Process start_program_as(const std::string& argv0, const std::vector<std::string>& args,
                         Stdout kind) {
    std::vector<std::string> argv{argv0};
    argv.insert(argv.end(), args.begin(), args.end());
    return Process(QV_BINARY, std::move(argv), kind);
}

Process start_program(const std::vector<std::string>& args, Stdout kind) {
    return start_program_as(QV_BINARY, args, kind);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    size_t from = 0;
    for (size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1) {
        out.push_back(text.substr(from, nl - from));
    }
    return out;
}

void await_second_turn() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // A few milliseconds past the turn: time() may lag the clock by a tick.
    std::this_thread::sleep_for(std::chrono::nanoseconds(1'000'000'000L - now.tv_nsec) +
                                Duration(5));
}

// ---------------------------------------------------------------- other programs

std::string tool(const std::string& name) {
    const char* path = getenv("PATH");
    std::istringstream dirs(std::string(path != nullptr ? path : "/usr/bin:/bin") +
                            ":/usr/sbin:/sbin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (dir.empty()) continue;
        const std::string full = dir + "/" + name;
        if (access(full.c_str(), X_OK) == 0) return full;
    }
    return "";
}

std::string run_tool(const std::vector<std::string>& argv, Duration timeout) {
    Process p(tool(argv[0]), argv, Stdout::pipe);
    EXPECT_EQ(p.wait_exit(timeout), exited(0)) << p.describe();
    return p.out();
}

std::vector<std::string> Tshark::argv(const std::string& capture_filter,
                                      const std::vector<std::string>& fields,
                                      const std::string& temp_dir,
                                      const std::string& display_filter) {
    std::vector<std::string> a = {"tshark", "-i",         "lo",     "-f", capture_filter, "-n",
                                  "-l",     "--temp-dir", temp_dir, "-T", "fields"};
    if (!display_filter.empty()) {
        a.push_back("-Y");
        a.push_back(display_filter);
    }
    for (const std::string& f : fields) {
        a.push_back("-e");
        a.push_back(f);
    }
    return a;
}

Tshark::Tshark(const std::string& capture_filter, const std::vector<std::string>& fields,
               const std::string& temp_dir, const std::string& display_filter)
    : process_(tool("tshark"), argv(capture_filter, fields, temp_dir, display_filter)) {}

Tshark::~Tshark() {
    process_.signal(SIGTERM);
    process_.wait_exit();
}

bool Tshark::wait_until(const std::function<bool(const std::string&)>& pred, Duration timeout) {
    return process_.wait_until(
        [&](const std::string& out, const std::string&) { return pred(out); }, timeout);
}

namespace {

std::vector<std::string> split(const std::string& text, char by) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t at; (at = text.find(by, from)) != std::string::npos; from = at + 1)
        parts.push_back(text.substr(from, at - from));
    parts.push_back(text.substr(from));
    return parts;
}

}  // namespace

std::vector<std::string> tshark_fields(const std::string& line) {
    return split(line, '\t');
}

std::vector<std::string> occurrences(const std::string& field) {
    if (field.empty()) return {};
    return split(field, ',');
}

// ---------------------------------------------------------------- frames

std::string ip_text(const Ipv4& a) {
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]);
}

Ipv6 ipv6(const std::string& text) {
    Ipv6 a{};
    if (inet_pton(AF_INET6, text.c_str(), a.data()) != 1)
        throw std::runtime_error("not an IPv6 address: " + text);
    return a;
}

std::string ip_text(const Ipv6& a) {
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, a.data(), text, sizeof text);
    return text;
}

qv::test::FrameSpec query_from(const Ipv4& src, std::vector<std::string> labels) {
    qv::test::FrameSpec s;
    memcpy(s.src, src.data(), 4);
    s.labels = std::move(labels);
    return s;
}

qv::test::FrameSpec query_from6(const Ipv6& src, std::vector<std::string> labels) {
    qv::test::FrameSpec s;
    s.ip_version = 6;
    memcpy(s.src6, src.data(), 16);
    s.labels = std::move(labels);
    return s;
}

std::vector<uint8_t> dns_query(const std::vector<std::string>& labels, uint16_t qtype) {
    // A raw IPv4 frame is the IP and UDP headers (28 bytes) and the message.
    qv::test::FrameSpec s;
    s.link_len = 0;
    s.labels = labels;
    s.qtype = qtype;
    std::vector<uint8_t> frame = qv::test::build_frame(s);
    return std::vector<uint8_t>(frame.begin() + 28, frame.end());
}

std::string dump_line_text(const std::string& src, const char* proto, unsigned qtype,
                           const std::string& domain) {
    char line[2048];
    snprintf(line, sizeof line, "src: %-15s  proto: %s  qtype: 0x%02x  domain: %s", src.c_str(),
             proto, qtype, domain.c_str());
    return line;
}

std::string dump_line(const Ipv4& src, const char* proto, unsigned qtype,
                      const std::string& domain) {
    return dump_line_text(ip_text(src), proto, qtype, domain);
}

FrameInjector::FrameInjector(const char* ifname) {
    // Protocol 0: the socket only sends; nothing captured is queued to it.
    fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw_errno("socket AF_PACKET");
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_ifindex = static_cast<int>(if_nametoindex(ifname));
    if (sll.sll_ifindex == 0) throw_errno(std::string("if_nametoindex ") + ifname);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0)
        throw_errno("bind AF_PACKET");
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) throw_errno("sched_getaffinity");
    for (int cpu = 0; cpu < CPU_SETSIZE && cpu_ < 0; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) cpu_ = cpu;
    }
}

FrameInjector::~FrameInjector() {
    if (fd_ >= 0) close(fd_);
}

void FrameInjector::send(const std::vector<uint8_t>& frame) {
    // A frame sent on lo is queued for receive on the sending CPU. Sending
    // every frame from one CPU keeps them in order, so a last "marker" frame
    // is seen after all the frames before it.
    cpu_set_t before, one;
    CPU_ZERO(&before);
    CPU_ZERO(&one);
    sched_getaffinity(0, sizeof before, &before);
    CPU_SET(cpu_, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) throw_errno("sched_setaffinity");
    ssize_t n = ::send(fd_, frame.data(), frame.size(), 0);
    int saved = errno;
    sched_setaffinity(0, sizeof before, &before);
    errno = saved;
    if (n != static_cast<ssize_t>(frame.size()))
        throw_errno("send frame of " + std::to_string(frame.size()) + " bytes");
}

std::string probe_line(const Ipv4& probe) {
    return dump_line(probe, "udp", 1, "ready.probe.");
}

::testing::AssertionResult wait_capturing(Process& p, const Ipv4& probe, Duration timeout) {
    return wait_capturing(p, query_from(probe, {"ready", "probe"}), probe_line(probe), timeout);
}

::testing::AssertionResult wait_capturing(Process& p, const qv::test::FrameSpec& probe,
                                          const std::string& probe_dump, Duration timeout) {
    FrameInjector injector;
    const std::vector<uint8_t> frame = qv::test::build_frame(probe);
    const std::string line = probe_dump + "\n";
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        injector.send(frame);
        if (p.wait_out(line, Duration(50))) return ::testing::AssertionSuccess();
        if (!p.running()) {
            p.wait_exit(Duration(0));
            return ::testing::AssertionFailure()
                   << "the program ended before it captured a probe: " << p.describe();
        }
        if (Clock::now() >= deadline) {
            return ::testing::AssertionFailure() << "no dump line \"" << probe_dump << "\" within "
                                                 << timeout.count() << " ms: " << p.describe();
        }
    }
}

// ---------------------------------------------------------------- collectors

namespace {

// A socket address of a numeric IPv4 or IPv6 text and a port.
socklen_t socket_address(const std::string& text, uint16_t port, sockaddr_storage& out) {
    out = {};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        return sizeof(sockaddr_in);
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
    if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        return sizeof(sockaddr_in6);
    }
    throw std::runtime_error("not an address: " + text);
}

uint16_t port_of(const sockaddr_storage& a) {
    return ntohs(a.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(a).sin_port
                                        : reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
}

}  // namespace

UdpReceiver::UdpReceiver(const std::string& address) {
    sockaddr_storage addr{};
    socklen_t len = socket_address(address, 0, addr);
    fd_ = socket(addr.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw_errno("socket for " + address);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0) throw_errno("bind " + address);
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) throw_errno("getsockname");
    port_ = port_of(addr);
}

UdpReceiver::~UdpReceiver() {
    if (fd_ >= 0) close(fd_);
}

std::optional<std::string> UdpReceiver::receive(Duration timeout) {
    if (!readable_by(fd_, Clock::now() + timeout)) return std::nullopt;
    std::string buf(65536, '\0');
    ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
    if (n < 0) throw_errno("recv");
    buf.resize(static_cast<size_t>(n));
    return buf;
}

UdpSender::UdpSender(const std::string& from, const std::string& to, uint16_t port) {
    to_len_ = socket_address(to, port, to_);
    sockaddr_storage local{};
    socklen_t local_len = socket_address(from, 0, local);
    fd_ = socket(local.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw_errno("socket for " + from);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&local), local_len) != 0) throw_errno("bind " + from);
}

UdpSender::~UdpSender() {
    if (fd_ >= 0) close(fd_);
}

void UdpSender::send(const std::vector<uint8_t>& payload) {
    // Not connected: an ICMP error for one datagram must not fail the next.
    ssize_t n = sendto(fd_, payload.data(), payload.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to_), to_len_);
    if (n != static_cast<ssize_t>(payload.size())) throw_errno("sendto");
}

namespace {

// Whether key is a source as the export writes it: see add_export_counts.
bool source_key(const std::string& key) {
    const size_t slash = key.find('/');
    const std::string addr = key.substr(0, slash);
    uint8_t bytes[16] = {};
    int family = AF_INET;
    int width = 32;
    if (inet_pton(AF_INET, addr.c_str(), bytes) != 1) {
        family = AF_INET6;
        width = 128;
        // Any IPv6 text, ::ffff:a.b.c.d too: that is an IPv6 source (the
        // frame's family), while an IPv4 one is a dotted quad.
        if (inet_pton(AF_INET6, addr.c_str(), bytes) != 1) return false;
    }
    char canonical[INET6_ADDRSTRLEN];
    inet_ntop(family, bytes, canonical, sizeof canonical);
    if (addr != canonical) return false;
    if (slash == std::string::npos) return true;
    const std::string digits = key.substr(slash + 1);
    if (digits.empty() || digits.size() > 3 ||
        digits.find_first_not_of("0123456789") != std::string::npos || digits[0] == '0')
        return false;
    const int len = std::stoi(digits);
    if (len < (family == AF_INET ? 8 : 16) || len >= width) return false;
    for (int bit = len; bit < width; ++bit) {
        if (bytes[bit / 8] & (0x80 >> (bit % 8))) return false;
    }
    return true;
}

}  // namespace

::testing::AssertionResult parse_datagram(const std::string& datagram, const char* type,
                                          nlohmann::json& j) {
    auto bad = [&](const std::string& why) {
        return ::testing::AssertionFailure()
               << why << " in datagram of " << datagram.size() << " bytes: " << datagram;
    };
    if (datagram.size() > 1199) return bad("more than 1199 bytes");
    if (datagram.empty() || datagram.find('\0') != datagram.size() - 1)
        return bad("not exactly one NUL, at the end,");
    try {
        j = nlohmann::json::parse(datagram.substr(0, datagram.size() - 1));
    } catch (const nlohmann::json::exception& e) {
        return bad(std::string("no JSON (") + e.what() + ")");
    }
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    if (!j.is_object() || j.size() != 3) return bad("not an object of three members");
    if (j.value("hostname", "") != host) return bad(std::string("hostname is not ") + host);
    if (j.value("type", "") != type) return bad(std::string("type is not \"") + type + "\"");
    if (!j.contains("data") || !j["data"].is_object() || j["data"].empty())
        return bad("no data object with entries");
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult add_export_counts(const std::string& datagram,
                                             std::map<std::string, uint64_t>& counts) {
    auto bad = [&](const std::string& why) {
        return ::testing::AssertionFailure()
               << why << " in datagram of " << datagram.size() << " bytes: " << datagram;
    };
    nlohmann::json j;
    if (auto ok = parse_datagram(datagram, "source", j); !ok) return ok;
    std::map<std::string, uint64_t> found;
    for (const auto& [addr, count] : j["data"].items()) {
        if (!source_key(addr)) return bad("key " + addr + " is no source");
        if (!count.is_number_unsigned()) return bad("count of " + addr + " is no unsigned number");
        found[addr] = count.get<uint64_t>();
    }
    for (const auto& [addr, count] : found) counts[addr] += count;
    return ::testing::AssertionSuccess();
}

std::string count_differences(const std::map<std::string, uint64_t>& expected,
                              const std::map<std::string, uint64_t>& got) {
    std::string out;
    for (const auto& [source, n] : expected) {
        auto it = got.find(source);
        const uint64_t seen = it == got.end() ? 0 : it->second;
        if (seen != n)
            out += source + ": counted " + std::to_string(seen) + ", expected " +
                   std::to_string(n) + "\n";
    }
    for (const auto& [source, n] : got) {
        if (n != 0 && expected.count(source) == 0)
            out += source + ": counted " + std::to_string(n) + ", expected none\n";
    }
    return out;
}

std::optional<SyslogMessage> parse_syslog(std::string_view d) {
    SyslogMessage m;
    m.raw = std::string(d);
    // Datagrams carry no terminator, but a stream-style NUL or newline may end one.
    while (!d.empty() && (d.back() == '\0' || d.back() == '\n')) d.remove_suffix(1);
    if (d.size() < 3 || d[0] != '<') return std::nullopt;
    size_t gt = d.find('>');
    if (gt == std::string_view::npos || gt == 1 || gt > 4) return std::nullopt;
    int pri = 0;
    for (char c : d.substr(1, gt - 1)) {
        if (c < '0' || c > '9') return std::nullopt;
        pri = pri * 10 + (c - '0');
    }
    m.priority = pri;
    d.remove_prefix(gt + 1);
    // "Mmm dd hh:mm:ss " (strftime's "%h %e %T").
    if (d.size() < 16 || d[3] != ' ' || d[6] != ' ' || d[9] != ':' || d[12] != ':' ||
        d[15] != ' ') {
        return std::nullopt;
    }
    m.timestamp = std::string(d.substr(0, 15));
    d.remove_prefix(16);
    size_t colon = d.find(": ");
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view head = d.substr(0, colon);
    m.message = std::string(d.substr(colon + 2));
    size_t bracket = head.rfind('[');
    if (!head.empty() && head.back() == ']' && bracket != std::string_view::npos) {
        std::string digits(head.substr(bracket + 1, head.size() - bracket - 2));
        char* end = nullptr;
        long pid = strtol(digits.c_str(), &end, 10);
        if (digits.empty() || *end != '\0') return std::nullopt;
        m.pid = static_cast<pid_t>(pid);
        head = head.substr(0, bracket);
    }
    m.tag = std::string(head);
    return m;
}

SyslogListener& syslog_listener() {
    // Never destroyed: its thread lives as long as the process.
    static SyslogListener* listener = new SyslogListener;
    return *listener;
}

void SyslogListener::start(int fd) {
    std::thread([this, fd] { drain(fd); }).detach();
}

void SyslogListener::drain(int fd) {
    std::string buf(65536, '\0');
    for (;;) {
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        std::string_view d(buf.data(), static_cast<size_t>(n));
        SyslogMessage m;
        if (auto parsed = parse_syslog(d)) {
            m = *parsed;
        } else {
            m.raw = std::string(d);  // kept, so a test can see a malformed message
        }
        std::lock_guard lock(mu_);
        messages_.push_back(std::move(m));
        cv_.notify_all();
    }
}

std::vector<SyslogMessage> SyslogListener::messages() const {
    std::lock_guard lock(mu_);
    return messages_;
}

void SyslogListener::clear() {
    std::lock_guard lock(mu_);
    messages_.clear();
}

std::optional<SyslogMessage> SyslogListener::wait_for(
    const std::function<bool(const SyslogMessage&)>& pred, Duration timeout) {
    std::unique_lock lock(mu_);
    size_t seen = 0;
    std::optional<SyslogMessage> found;
    cv_.wait_for(lock, timeout, [&] {
        for (; seen < messages_.size() && !found; ++seen) {
            if (pred(messages_[seen])) found = messages_[seen];
        }
        return found.has_value();
    });
    return found;
}

// ---------------------------------------------------------------- Prometheus

Prometheus::Prometheus(uint16_t target, const std::map<std::string, std::string>& files,
                       const std::string& extra_config) {
    char dir[] = "/tmp/qv-prometheus-XXXXXX";
    if (mkdtemp(dir) == nullptr) throw_errno("mkdtemp");
    dir_ = dir;
    for (const auto& [name, content] : files) std::ofstream(dir_ + "/" + name) << content;
    std::ofstream(dir_ + "/prometheus.yml") << "global:\n"
                                               "  scrape_interval: 1s\n"
                                               "  scrape_timeout: 1s\n"
                                               "  evaluation_interval: 1s\n"
                                               "scrape_configs:\n"
                                               "  - job_name: quorvane\n"
                                               "    static_configs:\n"
                                               "      - targets: ['127.0.0.1:"
                                            << target << "']\n"
                                            << extra_config;
    process_ = std::make_unique<Process>(
        "/usr/bin/prometheus",
        std::vector<std::string>{"prometheus", "--config.file=" + dir_ + "/prometheus.yml",
                                 "--storage.tsdb.path=" + dir_ + "/data",
                                 "--web.listen-address=127.0.0.1:" + std::to_string(kPort),
                                 "--log.level=warn"},
        Stdout::pipe);
}

Prometheus::~Prometheus() {
    process_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

::testing::AssertionResult Prometheus::wait_ready(Duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        std::optional<HttpReply> r = http_get_local(kPort, "/-/ready");
        if (r && r->status == 200) return ::testing::AssertionSuccess();
        if (!process_->running() || Clock::now() >= deadline) {
            return ::testing::AssertionFailure()
                   << "Prometheus not ready: "
                   << (r ? std::to_string(r->status) + " " + r->body : "no answer") << "\n"
                   << process_->describe();
        }
        std::this_thread::sleep_for(Duration(100));
    }
}

std::optional<std::map<std::string, double>> Prometheus::query(const std::string& promql) {
    std::optional<HttpReply> r =
        http_get_local(kPort, "/api/v1/query?query=" + url_encoded(promql), Duration(5000));
    if (!r || r->status != 200) return std::nullopt;
    const nlohmann::json j = nlohmann::json::parse(r->body, nullptr, false);
    if (j.is_discarded() || !j.is_object() || j.value("status", "") != "success" ||
        !j.contains("data") || j.at("data").value("resultType", "") != "vector") {
        return std::nullopt;
    }
    std::map<std::string, double> out;
    for (const auto& series : j.at("data").at("result")) {
        auto labels = series.at("metric").get<std::map<std::string, std::string>>();
        labels.erase("__name__");
        std::string key;
        for (const auto& [k, v] : labels) key += (key.empty() ? "" : ",") + k + "=" + v;
        out[key] = std::stod(series.at("value").at(1).get<std::string>());
    }
    return out;
}

std::string Prometheus::describe_process() const {
    return process_->describe();
}

std::string text_of(const std::optional<std::map<std::string, double>>& v) {
    if (!v) return "(no answer)";
    std::string out;
    for (const auto& [k, n] : *v) out += "{" + k + "} " + std::to_string(n) + "\n";
    return out;
}

std::string url_encoded(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

// ---------------------------------------------------------------- subreaper

std::vector<pid_t> adopted_children() {
    std::vector<pid_t> all = children();
    std::lock_guard lock(g_owned_mu);
    std::erase_if(all, [](pid_t pid) { return g_owned.count(pid) != 0; });
    return all;
}

std::optional<pid_t> wait_adopted(Duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        std::vector<pid_t> found = adopted_children();
        if (!found.empty()) return *std::min_element(found.begin(), found.end());
        if (Clock::now() >= deadline) return std::nullopt;
        // There is no event for "a process was adopted": look again shortly.
        std::this_thread::sleep_for(Duration(10));
    }
}

std::string wait_exit_of(pid_t child, Duration timeout) {
    int fd = open_pidfd(child);
    if (fd < 0) throw_errno("pidfd_open " + std::to_string(child));
    bool done = readable_by(fd, Clock::now() + timeout);
    close(fd);
    if (!done) return kStillRunning;
    int status = 0;
    if (waitpid(child, &status, 0) != child) throw_errno("waitpid " + std::to_string(child));
    return describe_status(status);
}

std::optional<HttpReply> http_get_local(uint16_t port, const std::string& path, Duration timeout) {
    const auto deadline = Clock::now() + timeout;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return std::nullopt;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    if (!connected && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        connected = poll(&p, 1, remaining_ms(deadline)) == 1 &&
                    getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
    // The request is small: one send fits a fresh socket's buffer.
    const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    bool closed = false;
    std::string raw;
    if (connected && send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                         static_cast<ssize_t>(request.size())) {
        char buf[16384];
        while (!closed && readable_by(fd, deadline)) {
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n > 0) {
                raw.append(buf, static_cast<size_t>(n));
            } else if (n == 0) {
                closed = true;
            } else if (errno != EAGAIN && errno != EINTR) {
                break;
            }
        }
    }
    close(fd);
    const size_t body = raw.find("\r\n\r\n");
    if (!closed || !raw.starts_with("HTTP/1.") || raw.size() < 12 || body == std::string::npos)
        return std::nullopt;
    return HttpReply{std::atoi(raw.c_str() + 9), raw.substr(body + 4)};
}

// GET /metrics on 127.0.0.1:port: the body of a 200 answer, or nothing.
std::optional<std::string> metrics_page(uint16_t port) {
    std::optional<HttpReply> r = http_get_local(port, "/metrics");
    if (!r || r->status != 200) return std::nullopt;
    return std::move(r->body);
}

Samples samples_of(const std::string& page) {
    Samples s;
    std::istringstream in(page);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const size_t space = line.rfind(' ');
        if (space == std::string::npos) continue;
        s[line.substr(0, space)] = std::strtod(line.c_str() + space + 1, nullptr);
    }
    return s;
}

std::string mismatches(const Samples& got, const Samples& want) {
    std::string out;
    for (const auto& [series, value] : want) {
        auto it = got.find(series);
        if (it == got.end()) {
            out += series + ": missing, want " + std::to_string(value) + "\n";
        } else if (it->second != value) {
            out += series + ": " + std::to_string(it->second) + ", want " + std::to_string(value) +
                   "\n";
        }
    }
    return out;
}

// ---------------------------------------------------------------- promtool

::testing::AssertionResult promtool_accepts(const std::string& page) {
    char path[] = "/tmp/qv-page-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return ::testing::AssertionFailure() << "mkstemp: " << strerror(errno);
    const bool written = write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size());
    close(fd);
    if (!written) return ::testing::AssertionFailure() << "cannot write " << path;
    Process check("/bin/sh", {"sh", "-c", std::string("exec promtool check metrics < ") + path},
                  Stdout::pipe);
    const std::string status = check.wait_exit(Duration(30000));
    unlink(path);
    if (status == exited(0) && check.out().empty() && check.err().empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "promtool check metrics: " << check.describe() << "\n--- page:\n"
           << page;
}

// ---------------------------------------------------------------- responder

namespace {

// The answer to a query: its header with QR and RA set and its question,
// nothing else (an OPT record the client sent is left out); FORMERR with
// the header alone when the question cannot be read.
std::vector<uint8_t> answer(const uint8_t* q, size_t len) {
    if (len < 12) return {};
    size_t at = 12;
    while (at < len && q[at] != 0 && q[at] < 64) at += 1u + q[at];
    const bool question = at < len && q[at] == 0 && at + 5 <= len;
    std::vector<uint8_t> r(q, q + (question ? at + 5 : 12));
    r[2] = static_cast<uint8_t>(q[2] | 0x80);
    r[3] = question ? 0x80 : 0x81;
    r[4] = 0;
    r[5] = question ? 1 : 0;
    std::fill(r.begin() + 6, r.begin() + 12, 0);
    return r;
}

std::string address_of(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return text;
}

constexpr Duration kReadEvery{5};

}  // namespace

Responder::Responder() {
    stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (stop_ < 0 || udp_ < 0 || listener_ < 0) throw std::runtime_error(errno_text("responder sockets"));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1, queue = 16;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (setsockopt(listener_, IPPROTO_TCP, TCP_FASTOPEN, &queue, sizeof queue) != 0)
        throw std::runtime_error(errno_text("TCP_FASTOPEN"));
    if (bind(udp_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 64) != 0) {
        throw std::runtime_error(errno_text("bind 127.0.0.1:53"));
    }
    thread_ = std::thread([this] { run(); });
}

Responder::~Responder() {
    uint64_t one = 1;
    ssize_t ignored = write(stop_, &one, sizeof one);
    (void)ignored;
    thread_.join();
    for (auto& c : conns_) close(c.fd);
    for (int fd : {stop_, udp_, listener_}) close(fd);
}

std::vector<std::string> Responder::names_from(const std::string& address) const {
    std::lock_guard<std::mutex> hold(mu_);
    const auto it = names_.find(address);
    return it == names_.end() ? std::vector<std::string>{} : it->second;
}

void Responder::asked(const std::string& peer, const uint8_t* q, size_t len) {
    std::string name;
    for (size_t at = 12; at < len && q[at] != 0 && q[at] < 64 && at + 1 + q[at] <= len; at += 1u + q[at]) {
        if (!name.empty()) name += '.';
        name.append(reinterpret_cast<const char*>(q + at + 1), q[at]);
    }
    std::lock_guard<std::mutex> hold(mu_);
    names_[peer].push_back(name);
}

void Responder::run() {
    for (;;) {
        const auto now = Clock::now();
        int timeout = -1;
        std::vector<pollfd> fds = {{stop_, POLLIN, 0}, {udp_, POLLIN, 0}, {listener_, POLLIN, 0}};
        for (const Conn& c : conns_) {
            short events = c.out.empty() ? 0 : POLLOUT;
            const auto due = c.last_read + kReadEvery;
            if (due <= now) {
                events |= POLLIN;
            } else {
                const int wait = static_cast<int>(std::chrono::duration_cast<Duration>(due - now).count()) + 1;
                timeout = timeout < 0 ? wait : std::min(timeout, wait);
            }
            fds.push_back({c.fd, events, 0});
        }
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return;
        if (fds[0].revents) return;
        // Connections accepted now come after the ones just polled.
        const size_t polled = conns_.size();
        if (fds[1].revents & POLLIN) serve_udp();
        if (fds[2].revents & POLLIN) accept_all();
        for (size_t k = 0; k < polled; ++k) {
            const short ev = fds[3 + k].revents;
            if (ev != 0 && !serve(conns_[k], ev)) conns_[k].fd = -1;
        }
        std::erase_if(conns_, [](const Conn& c) { return c.fd < 0; });
    }
}

void Responder::serve_udp() {
    uint8_t buf[65536];
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(udp_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return;
        asked(address_of(from), buf, static_cast<size_t>(n));
        const std::vector<uint8_t> r = answer(buf, static_cast<size_t>(n));
        if (!r.empty()) sendto(udp_, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
}

void Responder::accept_all() {
    for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        conns_.push_back({fd, address_of(peer), {}, {}, Clock::now() - kReadEvery});
    }
}

// Reads what has come, queues an answer to every whole query, writes what
// it can; false once the connection is over.
bool Responder::serve(Conn& c, short events) {
    if (events & (POLLIN | POLLHUP | POLLERR)) {
        c.last_read = Clock::now();
        uint8_t buf[65536];
        const ssize_t n = read(c.fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EAGAIN)) {
            close(c.fd);
            return false;
        }
        if (n > 0) c.in.insert(c.in.end(), buf, buf + n);
        size_t at = 0;
        while (c.in.size() - at >= 2) {
            const size_t len = static_cast<size_t>(c.in[at] << 8 | c.in[at + 1]);
            if (c.in.size() - at - 2 < len) break;
            asked(c.peer, c.in.data() + at + 2, len);
            const std::vector<uint8_t> r = answer(c.in.data() + at + 2, len);
            c.out.push_back(static_cast<uint8_t>(r.size() >> 8));
            c.out.push_back(static_cast<uint8_t>(r.size()));
            c.out.insert(c.out.end(), r.begin(), r.end());
            at += 2 + len;
        }
        c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(at));
    }
    if (!c.out.empty()) {
        const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) c.out.erase(c.out.begin(), c.out.begin() + n);
    }
    return true;
}

}  // namespace qv::e2e
