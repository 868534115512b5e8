// Writes deterministic sample captures for the replay tests, the shipped
// sample and the benchmarks. The same arguments give the same bytes, with
// any standard library: the only engine taken from <random> is mt19937,
// whose output the standard fixes, and every bounded draw is our own.
//
//   make_captures DIR                 the small test captures
//   make_captures --bench DIR N       N-query benchmark captures: mix, flood, heavy
//   make_captures --tcp-bench DIR N SYNS  N queries pipelined over TCP and the
//                                     same over UDP; a flood of SYNS SYNs
//   make_captures --zones DIR N       N-query zone benchmark captures
//   make_captures --answers DIR N     N queries, their N answers, and both
//                                     interleaved: the answer benchmark
#include <pcap/pcap.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "frames.h"

using qv::test::build_frame;
using qv::test::ExtHeader;
using qv::test::FrameSpec;

namespace {

constexpr uint16_t kTypes[] = {1, 1, 1, 28, 28, 15, 12, 2, 6, 255, 33, 5};

// The seeded generator of the IPv6, prefix and link-layer captures; 32 bits
// a call, as mt19937 gives them, so one bounded draw serves both.
class SplitMix64 {
public:
    explicit SplitMix64(uint64_t seed) : state_(seed) {}
    uint64_t next64() {
        uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }
    uint32_t operator()() { return static_cast<uint32_t>(next64() >> 32); }

private:
    uint64_t state_;
};

// A uniform draw from [0, n) out of 32-bit draws: multiply and shift,
// rejecting the few products that would favour some values. The older
// captures were first made with this same mapping, so their bytes stay.
template <class Gen>
uint32_t below(Gen& g, uint32_t n) {
    uint64_t m = uint64_t{static_cast<uint32_t>(g())} * n;
    uint32_t low = static_cast<uint32_t>(m);
    if (low < n) {
        const uint32_t reject = (0u - n) % n;  // 2^32 mod n
        while (low < reject) {
            m = uint64_t{static_cast<uint32_t>(g())} * n;
            low = static_cast<uint32_t>(m);
        }
    }
    return static_cast<uint32_t>(m >> 32);
}

struct Packet {
    int64_t usec;  // since the start of the capture
    std::vector<uint8_t> bytes;
    uint32_t wire = 0;  // 0: the frame's own length
};

class Writer {
public:
    // A pcapng file is always Ethernet; a pcap file has the link type dlt.
    explicit Writer(const std::string& path, int dlt = DLT_EN10MB, bool pcapng = false)
        : pcapng_(pcapng) {
        if (pcapng) {
            f_ = fopen(path.c_str(), "wb");
            write_pcapng_header();
        } else {
            dead_ = pcap_open_dead(dlt, 65535);
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

// A TCP query is the whole of a short connection from the client's side: one
// segment that closes it with FIN, so the next query from the same address
// and port starts a stream of its own.
Packet packet(int64_t usec, FrameSpec s) {
    if (s.protocol == 6 && s.tcp_flags == 0x18) s.tcp_flags = 0x19;
    return {usec, build_frame(s), 0};
}

// Ordinary traffic: 20 sources in 198.51.100.0/24, a query every ~1.5 s each.
void ordinary(std::vector<Packet>& out, std::mt19937& rng, int64_t from_s, int64_t to_s) {
    uint32_t n = 0;
    for (int64_t t = from_s; t < to_s; ++t) {
        for (uint32_t src = 1; src <= 20; ++src) {
            if ((t + src) % 3 == 0) continue;
            out.push_back(packet(t * 1000000 + below(rng, 1000000),
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

// ---- IPv6, VLAN tags, prefixes and other link layers ----------------------

// An IPv6 address from its two 64-bit halves, most significant byte first.
struct Addr6 {
    uint64_t hi;
    uint64_t lo;
};

FrameSpec query6_from(Addr6 src, uint16_t qtype, uint8_t proto, uint32_t n) {
    FrameSpec s = query_from(0, qtype, proto, n);
    s.ip_version = 6;
    for (int i = 0; i < 8; ++i) {
        s.src6[i] = static_cast<uint8_t>(src.hi >> (56 - 8 * i));
        s.src6[8 + i] = static_cast<uint8_t>(src.lo >> (56 - 8 * i));
    }
    return s;
}

// A first fragment (offset 0, more to come), and one 1480 bytes further on.
constexpr ExtHeader kFirstFragment{44, 0x0001};
constexpr ExtHeader kLaterFragment{44, (1480 / 8) << 3};

// Quiet hosts 1..hosts: a query in two seconds of every three, at a random
// moment of the second. make(host, qtype, n) gives the frame.
template <class Make>
void quiet_hosts(std::vector<Packet>& out, SplitMix64& rng, uint32_t hosts, int64_t from_s,
                 int64_t to_s, Make make) {
    uint32_t n = 0;
    for (int64_t t = from_s; t < to_s; ++t) {
        for (uint32_t h = 1; h <= hosts; ++h) {
            if ((t + h) % 3 == 0) continue;
            out.push_back(
                packet(t * 1000000 + below(rng, 1000000), make(h, kTypes[(t + h) % 12], n++)));
        }
    }
}

// `qps` frames a second, evenly spaced; make(i, n) gives the i-th of a second.
template <class Make>
void steady(std::vector<Packet>& out, int64_t from_s, int64_t to_s, int qps, Make make) {
    uint32_t n = 0;
    for (int64_t t = from_s; t < to_s; ++t) {
        for (int i = 0; i < qps; ++i) {
            out.push_back(packet(t * 1000000 + i * (1000000 / qps), make(i, n++)));
        }
    }
}

// Kinds 0..6: the ways a query may reach the decoder on Ethernet besides
// plain UDP (any other kind). Sent one frame in ten each, a kind that got
// lost takes 9 qps off a 90 qps source.
FrameSpec ethernet_kind(FrameSpec s, int kind) {
    switch (kind) {
        case 0:
            s.protocol = 6;
            break;
        case 1:
            s.ext_headers = {ExtHeader{0}};  // Hop-by-Hop Options
            break;
        case 2:
            s.ext_headers = {ExtHeader{60}};  // Destination Options
            break;
        case 3:
            s.ext_headers = {kFirstFragment};
            break;
        case 4:
            s.vlan_tpids = {0x8100};
            break;
        case 5:
            s.vlan_tpids = {0x88A8, 0x8100};
            break;
        case 6:
            s.protocol = 6;
            s.ext_headers = {ExtHeader{60}};
            break;
        default:
            break;
    }
    return s;
}

// Frames the program must drop, each kind from a source of its own.
constexpr int kDropKinds = 5;
FrameSpec drop_kind(int kind, uint32_t n) {
    const auto v6 = [](uint64_t net) { return Addr6{0x20010db8dead0000u | net, 1}; };
    FrameSpec s;
    switch (kind) {
        case 0:
            s = query6_from(v6(1), 1, 17, n);
            s.ext_headers = {kLaterFragment};
            break;
        case 1:
            s = query6_from(v6(2), 1, 17, n);
            s.ext_headers = {ExtHeader{50}};  // ESP: what follows is encrypted
            break;
        case 2:
            s = query6_from(v6(3), 1, 17, n);
            s.vlan_tpids = {0x88A8, 0x8100, 0x8100};
            break;
        case 3:
            s = query_from(0xCB007103, 1, 17, n);  // 203.0.113.3
            s.vlan_tpids = {0x88A8, 0x8100, 0x8100};
            break;
        default:
            s = query6_from(v6(5), 1, 17, n);
            s.ext_headers = {ExtHeader{0}};
            s.dst_port = 5353;
            break;
    }
    return s;
}

// Every kind to drop at 80 qps for two seconds: one that got through would
// raise an alarm in its source's name.
void must_drop(std::vector<Packet>& out, int64_t from_s) {
    for (int kind = 0; kind < kDropKinds; ++kind) {
        steady(out, from_s, from_s + 2, 80, [&](int, uint32_t n) { return drop_kind(kind, n); });
    }
}

// Forty seconds of mixed traffic:
//   2001:db8:100:N::1 (N = 1..20) and 198.51.100.1..10: quiet, throughout;
//   198.51.100.77 at 70 qps in [0, 10), every frame tagged: odd ones once,
//     even ones twice (so either kind alone stays under 60);
//   2001:db8:100:ff::7 at 90 qps in [10, 26), every Ethernet kind;
//   the frames to drop in [28, 30).
void ipv6_mix(std::vector<Packet>& out, SplitMix64& rng) {
    quiet_hosts(out, rng, 20, 0, 40, [](uint32_t h, uint16_t qtype, uint32_t n) {
        return query6_from({0x20010db801000000u | h, 1}, qtype, 17, n);
    });
    quiet_hosts(out, rng, 10, 0, 40, [](uint32_t h, uint16_t qtype, uint32_t n) {
        return query_from(0xC6336400 + h, qtype, 17, n);
    });
    steady(out, 0, 10, 70, [](int i, uint32_t n) {
        FrameSpec s = query_from(0xC633644D, 1, i % 10 == 0 ? 6 : 17, n);  // 198.51.100.77
        s.vlan_tpids =
            i % 2 ? std::vector<uint16_t>{0x8100} : std::vector<uint16_t>{0x88A8, 0x8100};
        return s;
    });
    steady(out, 10, 26, 90, [](int i, uint32_t n) {
        const FrameSpec s = query6_from({0x20010db8010000ffu, 7}, (i % 4 == 0) ? 28 : 1, 17, n);
        return ethernet_kind(s, i % 10);
    });
    must_drop(out, 28);
}

// One frame of every kind, good and bad, with sources that tell them apart.
void each_kind(std::vector<Packet>& out, int64_t t) {
    const int64_t us = t * 1000000;
    int64_t at = 0;
    auto add = [&](FrameSpec s) { out.push_back(packet(us + ++at, s)); };
    const auto host = [](uint64_t lo) { return Addr6{0x20010db801000001u, lo}; };
    for (int kind = 0; kind < 7; ++kind) {
        add(ethernet_kind(query6_from(host(static_cast<uint64_t>(kind + 1)), 28, 17, 1), kind));
    }
    FrameSpec s = query6_from(host(8), 1, 17, 1);
    s.ext_headers = {ExtHeader{43}};  // Routing
    add(s);
    s = query6_from(host(9), 1, 17, 1);
    s.ext_headers = {ExtHeader{51, 0, 4}};  // Authentication, 24 bytes
    add(s);
    s = query6_from(host(10), 1, 6, 1);
    s.ext_headers = {ExtHeader{0}, ExtHeader{60, 0, 2}, kFirstFragment};
    s.vlan_tpids = {0x9100, 0x8100};
    add(s);
    // Address texts: the longest run of zero groups is the one shortened.
    add(query6_from({0x20010db800000000u, 0x0001000000000001u}, 1, 17, 1));
    add(query6_from({0x20010db8aaaabbbbu, 0xccccddddeeeeffffu}, 1, 17, 1));
    s = query_from(0xC633644D, 15, 17, 1);  // 198.51.100.77
    s.vlan_tpids = {0x8100};
    add(s);
    s = query_from(0xC633644E, 15, 6, 1);  // 198.51.100.78
    s.vlan_tpids = {0x88A8, 0x8100};
    add(s);
    for (int kind = 0; kind < kDropKinds; ++kind) add(drop_kind(kind, 1));
}

// A spread flood, ten seconds:
//   2001:db8:77:1::/64 at 200 qps, every query from a new random interface
//     identifier: thousands of hosts, each quiet, the /64 far above 60;
//   203.0.113.0/24 at 150 qps from random last bytes: about 6 queries an
//     address, the /24 far above 60;
//   quiet hosts 2001:db8:77:1N::1 (in the same /48) and 198.51.100.1..5.
void prefix_flood(std::vector<Packet>& out, SplitMix64& rng) {
    steady(out, 0, 10, 200, [&](int, uint32_t n) {
        return query6_from({0x20010db800770001u, rng.next64()}, 255, 17, n);
    });
    steady(out, 0, 10, 150,
           [&](int, uint32_t n) { return query_from(0xCB007100 + below(rng, 256), 1, 17, n); });
    quiet_hosts(out, rng, 5, 0, 10, [](uint32_t h, uint16_t qtype, uint32_t n) {
        return query6_from({0x20010db800770010u | h, 1}, qtype, 17, n);
    });
    quiet_hosts(out, rng, 5, 0, 10, [](uint32_t h, uint16_t qtype, uint32_t n) {
        return query_from(0xC6336400 + h, qtype, 17, n);
    });
}

// Five seconds on another link layer: 2001:db8:200::9 at 80 qps and
// 192.0.2.9 at 70 qps, with TCP and extension headers among them, and on
// BSD loopback the three IPv6 family values of the BSDs in turn. No VLAN
// tags: the filter cannot see past them on these links, and drops them.
void link_mix(std::vector<Packet>& out, int link_len) {
    steady(out, 0, 5, 80, [&](int i, uint32_t n) {
        FrameSpec s = query6_from({0x20010db802000000u, 9}, 28, i % 4 == 1 ? 6 : 17, n);
        s.link_len = link_len;
        if (i % 4 == 2) s.ext_headers = {ExtHeader{0}};
        if (i % 4 == 3) s.ext_headers = {kFirstFragment};
        static constexpr uint32_t kFamilies[] = {24, 28, 30};
        if (link_len == 4) s.null_family = kFamilies[i % 3];
        return s;
    });
    steady(out, 0, 5, 70, [&](int i, uint32_t n) {
        FrameSpec s = query_from(0xC0000209, 1, i % 10 == 0 ? 6 : 17, n);  // 192.0.2.9
        s.link_len = link_len;
        return s;
    });
}

// ---- DNS over TCP: whole connections ------------------------------------

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kFin = 0x01, kSyn = 0x02, kPsh = 0x08, kAck = 0x10;

// A DNS message of one question; a response (QR and RA set, no answer)
// when response.
Bytes dns_message(uint16_t id, const std::vector<std::string>& labels, uint16_t qtype,
                  bool response = false) {
    Bytes m(12, 0);
    m[0] = static_cast<uint8_t>(id >> 8);
    m[1] = static_cast<uint8_t>(id);
    m[2] = response ? 0x81 : 0x01;
    m[3] = response ? 0x80 : 0;
    m[5] = 1;  // QDCOUNT
    const Bytes name = qv::test::wire_name(labels);
    m.insert(m.end(), name.begin(), name.end());
    m.insert(m.end(), {static_cast<uint8_t>(qtype >> 8), static_cast<uint8_t>(qtype), 0, 1});
    return m;
}

// A message behind its 2-byte length prefix, as DNS over TCP sends it.
Bytes framed(const Bytes& m) {
    Bytes out = {static_cast<uint8_t>(m.size() >> 8), static_cast<uint8_t>(m.size())};
    out.insert(out.end(), m.begin(), m.end());
    return out;
}

// A TCP segment between an IPv4 client's port and 192.0.2.53 port 53: the
// builder's TCP frame with the segment's own numbers, and data in place of
// its query.
Bytes tcp_frame(uint32_t client, uint16_t port, bool from_client, uint8_t flags, uint32_t seq,
                uint32_t ack, const Bytes& data) {
    FrameSpec s = query_from(client, 1, 6, 0);
    s.src_port = port;
    s.tcp_flags = flags;
    if (!from_client) {
        std::swap(s.src, s.dst);
        std::swap(s.src_port, s.dst_port);
    }
    Bytes f = build_frame(s);
    constexpr size_t kIp = 14, kTcp = kIp + 20;
    f.resize(kTcp + 20);
    for (int i = 0; i < 4; ++i) {
        f[kTcp + 4 + i] = static_cast<uint8_t>(seq >> (24 - 8 * i));
        f[kTcp + 8 + i] = static_cast<uint8_t>(ack >> (24 - 8 * i));
    }
    f.insert(f.end(), data.begin(), data.end());
    const size_t ip_len = f.size() - kIp;
    f[kIp + 2] = static_cast<uint8_t>(ip_len >> 8);
    f[kIp + 3] = static_cast<uint8_t>(ip_len);
    return f;
}

// One TCP connection from an IPv4 client to 192.0.2.53 port 53, written
// segment by segment. The client's bytes are the framed queries queued with
// query(); a segment names a range of them, and its sequence number follows
// from where the range starts, so retransmissions, overlaps and segments
// out of order are written as ranges. The server answers each query with
// an empty response and acknowledges what it has.
class TcpConn {
  public:
    TcpConn(std::vector<Packet>& out, SplitMix64& rng, uint32_t client)
        : out_(out),
          client_(client),
          port_(static_cast<uint16_t>(32768 + below(rng, 28232))),
          cisn_(rng()),
          sisn_(rng()) {}

    // Queues a query for the client to send; returns the end of its bytes.
    size_t query(const std::vector<std::string>& labels, uint16_t qtype = 1) {
        const Bytes m = framed(dns_message(static_cast<uint16_t>(ends_.size() + 1), labels, qtype));
        stream_.insert(stream_.end(), m.begin(), m.end());
        ends_.push_back(stream_.size());
        return stream_.size();
    }
    size_t size() const { return stream_.size(); }

    // SYN (carrying bytes [0, data_to) with fast open), SYN-ACK, ACK.
    void open(int64_t us, size_t data_to = 0) {
        client(us, kSyn, 0, data_to);
        acked_ = data_to;
        server(us + 40, kSyn | kAck, {});
        server_sent_ = 1;
        answer_up_to(us + 60, data_to);
        client(us + 80, kAck, data_to, data_to);
    }
    // The client's bytes [from, to), pushed.
    void send(int64_t us, size_t from, size_t to, uint8_t flags = kPsh | kAck) {
        client(us, flags, from, to);
    }
    // The server acknowledges everything up to `to` and answers the queries
    // complete by then.
    void answer_up_to(int64_t us, size_t to) {
        Bytes replies;
        for (; answered_ < ends_.size() && ends_[answered_] <= to; ++answered_) {
            const Bytes r =
                framed(dns_message(static_cast<uint16_t>(answered_ + 1), {"answer"}, 1, true));
            replies.insert(replies.end(), r.begin(), r.end());
        }
        if (to <= acked_ && replies.empty()) return;
        acked_ = std::max(acked_, to);
        server(us, replies.empty() ? kAck : kPsh | kAck, replies);
        server_sent_ += static_cast<uint32_t>(replies.size());
    }
    // The client's FIN after everything, the server's FIN, the last ACK.
    void close(int64_t us) {
        const size_t end = stream_.size();
        client(us, kFin | kAck, end, end);
        acked_ = end + 1;
        server(us + 40, kFin | kAck, {});
        ++server_sent_;
        client(us + 80, kAck, end + 1, end + 1);
    }

  private:
    // A client segment with bytes [from, to) of the stream (from = to: none);
    // a SYN takes the number before the first byte.
    void client(int64_t us, uint8_t flags, size_t from, size_t to) {
        const Bytes data(stream_.begin() + static_cast<long>(std::min(from, stream_.size())),
                         stream_.begin() + static_cast<long>(std::min(to, stream_.size())));
        const uint32_t seq = (flags & kSyn) ? cisn_ : cisn_ + 1 + static_cast<uint32_t>(from);
        const uint32_t ack = (flags & kSyn) ? 0 : sisn_ + server_sent_;
        out_.push_back({us, tcp_frame(client_, port_, true, flags, seq, ack, data), 0});
    }
    void server(int64_t us, uint8_t flags, const Bytes& data) {
        const uint32_t seq = (flags & kSyn) ? sisn_ : sisn_ + server_sent_;
        out_.push_back({us,
                        tcp_frame(client_, port_, false, flags, seq,
                                  cisn_ + 1 + static_cast<uint32_t>(acked_), data),
                        0});
    }
    std::vector<Packet>& out_;
    uint32_t client_;
    uint16_t port_;
    uint32_t cisn_, sisn_;
    Bytes stream_;
    std::vector<size_t> ends_;  // where each query's bytes end
    size_t answered_ = 0;       // queries answered
    size_t acked_ = 0;          // client bytes acknowledged (past the SYN)
    uint32_t server_sent_ = 0;  // server sequence space used (its SYN counts one)
};

// Five seconds of DNS over TCP, whole connections with the server's side,
// each client showing one way a stream comes apart (names say which):
//   198.51.100.21  three queries pipelined in one segment;
//   198.51.100.22  a query split inside its name, then one split after its
//                  length prefix;
//   198.51.100.23  a length prefix alone in a segment, then its message;
//   198.51.100.24  a segment sent again as it was, then one sent again with
//                  the next query added (an overlap);
//   198.51.100.25  two segments captured in the wrong order;
//   198.51.100.26  a query in the SYN (fast open), another after it;
//   198.51.100.27  a connection first seen in its middle: a segment that
//                  starts inside a message, with a whole query after that
//                  (neither counts), then one that starts with a whole query
//                  (it and the one after it count);
//   203.0.113.9    loud: three connections in [2, 5) s, 75 queries a second
//                  in segments of three, a split every fifth.
void tcp_streams(std::vector<Packet>& out, SplitMix64& rng) {
    const auto labels = [](const char* what, int n) {
        return std::vector<std::string>{what + std::to_string(n), "tcp", "example"};
    };
    {
        TcpConn c(out, rng, 0xC6336415);
        c.open(100000);
        for (int i = 1; i <= 3; ++i) c.query(labels("pipelined", i), i == 2 ? 28 : 1);
        c.send(100200, 0, c.size());
        c.answer_up_to(100400, c.size());
        c.close(300000);
    }
    {
        TcpConn c(out, rng, 0xC6336416);
        c.open(110000);
        const size_t a = c.query(labels("split", 1));
        const size_t b = c.query(labels("split", 2), 15);
        c.send(110200, 0, 10);
        c.answer_up_to(110300, 10);
        c.send(110400, 10, a + 2);
        c.send(110500, a + 2, b);
        c.answer_up_to(110600, b);
        c.close(310000);
    }
    {
        TcpConn c(out, rng, 0xC6336417);
        c.open(120000);
        const size_t a = c.query(labels("prefix-alone", 1));
        c.send(120200, 0, 2);
        c.answer_up_to(120300, 2);
        c.send(120400, 2, a);
        c.answer_up_to(120500, a);
        c.close(320000);
    }
    {
        TcpConn c(out, rng, 0xC6336418);
        c.open(130000);
        const size_t a = c.query(labels("retransmitted", 1));
        const size_t b = c.query(labels("retransmitted", 2));
        const size_t d = c.query(labels("retransmitted", 3));
        c.send(130200, 0, a);
        c.send(330200, 0, a);  // no ACK came: the same segment again
        c.answer_up_to(330300, a);
        c.send(330400, a, b);
        c.send(530400, a, d);  // again, with the next query joined on
        c.answer_up_to(530500, d);
        c.close(700000);
    }
    {
        TcpConn c(out, rng, 0xC6336419);
        c.open(140000);
        const size_t a = c.query(labels("reordered", 1));
        const size_t b = c.query(labels("reordered", 2));
        c.send(140300, a, b);
        c.send(140301, 0, a);
        c.answer_up_to(140400, b);
        c.close(340000);
    }
    {
        TcpConn c(out, rng, 0xC633641A);
        const size_t a = c.query(labels("fast-open", 1));
        const size_t b = c.query(labels("fast-open", 2), 28);
        c.open(150000, a);
        c.send(150200, a, b);
        c.answer_up_to(150300, b);
        c.close(350000);
    }
    {
        // Only the part after the capture started is written.
        std::vector<Packet> all;
        TcpConn c(all, rng, 0xC633641B);
        c.open(0);
        size_t end[5];
        for (int i = 0; i < 5; ++i) end[i] = c.query(labels("midway", i + 1));
        c.send(10000, 0, end[1] - 9);  // before the capture
        c.send(160000, end[1] - 9, end[2]);
        c.send(160200, end[2], end[4]);
        c.answer_up_to(160300, end[4]);
        c.close(360000);
        for (auto& p : all) {
            if (p.usec >= 100000) out.push_back(std::move(p));
        }
    }
    for (int k = 0; k < 3; ++k) {
        TcpConn c(out, rng, 0xCB007109);
        const int64_t from = (2 + k) * 1000000;
        c.open(from);
        size_t sent = 0;
        for (int i = 0; i < 25; ++i) {
            for (int j = 0; j < 3; ++j) c.query(labels("loud", 3 * i + j), j == 2 ? 28 : 1);
            const int64_t at = from + 1000 + i * 40000;
            if (i % 5 == 4) {
                const size_t cut =
                    sent + 7 + below(rng, static_cast<uint32_t>(c.size() - sent - 8));
                c.send(at, sent, cut);
                c.send(at + 10000, cut, c.size());
            } else {
                c.send(at, sent, c.size());
            }
            sent = c.size();
            c.answer_up_to(at + 20000, sent);
        }
        c.close(from + 999000);
    }
}

void write_all(const std::string& path, std::vector<Packet> pkts, int dlt = DLT_EN10MB,
               bool pcapng = false) {
    std::stable_sort(pkts.begin(), pkts.end(),
                     [](const Packet& a, const Packet& b) { return a.usec < b.usec; });
    Writer w(path, dlt, pcapng);
    for (const auto& p : pkts) w.add(p);
}

// ---- zones ------------------------------------------------------------------

// A random label of 10 to 14 letters and digits, as a random-subdomain
// flood asks them.
std::string random_label(SplitMix64& rng) {
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string label(10 + below(rng, 5), ' ');
    for (char& c : label) c = kChars[below(rng, 36)];
    return label;
}

// A query for labels from src (IPv4, host order).
FrameSpec query_for(uint32_t src, std::vector<std::string> labels, uint16_t qtype, uint32_t n) {
    FrameSpec s = query_from(src, qtype, 17, n);
    s.labels = std::move(labels);
    return s;
}

// Twelve seconds of quiet hosts 198.51.100.1..20 (under example.net.) and,
// in [4, 8), a random-subdomain flood: 2,000 qps in all from 500 resolvers
// (198.18.0.1 .. 198.18.1.244, 4 qps each: none of them near an alarm),
// each query a new random label under example.co.uk.
void zone_random_flood(std::vector<Packet>& out, SplitMix64& rng) {
    quiet_hosts(out, rng, 20, 0, 12, [](uint32_t h, uint16_t qtype, uint32_t n) {
        return query_from(0xC6336400 + h, qtype, 17, n);
    });
    steady(out, 4, 8, 2000, [&](int i, uint32_t n) {
        const uint32_t resolver = 0xC6120001u + below(rng, 500);
        return query_for(resolver, {random_label(rng), "example", "co", "uk"}, i % 4 == 0 ? 28 : 1,
                         n);
    });
}

// Twelve seconds of quiet hosts and, in [4, 8), a spoofed flood of one
// name: 1,500 qps from random 10.0.0.0/8 sources, all for www.example.org
// with each letter's case drawn at random (as resolvers do it to their
// own queries), which is still one name.
void zone_one_name_flood(std::vector<Packet>& out, SplitMix64& rng) {
    quiet_hosts(out, rng, 20, 0, 12, [](uint32_t h, uint16_t qtype, uint32_t n) {
        return query_from(0xC6336400 + h, qtype, 17, n);
    });
    steady(out, 4, 8, 1500, [&](int, uint32_t n) {
        std::vector<std::string> labels = {"www", "example", "org"};
        for (std::string& l : labels) {
            for (char& c : l) {
                if (below(rng, 2) != 0) c = static_cast<char>(c - 'a' + 'A');
            }
        }
        return query_for(0x0A000000u | below(rng, 1u << 24), std::move(labels), 1, n);
    });
}

// Busy but ordinary: in [0, 5), 1,200 qps from 50 resolvers (192.0.2.100
// .. 192.0.2.149, 24 qps each) spread evenly over 20 zones under public
// suffixes of the list's ICANN and private parts, 60 qps and 8 names
// each; quiet hosts go on to 10 s. All of it is over 1,000 qps, no zone
// is; a zone cut at the wrong label would show as another zone's name or
// as a suffix at 120 qps or more (com., co.uk., github.io.).
constexpr const char* kBusyZones[20][3] = {
    {"alpha", "com", nullptr},  {"bravo", "com", nullptr},   {"charlie", "net", nullptr},
    {"delta", "org", nullptr},  {"echo", "co", "uk"},        {"foxtrot", "co", "uk"},
    {"golf", "com", "au"},      {"hotel", "ac", "uk"},       {"india", "github", "io"},
    {"juliet", "github", "io"}, {"kilo", "blogspot", "com"}, {"lima", "de", nullptr},
    {"mike", "co", "jp"},       {"november", "uk", nullptr}, {"oscar", "com", "br"},
    {"papa", "jp", nullptr},    {"quebec", "gc", "ca"},      {"romeo", "edu", "au"},
    {"sierra", "org", "uk"},    {"tango", "io", nullptr},
};
void zone_busy(std::vector<Packet>& out, SplitMix64& rng) {
    quiet_hosts(out, rng, 20, 0, 10, [](uint32_t h, uint16_t qtype, uint32_t n) {
        return query_from(0xC6336400 + h, qtype, 17, n);
    });
    static const std::vector<std::string> kHosts[8] = {{"www"}, {"mail"},   {"api"}, {"cdn"},
                                                       {"img"}, {"a", "b"}, {"m"},   {}};
    steady(out, 0, 5, 1200, [&](int i, uint32_t n) {
        const auto& zone = kBusyZones[i % 20];
        std::vector<std::string> labels = kHosts[(i / 20) % 8];
        for (const char* l : zone) {
            if (l != nullptr) labels.push_back(l);
        }
        return query_for(0xC0000264u + static_cast<uint32_t>(i % 50), std::move(labels),
                         kTypes[i % 12], n);
    });
}

void zone_captures(const std::string& dir) {
    SplitMix64 rng(0x5eed2042);
    {
        std::vector<Packet> p;
        zone_random_flood(p, rng);
        write_all(dir + "/zone-random.pcap", p);
    }
    {
        std::vector<Packet> p;
        zone_one_name_flood(p, rng);
        write_all(dir + "/zone-one-name.pcap", p);
    }
    {
        std::vector<Packet> p;
        zone_busy(p, rng);
        write_all(dir + "/zone-busy.pcap", p);
    }
}

// The zone benchmark's captures, n queries at 100,000 qps each:
//   bench-zone-random.pcap: from 500 resolvers, nine queries in ten a new
//     random label under example.co.uk, the tenth hostN.example.net;
//   bench-zone-spread.pcap: from 2,000 sources, www.dK.com for K drawn from
//     100,000 zones, about 100,000 distinct zones a 10-second cycle.
void zone_bench_captures(const std::string& dir, long n) {
    const int qps = 100000;
    SplitMix64 rng(0x5eed2043);
    {
        Writer out(dir + "/bench-zone-random.pcap");
        for (long i = 0; i < n; ++i) {
            const int64_t us = (i / qps) * 1000000 + (i % qps) * 10;
            const uint32_t resolver = 0xC6120001u + below(rng, 500);
            const auto k = static_cast<uint32_t>(i);
            FrameSpec s =
                i % 10 == 9 ? query_from(resolver, 1, 17, k)
                            : query_for(resolver, {random_label(rng), "example", "co", "uk"}, 1, k);
            out.add(packet(us, s));
        }
    }
    {
        Writer out(dir + "/bench-zone-spread.pcap");
        for (long i = 0; i < n; ++i) {
            const int64_t us = (i / qps) * 1000000 + (i % qps) * 10;
            const uint32_t src = 0xC6330000u + below(rng, 2000);
            char zone[16];
            snprintf(zone, sizeof zone, "d%u", below(rng, 100000));
            out.add(packet(us, query_for(src, {"www", zone, "com"}, kTypes[i % 12],
                                         static_cast<uint32_t>(i))));
        }
    }
}

// ---- answers: both directions of each exchange --------------------------
//
// These captures hold what the watched server sends back as well as what it
// is asked, as its own link carries them: frames between the server's MAC
// and its gateway's (or a host on the same link), IP and transport lengths
// and checksums right, and whole DNS messages with their records and EDNS.

void push16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

void push32(Bytes& b, uint32_t v) {
    push16(b, static_cast<uint16_t>(v >> 16));
    push16(b, static_cast<uint16_t>(v));
}

void append(Bytes& b, const Bytes& more) {
    b.insert(b.end(), more.begin(), more.end());
}

using Mac = std::array<uint8_t, 6>;
// The server's own interface, and the router every remote packet comes
// through.
constexpr Mac kServerMac = {0x52, 0x54, 0x00, 0xc6, 0x64, 0x35};
constexpr Mac kGatewayMac = {0x00, 0x1b, 0x21, 0x4a, 0x10, 0x01};

// One end of an exchange: its address, the routers its packets crossed
// before the capture saw them (they arrive with a TTL of 64 less that), and
// the MAC its frames carry on the server's link.
struct Host {
    uint8_t version = 4;
    std::array<uint8_t, 16> ip{};
    uint8_t hops = 0;
    Mac mac = kGatewayMac;
};

Host host4(uint32_t a, uint8_t hops) {
    Host h;
    for (int i = 0; i < 4; ++i) h.ip[i] = static_cast<uint8_t>(a >> (24 - 8 * i));
    h.hops = hops;
    return h;
}

Host host6(Addr6 a, uint8_t hops) {
    Host h;
    h.version = 6;
    for (int i = 0; i < 8; ++i) {
        h.ip[i] = static_cast<uint8_t>(a.hi >> (56 - 8 * i));
        h.ip[8 + i] = static_cast<uint8_t>(a.lo >> (56 - 8 * i));
    }
    h.hops = hops;
    return h;
}

// The watched server: 198.51.100.53 and 2001:db8:53::53.
Host server4() {
    Host h = host4(0xC6336435, 0);
    h.mac = kServerMac;
    return h;
}

Host server6() {
    Host h = host6({0x20010db800530000u, 0x53}, 0);
    h.mac = kServerMac;
    return h;
}

// A host on the server's own link: no router between, its own MAC.
Host lan_host(uint32_t a) {
    Host h = host4(a, 0);
    h.mac = {0x00,
             0x25,
             0x90,
             static_cast<uint8_t>(a >> 16),
             static_cast<uint8_t>(a >> 8),
             static_cast<uint8_t>(a)};
    return h;
}

// The ones' complement sum of b's 16-bit words added to sum, folded and
// inverted: the Internet checksum.
uint16_t inet_checksum(const uint8_t* b, size_t n, uint32_t sum) {
    for (size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(b[i] << 8 | b[i + 1]);
    if (n % 2 != 0) sum += static_cast<uint32_t>(b[n - 1] << 8);
    while (sum >> 16 != 0) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

// An Ethernet frame carrying l4 (a UDP or TCP header with its data, the
// checksum at csum_at still zero) from src to dst.
Bytes ip_frame(SplitMix64& rng, const Host& src, const Host& dst, uint8_t proto, Bytes l4,
               size_t csum_at) {
    const size_t alen = src.version == 6 ? 16 : 4;
    uint32_t sum = 0;
    for (size_t i = 0; i < alen; i += 2) {
        sum += static_cast<uint32_t>(src.ip[i] << 8 | src.ip[i + 1]);
        sum += static_cast<uint32_t>(dst.ip[i] << 8 | dst.ip[i + 1]);
    }
    sum += proto;
    sum += static_cast<uint32_t>(l4.size() >> 16) + static_cast<uint32_t>(l4.size() & 0xffff);
    uint16_t c = inet_checksum(l4.data(), l4.size(), sum);
    if (proto == 17 && c == 0) c = 0xffff;  // zero would say "no checksum"
    l4[csum_at] = static_cast<uint8_t>(c >> 8);
    l4[csum_at + 1] = static_cast<uint8_t>(c);

    Bytes f(dst.mac.begin(), dst.mac.end());
    f.insert(f.end(), src.mac.begin(), src.mac.end());
    const uint8_t ttl = static_cast<uint8_t>(64 - src.hops);
    if (src.version == 6) {
        push16(f, 0x86DD);
        push32(f, 0x60000000);
        push16(f, static_cast<uint16_t>(l4.size()));
        f.push_back(proto);
        f.push_back(ttl);
        f.insert(f.end(), src.ip.begin(), src.ip.begin() + 16);
        f.insert(f.end(), dst.ip.begin(), dst.ip.begin() + 16);
    } else {
        push16(f, 0x0800);
        const size_t ip = f.size();
        push16(f, 0x4500);
        push16(f, static_cast<uint16_t>(20 + l4.size()));
        push16(f, static_cast<uint16_t>(rng()));  // identification
        push16(f, 0x4000);                        // don't fragment
        f.push_back(ttl);
        f.push_back(proto);
        push16(f, 0);
        f.insert(f.end(), src.ip.begin(), src.ip.begin() + 4);
        f.insert(f.end(), dst.ip.begin(), dst.ip.begin() + 4);
        const uint16_t hc = inet_checksum(&f[ip], 20, 0);
        f[ip + 10] = static_cast<uint8_t>(hc >> 8);
        f[ip + 11] = static_cast<uint8_t>(hc);
    }
    append(f, l4);
    return f;
}

Bytes udp_frame(SplitMix64& rng, const Host& src, uint16_t sport, const Host& dst, uint16_t dport,
                const Bytes& payload) {
    Bytes l4;
    push16(l4, sport);
    push16(l4, dport);
    push16(l4, static_cast<uint16_t>(8 + payload.size()));
    push16(l4, 0);
    append(l4, payload);
    return ip_frame(rng, src, dst, 17, std::move(l4), 6);
}

// A TCP segment; a SYN carries the options a Linux host sends (MSS, SACK
// permitted, window scale).
Bytes tcp_segment(SplitMix64& rng, const Host& src, uint16_t sport, const Host& dst, uint16_t dport,
                  uint8_t flags, uint32_t seq, uint32_t ack, const Bytes& data) {
    static const Bytes kSynOptions = {2, 4, 0x05, 0xb4, 4, 2, 1, 3, 3, 7, 1, 1};
    const Bytes& options = (flags & kSyn) ? kSynOptions : Bytes{};
    Bytes l4;
    push16(l4, sport);
    push16(l4, dport);
    push32(l4, seq);
    push32(l4, (flags & kAck) ? ack : 0);
    l4.push_back(static_cast<uint8_t>((20 + options.size()) / 4 << 4));
    l4.push_back(flags);
    push16(l4, (flags & kSyn) ? 64240 : 501);  // the window, scaled by 2^7 after the SYN
    push16(l4, 0);
    push16(l4, 0);
    append(l4, options);
    append(l4, data);
    return ip_frame(rng, src, dst, 6, std::move(l4), 16);
}

// A DNS message: the header, one question, then the records of each
// section in turn (answer, authority, additional). Names in records point
// back into the question where they can, as servers compress them.
class Dns {
  public:
    enum Section : size_t { kAnswer = 6, kAuthority = 8, kAdditional = 10 };  // its count's offset

    static constexpr uint16_t kQr = 0x8000, kAa = 0x0400, kTc = 0x0200, kRd = 0x0100, kRa = 0x0080;
    static constexpr uint16_t kUpdate = 5 << 11;  // the opcode of a dynamic update

    Dns(uint16_t id, uint16_t flags, std::vector<std::string> qname, uint16_t qtype)
        : qname_(std::move(qname)), qtype_(qtype) {
        push16(m_, id);
        push16(m_, flags);
        push16(m_, 1);
        m_.resize(12, 0);
        append(m_, qv::test::wire_name(qname_));
        push16(m_, qtype);
        push16(m_, 1);  // IN
    }

    // The reply to query q: its id, its opcode and RD bit, its question as
    // it was asked; flags adds AA, RA or TC.
    static Dns reply_to(const Dns& q, uint16_t flags, uint8_t rcode) {
        const uint16_t asked = static_cast<uint16_t>(q.m_[2] << 8 | q.m_[3]);
        return Dns(q.id(), static_cast<uint16_t>(kQr | (asked & 0x7900) | flags | rcode), q.qname_,
                   q.qtype_);
    }

    // A compression pointer to the question's name from its label k on.
    uint16_t name_at(size_t k = 0) const {
        size_t at = 12;
        for (size_t i = 0; i < k; ++i) at += 1 + qname_[i].size();
        return static_cast<uint16_t>(0xC000 | at);
    }

    // Another question, before any record: QDCOUNT 2, as few servers take.
    void question(const std::vector<std::string>& qname, uint16_t qtype) {
        append(m_, qv::test::wire_name(qname));
        push16(m_, qtype);
        push16(m_, 1);
        count(4);
    }

    // A record whose owner is the compressed name `owner` points at.
    void rr(Section s, uint16_t owner, uint16_t type, uint32_t ttl, const Bytes& rdata) {
        Bytes name;
        push16(name, owner);
        record(s, name, type, ttl, rdata);
    }
    void record(Section s, const Bytes& owner, uint16_t type, uint32_t ttl, const Bytes& rdata) {
        append(m_, owner);
        push16(m_, type);
        push16(m_, 1);
        push32(m_, ttl);
        push16(m_, static_cast<uint16_t>(rdata.size()));
        append(m_, rdata);
        count(s);
    }

    // The OPT record of EDNS, last in the additional section.
    void opt(uint16_t udp_size, bool dnssec_ok, const Bytes& options = {}) {
        m_.push_back(0);  // the root
        push16(m_, 41);
        push16(m_, udp_size);
        push32(m_, dnssec_ok ? 0x8000 : 0);
        push16(m_, static_cast<uint16_t>(options.size()));
        append(m_, options);
        count(kAdditional);
        edns_ = udp_size;
        dnssec_ok_ = dnssec_ok;
    }

    uint16_t id() const { return static_cast<uint16_t>(m_[0] << 8 | m_[1]); }
    uint16_t qtype() const { return qtype_; }
    uint16_t edns() const { return edns_; }  // 0: no OPT record
    bool dnssec_ok() const { return dnssec_ok_; }
    const Bytes& bytes() const { return m_; }

  private:
    void count(size_t s) {
        const uint16_t n = static_cast<uint16_t>((m_[s] << 8 | m_[s + 1]) + 1);
        m_[s] = static_cast<uint8_t>(n >> 8);
        m_[s + 1] = static_cast<uint8_t>(n);
    }

    Bytes m_;
    std::vector<std::string> qname_;
    uint16_t qtype_;
    uint16_t edns_ = 0;
    bool dnssec_ok_ = false;
};

// A name in RDATA: labels, then a pointer to the rest (0: the root).
Bytes rdata_name(const std::vector<std::string>& labels, uint16_t rest) {
    Bytes b = qv::test::wire_name(labels);
    if (rest != 0) {
        b.pop_back();
        push16(b, rest);
    }
    return b;
}

// The SOA of the zone whose name `zone` points at.
Bytes soa_rdata(uint16_t zone) {
    Bytes b = rdata_name({"ns1"}, zone);
    append(b, rdata_name({"hostmaster"}, zone));
    for (uint32_t v : {2026120101u, 7200u, 3600u, 1209600u, 3600u}) push32(b, v);
    return b;
}

// An EDNS cookie option: the client's 8 bytes, drawn.
Bytes cookie_option(SplitMix64& rng) {
    Bytes b;
    push16(b, 10);
    push16(b, 8);
    push32(b, rng());
    push32(b, rng());
    return b;
}

// The reply's OPT record when the query had one.
void echo_opt(Dns& reply, const Dns& query, const Bytes& options = {}) {
    if (query.edns() != 0) reply.opt(1232, query.dnssec_ok(), options);
}

// 2001:db8:cafe::LAST, or 2001:db8:80::80 for the zones' own servers.
Bytes address6(uint8_t last) {
    Bytes a = {0x20, 0x01, 0x0d, 0xb8, 0xca, 0xfe};
    if (last == 0x80) a[4] = 0, a[5] = 0x80;
    a.resize(15, 0);
    a.push_back(last);
    return a;
}

// The answer section for hostN.<zone> (zone from label 1 on): an address
// or mail exchangers where the name has them, for ANY both addresses; for
// any other type no data, and the zone's SOA. NOERROR either way.
void answer_host(Dns& r, uint32_t n) {
    switch (r.qtype()) {
        case 1:
            r.rr(Dns::kAnswer, r.name_at(), 1, 300,
                 {203, 0, 113, static_cast<uint8_t>(100 + n % 50)});
            break;
        case 28:
            r.rr(Dns::kAnswer, r.name_at(), 28, 300, address6(static_cast<uint8_t>(1 + n % 50)));
            break;
        case 15:
            for (uint16_t pref : {10, 20}) {
                Bytes mx;
                push16(mx, pref);
                append(mx, rdata_name({pref == 10 ? "mx1" : "mx2"}, r.name_at(1)));
                r.rr(Dns::kAnswer, r.name_at(), 15, 3600, mx);
            }
            break;
        case 255:
            r.rr(Dns::kAnswer, r.name_at(), 1, 300,
                 {203, 0, 113, static_cast<uint8_t>(100 + n % 50)});
            r.rr(Dns::kAnswer, r.name_at(), 28, 300, address6(static_cast<uint8_t>(1 + n % 50)));
            break;
        default:
            r.rr(Dns::kAuthority, r.name_at(1), 6, 3600, soa_rdata(r.name_at(1)));
            break;
    }
}

// hostK, the first label of a name under example.net.
std::string host_label(uint32_t k) {
    std::string label = "host";
    label.append(std::to_string(k));
    return label;
}

// A client port as Linux draws them.
uint16_t ephemeral_port(SplitMix64& rng) {
    return static_cast<uint16_t>(32768 + below(rng, 28232));
}

// A UDP query from client to server at `at` and, `after` microseconds
// later, the server's reply to the port it came from.
void udp_exchange(std::vector<Packet>& out, SplitMix64& rng, int64_t at, int64_t after,
                  const Host& client, const Host& server, const Dns& query, const Dns& reply) {
    const uint16_t port = ephemeral_port(rng);
    out.push_back({at, udp_frame(rng, client, port, server, 53, query.bytes()), 0});
    out.push_back({at + after, udp_frame(rng, server, 53, client, port, reply.bytes()), 0});
}

// One DNS-over-TCP connection from a client to the server, both
// directions in order: the handshake, data each way with the sequence
// numbers and acknowledgements it would carry, the client's close.
class TcpSession {
  public:
    TcpSession(std::vector<Packet>& out, SplitMix64& rng, const Host& client, const Host& server)
        : out_(out),
          rng_(rng),
          client_(client),
          server_(server),
          port_(ephemeral_port(rng)),
          cseq_(rng()),
          sseq_(rng()) {}

    // SYN, SYN-ACK, ACK, rtt apart.
    void open(int64_t us, int64_t rtt) {
        from_client(us, kSyn, {});
        from_server(us + rtt / 2, kSyn | kAck, {});
        from_client(us + rtt, kAck, {});
    }
    void client_sends(int64_t us, const Bytes& data) { from_client(us, kPsh | kAck, data); }
    void server_sends(int64_t us, const Bytes& data) { from_server(us, kPsh | kAck, data); }
    void client_acks(int64_t us) { from_client(us, kAck, {}); }
    void server_acks(int64_t us) { from_server(us, kAck, {}); }
    // The client's FIN, the server's FIN with its ACK, the last ACK.
    void close(int64_t us, int64_t rtt) {
        from_client(us, kFin | kAck, {});
        from_server(us + rtt / 2, kFin | kAck, {});
        from_client(us + rtt, kAck, {});
    }

  private:
    void from_client(int64_t us, uint8_t flags, const Bytes& data) {
        out_.push_back(
            {us, tcp_segment(rng_, client_, port_, server_, 53, flags, cseq_, sseq_, data), 0});
        cseq_ += static_cast<uint32_t>(data.size()) + ((flags & (kSyn | kFin)) ? 1 : 0);
    }
    void from_server(int64_t us, uint8_t flags, const Bytes& data) {
        out_.push_back(
            {us, tcp_segment(rng_, server_, 53, client_, port_, flags, sseq_, cseq_, data), 0});
        sseq_ += static_cast<uint32_t>(data.size()) + ((flags & (kSyn | kFin)) ? 1 : 0);
    }

    std::vector<Packet>& out_;
    SplitMix64& rng_;
    Host client_, server_;
    uint16_t port_;
    uint32_t cseq_, sseq_;  // the next sequence number of each side
};

// Each second of [from_s, to_s), host h = 1..hosts asks `per_second`
// times, at random moments; ask(h, at, n) writes the exchange.
template <class Ask>
void hosts_asking(SplitMix64& rng, uint32_t hosts, int per_second, int64_t from_s, int64_t to_s,
                  Ask ask) {
    uint32_t n = 0;
    for (int64_t t = from_s; t < to_s; ++t) {
        for (uint32_t h = 1; h <= hosts; ++h) {
            for (int i = 0; i < per_second; ++i) ask(h, t * 1000000 + below(rng, 1000000), n++);
        }
    }
}

// hostN.example.net of type kTypes[n % 12], from a stub (RD set); one in two
// with EDNS.
Dns host_query(SplitMix64& rng, uint32_t n) {
    Dns q(static_cast<uint16_t>(rng()), Dns::kRd, {host_label(n % 50), "example", "net"},
          kTypes[n % 12]);
    if (n % 2 == 0) q.opt(1232, false);
    return q;
}

// Quiet stubs base+1 .. base+hosts asking the server, authoritative for
// example.net, about its hosts once a second.
void quiet_stubs(std::vector<Packet>& out, SplitMix64& rng, uint32_t base, uint32_t hosts,
                 int64_t from_s, int64_t to_s) {
    const Host server = server4();
    hosts_asking(rng, hosts, 1, from_s, to_s, [&](uint32_t h, int64_t at, uint32_t n) {
        const Host stub = host4(base + h, static_cast<uint8_t>(6 + h % 5));
        const Dns q = host_query(rng, n);
        Dns r = Dns::reply_to(q, Dns::kAa, 0);
        answer_host(r, n);
        echo_opt(r, q);
        udp_exchange(out, rng, at, 90 + below(rng, 200), stub, server, q, r);
    });
}

// `per_second` exchanges a second in [from_s, to_s), evenly spaced;
// ask(at, i) writes the i-th of its second.
template <class Ask>
void evenly(int64_t from_s, int64_t to_s, int per_second, Ask ask) {
    for (int64_t t = from_s; t < to_s; ++t) {
        for (int i = 0; i < per_second; ++i) ask(t * 1000000 + i * (1000000 / per_second), i);
    }
}

// Twelve seconds of an authoritative server, 198.51.100.53 (and
// 2001:db8:53::53), for example.co.uk and example.net:
//   203.0.113.1..12: quiet stubs asking about example.net, answered NOERROR;
//   in [4, 6), a random-subdomain flood: 1,000 qps through 24 resolvers
//     (192.0.2.10..29 and 2001:db8:4:N::35, N = 1..4; about 42 qps each,
//     none near an alarm), each query a new random label under
//     example.co.uk, answered NXDOMAIN with the zone's SOA; 3 % ask for a
//     name the zone has (www, mail, shop) and get its address, NOERROR.
// The flood lasts two seconds, not the whole capture: at some 280 bytes a
// query and its answer, that keeps the file well under a megabyte.
void nxdomain_flood(std::vector<Packet>& out, SplitMix64& rng) {
    quiet_stubs(out, rng, 0xCB007100, 12, 0, 12);
    std::vector<Host> resolvers;
    for (uint32_t k = 0; k < 20; ++k) {
        resolvers.push_back(host4(0xC000020A + k, static_cast<uint8_t>(4 + k % 9)));
    }
    for (uint64_t k = 1; k <= 4; ++k) {
        resolvers.push_back(host6({0x20010db800040000u | k, 0x35}, static_cast<uint8_t>(7 + k)));
    }
    static const char* const kNames[] = {"www", "mail", "shop"};
    evenly(4, 6, 1000, [&](int64_t at, int i) {
        const Host& from = resolvers[below(rng, static_cast<uint32_t>(resolvers.size()))];
        const bool exists = i % 40 == 0;  // 2.5 %: the rest are random names that do not exist
        const std::string label = exists ? kNames[below(rng, 3)] : random_label(rng);
        const uint16_t qtype = i % 4 == 0 ? 28 : 1;
        Dns q(static_cast<uint16_t>(rng()), 0, {label, "example", "co", "uk"}, qtype);
        q.opt(1232, true);
        Dns r = Dns::reply_to(q, Dns::kAa, exists ? 0 : 3);
        if (!exists) {
            r.rr(Dns::kAuthority, r.name_at(1), 6, 3600, soa_rdata(r.name_at(1)));
        } else if (qtype == 1) {
            r.rr(Dns::kAnswer, r.name_at(), 1, 3600, {198, 51, 100, 80});
        } else {
            r.rr(Dns::kAnswer, r.name_at(), 28, 3600, address6(0x80));
        }
        echo_opt(r, q);
        udp_exchange(out, rng, at, 60 + below(rng, 240), from,
                     from.version == 6 ? server6() : server4(), q, r);
    });
}

Bytes random_bytes(SplitMix64& rng, size_t n) {
    Bytes b;
    while (b.size() < n) push32(b, rng());
    b.resize(n);
    return b;
}

// The keys and signatures of a zone signed with RSA/SHA-256 and 2048-bit
// keys, drawn once: a signed zone serves the same ones to everyone.
struct ZoneKeys {
    Bytes zsk, ksk;           // the public keys' moduli
    std::vector<Bytes> sigs;  // one for each signed RRset of the apex
};

ZoneKeys draw_keys(SplitMix64& rng) {
    ZoneKeys k;
    k.zsk = random_bytes(rng, 256);
    k.ksk = random_bytes(rng, 256);
    for (int i = 0; i < 8; ++i) k.sigs.push_back(random_bytes(rng, 256));
    return k;
}

// The answer to ANY at the signed apex of example.org: SOA, NS, A, AAAA,
// MX, TXT, DNSKEY and NSEC, each RRset followed by its RRSIG; some 3,400
// bytes of message with the question and OPT.
void apex_any(Dns& r, const ZoneKeys& keys) {
    constexpr uint16_t kZskTag = 48213, kKskTag = 10571;
    const uint16_t apex = r.name_at();
    size_t signed_sets = 0;
    // The signer's name is never compressed in an RRSIG.
    const auto rrsig = [&](uint16_t covered, uint32_t ttl, uint16_t tag) {
        Bytes b;
        push16(b, covered);
        b.push_back(8);  // RSA/SHA-256
        b.push_back(2);  // labels
        push32(b, ttl);
        push32(b, static_cast<uint32_t>(Writer::kEpoch + 16 * 86400));  // expiration
        push32(b, static_cast<uint32_t>(Writer::kEpoch - 14 * 86400));  // inception
        push16(b, tag);
        append(b, qv::test::wire_name({"example", "org"}));
        append(b, keys.sigs[signed_sets++]);
        r.rr(Dns::kAnswer, apex, 46, ttl, b);
    };
    r.rr(Dns::kAnswer, apex, 6, 3600, soa_rdata(apex));
    rrsig(6, 3600, kZskTag);
    r.rr(Dns::kAnswer, apex, 2, 86400, rdata_name({"ns1"}, apex));
    r.rr(Dns::kAnswer, apex, 2, 86400, rdata_name({"ns2"}, apex));
    rrsig(2, 86400, kZskTag);
    r.rr(Dns::kAnswer, apex, 1, 3600, {198, 51, 100, 80});
    rrsig(1, 3600, kZskTag);
    r.rr(Dns::kAnswer, apex, 28, 3600, address6(0x80));
    rrsig(28, 3600, kZskTag);
    Bytes mx;
    push16(mx, 10);
    append(mx, rdata_name({"mail"}, apex));
    r.rr(Dns::kAnswer, apex, 15, 3600, mx);
    rrsig(15, 3600, kZskTag);
    for (const char* text : {"v=spf1 ip4:198.51.100.0/24 ip6:2001:db8:80::/48 -all",
                             "site-verification=Qm3vXh8Lr2TnW5yKc9PdF1sGj7BzA4eUo6iNt0RwYlE",
                             "contact=hostmaster.example.org"}) {
        Bytes txt = {static_cast<uint8_t>(strlen(text))};
        txt.insert(txt.end(), text, text + strlen(text));
        r.rr(Dns::kAnswer, apex, 16, 3600, txt);
    }
    rrsig(16, 3600, kZskTag);
    for (const Bytes* key : {&keys.zsk, &keys.ksk}) {
        Bytes b;
        push16(b, key == &keys.zsk ? 256 : 257);  // zone key; and secure entry point
        b.push_back(3);
        b.push_back(8);
        append(b, {3, 1, 0, 1});  // exponent 65537
        append(b, *key);
        r.rr(Dns::kAnswer, apex, 48, 3600, b);
    }
    rrsig(48, 3600, kKskTag);
    // The next name, uncompressed, and the types at the apex: A NS SOA MX
    // TXT AAAA RRSIG NSEC DNSKEY.
    Bytes nsec = qv::test::wire_name({"www", "example", "org"});
    append(nsec, {0, 7, 0x62, 0x01, 0x80, 0x08, 0x00, 0x03, 0x80});
    r.rr(Dns::kAnswer, apex, 47, 3600, nsec);
    rrsig(47, 3600, kZskTag);
}

// Ten seconds of an authoritative server, 198.51.100.53, for example.org
// (signed) and example.net:
//   192.0.2.1..8: quiet stubs asking about example.net;
//   in [2, 8), spoofed in the name of 203.0.113.9, 20 queries a second
//     (below the default alarm) for ANY example.org with EDNS (4,096 bytes,
//     DO set), each from a port of its own: 40 bytes of message, answered
//     with some 3,400, one frame each; one answer a second is truncated
//     (TC set, no records), as a server that limits its answer rate sends
//     some.
void reflection(std::vector<Packet>& out, SplitMix64& rng) {
    quiet_stubs(out, rng, 0xC0000200, 8, 0, 10);
    const Host victim = host4(0xCB007109, 9);
    const ZoneKeys keys = draw_keys(rng);
    evenly(2, 8, 20, [&](int64_t at, int i) {
        Dns q(static_cast<uint16_t>(rng()), Dns::kRd, {"example", "org"}, 255);
        q.opt(4096, true);
        const bool truncated = i == 7;
        Dns r = Dns::reply_to(q, truncated ? Dns::kAa | Dns::kTc : Dns::kAa, 0);
        if (!truncated) apex_any(r, keys);
        r.opt(1232, true);
        udp_exchange(out, rng, at, 100 + below(rng, 200), victim, server4(), q, r);
    });
}

// The OPT options of a SERVFAIL: an extended error, "no reachable authority".
Bytes no_reachable_authority() {
    Bytes b;
    push16(b, 15);
    push16(b, 2);
    push16(b, 22);
    return b;
}

// A message behind its 2-byte length prefix, as DNS over TCP sends it.
Bytes framed(const Dns& m) {
    return framed(m.bytes());
}

// Fifteen seconds of a resolver, 198.51.100.53, whose upstream fails in
// [4, 11):
//   192.0.2.1..20: stubs asking about example.net hosts 4 times a second
//     each, over UDP: NOERROR before and after; in the failure SERVFAIL
//     after 5 to 50 ms (with an extended error where the query has EDNS),
//     but for one query in ten that the cache still answers;
//   203.0.113.66: not one of the resolver's clients, twice a second: REFUSED;
//   192.0.2.15 at 1, 6 and 12 s: a dynamic update of its own name, which a
//     resolver does not implement: NOTIMP;
//   192.0.2.16 at 3, 7 and 13 s: a query with two questions: FORMERR;
//   whole TCP connections (handshake, length-prefixed messages, FIN each
//   way):
//     192.0.2.17 at 2 s: big.example.net TXT over UDP gets TC, and again
//       over TCP an answer of some 2,200 bytes in two segments;
//     192.0.2.18 at 5 s: one query, SERVFAIL;
//     192.0.2.19 at 7 s: two queries in one segment, their two answers
//       (SERVFAIL, then NOERROR from the cache) in one;
//     203.0.113.66 at 9 s: one query, REFUSED.
void servfail_storm(std::vector<Packet>& out, SplitMix64& rng) {
    const Host resolver = server4();
    const auto failing = [](int64_t at) { return at >= 4000000 && at < 11000000; };
    const auto resolve = [&](const Dns& q, uint32_t n, bool fail) {
        Dns r = Dns::reply_to(q, Dns::kRa, fail ? 2 : 0);
        if (fail) {
            echo_opt(r, q, no_reachable_authority());
        } else {
            answer_host(r, n);
            echo_opt(r, q);
        }
        return r;
    };
    hosts_asking(rng, 20, 4, 0, 15, [&](uint32_t h, int64_t at, uint32_t n) {
        const Dns q = host_query(rng, n);
        const bool fail = failing(at) && below(rng, 10) != 0;
        const int64_t after = fail ? 5000 + below(rng, 45000) : 150 + below(rng, 700);
        udp_exchange(out, rng, at, after, host4(0xC0000200 + h, 3), resolver, q,
                     resolve(q, n, fail));
    });
    const Host outsider = host4(0xCB007142, 10);
    evenly(0, 15, 2, [&](int64_t at, int) {
        Dns q(static_cast<uint16_t>(rng()), Dns::kRd, {"www", "example", "com"}, 1);
        q.opt(1232, false);
        Dns r = Dns::reply_to(q, Dns::kRa, 5);
        echo_opt(r, q);
        udp_exchange(out, rng, at + below(rng, 400000), 120, outsider, resolver, q, r);
    });
    for (int64_t s : {1, 6, 12}) {
        Dns u(static_cast<uint16_t>(rng()), Dns::kUpdate, {"example", "net"}, 6);
        u.record(Dns::kAuthority, rdata_name({"pc-015"}, u.name_at()), 1, 1200, {192, 0, 2, 15});
        udp_exchange(out, rng, s * 1000000 + 250000, 90, host4(0xC000020F, 3), resolver, u,
                     Dns::reply_to(u, Dns::kRa, 4));
    }
    for (int64_t s : {3, 7, 13}) {
        Dns q(static_cast<uint16_t>(rng()), Dns::kRd, {"host16", "example", "net"}, 1);
        q.question({"host16", "example", "net"}, 28);
        Dns r = Dns::reply_to(q, Dns::kRa, 1);
        udp_exchange(out, rng, s * 1000000 + 500000, 80, host4(0xC0000210, 3), resolver, q, r);
    }

    constexpr int64_t kRtt = 900;
    {
        const Host client = host4(0xC0000211, 3);
        const int64_t at = 2000000 + 100000;
        Dns q(static_cast<uint16_t>(rng()), Dns::kRd, {"big", "example", "net"}, 16);
        q.opt(1232, false);
        Dns tc = Dns::reply_to(q, Dns::kRa | Dns::kTc, 0);
        echo_opt(tc, q);
        udp_exchange(out, rng, at, 300, client, resolver, q, tc);
        TcpSession c(out, rng, client, resolver);
        c.open(at + 1000, kRtt);
        Dns q2(static_cast<uint16_t>(rng()), Dns::kRd, {"big", "example", "net"}, 16);
        q2.opt(1232, false);
        Dns r = Dns::reply_to(q2, Dns::kRa, 0);
        static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        for (int k = 0; k < 10; ++k) {
            Bytes txt = {200};
            for (int j = 0; j < 200; ++j)
                txt.push_back(static_cast<uint8_t>(kChars[below(rng, 36)]));
            r.rr(Dns::kAnswer, r.name_at(), 16, 300, txt);
        }
        echo_opt(r, q2);
        const Bytes answer = framed(r);
        c.client_sends(at + 1000 + kRtt + 20, framed(q2));
        c.server_sends(at + 2500, Bytes(answer.begin(), answer.begin() + 1448));
        c.server_sends(at + 2510, Bytes(answer.begin() + 1448, answer.end()));
        c.client_acks(at + 2500 + kRtt / 2);
        c.close(at + 3000, kRtt);
    }
    {
        TcpSession c(out, rng, host4(0xC0000212, 3), resolver);
        const int64_t at = 5000000 + 300000;
        c.open(at, kRtt);
        Dns q(static_cast<uint16_t>(rng()), Dns::kRd, {"host18", "example", "net"}, 1);
        c.client_sends(at + kRtt + 20, framed(q));
        c.server_acks(at + kRtt + 500);
        c.server_sends(at + 30000, framed(resolve(q, 18, true)));
        c.client_acks(at + 30000 + kRtt / 2);
        c.close(at + 31000, kRtt);
    }
    {
        TcpSession c(out, rng, host4(0xC0000213, 3), resolver);
        const int64_t at = 7000000 + 600000;
        c.open(at, kRtt);
        Dns q1(static_cast<uint16_t>(rng()), Dns::kRd, {"host19", "example", "net"}, 1);
        Dns q2(static_cast<uint16_t>(rng()), Dns::kRd, {"host19", "example", "net"}, 28);
        Bytes both = framed(q1);
        append(both, framed(q2));
        c.client_sends(at + kRtt + 20, both);
        c.server_acks(at + kRtt + 500);
        Bytes answers = framed(resolve(q1, 19, true));
        append(answers, framed(resolve(q2, 19, false)));
        c.server_sends(at + 25000, answers);
        c.client_acks(at + 25000 + kRtt / 2);
        c.close(at + 26000, kRtt);
    }
    {
        TcpSession c(out, rng, outsider, resolver);
        const int64_t at = 9000000 + 700000;
        c.open(at, 2 * kRtt);
        Dns q(static_cast<uint16_t>(rng()), Dns::kRd, {"www", "example", "com"}, 1);
        c.client_sends(at + 2 * kRtt + 20, framed(q));
        c.server_sends(at + 3 * kRtt, framed(Dns::reply_to(q, Dns::kRa, 5)));
        c.client_acks(at + 4 * kRtt);
        c.close(at + 5 * kRtt, 2 * kRtt);
    }
}

// labels with each letter's case drawn, as a resolver sends its own queries.
std::vector<std::string> mixed_case(std::vector<std::string> labels, SplitMix64& rng) {
    for (std::string& l : labels) {
        for (char& c : l) {
            if (c >= 'a' && c <= 'z' && below(rng, 2) != 0) c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return labels;
}

// Fifteen seconds of a resolver, 198.51.100.53, and the servers it asks:
//   198.51.100.1..10 (on its own link) and 203.0.113.1..6 ask it about
//     hostK.example.net twice a second each; K < 250 exist, the others are
//     NXDOMAIN;
//   one query in three misses the cache: the resolver asks 192.0.2.200
//     itself, from a port of its own (RD clear, EDNS with DO and a cookie,
//     the name's letters in random case), and answers its client once the
//     answer is in; one miss in eight first goes to 192.0.2.201, which
//     answers REFUSED (a lame server), and then to 192.0.2.200.
// A replay that watches 198.51.100.0/24 sees the clients' queries and the
// resolver's answers to them; neither the resolver's own queries (from it,
// to port 53 outside) nor their answers (from port 53 outside, to it) are
// the watched network's.
void resolver_upstream(std::vector<Packet>& out, SplitMix64& rng) {
    const Host resolver = server4();
    const Host upstream = host4(0xC00002C8, 8);  // 192.0.2.200
    const Host lame = host4(0xC00002C9, 11);     // 192.0.2.201
    const Bytes cookie = cookie_option(rng);
    // The answer a server for example.net gives for hostK, under r's header.
    const auto fill = [](Dns& r, uint32_t k) {
        if (k < 250) {
            answer_host(r, k);
        } else {
            r.rr(Dns::kAuthority, r.name_at(1), 6, 3600, soa_rdata(r.name_at(1)));
        }
    };
    hosts_asking(rng, 16, 2, 0, 15, [&](uint32_t h, int64_t at, uint32_t n) {
        const Host client = h <= 10 ? lan_host(0xC6336400 + h) : host4(0xCB007100 + h - 10, 5);
        const uint32_t k = below(rng, 300);
        const uint8_t rcode = k < 250 ? 0 : 3;
        const std::vector<std::string> name = {host_label(k), "example", "net"};
        Dns q(static_cast<uint16_t>(rng()), Dns::kRd, name, kTypes[n % 12]);
        if (n % 2 == 0) q.opt(1232, false);
        int64_t ready = at + 100 + below(rng, 300);
        if (below(rng, 3) == 0) {
            int64_t ask = at + 80 + below(rng, 100);
            const auto ask_upstream = [&](const Host& server, uint8_t rc, int64_t took) {
                // One draw a statement: the order of a call's arguments is
                // the compiler's, and the bytes must not depend on it.
                const auto id = static_cast<uint16_t>(rng());
                Dns uq(id, 0, mixed_case(name, rng), q.qtype());
                uq.opt(1232, true, cookie);
                Dns ur = Dns::reply_to(uq, rc == 5 ? 0 : Dns::kAa, rc);
                if (rc != 5) fill(ur, k);
                ur.opt(1232, true);
                udp_exchange(out, rng, ask, took, resolver, server, uq, ur);
                ask += took + 50;
            };
            if (below(rng, 8) == 0) ask_upstream(lame, 5, 6000 + below(rng, 14000));
            ask_upstream(upstream, rcode, 8000 + below(rng, 32000));
            ready = ask + 10;
        }
        Dns r = Dns::reply_to(q, Dns::kRa, rcode);
        fill(r, k);
        echo_opt(r, q);
        udp_exchange(out, rng, at, ready - at, client, resolver, q, r);
    });
}

void answer_captures(const std::string& dir) {
    SplitMix64 rng(0x5eed0a45);
    const struct {
        const char* file;
        void (*make)(std::vector<Packet>&, SplitMix64&);
    } captures[] = {{"nxdomain-flood.pcap", nxdomain_flood},
                    {"reflection.pcap", reflection},
                    {"servfail-storm.pcap", servfail_storm},
                    {"resolver-upstream.pcap", resolver_upstream}};
    for (const auto& c : captures) {
        std::vector<Packet> p;
        c.make(p, rng);
        write_all(dir + "/" + c.file, p);
    }
}

// The answer benchmark's captures, 100,000 messages a second between 2,000
// clients (198.51.0.0 .. 198.51.7.207) and the server 198.51.100.53:
//   bench-queries-only.pcap     n queries for hostK.example.net, A or
//                               AAAA, with EDNS and a cookie;
//   bench-answers-only.pcap     the n answers to them alone: 80 % NOERROR
//                               with the address, 15 % NXDOMAIN with the
//                               zone's SOA, 4 % SERVFAIL, 1 % REFUSED;
//   bench-queries-answers.pcap  each query followed 5 us later by its
//                               answer: 2n frames.
// The frames are of a size: a query's is 100 or 101 bytes, an answer's 88
// to 140, 112 on average.
void answer_bench_captures(const std::string& dir, long n) {
    constexpr int qps = 100000;
    SplitMix64 rng(0x5eed0a46);
    const Host server = server4();
    Writer queries(dir + "/bench-queries-only.pcap");
    Writer answers(dir + "/bench-answers-only.pcap");
    Writer both(dir + "/bench-queries-answers.pcap");
    for (long i = 0; i < n; ++i) {
        const int64_t us = (i / qps) * 1000000 + (i % qps) * 10;
        const Host client = host4(0xC6330000u + below(rng, 2000), 6);
        const uint16_t port = ephemeral_port(rng);
        const auto k = static_cast<uint32_t>(i % 50);
        Dns q(static_cast<uint16_t>(i), Dns::kRd, {host_label(k), "example", "net"},
              i % 4 == 0 ? 28 : 1);
        q.opt(1232, false, cookie_option(rng));
        const uint32_t draw = below(rng, 100);
        const uint8_t rcode = draw < 80 ? 0 : draw < 95 ? 3 : draw < 99 ? 2 : 5;
        Dns r = Dns::reply_to(q, Dns::kRa, rcode);
        if (rcode == 0) {
            answer_host(r, k);
        } else if (rcode == 3) {
            r.rr(Dns::kAuthority, r.name_at(1), 6, 3600, soa_rdata(r.name_at(1)));
        }
        echo_opt(r, q);
        const Packet query{us, udp_frame(rng, client, port, server, 53, q.bytes()), 0};
        Packet answer{us, udp_frame(rng, server, 53, client, port, r.bytes()), 0};
        queries.add(query);
        answers.add(answer);
        both.add(query);
        answer.usec += 5;
        both.add(answer);
    }
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
        write_all(dir + "/tcp.pcapng", p, DLT_EN10MB, true);
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
    SplitMix64 rng6(0x5eed0006);
    {
        std::vector<Packet> p;
        ipv6_mix(p, rng6);
        write_all(dir + "/ipv6.pcap", p);
    }
    {
        std::vector<Packet> p;
        each_kind(p, 0);
        each_kind(p, 1);
        write_all(dir + "/ipv6-each.pcap", p);
    }
    {
        std::vector<Packet> p;
        prefix_flood(p, rng6);
        write_all(dir + "/prefix-flood.pcap", p);
    }
    const struct {
        const char* file;
        int link_len;
        int dlt;
    } links[] = {{"cooked-v1.pcap", 16, DLT_LINUX_SLL},
                 {"cooked-v2.pcap", 20, DLT_LINUX_SLL2},
                 {"raw-ip.pcap", 0, DLT_RAW},
                 {"bsd-null.pcap", 4, DLT_NULL}};
    for (const auto& l : links) {
        std::vector<Packet> p;
        link_mix(p, l.link_len);
        write_all(dir + "/" + l.file, p, l.dlt);
    }
    {
        SplitMix64 tcp_rng(0x5eed0053);
        std::vector<Packet> p;
        tcp_streams(p, tcp_rng);
        write_all(dir + "/tcp-stream.pcap", p);
    }
    zone_captures(dir);
    answer_captures(dir);
}

void bench_captures(const std::string& dir, long n) {
    std::mt19937 rng(1053);
    const int qps = 100000;
    {
        // A skewed mix over 2,000 sources: source k has weight 1/(k+1),
        // drawn through cumulative integer weights (about 2^27 in all).
        std::vector<uint32_t> upto(2000);
        uint32_t total = 0;
        for (uint32_t k = 0; k < upto.size(); ++k) upto[k] = total += (1u << 24) / (k + 1);
        SplitMix64 mix_rng(1053);
        Writer out(dir + "/bench-mix.pcap");
        for (long i = 0; i < n; ++i) {
            const int64_t us = (i / qps) * 1000000 + (i % qps) * 10;
            const auto k =
                std::upper_bound(upto.begin(), upto.end(), below(mix_rng, total)) - upto.begin();
            out.add(packet(us, query_from(0xC6330000u + static_cast<uint32_t>(k), kTypes[i % 12],
                                          17, static_cast<uint32_t>(i))));
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

// The TCP benchmark's captures, 100,000 queries a second:
//   bench-tcp.pcap   n queries from 1,000 clients, each on one connection
//                    (SYN first, FIN last), four queries to a segment, the
//                    segments of the connections interleaved at random;
//   bench-udp.pcap   the same queries, in the same order, one a datagram;
//   bench-synflood.pcap  syns SYNs, each from a random address in 10.0.0.0/8
//                    and a random port: that many connections begun.
void tcp_bench_captures(const std::string& dir, long n, long syns) {
    constexpr uint32_t kClients = 1000;
    constexpr long kPerSegment = 4;
    constexpr int qps = 100000;
    SplitMix64 rng(0x5eed7c9b);
    struct Client {
        uint16_t port;
        uint32_t isn;
        uint32_t next;  // bytes sent so far
    };
    std::vector<Client> clients(kClients);
    for (auto& c : clients) {
        c.port = static_cast<uint16_t>(32768 + below(rng, 28232));
        c.isn = rng();
        c.next = 0;
    }
    const auto address = [](uint32_t k) { return 0xC6330000u + k; };  // 198.51.x.y
    Writer tcp(dir + "/bench-tcp.pcap");
    Writer udp(dir + "/bench-udp.pcap");
    const auto at = [&](long i) { return (i / qps) * 1000000 + (i % qps) * 10; };
    for (uint32_t k = 0; k < kClients; ++k) {
        tcp.add(
            {at(0), tcp_frame(address(k), clients[k].port, true, kSyn, clients[k].isn, 0, {}), 0});
    }
    for (long i = 0; i < n; i += kPerSegment) {
        const uint32_t k = below(rng, kClients);
        Client& c = clients[k];
        Bytes data;
        for (long j = i; j < std::min(n, i + kPerSegment); ++j) {
            const uint16_t qtype = kTypes[j % 12];
            const Bytes m =
                framed(dns_message(static_cast<uint16_t>(j),
                                   {"host" + std::to_string(j % 50), "example", "net"}, qtype));
            data.insert(data.end(), m.begin(), m.end());
            FrameSpec u = query_from(address(k), qtype, 17, static_cast<uint32_t>(j));
            u.src_port = c.port;
            udp.add(packet(at(j), u));
        }
        tcp.add({at(i),
                 tcp_frame(address(k), c.port, true, kPsh | kAck, c.isn + 1 + c.next, 1, data), 0});
        c.next += static_cast<uint32_t>(data.size());
    }
    for (uint32_t k = 0; k < kClients; ++k) {
        const Client& c = clients[k];
        tcp.add({at(n), tcp_frame(address(k), c.port, true, kFin | kAck, c.isn + 1 + c.next, 1, {}),
                 0});
    }
    Writer flood(dir + "/bench-synflood.pcap");
    for (long i = 0; i < syns; ++i) {
        const uint32_t src = 0x0A000000u | (rng() & 0x00ffffffu);
        flood.add({at(i),
                   tcp_frame(src, static_cast<uint16_t>(1024 + below(rng, 64512)), true, kSyn,
                             rng(), 0, {}),
                   0});
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
    if (argc == 5 && strcmp(argv[1], "--tcp-bench") == 0) {
        tcp_bench_captures(argv[2], atol(argv[3]), atol(argv[4]));
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "--zones") == 0) {
        zone_bench_captures(argv[2], atol(argv[3]));
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "--answers") == 0) {
        answer_bench_captures(argv[2], atol(argv[3]));
        return 0;
    }
    fprintf(stderr,
            "usage: make_captures DIR | make_captures --bench|--zones|--answers DIR N | make_captures "
            "--tcp-bench DIR N SYNS\n");
    return 2;
}
