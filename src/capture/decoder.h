// Turning captured frames into DNS queries: pure functions, bytes in, result
// out. A frame is walked from the link layer to the transport payload by a
// bounds-checked reader; a DNS message is read up to its first question.
// Anything that fails a test is dropped.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "base/address.h"

namespace qv {

// Room for the decoded name in presentation form: at most 1025 characters
// and the terminator (a 255-byte wire name escaped byte by byte stays below).
inline constexpr size_t kNameMax = 1025;
struct NameBuffer {
    char text[kNameMax + 1];
};

struct Query {
    SourceAddr source;  // the packet's own, full source address
    uint8_t family;     // 4 or 6: the IP version of the frame
    uint8_t protocol;   // 6 TCP, 17 UDP
    uint16_t qtype;     // QTYPE; 0 is dumped but never counted
    std::string_view name;  // in the caller's NameBuffer; presentation form, each label followed by '.'
};

// The letters, digits, '-' and '_'.
bool valid_dns_char(uint8_t c);

// The link layers the decoder reads.
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
    uint8_t tcp_flags;  // TCP: FIN 0x01, SYN 0x02, RST 0x04, ...
    // The captured bytes after the transport header: for UDP to the end of
    // the capture, for TCP to the end of the IP datagram (no link fill).
    std::span<const uint8_t> payload;
    // TCP: the segment's data length on the wire; more than payload.size()
    // when the capture was cut short.
    uint32_t data_len;
};
inline constexpr uint8_t kTcpFin = 0x01;
inline constexpr uint8_t kTcpSyn = 0x02;
inline constexpr uint8_t kTcpRst = 0x04;

// Walks one frame to its transport payload: link layer, IPv4 or IPv6 (with
// extension headers), UDP or TCP with port 53 at either end.
// On failure, *why (when given) says which class of failure it was.
std::optional<Packet> decode_packet(std::span<const uint8_t> frame, uint32_t wire_len,
                                    LinkType link, Verdict* why = nullptr);

// Reads a DNS message up to its first question: a query (QR clear) with
// QDCOUNT above 0 and a well-formed name (labels of 1 to 63 bytes of any
// value, 255 bytes in all, ending in the root label; no compression), whose
// final byte, QTYPE and one byte beyond lie within msg. The source, family
// and protocol are left for the caller.
// Without text, the name is checked but not written (q.name is empty): no
// report needs it unless packets are dumped or zones counted.
std::optional<Query> decode_message(std::span<const uint8_t> msg, NameBuffer& name,
                                    Verdict* why = nullptr, bool text = true);

// One frame on its own: a UDP datagram's query, or the first message of a
// TCP segment that starts with one (the stream as a whole is the business
// of TcpStreams).
std::optional<Query> decode_frame(std::span<const uint8_t> frame, uint32_t wire_len,
                                  LinkType link, NameBuffer& name);

}  // namespace qv
