// The libpcap callback: decode one frame, print its dump line with -D, and
// count the query in the table under its source's prefix.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>

#include "base/address.h"
#include "capture/decoder.h"

namespace qv {

// What the callback needs to know of the capture; passed as libpcap's user
// pointer.
struct CaptureContext {
    LinkType link = LinkType::ethernet;
    bool dump_packets = false;
    Prefixes prefixes;  // -4 and -6
};

// "src: %-15s  proto: %s  qtype: 0x%02x  domain: %s\n" with the packet's
// own source address; returns the length snprintf reports (the line is cut
// to fit out).
int format_dump_line(const Query& q, char* out, size_t size);

// pcap_handler: user points to a CaptureContext.
void handle_packet(u_char* user, const pcap_pkthdr* header, const u_char* bytes);

}  // namespace qv
