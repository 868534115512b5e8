#include "control/startup.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "base/lines.h"
#include "base/memory.h"
#include "capture/handler.h"
#include "control/daemon.h"
#include "control/privileges.h"
#include "stats/cycle.h"
#include "stats/export.h"
#include "table/table.h"

namespace qv {
namespace {

// Large enough that a pause of the capture thread does not overrun the
// kernel's ring: at 1 ms read timeouts the default 2 MiB holds only
// milliseconds of a flood.
constexpr int kCaptureBufferBytes = 64 * 1024 * 1024;
constexpr int kSnapLen = 1500;
constexpr int kReadTimeoutMs = 1;

char* dotted_copy(uint32_t addr, const char* label) {
    in_addr in{};
    in.s_addr = addr;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &in, text, sizeof text);
    size_t len = strlen(text) + 1;
    char* p = static_cast<char*>(alloc_or_die(len, label));
    memcpy(p, text, len);
    return p;
}

[[noreturn]] void fail(const char* fmt, const char* arg) {
    fprintf(stderr, fmt, arg);
    exit(1);
}

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

// The link header's length, or the process ends: frames of a link type the
// decoder cannot read would all be mis-parsed.
int checked_link_len(pcap_t* handle, const char* what, const char* name) {
    const int dlt = pcap_datalink(handle);
    const int len = link_header_length(dlt);
    if (len < 0) {
        fprintf(stderr, "unsupported link type %d on %s %s\n", dlt, what, name);
        exit(1);
    }
    return len;
}

void install_filter(pcap_t* handle, const char* filter, bpf_u_int32 netmask) {
    bpf_program program{};
    if (pcap_compile(handle, &program, filter, 0, netmask) == -1) {
        fail("error compiling filter: %s\n", pcap_geterr(handle));
    }
    if (pcap_setfilter(handle, &program) == -1) {
        fail("error setting filter: %s\n", pcap_geterr(handle));
    }
}

class PcapCounters final : public CaptureCounters {
public:
    explicit PcapCounters(pcap_t* handle) : handle_(handle) {}
    bool read(uint32_t* received, uint32_t* dropped) override {
        pcap_stat st{};
        if (pcap_stats(handle_, &st) != 0) return false;
        *received = st.ps_recv;
        *dropped = st.ps_drop + st.ps_ifdrop;
        return true;
    }

private:
    pcap_t* handle_;
};

int run_live(Settings& s) {
    // Device.
    if (s.device == nullptr) {
        s.device = default_device();
        if (s.device == nullptr) {
            fputs("unable to bind to valid device\n", stderr);
            exit(1);
        }
    }

    // Filter text; only the local-network case asks the device for its network.
    bpf_u_int32 net = 0;
    bpf_u_int32 mask = 0;
    if (filter_case(s) == FilterCase::local_net) {
        char errbuf[PCAP_ERRBUF_SIZE];
        pcap_lookupnet(s.device, &net, &mask, errbuf);  // a failure leaves both 0
    }
    char* filter = build_filter_text(s, net, mask);
    if (s.foreground && s.verbosity >= 1) {
        printf("using filter \"%s\" on dev %s\n", filter, s.device);
    }

    pcap_t* handle = open_live(s.device);
    if (handle == nullptr) fail("unable to open device %s\n", s.device);
    auto* ctx = new CaptureContext;
    ctx->dump_packets = s.dump_packets != 0;
    ctx->link_len = checked_link_len(handle, "dev", s.device);
    install_filter(handle, filter, mask);

    if (s.run_as_user != nullptr) drop_privileges(s.run_as_user, s.foreground != 0);

    // The table: bucket_count per-source buckets and the totals bucket after them.
    alloc_buckets(s.bucket_count);
    // The first totals window opens now, not at the epoch.
    process_table().lock()->reset_totals(now());
    start_stats_thread(s, new PcapCounters(handle));

    pcap_loop(handle, -1, handle_packet, reinterpret_cast<u_char*>(ctx));

    // The capture failed: end quietly.
    closelog();
    return 0;
}

// A stored capture, by the packets' own clock: the stats cycles run on this
// thread between packets, each at its own cycle time.
int run_replay(Settings& s) {
    char* filter = build_filter_text(s, 0, 0);
    if (s.verbosity >= 1) printf("using filter \"%s\" on file %s\n", filter, s.read_file);

    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_open_offline(s.read_file, errbuf);
    if (handle == nullptr) {
        fprintf(stderr, "unable to read capture file %s: %s\n", s.read_file, errbuf);
        exit(1);
    }
    CaptureContext ctx;
    ctx.dump_packets = s.dump_packets != 0;
    ctx.link_len = checked_link_len(handle, "file", s.read_file);
    install_filter(handle, filter, 0);

    if (s.run_as_user != nullptr) drop_privileges(s.run_as_user, true);

    alloc_buckets(s.bucket_count);
    Collector collector = setup_collector(s);
    SocketSender sender(collector);
    StatsCycle cycle(s, process_table(), system_lines(), sender, collector.host);

    bool started = false;
    time_t next_cycle = 0;
    auto run_cycle = [&](time_t at) {
        set_manual_clock(at);
        cycle.run(at);
        next_cycle = at + static_cast<time_t>(s.stats_interval);
    };

    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int rc;
    while ((rc = pcap_next_ex(handle, &header, &data)) >= 0) {
        if (rc == 0) continue;
        const time_t t = header->ts.tv_sec;
        if (!started) {
            started = true;
            // The first totals window starts with the capture.
            set_manual_clock(t);
            process_table().lock()->reset_totals(t);
            run_cycle(t);
        }
        while (next_cycle <= t) run_cycle(next_cycle);
        set_manual_clock(t);
        handle_packet(reinterpret_cast<u_char*>(&ctx), header, data);
    }
    // The final window, reported as a live run would at its next cycle.
    if (started) run_cycle(next_cycle);
    fflush(stdout);
    if (rc == PCAP_ERROR) {
        fprintf(stderr, "error reading capture file %s: %s\n", s.read_file, pcap_geterr(handle));
        return 1;
    }
    return 0;
}

}  // namespace

FilterCase filter_case(const Settings& s) {
    if (s.no_local_filter) return FilterCase::no_local;
    if (s.addr_filter != nullptr) return FilterCase::address;
    // A capture file has no device whose network to watch.
    if (s.read_file != nullptr) return FilterCase::no_local;
    return FilterCase::local_net;
}

char* build_filter_text(const Settings& s, uint32_t net, uint32_t mask) {
    char* net_text;
    char* mask_text;
    switch (filter_case(s)) {
        case FilterCase::no_local: {
            char* text = static_cast<char*>(alloc_or_die(9, "filter"));
            memcpy(text, "port 53", 8);
            return text;
        }
        case FilterCase::address:
            net_text = s.addr_filter;
            if (s.mask_filter != nullptr) {
                mask_text = s.mask_filter;
            } else {
                mask_text = static_cast<char*>(alloc_or_die(16, "dest_mask"));
                memcpy(mask_text, "255.255.255.255", 16);
            }
            break;
        case FilterCase::local_net:
        default:
            net_text = dotted_copy(net, "dest_addr");
            mask_text = s.mask_filter != nullptr ? s.mask_filter : dotted_copy(mask, "dest_mask");
            break;
    }
    size_t size = strlen(net_text) + strlen(mask_text) + 28;
    char* text = static_cast<char*>(alloc_or_die(size, "filter"));
    snprintf(text, size, "port 53 and dst net %s mask %s", net_text, mask_text);
    // The settings keep their copies of -A and -M; only the texts made here go.
    if (net_text != s.addr_filter) free(net_text);
    if (mask_text != s.mask_filter) free(mask_text);
    return text;
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

    if (s.read_file != nullptr) return run_replay(s);

    // Daemon mode: from here on the standard streams lead to /dev/null.
    if (!s.foreground) daemon_steps();
    return run_live(s);
}

}  // namespace qv
