#include "base/address.h"

#include <arpa/inet.h>

#include <cstring>

namespace qv {

AddrText to_text(SourceAddr addr) {
    AddrText out{};
    in_addr in{};
    in.s_addr = addr.raw;
    if (inet_ntop(AF_INET, &in, out.text, sizeof out.text) == nullptr) out.text[0] = '\0';
    return out;
}

}  // namespace qv
