#include "capture/decoder.h"

#include <pcap/dlt.h>

#include <cstring>

namespace qv {
namespace {

constexpr uint8_t kTcp = 6;
constexpr uint8_t kUdp = 17;

uint16_t read16(std::span<const uint8_t> f, size_t at) {
    return static_cast<uint16_t>(f[at] << 8 | f[at + 1]);
}

}  // namespace

bool valid_dns_char(uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '_';
}

int link_header_length(int dlt) {
    switch (dlt) {
        case DLT_EN10MB:
            return 14;
        case DLT_RAW:
        case DLT_IPV4:
#if DLT_RAW != 12
        case 12:  // raw IP where DLT_RAW has the other historic value
#endif
            return 0;
        case DLT_NULL:
        case DLT_LOOP:
            return 4;
        case DLT_LINUX_SLL:
            return 16;
        case DLT_LINUX_SLL2:
            return 20;
        default:
            return -1;
    }
}

std::optional<Query> decode_frame(std::span<const uint8_t> f, uint32_t wire_len, int link_len,
                                  NameBuffer& name) {
    // All offsets are size_t from the start of the frame; every test is written
    // as "offset < caplen" so that no sum can overflow or read past the capture.
    const size_t cap = f.size();
    const size_t ip = static_cast<size_t>(link_len);

    // The link header and a minimal IPv4 header, on the wire and captured.
    if (wire_len < ip + 20 || cap < ip + 20) return std::nullopt;

    const uint8_t ver_ihl = f[ip];
    const unsigned ihl = ver_ihl & 0x0fu;
    if ((ver_ihl >> 4) != 4 || ihl < 5) return std::nullopt;
    // The datagram may be followed by link-layer fill, never cut short.
    if (read16(f, ip + 2) > wire_len - ip) return std::nullopt;
    if ((read16(f, ip + 6) & 0x1fffu) != 0) return std::nullopt;

    Query q{};
    memcpy(&q.source.raw, &f[ip + 12], 4);
    q.protocol = f[ip + 9];

    // The transport header follows the IPv4 header, options included.
    const size_t t = ip + 4u * ihl;
    size_t d;  // the DNS header
    if (q.protocol == kTcp) {
        if (cap <= t + 14) return std::nullopt;
        const unsigned doff = f[t + 12] >> 4;
        if ((f[t + 13] & 0x08u) == 0) return std::nullopt;  // PSH
        // Below 5 words the DNS header would be read from inside the TCP header.
        if (doff < 5) return std::nullopt;
        d = t + 4u * doff + 2;  // after the 2-byte length prefix of DNS over TCP
    } else if (q.protocol == kUdp) {
        d = t + 8;
    } else {
        return std::nullopt;
    }
    const size_t qn = d + 12;  // the question name
    // The first byte of the question name must be captured.
    if (cap <= qn) return std::nullopt;

    if (f[d + 2] & 0x80u) return std::nullopt;    // QR: a response
    if (read16(f, d + 4) == 0) return std::nullopt;  // QDCOUNT

    // The name, label by label: letters, digits, '-' and '_' only. At most
    // kNameMax characters are stored; every character is still tested.
    const size_t e = cap - 1;  // the last captured byte
    size_t stored = 0;
    size_t p = qn;
    auto store = [&](char c) {
        if (stored <= kNameMax - 1) name.text[stored++] = c;
    };
    if (f[qn] != 0 && qn < e) {
        for (;;) {
            const size_t n = f[p];
            size_t k = p + 1;
            for (size_t i = 0; i < n; ++i, ++k) {
                if (!valid_dns_char(f[k])) return std::nullopt;
                store(static_cast<char>(f[k]));
                if (k == e) {  // the capture ends inside the label
                    ++k;
                    break;
                }
            }
            p = k;
            store('.');
            if (p >= e || f[p] == 0) break;
        }
    }
    name.text[stored] = '\0';
    q.name = std::string_view(name.text, stored);

    // The name's final byte, QTYPE and one byte beyond must be captured.
    if (cap < 4 || p > cap - 4) return std::nullopt;
    q.qtype = f[p + 2];
    return q;
}

}  // namespace qv
