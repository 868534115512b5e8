#include "filter_frames.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace qv::test {
namespace {

template <size_t N>
bool in_prefix(const uint8_t* addr, const std::array<uint8_t, N>& prefix, int len) {
    for (int bit = 0; bit < len; ++bit) {
        const int byte = bit / 8;
        const int mask = 0x80 >> (bit % 8);
        if ((addr[byte] & mask) != (prefix[static_cast<size_t>(byte)] & mask)) return false;
    }
    return true;
}

bool is_tpid(uint16_t t) {
    return t == 0x8100 || t == 0x88a8 || t == 0x9100;
}

bool walked(uint8_t next_header) {
    return next_header == 0 || next_header == 43 || next_header == 44 || next_header == 51 ||
           next_header == 60;
}

bool port53(const FrameSpec& f) {
    return (f.protocol == 17 || f.protocol == 6) && (f.src_port == 53 || f.dst_port == 53);
}

bool dns_frame(const FrameSpec& f) {
    if (f.ip_version == 6) return f.ext_headers.empty() ? port53(f) : walked(f.ext_headers[0].kind);
    return (f.frag & 0x1fff) == 0 && port53(f);
}

// Whether an address of the frame's family (dst or src, dst6 or src6) is watched.
bool watched_address(const Watched& w, const FrameSpec& f, const uint8_t* v4, const uint8_t* v6) {
    if (w.everything) return true;
    if (f.ip_version == 6) {
        return std::any_of(w.v6.begin(), w.v6.end(),
                           [&](const Net6& n) { return in_prefix(v6, n.addr, n.len); });
    }
    return std::any_of(w.v4.begin(), w.v4.end(),
                       [&](const Net4& n) { return in_prefix(v4, n.addr, n.len); });
}

const std::vector<std::vector<uint16_t>>& tag_stacks() {
    static const std::vector<std::vector<uint16_t>> stacks = {
        {},
        {0x8100},
        {0x88a8},
        {0x9100},
        {0x8100, 0x8100},
        {0x88a8, 0x8100},
        {0x9100, 0x8100},
        {0x88a8, 0x88a8},
        {0x9100, 0x9100},
        {0x88a8, 0x8100, 0x8100},  // one more than the filter reads
    };
    return stacks;
}

// What follows the fixed IPv6 header: nothing, one header the decoder walks,
// or ESP, which it does not.
const std::vector<std::vector<ExtHeader>>& ipv6_layouts() {
    static const std::vector<std::vector<ExtHeader>> layouts = {
        {},
        {{.kind = 0}},
        {{.kind = 43}},
        {{.kind = 44}},
        {{.kind = 51}},
        {{.kind = 60}},
        {{.kind = 50}},
        {{.kind = 58}},
    };
    return layouts;
}

struct Ports {
    uint16_t src, dst;
};
constexpr Ports kPorts[] = {{40000, 53}, {53, 5353}, {40000, 80}};

std::string tags_name(const std::vector<uint16_t>& tags) {
    if (tags.empty()) return "untagged";
    std::string out = tags.size() == 1 ? "tag" : "tags";
    char hex[8];
    for (size_t i = 0; i < tags.size(); ++i) {
        snprintf(hex, sizeof hex, "%04x", tags[i]);
        // Appended piece by piece: g++ 12 -O2 warns falsely (-Wrestrict) on
        // a C string added to a temporary std::string.
        out += i == 0 ? ' ' : ',';
        out += hex;
    }
    return out;
}

template <class Parsed>
void parse(int family, const std::string& text, Parsed& out) {
    if (inet_pton(family, text.c_str(), out.data()) != 1)
        throw std::invalid_argument("not an address: " + text);
}

}  // namespace

Net4 net4(const std::string& addr, int len) {
    Net4 n;
    parse(AF_INET, addr, n.addr);
    n.len = len;
    return n;
}

Net6 net6(const std::string& addr, int len) {
    Net6 n;
    parse(AF_INET6, addr, n.addr);
    n.len = len;
    return n;
}

bool rule_accepts(const Watched& watched, const FrameSpec& f) {
    // libpcap reads VLAN tags only on Ethernet; elsewhere a tag hides the IP header.
    if (!f.vlan_tpids.empty() && f.link_len != 14) return false;
    if (f.vlan_tpids.size() > 2 || !std::all_of(f.vlan_tpids.begin(), f.vlan_tpids.end(), is_tpid))
        return false;
    return dns_frame(f) && (watched_address(watched, f, f.dst, f.dst6) ||
                            (watched.answers && watched_address(watched, f, f.src, f.src6)));
}

const std::vector<FileLink>& file_links() {
    static const std::vector<FileLink> links = {
        {.name = "Ethernet", .dlt = DLT_EN10MB, .link_len = 14},
        {.name = "raw IP", .dlt = DLT_RAW, .link_len = 0},
        {.name = "raw IPv4", .dlt = DLT_IPV4, .link_len = 0, .ipv6 = false},
        {.name = "raw IPv6", .dlt = DLT_IPV6, .link_len = 0, .ipv4 = false},
        {.name = "BSD null", .dlt = DLT_NULL, .link_len = 4, .ipv6_families = {10, 24, 28, 30}},
        {.name = "BSD loop",
         .dlt = DLT_LOOP,
         .link_len = 4,
         .null_big_endian = true,
         .ipv6_families = {10, 24, 28, 30}},
        {.name = "Linux cooked v1", .dlt = DLT_LINUX_SLL, .link_len = 16},
        {.name = "Linux cooked v2", .dlt = DLT_LINUX_SLL2, .link_len = 20},
    };
    return links;
}

const Destinations& unit_destinations() {
    static const Destinations d = {
        .src4 = "192.0.2.7",
        .src6 = "2001:db8:1::7",
        .v4 = {"192.0.2.1", "192.0.2.53", "10.1.2.3", "10.1.3.3", "10.2.0.1", "127.0.0.1",
               "198.51.100.53"},
        .v6 = {"2001:db8::53", "2001:db8:1::53", "2001:db8:1:2::53", "::1", "2001:db8:2::53"},
    };
    return d;
}

std::vector<TableFrame> table_frames(const FileLink& link, const Destinations& to,
                                     bool answers) {
    const Net4 src4 = net4(to.src4, 32);
    const Net6 src6 = net6(to.src6, 128);
    // Each destination as the far end: "to X", and with answers also "from X".
    struct Way {
        const char* word;
        bool from;
    };
    std::vector<Way> ways = {{" to ", false}};
    if (answers) ways.push_back({" from ", true});
    std::vector<TableFrame> out;
    const std::vector<std::vector<uint16_t>> untagged = {{}};
    const auto& stacks = link.link_len == 14 ? tag_stacks() : untagged;
    auto add = [&](FrameSpec f, const std::string& what) {
        for (const Ports& p : kPorts) {
            f.src_port = p.src;
            f.dst_port = p.dst;
            out.push_back(
                {what + " udp " + std::to_string(p.src) + ">" + std::to_string(p.dst), f});
        }
    };
    for (const auto& tags : stacks) {
        FrameSpec base;
        base.link_len = link.link_len;
        base.null_big_endian = link.null_big_endian;
        base.vlan_tpids = tags;
        memcpy(base.src, src4.addr.data(), 4);
        memcpy(base.src6, src6.addr.data(), 16);
        const std::string head = tags_name(tags);
        if (link.ipv4) {
            for (const std::string& far : to.v4) {
                for (const Way& way : ways) {
                    FrameSpec f = base;
                    memcpy(way.from ? f.src : f.dst, net4(far, 32).addr.data(), 4);
                    if (way.from) memcpy(f.dst, src4.addr.data(), 4);
                    add(f, head + " IPv4" + way.word + far);
                }
            }
        }
        if (!link.ipv6) continue;
        const std::vector<uint32_t> any_family = {0};
        const auto& families = link.ipv6_families.empty() ? any_family : link.ipv6_families;
        for (uint32_t family : families) {
            for (const auto& ext : ipv6_layouts()) {
                for (const std::string& far : to.v6) {
                    for (const Way& way : ways) {
                        FrameSpec f = base;
                        f.ip_version = 6;
                        f.null_family = family;
                        f.ext_headers = ext;
                        memcpy(way.from ? f.src6 : f.dst6, net6(far, 128).addr.data(), 16);
                        if (way.from) memcpy(f.dst6, src6.addr.data(), 16);
                        std::string what = head + " IPv6";
                        if (!ext.empty()) what.append("+").append(std::to_string(ext[0].kind));
                        if (family != 0) what += " (family " + std::to_string(family) + ")";
                        add(f, what + way.word + far);
                    }
                }
            }
        }
    }
    return out;
}

}  // namespace qv::test
