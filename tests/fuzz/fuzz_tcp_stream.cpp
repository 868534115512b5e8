// libFuzzer target for the TCP streams, fed through the capture callback:
// the input is a run of segments on a few connections of a small table,
// with sequence numbers, flags, times and data all chosen by the fuzzer,
// each wrapped in a raw IPv4 frame as a capture would hold it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "frame_path.h"

namespace {

// An IPv4 header and a TCP header of 20 bytes each, then the data; the
// checksums are not read.
size_t build_segment(uint8_t* out, int conn, uint16_t src_port, uint32_t seq, uint8_t flags,
                     std::span<const uint8_t> data) {
    const size_t total = 40 + data.size();
    std::memset(out, 0, 40);
    out[0] = 0x45;
    out[2] = static_cast<uint8_t>(total >> 8);
    out[3] = static_cast<uint8_t>(total);
    out[8] = 64;
    out[9] = 6;
    out[12] = 10;
    out[15] = static_cast<uint8_t>(conn);
    out[16] = 192;
    out[18] = 2;
    out[19] = 53;
    uint8_t* t = out + 20;
    t[0] = static_cast<uint8_t>(src_port >> 8);
    t[1] = static_cast<uint8_t>(src_port);
    t[3] = 53;
    t[4] = static_cast<uint8_t>(seq >> 24);
    t[5] = static_cast<uint8_t>(seq >> 16);
    t[6] = static_cast<uint8_t>(seq >> 8);
    t[7] = static_cast<uint8_t>(seq);
    t[12] = 5 << 4;
    t[13] = flags;
    std::memcpy(out + 40, data.data(), data.size());
    return total;
}

}  // namespace

// Each segment: a header of 8 bytes (flags, connection, time step, sequence
// step as 4 bytes, data length), then that many bytes of data.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qv::fuzz::FramePath& path = qv::fuzz::FramePath::get();
    path.begin(qv::LinkType::raw);
    static uint8_t frame[40 + 255 * 4];
    time_t now = 1700000000;
    uint32_t seq[8] = {};
    size_t at = 0;
    while (size - at >= 8) {
        const uint8_t* h = data + at;
        at += 8;
        const int conn = h[1] & 7;
        now += h[2] & 0x7f;
        seq[conn] += static_cast<uint32_t>(h[3] | h[4] << 8 | h[5] << 16 | h[6] << 24);
        const size_t len = std::min<size_t>(h[7] * 4u, size - at);
        const size_t n = build_segment(frame, conn, static_cast<uint16_t>(40000 + (h[1] >> 3)),
                                       seq[conn], h[0], std::span<const uint8_t>(data + at, len));
        at += len;
        // Now and then a segment longer on the wire than captured: the
        // capture keeps all but the last bytes of its data.
        uint32_t wire = static_cast<uint32_t>(n);
        size_t kept = n;
        if ((h[2] & 0x80) && len > 0) kept = n - std::min<size_t>(h[7], len);
        path.frame(std::span<const uint8_t>(frame, kept), wire, now);
    }
    return 0;
}
