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
    fprintf(stderr,
            "usage: make_captures DIR | make_captures --bench|--zones DIR N | make_captures "
            "--tcp-bench DIR N SYNS\n");
    return 2;
}
