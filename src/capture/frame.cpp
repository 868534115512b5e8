#include "capture/frame.h"

#include <pcap/dlt.h>

#include <algorithm>

#include "capture/wire.h"

namespace qv {
namespace {

constexpr uint8_t kTcp = 6;
constexpr uint8_t kUdp = 17;
constexpr uint16_t kEtherIPv4 = 0x0800;
constexpr uint16_t kEtherIPv6 = 0x86DD;
constexpr uint16_t kDnsPort = 53;
constexpr int kMaxVlanTags = 2;
constexpr int kMaxExtensionHeaders = 8;

bool is_vlan_tpid(uint16_t type) { return type == 0x8100 || type == 0x88A8 || type == 0x9100; }

// Past up to two VLAN tags to the EtherType of the IP header; 0 when a
// third tag follows.
uint16_t past_vlan_tags(WireReader& r, uint16_t type) {
    for (int tags = 0; is_vlan_tpid(type); ++tags) {
        if (tags == kMaxVlanTags) return 0;
        r.skip(2);  // priority, DEI, VLAN id
        type = r.u16();
    }
    return type;
}

// The EtherType of what follows the link header (0 when the frame is not
// IPv4 or IPv6 as far as the link layer tells; raw IP gives the version).
uint16_t walk_link(WireReader& r, LinkType link) {
    switch (link) {
        case LinkType::ethernet:
            r.skip(12);  // destination and source MAC
            return past_vlan_tags(r, r.u16());
        case LinkType::raw: {
            if (r.left() == 0) return 0;
            WireReader peek = r;
            const unsigned version = peek.u8() >> 4;
            return version == 4 ? kEtherIPv4 : version == 6 ? kEtherIPv6 : 0;
        }
        case LinkType::null: {
            const int version = null_family_version(r.u32());
            return version == 4 ? kEtherIPv4 : version == 6 ? kEtherIPv6 : 0;
        }
        case LinkType::linux_sll:
            r.skip(14);
            return past_vlan_tags(r, r.u16());
        case LinkType::linux_sll2: {
            const uint16_t type = r.u16();
            r.skip(18);
            return past_vlan_tags(r, type);
        }
    }
    return 0;
}

struct IpResult {
    SourceAddr source;
    SourceAddr dest;
    uint8_t family;
    uint8_t protocol;
    size_t end;  // where the datagram ends on the wire, from the frame's start
};

// The IPv4 header: version 4, header length honoured, the datagram within
// the wire bytes (fill after it allowed), fragment offset 0.
std::optional<IpResult> walk_ipv4(WireReader& r, uint32_t wire_len, Verdict& why) {
    why = Verdict::malformed;
    const size_t ip = r.pos();
    if (wire_len < ip + 20) return std::nullopt;
    const uint8_t ver_ihl = r.u8();
    r.skip(1);
    const uint16_t total_len = r.u16();
    r.skip(2);
    const uint16_t frag = r.u16();
    r.skip(1);
    const uint8_t protocol = r.u8();
    r.skip(2);
    const uint8_t* src = r.take(4);
    const uint8_t* dst = r.take(4);
    if (!r.ok()) return std::nullopt;
    const unsigned ihl = ver_ihl & 0x0fu;
    if ((ver_ihl >> 4) != 4 || ihl < 5) return std::nullopt;
    if (total_len > wire_len - ip) return std::nullopt;
    if ((frag & 0x1fffu) != 0) {
        why = Verdict::other;  // a later fragment: no UDP or TCP header
        return std::nullopt;
    }
    r.skip(4u * ihl - 20);  // options
    return IpResult{SourceAddr::from_v4(src), SourceAddr::from_v4(dst), 4, protocol,
                    ip + total_len};
}

// The IPv6 header and its extension headers, up to UDP or TCP.
std::optional<IpResult> walk_ipv6(WireReader& r, uint32_t wire_len, Verdict& why) {
    why = Verdict::malformed;
    const size_t ip = r.pos();
    const uint32_t first = r.u32();
    const uint16_t payload_len = r.u16();
    uint8_t next = r.u8();
    r.skip(1);  // hop limit
    const uint8_t* src = r.take(16);
    const uint8_t* dst = r.take(16);
    if (!r.ok() || (first >> 28) != 6) return std::nullopt;
    // A jumbogram (payload length 0) is not DNS; a datagram cut short on
    // the wire is dropped, link-layer fill after it is not.
    if (payload_len == 0 || wire_len < ip + 40 || payload_len > wire_len - ip - 40) {
        return std::nullopt;
    }
    for (int headers = 0; next != kTcp && next != kUdp; ++headers) {
        if (headers == kMaxExtensionHeaders) return std::nullopt;
        const uint8_t following = r.u8();
        const uint8_t len = r.u8();
        switch (next) {
            case 0:   // Hop-by-Hop Options
            case 43:  // Routing
            case 60:  // Destination Options
                r.skip(6 + 8u * len);
                break;
            case 51:  // Authentication: its length in 4-byte words, less 2
                r.skip(4u * (len + 2u) - 2);
                break;
            case 44: {  // Fragment: only the first fragment holds the UDP or TCP header
                const uint16_t offset_flags = r.u16();
                r.skip(4);
                if ((offset_flags >> 3) != 0) {
                    why = Verdict::other;
                    return std::nullopt;
                }
                break;
            }
            default:  // ESP, No Next Header, anything else
                why = Verdict::other;
                return std::nullopt;
        }
        if (!r.ok()) return std::nullopt;
        next = following;
    }
    return IpResult{SourceAddr::from_v6(src), SourceAddr::from_v6(dst), 6, next,
                    ip + 40 + payload_len};
}

}  // namespace

int null_family_version(uint32_t family) {
    // The family is in the byte order of the host that captured; a family
    // fits in 16 bits, so the order with the high half zero is it.
    if ((family & 0xffffu) == 0) family = __builtin_bswap32(family);
    if (family == 2) return 4;
    if (family == 10 || family == 24 || family == 28 || family == 30) return 6;
    return 0;
}

std::optional<LinkType> link_type_of(int dlt) {
    switch (dlt) {
        case DLT_EN10MB:
            return LinkType::ethernet;
        case DLT_RAW:
        case DLT_IPV4:
        case DLT_IPV6:
#if DLT_RAW != 12
        case 12:  // raw IP where DLT_RAW has the other historic value
#endif
#if DLT_RAW != 14 && !defined(DLT_PPP_BSDOS)
        case 14:  // and where it has the other
#endif
            return LinkType::raw;
        case DLT_NULL:
        case DLT_LOOP:
            return LinkType::null;
        case DLT_LINUX_SLL:
            return LinkType::linux_sll;
        case DLT_LINUX_SLL2:
            return LinkType::linux_sll2;
        default:
            return std::nullopt;
    }
}

std::optional<Packet> decode_packet(std::span<const uint8_t> f, uint32_t wire_len, LinkType link,
                                    Verdict* why_out) {
    Verdict scratch;
    Verdict& why = why_out != nullptr ? *why_out : scratch;
    why = Verdict::malformed;
    WireReader r(f);
    const uint16_t ether_type = walk_link(r, link);
    if (!r.ok()) return std::nullopt;

    std::optional<IpResult> ip;
    if (ether_type == kEtherIPv4) {
        ip = walk_ipv4(r, wire_len, why);
    } else if (ether_type == kEtherIPv6) {
        ip = walk_ipv6(r, wire_len, why);
    } else {
        why = Verdict::other;
    }
    if (!ip) return std::nullopt;
    if (ip->protocol != kTcp && ip->protocol != kUdp) {
        why = Verdict::other;
        return std::nullopt;
    }
    why = Verdict::malformed;

    Packet p{};
    p.source = ip->source;
    p.dest = ip->dest;
    p.family = ip->family;
    p.protocol = ip->protocol;
    // The capture filter lets IPv6 frames with extension headers through
    // whatever their ports, so the ports are checked here, for every frame.
    p.src_port = r.u16();
    p.dst_port = r.u16();
    if (p.protocol == kTcp) {
        p.seq = r.u32();
        p.ack = r.u32();
        const unsigned doff = r.u8() >> 4;
        p.tcp_flags = r.u8();
        // Below 5 words the data would start inside the TCP header.
        if (!r.ok() || doff < 5) return std::nullopt;
        r.skip(4u * doff - 14);
        if (!r.ok() || r.pos() > ip->end) return std::nullopt;
        const size_t data = r.pos();
        p.data_len = static_cast<uint32_t>(ip->end - data);
        p.payload = f.subspan(data, std::min(ip->end, f.size()) - data);
    } else {
        const uint16_t udp_len = r.u16();
        r.skip(2);  // checksum
        if (!r.ok()) return std::nullopt;
        p.payload = f.subspan(r.pos());
        // The datagram's size as its header gives it, whatever was captured.
        p.data_len = udp_len >= 8 ? udp_len - 8u : 0u;
    }
    if (p.src_port != kDnsPort && p.dst_port != kDnsPort) {
        why = Verdict::other;
        return std::nullopt;
    }
    why = Verdict::query;
    return p;
}

}  // namespace qv
