// The watched network: the addresses the capture filter is built from.
#pragma once

#include <cstdint>
#include <vector>

#include "base/address.h"

namespace qv {

class WatchedNetwork {
  public:
    static WatchedNetwork everything() {
        WatchedNetwork w;
        w.all_ = true;
        return w;
    }
    bool all() const { return all_; }
    bool contains(const SourceAddr& a) const { return all_ && a.v4 <= 1; }

  private:
    bool all_ = false;
};

}  // namespace qv
