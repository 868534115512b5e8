#include "capture/handler.h"

#include <cstdio>

#include "table/table.h"

namespace qv {
namespace {

// One query: its dump line, then its count at the packet's own time (a
// replay counts by the capture's clock). Returns what became of it.
FrameResult take_query(const CaptureContext& ctx, const Query& q, time_t now) {
    if (ctx.dump_packets) {
        // Buffered like any standard output, with no flush of its own.
        char line[kNameMax + 128];
        int n = format_dump_line(q, line, sizeof line);
        if (n > 0) fputs(line, stdout);
    }
    if (q.qtype == 0) return FrameResult::type0;
    const SourceAddr source = q.source.masked(ctx.prefixes.of(q.source));
    if (ctx.zones != nullptr) {
        // The zone is worked out here, outside the table's lock.
        ZoneText zone;
        ctx.zones->zone_of(q.name, zone);
        const ZoneKey key = ZoneKey::of(zone.view());
        const ZoneQuery zq{&key, zone.name_hash};
        add_query(source, q.protocol, 1, q.qtype, now, &zq);
    } else {
        add_query(source, q.protocol, 1, q.qtype, now);
    }
    if (ctx.stats != nullptr) ctx.stats->query(q.family, q.protocol, q.qtype);
    return FrameResult::counted;
}

// Only a dump line and a zone read a query's name.
bool wants_names_of(const CaptureContext& ctx) { return ctx.dump_packets || ctx.zones != nullptr; }

FrameResult result_of(Verdict why) {
    switch (why) {
        case Verdict::response:
            return FrameResult::response;
        case Verdict::malformed:
            return FrameResult::malformed;
        default:
            return FrameResult::other;
    }
}

// A segment's messages; the segment as a frame is what the best of them was.
class StreamSink final : public TcpStreams::Sink {
public:
    StreamSink(const CaptureContext& ctx, time_t now) : ctx_(ctx), now_(now) {}
    void query(const Query& q) override { note(take_query(ctx_, q, now_)); }
    void not_a_query(Verdict why) override { note(result_of(why)); }
    bool wants_names() const override { return wants_names_of(ctx_); }
    // Counted, else type 0, else a response, else malformed; a segment that
    // completes no message is "other".
    FrameResult result() const { return result_; }

private:
    void note(FrameResult r) {
        if (static_cast<int>(r) < static_cast<int>(result_)) result_ = r;
    }
    const CaptureContext& ctx_;
    time_t now_;
    FrameResult result_ = FrameResult::other;
};

FrameResult take_frame(CaptureContext& ctx, const pcap_pkthdr* header, const u_char* bytes) {
    Verdict why;
    const auto p = decode_packet(std::span<const uint8_t>(bytes, header->caplen), header->len,
                                 ctx.link, &why);
    if (!p) return result_of(why);
    const time_t now = header->ts.tv_sec;
    if (p->protocol == 17) {
        NameBuffer name;
        auto q = decode_message(p->payload, name, &why, wants_names_of(ctx));
        if (!q) return result_of(why);
        q->source = p->source;
        q->family = p->family;
        q->protocol = p->protocol;
        return take_query(ctx, *q, now);
    }
    // Segments from port 53 carry answers.
    if (p->dst_port != 53) return FrameResult::response;
    if (ctx.streams == nullptr) return FrameResult::other;
    StreamSink sink(ctx, now);
    ctx.streams->segment(*p, now, sink);
    return sink.result();
}

}  // namespace

int format_dump_line(const Query& q, char* out, size_t size) {
    return snprintf(out, size, "src: %-15s  proto: %s  qtype: 0x%02x  domain: %.*s\n",
                    to_text(q.source).c_str(), q.protocol == 17 ? "udp" : "tcp",
                    static_cast<unsigned>(q.qtype), static_cast<int>(q.name.size()), q.name.data());
}

void handle_packet(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    auto* ctx = reinterpret_cast<CaptureContext*>(user);
    const FrameResult r = take_frame(*ctx, header, bytes);
    if (ctx->stats != nullptr) ctx->stats->frame(r);
}

}  // namespace qv
