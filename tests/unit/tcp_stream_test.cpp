// DNS over TCP as a stream: a table of segmentations of one connection, each
// checked against the queries it must yield, in order.
#include "capture/tcp_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frames.h"

namespace qv {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kIsn = 1000;
constexpr time_t kT = 1700000000;

// A query message for name.example. (QR clear, one question).
Bytes query(const std::string& name, uint16_t qtype = 1, uint8_t flags_hi = 0x01) {
    Bytes m = {0x12, 0x34, flags_hi, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    Bytes n = test::wire_name({name, "example"});
    m.insert(m.end(), n.begin(), n.end());
    m.insert(m.end(), {static_cast<uint8_t>(qtype >> 8), static_cast<uint8_t>(qtype), 0, 1});
    return m;
}

// A message with its 2-byte length prefix.
Bytes framed(const Bytes& m) {
    Bytes out(m.size() + 2);
    out[0] = static_cast<uint8_t>(m.size() >> 8);
    out[1] = static_cast<uint8_t>(m.size());
    std::copy(m.begin(), m.end(), out.begin() + 2);
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes slice(const Bytes& b, size_t from, size_t to) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(std::min(to, b.size())));
}

struct Seg {
    uint32_t seq;  // the segment's number (a SYN's data starts one after it)
    Bytes data;
    uint8_t flags = 0x18;  // PSH|ACK
    time_t at = kT;
    uint16_t src_port = 40000;
    uint32_t missing = 0;  // bytes of the segment left out of the capture
    bool from_server = false;
};

Seg syn(uint32_t isn = kIsn, Bytes data = {}) { return {isn, std::move(data), kTcpSyn}; }
Seg data_at(const Bytes& stream, size_t from, size_t to, uint32_t isn = kIsn) {
    return {isn + 1 + static_cast<uint32_t>(from), slice(stream, from, to)};
}

// Queries by their names; with answers, each message as "q NAME" or
// "a NAME RCODE SIZE" (an answer goes to the client, from the server).
class Collect final : public TcpStreams::Sink {
public:
    explicit Collect(bool answers = false) : answers_(answers) {}
    void message(const Message& q) override {
        EXPECT_EQ(q.protocol, 6);
        EXPECT_EQ(q.family, 4);
        EXPECT_EQ(q.source, q.answer ? make_addr(192, 0, 2, 53) : make_addr(192, 0, 2, 1));
        if (!answers_) {
            EXPECT_FALSE(q.answer);
            names.push_back(std::string(q.name));
        } else if (q.answer) {
            names.push_back("a " + std::string(q.name) + " " + std::to_string(q.rcode) + " " +
                            std::to_string(q.size));
        } else {
            names.push_back("q " + std::string(q.name));
        }
    }
    bool wants_answers() const override { return answers_; }
    std::vector<std::string> names;

private:
    bool answers_;
};

std::vector<std::string> run(TcpStreams& streams, const std::vector<Seg>& segs, bool answers = false) {
    Collect sink(answers);
    for (const Seg& s : segs) {
        Packet p{};
        p.source = make_addr(192, 0, 2, 1);
        p.dest = make_addr(192, 0, 2, 53);
        p.family = 4;
        p.protocol = 6;
        p.src_port = s.src_port;
        p.dst_port = 53;
        if (s.from_server) {
            std::swap(p.source, p.dest);
            std::swap(p.src_port, p.dst_port);
        }
        p.seq = s.seq;
        p.tcp_flags = s.flags;
        p.payload = s.data;
        p.data_len = static_cast<uint32_t>(s.data.size()) + s.missing;
        streams.segment(p, s.at, sink);
    }
    return sink.names;
}

std::vector<std::string> run(const std::vector<Seg>& segs, bool answers = false) {
    TcpStreams streams(7, 64);
    return run(streams, segs, answers);
}

const Bytes q1 = framed(query("one"));
const Bytes q2 = framed(query("two"));
const Bytes q3 = framed(query("three"));
const Bytes all = cat({q1, q2, q3});
const std::vector<std::string> kAll = {"one.example.", "two.example.", "three.example."};

TEST(TcpStreams, Segmentations) {
    const size_t a = q1.size(), b = q1.size() + q2.size();
    const struct {
        const char* what;
        std::vector<Seg> segs;
        std::vector<std::string> want;
    } cases[] = {
        {"one query per segment", {syn(), data_at(all, 0, a), data_at(all, a, b), data_at(all, b, all.size())}, kAll},
        {"pipelined in one segment", {syn(), data_at(all, 0, all.size())}, kAll},
        {"a length prefix alone", {syn(), data_at(all, 0, 2), data_at(all, 2, all.size())}, kAll},
        {"out of order", {syn(), data_at(all, a, b), data_at(all, 0, a), data_at(all, b, all.size())}, kAll},
        {"last first", {syn(), data_at(all, b, all.size()), data_at(all, 0, b)}, kAll},
        {"retransmitted",
         {syn(), data_at(all, 0, a), data_at(all, 0, a), data_at(all, a, b), data_at(all, 0, b),
          data_at(all, b, all.size()), data_at(all, b, all.size())},
         kAll},
        {"overlapping", {syn(), data_at(all, 0, 30), data_at(all, 10, 60), data_at(all, 50, all.size())}, kAll},
        {"data in the SYN (fast open)", {{kIsn, all, kTcpSyn}}, kAll},
        {"SYN with data, retransmitted", {{kIsn, q1, kTcpSyn}, {kIsn, q1, kTcpSyn}, data_at(all, a, all.size())}, kAll},
        {"a query whose question is cut stays uncounted, the next counts",
         {syn(), data_at(all, 0, a - 5), data_at(all, a - 5, all.size())}, kAll},
        {"a response in the stream is not counted",
         {syn(), {kIsn + 1, cat({framed(query("resp", 1, 0x81)), q2})}}, {"two.example."}},
        {"an empty message, then a query", {syn(), {kIsn + 1, cat({Bytes{0, 0}, q1})}}, {"one.example."}},
        {"a message too short for a header, then a query",
         {syn(), {kIsn + 1, cat({Bytes{0, 3, 1, 2, 3}, q1})}}, {"one.example."}},
        // Picked up mid-stream: only at a segment that starts with a whole query.
        {"mid-stream: starts inside a message", {data_at(all, 5, a + 7), data_at(all, a + 7, all.size())}, {}},
        {"mid-stream: picked up at a whole query", {data_at(all, 5, a), data_at(all, a, all.size())},
         {"two.example.", "three.example."}},
        {"mid-stream: a prefix longer than the segment is no start",
         {data_at(all, a, b - 1), data_at(all, b - 1, all.size())}, {}},
        {"FIN after the last query", {syn(), data_at(all, 0, all.size()), {kIsn + 1 + uint32_t(all.size()), {}, 0x11}}, kAll},
        {"FIN with the data", {syn(), {kIsn + 1, all, 0x19}}, kAll},
        {"RST ends it: the rest is mid-stream", {syn(), data_at(all, 0, a + 3), {kIsn + 1, {}, kTcpRst}, data_at(all, a + 3, all.size())}, {"one.example."}},
        {"idle 60 s is still the same connection",
         {syn(), data_at(all, 0, 5), {kIsn + 6, slice(all, 5, all.size()), 0x18, kT + 60}}, kAll},
        {"idle 61 s is a new one", {syn(), data_at(all, 0, 5), {kIsn + 6, slice(all, 5, all.size()), 0x18, kT + 61}}, {}},
        {"sequence numbers wrap",
         {syn(0xFFFFFFF0u), data_at(all, 0, 20, 0xFFFFFFF0u), data_at(all, 20, all.size(), 0xFFFFFFF0u)}, kAll},
        {"bytes past the capture inside a message body",
         {syn(), {kIsn + 1, cat({Bytes{0x02, 0x00}, query("big"), Bytes(10, 0)}), 0x18, kT, 40000,
                  static_cast<uint32_t>(512 - query("big").size() - 10)},
          {kIsn + 1 + 514, q2}},
         {"big.example.", "two.example."}},
        {"bytes past the capture across a prefix lose the framing until a whole query",
         {syn(), {kIsn + 1, slice(q1, 0, a - 1), 0x18, kT, 40000, 3}, {kIsn + 1 + uint32_t(a) + 2, slice(q2, 2, q2.size())},
          data_at(all, b, all.size())},
         {"three.example."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(run(c.segs), c.want);
    }
}

// The server's side of the same connection: its answers, with the
// client's queries, in one entry.
constexpr uint32_t kServerIsn = 5000;

// An answer to name.example.: QR set, the question, then answer records
// that point back at it (only the head of a message is read).
Bytes answer(const std::string& name, uint8_t rcode, size_t records = 1, uint16_t qdcount = 1) {
    Bytes m = {0x12, 0x34, 0x81, static_cast<uint8_t>(0x80 | rcode), 0, static_cast<uint8_t>(qdcount), 0,
               static_cast<uint8_t>(records), 0, 0, 0, 0};
    if (qdcount != 0) {
        Bytes n = test::wire_name({name, "example"});
        m.insert(m.end(), n.begin(), n.end());
        m.insert(m.end(), {0, 1, 0, 1});
    }
    for (size_t k = 0; k < records; ++k) {
        // NAME (a pointer to the question's), TYPE A, CLASS IN, TTL, RDLENGTH 4, RDATA.
        m.insert(m.end(), {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0x0e, 0x10, 0, 4, 192, 0, 2, static_cast<uint8_t>(k)});
    }
    return m;
}

Seg syn_ack() { return {kServerIsn, {}, 0x12, kT, 40000, 0, true}; }
Seg answer_at(const Bytes& stream, size_t from, size_t to, uint8_t flags = 0x18) {
    return {kServerIsn + 1 + static_cast<uint32_t>(from), slice(stream, from, to), flags, kT, 40000, 0, true};
}

const Bytes a1 = framed(answer("one", 0));
const Bytes a2 = framed(answer("two", 3));
const Bytes a3 = framed(answer("three", 2, 3));
const Bytes answers_all = cat({a1, a2, a3});
std::string a_line(const char* name, int rcode, const Bytes& framed_msg) {
    return std::string("a ") + name + ".example. " + std::to_string(rcode) + " " + std::to_string(framed_msg.size() - 2);
}
const std::vector<std::string> kAnswers = {a_line("one", 0, a1), a_line("two", 3, a2), a_line("three", 2, a3)};

TEST(TcpStreams, BothDirections) {
    const size_t a = a1.size(), b = a1.size() + a2.size();
    const Bytes axfr = framed(answer("zone", 0, 4000));  // about 64 KB: only the head is kept
    const Bytes no_question = framed(answer("", 0, 1, 0));
    const Bytes from_client_after = framed(query("late"));
    const struct {
        const char* what;
        std::vector<Seg> segs;
        std::vector<std::string> want;
    } cases[] = {
        {"query, then its answer", {syn(), syn_ack(), data_at(q1, 0, q1.size()), answer_at(a1, 0, a1.size())},
         {"q one.example.", a_line("one", 0, a1)}},
        {"answers pipelined in one segment", {syn(), syn_ack(), answer_at(answers_all, 0, answers_all.size())}, kAnswers},
        {"answers out of order and retransmitted",
         {syn(), syn_ack(), answer_at(answers_all, a, b), answer_at(answers_all, 0, a), answer_at(answers_all, 0, a),
          answer_at(answers_all, b, answers_all.size()), answer_at(answers_all, a, answers_all.size())},
         kAnswers},
        {"the two directions interleaved, each retransmitted",
         {syn(), syn_ack(), data_at(all, 0, q1.size()), answer_at(answers_all, 0, a), data_at(all, 0, q1.size()),
          answer_at(answers_all, 0, 5), data_at(all, q1.size(), all.size()), answer_at(answers_all, 5, answers_all.size()),
          answer_at(answers_all, a, b)},
         {"q one.example.", a_line("one", 0, a1), "q two.example.", "q three.example.", a_line("two", 3, a2),
          a_line("three", 2, a3)}},
        {"picked up midway at a whole answer", {answer_at(answers_all, 3, a), answer_at(answers_all, a, answers_all.size())},
         {a_line("two", 3, a2), a_line("three", 2, a3)}},
        {"a query is no start for the server's side", {{kServerIsn + 1, q1, 0x18, kT, 40000, 0, true}}, {}},
        {"an answer is no start for the client's side", {{kIsn + 1, a1}}, {}},
        {"an AXFR-sized answer counts once, at its full size",
         {syn(), syn_ack(), answer_at(axfr, 0, 1400), answer_at(axfr, 1400, 30000), answer_at(axfr, 30000, axfr.size())},
         {a_line("zone", 0, axfr)}},
        {"an answer with no question", {syn(), syn_ack(), answer_at(no_question, 0, no_question.size())},
         {"a  0 " + std::to_string(no_question.size() - 2)}},
        {"the client's FIN leaves the server's side open",
         {syn(), syn_ack(), {kIsn + 1, q1, 0x19}, answer_at(a1, 0, a1.size(), 0x19)},
         {"q one.example.", a_line("one", 0, a1)}},
        {"after the server's RST the client's bytes do not count",
         {syn(), syn_ack(), data_at(all, 0, q1.size()), {kServerIsn + 1, {}, kTcpRst, kT, 40000, 0, true},
          {kIsn + 1 + static_cast<uint32_t>(q1.size()), from_client_after}},
         {"q one.example."}},
        {"after the server's RST a new connection on the same ports counts",
         {syn(), syn_ack(), {kServerIsn + 1, {}, kTcpRst, kT, 40000, 0, true}, syn(9000),
          {9001, from_client_after}},
         {"q late.example."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(run(c.segs, true), c.want);
    }
}

TEST(TcpStreams, AnswersSplitAtEveryByte) {
    for (size_t k = 1; k < answers_all.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(run({syn(), syn_ack(), answer_at(answers_all, 0, k), answer_at(answers_all, k, answers_all.size())},
                      true),
                  kAnswers);
        EXPECT_EQ(run({syn(), syn_ack(), answer_at(answers_all, k, answers_all.size()), answer_at(answers_all, 0, k)},
                      true),
                  kAnswers);
    }
}

TEST(TcpStreams, SplitAtEveryByte) {
    for (size_t k = 1; k < all.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(run({syn(), data_at(all, 0, k), data_at(all, k, all.size())}), kAll);
        // And the two halves the other way round.
        EXPECT_EQ(run({syn(), data_at(all, k, all.size()), data_at(all, 0, k)}), kAll);
    }
}

TEST(TcpStreams, ConnectionsAreKeptApart) {
    TcpStreams streams(7, 64);
    std::vector<Seg> segs = {syn(), {kIsn, {}, kTcpSyn, kT, 40001}, data_at(all, 0, 10),
                             {kIsn + 1, slice(all, 0, 7), 0x18, kT, 40001}, data_at(all, 10, all.size()),
                             {kIsn + 8, slice(all, 7, all.size()), 0x18, kT, 40001}};
    auto names = run(streams, segs);
    EXPECT_EQ(names.size(), 6u);
    EXPECT_EQ(streams.connections(), 2);
}

// A connection that gives way to a new one, or ends, gives back the slot of
// the segment it was holding; the new one starts clean.
TEST(TcpStreams, AConnectionThatGoesGivesBackItsHeldSegment) {
    const Seg early = {kIsn + 1 + 10, slice(all, 10, 20), 0x18, kT, 1};
    struct Case {
        const char* name;
        std::vector<Seg> ending;  // after port 1's SYN and early segment
    };
    const Case cases[] = {
        {"taken over", {{kIsn, {}, kTcpSyn, kT + 1, 2}, {kIsn, {}, kTcpSyn, kT + 2, 3}}},
        {"reset", {{kIsn + 1, {}, kTcpRst, kT + 1, 1}}},
        {"finished", {{kIsn + 1, {}, kTcpFin, kT + 1, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TcpStreams streams(7, 2);
        run(streams, {{kIsn, {}, kTcpSyn, kT, 1}, early});
        ASSERT_EQ(streams.held_segments(), 1);
        run(streams, c.ending);
        EXPECT_EQ(streams.held_segments(), 0);
        // Port 1 again: a new stream, nothing of the old one held for it.
        EXPECT_EQ(run(streams, {{kIsn, {}, kTcpSyn, kT + 3, 1},
                                {kIsn + 1, slice(all, 0, 10), 0x18, kT + 3, 1},
                                {kIsn + 1 + 20, slice(all, 20, all.size()), 0x18, kT + 3, 1}}),
                  std::vector<std::string>{});
        EXPECT_EQ(streams.held_segments(), 1);
    }
}

// Whatever comes, the state stays within its bounds: a SYN flood, early
// segments on every connection, absurd length prefixes.
TEST(TcpStreams, BoundedUnderFloods) {
    TcpStreams streams(7, 32);
    Collect sink;
    Packet p{};
    p.source = make_addr(192, 0, 2, 1);
    p.dest = make_addr(192, 0, 2, 53);
    p.family = 4;
    p.protocol = 6;
    p.dst_port = 53;
    const Bytes early(200, 0xab);
    const Bytes absurd = {0xff, 0xff, 1, 2, 3};
    for (uint32_t k = 0; k < 20000; ++k) {
        p.src_port = static_cast<uint16_t>(k);
        p.tcp_flags = kTcpSyn;
        p.seq = k * 7919u;
        p.payload = {};
        p.data_len = 0;
        streams.segment(p, kT + k / 100, sink);
        p.tcp_flags = 0x18;
        p.seq = k * 7919u + 1 + 1000;  // early: held while there is room
        p.payload = early;
        p.data_len = static_cast<uint32_t>(early.size());
        streams.segment(p, kT + k / 100, sink);
        p.seq = k * 7919u + 1;
        p.payload = absurd;
        p.data_len = static_cast<uint32_t>(absurd.size());
        streams.segment(p, kT + k / 100, sink);
        ASSERT_LE(streams.connections(), 32);
        ASSERT_LE(streams.held_segments(), TcpStreams::kHeldSegments);
    }
    EXPECT_EQ(streams.connections(), 32);
    EXPECT_TRUE(sink.names.empty());
    // A new connection still works once the table is full.
    auto names = run(streams, {{kIsn, {}, kTcpSyn, kT + 300, 1}, {kIsn + 1, all, 0x18, kT + 300, 1}});
    EXPECT_EQ(names, kAll);
}

}  // namespace
}  // namespace qv
