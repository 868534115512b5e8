#include "capture/handler.h"

#include <cstdio>

#include "table/table.h"

namespace qv {

int format_dump_line(const Query& q, char* out, size_t size) {
    return snprintf(out, size, "src: %-15s  proto: %s  qtype: 0x%02x  domain: %.*s\n",
                    to_text(q.source).c_str(), q.protocol == 17 ? "udp" : "tcp", q.qtype,
                    static_cast<int>(q.name.size()), q.name.data());
}

void handle_packet(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    const auto* ctx = reinterpret_cast<const CaptureContext*>(user);
    NameBuffer name;
    auto q = decode_frame(std::span<const uint8_t>(bytes, header->caplen), header->len, ctx->link,
                          name);
    if (!q) return;
    if (ctx->dump_packets) {
        // Buffered like any standard output, with no flush of its own.
        char line[kNameMax + 128];
        int n = format_dump_line(*q, line, sizeof line);
        if (n > 0) fputs(line, stdout);
    }
    if (q->qtype != 0) {
        // The packet's own time: a replay counts by the capture's clock.
        add_query(q->source.masked(ctx->prefixes.of(q->source)), q->protocol, 1, q->qtype,
                  header->ts.tv_sec);
    }
}

}  // namespace qv
