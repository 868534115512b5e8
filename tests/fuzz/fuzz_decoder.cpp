#include <cstddef>
#include <cstdint>
#include <span>

#include "capture/decoder.h"

namespace {

// What an accepted query must be, whatever the bytes: UDP or TCP, a name in
// presentation form (printable ASCII only, within its limit), and an address
// of the family its frame carries (an IPv6 frame gives an IPv6 source,
// whatever its bytes).
void check(const qv::Query& q) {
    if (q.protocol != 6 && q.protocol != 17) __builtin_trap();
    if (q.name.size() > qv::kNameMax) __builtin_trap();
    for (char c : q.name) {
        if (c <= 0x20 || c >= 0x7f) __builtin_trap();
    }
    if (q.family != 4 && q.family != 6) __builtin_trap();
    if (q.source.is_v4() != (q.family == 4)) __builtin_trap();
}

}  // namespace

// First byte: the link type (low 3 bits), whether the wire length exceeds
// the capture, and by how much. The rest: the frame.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static constexpr qv::LinkType kLinks[] = {qv::LinkType::ethernet, qv::LinkType::raw,
                                              qv::LinkType::null, qv::LinkType::linux_sll,
                                              qv::LinkType::linux_sll2};
    const qv::LinkType link = kLinks[(data[0] & 0x0f) % 5];
    std::span<const uint8_t> frame(data + 1, size - 1);
    uint32_t wire = static_cast<uint32_t>(frame.size());
    if (data[0] & 0x10) wire += 1 + (data[0] >> 5) * 97u;  // a snapshot shorter than the frame
    qv::NameBuffer name;
    auto q = qv::decode_frame(frame, wire, link, name);
    if (q) check(*q);
    return 0;
}
