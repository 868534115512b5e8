#include "capture/watched.h"

#include <cstring>

namespace qv {

WatchedNetwork WatchedNetwork::everything() {
    WatchedNetwork w;
    w.all_ = true;
    return w;
}

void WatchedNetwork::add(const SourceAddr& addr, const std::array<uint8_t, 16>& mask) {
    // The mask in the same two native-order halves as SourceAddr::half.
    SourceAddr m;
    m.bytes = mask;
    Net n{};
    for (int i = 0; i < 2; ++i) {
        n.mask[i] = m.half(i);
        n.want[i] = addr.half(i) & n.mask[i];
    }
    n.v4 = addr.v4;
    nets_.push_back(n);
}

void WatchedNetwork::add_v4(uint32_t net, uint32_t mask) {
    uint8_t net_bytes[4];
    std::memcpy(net_bytes, &net, 4);
    // The whole IPv4-mapped prefix is compared too.
    std::array<uint8_t, 16> m{};
    m.fill(0xff);
    std::memcpy(&m[12], &mask, 4);
    add(SourceAddr::from_v4(net_bytes), m);
}

void WatchedNetwork::add_v6(const std::array<uint8_t, 16>& prefix, int len) {
    std::array<uint8_t, 16> m{};
    for (int i = 0; i < 16; ++i) {
        const int bits = len - 8 * i;  // bits of this byte in the prefix, when positive
        m[static_cast<size_t>(i)] = bits >= 8  ? uint8_t{0xff}
                                    : bits > 0 ? static_cast<uint8_t>(0xff00u >> bits)
                                               : 0;
    }
    add(SourceAddr::from_v6(prefix.data()), m);
}

}  // namespace qv
