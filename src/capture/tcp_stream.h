// DNS over TCP as a byte stream: each connection with port 53 followed in
// sequence order, in both directions (the client's queries, and with
// answers asked for the server's answers), each direction cut at its 2-byte
// length prefixes, so that pipelined messages each count, a message split
// over segments counts once when it is complete, and retransmitted or
// overlapping bytes count nothing twice.
//
// Bounded whatever the traffic: at most kConnections connections (the one
// idle longest gives way when all are in use), each direction keeping only
// the head of the message it is reading (enough for the question) and the
// count of the rest, plus a shared pool of kHeldSegments slots that hold one
// segment each which came before its turn. A FIN ends its sender's
// direction, and the connection once each side followed has sent one. A RST
// from either side ends the connection at once, and its entry stays for
// kIdleSeconds so that bytes sent after it are not taken for a new stream
// (it is the first to give way). Without a segment for kIdleSeconds a
// connection is forgotten. Owned by the capture thread: no lock.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>

#include "base/address.h"
#include "base/indexed_map.h"
#include "capture/message.h"

namespace qv {

// Client address and port to server address and port (the port 53 end; a
// segment to port 53 comes from the client).
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
    // Sizing: a connection costs about 640 bytes with its index, so the
    // table takes about 10.5 MB; the held segments 64 x 4 KiB.
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

    // What becomes of each complete, well-formed message: a query from the
    // client, or an answer from the server when answers are wanted; the
    // packet's fields filled in (size from the length prefix), the name in
    // the streams' own buffer.
    class Sink {
    public:
        virtual ~Sink() = default;
        virtual void message(const Message& m) = 0;
        // A complete message that does not count (why: response or
        // malformed).
        virtual void not_counted(Verdict /*why*/) {}
        // Whether the messages need their names written out.
        virtual bool wants_names() const { return true; }
        // Whether the server's side is followed: without, segments from
        // port 53 are not to be fed, but for the server's SYN-ACK.
        virtual bool wants_answers() const { return false; }
        // The client completed the handshake: its ACK acknowledged the
        // server's SYN-ACK (ack == the server's ISN + 1). Once a connection.
        virtual void handshake(const SourceAddr& /*client*/) {}
    };

    // Feeds one segment to or from port 53, seen at time now.
    void segment(const Packet& p, time_t now, Sink& sink);

    int32_t connections() const { return map_.size(); }
    int32_t held_segments() const { return held_in_use_; }

private:
    // One direction of a connection: 0 the client's, 1 the server's.
    struct Stream {
        uint32_t next_seq;     // the next byte of the stream expected
        uint32_t body_seen;    // bytes of the current message read so far
        uint16_t msg_len;      // the current message's length, once its prefix is in
        uint8_t prefix[2];
        uint8_t prefix_have;   // bytes of the length prefix read, 0 to 2
        bool synced;           // next_seq is at a known place in the message framing
        bool ended;            // its FIN came
        int16_t held = -1;     // slot of a segment that came early, or -1
        uint8_t head[kHead];   // the first bytes of the current message
    };
    // How far the handshake came: proof that the client's address is real,
    // as only a client that received the SYN-ACK knows the server's ISN.
    enum Handshake : uint8_t { kNoSynAck, kSynAckSeen, kCompleted };
    struct Conn {
        const ConnKey key;
        uint32_t last_seen;    // seconds, low 32 bits; 1 once ended
        uint32_t ended_at;     // when it ended; 0 while it runs
        uint32_t server_isn;   // the SYN-ACK's sequence number
        Handshake handshake;
        Stream dir[2]{};
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

    // Whether bytes that start a segment hold a complete, well-formed
    // message of the direction (a query from the client, an answer from the
    // server) right after its length prefix: where a stream is picked up.
    bool starts_with_message(std::span<const uint8_t> data, int dir);
    void restart(Stream& st, uint32_t seq, bool synced);
    void drop_held(Stream& st);
    void drop_held(Conn& c);
    // A new connection's entry, fresh; one taken over gives its held
    // segments back.
    int32_t claim(const ConnKey& key, uint32_t t);
    // Ends connection i at a RST: its entry stays, so that late segments on
    // it are ignored, and gives way first.
    void end(int32_t i, uint32_t t);
    // Frees connection i's entry: both sides finished.
    void close(int32_t i, uint32_t t);
    // A FIN from side dir of connection i.
    void finish_direction(int32_t i, int dir, uint32_t t);

    // Reads in-order bytes; false when the framing was lost.
    bool consume(Stream& st, std::span<const uint8_t> data);
    // Bytes of the stream that were not captured: fine within a message
    // body once its question is in, else the framing is lost.
    bool skip_missing(Stream& st, uint32_t n);
    void finish_message(Stream& st);
    // Takes in a segment's bytes from seq on (some may be old), then any
    // held segment whose turn has come; holds a segment that came early.
    void deliver(Stream& st, uint32_t seq, std::span<const uint8_t> data, uint32_t missing);

    Map map_;
    NameBuffer name_;
    Sink* sink_ = nullptr;          // during segment()
    const Packet* packet_ = nullptr;  // during segment()
    int dir_ = 0;                     // during segment(): the packet's direction
    Held* held_;
    int32_t held_in_use_ = 0;
    int16_t free_held_[kHeldSegments];
};

}  // namespace qv
