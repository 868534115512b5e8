// The libpcap callback: decode one frame, print its dump line with -D, and
// count the query in the table.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>

#include "capture/decoder.h"

namespace qv {

// What the callback needs to know of the capture; passed as libpcap's user
// pointer.
struct CaptureContext {
    int link_len = 14;
    bool dump_packets = false;
};

// "src: %-15s  proto: %s  qtype: 0x%02x  domain: %s\n"; returns the length
// snprintf reports (the line is cut to fit out).
int format_dump_line(const Query& q, char* out, size_t size);

// pcap_handler: user points to a CaptureContext.
void handle_packet(u_char* user, const pcap_pkthdr* header, const u_char* bytes);

}  // namespace qv
