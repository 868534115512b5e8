// Writes deterministic sample captures for the replay tests, the shipped
// sample and the benchmarks. The same arguments give the same bytes.
//
//   make_captures DIR                 the small test captures
//   make_captures --bench DIR N       N-query benchmark captures: mix, flood, heavy
#include <pcap/pcap.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "frames.h"

using qv::test::build_frame;
using qv::test::FrameSpec;

namespace {

constexpr uint16_t kTypes[] = {1, 1, 1, 28, 28, 15, 12, 2, 6, 255, 33, 5};

struct Packet {
    int64_t usec;  // since the start of the capture
    std::vector<uint8_t> bytes;
    uint32_t wire = 0;  // 0: the frame's own length
};

class Writer {
public:
    Writer(const std::string& path, bool pcapng = false) : pcapng_(pcapng) {
        if (pcapng) {
            f_ = fopen(path.c_str(), "wb");
            write_pcapng_header();
        } else {
            dead_ = pcap_open_dead(DLT_EN10MB, 65535);
            dump_ = pcap_dump_open(dead_, path.c_str());
        }
        if (f_ == nullptr && dump_ == nullptr) {
            perror(path.c_str());
            exit(1);
        }
    }
    ~Writer() {
        if (dump_) pcap_dump_close(dump_);
        if (dead_) pcap_close(dead_);
        if (f_) fclose(f_);
    }
    void add(const Packet& p) {
        const int64_t t = kEpoch * 1000000 + p.usec;
        const uint32_t wire = p.wire ? p.wire : static_cast<uint32_t>(p.bytes.size());
        if (pcapng_) {
            write_epb(t, p.bytes, wire);
            return;
        }
        pcap_pkthdr h{};
        h.ts.tv_sec = static_cast<time_t>(t / 1000000);
        h.ts.tv_usec = static_cast<suseconds_t>(t % 1000000);
        h.caplen = static_cast<bpf_u_int32>(p.bytes.size());
        h.len = wire;
        pcap_dump(reinterpret_cast<u_char*>(dump_), &h, p.bytes.data());
    }

    // 2026-12-01 12:00:00 UTC: the captures' first second.
    static constexpr int64_t kEpoch = 1796126400;

private:
    void put32(uint32_t v) { fwrite(&v, 4, 1, f_); }
    void put16(uint16_t v) { fwrite(&v, 2, 1, f_); }
    void write_pcapng_header() {
        // Section header block, then one Ethernet interface in microseconds.
        put32(0x0A0D0D0A);
        put32(28);
        put32(0x1A2B3C4D);
        put16(1);
        put16(0);
        put32(0xffffffff);
        put32(0xffffffff);
        put32(28);
        put32(1);  // interface description block
        put32(20);
        put16(DLT_EN10MB);
        put16(0);
        put32(65535);
        put32(20);
    }
    void write_epb(int64_t usec, const std::vector<uint8_t>& b, uint32_t wire) {
        const uint32_t padded = static_cast<uint32_t>((b.size() + 3) & ~size_t{3});
        const uint32_t total = 32 + padded;
        put32(6);
        put32(total);
        put32(0);
        put32(static_cast<uint32_t>(static_cast<uint64_t>(usec) >> 32));
        put32(static_cast<uint32_t>(static_cast<uint64_t>(usec)));
        put32(static_cast<uint32_t>(b.size()));
        put32(wire);
        fwrite(b.data(), 1, b.size(), f_);
        static const uint8_t zeros[4] = {};
        fwrite(zeros, 1, padded - b.size(), f_);
        put32(total);
    }

    bool pcapng_;
    pcap_t* dead_ = nullptr;
    pcap_dumper_t* dump_ = nullptr;
    FILE* f_ = nullptr;
};

FrameSpec query_from(uint32_t src, uint16_t qtype, uint8_t proto, uint32_t n) {
    FrameSpec s;
    s.src[0] = static_cast<uint8_t>(src >> 24);
    s.src[1] = static_cast<uint8_t>(src >> 16);
    s.src[2] = static_cast<uint8_t>(src >> 8);
    s.src[3] = static_cast<uint8_t>(src);
    s.protocol = proto;
    s.qtype = qtype;
    s.dns_id = static_cast<uint16_t>(n);
    s.labels = {"host" + std::to_string(n % 50), "example", "net"};
    return s;
}

Packet packet(int64_t usec, const FrameSpec& s) { return {usec, build_frame(s), 0}; }

// Ordinary traffic: 20 sources in 198.51.100.0/24, a query every ~1.5 s each.
void ordinary(std::vector<Packet>& out, std::mt19937& rng, int64_t from_s, int64_t to_s) {
    std::uniform_int_distribution<int64_t> jitter(0, 999999);
    uint32_t n = 0;
    for (int64_t t = from_s; t < to_s; ++t) {
        for (uint32_t src = 1; src <= 20; ++src) {
            if ((t + src) % 3 == 0) continue;
            out.push_back(packet(t * 1000000 + jitter(rng),
                                 query_from(0xC6336400 + src, kTypes[(t + src) % 12], 17, n++)));
        }
    }
}

// One source at `qps` queries per second, types A and AAAA (some over TCP).
void heavy(std::vector<Packet>& out, uint32_t src, int64_t from_s, int64_t to_s, int qps) {
    uint32_t n = 0;
    for (int64_t t = from_s; t < to_s; ++t) {
        for (int i = 0; i < qps; ++i) {
            uint8_t proto = (i % 10 == 0) ? 6 : 17;
            out.push_back(packet(t * 1000000 + i * (1000000 / qps),
                                 query_from(src, (i % 4 == 0) ? 28 : 1, proto, n++)));
        }
    }
}

// A random-source flood: `qps` queries per second from random 203.0.113.0/24
// and 10.0.0.0/8 addresses.
void flood(std::vector<Packet>& out, std::mt19937& rng, int64_t from_s, int64_t to_s, int qps) {
    uint32_t n = 0;
    for (int64_t t = from_s; t < to_s; ++t) {
        for (int i = 0; i < qps; ++i) {
            uint32_t src = 0x0A000000u | (rng() & 0x00ffffffu);
            out.push_back(packet(t * 1000000 + i * (1000000 / qps), query_from(src, 255, 17, n++)));
        }
    }
}

void malformed(std::vector<Packet>& out, int64_t t) {
    int64_t us = t * 1000000;
    FrameSpec good = query_from(0xC0000207, 1, 17, 1);  // 192.0.2.7
    FrameSpec s = good;
    s.dns_flags_hi = 0x81;  // a response
    out.push_back(packet(us + 1, s));
    s = good;
    s.labels = {"bad*label"};
    out.push_back(packet(us + 2, s));
    s = good;
    s.raw_name = {3, 'a', 'b', 'c', 0xc0, 0x0c};
    out.push_back(packet(us + 3, s));
    s = good;
    s.frag = 0x0010;
    out.push_back(packet(us + 4, s));
    s = good;
    s.qdcount = 0;
    out.push_back(packet(us + 5, s));
    s = good;
    s.protocol = 6;
    s.tcp_flags = 0x10;  // no PSH
    out.push_back(packet(us + 6, s));
    // Cut short by the capture: the name runs past the captured bytes.
    Packet cut = packet(us + 7, good);
    cut.wire = static_cast<uint32_t>(cut.bytes.size());
    cut.bytes.resize(60);
    out.push_back(cut);
    // A good one between the bad ones, and a root-name query of type NS.
    out.push_back(packet(us + 8, good));
    s = good;
    s.labels.clear();
    s.qtype = 2;
    out.push_back(packet(us + 9, s));
    s = good;
    s.qtype = 256;  // type byte 0: dumped, not counted
    out.push_back(packet(us + 10, s));
}

void write_all(const std::string& path, std::vector<Packet> pkts, bool pcapng = false) {
    std::stable_sort(pkts.begin(), pkts.end(),
                     [](const Packet& a, const Packet& b) { return a.usec < b.usec; });
    Writer w(path, pcapng);
    for (const auto& p : pkts) w.add(p);
}

void small_captures(const std::string& dir) {
    std::mt19937 rng(53);
    {
        std::vector<Packet> p;
        ordinary(p, rng, 0, 60);
        write_all(dir + "/ordinary.pcap", p);
    }
    {
        std::vector<Packet> p;
        ordinary(p, rng, 0, 60);
        heavy(p, 0xC0000207, 10, 40, 90);  // 192.0.2.7 at 90 qps
        write_all(dir + "/heavy.pcap", p);
    }
    {
        std::vector<Packet> p;
        ordinary(p, rng, 0, 30);
        flood(p, rng, 5, 15, 200);
        heavy(p, 0xCB00710A, 5, 15, 120);  // 203.0.113.10 leads the flood
        write_all(dir + "/flood.pcap", p);
    }
    {
        std::vector<Packet> p;
        for (int t = 0; t < 10; ++t) {
            for (int i = 0; i < 80; ++i) {
                p.push_back(packet(t * 1000000 + i * 12000, query_from(0xC633640A, 28, 6, i)));
            }
        }
        write_all(dir + "/tcp.pcapng", p, true);
    }
    {
        std::vector<Packet> p;
        malformed(p, 0);
        malformed(p, 1);
        write_all(dir + "/malformed.pcap", p);
    }
    {
        std::vector<Packet> p;
        heavy(p, 0xC0000207, 0, 10, 70);
        heavy(p, 0xC0000207, 75, 85, 70);  // after 65 silent seconds
        write_all(dir + "/silent.pcap", p);
    }
    {
        std::vector<Packet> p;
        heavy(p, 0xC0000207, 0, 6, 80);
        write_all(dir + "/damaged.pcap", p);
        // A record header that promises more bytes than the file holds.
        FILE* f = fopen((dir + "/damaged.pcap").c_str(), "ab");
        const uint32_t rec[4] = {static_cast<uint32_t>(Writer::kEpoch + 6), 0, 200, 200};
        fwrite(rec, sizeof rec, 1, f);
        fwrite("\x00\x01\x02", 1, 3, f);
        fclose(f);
    }
}

void bench_captures(const std::string& dir, long n) {
    std::mt19937 rng(1053);
    const int qps = 100000;
    {
        // A skewed mix over 2,000 sources: source k has weight 1/(k+1).
        std::vector<double> w(2000);
        for (size_t k = 0; k < w.size(); ++k) w[k] = 1.0 / static_cast<double>(k + 1);
        std::discrete_distribution<int> pick(w.begin(), w.end());
        Writer out(dir + "/bench-mix.pcap");
        for (long i = 0; i < n; ++i) {
            const int64_t us = (i / qps) * 1000000 + (i % qps) * 10;
            out.add(packet(us, query_from(0xC6330000u + static_cast<uint32_t>(pick(rng)),
                                          kTypes[i % 12], 17, static_cast<uint32_t>(i))));
        }
    }
    {
        Writer out(dir + "/bench-flood.pcap");
        for (long i = 0; i < n; ++i) {
            const int64_t us = (i / qps) * 1000000 + (i % qps) * 10;
            uint32_t src = 0x0A000000u | (rng() % 1000000u);
            out.add(packet(us, query_from(src, 1, 17, static_cast<uint32_t>(i))));
        }
    }
    {
        Writer out(dir + "/bench-heavy.pcap");
        for (long i = 0; i < n; ++i) {
            const int64_t us = (i / qps) * 1000000 + (i % qps) * 10;
            uint32_t src = (i % 2 == 0) ? 0xC0000207u : (0x0A000000u | (rng() % 1000000u));
            out.add(packet(us, query_from(src, 1, 17, static_cast<uint32_t>(i))));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2) {
        small_captures(argv[1]);
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "--bench") == 0) {
        bench_captures(argv[2], atol(argv[3]));
        return 0;
    }
    fprintf(stderr, "usage: make_captures DIR | make_captures --bench DIR N\n");
    return 2;
}
