// The floor for replay speed: libpcap reading a capture file with a filter
// and an empty callback. The filter is the program's own (`quorvane -v -r`
// prints it) so that both pay for the same BPF run; OPT 1 compiles it with
// libpcap's optimiser, which the program does not use. FILTER "-" sets no
// filter at all: the bare reader.
#include <pcap/pcap.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        fprintf(stderr, "usage: pcap_floor FILE [FILTER [OPT]]\n");
        return 2;
    }
    const char* filter = argc >= 3 ? argv[2] : "port 53";
    const int optimize = argc >= 4 ? atoi(argv[3]) : 0;
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(argv[1], errbuf);
    if (p == nullptr) {
        fprintf(stderr, "%s\n", errbuf);
        return 1;
    }
    bpf_program prog{};
    const bool bare = std::strcmp(filter, "-") == 0;
    if (!bare && (pcap_compile(p, &prog, filter, optimize, 0) != 0 || pcap_setfilter(p, &prog) != 0)) {
        fprintf(stderr, "%s\n", pcap_geterr(p));
        return 1;
    }
    long n = 0;
    const pcap_handler count = [](u_char* user, const pcap_pkthdr*, const u_char*) {
        ++*reinterpret_cast<long*>(user);
    };
    pcap_loop(p, -1, count, reinterpret_cast<u_char*>(&n));
    printf("%ld\n", n);
    if (!bare) pcap_freecode(&prog);
    pcap_close(p);
    return 0;
}
