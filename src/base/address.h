// A source address: 16 bytes, as an IPv6 address stands in its header, and
// the family of the frame it came in. An IPv4 address is kept in its
// IPv4-mapped form (::ffff:a.b.c.d), so both families share one key type
// through decoder, table, hash, alarm memory, lines and export. The bytes
// alone cannot tell the families apart (every 16-byte value is an IPv6
// address, ::ffff:a.b.c.d included), so the family is part of the key: an
// IPv6 frame never counts for an IPv4 source.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "base/hash.h"

namespace qv {

struct SourceAddr {
    std::array<uint8_t, 16> bytes{};
    // 1 for IPv4, 0 for IPv6: zero bytes are the IPv6 address ::, so a
    // zeroed bucket still reads as all zero.
    uint8_t v4 = 0;

    // By its two halves and the family: three loads and compares, not a
    // call to memcmp.
    friend bool operator==(const SourceAddr& a, const SourceAddr& b) {
        return a.half(0) == b.half(0) && a.half(1) == b.half(1) && a.v4 == b.v4;
    }

    // From the four bytes of an IPv4 header field, or sixteen of an IPv6 one.
    static SourceAddr from_v4(const uint8_t* p) {
        SourceAddr a;
        a.bytes[10] = 0xff;
        a.bytes[11] = 0xff;
        std::memcpy(&a.bytes[12], p, 4);
        a.v4 = 1;
        return a;
    }
    static SourceAddr from_v6(const uint8_t* p) {
        SourceAddr a;
        std::memcpy(a.bytes.data(), p, 16);
        return a;
    }

    bool is_v4() const { return v4 != 0; }
    // The two 64-bit halves, for hashing.
    uint64_t half(int i) const {
        uint64_t h;
        std::memcpy(&h, &bytes[8 * static_cast<size_t>(i)], 8);
        return h;
    }

    // The address with every bit after the first len of its own family
    // cleared: len counts IPv4 bits for an IPv4 address, IPv6 bits otherwise.
    SourceAddr masked(int len) const;
};

// The key hash of the indexed maps that hold sources. The family is a key
// word of its own, with its own secret multiplier: an IPv6 source chosen
// to match an IPv4 one in all 16 bytes lands on an unpredictable chain.
inline uint32_t hash_key(const SeededHash& h, const SourceAddr& a) {
    return h(a.half(0), a.half(1), a.v4);
}

// How sources are counted: by the first v4 bits of an IPv4 address and the
// first v6 bits of an IPv6 one.
struct Prefixes {
    int v4 = 32;
    int v6 = 128;
    int of(const SourceAddr& a) const { return a.is_v4() ? v4 : v6; }
};

// Address text in storage the caller owns (no buffer shared between
// threads): the longest IPv6 text, "/128" and the terminator.
struct AddrText {
    char text[56];
    const char* c_str() const { return text; }
};
// The plain address as inet_ntop writes it: a dotted quad for IPv4, RFC 5952
// text for IPv6 (but ::a.b.c.d for an IPv4-compatible address).
AddrText to_text(const SourceAddr& addr);
// The text of a source counted by prefix: the plain address at full width,
// else "ADDRESS/LEN" (the address already masked).
AddrText to_text(const SourceAddr& addr, const Prefixes& prefixes);

// The IPv4 address whose dotted form is a.b.c.d (for tests and constants).
constexpr SourceAddr make_addr(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    SourceAddr s;
    s.bytes[10] = 0xff;
    s.bytes[11] = 0xff;
    s.bytes[12] = a;
    s.bytes[13] = b;
    s.bytes[14] = c;
    s.bytes[15] = d;
    s.v4 = 1;
    return s;
}

// An IPv6 address from its text (for tests and constants), an IPv6 source
// whatever its bytes (::ffff:a.b.c.d too); all zero (::) when the text
// does not parse.
SourceAddr make_addr6(const char* text);

}  // namespace qv
