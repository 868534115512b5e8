// libFuzzer target for the TCP streams, fed through the capture callback:
// the input is a run of segments on a few connections of a small table, in
// either direction (the server's side carries answers, which count),
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
size_t build_segment(uint8_t* out, int conn, uint16_t client_port, bool from_server, uint32_t seq,
                     uint8_t flags, std::span<const uint8_t> data) {
    const size_t total = 40 + data.size();
    std::memset(out, 0, 40);
    out[0] = 0x45;
    out[2] = static_cast<uint8_t>(total >> 8);
    out[3] = static_cast<uint8_t>(total);
    out[8] = 64;
    out[9] = 6;
    // The client 10.0.0.CONN, the server 192.0.2.53.
    uint8_t* client = out + (from_server ? 16 : 12);
    uint8_t* server = out + (from_server ? 12 : 16);
    client[0] = 10;
    client[3] = static_cast<uint8_t>(conn);
    server[0] = 192;
    server[2] = 2;
    server[3] = 53;
    uint8_t* t = out + 20;
    uint8_t* cport = t + (from_server ? 2 : 0);
    uint8_t* sport = t + (from_server ? 0 : 2);
    cport[0] = static_cast<uint8_t>(client_port >> 8);
    cport[1] = static_cast<uint8_t>(client_port);
    sport[1] = 53;
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

// Each segment: a header of 8 bytes (flags, connection and direction, time
// step, sequence step as 4 bytes, data length), then that many bytes of
// data. The second byte: the connection in bits 0-2, the client's port in
// bits 3-6, the server's side in bit 7.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qv::fuzz::FramePath& path = qv::fuzz::FramePath::get();
    path.begin(qv::LinkType::raw);
    static uint8_t frame[40 + 255 * 4];
    time_t now = 1700000000;
    uint32_t seq[8][2] = {};
    size_t at = 0;
    while (size - at >= 8) {
        const uint8_t* h = data + at;
        at += 8;
        const int conn = h[1] & 7;
        const int dir = h[1] >> 7;
        now += h[2] & 0x7f;
        seq[conn][dir] += static_cast<uint32_t>(h[3] | h[4] << 8 | h[5] << 16 | h[6] << 24);
        const size_t len = std::min<size_t>(h[7] * 4u, size - at);
        const size_t n = build_segment(frame, conn, static_cast<uint16_t>(40000 + (h[1] >> 3 & 15)), dir != 0,
                                       seq[conn][dir], h[0], std::span<const uint8_t>(data + at, len));
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
