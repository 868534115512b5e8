// A source address: today an IPv4 address in network byte order, exactly as
// its four bytes stand in the captured header. Decoder, table, lines and
// export all use this type, so widening the program to IPv6 sources changes
// this file and its text form only.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace qv {

struct SourceAddr {
    uint32_t raw = 0;  // network byte order
    friend bool operator==(SourceAddr, SourceAddr) = default;
};

// Dotted-decimal text in storage the caller owns (no buffer shared between
// threads): at most 15 characters and the terminator.
struct AddrText {
    char text[16];
    const char* c_str() const { return text; }
};
AddrText to_text(SourceAddr addr);

// The address whose dotted form is a.b.c.d (for tests and constants).
constexpr SourceAddr make_addr(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    // Network byte order: a is the first byte in memory, whatever the host.
    return SourceAddr{std::bit_cast<uint32_t>(std::array<uint8_t, 4>{a, b, c, d})};
}

}  // namespace qv
