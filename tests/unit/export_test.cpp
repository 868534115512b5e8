#include "output/export.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "collectors.h"
#include "stats/cycle.h"
#include "table/observation.h"

namespace qv {
namespace {

using test::CollectingSender;

constexpr time_t kNow = time_t{86400} * 20000;
constexpr int kTcp = 6;
constexpr int kUdp = 17;


// Claims the source's bucket and counts into it; returns the bucket index.
int32_t put(BucketSet& set, SourceAddr src, uint32_t tcp, uint32_t udp) {
    const int32_t i = set.find_bucket(src, kNow);
    if (tcp != 0) set.count(i, kTcp, tcp, 1, kNow);
    if (udp != 0) set.count(i, kUdp, udp, 28, kNow);
    return i;
}

// What a cycle does with its retired set: the export reads it, then, after
// every consumer, the cycle empties it.
void sweep(const Settings& s, BucketSet& set, const HostJson& host, CollectingSender& sender) {
    export_sources(s, set, host, sender);
    reset_retired(set, nullptr, kNow);
}

std::string header(const std::string& host_text) {
    return "{\"hostname\":\"" + host_text + "\",\"type\":\"source\",\"data\":{";
}

// The datagram of a chunk: header, entries, the last comma turned into the
// two closing braces, and the NUL.
std::string datagram(const std::string& host_text, const std::vector<std::string>& entries) {
    std::string text = header(host_text);
    for (const auto& e : entries) text += e;
    text.back() = '}';
    text += "}";
    text.push_back('\0');
    return text;
}

std::vector<Settings> sending_modes(int send_json) {
    std::vector<Settings> out;
    for (int fg : {0, 1}) {
        Settings s;
        s.foreground = fg;
        s.send_json = send_json;
        out.push_back(s);
    }
    return out;
}

void expect_all_free(const BucketSet& set) {
    EXPECT_EQ(set.in_use_count(), 0);
    EXPECT_EQ(set.next_in_use(0), -1);
    for (int32_t i = 0; i < set.size(); ++i) {
        const Bucket& b = set.bucket(i);
        EXPECT_FALSE(set.in_use(i)) << i;
        EXPECT_EQ(b.ip_addr, FREE_ADDR) << i;
        EXPECT_EQ(b.tcp_count, 0u) << i;
        EXPECT_EQ(b.udp_count, 0u) << i;
        EXPECT_EQ(b.type_count(1), 0) << i;
        EXPECT_EQ(b.type_count(28), 0) << i;
    }
}

// ---- the sweep ---------------------------------------------------------------

TEST(ExportSweep, WorkedExampleInBothModes) {
    const std::string want =
        "{\"hostname\":\"host1\",\"type\":\"source\",\"data\":"
        "{\"192.0.2.10\":42,\"198.51.100.7\":5}}";
    ASSERT_EQ(want.size(), 78u);
    for (const Settings& s : sending_modes(1)) {
        SCOPED_TRACE(s.foreground);
        BucketSet set(8, 3);
        put(set, make_addr(192, 0, 2, 10), 30, 12);
        put(set, make_addr(198, 51, 100, 7), 0, 5);
        CollectingSender sender;
        sweep(s, set, escape_host_name("host1"), sender);
        ASSERT_EQ(sender.datagrams.size(), 1u);
        EXPECT_EQ(sender.datagrams[0].size(), 79u);
        EXPECT_EQ(sender.datagrams[0], want + '\0');
        expect_all_free(set);
    }
}

TEST(ExportSweep, NothingIsSentWithoutSendJsonButTheSetIsStillEmptied) {
    for (const Settings& s : sending_modes(0)) {
        SCOPED_TRACE(s.foreground);
        BucketSet set(8, 3);
        put(set, make_addr(192, 0, 2, 10), 30, 12);
        put(set, make_addr(198, 51, 100, 7), 0, 5);
        CollectingSender sender;
        sweep(s, set, escape_host_name("host1"), sender);
        EXPECT_TRUE(sender.datagrams.empty());
        expect_all_free(set);
    }
}

TEST(ExportSweep, CountsAreUnsigned32BitSums) {
    struct Case {
        uint32_t tcp, udp;
        const char* want;
    };
    const Case cases[] = {
        {2147483648u, 5, "2147483653"},
        {0, 4294967295u, "4294967295"},
        {4294967295u, 2, "1"},  // the sum wraps like the counters
    };
    Settings s;
    s.send_json = 1;
    for (const auto& c : cases) {
        BucketSet set(4, 3);
        put(set, make_addr(192, 0, 2, 10), c.tcp, c.udp);
        CollectingSender sender;
        sweep(s, set, escape_host_name("host1"), sender);
        EXPECT_EQ(sender.datagrams, std::vector<std::string>{datagram(
                                        "host1", {"\"192.0.2.10\":" + std::string(c.want) + ","})});
    }
}

TEST(ExportSweep, EveryBucketInUseInIndexOrderIncludingZeroAndBroadcast) {
    Settings s;
    s.send_json = 1;
    BucketSet set(8, 3);
    ASSERT_EQ(put(set, make_addr(10, 9, 9, 9), 1, 0), 0);
    ASSERT_EQ(put(set, make_addr(0, 0, 0, 0), 0, 2), 1);
    ASSERT_EQ(put(set, make_addr(192, 0, 2, 1), 3, 0), 2);
    ASSERT_EQ(put(set, make_addr(255, 255, 255, 255), 0, 4), 3);
    // Bucket 0 freed and claimed again by a later source: the walk follows
    // bucket indexes, not the order sources arrived in.
    set.reset_bucket(0, kNow);
    ASSERT_EQ(put(set, make_addr(198, 51, 100, 7), 5, 0), 0);
    CollectingSender sender;
    sweep(s, set, escape_host_name("host1"), sender);
    EXPECT_EQ(sender.datagrams, std::vector<std::string>{datagram(
                                    "host1", {"\"198.51.100.7\":5,", "\"0.0.0.0\":2,",
                                              "\"192.0.2.1\":3,", "\"255.255.255.255\":4,"})});
    expect_all_free(set);
}

// Entries of 21 characters ("\"10.0.1.1NN\":1000000,"). With a host of 25
// characters the header is 64 and the budget 1134 = 54 * 21, so after 53
// entries exactly 21 remain: not more than the entry, which opens the next
// datagram. With 24 characters one more byte remains and the 54th entry still
// fits, making the largest datagram: 1198 characters and the NUL.
TEST(ExportSweep, AnEntryGoesInOnlyWhileTheBudgetExceedsItsLength) {
    struct Case {
        size_t host_len;
        size_t first_chunk_entries;
        size_t first_size;
    };
    const Case cases[] = {{25, 53, 1179}, {24, 54, 1199}};
    std::vector<std::string> entries;
    for (int k = 0; k < 60; ++k)
        entries.push_back("\"10.0.1." + std::to_string(100 + k) + "\":1000000,");
    ASSERT_EQ(entries[0].size(), 21u);

    for (const auto& c : cases) {
        SCOPED_TRACE(c.host_len);
        const std::string host(c.host_len, 'h');
        ASSERT_EQ(header(host).size(), 39 + c.host_len);
        for (const Settings& s : sending_modes(1)) {
            BucketSet set(64, 3);
            for (uint8_t k = 0; k < 60; ++k) put(set, make_addr(10, 0, 1, 100 + k), 400000, 600000);
            CollectingSender sender;
            sweep(s, set, escape_host_name(host.c_str()), sender);
            const auto split = entries.begin() + static_cast<long>(c.first_chunk_entries);
            const std::vector<std::string> want = {
                datagram(host, {entries.begin(), split}),
                datagram(host, {split, entries.end()}),
            };
            EXPECT_EQ(sender.datagrams, want);
            ASSERT_EQ(sender.datagrams.size(), 2u);
            EXPECT_EQ(sender.datagrams[0].size(), c.first_size);
        }
    }
}

// The host name as a JSON decoder reads it back: each byte kept while its
// escape still fits in kHostJsonMax, read as the code point of that byte.
std::string decoded_host(const std::string& name) {
    std::string out;
    size_t escaped = 0;
    for (unsigned char ch : name) {
        const size_t len = (ch == '"' || ch == '\\') ? 2 : (ch < 0x20 || ch > 0x7e) ? 6 : 1;
        if (escaped + len > kHostJsonMax) break;
        escaped += len;
        if (ch < 0x80) {
            out += static_cast<char>(ch);
        } else {
            out += static_cast<char>(0xc0 | (ch >> 6));
            out += static_cast<char>(0x80 | (ch & 0x3f));
        }
    }
    return out;
}

TEST(ExportSweep, EveryDatagramParsesAndTheCountsAddUp) {
    std::string mixed;
    const char pattern[] = "ab\"\\\x01\xe9.";
    while (mixed.size() < 253) mixed += pattern[mixed.size() % 7];
    const std::vector<std::string> names = {
        "plain.example",
        "quo\"ted",
        "back\\slash",
        std::string("ctl\x01\x1f\x7f\xff end"),
        std::string(253, 'x'),
        mixed,
        std::string(253, '\x02'),
    };
    Settings s;
    s.send_json = 1;
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        BucketSet set(400, 3);
        std::map<std::string, uint64_t> want;
        for (int k = 0; k < 300; ++k) {
            const SourceAddr src =
                make_addr(static_cast<uint8_t>(k * 37), static_cast<uint8_t>(k),
                          static_cast<uint8_t>(k >> 3), static_cast<uint8_t>(k * 11));
            // Some sums at and above 2^31.
            const uint32_t tcp = k % 10 == 0 ? 2147483648u + static_cast<uint32_t>(k) : 0;
            const uint32_t udp = static_cast<uint32_t>(k * 7919 % 100000);
            put(set, src, tcp, udp);
            want[to_text(src).c_str()] += uint64_t{tcp} + udp;
        }
        CollectingSender sender;
        sweep(s, set, escape_host_name(name.c_str()), sender);
        ASSERT_GE(sender.datagrams.size(), 2u);
        std::map<std::string, uint64_t> got;
        for (const std::string& d : sender.datagrams) {
            ASSERT_LE(d.size(), 1199u);
            ASSERT_EQ(d.back(), '\0');
            ASSERT_EQ(d.find('\0'), d.size() - 1);
            const auto j = nlohmann::json::parse(d.substr(0, d.size() - 1));
            EXPECT_EQ(j.size(), 3u);
            EXPECT_EQ(j["hostname"].get<std::string>(), decoded_host(name));
            EXPECT_EQ(j["type"], "source");
            ASSERT_TRUE(j["data"].is_object());
            EXPECT_FALSE(j["data"].empty());
            for (const auto& [addr, n] : j["data"].items()) {
                EXPECT_EQ(got.count(addr), 0u) << addr;
                got[addr] = n.get<uint64_t>();
            }
        }
        EXPECT_EQ(got, want);
        expect_all_free(set);
    }
}

TEST(ExportSweep, TheTotalsBucketIsNotTouched) {
    for (const Settings& s : {sending_modes(0)[0], sending_modes(1)[1]}) {
        Table table(8, 3);
        table.reset_totals(kNow - 50);
        table.add_query(make_addr(192, 0, 2, 10), kTcp, 7, 1, kNow - 40);
        table.add_query(make_addr(192, 0, 2, 11), kUdp, 9, 28, kNow - 30);
        const Bucket before = table.totals();
        BucketSet& retired = table.swap_sets();
        CollectingSender sender;
        sweep(s, retired, escape_host_name("host1"), sender);
        expect_all_free(retired);
        const Bucket& after = table.totals();
        EXPECT_EQ(after.tcp_count, 7u);
        EXPECT_EQ(after.udp_count, 9u);
        EXPECT_EQ(after.first_packet, kNow - 50);
        EXPECT_EQ(memcmp(after.qstats, before.qstats, sizeof before.qstats), 0);
        EXPECT_EQ(after.type_count(1), 7);
        EXPECT_EQ(after.type_count(28), 9);
    }
}

// ---- answers (-R) -------------------------------------------------------------

// A query (rcode ignored) or an answer for who, as the capture hands it to
// the table, of size bytes, in zone when one is given (with a name hash).
Observation observation(SourceAddr who, bool answer, uint8_t rcode, uint32_t size,
                        const ZoneQuery* zone = nullptr, bool truncated = false) {
    return Observation{.who = who,
                       .time = kNow,
                       .protocol = static_cast<uint8_t>(kUdp),
                       .answer = answer,
                       .truncated = truncated,
                       .rcode = rcode,
                       .qtype = 1,
                       .size = size,
                       .zone = zone};
}

// One cycle of a small network through the export as the program wires it,
// with and without -R: the source datagram lists only the sources that sent
// a query, the zone entries gain their answer counts, and the answers
// datagram follows the zones'. 192.0.2.7 sent 40 queries (5 of them in
// example., to 3 names) and got 30 NOERROR, 8 NXDOMAIN, 1 SERVFAIL and 1
// NOTIMP (other) answers; 2001:db8:1:2::/64 got two REFUSED answers, one
// truncated, to queries of an earlier cycle; 198.51.100.7 sent 5 queries
// and got no answer.
TEST(ExportAnswers, OneCycleInTheOrderSourcesZonesAnswers) {
    const SourceAddr client = make_addr(192, 0, 2, 7);
    const SourceAddr late = make_addr6("2001:db8:1:2::");
    const SourceAddr quiet = make_addr(198, 51, 100, 7);
    const ZoneKey example = ZoneKey::of("example.");
    const ZoneQuery names[] = {{&example, 11}, {&example, 12}, {&example, 13}};
    const struct {
        bool answers;
        std::vector<std::string> want;
    } cases[] = {
        {false,
         {"{\"hostname\":\"host1\",\"type\":\"source\",\"data\":"
          "{\"192.0.2.7\":40,\"198.51.100.7\":5}}",
          "{\"hostname\":\"host1\",\"type\":\"zone\",\"data\":"
          "{\"example.\":{\"queries\":5,\"names\":3}}}"}},
        {true,
         {"{\"hostname\":\"host1\",\"type\":\"source\",\"data\":"
          "{\"192.0.2.7\":40,\"198.51.100.7\":5}}",
          "{\"hostname\":\"host1\",\"type\":\"zone\",\"data\":{\"example.\":"
          "{\"queries\":5,\"names\":3,\"answers\":5,\"nxdomain\":4,\"servfail\":0}}}",
          "{\"hostname\":\"host1\",\"type\":\"answers\",\"data\":{"
          "\"192.0.2.7\":{\"answers\":40,\"noerror\":30,\"nxdomain\":8,\"servfail\":1,"
          "\"refused\":0,\"other\":1,\"truncated\":0,\"bytes\":5120,\"query_bytes\":1600},"
          "\"2001:db8:1:2::/64\":{\"answers\":2,\"noerror\":0,\"nxdomain\":0,\"servfail\":0,"
          "\"refused\":2,\"other\":0,\"truncated\":1,\"bytes\":1200,\"query_bytes\":0}}}"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answers);
        Settings s;
        s.foreground = 1;
        s.send_json = 1;
        s.zone_threshold = 100;
        s.zone_count = 16;
        s.count_answers = c.answers;
        LockGuarded<Table> table(16, 5, 16, c.answers);
        {
            auto t = table.lock();
            for (int k = 0; k < 40; ++k) {
                t->add(observation(client, false, 0, 40, k < 5 ? &names[k % 3] : nullptr));
            }
            for (int k = 0; k < 5; ++k) t->add(observation(quiet, false, 0, 30));
            if (c.answers) {
                // The zone's answers: 1 NOERROR, 4 NXDOMAIN.
                for (int k = 0; k < 30; ++k)
                    t->add(observation(client, true, 0, 128, k == 0 ? &names[0] : nullptr));
                for (int k = 0; k < 8; ++k)
                    t->add(observation(client, true, 3, 128, k < 4 ? &names[1] : nullptr));
                t->add(observation(client, true, 2, 128));
                t->add(observation(client, true, 4, 128));
                t->add(observation(late, true, 5, 500));
                t->add(observation(late, true, 5, 700, nullptr, true));
            }
        }
        CollectingSender sender;
        const HostJson host = escape_host_name("host1");  // the export keeps a reference
        JsonExport json(s, host, sender);
        StatsCycle cycle(s, table);
        cycle.add_consumer(&json);
        cycle.run(kNow + 2);
        std::vector<std::string> want;
        for (const std::string& w : c.want) want.push_back(w + '\0');
        EXPECT_EQ(sender.datagrams, want);
    }
}

// Which datagrams list a source: the source datagram those that sent a
// query, the answers datagram those answered, whatever their 32-bit sums
// wrapped to.
TEST(ExportAnswers, EachDatagramListsTheSourcesItCounts) {
    const struct {
        const char* what;
        uint32_t tcp, udp;
        AnswerCounts answers;
        const char* source;    // its source entry, or null for none
        const char* answered;  // its "answers" value, or null for no entry
    } cases[] = {
        {"queries only", 0, 3, {}, "3", nullptr},
        {"answers only", 0, 0, {{1, 0, 2, 0, 0}, 0, 300, 0}, nullptr, "3"},
        {"both", 2, 0, {{0, 1, 0, 0, 0}, 0, 90, 60}, "2", "1"},
        {"query counts that wrap to 0", 2147483648u, 2147483648u, {}, "0", nullptr},
        {"answer classes that wrap to 0", 0, 0, {{4294967295u, 1, 0, 0, 0}, 0, 10, 0}, nullptr,
         "0"},
    };
    Settings s;
    s.send_json = 1;
    s.count_answers = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BucketSet set(4, 3, true);
        const int32_t i = put(set, make_addr(192, 0, 2, 10), c.tcp, c.udp);
        set.answers(i) = c.answers;
        CollectingSender sender;
        export_sources(s, set, escape_host_name("host1"), sender);
        export_answers(s, set, escape_host_name("host1"), sender);
        std::map<std::string, std::string> listed;  // type -> the source's count
        for (const std::string& d : sender.datagrams) {
            const auto j = nlohmann::json::parse(d.substr(0, d.size() - 1));
            ASSERT_EQ(j["data"].size(), 1u);
            const auto& v = j["data"]["192.0.2.10"];
            listed[j["type"]] = (v.is_object() ? v["answers"] : v).dump();
        }
        std::map<std::string, std::string> want;
        if (c.source != nullptr) want["source"] = c.source;
        if (c.answered != nullptr) want["answers"] = c.answered;
        EXPECT_EQ(listed, want);
    }
}

// Many sources, a third of them answered only, a third only asking: every
// datagram of each type a whole JSON object under 1199 bytes, every source
// in the datagrams of its type exactly once with its counts.
TEST(ExportAnswers, ManySourcesChunkedEachListedOnce) {
    using Values = std::map<std::string, uint64_t>;
    for (const std::string& host : {std::string("host1"), std::string(253, 'h')}) {
        SCOPED_TRACE(host.size());
        Settings s;
        s.send_json = 1;
        s.count_answers = 1;
        BucketSet set(400, 3, true);
        std::map<std::string, uint64_t> want_sources;
        std::map<std::string, Values> want_answers;
        for (int k = 0; k < 300; ++k) {
            const SourceAddr src =
                make_addr(10, static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k), 1);
            const uint32_t queries = k % 3 == 1 ? 0 : static_cast<uint32_t>(k * 7919 % 100000 + 1);
            const int32_t i = put(set, src, 0, queries);
            const std::string key = to_text(src).c_str();
            if (queries != 0) want_sources[key] = queries;
            if (k % 3 == 0) continue;
            // Counts up to 10 digits make the longest entries.
            const uint32_t big = 4000000000u + static_cast<uint32_t>(k);
            AnswerCounts& a = set.answers(i);
            a = AnswerCounts{{static_cast<uint32_t>(k), 1, static_cast<uint32_t>(k % 7), 2, 3},
                             static_cast<uint32_t>(k % 2), big, k % 3 == 1 ? 0 : big - 1};
            want_answers[key] = {
                {"answers", a.answers()},           {"noerror", a.by_class[kNoError]},
                {"nxdomain", a.by_class[kNxDomain]}, {"servfail", a.by_class[kServFail]},
                {"refused", a.by_class[kRefused]},   {"other", a.by_class[kOtherCode]},
                {"truncated", a.truncated},          {"bytes", a.bytes},
                {"query_bytes", a.query_bytes}};
        }
        CollectingSender sender;
        export_sources(s, set, escape_host_name(host.c_str()), sender);
        export_answers(s, set, escape_host_name(host.c_str()), sender);
        std::map<std::string, uint64_t> got_sources;
        std::map<std::string, Values> got_answers;
        size_t answer_datagrams = 0;
        for (const std::string& d : sender.datagrams) {
            ASSERT_LE(d.size(), 1199u);
            ASSERT_EQ(d.find('\0'), d.size() - 1);
            const auto j = nlohmann::json::parse(d.substr(0, d.size() - 1));
            EXPECT_EQ(j["hostname"], host);
            ASSERT_FALSE(j["data"].empty());
            for (const auto& [addr, v] : j["data"].items()) {
                if (j["type"] == "source") {
                    EXPECT_TRUE(got_sources.emplace(addr, v.get<uint64_t>()).second) << addr;
                    continue;
                }
                ASSERT_EQ(j["type"], "answers");
                Values values;
                for (const auto& [name, n] : v.items()) values[name] = n.get<uint64_t>();
                EXPECT_TRUE(got_answers.emplace(addr, values).second) << addr;
            }
            answer_datagrams += j["type"] == "answers" ? 1 : 0;
        }
        EXPECT_GE(answer_datagrams, 2u);
        EXPECT_EQ(got_sources, want_sources);
        EXPECT_EQ(got_answers, want_answers);
    }
}

TEST(ExportAnswers, NothingWithoutSendJsonOrWithoutAnswerCounts) {
    const struct {
        int send_json;
        bool answers;
    } cases[] = {{0, true}, {1, false}};
    for (const auto& c : cases) {
        Settings s;
        s.send_json = c.send_json;
        s.count_answers = c.answers;
        BucketSet set(4, 3, c.answers);
        put(set, make_addr(192, 0, 2, 10), 0, 3);
        CollectingSender sender;
        export_answers(s, set, escape_host_name("host1"), sender);
        EXPECT_TRUE(sender.datagrams.empty());
    }
}

// ---- the host name -------------------------------------------------------------

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

TEST(ExportHostName, EscapesAndCapsAtAWholeEscape) {
    struct Case {
        const char* name;
        std::string host;
        std::string want;  // hex digits compared in either case
    };
    const Case cases[] = {
        {"plain", "host1.example", "host1.example"},
        {"quote", "a\"b", "a\\\"b"},
        {"backslash", "a\\b", "a\\\\b"},
        {"control bytes", "\x01x\x1f", "\\u0001x\\u001f"},
        {"space and tilde stay", " ~", " ~"},
        {"DEL and high bytes", "\x7f\x80\xff", "\\u007f\\u0080\\u00ff"},
        {"exactly the cap", std::string(512, 'a'), std::string(512, 'a')},
        {"one over the cap", std::string(513, 'a'), std::string(512, 'a')},
        {"an escape that would cross the cap is dropped", std::string(511, 'a') + "\"",
         std::string(511, 'a')},
        {"an escape that ends at the cap is kept", std::string(510, 'a') + "\"",
         std::string(510, 'a') + "\\\""},
        {"nothing follows a dropped escape", std::string(509, 'a') + "\x01" + "b",
         std::string(509, 'a')},
        {"253 control bytes keep 85 whole escapes", std::string(253, '\x01'),
         [] {
             std::string s;
             for (int i = 0; i < 85; ++i) s += "\\u0001";
             return s;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const HostJson h = escape_host_name(c.host.c_str());
        EXPECT_LE(strlen(h.text), kHostJsonMax);
        EXPECT_EQ(lower(h.text), lower(c.want));
    }
}

}  // namespace
}  // namespace qv
