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
    // A segment to port 53 is the client's; else it is the server's answer side.
    const int dir = p.dst_port == 53 ? 0 : 1;
    dir_ = dir;
    const ConnKey key = dir == 0 ? ConnKey{p.source, p.dest, p.src_port, p.dst_port}
                                 : ConnKey{p.dest, p.source, p.dst_port, p.src_port};
    int32_t i = map_.find(key);
    const bool syn = (p.tcp_flags & kTcpSyn) != 0;
    if (i >= 0 && map_.entry(i).ended_at != 0) {
        // Ended: late segments are ignored for a while; a SYN starts anew.
        if (!syn && t - map_.entry(i).ended_at <= kIdleSeconds) return;
        Conn& c = map_.entry(i);
        restart(c.dir[0], 0, false);
        restart(c.dir[1], 0, false);
        c.dir[0].ended = c.dir[1].ended = false;
        c.ended_at = 0;
        c.handshake = kNoSynAck;
        map_.touch(i, t);
    }
    if (p.tcp_flags & kTcpRst) {
        if (i >= 0) end(i, t);
        return;
    }
    const uint32_t seq = p.seq + (syn ? 1u : 0u);  // a SYN's data follows its own number
    const std::span<const uint8_t> data = p.payload.first(std::min<size_t>(p.payload.size(), p.data_len));
    const uint32_t missing = p.data_len - static_cast<uint32_t>(data.size());

    if (i >= 0 && t - map_.entry(i).last_seen > kIdleSeconds) {
        // Idle too long: whatever comes is new.
        Conn& c = map_.entry(i);
        restart(c.dir[0], 0, false);
        restart(c.dir[1], 0, false);
        c.dir[0].ended = c.dir[1].ended = false;
        c.handshake = kNoSynAck;
    }
    if (i >= 0 && dir == 0 && (p.tcp_flags & (kTcpAck | kTcpSyn)) == kTcpAck) {
        Conn& c = map_.entry(i);
        if (c.handshake == kSynAckSeen && p.ack == c.server_isn + 1) {
            c.handshake = kCompleted;
            sink.handshake(key.src);
        }
    }
    if (syn) {
        if (i < 0) {
            i = claim(key, t);
            restart(map_.entry(i).dir[dir], seq, true);
        } else {
            Stream& st = map_.entry(i).dir[dir];
            const uint32_t behind = st.next_seq - seq;
            if (!st.synced || behind > kRetransmitReach) {
                restart(st, seq, true);
                st.ended = false;
                // The client's new SYN: a new connection, its handshake to come.
                if (dir == 0) map_.entry(i).handshake = kNoSynAck;
            }
        }
        Conn& c = map_.entry(i);
        if (dir == 1 && (p.tcp_flags & kTcpAck) &&
            (c.handshake != kCompleted || c.server_isn != p.seq)) {
            c.server_isn = p.seq;
            c.handshake = kSynAckSeen;
        }
        // Without the answers followed only the SYN-ACK is fed here.
        if (dir == 1 && !sink.wants_answers()) {
            map_.touch(i, t);
            return;
        }
    } else if (i < 0 || !map_.entry(i).dir[dir].synced) {
        // No stream to follow here yet: pick it up only at a segment that
        // starts with a whole message, or counted bytes could be phantoms.
        if (i >= 0 && map_.entry(i).dir[dir].ended) return;
        if (!starts_with_message(data, dir)) {
            if (i >= 0 && (p.tcp_flags & kTcpFin)) finish_direction(i, dir, t);
            return;
        }
        if (i < 0) i = claim(key, t);
        restart(map_.entry(i).dir[dir], seq, true);
    }

    Conn& c = map_.entry(i);
    map_.touch(i, t);
    if (c.dir[dir].ended) return;  // a retransmission after its FIN
    deliver(c.dir[dir], seq, data, missing);
    if (p.tcp_flags & kTcpFin) finish_direction(i, dir, t);
}

void TcpStreams::finish_direction(int32_t i, int dir, uint32_t t) {
    Conn& c = map_.entry(i);
    drop_held(c.dir[dir]);
    c.dir[dir].ended = true;
    // Once every side followed has finished, the entry is free again.
    if (c.dir[1 - dir].ended || !sink_->wants_answers()) close(i, t);
}

void TcpStreams::close(int32_t i, uint32_t t) {
    drop_held(map_.entry(i));
    map_.release(i, t);
}

bool TcpStreams::starts_with_message(std::span<const uint8_t> data, int dir) {
    if (data.size() < 2) return false;
    const size_t len = static_cast<size_t>(data[0] << 8 | data[1]);
    if (len > data.size() - 2) return false;
    const auto m = decode_message(data.subspan(2, len), name_, nullptr, false, dir == 1);
    return m.has_value() && m->answer == (dir == 1);
}

void TcpStreams::restart(Stream& st, uint32_t seq, bool synced) {
    drop_held(st);
    st.next_seq = seq;
    st.body_seen = 0;
    st.msg_len = 0;
    st.prefix_have = 0;
    st.synced = synced;
}

void TcpStreams::drop_held(Stream& st) {
    if (st.held < 0) return;
    free_held_[kHeldSegments - held_in_use_] = st.held;
    --held_in_use_;
    st.held = -1;
}

void TcpStreams::drop_held(Conn& c) {
    drop_held(c.dir[0]);
    drop_held(c.dir[1]);
}

int32_t TcpStreams::claim(const ConnKey& key, uint32_t t) {
    return map_.claim(key, t, [this](int32_t, Conn& old) { drop_held(old); }).index;
}

void TcpStreams::end(int32_t i, uint32_t t) {
    Conn& c = map_.entry(i);
    drop_held(c);
    c.dir[0].synced = c.dir[1].synced = false;
    c.dir[0].ended = c.dir[1].ended = true;
    c.ended_at = t == 0 ? 1 : t;
    // The oldest stamp there is: an ended connection gives way first.
    map_.touch(i, 1);
}

void TcpStreams::deliver(Stream& c, uint32_t seq, std::span<const uint8_t> data, uint32_t missing) {
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

bool TcpStreams::consume(Stream& c, std::span<const uint8_t> data) {
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

bool TcpStreams::skip_missing(Stream& c, uint32_t n) {
    if (c.prefix_have < 2 || n > c.msg_len - c.body_seen) return false;
    // The question must be in: the whole head, or enough of it to read.
    const size_t in = std::min<size_t>(c.body_seen, kHead);
    if (in < std::min<size_t>(c.msg_len, kHead) &&
        !decode_message(std::span<const uint8_t>(c.head, in), name_, nullptr, false, dir_ == 1)) {
        return false;
    }
    c.body_seen += n;
    if (c.body_seen == c.msg_len) finish_message(c);
    return true;
}

void TcpStreams::finish_message(Stream& c) {
    c.prefix_have = 0;
    Verdict why;
    const bool answers = dir_ == 1;
    Message m;
    const bool read = decode_message(std::span<const uint8_t>(c.head, std::min<size_t>(c.msg_len, kHead)), name_,
                                     m, &why, sink_->wants_names(), answers);
    // Each side counts only its own kind of message.
    if (!read || m.answer != answers) {
        sink_->not_counted(read ? Verdict::response : why);
        return;
    }
    m.source = packet_->source;
    m.dest = packet_->dest;
    m.family = packet_->family;
    m.protocol = packet_->protocol;
    m.src_port = packet_->src_port;
    m.size = c.msg_len;
    sink_->message(m);
}

}  // namespace qv
