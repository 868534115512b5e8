// Turning one captured frame into at most one DNS query: a pure decoder,
// bytes in, result out. Every byte it reads is checked against the captured
// length first; a frame that fails any test is dropped.
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
    SourceAddr source;
    uint8_t protocol;   // 6 TCP, 17 UDP
    uint8_t qtype;      // low-order byte of QTYPE; 0 is dumped but never counted
    std::string_view name;  // in the caller's NameBuffer; labels each followed by '.'
};

// The letters, digits, '-' and '_'.
bool valid_dns_char(uint8_t c);

// Length of the link header before the IPv4 header for a libpcap link type,
// or -1 when the program cannot read that link type.
int link_header_length(int dlt);

// Decodes the first question of a DNS query in one frame. link_len is the
// link header's length, wire_len the frame's length on the wire, frame the
// captured bytes.
std::optional<Query> decode_frame(std::span<const uint8_t> frame, uint32_t wire_len,
                                  int link_len, NameBuffer& name);

}  // namespace qv
