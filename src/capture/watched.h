// The watched network: the networks the capture filter is built from. A
// query counts when it goes to one of them; with -R an answer counts when it
// comes from one. Asked once per packet, so membership is a masked compare
// per network and allocates nothing.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "base/address.h"

namespace qv {

class WatchedNetwork {
  public:
    // No network at all: contains nothing.
    WatchedNetwork() = default;
    // Every address, of both families (-Q, or a capture file without -A).
    static WatchedNetwork everything();

    // An IPv4 network: the addresses a with (a & mask) == (net & mask), net
    // and mask in network byte order as libpcap gives a device's network.
    // The mask need not be contiguous, as libpcap's "net N mask M" allows.
    void add_v4(uint32_t net, uint32_t mask);
    // An IPv6 network: the addresses that share the first len bits of
    // prefix (len within 0..128).
    void add_v6(const std::array<uint8_t, 16>& prefix, int len);

    bool all() const { return all_; }
    // An IPv4 address is never in an IPv6 network, nor an IPv6 address
    // (::ffff:a.b.c.d included) in an IPv4 one.
    bool contains(const SourceAddr& a) const {
        if (all_) return true;
        for (const Net& n : nets_) {
            if ((a.half(0) & n.mask[0]) == n.want[0] && (a.half(1) & n.mask[1]) == n.want[1] &&
                a.v4 == n.v4)
                return true;
        }
        return false;
    }

  private:
    // The address bits a member must have under the mask, in SourceAddr's
    // two halves, and its family.
    struct Net {
        uint64_t want[2];
        uint64_t mask[2];
        uint8_t v4;
    };
    void add(const SourceAddr& addr, const std::array<uint8_t, 16>& mask);

    bool all_ = false;
    std::vector<Net> nets_;
};

}  // namespace qv
