#include "output/export.h"

#include <arpa/inet.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/lines.h"

namespace qv {
namespace {

// The payload buffer: a datagram's text is at most 1198 characters and is
// sent with its terminating NUL.
constexpr size_t kPayload = 1200;
constexpr long kBudget = kPayload - 2;

class Chunk {
public:
    Chunk(const char* header, size_t hlen, const Settings& s, DatagramSender& sender)
        : header_(header), hlen_(hlen), s_(s), sender_(sender) {
        begin();
    }
    void add(const char* entry, size_t e) {
        // An entry that could never fit a datagram is left out (the host name
        // and a zone's text are both bounded well below that).
        if (static_cast<long>(e) >= kBudget - static_cast<long>(hlen_)) return;
        // An entry goes in only while the budget stays above its length; at
        // equality the chunk is closed first.
        if (budget_ <= static_cast<long>(e)) {
            flush();
            begin();
        }
        memcpy(payload_ + len_, entry, e);
        len_ += e;
        budget_ -= static_cast<long>(e);
    }
    void finish() {
        if (len_ > hlen_) flush();
    }

private:
    void begin() {
        memset(payload_, 0, sizeof payload_);
        memcpy(payload_, header_, hlen_);
        len_ = hlen_;
        budget_ = kBudget - static_cast<long>(hlen_);
    }
    void flush() {
        // The last entry's comma becomes "}", and the data object and the
        // whole object close.
        payload_[len_ - 1] = '}';
        payload_[len_++] = '}';
        payload_[len_] = '\0';
        if (s_.send_json) {
            sender_.send(payload_, len_ + 1);
            microsleep(10);
        }
    }

    const char* header_;
    size_t hlen_;
    const Settings& s_;
    DatagramSender& sender_;
    char payload_[kPayload];
    size_t len_ = 0;
    long budget_ = 0;
};

}  // namespace

HostJson escape_host_name(const char* name) {
    HostJson out{};
    size_t n = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
        char piece[8];
        size_t len;
        if (*p == '"' || *p == '\\') {
            piece[0] = '\\';
            piece[1] = static_cast<char>(*p);
            len = 2;
        } else if (*p < 0x20 || *p > 0x7e) {
            len = static_cast<size_t>(snprintf(piece, sizeof piece, "\\u%04x", *p));
        } else {
            piece[0] = static_cast<char>(*p);
            len = 1;
        }
        if (n + len > kHostJsonMax) break;
        memcpy(out.text + n, piece, len);
        n += len;
    }
    out.text[n] = '\0';
    return out;
}

Collector setup_collector(const Settings& s) {
    Collector c;
    // The command line has refused any text that is neither an IPv4 nor an
    // IPv6 address.
    auto* v4 = reinterpret_cast<sockaddr_in*>(&c.dest);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&c.dest);
    const uint16_t port = htons(static_cast<uint16_t>(s.collector_port));
    int ttl = s.multicast_ttl;
    if (inet_aton(s.collector_addr, &v4->sin_addr) != 0) {
        v4->sin_family = AF_INET;
        v4->sin_port = port;
        c.dest_len = sizeof(sockaddr_in);
        c.socket = socket(AF_INET, SOCK_DGRAM, 0);
        if (c.socket >= 0) setsockopt(c.socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    } else {
        inet_pton(AF_INET6, s.collector_addr, &v6->sin6_addr);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = port;
        c.dest_len = sizeof(sockaddr_in6);
        c.socket = socket(AF_INET6, SOCK_DGRAM, 0);
        if (c.socket >= 0) {
            setsockopt(c.socket, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &ttl, sizeof ttl);
        }
    }
    if (c.socket < 0) fatal("can't set up socket: %s\n", strerror(errno));
    char hostname[256] = {};
    gethostname(hostname, 253);
    c.host = escape_host_name(hostname);
    return c;
}

void SocketSender::send(const char* data, size_t len) {
    sendto(c_.socket, data, len, 0, reinterpret_cast<const sockaddr*>(&c_.dest), c_.dest_len);
}

void microsleep(unsigned usec) {
    timeval tv{};
    tv.tv_sec = usec / 1000000;
    tv.tv_usec = usec % 1000000;
    // Linux updates the timeout to the time left, so a retry only waits that.
    while (select(0, nullptr, nullptr, nullptr, &tv) == -1 && errno == EINTR) {
    }
}

void export_sources(const Settings& s, const BucketSet& retired, const HostJson& host,
                    DatagramSender& sender) {
    if (s.send_json) {
        char header[kHostJsonMax + 64];
        int hlen = snprintf(header, sizeof header,
                            "{\"hostname\":\"%s\",\"type\":\"source\",\"data\":{", host.text);
        Chunk chunk(header, static_cast<size_t>(hlen), s, sender);
        for (int32_t i = retired.next_in_use(0); i != -1; i = retired.next_in_use(i + 1)) {
            const Bucket& b = retired.bucket(i);
            char entry[sizeof(AddrText) + 16];
            int e = snprintf(entry, sizeof entry, "\"%s\":%u,",
                             to_text(b.ip_addr, source_prefixes(s)).c_str(),
                             b.tcp_count + b.udp_count);
            chunk.add(entry, static_cast<size_t>(e));
        }
        chunk.finish();
    }
}

void export_zones(const Settings& s, const ZoneSet& zones, const HostJson& host,
                  DatagramSender& sender) {
    if (!s.send_json) return;
    char header[kHostJsonMax + 64];
    int hlen = snprintf(header, sizeof header, "{\"hostname\":\"%s\",\"type\":\"zone\",\"data\":{",
                        host.text);
    Chunk chunk(header, static_cast<size_t>(hlen), s, sender);
    for (int32_t i = zones.next_in_use(0); i != -1; i = zones.next_in_use(i + 1)) {
        const ZoneCount& z = zones.zone(i);
        // The zone's text JSON-escaped: at most two bytes for each of its
        // characters (it is printable ASCII).
        char text[2 * kZoneKeyMax + 1];
        size_t n = 0;
        for (size_t k = 0; k < z.zone.len; ++k) {
            const char c = z.zone.text[k];
            if (c == '"' || c == '\\') text[n++] = '\\';
            text[n++] = c;
        }
        text[n] = '\0';
        char entry[sizeof text + 64];
        int e = snprintf(entry, sizeof entry, "\"%s\":{\"queries\":%u,\"names\":%u},", text,
                         z.queries, z.names);
        chunk.add(entry, static_cast<size_t>(e));
    }
    chunk.finish();
}

void JsonExport::consume(const CycleSummary& summary) {
    export_sources(s_, *summary.retired, host_, sender_);
    if (summary.zones != nullptr) export_zones(s_, *summary.zones, host_, sender_);
}

}  // namespace qv
