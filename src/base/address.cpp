#include "base/address.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace qv {

SourceAddr SourceAddr::masked(int len) const {
    SourceAddr out = *this;
    const bool v4 = is_v4();
    int keep = v4 ? 96 + len : len;  // bits kept of all 128
    if (keep < (v4 ? 96 : 0)) keep = v4 ? 96 : 0;
    if (keep > 128) keep = 128;
    for (int i = keep / 8; i < 16; ++i) {
        const int bits = keep - i * 8;  // bits of this byte to keep, when positive
        out.bytes[static_cast<size_t>(i)] &=
            bits > 0 ? static_cast<uint8_t>(0xff00u >> bits) : uint8_t{0};
    }
    return out;
}

AddrText to_text(const SourceAddr& addr) {
    AddrText out{};
    const char* ok = addr.is_v4() ? inet_ntop(AF_INET, &addr.bytes[12], out.text, sizeof out.text)
                                  : inet_ntop(AF_INET6, addr.bytes.data(), out.text, sizeof out.text);
    if (ok == nullptr) out.text[0] = '\0';
    return out;
}

AddrText to_text(const SourceAddr& addr, const Prefixes& prefixes) {
    AddrText out = to_text(addr);
    const int len = prefixes.of(addr);
    if (len < (addr.is_v4() ? 32 : 128)) {
        const size_t n = strlen(out.text);
        snprintf(out.text + n, sizeof out.text - n, "/%d", len);
    }
    return out;
}

SourceAddr make_addr6(const char* text) {
    SourceAddr a;
    if (inet_pton(AF_INET6, text, a.bytes.data()) != 1) a = SourceAddr{};
    return a;
}

}  // namespace qv
