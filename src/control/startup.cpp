#include "control/startup.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "base/hash.h"
#include "base/hook_counters.h"
#include "base/lines.h"
#include "base/memory.h"
#include "capture/worker.h"
#include "control/daemon.h"
#include "control/filter.h"
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
// And the action hook's (-e).
HookCounters the_hook_counters;

const HookCounters* hook_counters_of(const Settings& s) {
    return s.hook_path != nullptr ? &the_hook_counters : nullptr;
}

int run_live(Settings& s, MetricsServer* metrics) {
    // Device.
    if (s.device == nullptr) {
        s.device = default_device();
        if (s.device == nullptr) fatal("unable to bind to valid device\n");
    }

    pcap_t* handle = open_live(s.device);
    if (handle == nullptr) fatal("unable to open device %s\n", s.device);
    const LinkType link = checked_link(handle, "dev", s.device);

    // Filter text; only the local-network case asks the device for its networks.
    DeviceNetworks nets;
    if (filter_case(s) == FilterCase::local_net) nets = device_networks(s.device);
    const std::string filter = build_filter_text(s, nets, link == LinkType::ethernet);
    if (s.foreground && s.verbosity >= 1) {
        printf("using filter \"%s\" on dev %s\n", filter.c_str(), s.device);
    }
    install_filter(handle, filter.c_str(), nets.mask);

    if (s.run_as_user != nullptr) drop_privileges(s.run_as_user);

    // The worker and its table, for the life of the process.
    auto* worker = new Worker(s, link, the_capture_stats, watched_of(s, nets), random_seed(),
                              random_seed(), zone_seed(s));
    // The first totals window opens now, not at the epoch.
    worker->table().lock()->reset_totals(time(nullptr));
    MetricsBoard* board = nullptr;
    break_on_stop(handle);
    {
        const StopSignalsBlocked only_the_capture_thread_stops;
        if (metrics != nullptr) {
            board = new MetricsBoard(s);
            metrics->start(the_capture_stats, *board, hook_counters_of(s));
        }
        // The hook's thread starts from the stats thread: after the drop
        // of privileges above, so its program runs as the -u user too.
        start_stats_thread(s, worker->table(), new PcapCounters(handle), board, &the_hook_counters);
    }

    if (stop_signal() == 0) pcap_loop(handle, -1, handle_packet, worker->user());
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
    const LinkType link = checked_link(handle, "file", s.read_file);
    const std::string filter = build_filter_text(s, DeviceNetworks{}, link == LinkType::ethernet);
    if (s.verbosity >= 1) printf("using filter \"%s\" on file %s\n", filter.c_str(), s.read_file);
    const WatchedNetwork watched = watched_of(s, DeviceNetworks{});
    const FileFilter file_filter(pcap_datalink(handle), filter.c_str(), watched.all());
    if (!file_filter.error().empty())
        fatal("error compiling filter: %s\n", file_filter.error().c_str());

    if (s.run_as_user != nullptr) drop_privileges(s.run_as_user);

    Worker worker(s, link, the_capture_stats, watched, random_seed(), random_seed(),
                  zone_seed(s));
    Collector collector = setup_collector(s);
    SocketSender sender(collector);
    MetricsBoard board(s);
    std::unique_ptr<WiredCycle> wired;
    {
        // The hook's thread must not take the stop signals either.
        const StopSignalsBlocked only_the_replay_thread_stops;
        wired = std::make_unique<WiredCycle>(s, worker.table(), system_lines(), sender, collector.host, nullptr,
                                             metrics != nullptr ? &board : nullptr, &the_hook_counters);
    }
    WiredCycle& cycle = *wired;
    if (metrics != nullptr) {
        const StopSignalsBlocked only_the_replay_thread_stops;
        metrics->start(the_capture_stats, board, hook_counters_of(s));
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
    // This thread alone counts and runs the cycles: it holds the table's
    // lock from one cycle to the next, not for each message.
    std::optional<LockGuarded<Table>::Handle> held;
    while (stop_signal() == 0 && (rc = pcap_next_ex(handle, &header, &data)) >= 0) {
        if (rc == 0) continue;
        if (!file_filter.passes(*header, data)) continue;
        const time_t t = header->ts.tv_sec;
        if (!started) {
            started = true;
            // The first totals window starts with the capture.
            worker.table().lock()->reset_totals(t);
            run_cycle(t);
        }
        if (next_cycle <= t) {
            held.reset();
            while (next_cycle <= t) run_cycle(next_cycle);
        }
        if (!held) held.emplace(worker.table().lock());
        worker.frame(header, data, **held);
    }
    held.reset();
    // Stopped part-way: what was written so far goes out, and no more.
    if (const int sig = stop_signal()) end_by_signal(sig);
    // The final window, reported as a live run would at its next cycle.
    if (started) run_cycle(next_cycle);
    // The file's last alarms reach the hook before the process ends.
    cycle.drain_hook();
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
