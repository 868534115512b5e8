#include "frames.h"

#include <algorithm>
#include <cstring>

#include "capture/tcp_stream.h"

namespace qv::test {
namespace {

void put16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
    v[at] = static_cast<uint8_t>(x >> 8);
    v[at + 1] = static_cast<uint8_t>(x);
}

void push16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}

// One extension header with the given next header, minimal unless its
// length field says more; the bytes after the first two are zero.
std::vector<uint8_t> ext_header(const ExtHeader& h, uint8_t next) {
    size_t size;
    if (h.kind == 44) {
        size = 8;
    } else if (h.kind == 51) {
        size = 4u * (h.len + 2u);
    } else {
        size = 8u * (h.len + 1u);
    }
    std::vector<uint8_t> out(size, 0);
    out[0] = next;
    out[1] = h.kind == 44 ? 0 : h.len;
    if (h.kind == 44) put16(out, 2, h.frag);
    return out;
}

size_t link_header_size(const FrameSpec& s) {
    return static_cast<size_t>(s.link_len) + 4 * s.vlan_tpids.size();
}

size_t ip_header_size(const FrameSpec& s) {
    if (s.ip_version != 6) return 4u * s.ihl;
    size_t n = 40;
    for (const auto& h : s.ext_headers) n += ext_header(h, 0).size();
    return n;
}

}  // namespace

LinkType link_of(int link_len) {
    switch (link_len) {
        case 0:
            return LinkType::raw;
        case 4:
            return LinkType::null;
        case 16:
            return LinkType::linux_sll;
        case 20:
            return LinkType::linux_sll2;
        default:
            return LinkType::ethernet;
    }
}

std::vector<uint8_t> wire_name(const std::vector<std::string>& labels) {
    std::vector<uint8_t> out;
    for (const auto& l : labels) {
        out.push_back(static_cast<uint8_t>(l.size()));
        out.insert(out.end(), l.begin(), l.end());
    }
    out.push_back(0);
    return out;
}

size_t name_offset(const FrameSpec& s) {
    size_t t = link_header_size(s) + ip_header_size(s);
    if (s.protocol == 6) return t + 4u * s.tcp_doff + 2 + 12;
    return t + 8 + 12;
}

std::vector<uint8_t> build_frame(const FrameSpec& s) {
    // DNS message: header, question.
    std::vector<uint8_t> dns(12, 0);
    put16(dns, 0, s.dns_id);
    dns[2] = s.dns_flags_hi;
    dns[3] = s.dns_flags_lo;
    put16(dns, 4, s.qdcount);
    std::vector<uint8_t> name = s.raw_name.empty() ? wire_name(s.labels) : s.raw_name;
    dns.insert(dns.end(), name.begin(), name.end());
    size_t q = dns.size();
    dns.resize(q + 4);
    put16(dns, q, s.qtype);
    put16(dns, q + 2, s.qclass);

    // Transport.
    std::vector<uint8_t> l4;
    if (s.protocol == 6) {
        l4.assign(4u * s.tcp_doff, 0);
        put16(l4, 0, s.src_port);
        put16(l4, 2, s.dst_port);
        put16(l4, 4, static_cast<uint16_t>(s.tcp_seq >> 16));
        put16(l4, 6, static_cast<uint16_t>(s.tcp_seq));
        put16(l4, 8, static_cast<uint16_t>(s.tcp_ack >> 16));
        put16(l4, 10, static_cast<uint16_t>(s.tcp_ack));
        l4[12] = static_cast<uint8_t>(s.tcp_doff << 4);
        l4[13] = s.tcp_flags;
        put16(l4, 14, 65535);
        if (!s.no_message) {
            l4.push_back(static_cast<uint8_t>(dns.size() >> 8));
            l4.push_back(static_cast<uint8_t>(dns.size()));
        }
    } else {
        l4.assign(8, 0);
        put16(l4, 0, s.src_port);
        put16(l4, 2, s.dst_port);
        put16(l4, 4, static_cast<uint16_t>(8 + (s.no_message ? 0 : dns.size())));
    }
    if (!s.no_message) l4.insert(l4.end(), dns.begin(), dns.end());

    std::vector<uint8_t> ip;
    if (s.ip_version == 6) {
        // Extension headers, each naming the next; the last names the transport.
        std::vector<uint8_t> ext;
        for (size_t i = 0; i < s.ext_headers.size(); ++i) {
            const uint8_t next =
                i + 1 < s.ext_headers.size() ? s.ext_headers[i + 1].kind : s.protocol;
            auto h = ext_header(s.ext_headers[i], next);
            ext.insert(ext.end(), h.begin(), h.end());
        }
        ip.assign(40, 0);
        ip[0] = 0x60;
        put16(ip, 4, static_cast<uint16_t>(static_cast<int>(ext.size() + l4.size()) +
                                           s.total_len_delta));
        ip[6] = s.ext_headers.empty() ? s.protocol : s.ext_headers[0].kind;
        ip[7] = 64;
        memcpy(&ip[8], s.src6, 16);
        memcpy(&ip[24], s.dst6, 16);
        ip.insert(ip.end(), ext.begin(), ext.end());
    } else {
        // Never shorter than the fixed header, whatever length field it claims.
        ip.assign(std::max<size_t>(20, 4u * s.ihl), 0);
        ip[0] = static_cast<uint8_t>(s.ip_version << 4 | (s.ihl & 0x0f));
        put16(ip, 2,
              static_cast<uint16_t>(static_cast<int>(ip.size() + l4.size()) + s.total_len_delta));
        put16(ip, 6, s.frag);
        ip[8] = 64;
        ip[9] = s.protocol;
        memcpy(&ip[12], s.src, 4);
        memcpy(&ip[16], s.dst, 4);
    }
    ip.insert(ip.end(), l4.begin(), l4.end());

    // Link header: the EtherType (after any VLAN tags) names the IP version.
    const uint16_t ether_type = s.ip_version == 6 ? 0x86DD : 0x0800;
    std::vector<uint8_t> tags;
    for (size_t i = 0; i < s.vlan_tpids.size(); ++i) {
        push16(tags, static_cast<uint16_t>(100 + i));  // the VLAN id
        push16(tags, i + 1 < s.vlan_tpids.size() ? s.vlan_tpids[i + 1] : ether_type);
    }
    const uint16_t first_type = s.vlan_tpids.empty() ? ether_type : s.vlan_tpids[0];
    std::vector<uint8_t> frame(static_cast<size_t>(s.link_len), 0);
    if (s.link_len == 14) {
        // Destination and source MAC left zero, as on loopback.
        put16(frame, 12, first_type);
    } else if (s.link_len == 4) {
        uint32_t family = s.null_family != 0 ? s.null_family : (s.ip_version == 6 ? 10 : 2);
        if (s.null_big_endian) family = __builtin_bswap32(family);
        memcpy(frame.data(), &family, 4);  // in the capturing host's byte order
    } else if (s.link_len == 16) {
        put16(frame, 14, first_type);
    } else if (s.link_len == 20) {
        put16(frame, 0, first_type);
    }
    frame.insert(frame.end(), tags.begin(), tags.end());
    frame.insert(frame.end(), ip.begin(), ip.end());
    if (frame.size() < s.pad_to) frame.resize(s.pad_to, 0);
    return frame;
}

std::optional<Message> decode_one(std::span<const uint8_t> frame, uint32_t wire_len, LinkType link,
                                NameBuffer& name) {
    const auto p = decode_packet(frame, wire_len, link);
    if (!p) return std::nullopt;
    if (p->protocol == 17) {
        auto q = decode_message(p->payload, name);
        if (!q) return std::nullopt;
        q->source = p->source;
        q->family = p->family;
        q->protocol = p->protocol;
        return q;
    }
    if (p->dst_port != 53) return std::nullopt;
    struct First final : TcpStreams::Sink {
        std::optional<Message> got;
        NameBuffer* name;
        void message(const Message& q) override {
            if (got) return;
            got = q;
            std::memcpy(name->text, q.name.data(), q.name.size());
            name->text[q.name.size()] = '\0';
            got->name = std::string_view(name->text, q.name.size());
        }
    } sink;
    sink.name = &name;
    TcpStreams streams(1, 4);
    streams.segment(*p, 0, sink);
    return sink.got;
}

}  // namespace qv::test
