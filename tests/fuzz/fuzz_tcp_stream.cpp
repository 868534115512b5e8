// libFuzzer target for the TCP stream reassembler: the input is a run of
// segments on a few connections of a small table, with sequence numbers,
// flags, times and data all chosen by the fuzzer. Asserts that the state
// never grows past its bounds and that every query it yields is a
// well-formed one.
#include <cstddef>
#include <cstdint>
#include <span>

#include "capture/tcp_stream.h"

namespace {

constexpr int32_t kTable = 4;

class Check final : public qv::TcpStreams::Sink {
public:
    void query(const qv::Query& q) override {
        if (q.protocol != 6 || q.family != 4) __builtin_trap();
        if (q.name.size() > qv::kNameMax) __builtin_trap();
        // Presentation form: printable ASCII only.
        for (char c : q.name) {
            if (c <= 0x20 || c >= 0x7f) __builtin_trap();
        }
    }
};

}  // namespace

// Each segment: a header of 8 bytes (flags, connection, time step, sequence
// step as 4 bytes, data length), then that many bytes of data.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qv::TcpStreams* streams = nullptr;
    delete streams;
    streams = new qv::TcpStreams(1, kTable);
    Check sink;
    qv::Packet p{};
    p.dest = qv::make_addr(192, 0, 2, 53);
    p.family = 4;
    p.protocol = 6;
    p.dst_port = 53;
    time_t now = 1700000000;
    uint32_t seq[8] = {};
    size_t at = 0;
    while (size - at >= 8) {
        const uint8_t* h = data + at;
        at += 8;
        const int conn = h[1] & 7;
        p.source = qv::make_addr(10, 0, 0, static_cast<uint8_t>(conn));
        p.src_port = static_cast<uint16_t>(40000 + (h[1] >> 3));
        p.tcp_flags = h[0];
        now += h[2] & 0x7f;
        seq[conn] += static_cast<uint32_t>(h[3] | h[4] << 8 | h[5] << 16 | h[6] << 24);
        p.seq = seq[conn];
        const size_t len = std::min<size_t>(h[7] * 4u, size - at);
        p.payload = std::span<const uint8_t>(data + at, len);
        // Now and then a segment longer on the wire than captured.
        p.data_len = static_cast<uint32_t>(len) + ((h[2] & 0x80) ? h[7] : 0u);
        at += len;
        streams->segment(p, now, sink);
        if (streams->connections() > kTable) __builtin_trap();
        if (streams->held_segments() > qv::TcpStreams::kHeldSegments) __builtin_trap();
    }
    return 0;
}
