// The capture filter text for each way of choosing the watched network,
// that libpcap compiles it on every link type the program reads, that it
// lets through exactly the frames of the table it should, and how a replay
// applies it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <optional>
#include <string>

#include "control/filter.h"
#include "filter_frames.h"
#include "frames.h"

namespace qv {
namespace {

const std::string T =
    "(port 53 or ip6 proto 0 or ip6 proto 43 or ip6 proto 44 or ip6 proto 51 or ip6 proto 60)";

// The Ethernet form: untagged, one tag or two.
std::string tagged(const std::string& b) {
    return b + " or (vlan and (" + b + " or (vlan and " + b + ")))";
}

struct FilterCaseRow {
    const char* what;
    int no_local;
    const char* addr_filter;
    const char* mask_filter;
    const char* read_file;
    DeviceNetworks nets;
    FilterCase expect_case;
    std::string text;  // the filter on a link other than Ethernet
    // What the filter lets through; nothing for a text libpcap refuses.
    std::optional<test::Watched> watched;
    std::string answers_text;  // the filter with -R, on a link other than Ethernet
};

DeviceNetworks v4_net(const char* net, const char* mask, std::vector<std::string> v6 = {}) {
    return {inet_addr(net), inet_addr(mask), std::move(v6)};
}

// A row's -R text from the terms its dst terms name: "dst net X" becomes
// "(dst net X or src net X)", a group of several gains its src terms after
// its dst ones.
std::string both_ways(const std::string& head, const std::vector<std::string>& nets) {
    std::string dst, src;
    for (const std::string& n : nets) {
        dst += (dst.empty() ? "dst net " : " or dst net ") + n;
        src += " or src net " + n;
    }
    return head + " and (" + dst + src + ")";
}

const std::vector<FilterCaseRow>& rows() {
    using test::net4;
    using test::net6;
    const test::Watched all{.everything = true};
    static const std::vector<FilterCaseRow> table = {
        {"-Q", 1, nullptr, nullptr, nullptr, v4_net("10.1.2.0", "255.255.255.0"),
         FilterCase::no_local, T, all, T},
        {"-Q -M", 1, nullptr, "255.255.255.0", nullptr, v4_net("10.1.2.0", "255.255.255.0"),
         FilterCase::no_local, T, all, T},
        {"a file without -A", 0, nullptr, nullptr, "x.pcap", {}, FilterCase::no_local, T, all, T},
        {"-A", 0, "192.0.2.1", nullptr, nullptr, v4_net("10.1.2.0", "255.255.255.0"),
         FilterCase::address, "port 53 and dst net 192.0.2.1 mask 255.255.255.255",
         test::Watched{.v4 = {net4("192.0.2.1", 32)}},
         both_ways("port 53", {"192.0.2.1 mask 255.255.255.255"})},
        {"-A -M", 0, "192.0.2.0", "255.255.255.0", nullptr, {}, FilterCase::address,
         "port 53 and dst net 192.0.2.0 mask 255.255.255.0",
         test::Watched{.v4 = {net4("192.0.2.0", 24)}},
         "port 53 and (dst net 192.0.2.0 mask 255.255.255.0 or src net 192.0.2.0 mask "
         "255.255.255.0)"},
        {"-A as typed", 0, "10", nullptr, nullptr, {}, FilterCase::address,
         "port 53 and dst net 10 mask 255.255.255.255", std::nullopt,
         both_ways("port 53", {"10 mask 255.255.255.255"})},
        // libpcap fills a short form from the right, unlike inet_aton.
        {"-A short form", 0, "10.1", "255.255", nullptr, {}, FilterCase::address,
         "port 53 and dst net 10.1 mask 255.255", test::Watched{.v4 = {net4("10.1.0.0", 16)}},
         both_ways("port 53", {"10.1 mask 255.255"})},
        {"-A with a file", 0, "192.0.2.0", "255.255.255.0", "x.pcap", {}, FilterCase::address,
         "port 53 and dst net 192.0.2.0 mask 255.255.255.0",
         test::Watched{.v4 = {net4("192.0.2.0", 24)}},
         both_ways("port 53", {"192.0.2.0 mask 255.255.255.0"})},
        {"-A IPv6", 0, "2001:db8::53", nullptr, nullptr, {}, FilterCase::address,
         T + " and dst net 2001:db8::53/128", test::Watched{.v6 = {net6("2001:db8::53", 128)}},
         T + " and (dst net 2001:db8::53/128 or src net 2001:db8::53/128)"},
        {"-A IPv6 -M 48", 0, "2001:db8:1::", "48", nullptr, {}, FilterCase::address,
         T + " and dst net 2001:db8:1::/48", test::Watched{.v6 = {net6("2001:db8:1::", 48)}},
         both_ways(T, {"2001:db8:1::/48"})},
        // libpcap reads the length after "/" in hex after 0x.
        {"-A IPv6 -M 0x40", 0, "2001:db8:1::", "0x40", nullptr, {}, FilterCase::address,
         T + " and dst net 2001:db8:1::/0x40", test::Watched{.v6 = {net6("2001:db8:1::", 64)}},
         both_ways(T, {"2001:db8:1::/0x40"})},
        {"device network", 0, nullptr, nullptr, nullptr, v4_net("10.1.2.0", "255.255.255.0"),
         FilterCase::local_net, "port 53 and dst net 10.1.2.0 mask 255.255.255.0",
         test::Watched{.v4 = {net4("10.1.2.0", 24)}},
         "port 53 and (dst net 10.1.2.0 mask 255.255.255.0 or src net 10.1.2.0 mask "
         "255.255.255.0)"},
        {"device network with -M", 0, nullptr, "255.255.0.0", nullptr,
         v4_net("10.1.0.0", "255.255.255.0"), FilterCase::local_net,
         "port 53 and dst net 10.1.0.0 mask 255.255.0.0",
         test::Watched{.v4 = {net4("10.1.0.0", 16)}},
         both_ways("port 53", {"10.1.0.0 mask 255.255.0.0"})},
        {"device without an address", 0, nullptr, nullptr, nullptr, v4_net("0.0.0.0", "0.0.0.0"),
         FilterCase::local_net, "port 53 and dst net 0.0.0.0 mask 0.0.0.0",
         test::Watched{.v4 = {net4("0.0.0.0", 0)}},
         both_ways("port 53", {"0.0.0.0 mask 0.0.0.0"})},
        {"device with IPv6 networks", 0, nullptr, nullptr, nullptr,
         v4_net("10.1.2.0", "255.255.255.0", {"2001:db8:1::/64", "::1/128"}), FilterCase::local_net,
         T + " and (dst net 10.1.2.0 mask 255.255.255.0 or dst net 2001:db8:1::/64 or dst net "
             "::1/128)",
         test::Watched{.v4 = {net4("10.1.2.0", 24)},
                       .v6 = {net6("2001:db8:1::", 64), net6("::1", 128)}},
         T + " and (dst net 10.1.2.0 mask 255.255.255.0 or dst net 2001:db8:1::/64 or dst net "
             "::1/128 or src net 10.1.2.0 mask 255.255.255.0 or src net 2001:db8:1::/64 or src "
             "net ::1/128)"},
        {"-M replaces only the IPv4 mask", 0, nullptr, "255.0.0.0", nullptr,
         v4_net("10.0.0.0", "255.255.255.0", {"2001:db8:1::/64"}), FilterCase::local_net,
         T + " and (dst net 10.0.0.0 mask 255.0.0.0 or dst net 2001:db8:1::/64)",
         test::Watched{.v4 = {net4("10.0.0.0", 8)}, .v6 = {net6("2001:db8:1::", 64)}},
         both_ways(T, {"10.0.0.0 mask 255.0.0.0", "2001:db8:1::/64"})},
        {"device with IPv6 networks only", 0, nullptr, nullptr, nullptr,
         v4_net("0.0.0.0", "0.0.0.0", {"2001:db8:1::/64"}), FilterCase::local_net,
         T + " and (dst net 0.0.0.0 mask 0.0.0.0 or dst net 2001:db8:1::/64)",
         test::Watched{.v4 = {net4("0.0.0.0", 0)}, .v6 = {net6("2001:db8:1::", 64)}},
         both_ways(T, {"0.0.0.0 mask 0.0.0.0", "2001:db8:1::/64"})},
    };
    return table;
}

Settings settings_of(const FilterCaseRow& r, bool answers = false) {
    Settings s;
    s.no_local_filter = r.no_local;
    s.addr_filter = const_cast<char*>(r.addr_filter);
    s.mask_filter = const_cast<char*>(r.mask_filter);
    s.read_file = const_cast<char*>(r.read_file);
    s.count_answers = answers ? 1 : 0;
    return s;
}

// Every row without -R and with it.
constexpr bool kAnswers[] = {false, true};

const char* with(bool answers) { return answers ? " with -R" : ""; }

TEST(Filter, TextForEachCase) {
    for (const auto& r : rows()) {
        for (bool answers : kAnswers) {
            SCOPED_TRACE(testing::Message() << r.what << with(answers));
            const Settings s = settings_of(r, answers);
            const std::string& text = answers ? r.answers_text : r.text;
            EXPECT_EQ(filter_case(s), r.expect_case);
            EXPECT_EQ(build_filter_text(s, r.nets, false), text);
            // On Ethernet each B is one group: T already is, the others are put in one.
            const std::string group = text.front() == '(' && text.back() == ')' &&
                                              text.find(") and") == std::string::npos
                                          ? text
                                          : "(" + text + ")";
            EXPECT_EQ(build_filter_text(s, r.nets, true), tagged(group));
        }
    }
}

TEST(Filter, CompilesOnEveryLinkType) {
    const struct {
        int dlt;
        bool ethernet;
    } links[] = {{DLT_EN10MB, true},  {DLT_RAW, false},        {DLT_NULL, false},
                 {DLT_LOOP, false},   {DLT_LINUX_SLL, false},  {DLT_LINUX_SLL2, false}};
    for (const auto& l : links) {
        pcap_t* dead = pcap_open_dead(l.dlt, 1500);
        ASSERT_NE(dead, nullptr);
        for (const auto& r : rows()) {
            if (std::string(r.what) == "-A as typed") continue;  // "10" is a network, not a host
            for (bool answers : kAnswers) {
                SCOPED_TRACE(testing::Message()
                             << r.what << with(answers) << " on link type " << l.dlt);
                const std::string text =
                    build_filter_text(settings_of(r, answers), r.nets, l.ethernet);
                bpf_program prog{};
                EXPECT_EQ(pcap_compile(dead, &prog, text.c_str(), 0, 0), 0) << pcap_geterr(dead);
                pcap_freecode(&prog);
            }
        }
        pcap_close(dead);
    }
}

// The frame's source and destination as the program keys them.
SourceAddr source_of(const test::FrameSpec& f) {
    return f.ip_version == 6 ? SourceAddr::from_v6(f.src6) : SourceAddr::from_v4(f.src);
}
SourceAddr destination_of(const test::FrameSpec& f) {
    return f.ip_version == 6 ? SourceAddr::from_v6(f.dst6) : SourceAddr::from_v4(f.dst);
}

// Every frame of the table through the filter of every form, on every link
// type, as a replay applies it: with the tags still in the frame. The
// frames of a live capture, whose outer tag the kernel takes out before its
// filter runs, are the end-to-end tests' to inject. With -R the table also
// holds the frames the other way, from each destination. The watched
// network the program derives must agree with the compiled filter too: a
// DNS frame passes exactly when it goes to it or, with -R, comes from it.
TEST(Filter, LetsThroughTheFramesTheRuleAccepts) {
    const test::Watched dns_frames{.everything = true};
    for (const test::FileLink& link : test::file_links()) {
        for (bool answers : kAnswers) {
            const auto frames = test::table_frames(link, test::unit_destinations(), answers);
            for (const auto& r : rows()) {
                if (!r.watched) continue;
                SCOPED_TRACE(testing::Message() << r.what << with(answers) << " on " << link.name);
                const Settings s = settings_of(r, answers);
                const std::string text = build_filter_text(s, r.nets, link.dlt == DLT_EN10MB);
                const WatchedNetwork w = watched_of(s, r.nets);
                test::Watched rule = *r.watched;
                rule.answers = answers;
                const FileFilter filter(link.dlt, text.c_str());
                ASSERT_EQ(filter.error(), "");
                // The first few frames judged wrongly, and how many there were.
                std::string wrong;
                int wrong_passes = 0, wrong_rejects = 0, w_disagrees = 0;
                for (const auto& f : frames) {
                    const std::vector<uint8_t> bytes = test::build_frame(f.layout);
                    pcap_pkthdr h{};
                    h.caplen = h.len = static_cast<bpf_u_int32>(bytes.size());
                    const bool passed = filter.passes(h, bytes.data());
                    const bool in_w = w.contains(destination_of(f.layout)) ||
                                      (answers && w.contains(source_of(f.layout)));
                    if (passed != (test::rule_accepts(dns_frames, f.layout) && in_w)) {
                        if (w_disagrees++ < 8) wrong += "W disagrees: " + f.name + "\n";
                    }
                    if (passed == test::rule_accepts(rule, f.layout)) continue;
                    if (wrong_passes + wrong_rejects < 8)
                        wrong += (passed ? "passed: " : "rejected: ") + f.name + "\n";
                    ++(passed ? wrong_passes : wrong_rejects);
                }
                EXPECT_EQ(wrong_passes + wrong_rejects + w_disagrees, 0)
                    << wrong_passes << " wrongly passed and " << wrong_rejects
                    << " wrongly rejected of " << frames.size() << " frames by \"" << text
                    << "\", the watched network disagreeing on " << w_disagrees
                    << ", among them:\n"
                    << wrong;
            }
        }
    }
}

// A replay of every address lets the plainly DNS Ethernet frames through
// without running the filter: that shortcut must never pass a frame the
// filter rejects. Every frame of the table, cut at every length, with every
// IPv4 header length and with fragment offsets, against libpcap's verdict;
// and the shortcut must take the plain frames, or it saves nothing.
TEST(Filter, TheShortcutOfAReplayPassesOnlyWhatTheFilterPasses) {
    Settings s;
    char file[] = "x.pcap";
    s.read_file = file;
    const std::string text = build_filter_text(s, DeviceNetworks{}, true);
    ASSERT_TRUE(watched_of(s, DeviceNetworks{}).all());
    const FileFilter plain(DLT_EN10MB, text.c_str());
    const FileFilter shortcut(DLT_EN10MB, text.c_str(), true);
    ASSERT_EQ(plain.error(), "");
    const test::FileLink* ethernet = nullptr;
    for (const test::FileLink& l : test::file_links())
        if (l.dlt == DLT_EN10MB) ethernet = &l;
    ASSERT_NE(ethernet, nullptr);
    size_t taken = 0, wrong = 0, checked = 0;
    std::string first_wrong;
    auto check = [&](const std::vector<uint8_t>& bytes, uint32_t caplen, const std::string& name) {
        pcap_pkthdr h{};
        h.caplen = caplen;
        h.len = static_cast<bpf_u_int32>(bytes.size());
        ++checked;
        if (!plainly_port_53(bytes.data(), caplen)) return;
        ++taken;
        if (!plain.passes(h, bytes.data()) && wrong++ == 0) first_wrong = name + " cut at " + std::to_string(caplen);
        // With the shortcut the replay sees what the filter alone lets through.
        EXPECT_EQ(shortcut.passes(h, bytes.data()), plain.passes(h, bytes.data())) << name;
    };
    size_t whole_plain[2] = {};  // IPv4, IPv6
    for (bool answers : {false, true}) {
        for (const auto& f : test::table_frames(*ethernet, test::unit_destinations(), answers)) {
            std::vector<uint8_t> bytes = test::build_frame(f.layout);
            const auto size = static_cast<uint32_t>(bytes.size());
            for (uint32_t cut = 0; cut <= size; ++cut) check(bytes, cut, f.name);
            pcap_pkthdr h{};
            h.caplen = h.len = size;
            if (plainly_port_53(bytes.data(), size)) ++whole_plain[bytes[12] == 0x86 ? 1 : 0];
            if (bytes.size() < 34 || bytes[12] != 0x08 || bytes[13] != 0x00) continue;
            for (uint8_t ihl = 0; ihl < 16; ++ihl) {
                std::vector<uint8_t> b = bytes;
                b[14] = static_cast<uint8_t>((b[14] & 0xf0) | ihl);
                check(b, size, f.name + " ihl " + std::to_string(ihl));
            }
            // Each flag and offset bit alone, and a few together.
            std::vector<uint16_t> frags = {0x1fff, 0x2001, 0x00b9};
            for (int bit = 0; bit < 16; ++bit) frags.push_back(static_cast<uint16_t>(1u << bit));
            for (uint16_t frag : frags) {
                std::vector<uint8_t> b = bytes;
                b[20] = static_cast<uint8_t>(frag >> 8);
                b[21] = static_cast<uint8_t>(frag);
                check(b, size, f.name + " fragment field " + std::to_string(frag));
            }
        }
    }
    EXPECT_EQ(wrong, 0u) << "of " << taken << " taken, first " << first_wrong;
    // The table's untagged UDP and TCP frames with port 53 (and no IPv6
    // extension header) take it, of both families.
    EXPECT_GT(whole_plain[0], 0u) << "of " << checked;
    EXPECT_GT(whole_plain[1], 0u) << "of " << checked;
}

// A replay of a BSD loopback link reads the family word as the decoder
// does: every family it reads passes, in either byte order, when the
// datagram after it is of that IP version; nothing else passes.
TEST(Filter, ReplayOfALoopbackLinkReadsEveryFamilyTheDecoderReads) {
    const struct {
        const char* what;
        uint32_t family;
        bool big_endian;
        uint8_t ip_version;
        bool passes;
    } cases[] = {
        {"IPv4", 2, false, 4, true},
        {"IPv4, the other byte order", 2, true, 4, true},
        {"Linux IPv6", 10, false, 6, true},
        {"Linux IPv6, the other byte order", 10, true, 6, true},
        {"NetBSD and OpenBSD IPv6", 24, false, 6, true},
        {"OpenBSD IPv6 on DLT_LOOP's order", 24, true, 6, true},
        {"FreeBSD IPv6", 28, false, 6, true},
        {"macOS IPv6", 30, false, 6, true},
        {"macOS IPv6, the other byte order", 30, true, 6, true},
        {"an IPv6 family before IPv4", 30, false, 4, false},
        {"the IPv4 family before IPv6", 2, false, 6, false},
        {"another family", 7, false, 4, false},
    };
    for (int dlt : {DLT_NULL, DLT_LOOP}) {
        for (const std::string& text :
             {T, T + " and dst net 2001:db8::/32", std::string("port 53")}) {
            const FileFilter filter(dlt, text.c_str());
            ASSERT_EQ(filter.error(), "");
            for (const auto& c : cases) {
                SCOPED_TRACE(testing::Message()
                             << c.what << " on link type " << dlt << " through " << text);
                test::FrameSpec f;
                f.link_len = 4;
                f.null_family = c.family;
                f.null_big_endian = c.big_endian;
                f.ip_version = c.ip_version;
                const std::vector<uint8_t> bytes = test::build_frame(f);
                pcap_pkthdr h{};
                h.caplen = h.len = static_cast<bpf_u_int32>(bytes.size());
                // "dst net" of an IPv6 network passes no IPv4 datagram.
                const bool passes =
                    c.passes && !(c.ip_version == 4 && text.find("dst net") != std::string::npos);
                EXPECT_EQ(filter.passes(h, bytes.data()), passes);
                // Nothing but the family word: no datagram to filter.
                h.caplen = h.len = 4;
                EXPECT_FALSE(filter.passes(h, bytes.data()));
            }
        }
    }
}

// A text libpcap refuses is refused for a replay, by libpcap or by the
// program, with libpcap's reason.
TEST(Filter, ReplayFilterSaysWhyItCannotCompile) {
    for (int dlt : {DLT_EN10MB, DLT_RAW, DLT_NULL, DLT_LOOP}) {
        SCOPED_TRACE(testing::Message() << "link type " << dlt);
        const FileFilter filter(dlt, "port 53 and dst net 10 mask 255.255.255.255");
        EXPECT_EQ(filter.error(), "can't parse filter expression: syntax error");
        const std::vector<uint8_t> bytes = test::build_frame(test::FrameSpec{});
        pcap_pkthdr h{};
        h.caplen = h.len = static_cast<bpf_u_int32>(bytes.size());
        EXPECT_FALSE(filter.passes(h, bytes.data()));
    }
}

}  // namespace
}  // namespace qv
