#include "frames.h"

#include <cstring>

namespace qv::test {
namespace {

void put16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
    v[at] = static_cast<uint8_t>(x >> 8);
    v[at + 1] = static_cast<uint8_t>(x);
}

}  // namespace

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
    size_t t = static_cast<size_t>(s.link_len) + 4u * s.ihl;
    if (s.protocol == 6) return t + 4u * s.tcp_doff + 2 + 12;
    return t + 8 + 12;
}

std::vector<uint8_t> build_frame(const FrameSpec& s) {
    // DNS message: header, question.
    std::vector<uint8_t> dns(12, 0);
    put16(dns, 0, s.dns_id);
    dns[2] = s.dns_flags_hi;
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
        l4[12] = static_cast<uint8_t>(s.tcp_doff << 4);
        l4[13] = s.tcp_flags;
        put16(l4, 14, 65535);
        l4.push_back(static_cast<uint8_t>(dns.size() >> 8));
        l4.push_back(static_cast<uint8_t>(dns.size()));
    } else {
        l4.assign(8, 0);
        put16(l4, 0, s.src_port);
        put16(l4, 2, s.dst_port);
        put16(l4, 4, static_cast<uint16_t>(8 + dns.size()));
    }
    l4.insert(l4.end(), dns.begin(), dns.end());

    // IPv4.
    std::vector<uint8_t> ip(4u * s.ihl, 0);
    ip[0] = static_cast<uint8_t>(s.ip_version << 4 | (s.ihl & 0x0f));
    put16(ip, 2, static_cast<uint16_t>(static_cast<int>(ip.size() + l4.size()) + s.total_len_delta));
    put16(ip, 6, s.frag);
    ip[8] = 64;
    ip[9] = s.protocol;
    memcpy(&ip[12], s.src, 4);
    memcpy(&ip[16], s.dst, 4);
    ip.insert(ip.end(), l4.begin(), l4.end());

    // Link header.
    std::vector<uint8_t> frame(static_cast<size_t>(s.link_len), 0);
    if (s.link_len == 14) {
        // Destination and source MAC left zero, as on loopback; EtherType IPv4.
        frame[12] = 0x08;
        frame[13] = 0x00;
    } else if (s.link_len == 4) {
        uint32_t family = 2;  // AF_INET, in the capturing host's byte order
        memcpy(frame.data(), &family, 4);
    } else if (s.link_len == 16) {
        frame[14] = 0x08;  // protocol type IPv4
    } else if (s.link_len == 20) {
        frame[0] = 0x08;  // protocol type IPv4
    }
    frame.insert(frame.end(), ip.begin(), ip.end());
    if (frame.size() < s.pad_to) frame.resize(s.pad_to, 0);
    return frame;
}

}  // namespace qv::test
