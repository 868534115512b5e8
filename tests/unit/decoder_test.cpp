// The frame decoder against the acceptance rules, one table of frames.
#include <gtest/gtest.h>

#include <pcap/dlt.h>

#include <functional>
#include <string>
#include <vector>

#include "capture/decoder.h"
#include "capture/handler.h"
#include "frames.h"

namespace qv {
namespace {

using test::build_frame;
using test::FrameSpec;

struct Expect {
    bool accepted;
    uint8_t protocol = 17;
    uint8_t qtype = 0;
    std::string name;
};

struct FrameCase {
    const char* what;
    std::function<void(FrameSpec&)> shape;
    // Cuts or grows the built frame; wire_len follows the frame unless set.
    std::function<void(std::vector<uint8_t>&, uint32_t&)> bend;
    Expect expect;
};

std::string repeat_label_name(int labels, int len) {
    std::string s;
    for (int i = 0; i < labels; ++i) s += std::string(len, 'x') + ".";
    return s;
}

const std::vector<FrameCase>& cases() {
    static const std::vector<FrameCase> table = {
        {"udp query of type A", [](FrameSpec&) {}, nullptr, {true, 17, 1, "abc.de."}},
        {"root name of type NS",
         [](FrameSpec& s) {
             s.labels.clear();
             s.qtype = 2;
         },
         nullptr, {true, 17, 2, ""}},
        {"capitals, digits, '-' and '_' as they stand",
         [](FrameSpec& s) { s.labels = {"_Srv-1", "Ex9"}; }, nullptr, {true, 17, 1, "_Srv-1.Ex9."}},
        {"asterisk", [](FrameSpec& s) { s.labels = {"a*b"}; }, nullptr, {false, 0, 0, ""}},
        {"space", [](FrameSpec& s) { s.labels = {"a b"}; }, nullptr, {false, 0, 0, ""}},
        {"full stop byte in a label", [](FrameSpec& s) { s.labels = {"a.b"}; }, nullptr, {false, 0, 0, ""}},
        {"byte above 0x7f", [](FrameSpec& s) { s.labels = {"a\xe9"}; }, nullptr, {false, 0, 0, ""}},
        {"compression pointer as second label",
         [](FrameSpec& s) { s.raw_name = {3, 'a', 'b', 'c', 0xc0, 0x0c}; }, nullptr, {false, 0, 0, ""}},
        {"QTYPE 257 counts as 1", [](FrameSpec& s) { s.qtype = 257; }, nullptr, {true, 17, 1, "abc.de."}},
        {"QTYPE 256 gives type byte 0", [](FrameSpec& s) { s.qtype = 256; }, nullptr,
         {true, 17, 0, "abc.de."}},
        {"QTYPE 0", [](FrameSpec& s) { s.qtype = 0; }, nullptr, {true, 17, 0, "abc.de."}},
        {"QTYPE AAAA", [](FrameSpec& s) { s.qtype = 28; }, nullptr, {true, 17, 28, "abc.de."}},
        {"QDCOUNT 2 decodes the first", [](FrameSpec& s) { s.qdcount = 2; }, nullptr,
         {true, 17, 1, "abc.de."}},
        {"QDCOUNT 0", [](FrameSpec& s) { s.qdcount = 0; }, nullptr, {false, 0, 0, ""}},
        {"response", [](FrameSpec& s) { s.dns_flags_hi = 0x81; }, nullptr, {false, 0, 0, ""}},
        {"any opcode is a query", [](FrameSpec& s) { s.dns_flags_hi = 0x78; }, nullptr,
         {true, 17, 1, "abc.de."}},
        {"first fragment (MF, offset 0)", [](FrameSpec& s) { s.frag = 0x2000; }, nullptr,
         {true, 17, 1, "abc.de."}},
        {"DF and reserved bits", [](FrameSpec& s) { s.frag = 0xc000; }, nullptr,
         {true, 17, 1, "abc.de."}},
        {"later fragment", [](FrameSpec& s) { s.frag = 0x0001; }, nullptr, {false, 0, 0, ""}},
        {"IPv6 version", [](FrameSpec& s) { s.ip_version = 6; }, nullptr, {false, 0, 0, ""}},
        {"header length 4", [](FrameSpec& s) { s.ihl = 4; }, nullptr, {false, 0, 0, ""}},
        {"header with options is honoured", [](FrameSpec& s) { s.ihl = 7; }, nullptr,
         {true, 17, 1, "abc.de."}},
        {"tcp with options and PSH",
         [](FrameSpec& s) {
             s.protocol = 6;
             s.tcp_doff = 8;
         },
         nullptr, {true, 6, 1, "abc.de."}},
        {"tcp without PSH",
         [](FrameSpec& s) {
             s.protocol = 6;
             s.tcp_flags = 0x10;
         },
         nullptr, {false, 0, 0, ""}},
        {"tcp data offset below 5",
         [](FrameSpec& s) {
             s.protocol = 6;
             s.tcp_doff = 5;
         },
         [](std::vector<uint8_t>& f, uint32_t&) { f[14 + 20 + 12] = 4 << 4; }, {false, 0, 0, ""}},
        {"other protocol", [](FrameSpec& s) { s.protocol = 1; }, nullptr, {false, 0, 0, ""}},
        {"total length equal to the wire's", [](FrameSpec&) {}, nullptr, {true, 17, 1, "abc.de."}},
        {"total length one more than the wire's", [](FrameSpec& s) { s.total_len_delta = 1; },
         nullptr, {false, 0, 0, ""}},
        {"ethernet fill after the datagram", [](FrameSpec& s) { s.pad_to = 120; }, nullptr,
         {true, 17, 1, "abc.de."}},
        {"wire length 33",
         [](FrameSpec&) {},
         [](std::vector<uint8_t>& f, uint32_t& wire) {
             f.resize(33);
             wire = 33;
         },
         {false, 0, 0, ""}},
        {"udp frame of 54 captured bytes",
         [](FrameSpec&) {},
         [](std::vector<uint8_t>& f, uint32_t&) { f.resize(54); }, {false, 0, 0, ""}},
        // Name "abc" + zero byte at 54+4=58: type byte at 60; needs 62 captured.
        {"name's zero byte with three more captured",
         [](FrameSpec& s) { s.labels = {"abc"}; },
         [](std::vector<uint8_t>& f, uint32_t&) { f.resize(62); }, {true, 17, 1, "abc."}},
        {"name's zero byte with two more captured",
         [](FrameSpec& s) { s.labels = {"abc"}; },
         [](std::vector<uint8_t>& f, uint32_t&) { f.resize(61); }, {false, 0, 0, ""}},
        {"label running past the capture",
         [](FrameSpec& s) { s.raw_name = {40, 'a', 'b', 'c'}; },
         [](std::vector<uint8_t>& f, uint32_t&) { f.resize(58); }, {false, 0, 0, ""}},
        {"name ending on the last captured byte",
         [](FrameSpec& s) { s.labels = {"abc"}; },
         [](std::vector<uint8_t>& f, uint32_t&) { f.resize(58); }, {false, 0, 0, ""}},
        {"name longer than 1025 characters is cut",
         [](FrameSpec& s) { s.labels.assign(20, std::string(60, 'x')); }, nullptr,
         {true, 17, 1, repeat_label_name(20, 60).substr(0, 1025)}},
    };
    return table;
}

TEST(Decoder, AcceptanceRules) {
    for (const auto& c : cases()) {
        SCOPED_TRACE(c.what);
        FrameSpec layout;
        c.shape(layout);
        std::vector<uint8_t> frame = build_frame(layout);
        uint32_t wire = static_cast<uint32_t>(frame.size());
        if (c.bend) c.bend(frame, wire);
        NameBuffer name;
        auto q = decode_frame(frame, wire, layout.link_len, name);
        ASSERT_EQ(q.has_value(), c.expect.accepted);
        if (!q) continue;
        EXPECT_EQ(q->source, make_addr(10, 1, 2, 3));
        EXPECT_EQ(q->protocol, c.expect.protocol);
        EXPECT_EQ(q->qtype, c.expect.qtype);
        EXPECT_EQ(std::string(q->name), c.expect.name);
    }
}

TEST(Decoder, EveryLinkTypeMovesTheOffsets) {
    const struct {
        int dlt;
        int len;
    } links[] = {{DLT_EN10MB, 14}, {DLT_RAW, 0}, {DLT_NULL, 4}, {DLT_LOOP, 4},
                 {DLT_LINUX_SLL, 16}, {DLT_LINUX_SLL2, 20}};
    for (const auto& l : links) {
        SCOPED_TRACE(l.dlt);
        ASSERT_EQ(link_header_length(l.dlt), l.len);
        for (uint8_t proto : {uint8_t{17}, uint8_t{6}}) {
            FrameSpec layout;
            layout.link_len = l.len;
            layout.protocol = proto;
            auto frame = build_frame(layout);
            NameBuffer name;
            auto q = decode_frame(frame, static_cast<uint32_t>(frame.size()), l.len, name);
            ASSERT_TRUE(q.has_value());
            EXPECT_EQ(q->protocol, proto);
            EXPECT_EQ(std::string(q->name), "abc.de.");
        }
    }
    EXPECT_EQ(link_header_length(DLT_IEEE802_11), -1);
}

TEST(Decoder, NeverReadsPastTheCapture) {
    // Every cut of a few frames, in a buffer of exactly the cut's size (the
    // sanitizer builds turn a stray read into a failure).
    std::vector<FrameSpec> layouts(3);
    layouts[1].protocol = 6;
    layouts[2].labels.assign(30, std::string(50, 'q'));
    for (const auto& layout : layouts) {
        auto full = build_frame(layout);
        for (size_t cut = 0; cut <= full.size(); ++cut) {
            std::vector<uint8_t> part(full.begin(), full.begin() + static_cast<long>(cut));
            NameBuffer name;
            auto q = decode_frame(part, static_cast<uint32_t>(full.size()), 14, name);
            if (q) {
                EXPECT_GE(cut, test::name_offset(layout) + 4);
            }
        }
    }
}

TEST(Decoder, ValidCharacters) {
    for (int c = 0; c < 256; ++c) {
        bool expected = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_';
        EXPECT_EQ(valid_dns_char(static_cast<uint8_t>(c)), expected) << c;
    }
}

TEST(Decoder, DumpLine) {
    const struct {
        Query q;
        const char* line;
    } cases[] = {
        {{make_addr(10, 1, 2, 3), 17, 1, "abc.de."},
         "src: 10.1.2.3         proto: udp  qtype: 0x01  domain: abc.de.\n"},
        {{make_addr(198, 51, 100, 200), 6, 28, ""},
         "src: 198.51.100.200   proto: tcp  qtype: 0x1c  domain: \n"},
    };
    for (const auto& c : cases) {
        char buf[256];
        format_dump_line(c.q, buf, sizeof buf);
        EXPECT_STREQ(buf, c.line);
    }
}

}  // namespace
}  // namespace qv
