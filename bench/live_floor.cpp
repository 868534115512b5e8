// The floor for live capture: libpcap on a device with the program's own
// settings (64 MiB buffer, 1 ms timeout, snaplen 1500, not promiscuous) and
// filter, and an empty callback. Prints "ready" once capturing; on SIGTERM
// or SIGINT prints the frames seen and libpcap's received and dropped
// counts, and exits.
//
//   live_floor IFACE FILTER
#include <pcap/pcap.h>

#include <csignal>
#include <cstdio>

namespace {

pcap_t* handle = nullptr;

void stop(int) { pcap_breakloop(handle); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: live_floor IFACE FILTER\n");
        return 2;
    }
    char errbuf[PCAP_ERRBUF_SIZE];
    handle = pcap_create(argv[1], errbuf);
    if (handle == nullptr) {
        fprintf(stderr, "%s\n", errbuf);
        return 1;
    }
    pcap_set_snaplen(handle, 1500);
    pcap_set_promisc(handle, 0);
    pcap_set_timeout(handle, 1);
    pcap_set_buffer_size(handle, 64 * 1024 * 1024);
    bpf_program prog{};
    if (pcap_activate(handle) < 0 || pcap_compile(handle, &prog, argv[2], 0, 0) != 0 ||
        pcap_setfilter(handle, &prog) != 0) {
        fprintf(stderr, "%s\n", pcap_geterr(handle));
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    printf("ready\n");
    fflush(stdout);

    long seen = 0;
    const pcap_handler count = [](u_char* user, const pcap_pkthdr*, const u_char*) {
        ++*reinterpret_cast<long*>(user);
    };
    pcap_loop(handle, -1, count, reinterpret_cast<u_char*>(&seen));
    pcap_stat st{};
    pcap_stats(handle, &st);
    printf("seen %ld received %u dropped %u\n", seen, st.ps_recv, st.ps_drop + st.ps_ifdrop);
    pcap_close(handle);
    return 0;
}
