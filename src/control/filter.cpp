#include "control/filter.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/memory.h"
#include "capture/frame.h"

namespace qv {

FilterCase filter_case(const Settings& s) {
    if (s.no_local_filter) return FilterCase::no_local;
    if (s.addr_filter != nullptr) return FilterCase::address;
    // A capture file has no device whose network to watch.
    if (s.read_file != nullptr) return FilterCase::no_local;
    return FilterCase::local_net;
}

namespace {

// Port 53, or an IPv6 frame whose first next header is one of the extension
// headers the decoder walks: libpcap's "port 53" reads only the fixed IPv6
// header's next header, so it would hide every query behind one. Not
// "ip6[6] = N": behind a VLAN tag the kernel has taken out of the frame,
// libpcap 1.10 compiles that form so that -Q lets other IPv6 frames through.
constexpr const char* kDnsFrames =
    "(port 53 or ip6 proto 0 or ip6 proto 43 or ip6 proto 44 or ip6 proto 51 or ip6 proto 60)";

std::string ipv4_text(uint32_t addr) {
    in_addr in{};
    in.s_addr = addr;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

bool is_ipv6(const char* text) {
    in6_addr scratch{};
    return inet_pton(AF_INET6, text, &scratch) == 1;
}

// Whether text is one parenthesized group, "(...)" with its own closing
// parenthesis last.
bool one_group(const std::string& text) {
    if (text.empty() || text.front() != '(') return false;
    int depth = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '(') ++depth;
        if (text[i] == ')' && --depth == 0) return i + 1 == text.size();
    }
    return false;
}

// One network of the filter, as its text names it: "net A mask M" for
// IPv4, "net A/M" for IPv6.
struct NetTerm {
    bool v6;
    std::string addr;
    std::string mask;
};

// The networks the filter names, in the order of its text: the filter and
// the watched network are both made from these, so that they always agree.
struct Watched {
    bool everything = false;
    // The frames of T, not only port 53: an IPv6 network is named.
    bool ipv6 = false;
    std::vector<NetTerm> nets;
};

Watched watched_terms(const Settings& s, const DeviceNetworks& nets) {
    Watched w;
    switch (filter_case(s)) {
        case FilterCase::no_local:
            w.everything = true;
            return w;
        case FilterCase::address:
            w.ipv6 = is_ipv6(s.addr_filter);
            w.nets.push_back({w.ipv6, s.addr_filter,
                              s.mask_filter != nullptr ? s.mask_filter
                              : w.ipv6                 ? "128"
                                                       : "255.255.255.255"});
            return w;
        case FilterCase::local_net:
        default:
            break;
    }
    w.nets.push_back({false, ipv4_text(nets.net),
                      s.mask_filter != nullptr ? s.mask_filter : ipv4_text(nets.mask)});
    for (const std::string& net : nets.v6) {
        const size_t slash = net.find('/');
        w.nets.push_back({true, net.substr(0, slash),
                          slash == std::string::npos ? "128" : net.substr(slash + 1)});
        w.ipv6 = true;
    }
    return w;
}

std::string term_text(const char* direction, const NetTerm& n) {
    std::string text = direction;
    text.append(" net ").append(n.addr).append(n.v6 ? "/" : " mask ").append(n.mask);
    return text;
}

// The filter for the watched network, before any VLAN tags: the frames to
// one of its networks, and with -R also those from one, the "src" terms in
// the order of the "dst" ones.
std::string watched_network(const Settings& s, const DeviceNetworks& nets) {
    const Watched w = watched_terms(s, nets);
    if (w.everything) return kDnsFrames;
    std::vector<std::string> terms;
    for (const NetTerm& n : w.nets) terms.push_back(term_text("dst", n));
    if (s.count_answers) {
        for (const NetTerm& n : w.nets) terms.push_back(term_text("src", n));
    }
    std::string text = w.ipv6 ? std::string(kDnsFrames) + " and " : std::string("port 53 and ");
    if (terms.size() == 1) return text + terms.front();
    text += "(";
    for (size_t i = 0; i < terms.size(); ++i) {
        if (i > 0) text += " or ";
        text += terms[i];
    }
    return text + ")";
}

// A dotted IPv4 network or mask as libpcap reads one in "net A mask M": two
// to four decimal parts of 0..255, a short form filled from the right
// ("10.1" is 10.1.0.0, where inet_aton reads 10.0.0.1). In network byte
// order; false for a text libpcap refuses there.
bool pcap_ipv4(const std::string& text, uint32_t& out) {
    uint32_t value = 0;
    int parts = 0;
    size_t i = 0;
    for (;;) {
        uint32_t part = 0;
        size_t digits = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
            part = part * 10 + static_cast<uint32_t>(text[i] - '0');
            if (part > 255) return false;
        }
        if (digits == 0 || ++parts > 4) return false;
        value = value << 8 | part;
        if (i == text.size()) break;
        if (text[i++] != '.') return false;
    }
    if (parts < 2) return false;  // a plain number is no network there
    out = htonl(value << (8 * (4 - parts)));
    return true;
}

// A prefix length as libpcap reads the number after "/": decimal, 0x hex or
// 0 octal, at most 128.
bool pcap_prefix_len(const std::string& text, int& out) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long n = strtoul(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || n > 128) return false;
    out = static_cast<int>(n);
    return true;
}

}  // namespace

DeviceNetworks device_networks(const char* device) {
    DeviceNetworks nets;
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_lookupnet(device, &nets.net, &nets.mask, errbuf);  // a failure leaves both 0
    pcap_if_t* all = nullptr;
    if (pcap_findalldevs(&all, errbuf) == -1) return nets;
    for (pcap_if_t* d = all; d != nullptr; d = d->next) {
        if (strcmp(d->name, device) != 0) continue;
        for (pcap_addr_t* a = d->addresses; a != nullptr; a = a->next) {
            if (a->addr == nullptr || a->addr->sa_family != AF_INET6) continue;
            const auto* addr = reinterpret_cast<const sockaddr_in6*>(a->addr);
            const uint8_t* b = addr->sin6_addr.s6_addr;
            if (b[0] == 0xfe && (b[1] & 0xc0) == 0x80) continue;  // link-local, fe80::/10
            in6_addr prefix = addr->sin6_addr;
            int len = 128;
            if (a->netmask != nullptr && a->netmask->sa_family == AF_INET6) {
                const uint8_t* m = reinterpret_cast<const sockaddr_in6*>(a->netmask)->sin6_addr.s6_addr;
                len = 0;
                for (int i = 0; i < 16; ++i) {
                    prefix.s6_addr[i] &= m[i];
                    len += std::popcount(static_cast<unsigned>(m[i]));
                }
            }
            char text[INET6_ADDRSTRLEN];
            inet_ntop(AF_INET6, &prefix, text, sizeof text);
            nets.v6.push_back(std::string(text) + "/" + std::to_string(len));
        }
    }
    pcap_freealldevs(all);
    return nets;
}

std::string build_filter_text(const Settings& s, const DeviceNetworks& nets, bool ethernet) {
    const std::string b = watched_network(s, nets);
    if (!ethernet) return b;
    // libpcap's "vlan" moves every later offset past one tag, so the
    // untagged case comes first and each tag nests the rest.
    const std::string g = one_group(b) ? b : "(" + b + ")";
    return g + " or (vlan and (" + g + " or (vlan and " + g + ")))";
}

WatchedNetwork watched_of(const Settings& s, const DeviceNetworks& nets) {
    const Watched w = watched_terms(s, nets);
    if (w.everything) return WatchedNetwork::everything();
    WatchedNetwork out;
    // A network libpcap cannot read fails the filter's compilation, and the
    // program never captures: it adds nothing.
    for (const NetTerm& n : w.nets) {
        if (n.v6) {
            std::array<uint8_t, 16> prefix{};
            int len = 0;
            if (inet_pton(AF_INET6, n.addr.c_str(), prefix.data()) == 1 &&
                pcap_prefix_len(n.mask, len))
                out.add_v6(prefix, len);
        } else {
            uint32_t net = 0, mask = 0;
            if (pcap_ipv4(n.addr, net) && pcap_ipv4(n.mask, mask)) out.add_v4(net, mask);
        }
    }
    return out;
}

bool plainly_port_53(const uint8_t* b, uint32_t caplen) {
    auto u16 = [b](size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); };
    if (caplen < 14) return false;
    size_t ports = 0;
    const uint16_t type = u16(12);
    if (type == 0x0800) {
        if (caplen < 24) return false;
        if (b[23] != 6 && b[23] != 17) return false;
        if ((u16(20) & 0x1fff) != 0) return false;  // a later fragment has no ports
        ports = 14 + 4 * static_cast<size_t>(b[14] & 0x0f);
    } else if (type == 0x86dd) {
        if (caplen < 21) return false;
        if (b[20] != 6 && b[20] != 17) return false;
        ports = 14 + 40;
    } else {
        return false;
    }
    if (caplen < ports + 4) return false;
    return u16(ports) == 53 || u16(ports + 2) == 53;
}

FileFilter::FileFilter(int dlt, const char* text, bool any_address)
    : loopback_(dlt == DLT_NULL || dlt == DLT_LOOP),
      shortcut_(any_address && dlt == DLT_EN10MB),
      dead_(pcap_open_dead(loopback_ ? DLT_RAW : dlt, kSnapLen)) {
    if (dead_ == nullptr) {
        error_ = "no memory";
    } else if (pcap_compile(dead_, &program_, text, 0, 0) == -1) {
        error_ = pcap_geterr(dead_);
    } else {
        compiled_ = true;
    }
}

FileFilter::~FileFilter() {
    if (compiled_) pcap_freecode(&program_);
    if (dead_ != nullptr) pcap_close(dead_);
}

bool FileFilter::passes(const pcap_pkthdr& header, const uint8_t* bytes) const {
    if (!compiled_) return false;
    if (shortcut_ && plainly_port_53(bytes, header.caplen)) return true;
    if (!loopback_) return pcap_offline_filter(&program_, &header, bytes) != 0;
    if (header.caplen <= 4) return false;
    const uint32_t family = static_cast<uint32_t>(bytes[0]) << 24 |
                            static_cast<uint32_t>(bytes[1]) << 16 |
                            static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
    // The IP version must be the one the family names, as the decoder requires.
    const int version = null_family_version(family);
    if (version == 0 || bytes[4] >> 4 != version) return false;
    pcap_pkthdr datagram = header;
    datagram.caplen -= 4;
    datagram.len = header.len > 4 ? header.len - 4 : 0;
    return pcap_offline_filter(&program_, &datagram, bytes + 4) != 0;
}

char* default_device() {
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_if_t* all = nullptr;
    if (pcap_findalldevs(&all, errbuf) == -1) return nullptr;
    char* name = nullptr;
    if (all != nullptr && (all->flags & PCAP_IF_LOOPBACK) == 0) name = copy_text(all->name, "dev");
    pcap_freealldevs(all);
    return name;
}

}  // namespace qv
