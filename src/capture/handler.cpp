#include "capture/handler.h"

#include <cstdio>

#include "table/table.h"

namespace qv {
namespace {

// One query: its dump line, then its count at the packet's own time (a
// replay counts by the capture's clock).
void take_query(const CaptureContext& ctx, const Query& q, time_t now) {
    if (ctx.dump_packets) {
        // Buffered like any standard output, with no flush of its own.
        char line[kNameMax + 128];
        int n = format_dump_line(q, line, sizeof line);
        if (n > 0) fputs(line, stdout);
    }
    if (q.qtype != 0) add_query(q.source.masked(ctx.prefixes.of(q.source)), q.protocol, 1, q.qtype, now);
}

class StreamSink final : public TcpStreams::Sink {
public:
    StreamSink(const CaptureContext& ctx, time_t now) : ctx_(ctx), now_(now) {}
    void query(const Query& q) override { take_query(ctx_, q, now_); }

private:
    const CaptureContext& ctx_;
    time_t now_;
};

}  // namespace

int format_dump_line(const Query& q, char* out, size_t size) {
    return snprintf(out, size, "src: %-15s  proto: %s  qtype: 0x%02x  domain: %.*s\n",
                    to_text(q.source).c_str(), q.protocol == 17 ? "udp" : "tcp",
                    static_cast<unsigned>(q.qtype), static_cast<int>(q.name.size()), q.name.data());
}

void handle_packet(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    auto* ctx = reinterpret_cast<CaptureContext*>(user);
    const auto p = decode_packet(std::span<const uint8_t>(bytes, header->caplen), header->len,
                                 ctx->link);
    if (!p) return;
    const time_t now = header->ts.tv_sec;
    if (p->protocol == 17) {
        NameBuffer name;
        auto q = decode_message(p->payload, name);
        if (!q) return;
        q->source = p->source;
        q->family = p->family;
        q->protocol = p->protocol;
        take_query(*ctx, *q, now);
    } else if (p->dst_port == 53 && ctx->streams != nullptr) {
        // Segments from port 53 carry answers.
        StreamSink sink(*ctx, now);
        ctx->streams->segment(*p, now, sink);
    }
}

}  // namespace qv
