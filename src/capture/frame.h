// Walking a captured frame to its transport payload: link layer, IPv4 or
// IPv6 (with extension headers), UDP or TCP, every read bounds-checked.
// A pure function, bytes in, result out; a frame that fails a test is dropped.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "base/address.h"

namespace qv {

// The link layers the frame walk reads.
enum class LinkType {
    ethernet,    // EtherType, up to two VLAN tags
    raw,         // IPv4 or IPv6 by the version nibble
    null,        // BSD null/loop: a 4-byte address family, either byte order
    linux_sll,   // Linux cooked v1: protocol at offset 14 of 16
    linux_sll2,  // Linux cooked v2: protocol at offset 0 of 20
};
// The link layer of a libpcap link type, or nothing when the program cannot
// read that link type.
std::optional<LinkType> link_type_of(int dlt);
// The IP version (4 or 6) that the address family of a BSD null/loop link
// header names, its four bytes read in network order whatever order they
// are in; 0 for any other family.
int null_family_version(uint32_t family);

// What decoding made of a frame or message.
enum class Verdict : uint8_t {
    query,      // a query (or a UDP or TCP frame to decode further)
    response,   // QR set
    malformed,  // failed a length, bounds or name rule
    other,      // not a UDP or TCP DNS frame over IPv4 or IPv6
};

// A UDP datagram or TCP segment to or from port 53.
struct Packet {
    SourceAddr source;
    SourceAddr dest;
    uint8_t family;    // 4 or 6
    uint8_t protocol;  // 6 TCP, 17 UDP
    uint16_t src_port;
    uint16_t dst_port;
    uint32_t seq;       // TCP: the sequence number
    uint32_t ack;       // TCP: the acknowledgement number (meaningful with ACK set)
    uint8_t tcp_flags;  // TCP: FIN 0x01, SYN 0x02, RST 0x04, ACK 0x10, ...
    // The captured bytes after the transport header: for UDP to the end of
    // the capture, for TCP to the end of the IP datagram (no link fill).
    std::span<const uint8_t> payload;
    // The data length on the wire: for TCP the segment's (more than
    // payload.size() when the capture was cut short), for UDP the UDP
    // length less 8.
    uint32_t data_len;
};
inline constexpr uint8_t kTcpFin = 0x01;
inline constexpr uint8_t kTcpSyn = 0x02;
inline constexpr uint8_t kTcpRst = 0x04;
inline constexpr uint8_t kTcpAck = 0x10;

// Walks one frame to its transport payload: link layer, IPv4 or IPv6 (with
// extension headers), UDP or TCP with port 53 at either end.
// On failure, *why (when given) says which class of failure it was.
std::optional<Packet> decode_packet(std::span<const uint8_t> frame, uint32_t wire_len,
                                    LinkType link, Verdict* why = nullptr);

}  // namespace qv
