// A small builder of captured frames for tests, fuzz seeds and the sample
// captures: link header (with VLAN tags), IPv4 or IPv6 (with extension
// headers), UDP or TCP, and a DNS query whose fields can each be bent to
// make a frame that the decoder must drop.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "capture/frame.h"
#include "capture/message.h"

namespace qv::test {

// An IPv6 extension header: its kind (0, 43, 44, 51, 60 or any other next
// header value) and, for a Fragment header, its offset-and-flags field.
struct ExtHeader {
    uint8_t kind;
    uint16_t frag = 0;
    uint8_t len = 0;  // the length field (units of the kind), minimal by default
};

struct FrameSpec {
    // Link header: 14 (Ethernet), 0 (raw IP), 4 (BSD loopback), 16 or 20 (Linux cooked).
    int link_len = 14;
    std::vector<uint16_t> vlan_tpids;  // VLAN tags before the EtherType (Ethernet, cooked)
    uint32_t null_family = 0;          // BSD loopback family; 0: 2 or 10 by ip_version
    bool null_big_endian = false;      // the family in network byte order (DLT_LOOP)
    uint8_t src[4] = {10, 1, 2, 3};
    uint8_t dst[4] = {192, 0, 2, 53};
    uint8_t protocol = 17;       // 17 UDP, 6 TCP, anything else
    uint8_t ip_version = 4;      // 6 builds an IPv6 header
    uint8_t ihl = 5;             // IPv4 header length in words; options are zero-filled
    uint16_t frag = 0;           // flags and fragment offset, as on the wire
    int total_len_delta = 0;     // added to the correct IPv4 total length or IPv6 payload length
    uint8_t src6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 3};
    uint8_t dst6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x53};
    std::vector<ExtHeader> ext_headers;  // IPv6 extension headers, in order
    uint8_t tcp_flags = 0x18;    // PSH|ACK
    uint8_t tcp_doff = 5;        // TCP header length in words; options are zero-filled
    uint32_t tcp_seq = 0;        // TCP sequence number
    uint32_t tcp_ack = 0;        // TCP acknowledgement number
    bool no_message = false;     // no DNS message after the transport header (a bare SYN, ACK, ...)
    uint16_t src_port = 40000;
    uint16_t dst_port = 53;
    uint16_t dns_id = 0x1234;
    uint8_t dns_flags_hi = 0x01; // RD; 0x80 would make it a response
    uint8_t dns_flags_lo = 0x00; // RA, Z, AD, CD and the RCODE in the low 4 bits
    uint16_t qdcount = 1;
    // The question name on the wire; an empty vector means "use labels".
    std::vector<uint8_t> raw_name;
    std::vector<std::string> labels = {"abc", "de"};
    uint16_t qtype = 1;
    uint16_t qclass = 1;
    size_t pad_to = 0;           // Ethernet-style fill after the IP datagram
};

// The link layer that link_len stands for.
LinkType link_of(int link_len);

// The wire name of labels: length-prefixed labels and the final zero byte.
std::vector<uint8_t> wire_name(const std::vector<std::string>& labels);

// The whole frame as it would be captured (nothing cut).
std::vector<uint8_t> build_frame(const FrameSpec& layout);

// Offset of the first byte of the question name in a frame built from layout.
size_t name_offset(const FrameSpec& layout);

// One frame through the program's own decoding path: decode_packet, then a
// UDP datagram's message, or a TCP segment to port 53 fed to fresh
// TcpStreams (which pick a stream up at a segment that starts with a
// query). The query's name is written into name.
std::optional<Message> decode_one(std::span<const uint8_t> frame, uint32_t wire_len, LinkType link,
                                NameBuffer& name);

}  // namespace qv::test
