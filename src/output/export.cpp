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

// The datagrams of one type: each a header of this host and type, then
// entries while they fit, closed and sent (with -s) when the next one does
// not, or at finish().
class Chunk {
public:
    Chunk(const char* type, const HostJson& host, const Settings& s, DatagramSender& sender)
        : s_(s), sender_(sender) {
        const int n = snprintf(header_, sizeof header_,
                               "{\"hostname\":\"%s\",\"type\":\"%s\",\"data\":{", host.text, type);
        hlen_ = static_cast<size_t>(n);
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
    void add(const char* entry, int e) {
        if (e > 0) add(entry, static_cast<size_t>(e));
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

    // The longest type is a few characters: the host name bounds the header.
    char header_[kHostJsonMax + 64];
    size_t hlen_ = 0;
    const Settings& s_;
    DatagramSender& sender_;
    char payload_[kPayload];
    size_t len_ = 0;
    long budget_ = 0;
};

}  // namespace

ZoneJson escape_zone(const ZoneKey& zone) {
    ZoneJson out;
    size_t n = 0;
    for (size_t k = 0; k < zone.len; ++k) {
        const char c = zone.text[k];
        if (c == '"' || c == '\\') out.text[n++] = '\\';
        out.text[n++] = c;
    }
    out.text[n] = '\0';
    return out;
}

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
    if (!s.send_json) return;
    Chunk chunk("source", host, s, sender);
    for (int32_t i = retired.next_in_use(0); i != -1; i = retired.next_in_use(i + 1)) {
        const Bucket& b = retired.bucket(i);
        // With -R a bucket may hold only answers (its client's query fell in
        // an earlier cycle): that source sent nothing this cycle.
        if (b.tcp_count == 0 && b.udp_count == 0) continue;
        char entry[sizeof(AddrText) + 16];
        const int e =
            snprintf(entry, sizeof entry, "\"%s\":%u,",
                     to_text(b.ip_addr, source_prefixes(s)).c_str(), b.tcp_count + b.udp_count);
        chunk.add(entry, e);
    }
    chunk.finish();
}

void export_zones(const Settings& s, const ZoneSet& zones, const HostJson& host,
                  DatagramSender& sender) {
    if (!s.send_json) return;
    Chunk chunk("zone", host, s, sender);
    for (int32_t i = zones.next_in_use(0); i != -1; i = zones.next_in_use(i + 1)) {
        const ZoneCount& z = zones.zone(i);
        const ZoneJson text = escape_zone(z.zone);
        char entry[sizeof text.text + 160];
        const int e =
            s.count_answers
                ? snprintf(entry, sizeof entry,
                           "\"%s\":{\"queries\":%u,\"names\":%u,"
                           "\"answers\":%u,\"nxdomain\":%u,\"servfail\":%u},",
                           text.text, z.queries, z.names, z.answers, z.nxdomain, z.servfail)
                : snprintf(entry, sizeof entry, "\"%s\":{\"queries\":%u,\"names\":%u},", text.text,
                           z.queries, z.names);
        chunk.add(entry, e);
    }
    chunk.finish();
}

void export_answers(const Settings& s, const BucketSet& retired, const HostJson& host,
                    DatagramSender& sender) {
    if (!s.send_json || !retired.counts_answers()) return;
    Chunk chunk("answers", host, s, sender);
    for (int32_t i = retired.next_in_use(0); i != -1; i = retired.next_in_use(i + 1)) {
        const AnswerCounts& a = retired.answers(i);
        // Any class, not the sum: the 32-bit sum may wrap to 0.
        bool any = false;
        for (uint32_t c : a.by_class) any = any || c != 0;
        if (!any) continue;
        char entry[sizeof(AddrText) + 256];
        const int e = snprintf(
            entry, sizeof entry,
            "\"%s\":{\"answers\":%u,\"noerror\":%u,\"nxdomain\":%u,\"servfail\":%u,\"refused\":%u,"
            "\"other\":%u,\"truncated\":%u,\"bytes\":%u,\"query_bytes\":%u},",
            to_text(retired.bucket(i).ip_addr, source_prefixes(s)).c_str(), a.answers(),
            a.by_class[kNoError], a.by_class[kNxDomain], a.by_class[kServFail],
            a.by_class[kRefused], a.by_class[kOtherCode], a.truncated, a.bytes, a.query_bytes);
        chunk.add(entry, e);
    }
    chunk.finish();
}

void JsonExport::consume(const CycleSummary& summary) {
    export_sources(s_, *summary.retired, host_, sender_);
    if (summary.zones != nullptr) export_zones(s_, *summary.zones, host_, sender_);
    export_answers(s_, *summary.retired, host_, sender_);
}

}  // namespace qv
