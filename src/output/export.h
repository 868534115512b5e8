// The JSON export, a consumer of the cycle: the per-source counts of the
// retired set, then the zones', then (with -R) the answers', as JSON
// datagrams to the collector. It only reads the cycle; emptying the set is
// the cycle's, after every consumer.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <ctime>

#include "base/settings.h"
#include "stats/cycle.h"
#include "table/table.h"
#include "table/zones.h"

namespace qv {

// Sends one datagram. The collector socket in the program; tests collect.
class DatagramSender {
public:
    virtual ~DatagramSender() = default;
    virtual void send(const char* data, size_t len) = 0;
};

// The host name as the text of a JSON string: '"' and '\' escaped with a
// backslash, control bytes and bytes above 0x7e as \u00XX, so a datagram is
// always valid JSON. Cut (at a whole escape) so the header leaves room for
// entries.
inline constexpr size_t kHostJsonMax = 512;
struct HostJson {
    char text[kHostJsonMax + 1];
};
HostJson escape_host_name(const char* name);

// A zone's text JSON-escaped ('"' and '\' with a backslash): at most two
// bytes for each of its characters (it is printable ASCII).
struct ZoneJson {
    char text[2 * kZoneKeyMax + 1];
};
ZoneJson escape_zone(const ZoneKey& zone);

// The collector: its socket, where datagrams go, and this host's name, read
// once at start. A socket that cannot be made ends the process.
struct Collector {
    int socket = -1;
    sockaddr_storage dest{};  // IPv4 or IPv6
    socklen_t dest_len = 0;
    HostJson host{};
};
Collector setup_collector(const Settings& s);

class SocketSender final : public DatagramSender {
public:
    explicit SocketSender(const Collector& c) : c_(c) {}
    void send(const char* data, size_t len) override;

private:
    const Collector& c_;
};

// Pauses for usec microseconds (select with no descriptors).
void microsleep(unsigned usec);

// Exports every bucket in use that counted a query, in index order, as entries
// "\"%s\":%u," (the source's text by its prefix) of datagrams of at most 1199 bytes (the text and a
// final NUL byte), each with the header of this host. With -s every datagram is sent, followed by a
// 10-microsecond pause; without -s none is.
void export_sources(const Settings& s, const BucketSet& retired, const HostJson& host,
                    DatagramSender& sender);

// With -s, the zones of a cycle as datagrams after the sources', by the same
// rules: entries "\"ZONE\":{\"queries\":%u,\"names\":%u}," (the zone's
// text JSON-escaped) under a header of type "zone"; with -R the entry also
// has "answers", "nxdomain" and "servfail", in that order, after "names".
void export_zones(const Settings& s, const ZoneSet& zones, const HostJson& host,
                  DatagramSender& sender);

// With -s and a set that counts answers (-R), every source answered at
// least once, in index order, by the same rules: entries
// "\"SOURCE\":{\"answers\":%u,\"noerror\":%u,\"nxdomain\":%u,\"servfail\":%u,
// \"refused\":%u,\"other\":%u,\"truncated\":%u,\"bytes\":%u,\"query_bytes\":%u},"
// under a header of type "answers".
void export_answers(const Settings& s, const BucketSet& retired, const HostJson& host,
                    DatagramSender& sender);

// The sources' datagrams of each cycle, then its zones', then its answers'.
class JsonExport final : public CycleConsumer {
  public:
    JsonExport(const Settings& s, const HostJson& host, DatagramSender& sender)
        : s_(s), host_(host), sender_(sender) {}
    void consume(const CycleSummary& summary) override;

  private:
    const Settings& s_;
    const HostJson& host_;
    DatagramSender& sender_;
};

}  // namespace qv
