// Turning one captured frame into at most one DNS query: a pure decoder,
// bytes in, result out. The frame is walked from the link layer to the
// question by a bounds-checked reader; a frame that fails any test is
// dropped.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "base/address.h"

namespace qv {

// Room for the decoded name: at most 1025 characters and the terminator.
inline constexpr size_t kNameMax = 1025;
struct NameBuffer {
    char text[kNameMax + 1];
};

struct Query {
    SourceAddr source;  // the packet's own, full source address
    uint8_t family;     // 4 or 6: the IP version of the frame
    uint8_t protocol;   // 6 TCP, 17 UDP
    uint8_t qtype;      // low-order byte of QTYPE; 0 is dumped but never counted
    std::string_view name;  // in the caller's NameBuffer; labels each followed by '.'
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

// Decodes the first question of a DNS query in one frame. wire_len is the
// frame's length on the wire, frame the captured bytes.
std::optional<Query> decode_frame(std::span<const uint8_t> frame, uint32_t wire_len,
                                  LinkType link, NameBuffer& name);

}  // namespace qv
