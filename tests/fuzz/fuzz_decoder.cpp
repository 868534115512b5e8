#include <cstddef>
#include <cstdint>
#include <span>

#include "capture/decoder.h"

// First byte: the link type's header length (one of those the program reads)
// and whether the wire length exceeds the capture. The rest: the frame.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static constexpr int kLinkLens[] = {14, 0, 4, 16, 20};
    const int link_len = kLinkLens[(data[0] & 0x0f) % 5];
    std::span<const uint8_t> frame(data + 1, size - 1);
    uint32_t wire = static_cast<uint32_t>(frame.size());
    if (data[0] & 0x10) wire += 1 + (data[0] >> 5) * 97u;  // a snapshot shorter than the frame
    qv::NameBuffer name;
    auto q = qv::decode_frame(frame, wire, link_len, name);
    if (q && q->name.size() > qv::kNameMax) __builtin_trap();
    return 0;
}
