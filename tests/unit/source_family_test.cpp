// A source's family is the family of its frame. Three IPv6 sources whose
// sixteen bytes spell out 198.51.100.7 in some way (IPv4-mapped,
// IPv4-compatible, the four bytes in front) are each their own IPv6 source,
// apart from the IPv4 source 198.51.100.7, through decoder, text, prefix,
// table, alarm memory, TCP streams and the stats cycle.
#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "base/address.h"
#include "capture/handler.h"
#include "capture/message.h"
#include "capture/tcp_stream.h"
#include "collectors.h"
#include "frames.h"
#include "stats/alarm_memory.h"
#include "control/stats_thread.h"
#include "table/table.h"

namespace qv {
namespace {

struct Source {
    const char* what;
    uint8_t family;
    uint8_t bytes[16];  // as in an IPv6 header; an IPv4 source uses the last four
    const char* text;   // as the lines, the export and -D write it (inet_ntop's text)
};

// The IPv4 source first, then its three IPv6 look-alikes.
const Source kSources[] = {
    {"IPv4 198.51.100.7", 4, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 198, 51, 100, 7}, "198.51.100.7"},
    {"IPv4-mapped IPv6",
     6,
     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 198, 51, 100, 7},
     "::ffff:198.51.100.7"},
    {"IPv4-compatible IPv6",
     6,
     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 198, 51, 100, 7},
     "::198.51.100.7"},
    {"IPv4 bytes in front", 6, {198, 51, 100, 7}, "c633:6407::"},
};

SourceAddr addr_of(const Source& s) {
    return s.family == 4 ? SourceAddr::from_v4(&s.bytes[12]) : SourceAddr::from_v6(s.bytes);
}

test::FrameSpec frame_from(const Source& s, uint8_t protocol) {
    test::FrameSpec f;
    f.ip_version = s.family;
    f.protocol = protocol;
    std::memcpy(f.src, &s.bytes[12], 4);
    std::memcpy(f.src6, s.bytes, 16);
    return f;
}

TEST(SourceFamily, DecoderGivesTheFramesFamily) {
    const SourceAddr v4 = make_addr(198, 51, 100, 7);
    for (const Source& s : kSources) {
        for (uint8_t protocol : {uint8_t{17}, uint8_t{6}}) {
            SCOPED_TRACE(testing::Message() << s.what << " proto " << int{protocol});
            const auto frame = test::build_frame(frame_from(s, protocol));
            NameBuffer name;
            const auto q = test::decode_one(frame, static_cast<uint32_t>(frame.size()),
                                            LinkType::ethernet, name);
            ASSERT_TRUE(q.has_value());
            EXPECT_EQ(q->family, s.family);
            EXPECT_EQ(q->source.is_v4(), s.family == 4);
            EXPECT_EQ(q->source, addr_of(s));
            EXPECT_EQ(q->source == v4, s.family == 4);
            EXPECT_STREQ(to_text(q->source).c_str(), s.text);
            // The destination is of the frame's family too.
            const auto p =
                decode_packet(frame, static_cast<uint32_t>(frame.size()), LinkType::ethernet);
            ASSERT_TRUE(p.has_value());
            EXPECT_EQ(p->dest.is_v4(), s.family == 4);

            char line[256];
            format_dump_line(*q, line, sizeof line);
            EXPECT_EQ(std::string(line).rfind(std::string("src: ") + s.text + " ", 0), 0u) << line;
        }
    }
    // make_addr6 reads every text as IPv6, the mapped form included.
    EXPECT_EQ(make_addr6("::ffff:198.51.100.7"), addr_of(kSources[1]));
    EXPECT_NE(make_addr6("::ffff:198.51.100.7"), v4);
}

// The text of each source as counted under -4/-6: the IPv4 prefix applies
// to the IPv4 source only, the IPv6 prefix to the others, whatever their
// bytes; a prefix shorter than the family's width is ADDRESS/LEN.
TEST(SourceFamily, PrefixOfTheSourcesOwnFamily) {
    const struct {
        Prefixes prefixes;
        const char* texts[4];  // in kSources order
    } cases[] = {
        {{32, 128}, {"198.51.100.7", "::ffff:198.51.100.7", "::198.51.100.7", "c633:6407::"}},
        {{24, 128}, {"198.51.100.0/24", "::ffff:198.51.100.7", "::198.51.100.7", "c633:6407::"}},
        {{32, 112},
         {"198.51.100.7", "::ffff:198.51.0.0/112", "::198.51.0.0/112", "c633:6407::/112"}},
        {{8, 96}, {"198.0.0.0/8", "::ffff:0.0.0.0/96", "::/96", "c633:6407::/96"}},
        {{24, 48}, {"198.51.100.0/24", "::/48", "::/48", "c633:6407::/48"}},
        {{32, 16}, {"198.51.100.7", "::/16", "::/16", "c633::/16"}},
    };
    for (const auto& c : cases) {
        for (size_t k = 0; k < std::size(kSources); ++k) {
            const Source& s = kSources[k];
            SCOPED_TRACE(testing::Message()
                         << s.what << " -4 " << c.prefixes.v4 << " -6 " << c.prefixes.v6);
            const SourceAddr a = addr_of(s);
            const SourceAddr m = a.masked(c.prefixes.of(a));
            EXPECT_EQ(m.is_v4(), s.family == 4);
            EXPECT_EQ(c.prefixes.of(a), s.family == 4 ? c.prefixes.v4 : c.prefixes.v6);
            EXPECT_STREQ(to_text(m, c.prefixes).c_str(), c.texts[k]);
        }
    }
}

// Counted sources by their text under the prefixes, after count[k] queries
// from each source k.
std::map<std::string, uint32_t> counted(BucketSet& set, const Prefixes& p) {
    std::map<std::string, uint32_t> out;
    for (int32_t i = set.next_in_use(0); i >= 0; i = set.next_in_use(i + 1)) {
        const Bucket& b = set.bucket(i);
        EXPECT_EQ(out.count(to_text(b.ip_addr, p).c_str()), 0u) << "two buckets for one source";
        out[to_text(b.ip_addr, p).c_str()] = b.udp_count;
    }
    return out;
}

TEST(SourceFamily, TableKeepsEachFamilyApart) {
    const struct {
        Prefixes prefixes;
        std::map<std::string, uint32_t> want;  // 1, 2, 3 and 4 queries from kSources in order
    } cases[] = {
        {{32, 128},
         {{"198.51.100.7", 1},
          {"::ffff:198.51.100.7", 2},
          {"::198.51.100.7", 3},
          {"c633:6407::", 4}}},
        {{24, 64}, {{"198.51.100.0/24", 1}, {"::/64", 5}, {"c633:6407::/64", 4}}},
        {{24, 48}, {{"198.51.100.0/24", 1}, {"::/48", 5}, {"c633:6407::/48", 4}}},
    };
    for (const auto& c : cases) {
        // Several seeds: each family must find its own bucket on whatever
        // chain the seed puts it.
        for (uint64_t seed : {1ull, 2ull, 0x0123456789abcdefull, ~0ull}) {
            SCOPED_TRACE(testing::Message()
                         << "-4 " << c.prefixes.v4 << " -6 " << c.prefixes.v6 << " seed " << seed);
            Table t(8, seed);
            // Interleaved, so that a lookup of one source passes the others.
            for (uint32_t round = 0; round < 4; ++round) {
                for (size_t k = 0; k < std::size(kSources); ++k) {
                    if (round > k) continue;
                    const SourceAddr a = addr_of(kSources[k]);
                    t.add_query(a.masked(c.prefixes.of(a)), 17, 1, 1, 1000 + round);
                }
            }
            EXPECT_EQ(counted(t.active(), c.prefixes), c.want);
            EXPECT_EQ(t.active().in_use_count(), static_cast<int32_t>(c.want.size()));
        }
    }
    // The IPv6 twin of the free-bucket address is an ordinary source.
    Table t(4, 7);
    const SourceAddr twin = make_addr6("::ffff:255.255.255.255");
    const int32_t i = t.add_query(twin, 17, 3, 1, 1000);
    EXPECT_NE(t.add_query(FREE_ADDR, 17, 1, 1, 1000), i);
    EXPECT_EQ(t.active().bucket(i).ip_addr, twin);
    EXPECT_EQ(t.active().bucket(i).udp_count, 3u);
    EXPECT_EQ(t.active().in_use_count(), 2);
}

TEST(SourceFamily, AlarmMemoryKeepsEachFamilyApart) {
    for (size_t first = 0; first < std::size(kSources); ++first) {
        SCOPED_TRACE(kSources[first].what);
        AlarmMemory memory(8, 3);
        memory.remember(addr_of(kSources[first]), 5000);
        for (size_t k = 0; k < std::size(kSources); ++k) {
            EXPECT_EQ(memory.last_alarm(addr_of(kSources[k])), k == first ? 5000 : 0)
                << kSources[k].what;
        }
    }
}

// The family enters the seeded hash with a secret multiplier of its own:
// which chain an IPv6 twin of an IPv4 source lands on, relative to it,
// changes with the seed, so nobody can aim one family's keys at the
// other's chains.
TEST(SourceFamily, SeededHashMixesTheFamilyIn) {
    const SourceAddr v4 = addr_of(kSources[0]);
    const SourceAddr mapped = addr_of(kSources[1]);
    ASSERT_EQ(v4.bytes, mapped.bytes);
    std::set<uint32_t> offsets;
    int same = 0;
    for (uint64_t seed = 0; seed < 64; ++seed) {
        const SeededHash h(SeededHash::mix(seed), 20);
        const uint32_t a = hash_key(h, v4);
        const uint32_t b = hash_key(h, mapped);
        same += a == b;
        offsets.insert((a - b) & 0xfffffu);
    }
    EXPECT_LE(same, 2);
    EXPECT_GE(offsets.size(), 60u);
}

// Two TCP connections with the same sixteen bytes and ports at each end,
// one over IPv4 and one over IPv6: two streams, each query from its own
// source.
TEST(SourceFamily, TcpStreamsKeepEachFamilyApart) {
    class Collect final : public TcpStreams::Sink {
      public:
        void message(const Message& q) override { got.push_back({q.source, q.family}); }
        std::vector<std::pair<SourceAddr, uint8_t>> got;
    } sink;
    const std::vector<uint8_t> msg = [] {
        std::vector<uint8_t> m = {0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
        const auto n = test::wire_name({"abc", "de"});
        m.insert(m.end(), n.begin(), n.end());
        m.insert(m.end(), {0, 1, 0, 1});
        m.insert(m.begin(), {0, static_cast<uint8_t>(m.size())});
        return m;
    }();
    const SourceAddr v4 = addr_of(kSources[0]);
    const SourceAddr mapped = addr_of(kSources[1]);
    TcpStreams streams(11, 16);
    auto segment = [&](const SourceAddr& src, uint8_t flags, std::span<const uint8_t> data) {
        Packet p{};
        p.source = src;
        p.dest = src.is_v4() ? make_addr(192, 0, 2, 53) : make_addr6("::ffff:192.0.2.53");
        p.family = src.is_v4() ? 4 : 6;
        p.protocol = 6;
        p.src_port = 40000;
        p.dst_port = 53;
        p.seq = (flags & kTcpSyn) ? 1000 : 1001;
        p.tcp_flags = flags;
        p.payload = data;
        p.data_len = static_cast<uint32_t>(data.size());
        streams.segment(p, 1700000000, sink);
    };
    // The same numbers on both: were they one stream, the second SYN would
    // be a retransmission and the second query bytes seen before.
    segment(v4, kTcpSyn, {});
    segment(mapped, kTcpSyn, {});
    segment(v4, 0x18, msg);
    segment(mapped, 0x18, msg);
    EXPECT_EQ(streams.connections(), 2);
    ASSERT_EQ(sink.got.size(), 2u);
    EXPECT_EQ(sink.got[0], std::make_pair(v4, uint8_t{4}));
    EXPECT_EQ(sink.got[1], std::make_pair(mapped, uint8_t{6}));
}

// The daemon's cycle: alarm lines, the hold-off of -a and the export keys
// name each source apart. The IPv4 source is alarmed first and then held
// off; its IPv6 look-alikes, loud within that hold-off, are alarmed each in
// its own right and exported under their own keys.
TEST(SourceFamily, CycleLinesHoldOffAndExportKeepEachFamilyApart) {
    setenv("TZ", "UTC", 1);
    tzset();
    const time_t t0 = time_t{86400} * 20000 + 100;
    const struct {
        Prefixes prefixes;
        const char* texts[4];  // in kSources order
    } cases[] = {
        {{32, 128}, {"198.51.100.7", "::ffff:198.51.100.7", "::198.51.100.7", "c633:6407::"}},
        {{24, 128}, {"198.51.100.0/24", "::ffff:198.51.100.7", "::198.51.100.7", "c633:6407::"}},
    };
    const struct {
        time_t at;
        std::vector<size_t> loud;     // sources at 100 qps since the last cycle
        std::vector<size_t> alarmed;  // their lines, in bucket order
    } steps[] = {
        {t0, {0}, {0}},
        {t0 + 30, {0, 1, 2, 3}, {1, 2, 3}},  // the IPv4 source is held off till t0 + 90
        {t0 + 60, {3, 2, 1, 0}, {}},         // every one held off
        {t0 + 91, {0, 1}, {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "-4 " << c.prefixes.v4 << " -6 " << c.prefixes.v6);
        Settings s;
        s.foreground = 0;
        s.threshold = 60;
        s.alarm_reset = 90;
        s.send_json = 1;
        s.v4_prefix = c.prefixes.v4;
        s.v6_prefix = c.prefixes.v6;
        LockGuarded<Table> table(16, 5);
        test::CollectingSink sink;
        test::CollectingSender sender;
        const HostJson host = escape_host_name("host1");
        WiredCycle cycle(s, table, sink, sender, host);
        time_t prev = t0 - 10;
        for (const auto& st : steps) {
            SCOPED_TRACE(st.at - t0);
            const uint32_t gap = static_cast<uint32_t>(st.at - prev);
            std::map<std::string, uint64_t> want_export;
            for (size_t k : st.loud) {
                const SourceAddr a = addr_of(kSources[k]);
                table.lock()->add_query(a.masked(c.prefixes.of(a)), 17, 100 * gap, 1, prev);
                want_export[c.texts[k]] = 100 * gap;
            }
            sink.lines.clear();
            sender.datagrams.clear();
            cycle.run(st.at);
            prev = st.at;

            std::vector<test::Line> want_lines;
            for (size_t k : st.alarmed) {
                want_lines.push_back(
                    {true, LOG_NOTICE, std::string("source [") + c.texts[k] + "] - 100 qps\n"});
            }
            EXPECT_EQ(sink.lines, want_lines);
            std::map<std::string, uint64_t> exported;
            for (const std::string& d : sender.datagrams) {
                const auto j = nlohmann::json::parse(d.substr(0, d.size() - 1));
                for (const auto& [key, n] : j["data"].items()) exported[key] += n.get<uint64_t>();
            }
            EXPECT_EQ(exported, want_export);
        }
    }
}

}  // namespace
}  // namespace qv
