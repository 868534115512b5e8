// The libpcap callback: decode one frame, print a dump line with -D for
// each query, and count each query (and with -R each answer the watched
// network sends) in the table under its source's prefix. UDP datagrams
// carry one message each; TCP segments go through the streams.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>

#include "base/address.h"
#include "base/capture_stats.h"
#include "base/lock_guarded.h"
#include "capture/message.h"
#include "capture/tcp_stream.h"
#include "capture/watched.h"
#include "capture/zone.h"
#include "table/table.h"

namespace qv {

// What the callback needs to know of the capture; passed as libpcap's user
// pointer. The capture thread owns it, TCP streams included.
struct CaptureContext {
    LinkType link = LinkType::ethernet;
    bool dump_packets = false;
    Prefixes prefixes;              // -4 and -6
    LockGuarded<Table>* table = nullptr;  // where messages are counted
    // The same table while the caller holds its lock for the frame (a
    // replay between its cycles): then no message takes the lock again.
    Table* held = nullptr;
    TcpStreams* streams = nullptr;  // null: TCP segments are not followed
    CaptureStats* stats = nullptr;  // null: no counts for the metrics page
    ZoneFinder* zones = nullptr;    // null: queries are not counted per zone
    // -R: the watched network, whose answers count and to which queries
    // must go; null: answers are not counted and every query counts.
    const WatchedNetwork* watched = nullptr;
};

// "src: %-15s  proto: %s  qtype: 0x%02x  domain: %s\n" with the packet's
// own source address; returns the length snprintf reports (the line is cut
// to fit out).
int format_dump_line(const Message& q, char* out, size_t size);

// pcap_handler: user points to a CaptureContext.
void handle_packet(u_char* user, const pcap_pkthdr* header, const u_char* bytes);

}  // namespace qv
