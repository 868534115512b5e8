// DNS over TCP as a byte stream: each connection to port 53 followed in
// sequence order and cut at its 2-byte length prefixes, so that pipelined
// queries each count, a query split over segments counts once when it is
// complete, and retransmitted or overlapping bytes count nothing twice.
//
// Bounded whatever the traffic: at most kConnections connections (the one
// idle longest gives way when all are in use), each keeping only the head of
// the message it is reading (enough for the question) and the count of the
// rest, plus a shared pool of kHeldSegments slots that hold one segment
// each which came before its turn. A connection ends at FIN or RST, or after
// kIdleSeconds without a segment. Owned by the capture thread: no lock.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>

#include "base/address.h"
#include "base/indexed_map.h"
#include "capture/message.h"

namespace qv {

// Client address and port to server address and port.
struct ConnKey {
    SourceAddr src;
    SourceAddr dst;
    uint16_t src_port;
    uint16_t dst_port;
    friend bool operator==(const ConnKey&, const ConnKey&) = default;
};
uint32_t hash_key(const SeededHash& h, const ConnKey& k);

class TcpStreams {
public:
    // Sizing: a connection costs about 340 bytes with its index, so the
    // table takes about 5.6 MB; the held segments 64 x 4 KiB.
    static constexpr int32_t kConnections = 16384;
    static constexpr int32_t kHeldSegments = 64;
    static constexpr size_t kHeldBytes = 4096;
    static constexpr uint32_t kIdleSeconds = 60;
    // The head of a message kept: the header, a 255-byte name, QTYPE and
    // QCLASS.
    static constexpr size_t kHead = 12 + 255 + 4;

    explicit TcpStreams(uint64_t seed, int32_t connections = kConnections);
    ~TcpStreams();
    TcpStreams(const TcpStreams&) = delete;
    TcpStreams& operator=(const TcpStreams&) = delete;

    // What becomes of each complete, well-formed query message: source,
    // family and protocol filled in, the name in the streams' own buffer.
    class Sink {
    public:
        virtual ~Sink() = default;
        virtual void query(const Query& q) = 0;
        // A complete message that is no well-formed query (why: response
        // or malformed).
        virtual void not_a_query(Verdict /*why*/) {}
        // Whether the queries need their names written out.
        virtual bool wants_names() const { return true; }
    };

    // Feeds one segment sent to port 53, seen at time now.
    void segment(const Packet& p, time_t now, Sink& sink);

    int32_t connections() const { return map_.size(); }
    int32_t held_segments() const { return held_in_use_; }

private:
    struct Conn {
        const ConnKey key;
        uint32_t next_seq;     // the next byte of the stream expected
        uint32_t last_seen;    // seconds, low 32 bits
        uint32_t body_seen;    // bytes of the current message read so far
        uint16_t msg_len;      // the current message's length, once its prefix is in
        uint8_t prefix[2];
        uint8_t prefix_have;   // bytes of the length prefix read, 0 to 2
        bool synced;           // next_seq is at a known place in the message framing
        int16_t held = -1;     // slot of a segment that came early, or -1
        uint8_t head[kHead];   // the first bytes of the current message
    };
    struct Held {
        uint32_t seq;
        uint32_t len;      // bytes captured and kept
        uint32_t missing;  // bytes of the segment that were not captured
        uint8_t data[kHeldBytes];
    };
    struct MapRules {
        static constexpr auto key = &Conn::key;
        static constexpr auto stamp = &Conn::last_seen;
    };
    using Map = IndexedMap<Conn, MapRules>;

    // Whether bytes that start a segment hold a complete, well-formed query
    // right after its length prefix: where a stream is picked up.
    bool starts_with_query(std::span<const uint8_t> data);
    void restart(Conn& c, uint32_t seq, bool synced);
    void drop_held(Conn& c);
    // A new connection's entry, fresh; one taken over, or ended, gives its
    // held segment back.
    int32_t claim(const ConnKey& key, uint32_t t);
    void close(int32_t i, uint32_t t);

    // Reads in-order bytes; false when the framing was lost.
    bool consume(Conn& c, std::span<const uint8_t> data);
    // Bytes of the stream that were not captured: fine within a message
    // body once its question is in, else the framing is lost.
    bool skip_missing(Conn& c, uint32_t n);
    void finish_message(Conn& c);
    // Takes in a segment's bytes from seq on (some may be old), then any
    // held segment whose turn has come; holds a segment that came early.
    void deliver(Conn& c, uint32_t seq, std::span<const uint8_t> data, uint32_t missing);

    Map map_;
    NameBuffer name_;
    Sink* sink_ = nullptr;          // during segment()
    const Packet* packet_ = nullptr;  // during segment()
    Held* held_;
    int32_t held_in_use_ = 0;
    int16_t free_held_[kHeldSegments];
};

}  // namespace qv
