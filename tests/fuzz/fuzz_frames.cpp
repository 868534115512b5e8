// libFuzzer target for the path every captured frame takes: the capture
// callback, from the link layer through the TCP streams to the dump line
// and the count. The input is a short capture of frames on one link.
#include <cstddef>
#include <cstdint>
#include <span>

#include "frame_path.h"

// First byte: the link type (low 4 bits). Then frames, each a header of 3
// bytes (the captured length, 2 bytes big-endian; then the seconds since the
// frame before in the low 4 bits, and whether the wire length exceeds the
// capture and by how much in the high 4), then the frame.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static constexpr qv::LinkType kLinks[] = {qv::LinkType::ethernet, qv::LinkType::raw,
                                              qv::LinkType::null, qv::LinkType::linux_sll,
                                              qv::LinkType::linux_sll2};
    qv::fuzz::FramePath& path = qv::fuzz::FramePath::get();
    path.begin(kLinks[(data[0] & 0x0f) % 5]);
    time_t when = 1700000000;
    size_t at = 1;
    while (size - at >= 3) {
        const uint8_t* h = data + at;
        at += 3;
        const size_t len = std::min<size_t>(static_cast<size_t>(h[0] << 8 | h[1]), size - at);
        std::span<const uint8_t> frame(data + at, len);
        at += len;
        uint32_t wire = static_cast<uint32_t>(len);
        if (h[2] & 0x10) wire += 1 + (h[2] >> 5) * 97u;  // a snapshot shorter than the frame
        when += h[2] & 0x0f;
        path.frame(frame, wire, when);
    }
    return 0;
}
