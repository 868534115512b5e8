#include "capture/handler.h"

#include <cstdio>

namespace qv {
namespace {

bool counts_answers(const CaptureContext& ctx) { return ctx.watched != nullptr; }

void count(const CaptureContext& ctx, const Observation& o) {
    if (ctx.held != nullptr) {
        ctx.held->add(o);
    } else {
        ctx.table->lock()->add(o);
    }
}

// One message: a query's dump line, then its count at the packet's own time
// (a replay counts by the capture's clock). Returns what became of it.
FrameResult take_message(const CaptureContext& ctx, const Message& m, time_t now) {
    const WatchedNetwork* w = ctx.watched;
    if (m.answer) {
        // Only the watched servers' own answers count.
        if (w == nullptr || m.src_port != 53 || !w->contains(m.source)) return FrameResult::response;
    } else {
        // With -R the filter also passes the watched hosts' own queries out.
        if (w != nullptr && !w->contains(m.dest)) return FrameResult::other;
        if (ctx.dump_packets) {
            // Buffered like any standard output, with no flush of its own.
            char line[kNameMax + 128];
            int n = format_dump_line(m, line, sizeof line);
            if (n > 0) fputs(line, stdout);
        }
        if (m.qtype == 0) return FrameResult::type0;
    }
    // An answer counts for the client it goes to.
    const SourceAddr& client = m.answer ? m.dest : m.source;
    Observation o{.who = client.masked(ctx.prefixes.of(client)),
                  .time = now,
                  .protocol = m.protocol,
                  .answer = m.answer,
                  .truncated = m.truncated,
                  .rcode = m.rcode,
                  .qtype = m.qtype,
                  .size = m.size,
                  .zone = nullptr};
    if (ctx.zones != nullptr && m.has_question) {
        // The zone is worked out here, outside the table's lock.
        ZoneText zone;
        ctx.zones->zone_of(m.name, zone);
        const ZoneKey key = ZoneKey::of(zone.view());
        const ZoneQuery zq{&key, zone.name_hash};
        o.zone = &zq;
        count(ctx, o);
    } else {
        count(ctx, o);
    }
    if (ctx.stats != nullptr) {
        if (m.answer) {
            ctx.stats->answer(m.family, m.protocol, m.rcode, m.truncated, m.size);
        } else {
            ctx.stats->query(m.family, m.protocol, m.qtype);
            if (counts_answers(ctx)) ctx.stats->query_bytes(m.family, m.protocol, m.size);
        }
    }
    return m.answer ? FrameResult::answer : FrameResult::counted;
}

// Only a dump line and a zone read a message's name.
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
    void message(const Message& m) override { note(take_message(ctx_, m, now_)); }
    void not_counted(Verdict why) override { note(result_of(why)); }
    bool wants_names() const override { return wants_names_of(ctx_); }
    bool wants_answers() const override { return counts_answers(ctx_); }
    void handshake(const SourceAddr& client) override {
        Observation o{.who = client.masked(ctx_.prefixes.of(client)),
                      .time = now_,
                      .protocol = 6,
                      .answer = false,
                      .truncated = false,
                      .rcode = 0,
                      .qtype = 0,
                      .size = 0,
                      .zone = nullptr,
                      .handshake = true};
        count(ctx_, o);
    }
    // A segment that completes no message is "other".
    FrameResult result() const { return result_; }

private:
    void note(FrameResult r) {
        if (frame_rank(r) < frame_rank(result_)) result_ = r;
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
        Message m;
        if (!decode_message(p->payload, name, m, &why, wants_names_of(ctx), counts_answers(ctx)))
            return result_of(why);
        m.source = p->source;
        m.dest = p->dest;
        m.family = p->family;
        m.protocol = p->protocol;
        m.src_port = p->src_port;
        m.size = p->data_len;
        return take_message(ctx, m, now);
    }
    // Without -R, segments from port 53 carry answers that count nowhere;
    // a SYN-ACK among them (with -Q) still tells the streams the server's
    // ISN, which the client's ACK must acknowledge for a verified source.
    if (p->dst_port != 53 && !counts_answers(ctx)) {
        if (ctx.streams != nullptr && (p->tcp_flags & (kTcpSyn | kTcpAck)) == (kTcpSyn | kTcpAck)) {
            StreamSink sink(ctx, now);
            ctx.streams->segment(*p, now, sink);
        }
        return FrameResult::response;
    }
    if (ctx.streams == nullptr) return FrameResult::other;
    StreamSink sink(ctx, now);
    ctx.streams->segment(*p, now, sink);
    return sink.result();
}

}  // namespace

int format_dump_line(const Message& q, char* out, size_t size) {
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
