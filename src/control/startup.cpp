#include "control/startup.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <bit>
#include <cstring>
#include <string>

#include "base/hash.h"
#include "base/lines.h"
#include "base/memory.h"
#include "capture/handler.h"
#include "control/daemon.h"
#include "control/metrics_server.h"
#include "control/privileges.h"
#include "control/stats_thread.h"
#include "control/stop_signals.h"
#include "output/export.h"
#include "output/metrics.h"
#include "stats/cycle.h"
#include "table/table.h"

namespace qv {
namespace {

// Large enough that a pause of the capture thread does not overrun the
// kernel's ring: at 1 ms read timeouts the default 2 MiB holds only
// milliseconds of a flood.
constexpr int kCaptureBufferBytes = 64 * 1024 * 1024;
// Whole TCP segments: a stream cut at the snapshot length loses its framing.
constexpr int kSnapLen = 65535;
constexpr int kReadTimeoutMs = 1;

pcap_t* open_live(const char* device) {
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* handle = pcap_create(device, errbuf);
    if (handle == nullptr) return nullptr;
    pcap_set_snaplen(handle, kSnapLen);
    pcap_set_promisc(handle, 0);
    pcap_set_timeout(handle, kReadTimeoutMs);
    pcap_set_buffer_size(handle, kCaptureBufferBytes);
    if (pcap_activate(handle) < 0) {  // warnings (> 0) still give a working capture
        pcap_close(handle);
        return nullptr;
    }
    return handle;
}

// The link layer, or the process ends: frames of a link type the decoder
// cannot read would all be mis-parsed.
LinkType checked_link(pcap_t* handle, const char* what, const char* name) {
    const int dlt = pcap_datalink(handle);
    const auto link = link_type_of(dlt);
    if (!link) fatal("unsupported link type %d on %s %s\n", dlt, what, name);
    return *link;
}

void install_filter(pcap_t* handle, const char* filter, bpf_u_int32 netmask) {
    bpf_program program{};
    if (pcap_compile(handle, &program, filter, 0, netmask) == -1) {
        fatal("error compiling filter: %s\n", pcap_geterr(handle));
    }
    if (pcap_setfilter(handle, &program) == -1) {
        fatal("error setting filter: %s\n", pcap_geterr(handle));
    }
}

class PcapCounters final : public CaptureCounters {
public:
    explicit PcapCounters(pcap_t* handle) : handle_(handle) {}
    bool read(uint32_t* received, uint32_t* dropped_kernel, uint32_t* dropped_interface) override {
        pcap_stat st{};
        if (pcap_stats(handle_, &st) != 0) return false;
        *received = st.ps_recv;
        *dropped_kernel = st.ps_drop;
        *dropped_interface = st.ps_ifdrop;
        return true;
    }

private:
    pcap_t* handle_;
};

// The process's capture counts for the metrics page.
CaptureStats the_capture_stats;

int run_live(Settings& s, MetricsServer* metrics) {
    // Device.
    if (s.device == nullptr) {
        s.device = default_device();
        if (s.device == nullptr) fatal("unable to bind to valid device\n");
    }

    pcap_t* handle = open_live(s.device);
    if (handle == nullptr) fatal("unable to open device %s\n", s.device);
    auto* ctx = new CaptureContext;
    ctx->dump_packets = s.dump_packets != 0;
    ctx->prefixes = source_prefixes(s);
    ctx->link = checked_link(handle, "dev", s.device);
    ctx->streams = new TcpStreams(random_seed());
    ctx->stats = &the_capture_stats;
    if (s.zone_threshold > 0) ctx->zones = new ZoneFinder(zone_seed(s));

    // Filter text; only the local-network case asks the device for its networks.
    DeviceNetworks nets;
    if (filter_case(s) == FilterCase::local_net) nets = device_networks(s.device);
    const std::string filter = build_filter_text(s, nets, ctx->link == LinkType::ethernet);
    if (s.foreground && s.verbosity >= 1) {
        printf("using filter \"%s\" on dev %s\n", filter.c_str(), s.device);
    }
    install_filter(handle, filter.c_str(), nets.mask);

    if (s.run_as_user != nullptr) drop_privileges(s.run_as_user);

    // The table: bucket_count per-source buckets and the totals bucket after them.
    alloc_buckets(s.bucket_count, s.zone_threshold > 0 ? s.zone_count : 0);
    // The first totals window opens now, not at the epoch.
    process_table().lock()->reset_totals(time(nullptr));
    MetricsBoard* board = nullptr;
    break_on_stop(handle);
    {
        const StopSignalsBlocked only_the_capture_thread_stops;
        if (metrics != nullptr) {
            board = new MetricsBoard(s);
            metrics->start(the_capture_stats, *board);
        }
        start_stats_thread(s, new PcapCounters(handle), board);
    }

    if (stop_signal() == 0) pcap_loop(handle, -1, handle_packet, reinterpret_cast<u_char*>(ctx));
    if (const int sig = stop_signal()) end_by_signal(sig);

    // The capture failed: end quietly.
    closelog();
    return 0;
}

// A stored capture, by the packets' own clock: the stats cycles run on this
// thread between packets, each at its own cycle time.
int run_replay(Settings& s, MetricsServer* metrics) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    FILE* input = open_capture_input(s.read_file, errbuf, sizeof errbuf);
    pcap_t* handle = input != nullptr ? pcap_fopen_offline(input, errbuf) : nullptr;
    if (handle == nullptr) {
        // Cut short while it waited for the file's header.
        if (const int sig = stop_signal()) end_by_signal(sig);
        if (input != nullptr) fclose(input);
        fatal("unable to read capture file %s: %s\n", s.read_file, errbuf);
    }
    CaptureContext ctx;
    ctx.dump_packets = s.dump_packets != 0;
    ctx.prefixes = source_prefixes(s);
    ctx.link = checked_link(handle, "file", s.read_file);
    TcpStreams streams(random_seed());
    ctx.streams = &streams;
    ctx.stats = &the_capture_stats;
    ZoneFinder* zones = s.zone_threshold > 0 ? new ZoneFinder(zone_seed(s)) : nullptr;
    ctx.zones = zones;
    const std::string filter = build_filter_text(s, DeviceNetworks{}, ctx.link == LinkType::ethernet);
    if (s.verbosity >= 1) printf("using filter \"%s\" on file %s\n", filter.c_str(), s.read_file);
    const FileFilter file_filter(pcap_datalink(handle), filter.c_str());
    if (!file_filter.error().empty())
        fatal("error compiling filter: %s\n", file_filter.error().c_str());

    if (s.run_as_user != nullptr) drop_privileges(s.run_as_user);

    alloc_buckets(s.bucket_count, s.zone_threshold > 0 ? s.zone_count : 0);
    Collector collector = setup_collector(s);
    SocketSender sender(collector);
    MetricsBoard board(s);
    WiredCycle cycle(s, process_table(), system_lines(), sender, collector.host, nullptr,
                     metrics != nullptr ? &board : nullptr);
    if (metrics != nullptr) {
        const StopSignalsBlocked only_the_replay_thread_stops;
        metrics->start(the_capture_stats, board);
    }

    bool started = false;
    time_t next_cycle = 0;
    auto run_cycle = [&](time_t at) {
        cycle.run(at);
        next_cycle = at + static_cast<time_t>(s.stats_interval);
    };

    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int rc = 0;
    while (stop_signal() == 0 && (rc = pcap_next_ex(handle, &header, &data)) >= 0) {
        if (rc == 0) continue;
        if (!file_filter.passes(*header, data)) continue;
        const time_t t = header->ts.tv_sec;
        if (!started) {
            started = true;
            // The first totals window starts with the capture.
            process_table().lock()->reset_totals(t);
            run_cycle(t);
        }
        while (next_cycle <= t) run_cycle(next_cycle);
        handle_packet(reinterpret_cast<u_char*>(&ctx), header, data);
    }
    // Stopped part-way: what was written so far goes out, and no more.
    if (const int sig = stop_signal()) end_by_signal(sig);
    // The final window, reported as a live run would at its next cycle.
    if (started) run_cycle(next_cycle);
    // The page is served while the file is read, and no longer.
    if (metrics != nullptr) metrics->stop();
    fflush(stdout);
    if (rc == PCAP_ERROR) {
        fprintf(stderr, "error reading capture file %s: %s\n", s.read_file, pcap_geterr(handle));
        return 1;
    }
    return 0;
}

}  // namespace

uint64_t zone_seed(const Settings& s) {
    // Any fixed value: what matters is that it is the same in every replay.
    if (s.read_file != nullptr) return 0x7a6f6e6573656564u;
    return random_seed();
}

FilterCase filter_case(const Settings& s) {
    if (s.no_local_filter) return FilterCase::no_local;
    if (s.addr_filter != nullptr) return FilterCase::address;
    // A capture file has no device whose network to watch.
    if (s.read_file != nullptr) return FilterCase::no_local;
    return FilterCase::local_net;
}

namespace {

// Port 53, or an IPv6 frame whose first next header is one of the extension
// headers the decoder walks: libpcap's "port 53" reads only the fixed IPv6
// header's next header, so it would hide every query behind one. Not
// "ip6[6] = N": behind a VLAN tag the kernel has taken out of the frame,
// libpcap 1.10 compiles that form so that -Q lets other IPv6 frames through.
constexpr const char* kDnsFrames =
    "(port 53 or ip6 proto 0 or ip6 proto 43 or ip6 proto 44 or ip6 proto 51 or ip6 proto 60)";

std::string ipv4_text(uint32_t addr) {
    in_addr in{};
    in.s_addr = addr;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

bool is_ipv6(const char* text) {
    in6_addr scratch{};
    return inet_pton(AF_INET6, text, &scratch) == 1;
}

// Whether text is one parenthesized group, "(...)" with its own closing
// parenthesis last.
bool one_group(const std::string& text) {
    if (text.empty() || text.front() != '(') return false;
    int depth = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '(') ++depth;
        if (text[i] == ')' && --depth == 0) return i + 1 == text.size();
    }
    return false;
}

// The filter for the watched network, before any VLAN tags.
std::string watched_network(const Settings& s, const DeviceNetworks& nets) {
    switch (filter_case(s)) {
        case FilterCase::no_local:
            return kDnsFrames;
        case FilterCase::address:
            if (is_ipv6(s.addr_filter)) {
                return std::string(kDnsFrames) + " and dst net " + s.addr_filter + "/" +
                       (s.mask_filter != nullptr ? s.mask_filter : "128");
            }
            return std::string("port 53 and dst net ") + s.addr_filter + " mask " +
                   (s.mask_filter != nullptr ? s.mask_filter : "255.255.255.255");
        case FilterCase::local_net:
        default:
            break;
    }
    const std::string v4 = "dst net " + ipv4_text(nets.net) + " mask " +
                           (s.mask_filter != nullptr ? s.mask_filter : ipv4_text(nets.mask));
    if (nets.v6.empty()) return "port 53 and " + v4;
    std::string text = std::string(kDnsFrames) + " and (" + v4;
    for (const auto& net : nets.v6) text += " or dst net " + net;
    return text + ")";
}

}  // namespace

DeviceNetworks device_networks(const char* device) {
    DeviceNetworks nets;
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_lookupnet(device, &nets.net, &nets.mask, errbuf);  // a failure leaves both 0
    pcap_if_t* all = nullptr;
    if (pcap_findalldevs(&all, errbuf) == -1) return nets;
    for (pcap_if_t* d = all; d != nullptr; d = d->next) {
        if (strcmp(d->name, device) != 0) continue;
        for (pcap_addr_t* a = d->addresses; a != nullptr; a = a->next) {
            if (a->addr == nullptr || a->addr->sa_family != AF_INET6) continue;
            const auto* addr = reinterpret_cast<const sockaddr_in6*>(a->addr);
            const uint8_t* b = addr->sin6_addr.s6_addr;
            if (b[0] == 0xfe && (b[1] & 0xc0) == 0x80) continue;  // link-local, fe80::/10
            in6_addr prefix = addr->sin6_addr;
            int len = 128;
            if (a->netmask != nullptr && a->netmask->sa_family == AF_INET6) {
                const uint8_t* m = reinterpret_cast<const sockaddr_in6*>(a->netmask)->sin6_addr.s6_addr;
                len = 0;
                for (int i = 0; i < 16; ++i) {
                    prefix.s6_addr[i] &= m[i];
                    len += std::popcount(static_cast<unsigned>(m[i]));
                }
            }
            char text[INET6_ADDRSTRLEN];
            inet_ntop(AF_INET6, &prefix, text, sizeof text);
            nets.v6.push_back(std::string(text) + "/" + std::to_string(len));
        }
    }
    pcap_freealldevs(all);
    return nets;
}

std::string build_filter_text(const Settings& s, const DeviceNetworks& nets, bool ethernet) {
    const std::string b = watched_network(s, nets);
    if (!ethernet) return b;
    // libpcap's "vlan" moves every later offset past one tag, so the
    // untagged case comes first and each tag nests the rest.
    const std::string g = one_group(b) ? b : "(" + b + ")";
    return g + " or (vlan and (" + g + " or (vlan and " + g + ")))";
}

FileFilter::FileFilter(int dlt, const char* text)
    : loopback_(dlt == DLT_NULL || dlt == DLT_LOOP),
      dead_(pcap_open_dead(loopback_ ? DLT_RAW : dlt, kSnapLen)) {
    if (dead_ == nullptr) {
        error_ = "no memory";
    } else if (pcap_compile(dead_, &program_, text, 0, 0) == -1) {
        error_ = pcap_geterr(dead_);
    } else {
        compiled_ = true;
    }
}

FileFilter::~FileFilter() {
    if (compiled_) pcap_freecode(&program_);
    if (dead_ != nullptr) pcap_close(dead_);
}

bool FileFilter::passes(const pcap_pkthdr& header, const uint8_t* bytes) const {
    if (!compiled_) return false;
    if (!loopback_) return pcap_offline_filter(&program_, &header, bytes) != 0;
    if (header.caplen <= 4) return false;
    const uint32_t family = static_cast<uint32_t>(bytes[0]) << 24 |
                            static_cast<uint32_t>(bytes[1]) << 16 |
                            static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
    // The IP version must be the one the family names, as the decoder requires.
    const int version = null_family_version(family);
    if (version == 0 || bytes[4] >> 4 != version) return false;
    pcap_pkthdr datagram = header;
    datagram.caplen -= 4;
    datagram.len = header.len > 4 ? header.len - 4 : 0;
    return pcap_offline_filter(&program_, &datagram, bytes + 4) != 0;
}

char* default_device() {
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_if_t* all = nullptr;
    if (pcap_findalldevs(&all, errbuf) == -1) return nullptr;
    char* name = nullptr;
    if (all != nullptr && (all->flags & PCAP_IF_LOOPBACK) == 0) name = copy_text(all->name, "dev");
    pcap_freealldevs(all);
    return name;
}

int run(Settings& s) {
    free(s.progname);
    s.progname = nullptr;

    // From the start: a line written during start-up must not be lost either.
    if (s.foreground) catch_stop_signals();

    // The metrics socket is bound now, while errors still reach the
    // terminal and before privileges drop.
    MetricsServer* metrics = s.metrics_addr != nullptr ? new MetricsServer(s) : nullptr;

    if (s.read_file != nullptr) return run_replay(s, metrics);

    // Daemon mode: from here on the standard streams lead to /dev/null.
    if (!s.foreground) daemon_steps();
    return run_live(s, metrics);
}

}  // namespace qv
