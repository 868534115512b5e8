// What both fuzz targets share: the capture callback as the program runs
// it for every frame (decoding, TCP streams, zones, dump lines, the table
// and the capture counts), with every dump line written to a buffer and
// checked, and the counts checked against each other after each frame.
#pragma once

#include <pcap/pcap.h>
#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>

#include "base/capture_stats.h"
#include "capture/handler.h"
#include "capture/tcp_stream.h"
#include "capture/zone.h"
#include "table/table.h"

namespace qv::fuzz {

class FramePath {
public:
    // A small table and stream table, so that takeovers happen often.
    static constexpr int32_t kBuckets = 8;
    static constexpr int32_t kZones = 8;
    static constexpr int32_t kConnections = 4;

    static FramePath& get() {
        static FramePath path;
        return path;
    }

    // Starts an input: fresh streams (an input is a capture of its own).
    void begin(LinkType link) {
        delete streams_;
        streams_ = new TcpStreams(1, kConnections);
        ctx_.streams = streams_;
        ctx_.link = link;
    }

    // One frame of wire_len bytes on the wire, data.size() of them captured.
    void frame(std::span<const uint8_t> data, uint32_t wire_len, time_t when) {
        pcap_pkthdr h{};
        h.ts.tv_sec = when;
        h.caplen = static_cast<bpf_u_int32>(data.size());
        h.len = wire_len;
        const uint64_t frames_before = frames();
        const uint64_t queries_before = queries();
        const uint64_t counted_before = counted();
        const uint64_t answers_before = answers();
        const uint64_t answered_before = answered();
        rewind(out_);
        handle_packet(reinterpret_cast<u_char*>(&ctx_), &h, data.data());
        fflush(out_);
        const long written = ftell(out_);
        if (written < 0 || static_cast<size_t>(written) >= sizeof dump_) __builtin_trap();
        // One class for each frame.
        if (frames() != frames_before + 1) __builtin_trap();
        // Every query the capture counts is counted in the table, once.
        const uint64_t new_queries = queries() - queries_before;
        if (counted() - counted_before != new_queries) __builtin_trap();
        // And so is every answer.
        if (answered() - answered_before != answers() - answers_before) __builtin_trap();
        // And has its dump line; type-0 queries have one and no count.
        if (check_dump_lines(std::string_view(dump_, static_cast<size_t>(written))) != new_queries) {
            __builtin_trap();
        }
        if (streams_->connections() > kConnections) __builtin_trap();
        if (streams_->held_segments() > TcpStreams::kHeldSegments) __builtin_trap();
    }

private:
    FramePath() : zones_(7) {
        ctx_.table = &table_;
        ctx_.watched = &everywhere_;
        ctx_.dump_packets = true;
        ctx_.zones = &zones_;
        ctx_.stats = &stats_;
        out_ = fmemopen(dump_, sizeof dump_, "w");
        if (out_ == nullptr) __builtin_trap();
        stdout = out_;  // the dump lines go to standard output
    }

    uint64_t frames() const {
        uint64_t n = 0;
        for (int r = 0; r < kFrameResults; ++r) n += stats_.frames(static_cast<FrameResult>(r));
        return n;
    }
    uint64_t queries() const {
        return stats_.queries(false, false) + stats_.queries(false, true) +
               stats_.queries(true, false) + stats_.queries(true, true);
    }
    uint64_t answers() const {
        uint64_t n = 0;
        for (int v6 = 0; v6 < 2; ++v6)
            for (int tcp = 0; tcp < 2; ++tcp)
                for (int row = 0; row < kAnswerCodeRows; ++row) n += stats_.answers(v6 != 0, tcp != 0, row);
        return n;
    }
    uint64_t answered() { return table_.lock()->answer_totals().answers(); }
    uint64_t counted() {
        Bucket& t = table_.lock()->totals();
        return static_cast<uint64_t>(t.tcp_count) + t.udp_count;
    }

    // Each line: "src: ADDRESS  proto: udp|tcp  qtype: 0xHH  domain: NAME\n",
    // ADDRESS one inet_pton reads back, NAME printable ASCII within its
    // limit. Returns the lines of types other than 0.
    static uint64_t check_dump_lines(std::string_view text) {
        uint64_t typed = 0;
        while (!text.empty()) {
            const size_t end = text.find('\n');
            if (end == std::string_view::npos) __builtin_trap();
            check_line(text.substr(0, end), typed);
            text.remove_prefix(end + 1);
        }
        return typed;
    }
    static void check_line(std::string_view line, uint64_t& typed) {
        if (line.substr(0, 5) != "src: ") __builtin_trap();
        const size_t gap = line.find(' ', 5);
        if (gap == std::string_view::npos || gap - 5 >= 64) __builtin_trap();
        char addr[64] = {};
        std::memcpy(addr, line.data() + 5, gap - 5);
        uint8_t scratch[16];
        if (inet_pton(AF_INET, addr, scratch) != 1 && inet_pton(AF_INET6, addr, scratch) != 1) {
            __builtin_trap();
        }
        size_t at = line.find("  proto: ", gap);
        if (at == std::string_view::npos) __builtin_trap();
        at += 9;
        const std::string_view proto = line.substr(at, 3);
        if (proto != "udp" && proto != "tcp") __builtin_trap();
        at += 3;
        if (line.substr(at, 11) != "  qtype: 0x") __builtin_trap();
        at += 11;
        const size_t domain = line.find("  domain: ", at);
        if (domain == std::string_view::npos || domain - at < 2 || domain - at > 4) __builtin_trap();
        if (line.substr(at, domain - at) != "00") ++typed;
        const std::string_view name = line.substr(domain + 10);
        if (name.size() > kNameMax) __builtin_trap();
        for (char c : name) {
            if (c <= 0x20 || c >= 0x7f) __builtin_trap();
        }
    }

    // Answers too: they go through the same path as queries.
    LockGuarded<Table> table_{kBuckets, uint64_t{3}, kZones, true};
    CaptureContext ctx_;
    const WatchedNetwork everywhere_ = WatchedNetwork::everything();
    CaptureStats stats_;
    ZoneFinder zones_;
    TcpStreams* streams_ = nullptr;
    FILE* out_ = nullptr;
    char dump_[64 * 1024];
};

}  // namespace qv::fuzz
