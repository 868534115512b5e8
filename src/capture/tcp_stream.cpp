#include "capture/tcp_stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/memory.h"

namespace qv {
namespace {

constexpr const char* kLabel = "tcp streams";
// A SYN whose data would start this far behind the stream (or anywhere
// ahead of it) begins a new connection on the same ports, not a
// retransmission.
constexpr uint32_t kRetransmitReach = 1u << 24;

uint32_t seconds_of(time_t t) { return static_cast<uint32_t>(static_cast<uint64_t>(t)); }

}  // namespace

uint32_t hash_key(const SeededHash& h, const ConnKey& k) {
    uint32_t w[10];
    std::memcpy(w, k.src.bytes.data(), 16);
    std::memcpy(w + 4, k.dst.bytes.data(), 16);
    w[8] = static_cast<uint32_t>(k.src_port) << 16 | k.dst_port;
    w[9] = k.src.v4;  // both ends are of the frame's family
    return h.words(w, 10);
}

TcpStreams::TcpStreams(uint64_t seed, int32_t connections) : map_(connections, seed, kLabel) {
    held_ = static_cast<Held*>(alloc_or_die(sizeof(Held) * kHeldSegments, kLabel));
    for (int16_t k = 0; k < kHeldSegments; ++k) free_held_[k] = static_cast<int16_t>(kHeldSegments - 1 - k);
}

TcpStreams::~TcpStreams() { std::free(held_); }

void TcpStreams::segment(const Packet& p, time_t now, Sink& sink) {
    sink_ = &sink;
    packet_ = &p;
    const uint32_t t = seconds_of(now);
    const ConnKey key{p.source, p.dest, p.src_port, p.dst_port};
    int32_t i = map_.find(key);
    if (p.tcp_flags & kTcpRst) {
        if (i >= 0) close(i, t);
        return;
    }
    const bool syn = (p.tcp_flags & kTcpSyn) != 0;
    const uint32_t seq = p.seq + (syn ? 1u : 0u);  // a SYN's data follows its own number
    const std::span<const uint8_t> data = p.payload.first(std::min<size_t>(p.payload.size(), p.data_len));
    const uint32_t missing = p.data_len - static_cast<uint32_t>(data.size());

    if (i >= 0 && t - map_.entry(i).last_seen > kIdleSeconds) {
        restart(map_.entry(i), seq, false);  // idle too long: whatever comes is new
    }
    if (syn) {
        if (i < 0) {
            i = claim(key, t);
            restart(map_.entry(i), seq, true);
        } else {
            Conn& c = map_.entry(i);
            const uint32_t behind = c.next_seq - seq;
            if (!c.synced || behind > kRetransmitReach) restart(c, seq, true);
        }
    } else if (i < 0 || !map_.entry(i).synced) {
        // No stream to follow here yet: pick it up only at a segment that
        // starts with a whole query, or counted bytes could be phantoms.
        if (!starts_with_query(data)) {
            if (i >= 0 && (p.tcp_flags & kTcpFin)) close(i, t);
            return;
        }
        if (i < 0) i = claim(key, t);
        restart(map_.entry(i), seq, true);
    }

    map_.touch(i, t);
    deliver(map_.entry(i), seq, data, missing);
    if (p.tcp_flags & kTcpFin) close(i, t);
}

bool TcpStreams::starts_with_query(std::span<const uint8_t> data) {
    if (data.size() < 2) return false;
    const size_t len = static_cast<size_t>(data[0] << 8 | data[1]);
    if (len > data.size() - 2) return false;
    return decode_message(data.subspan(2, len), name_, nullptr, false).has_value();
}

void TcpStreams::restart(Conn& c, uint32_t seq, bool synced) {
    drop_held(c);
    c.next_seq = seq;
    c.body_seen = 0;
    c.msg_len = 0;
    c.prefix_have = 0;
    c.synced = synced;
}

void TcpStreams::drop_held(Conn& c) {
    if (c.held < 0) return;
    free_held_[kHeldSegments - held_in_use_] = c.held;
    --held_in_use_;
    c.held = -1;
}

int32_t TcpStreams::claim(const ConnKey& key, uint32_t t) {
    return map_.claim(key, t, [this](int32_t, Conn& old) { drop_held(old); }).index;
}

void TcpStreams::close(int32_t i, uint32_t t) {
    drop_held(map_.entry(i));
    map_.release(i, t);
}

void TcpStreams::deliver(Conn& c, uint32_t seq, std::span<const uint8_t> data, uint32_t missing) {
    const uint32_t ahead = seq - c.next_seq;
    if (ahead != 0 && ahead < 0x80000000u) {
        // Early: hold it until the bytes before it come, if there is room.
        if (c.held >= 0 && held_[c.held].seq == seq) return;  // the same again
        if (c.held < 0 && held_in_use_ < kHeldSegments && data.size() <= kHeldBytes) {
            c.held = free_held_[kHeldSegments - 1 - held_in_use_];
            ++held_in_use_;
            Held& h = held_[c.held];
            h.seq = seq;
            h.len = static_cast<uint32_t>(data.size());
            h.missing = missing;
            std::memcpy(h.data, data.data(), data.size());
            return;
        }
        // A gap that cannot be bridged: the framing is lost until a segment
        // starts with a whole query again.
        c.synced = false;
        drop_held(c);
        return;
    }
    for (;;) {
        // Skip what was read before (a retransmission or an overlap).
        const uint32_t old = c.next_seq - seq;
        const uint64_t total = uint64_t{data.size()} + missing;
        if (old < total) {
            if (old < data.size()) {
                data = data.subspan(old);
            } else {
                missing -= old - static_cast<uint32_t>(data.size());
                data = {};
            }
            c.next_seq = seq + static_cast<uint32_t>(total);
            if (!consume(c, data) || (missing != 0 && !skip_missing(c, missing))) {
                c.synced = false;
                drop_held(c);
                return;
            }
        }
        // A held segment whose turn has come.
        if (c.held < 0) return;
        Held& h = held_[c.held];
        const uint32_t h_ahead = h.seq - c.next_seq;
        if (h_ahead != 0 && h_ahead < 0x80000000u) return;
        // Read it from its slot, then give the slot back: nothing else takes
        // a slot while this runs.
        seq = h.seq;
        data = std::span<const uint8_t>(h.data, h.len);
        missing = h.missing;
        drop_held(c);
    }
}

bool TcpStreams::consume(Conn& c, std::span<const uint8_t> data) {
    size_t i = 0;
    while (i < data.size()) {
        if (c.prefix_have < 2) {
            c.prefix[c.prefix_have++] = data[i++];
            if (c.prefix_have == 2) {
                c.msg_len = static_cast<uint16_t>(c.prefix[0] << 8 | c.prefix[1]);
                c.body_seen = 0;
                if (c.msg_len == 0) c.prefix_have = 0;  // an empty message: nothing to read
            }
            continue;
        }
        const size_t n = std::min<size_t>(data.size() - i, c.msg_len - c.body_seen);
        if (c.body_seen < kHead) {
            const size_t keep = std::min<size_t>(n, kHead - c.body_seen);
            std::memcpy(c.head + c.body_seen, data.data() + i, keep);
        }
        c.body_seen += static_cast<uint32_t>(n);
        i += n;
        if (c.body_seen == c.msg_len) finish_message(c);
    }
    return true;
}

bool TcpStreams::skip_missing(Conn& c, uint32_t n) {
    if (c.prefix_have < 2 || n > c.msg_len - c.body_seen) return false;
    // The question must be in: the whole head, or enough of it to read.
    const size_t in = std::min<size_t>(c.body_seen, kHead);
    if (in < std::min<size_t>(c.msg_len, kHead) &&
        !decode_message(std::span<const uint8_t>(c.head, in), name_, nullptr, false)) {
        return false;
    }
    c.body_seen += n;
    if (c.body_seen == c.msg_len) finish_message(c);
    return true;
}

void TcpStreams::finish_message(Conn& c) {
    c.prefix_have = 0;
    Verdict why;
    auto q = decode_message(std::span<const uint8_t>(c.head, std::min<size_t>(c.msg_len, kHead)),
                            name_, &why, sink_->wants_names());
    if (!q) {
        sink_->not_a_query(why);
        return;
    }
    q->source = packet_->source;
    q->family = packet_->family;
    q->protocol = packet_->protocol;
    sink_->query(*q);
}

}  // namespace qv
