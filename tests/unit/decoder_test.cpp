// The frame decoder against the acceptance rules, one table of frames.
#include <gtest/gtest.h>

#include <pcap/dlt.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "capture/handler.h"
#include "capture/message.h"
#include "frames.h"

namespace qv {
namespace {

using test::build_frame;
using test::FrameSpec;

struct Expect {
    bool accepted;
    uint8_t protocol = 17;
    uint16_t qtype = 0;
    std::string name;
};

struct FrameCase {
    const char* what;
    std::function<void(FrameSpec&)> shape;
    // Cuts or grows the built frame; wire_len follows the frame unless set.
    std::function<void(std::vector<uint8_t>&, uint32_t&)> bend;
    Expect expect;
};

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
        // Any byte in a label, in presentation form.
        {"asterisk", [](FrameSpec& s) { s.labels = {"*", "example"}; }, nullptr,
         {true, 17, 1, "*.example."}},
        {"classless reverse name", [](FrameSpec& s) { s.labels = {"0/25", "2", "0", "192", "in-addr", "arpa"}; },
         nullptr, {true, 17, 1, "0/25.2.0.192.in-addr.arpa."}},
        {"space", [](FrameSpec& s) { s.labels = {"a b"}; }, nullptr, {true, 17, 1, "a\\032b."}},
        {"full stop and backslash in a label", [](FrameSpec& s) { s.labels = {"a.b\\c"}; }, nullptr,
         {true, 17, 1, "a\\.b\\\\c."}},
        {"UTF-8 bytes", [](FrameSpec& s) { s.labels = {"caf\xc3\xa9"}; }, nullptr,
         {true, 17, 1, "caf\\195\\169."}},
        {"zero byte inside a label", [](FrameSpec& s) { s.raw_name = {2, 'a', 0, 0}; }, nullptr,
         {true, 17, 1, "a\\000."}},
        {"compression pointer as second label",
         [](FrameSpec& s) { s.raw_name = {3, 'a', 'b', 'c', 0xc0, 0x0c}; }, nullptr, {false, 0, 0, ""}},
        {"compression pointer as the name", [](FrameSpec& s) { s.raw_name = {0xc0, 0x0c}; }, nullptr,
         {false, 0, 0, ""}},
        {"label length 64 (an extended label type)",
         [](FrameSpec& s) { s.labels = {std::string(64, 'x')}; }, nullptr, {false, 0, 0, ""}},
        {"label length 0x80", [](FrameSpec& s) { s.raw_name = {0x80, 'a', 0}; }, nullptr,
         {false, 0, 0, ""}},
        {"labels of 63 bytes, 255 in all",
         [](FrameSpec& s) { s.labels = {std::string(63, 'a'), std::string(63, 'b'), std::string(63, 'c'), std::string(61, 'd')}; },
         nullptr, {true, 17, 1, std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." + std::string(61, 'd') + "."}},
        {"256 bytes in all",
         [](FrameSpec& s) { s.labels = {std::string(63, 'a'), std::string(63, 'b'), std::string(63, 'c'), std::string(62, 'd')}; },
         nullptr, {false, 0, 0, ""}},
        // The full 16-bit QTYPE.
        {"QTYPE 257 (CAA)", [](FrameSpec& s) { s.qtype = 257; }, nullptr, {true, 17, 257, "abc.de."}},
        {"QTYPE 256 (URI)", [](FrameSpec& s) { s.qtype = 256; }, nullptr, {true, 17, 256, "abc.de."}},
        {"QTYPE 65535", [](FrameSpec& s) { s.qtype = 65535; }, nullptr, {true, 17, 65535, "abc.de."}},
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
        {"version 6 after the IPv4 EtherType",
         [](FrameSpec&) {},
         [](std::vector<uint8_t>& f, uint32_t&) { f[14] = 0x65; }, {false, 0, 0, ""}},
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
         nullptr, {true, 6, 1, "abc.de."}},
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
        {"source port 53 is as good as destination port 53",
         [](FrameSpec& s) {
             s.src_port = 53;
             s.dst_port = 40000;
         },
         nullptr, {true, 17, 1, "abc.de."}},
        {"no port 53 at either end", [](FrameSpec& s) { s.dst_port = 5353; }, nullptr,
         {false, 0, 0, ""}},
        {"tcp without port 53",
         [](FrameSpec& s) {
             s.protocol = 6;
             s.dst_port = 853;
         },
         nullptr, {false, 0, 0, ""}},
        // VLAN tags, any of the three TPIDs, in any order, at most two.
        {"one 802.1Q tag", [](FrameSpec& s) { s.vlan_tpids = {0x8100}; }, nullptr,
         {true, 17, 1, "abc.de."}},
        {"one 0x9100 tag", [](FrameSpec& s) { s.vlan_tpids = {0x9100}; }, nullptr,
         {true, 17, 1, "abc.de."}},
        {"two tags, 802.1ad outer", [](FrameSpec& s) { s.vlan_tpids = {0x88A8, 0x8100}; },
         nullptr, {true, 17, 1, "abc.de."}},
        {"two tags, 802.1Q outer", [](FrameSpec& s) { s.vlan_tpids = {0x8100, 0x9100}; },
         nullptr, {true, 17, 1, "abc.de."}},
        {"three tags", [](FrameSpec& s) { s.vlan_tpids = {0x88A8, 0x8100, 0x8100}; }, nullptr,
         {false, 0, 0, ""}},
        {"tagged IPv6 tcp",
         [](FrameSpec& s) {
             s.vlan_tpids = {0x8100, 0x8100};
             s.ip_version = 6;
             s.protocol = 6;
         },
         nullptr, {true, 6, 1, "abc.de."}},
        {"ARP EtherType",
         [](FrameSpec&) {},
         [](std::vector<uint8_t>& f, uint32_t&) { f[12] = 0x08, f[13] = 0x06; }, {false, 0, 0, ""}},
        {"other EtherType after a tag",
         [](FrameSpec& s) { s.vlan_tpids = {0x8100}; },
         [](std::vector<uint8_t>& f, uint32_t&) { f[16] = 0x88, f[17] = 0xcc; }, {false, 0, 0, ""}},
        // IPv6 and its extension headers.
        {"IPv6 udp", [](FrameSpec& s) { s.ip_version = 6; }, nullptr, {true, 17, 1, "abc.de."}},
        {"IPv6 tcp with options",
         [](FrameSpec& s) {
             s.ip_version = 6;
             s.protocol = 6;
             s.tcp_doff = 8;
         },
         nullptr, {true, 6, 1, "abc.de."}},
        {"IPv6 tcp without PSH",
         [](FrameSpec& s) {
             s.ip_version = 6;
             s.protocol = 6;
             s.tcp_flags = 0x10;
         },
         nullptr, {true, 6, 1, "abc.de."}},
        {"IPv6 response",
         [](FrameSpec& s) {
             s.ip_version = 6;
             s.dns_flags_hi = 0x81;
         },
         nullptr, {false, 0, 0, ""}},
        {"version 4 after the IPv6 EtherType",
         [](FrameSpec& s) { s.ip_version = 6; },
         [](std::vector<uint8_t>& f, uint32_t&) { f[14] = 0x40; }, {false, 0, 0, ""}},
        {"IPv6 payload length equal to the wire's", [](FrameSpec& s) { s.ip_version = 6; },
         nullptr, {true, 17, 1, "abc.de."}},
        {"IPv6 payload length one more than the wire's",
         [](FrameSpec& s) {
             s.ip_version = 6;
             s.total_len_delta = 1;
         },
         nullptr, {false, 0, 0, ""}},
        {"IPv6 with ethernet fill after it",
         [](FrameSpec& s) {
             s.ip_version = 6;
             s.pad_to = 160;
         },
         nullptr, {true, 17, 1, "abc.de."}},
        {"IPv6 jumbogram (payload length 0)",
         [](FrameSpec& s) { s.ip_version = 6; },
         [](std::vector<uint8_t>& f, uint32_t&) { f[18] = 0, f[19] = 0; }, {false, 0, 0, ""}},
        {"Hop-by-Hop", [](FrameSpec& s) { s.ip_version = 6, s.ext_headers = {{0}}; }, nullptr,
         {true, 17, 1, "abc.de."}},
        {"Hop-by-Hop of 24 bytes",
         [](FrameSpec& s) { s.ip_version = 6, s.ext_headers = {{0, 0, 2}}; }, nullptr,
         {true, 17, 1, "abc.de."}},
        {"Routing", [](FrameSpec& s) { s.ip_version = 6, s.ext_headers = {{43}}; }, nullptr,
         {true, 17, 1, "abc.de."}},
        {"Destination Options", [](FrameSpec& s) { s.ip_version = 6, s.ext_headers = {{60}}; },
         nullptr, {true, 17, 1, "abc.de."}},
        {"Authentication of 12 bytes",
         [](FrameSpec& s) { s.ip_version = 6, s.ext_headers = {{51, 0, 1}}; }, nullptr,
         {true, 17, 1, "abc.de."}},
        {"first fragment (offset 0, more to come)",
         [](FrameSpec& s) { s.ip_version = 6, s.ext_headers = {{44, 0x0001}}; }, nullptr,
         {true, 17, 1, "abc.de."}},
        {"later fragment",
         [](FrameSpec& s) { s.ip_version = 6, s.ext_headers = {{44, 0x0008}}; }, nullptr,
         {false, 0, 0, ""}},
        {"ESP", [](FrameSpec& s) { s.ip_version = 6, s.ext_headers = {{50}}; }, nullptr,
         {false, 0, 0, ""}},
        {"No Next Header", [](FrameSpec& s) { s.ip_version = 6, s.ext_headers = {{59}}; }, nullptr,
         {false, 0, 0, ""}},
        {"ICMPv6", [](FrameSpec& s) { s.ip_version = 6, s.protocol = 58; }, nullptr,
         {false, 0, 0, ""}},
        {"eight extension headers",
         [](FrameSpec& s) {
             s.ip_version = 6;
             s.ext_headers = {{0}, {60}, {43}, {44}, {51}, {60}, {43}, {60}};
         },
         nullptr, {true, 17, 1, "abc.de."}},
        {"nine extension headers",
         [](FrameSpec& s) {
             s.ip_version = 6;
             s.ext_headers = {{0}, {60}, {43}, {44}, {51}, {60}, {43}, {60}, {60}};
         },
         nullptr, {false, 0, 0, ""}},
        {"extension headers before another port",
         [](FrameSpec& s) {
             s.ip_version = 6;
             s.ext_headers = {{60}, {43}};
             s.dst_port = 5353;
         },
         nullptr, {false, 0, 0, ""}},
        {"extension header running past the capture",
         [](FrameSpec& s) { s.ip_version = 6, s.ext_headers = {{60, 0, 255}}; },
         [](std::vector<uint8_t>& f, uint32_t& wire) {
             f.resize(14 + 40 + 100);
             wire = 14 + 40 + 2048;
             f[18] = 0x07, f[19] = 0xd0;  // payload length 2000 fits the wire
         },
         {false, 0, 0, ""}},
        {"name longer than 255 bytes",
         [](FrameSpec& s) { s.labels.assign(20, std::string(60, 'x')); }, nullptr,
         {false, 0, 0, ""}},
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
        auto q = test::decode_one(frame, wire, test::link_of(layout.link_len), name);
        ASSERT_EQ(q.has_value(), c.expect.accepted);
        if (!q) continue;
        if (layout.ip_version == 6) {
            EXPECT_EQ(q->source, make_addr6("2001:db8:1:2::3"));
            EXPECT_EQ(q->family, 6);
        } else {
            EXPECT_EQ(q->source, make_addr(10, 1, 2, 3));
            EXPECT_EQ(q->family, 4);
        }
        EXPECT_EQ(q->protocol, c.expect.protocol);
        EXPECT_EQ(q->qtype, c.expect.qtype);
        EXPECT_EQ(std::string(q->name), c.expect.name);
    }
}

TEST(Decoder, EveryLinkTypeCarriesBothFamilies) {
    const struct {
        int dlt;
        int len;
        std::vector<uint16_t> tags;
        uint32_t null_family;
        bool big_endian;
    } links[] = {
        {DLT_EN10MB, 14, {}, 0, false},
        {DLT_EN10MB, 14, {0x8100}, 0, false},
        {DLT_RAW, 0, {}, 0, false},
        {DLT_NULL, 4, {}, 0, false},
        {DLT_LOOP, 4, {}, 0, true},
        {DLT_LINUX_SLL, 16, {}, 0, false},
        {DLT_LINUX_SLL, 16, {0x8100}, 0, false},
        {DLT_LINUX_SLL2, 20, {}, 0, false},
        {DLT_LINUX_SLL2, 20, {0x8100, 0x8100}, 0, false},
    };
    for (const auto& l : links) {
        ASSERT_EQ(link_type_of(l.dlt), test::link_of(l.len));
        for (uint8_t version : {uint8_t{4}, uint8_t{6}}) {
            for (uint8_t proto : {uint8_t{17}, uint8_t{6}}) {
                SCOPED_TRACE(testing::Message() << "dlt " << l.dlt << " tags " << l.tags.size()
                                                << " IPv" << int{version} << " proto "
                                                << int{proto});
                FrameSpec layout;
                layout.link_len = l.len;
                layout.vlan_tpids = l.tags;
                layout.null_big_endian = l.big_endian;
                layout.ip_version = version;
                layout.protocol = proto;
                auto frame = build_frame(layout);
                NameBuffer name;
                auto q = test::decode_one(frame, static_cast<uint32_t>(frame.size()),
                                          *link_type_of(l.dlt), name);
                ASSERT_TRUE(q.has_value());
                EXPECT_EQ(q->family, version);
                EXPECT_EQ(q->protocol, proto);
                EXPECT_EQ(std::string(q->name), "abc.de.");
            }
        }
    }
    EXPECT_FALSE(link_type_of(DLT_IEEE802_11).has_value());
}

TEST(Decoder, NullLoopFamilies) {
    // The values BSD systems use for IPv6, in either byte order; others drop.
    const struct {
        uint32_t family;
        uint8_t version;
        bool accepted;
    } cases[] = {{2, 4, true}, {10, 6, true}, {24, 6, true}, {28, 6, true}, {30, 6, true},
                 {10, 4, false}, {2, 6, false}, {7, 4, false}, {0, 4, false}};
    for (const auto& c : cases) {
        for (bool big : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.family << (big ? " big-endian" : ""));
            FrameSpec layout;
            layout.link_len = 4;
            layout.ip_version = c.version;
            layout.null_family = c.family;
            layout.null_big_endian = big;
            auto frame = build_frame(layout);
            if (c.family == 0) memset(frame.data(), 0, 4);
            NameBuffer name;
            auto q =
                test::decode_one(frame, static_cast<uint32_t>(frame.size()), LinkType::null, name);
            EXPECT_EQ(q.has_value(), c.accepted);
        }
    }
}

// Reads a name in presentation form back into its labels' bytes.
std::vector<std::string> unescape(std::string_view text) {
    std::vector<std::string> labels(1);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '.') {
            labels.emplace_back();
        } else if (text[i] == '\\' && i + 1 < text.size() && isdigit(static_cast<unsigned char>(text[i + 1]))) {
            labels.back() += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 3))));
            i += 3;
        } else if (text[i] == '\\') {
            labels.back() += text[++i];
        } else {
            labels.back() += text[i];
        }
    }
    labels.pop_back();  // after the final dot
    return labels;
}

TEST(Decoder, EveryByteValueInALabel) {
    for (int c = 0; c < 256; ++c) {
        SCOPED_TRACE(c);
        FrameSpec layout;
        layout.labels = {std::string("x") + static_cast<char>(c) + "y", "example"};
        auto frame = build_frame(layout);
        NameBuffer name;
        auto q =
            test::decode_one(frame, static_cast<uint32_t>(frame.size()), LinkType::ethernet, name);
        ASSERT_TRUE(q.has_value());
        EXPECT_EQ(unescape(q->name), layout.labels);
        // Only printable ASCII in the text, and nothing but the label
        // separators as bare dots.
        for (char ch : q->name) EXPECT_TRUE(ch > 0x20 && ch < 0x7f) << int{ch};
        const bool plain = (c > 0x20 && c < 0x7f && c != '.' && c != '\\');
        EXPECT_EQ(q->name.size(), std::string("x?y.example.").size() + (plain ? 0 : (c == '.' || c == '\\') ? 1 : 3));
    }
    // Some spelled out.
    const struct {
        uint8_t c;
        const char* text;
    } spots[] = {{'a', "xay.example."}, {'_', "x_y.example."}, {'*', "x*y.example."},
                 {'/', "x/y.example."}, {' ', "x\\032y.example."}, {'.', "x\\.y.example."},
                 {'\\', "x\\\\y.example."}, {0, "x\\000y.example."}, {0x7f, "x\\127y.example."},
                 {0xff, "x\\255y.example."}};
    for (const auto& spot : spots) {
        FrameSpec layout;
        layout.labels = {std::string("x") + static_cast<char>(spot.c) + "y", "example"};
        auto frame = build_frame(layout);
        NameBuffer name;
        auto q =
            test::decode_one(frame, static_cast<uint32_t>(frame.size()), LinkType::ethernet, name);
        ASSERT_TRUE(q.has_value());
        EXPECT_EQ(std::string(q->name), spot.text);
    }
}

// Without the text the same rules hold: a name is checked, not written.
TEST(Decoder, NameRulesHoldWithoutTheText) {
    for (const auto& c : cases()) {
        SCOPED_TRACE(c.what);
        FrameSpec layout;
        c.shape(layout);
        std::vector<uint8_t> frame = build_frame(layout);
        uint32_t wire = static_cast<uint32_t>(frame.size());
        if (c.bend) c.bend(frame, wire);
        const auto p = decode_packet(frame, wire, test::link_of(layout.link_len));
        if (!p || p->protocol != 17) continue;
        NameBuffer with, without;
        const auto a = decode_message(p->payload, with);
        const auto b = decode_message(p->payload, without, nullptr, false);
        ASSERT_EQ(a.has_value(), b.has_value());
        if (!b) continue;
        EXPECT_TRUE(b->name.empty());
        EXPECT_EQ(a->qtype, b->qtype);
    }
}

// Letters, digits, '-' and '_' (the characters of host names) stand in the
// text as they are, in any place of a label.
TEST(Decoder, HostNameCharactersStandAsTheyAre) {
    for (int c = 0; c < 256; ++c) {
        const bool host = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!host) continue;
        SCOPED_TRACE(c);
        const std::string ch(1, static_cast<char>(c));
        FrameSpec layout;
        layout.labels = {ch, ch + "x" + ch, "example"};
        const auto frame = build_frame(layout);
        NameBuffer name;
        const auto q =
            test::decode_one(frame, static_cast<uint32_t>(frame.size()), LinkType::ethernet, name);
        ASSERT_TRUE(q.has_value());
        EXPECT_EQ(std::string(q->name), ch + "." + ch + "x" + ch + ".example.");
    }
}

// A DNS message: the header's fields, then the bytes after it.
std::vector<uint8_t> message(uint16_t id, uint16_t flags, uint16_t qdcount,
                             std::vector<uint8_t> rest) {
    // Built in place: g++ 12 -O2 warns falsely (-Warray-bounds) on an
    // insert after a 12-byte initializer list.
    const uint8_t header[12] = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id),
                                static_cast<uint8_t>(flags >> 8), static_cast<uint8_t>(flags),
                                static_cast<uint8_t>(qdcount >> 8), static_cast<uint8_t>(qdcount),
                                0, 2, 0, 0, 0, 1};
    std::vector<uint8_t> m(sizeof header + rest.size());
    std::copy(std::begin(header), std::end(header), m.begin());
    std::copy(rest.begin(), rest.end(), m.begin() + sizeof header);
    return m;
}

std::vector<uint8_t> question(const std::vector<std::string>& labels, std::vector<uint8_t> tail) {
    std::vector<uint8_t> q = test::wire_name(labels);
    q.insert(q.end(), tail.begin(), tail.end());
    return q;
}

// Both directions through the one reader: the header of any message with a
// byte after it, the question where it reads, and the verdicts the
// callers count by.
TEST(MessageReader, BothDirections) {
    const std::vector<uint8_t> type_a = {0, 1, 0, 1};
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
        Verdict verdict;
        bool has_question;
        std::vector<uint8_t> label_at;
        uint16_t qtype;
        uint16_t qclass;
        std::string text;
    } cases[] = {
        {"query", message(0x1234, 0x0100, 1, question({"abc", "de"}, type_a)), Verdict::query, true,
         {0, 4}, 1, 1, "abc.de."},
        {"NXDOMAIN response", message(0xbeef, 0x8183, 1, question({"abc", "de"}, {0, 28, 0, 1})),
         Verdict::response, true, {0, 4}, 28, 1, "abc.de."},
        {"truncated response", message(7, 0x8380, 1, question({"x"}, {0, 16, 0, 3})),
         Verdict::response, true, {0}, 16, 3, "x."},
        {"response without a question", message(7, 0x8180, 0, {0}), Verdict::response, false, {},
         0, 0, ""},
        {"response whose question is compressed",
         message(7, 0x8180, 1, {1, 'a', 0xc0, 12, 0, 1, 0, 1}), Verdict::response, false, {}, 0,
         0, ""},
        {"response of the header alone", message(7, 0x8180, 0, {}), Verdict::malformed, false, {},
         0, 0, ""},
        {"query without a question", message(7, 0x0100, 0, question({"a"}, type_a)),
         Verdict::malformed, false, {}, 0, 0, ""},
        {"update (opcode 5) reads as a query", message(7, 0x2800, 1, question({"a"}, type_a)),
         Verdict::query, true, {0}, 1, 1, "a."},
        {"QCLASS cut to one byte", message(7, 0, 1, question({"a"}, {0, 1, 0})), Verdict::query,
         true, {0}, 1, 0, "a."},
        {"cut inside QTYPE", message(7, 0, 1, question({"a"}, {0, 1})), Verdict::malformed, false,
         {}, 0, 0, ""},
        {"root name", message(7, 0, 1, question({}, {0, 2, 0, 1})), Verdict::query, true, {}, 2, 1,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DnsMessage m;
        ASSERT_EQ(read_message(c.bytes, m), c.verdict);
        NameBuffer name;
        Verdict why = Verdict::other;
        EXPECT_EQ(decode_message(c.bytes, name, &why).has_value(), c.verdict == Verdict::query);
        EXPECT_EQ(why, c.verdict);
        if (c.bytes.size() <= kDnsHeaderLen) continue;
        EXPECT_EQ(m.id(), c.bytes[0] << 8 | c.bytes[1]);
        EXPECT_EQ(m.flags(), c.bytes[2] << 8 | c.bytes[3]);
        EXPECT_EQ(m.qr(), (c.bytes[2] & 0x80) != 0);
        EXPECT_EQ(m.tc(), (c.bytes[2] & 0x02) != 0);
        EXPECT_EQ(m.rcode(), c.bytes[3] & 0x0f);
        EXPECT_EQ(m.qdcount(), c.bytes[4] << 8 | c.bytes[5]);
        EXPECT_EQ(m.ancount(), 2);
        EXPECT_EQ(m.arcount(), 1);
        ASSERT_EQ(m.has_question, c.has_question);
        if (!m.has_question) continue;
        const DnsQuestion& q = m.question;
        EXPECT_EQ(q.name_at, kDnsHeaderLen);
        EXPECT_EQ(std::vector<uint8_t>(q.label_at, q.label_at + q.labels), c.label_at);
        EXPECT_EQ(q.qtype, c.qtype);
        EXPECT_EQ(q.qclass, c.qclass);
        EXPECT_EQ(std::string(name_text(c.bytes, q, name)), c.text);
    }
    // Spelled out for one: NXDOMAIN, RD and RA, the name's bounds.
    DnsMessage m;
    const auto nx = message(0xbeef, 0x8183, 1, question({"abc", "de"}, type_a));
    ASSERT_EQ(read_message(nx, m), Verdict::response);
    EXPECT_EQ(m.id(), 0xbeef);
    EXPECT_EQ(m.rcode(), 3);
    EXPECT_EQ(m.opcode(), 0);
    EXPECT_TRUE(m.rd());
    EXPECT_FALSE(m.tc());
    EXPECT_EQ(m.question.name_len, 8);
}

// The most labels a 255-byte name holds, each offset where its length byte
// is; one label more breaks the length rule.
TEST(MessageReader, LabelOffsetsUpToTheLongestName) {
    for (size_t labels : {size_t{127}, size_t{128}}) {
        SCOPED_TRACE(labels);
        const auto bytes =
            message(1, 0, 1, question(std::vector<std::string>(labels, "x"), {0, 1, 0, 1}));
        DnsMessage m;
        const Verdict v = read_message(bytes, m);
        if (labels == 128) {
            EXPECT_EQ(v, Verdict::malformed);
            continue;
        }
        ASSERT_EQ(v, Verdict::query);
        ASSERT_EQ(m.question.labels, labels);
        EXPECT_EQ(m.question.name_len, kWireNameMax);
        for (size_t k = 0; k < labels; ++k) EXPECT_EQ(m.question.label_at[k], 2 * k);
        NameBuffer name;
        EXPECT_EQ(name_text(bytes, m.question, name).size(), 2 * labels);
    }
}

// Answers as the capture counts them with -R: the header and question
// rules of a query, but QDCOUNT 0 allowed; whatever follows the question
// (records with compression pointers) is never read.
TEST(MessageReader, Answers) {
    // An answer record pointing back at the question's name.
    const std::vector<uint8_t> record = {0xc0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, 1};
    auto with_record = [&](std::vector<uint8_t> q) {
        q.insert(q.end(), record.begin(), record.end());
        return q;
    };
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
        bool counts;
        uint8_t rcode;
        bool tc;
        bool has_question;
        uint16_t qtype;
        std::string text;
    } cases[] = {
        {"NOERROR", message(1, 0x8180, 1, with_record(question({"abc", "de"}, {0, 1, 0, 1}))), true, 0, false, true, 1, "abc.de."},
        {"FORMERR", message(1, 0x8181, 1, question({"a"}, {0, 1, 0, 1})), true, 1, false, true, 1, "a."},
        {"SERVFAIL", message(1, 0x8182, 1, question({"a"}, {0, 28, 0, 1})), true, 2, false, true, 28, "a."},
        {"NXDOMAIN", message(1, 0x8183, 1, question({"x", "a"}, {0, 1, 0, 1})), true, 3, false, true, 1, "x.a."},
        {"NOTIMP", message(1, 0x8184, 1, question({"a"}, {0, 1, 0, 1})), true, 4, false, true, 1, "a."},
        {"REFUSED", message(1, 0x8185, 1, question({"a"}, {0, 1, 0, 1})), true, 5, false, true, 1, "a."},
        {"RCODE 15", message(1, 0x818f, 1, question({"a"}, {0, 1, 0, 1})), true, 15, false, true, 1, "a."},
        {"truncated", message(1, 0x8380, 1, question({"a"}, {0, 255, 0, 1})), true, 0, true, true, 255, "a."},
        {"QDCOUNT 0", message(1, 0x8185, 0, record), true, 5, false, false, 0, ""},
        {"a compressed question", message(1, 0x8180, 1, {1, 'a', 0xc0, 12, 0, 1, 0, 1}), false, 0, false, false, 0, ""},
        // A whole message: what a server sends when it refuses that way.
        {"the header alone, no question", message(1, 0x8185, 0, {}), true, 5, false, false, 0, ""},
        {"the header alone, a question promised", message(1, 0x8185, 1, {}), false, 0, false, false, 0, ""},
        {"a query's header alone", message(1, 0x0100, 0, {}), false, 0, false, false, 0, ""},
        {"cut inside QTYPE", message(1, 0x8180, 1, question({"a"}, {0, 1})), false, 0, false, false, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        NameBuffer name;
        Verdict why = Verdict::other;
        const auto m = decode_message(c.bytes, name, &why, true, true);
        EXPECT_EQ(why, c.bytes.size() > kDnsHeaderLen || c.counts ? Verdict::response : Verdict::malformed);
        // Without answers asked for, no answer comes out.
        EXPECT_FALSE(decode_message(c.bytes, name, nullptr, true, false).has_value());
        ASSERT_EQ(m.has_value(), c.counts);
        if (!m) continue;
        EXPECT_TRUE(m->answer);
        EXPECT_EQ(m->rcode, c.rcode);
        EXPECT_EQ(m->truncated, c.tc);
        EXPECT_EQ(m->has_question, c.has_question);
        EXPECT_EQ(m->qtype, c.qtype);
        EXPECT_EQ(std::string(m->name), c.text);
    }
}

// Cut at every byte, an answer counts exactly when its question and one
// byte after QTYPE are in (or, with QDCOUNT 0, its header).
TEST(MessageReader, AnswerCutAtEveryByte) {
    const std::vector<uint8_t> whole =
        message(1, 0x8183, 1, question({"abc", "de"}, {0, 1, 0, 1, 0xc0, 12, 0, 6, 0, 1}));
    const size_t needed = kDnsHeaderLen + 8 + 3;  // the name, QTYPE and one byte
    for (size_t n = 0; n <= whole.size(); ++n) {
        SCOPED_TRACE(n);
        NameBuffer name;
        const std::span<const uint8_t> cut(whole.data(), n);
        EXPECT_EQ(decode_message(cut, name, nullptr, false, true).has_value(), n >= needed);
    }
    const std::vector<uint8_t> bare = message(1, 0x8180, 0, {0xc0, 12, 0, 1});
    for (size_t n = 0; n <= bare.size(); ++n) {
        SCOPED_TRACE(n);
        NameBuffer name;
        EXPECT_EQ(decode_message(std::span<const uint8_t>(bare.data(), n), name, nullptr, false, true).has_value(),
                  n >= kDnsHeaderLen);
    }
}

// A query as the dump line reads it.
Message dumped(const SourceAddr& source, uint8_t family, uint8_t protocol, uint16_t qtype, std::string_view name) {
    Message m{};
    m.source = source;
    m.family = family;
    m.protocol = protocol;
    m.qtype = qtype;
    m.name = name;
    return m;
}

TEST(Decoder, DumpLine) {
    const struct {
        Message q;
        const char* line;
    } cases[] = {
        {dumped(make_addr(10, 1, 2, 3), 4, 17, 1, "abc.de."),
         "src: 10.1.2.3         proto: udp  qtype: 0x01  domain: abc.de.\n"},
        {dumped(make_addr(198, 51, 100, 200), 4, 6, 28, ""),
         "src: 198.51.100.200   proto: tcp  qtype: 0x1c  domain: \n"},
        {dumped(make_addr6("2001:db8:0:0:1:0:0:1"), 6, 17, 1, "abc.de."),
         "src: 2001:db8::1:0:0:1  proto: udp  qtype: 0x01  domain: abc.de.\n"},
        {dumped(make_addr(10, 1, 2, 3), 4, 17, 257, "a\\032b."),
         "src: 10.1.2.3         proto: udp  qtype: 0x101  domain: a\\032b.\n"},
        {dumped(make_addr(10, 1, 2, 3), 4, 6, 65535, ""),
         "src: 10.1.2.3         proto: tcp  qtype: 0xffff  domain: \n"},
    };
    for (const auto& c : cases) {
        char buf[256];
        format_dump_line(c.q, buf, sizeof buf);
        EXPECT_STREQ(buf, c.line);
    }
}

}  // namespace
}  // namespace qv
