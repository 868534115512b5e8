#include "control/options.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <pcap/pcap.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdlib>

#include "base/memory.h"
#include "control/metrics_server.h"

namespace qv {
namespace {

constexpr const char* kDefaultCollector = "226.1.1.2";

// The option lines of the usage screen, in order; each is written as it stands.
constexpr const char* kUsageLines[] = {
    "-i IFNAME                 specify device name to listen on\n",
    "-t N                      alarm at >N queries per second\n",
    "-a N                      reset alarm after N seconds\n",
    "-w N                      calculate stats every N seconds\n",
    "-x N                      create N buckets\n",
    "-m N                      report overall stats every N seconds\n",
    "-A addr                   filter for specific address\n",
    "-M mask                   netmask for filter (in conjunction with -A)\n",
    "-Q                        don't filter by local interface address\n",
    "-b                        run in foreground in peekline mode\n",
    "-d                        run in background in daemon mode\n",
    "-D                        dump dns packets (implies -b)\n",
    "-v                        verbose output - use again for more verbosity\n",
    "-s                        send source-IP data to network collector as JSON\n",
    "-z addr                   address to send stats to (default 226.1.1.2)\n",
    "-p N                      UDP port to send stats to (default 2000)\n",
    "-h                        display this usage information\n",
    "-r FILE                   read packets from a capture file (implies -b)\n",
    "-u USER                   drop privileges to USER once the capture is open\n",
    "-V                        show version information\n",
    "-4 LEN                    count IPv4 sources by their first LEN bits (default 32)\n",
    "-6 LEN                    count IPv6 sources by their first LEN bits (default 64)\n",
    "-P [ADDR:]PORT            serve Prometheus metrics over HTTP (default address 127.0.0.1)\n",
    "-T N                      alarm on zones above N queries per second (default: off)\n",
    "-Z N                      track up to N zones per cycle (default 10000)\n",
    "-R                        count the answers the watched network sends\n",
    "-B N                      alarm on sources sent more than N answer bytes per second (default: off; implies -R)\n",
    "-e PROGRAM                run PROGRAM on each cycle's alarms, with them as JSON lines on its standard input\n",
};

// The absolute value of a number, within 32 bits.
int32_t magnitude(int32_t n) { return n == INT32_MIN ? INT32_MAX : (n < 0 ? -n : n); }

// An IPv4 address as inet_aton reads it, or an IPv6 address.
bool is_address(const char* text) {
    in_addr v4{};
    in6_addr v6{};
    return inet_aton(text, &v4) != 0 || inet_pton(AF_INET6, text, &v6) == 1;
}

// -A and -M: the first accepted text wins; a text that is no address asks
// for the usage screen and leaves the field free for a later occurrence.
void take_address(char*& field, const char* text, const char* label, const char* what,
                  Settings& s, FILE* err) {
    if (field != nullptr) return;
    if (!is_address(text)) {
        fprintf(err, "Invalid filter %s \"%s\"\n", what, text);
        s.show_usage = 1;
        return;
    }
    field = copy_text(text, label);
}

ParseResult refuse(const Settings& s, FILE* err, const char* why) {
    fprintf(err, "%s couldn't start\n", s.progname);
    fputs(why, err);
    return {false, 1};
}

// Resolves -e to an absolute path (a daemon leaves its directory) and checks
// that it is an executable file: 0, or why not as an errno value.
int check_hook(Settings& s) {
    char* resolved = realpath(s.hook_program, nullptr);
    if (resolved == nullptr) return errno;
    struct stat st{};
    int e = 0;
    if (stat(resolved, &st) != 0) {
        e = errno;
    } else if (S_ISDIR(st.st_mode)) {
        e = EISDIR;
    } else if (!S_ISREG(st.st_mode)) {
        e = EACCES;
    } else if (access(resolved, X_OK) != 0) {
        e = errno;
    }
    if (e != 0) {
        free(resolved);
        return e;
    }
    free(s.hook_path);
    s.hook_path = resolved;
    return 0;
}

}  // namespace

int32_t option_number(const char* text) {
    long n = strtol(text, nullptr, 10);
    if (n > INT32_MAX) return INT32_MAX;
    if (n < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(n);
}

void write_usage(const Settings& s, FILE* err) {
    fprintf(err, "quorvane, version %s\n", s.version);
    fprintf(err, "Usage: %s [OPTION]\n\n", s.progname);
    for (const char* line : kUsageLines) fputs(line, err);
}

ParseResult parse_command_line(int argc, char** argv, Settings& s, FILE* err) {
    s.progname = copy_text(argc > 0 && argv[0] ? argv[0] : "quorvane", "name");

    // '+': stop at the first word that is not an option, as POSIX says.
    optind = 0;  // a full re-initialisation of glibc's getopt
    int c;
    while ((c = getopt(argc, argv, "+i:t:a:w:x:m:A:M:QbdDvsz:p:hr:u:V4:6:P:T:Z:RB:e:")) != -1) {
        switch (c) {
            case 'i':
                s.device = copy_text(optarg, "dev");  // a later -i replaces it
                break;
            case 't': {
                int32_t n = option_number(optarg);
                if (n != 0) s.threshold = static_cast<uint32_t>(magnitude(n));
                break;
            }
            case 'a': {
                int32_t n = magnitude(option_number(optarg));
                if (n >= 11) s.alarm_reset = n;
                break;
            }
            case 'w': {
                int32_t n = magnitude(option_number(optarg));
                if (n >= 2) s.stats_interval = static_cast<uint32_t>(n);
                break;
            }
            case 'x': {
                int32_t n = magnitude(option_number(optarg));
                if (n >= 11) s.bucket_count = n;
                break;
            }
            case 'm': {
                int32_t n = option_number(optarg);
                if (n != 0) s.totals_interval = magnitude(n);
                break;
            }
            case 'A':
                take_address(s.addr_filter, optarg, "dest filter", "address", s, err);
                break;
            case 'M':
                take_address(s.mask_filter, optarg, "filter mask", "mask", s, err);
                break;
            case 'Q':
                s.no_local_filter = 1;
                break;
            case 'b':
                s.foreground = 1;
                break;
            case 'd':
                s.daemon_mode = 1;
                break;
            case 'D':
                s.dump_packets = 1;
                break;
            case 'v':
                ++s.verbosity;
                break;
            case 's':
                s.send_json = 1;
                break;
            case 'z':
                s.collector_addr = optarg;
                break;
            case 'p':
                s.collector_port = option_number(optarg);
                break;
            case 'h':
                s.show_usage = 1;
                break;
            case 'r':
                s.read_file = copy_text(optarg, "file");
                break;
            case 'u':
                s.run_as_user = copy_text(optarg, "user");
                break;
            case 'V':
                s.show_version = 1;
                break;
            case '4': {
                int32_t n = magnitude(option_number(optarg));
                if (n >= 8 && n <= 32) s.v4_prefix = n;
                break;
            }
            case 'T':
                s.zone_threshold = static_cast<uint32_t>(magnitude(option_number(optarg)));
                break;
            case 'Z': {
                int32_t n = magnitude(option_number(optarg));
                if (n >= 11) s.zone_count = n;
                break;
            }
            case 'R':
                s.count_answers = 1;
                break;
            case 'B': {
                // As -t: 0, or no number, is ignored.
                int32_t n = option_number(optarg);
                if (n != 0) s.answer_bytes_threshold = static_cast<uint32_t>(magnitude(n));
                break;
            }
            case 'e':
                free(s.hook_program);
                s.hook_program = copy_text(optarg, "hook");
                break;
            case 'P': {
                sockaddr_storage scratch;
                socklen_t len;
                if (!parse_metrics_address(optarg, &scratch, &len)) {
                    fprintf(err, "Invalid metrics address \"%s\"\n", optarg);
                    s.show_usage = 1;
                    break;
                }
                free(s.metrics_addr);
                s.metrics_addr = copy_text(optarg, "metrics address");
                break;
            }
            case '6': {
                int32_t n = magnitude(option_number(optarg));
                if (n >= 16 && n <= 128) s.v6_prefix = n;
                break;
            }
            default:
                // getopt has written its diagnostic; the option is ignored.
                break;
        }
    }

    // The post-parse rules, in their order.
    if (optind < argc) s.show_usage = 1;
    if (s.show_usage) {
        write_usage(s, err);
        return {false, 1};
    }
    if (s.show_version) {
        printf("quorvane, version %s\n%s\n", s.version, pcap_lib_version());
        return {false, 0};
    }
    if (s.collector_addr == nullptr) s.collector_addr = kDefaultCollector;
    // A replay runs in foreground mode, as a dump does.
    if (s.dump_packets || s.read_file != nullptr) {
        s.foreground = 1;
        s.daemon_mode = 0;
    }
    // An alarm on answer bytes needs the answers counted.
    if (s.answer_bytes_threshold != 0) s.count_answers = 1;
    if (s.no_local_filter && s.addr_filter != nullptr) {
        return refuse(s, err, "You can't specify both -A (address filter) and -Q (no filter)\n");
    }
    if (s.read_file != nullptr && s.device != nullptr) {
        return refuse(s, err, "You can't specify both -i (device) and -r (file)\n");
    }
    if (!s.foreground && !s.daemon_mode) {
        return refuse(s, err, "You must specify either -d (daemon) or -b (peekline)\n");
    }
    // A collector address that does not parse would silently send every
    // datagram to 255.255.255.255.
    if (!is_address(s.collector_addr)) {
        fprintf(err, "Invalid collector address \"%s\"\n", s.collector_addr);
        return {false, 1};
    }
    // An unknown user is refused before anything detaches or opens.
    if (s.run_as_user != nullptr && getpwnam(s.run_as_user) == nullptr) {
        fprintf(err, "unknown user %s\n", s.run_as_user);
        return {false, 1};
    }
    // A hook that cannot run is refused now, not at the first alarm.
    if (s.hook_program != nullptr) {
        const int e = check_hook(s);
        if (e != 0) {
            fprintf(err, "unable to run hook %s: %s\n", s.hook_program, strerror(e));
            return {false, 1};
        }
    }
    return {true, 0};
}

}  // namespace qv
