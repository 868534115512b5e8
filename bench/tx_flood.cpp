// Sends the frames of a capture file out of one interface at a given rate
// through an AF_PACKET transmit ring (TPACKET_V2, PACKET_TX_RING, qdisc
// bypassed): the frames are copied into shared ring slots and the kernel
// sends a whole batch per system call, which reaches rates a sender of one
// frame per call does not. Meant for lo inside a private network namespace.
//
//   tx_flood IFACE FILE RATE COUNT
//
// Sends COUNT frames (the file's frames over and over) at RATE frames a
// second, paced per batch of 64, then prints the frames sent and the rate
// reached.
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned kFrameSize = 2048;  // one ring slot; the frames are small
constexpr unsigned kBlockSize = 1 << 20;
constexpr unsigned kBlocks = 16;  // 8,192 slots
constexpr long kBatch = 64;
constexpr uint8_t kOtherHost[6] = {0x02, 0, 0, 0, 0, 0x01};  // locally administered

[[noreturn]] void die(const char* what) {
    perror(what);
    exit(1);
}

double now_s() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void sleep_until(double t) {
    for (;;) {
        const double left = t - now_s();
        if (left <= 0) return;
        if (left > 100e-6) {
            timespec d{0, static_cast<long>((left - 50e-6) * 1e9)};
            nanosleep(&d, nullptr);
        }
    }
}

std::vector<std::vector<uint8_t>> read_frames(const char* path) {
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(path, errbuf);
    if (p == nullptr) {
        fprintf(stderr, "%s\n", errbuf);
        exit(1);
    }
    std::vector<std::vector<uint8_t>> frames;
    pcap_pkthdr* h = nullptr;
    const u_char* data = nullptr;
    while (pcap_next_ex(p, &h, &data) == 1) {
        if (h->caplen <= kFrameSize - TPACKET2_HDRLEN) frames.emplace_back(data, data + h->caplen);
    }
    pcap_close(p);
    if (frames.empty()) {
        fprintf(stderr, "no frames in %s\n", path);
        exit(1);
    }
    return frames;
}

// Asks the kernel to send every slot marked for sending; waits for room
// when the ring is full.
void flush(int fd) {
    if (send(fd, nullptr, 0, MSG_DONTWAIT) < 0 && errno != EAGAIN && errno != ENOBUFS) {
        die("send");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: tx_flood IFACE FILE RATE COUNT\n");
        return 2;
    }
    const unsigned ifindex = if_nametoindex(argv[1]);
    if (ifindex == 0) die(argv[1]);
    const std::vector<std::vector<uint8_t>> frames = read_frames(argv[2]);
    const double rate = atof(argv[3]);
    const long count = atol(argv[4]);
    if (rate <= 0 || count <= 0) {
        fprintf(stderr, "RATE and COUNT must be positive\n");
        return 2;
    }

    const int fd = socket(AF_PACKET, SOCK_RAW, 0);  // protocol 0: receives nothing
    if (fd < 0) die("socket");
    int v = TPACKET_V2;
    if (setsockopt(fd, SOL_PACKET, PACKET_VERSION, &v, sizeof v) != 0) die("PACKET_VERSION");
    v = 1;
    if (setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &v, sizeof v) != 0) die("QDISC_BYPASS");
    tpacket_req req{};
    req.tp_block_size = kBlockSize;
    req.tp_block_nr = kBlocks;
    req.tp_frame_size = kFrameSize;
    req.tp_frame_nr = kBlockSize / kFrameSize * kBlocks;
    if (setsockopt(fd, SOL_PACKET, PACKET_TX_RING, &req, sizeof req) != 0) die("PACKET_TX_RING");
    const size_t ring_bytes = size_t{kBlockSize} * kBlocks;
    auto* ring = static_cast<uint8_t*>(
        mmap(nullptr, ring_bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0));
    if (ring == MAP_FAILED) die("mmap");
    sockaddr_ll addr{};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(ETH_P_IP);
    addr.sll_ifindex = static_cast<int>(ifindex);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) die("bind");

    const unsigned slots = req.tp_frame_nr;
    unsigned slot = 0;
    const double start = now_s();
    for (long i = 0; i < count; ++i) {
        auto* hdr = reinterpret_cast<tpacket2_hdr*>(ring + size_t{slot} * kFrameSize);
        // The slot is free again once the kernel has sent what it held.
        while (hdr->tp_status & (TP_STATUS_SEND_REQUEST | TP_STATUS_SENDING)) {
            flush(fd);
            pollfd pfd{fd, POLLOUT, 0};
            poll(&pfd, 1, 1);
        }
        const std::vector<uint8_t>& f = frames[static_cast<size_t>(i) % frames.size()];
        uint8_t* data = reinterpret_cast<uint8_t*>(hdr) + TPACKET2_HDRLEN - sizeof(sockaddr_ll);
        std::memcpy(data, f.data(), f.size());
        // Addressed to another host: lo's own stack drops the frame at once,
        // after every packet socket has had its copy.
        if (f.size() >= 6) std::memcpy(data, kOtherHost, sizeof kOtherHost);
        hdr->tp_len = static_cast<uint32_t>(f.size());
        __atomic_store_n(&hdr->tp_status, TP_STATUS_SEND_REQUEST, __ATOMIC_RELEASE);
        slot = (slot + 1) % slots;
        if ((i + 1) % kBatch == 0 || i + 1 == count) {
            flush(fd);
            sleep_until(start + static_cast<double>(i + 1) / rate);
        }
    }
    // Until the kernel has sent every slot.
    for (unsigned s = 0; s < slots; ++s) {
        auto* hdr = reinterpret_cast<tpacket2_hdr*>(ring + size_t{s} * kFrameSize);
        while (__atomic_load_n(&hdr->tp_status, __ATOMIC_ACQUIRE) &
               (TP_STATUS_SEND_REQUEST | TP_STATUS_SENDING)) {
            flush(fd);
            pollfd pfd{fd, POLLOUT, 0};
            poll(&pfd, 1, 1);
        }
    }
    const double took = now_s() - start;
    printf("sent %ld frames in %.3f s: %.0f frames a second\n", count, took,
           static_cast<double>(count) / took);
    munmap(ring, ring_bytes);
    close(fd);
    return 0;
}
