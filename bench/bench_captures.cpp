// Writes the benchmark captures that tests/make_captures --bench does not:
//
//   bench_captures DIR N
//     DIR/bench-ipv6.pcap  N IPv6 queries: a skewed mix over 2,000 sources,
//                          each in a /64 of its own, at 100,000 a second
//     DIR/bench-wide.pcap  2N IPv4 queries from 2N distinct sources at N/2
//                          a second: with -w 2 -x N each stats window holds
//                          N new sources, so both bucket sets fill up
//
// The same arguments give the same bytes.
#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "frames.h"

namespace {

using qv::test::build_frame;
using qv::test::FrameSpec;

// 2026-12-01 12:00:00 UTC, as the other generated captures.
constexpr int64_t kEpoch = 1796126400;
constexpr uint16_t kTypes[] = {1, 1, 1, 28, 28, 15, 12, 2, 6, 255, 33, 5};

class Writer {
public:
    explicit Writer(const std::string& path)
        : dead_(pcap_open_dead(DLT_EN10MB, 65535)), dump_(pcap_dump_open(dead_, path.c_str())) {
        if (dump_ == nullptr) {
            fprintf(stderr, "%s: %s\n", path.c_str(), pcap_geterr(dead_));
            exit(1);
        }
    }
    ~Writer() {
        pcap_dump_close(dump_);
        pcap_close(dead_);
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Query i of a stream of `per_second` a second.
    void add(int64_t i, int64_t per_second, const FrameSpec& s) {
        const std::vector<uint8_t> bytes = build_frame(s);
        pcap_pkthdr h{};
        h.ts.tv_sec = static_cast<time_t>(kEpoch + i / per_second);
        h.ts.tv_usec = static_cast<suseconds_t>((i % per_second) * 1000000 / per_second);
        h.caplen = h.len = static_cast<bpf_u_int32>(bytes.size());
        pcap_dump(reinterpret_cast<u_char*>(dump_), &h, bytes.data());
    }

private:
    pcap_t* dead_;
    pcap_dumper_t* dump_;
};

FrameSpec query(int64_t n, uint16_t qtype) {
    FrameSpec s;
    s.qtype = qtype;
    s.dns_id = static_cast<uint16_t>(n);
    s.labels = {"host" + std::to_string(n % 50), "example", "net"};
    return s;
}

void ipv6_mix(const std::string& path, int64_t n) {
    std::mt19937 rng(1054);
    std::vector<double> w(2000);
    for (size_t k = 0; k < w.size(); ++k) w[k] = 1.0 / static_cast<double>(k + 1);
    std::discrete_distribution<int> pick(w.begin(), w.end());
    Writer out(path);
    for (int64_t i = 0; i < n; ++i) {
        FrameSpec s = query(i, kTypes[i % 12]);
        s.ip_version = 6;
        // Source K of the 2,000: 2001:db8:K:7K::K+1.
        const auto k = static_cast<uint16_t>(pick(rng));
        const uint16_t words[8] = {0x2001, 0x0db8, k, static_cast<uint16_t>(7 * k), 0, 0, 0,
                                   static_cast<uint16_t>(k + 1)};
        for (size_t w = 0; w < 8; ++w) {
            s.src6[2 * w] = static_cast<uint8_t>(words[w] >> 8);
            s.src6[2 * w + 1] = static_cast<uint8_t>(words[w]);
        }
        out.add(i, 100000, s);
    }
}

void wide_flood(const std::string& path, int64_t n) {
    Writer out(path);
    const int64_t per_second = n / 2 > 0 ? n / 2 : 1;
    for (int64_t i = 0; i < 2 * n; ++i) {
        FrameSpec s = query(i, 1);
        // An odd multiplier permutes 24 bits: distinct sources in 10.0.0.0/8.
        const uint32_t host = static_cast<uint32_t>(i) * 0x9E3779u & 0xffffffu;
        s.src[0] = 10;
        s.src[1] = static_cast<uint8_t>(host >> 16);
        s.src[2] = static_cast<uint8_t>(host >> 8);
        s.src[3] = static_cast<uint8_t>(host);
        out.add(i, per_second, s);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const long n = argc == 3 ? atol(argv[2]) : 0;
    // Distinct IPv4 sources in 10.0.0.0/8: at most 2^24 of them.
    if (n <= 0 || 2 * n > (1 << 24)) {
        fprintf(stderr, "usage: bench_captures DIR N (1 <= N <= 8388608)\n");
        return 2;
    }
    const std::string dir = argv[1];
    ipv6_mix(dir + "/bench-ipv6.pcap", n);
    wide_flood(dir + "/bench-wide.pcap", n);
    return 0;
}
