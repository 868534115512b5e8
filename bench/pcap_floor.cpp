// The floor for replay speed: libpcap reading a capture file with the same
// filter and an empty callback.
#include <pcap/pcap.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: pcap_floor FILE\n");
        return 2;
    }
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(argv[1], errbuf);
    if (p == nullptr) {
        fprintf(stderr, "%s\n", errbuf);
        return 1;
    }
    bpf_program prog{};
    if (pcap_compile(p, &prog, "port 53", 0, 0) != 0 || pcap_setfilter(p, &prog) != 0) {
        fprintf(stderr, "%s\n", pcap_geterr(p));
        return 1;
    }
    long n = 0;
    pcap_loop(
        p, -1, [](u_char* user, const pcap_pkthdr*, const u_char*) { ++*reinterpret_cast<long*>(user); },
        reinterpret_cast<u_char*>(&n));
    printf("%ld\n", n);
    return 0;
}
