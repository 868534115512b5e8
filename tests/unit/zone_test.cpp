// Zones: the zone of a name, the distinct-name sketch, and zones through a
// cycle (alarm lines with their hold-off, datagrams).
#include "capture/zone.h"

#include <gtest/gtest.h>
#include <libpsl.h>
#include <syslog.h>

#include <unistd.h>

#include <cctype>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "collectors.h"
#include "control/startup.h"
#include "control/stats_thread.h"
#include "table/zones.h"

namespace qv {
namespace {

constexpr time_t kDay = time_t{86400} * 20000;

std::string zone(ZoneFinder& f, const std::string& name) {
    ZoneText z;
    f.zone_of(name, z);
    return std::string(z.view());
}

TEST(Zones, ZoneOfAName) {
    ZoneFinder finder(7);
    ASSERT_TRUE(finder.cached());
    const struct {
        const char* name;
        const char* zone;
    } cases[] = {
        {"x7f3k2.example.com.", "example.com."},
        {"a.b.c.example.com.", "example.com."},
        {"example.com.", "example.com."},
        {"www.example.co.uk.", "example.co.uk."},
        {"example.co.uk.", "example.co.uk."},
        {"co.uk.", "co.uk."},          // a public suffix is its own zone
        {"com.", "com."},
        {"localhost.", "localhost."},  // a single label
        {"", "."},                     // the root
        {"WWW.Example.COM.", "example.com."},  // case-folded
        {"a.b.c.kawasaki.jp.", "b.c.kawasaki.jp."},  // a wildcard rule
        {"x.city.kawasaki.jp.", "city.kawasaki.jp."},  // an exception to it
        {"foo.bar.ck.", "foo.bar.ck."},
        {"a.foo.bar.ck.", "foo.bar.ck."},
        {"0/25.2.0.192.in-addr.arpa.", "192.in-addr.arpa."},
        {"*.example.org.", "example.org."},
        {"a\\032b.example.net.", "example.net."},
        {"a\\.b.example.net.", "example.net."},  // an escaped dot is no label boundary
        {"x.a\\.b.net.", "a\\.b.net."},
        {"blogspot.com.", "blogspot.com."},    // a rule of the list's private part
        {"me.blogspot.com.", "me.blogspot.com."},
        {"\\032x.example.co.uk.", "example.co.uk."},  // an escape before the zone
        {"a.b\\.c.example.com.", "example.com."},
        {"a.b\\.c.com.", "b\\.c.com."},                // ... in the zone itself
        {"a*b.example.com.", "example.com."},
        {"a.b.c*.kawasaki.jp.", "b.c*.kawasaki.jp."},    // a label of no rule, under a wildcard
        {"xn--80ak6aa92e.com.", "xn--80ak6aa92e.com."},  // punycode: asked of libpsl
        {"www.xn--80ak6aa92e.com.", "xn--80ak6aa92e.com."},
        {"a.b.xn--p1ai.", "b.xn--p1ai."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(zone(finder, c.name), c.zone) << c.name;
        // Twice: the second answer may come from the cache.
        EXPECT_EQ(zone(finder, c.name), c.zone) << c.name << " (again)";
    }
    // A name longer than the zone text keeps the zone (its end).
    std::string long_name;
    for (int i = 0; i < 3; ++i) long_name += std::string(63, 'a' + static_cast<char>(i)) + ".";
    long_name += "example.com.";
    EXPECT_EQ(zone(finder, long_name), "example.com.");
    // Distinct names hash apart; case does not count.
    ZoneText a, b, c;
    finder.zone_of("Q1.example.com.", a);
    finder.zone_of("q1.EXAMPLE.com.", b);
    finder.zone_of("q2.example.com.", c);
    EXPECT_EQ(a.name_hash, b.name_hash);
    EXPECT_NE(a.name_hash, c.name_hash);
}

// The cache gives what libpsl gives on the whole name, over a mix of names
// under common, wildcard, exception and private rules.
TEST(Zones, CacheAgreesWithLibpsl) {
    ZoneFinder cached(11);
    const psl_ctx_t* psl = psl_load_file("/usr/share/publicsuffix/public_suffix_list.dat");
    ASSERT_NE(psl, nullptr);
    const char* parents[] = {"example.com", "com", "co.uk", "uk", "kawasaki.jp", "city.kawasaki.jp",
                             "jp", "ck", "bar.ck", "blogspot.com", "github.io", "s3.amazonaws.com",
                             "in-addr.arpa", "a.b.example.de", "nowhere", "a.nowhere"};
    std::mt19937 rng(3);
    for (int i = 0; i < 3000; ++i) {
        // Appended, not "l" + to_string(...): g++ 12 -O2 warns falsely
        // (-Wrestrict) on that form.
        std::string first = "l";
        first += std::to_string(rng() % 50);
        if (rng() % 7 == 0) first = "city";
        if (rng() % 9 == 0) first = "www";
        const std::string parent = parents[rng() % std::size(parents)];
        const std::string name = first + "." + parent;
        const char* r = psl_registrable_domain(psl, name.c_str());
        const std::string want = std::string(r != nullptr ? r : name.c_str()) + ".";
        ASSERT_EQ(zone(cached, name + "."), want) << name;
    }
    psl_free(const_cast<psl_ctx_t*>(psl));
}

// libpsl's zone of a plain name (lower case, with its final dot).
std::string psl_zone(const psl_ctx_t* psl, const std::string& name) {
    std::string bare = name.substr(0, name.size() - 1);
    for (char& c : bare) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const char* r = psl_registrable_domain(psl, bare.c_str());
    return std::string(r != nullptr ? r : bare.c_str()) + ".";
}

// Names made from each rule of a list: the rule itself (the '*' of a
// wildcard as a label), one, two and three labels in front of it, the
// labels of other rules in front of it, and the label the finder probes
// the list with; in upper case now and then.
std::vector<std::string> names_from_rules(const std::string& path, uint32_t seed) {
    std::vector<std::string> rules;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line.rfind("//", 0) == 0) continue;
        std::string rule = line.substr(0, line.find_first_of(" \t\r"));
        if (rule.empty()) continue;
        if (rule[0] == '!') rule.erase(0, 1);
        bool ascii = true;
        for (char c : rule) ascii &= static_cast<unsigned char>(c) < 0x80;
        if (ascii) rules.push_back(rule);
    }
    std::mt19937 rng(seed);
    const char* fronts[] = {"www", "a", "x0", "x1", "city", "b7-q_z", "co", "com", "jp", "Ab"};
    std::vector<std::string> names;
    for (const std::string& rule : rules) {
        std::string r = rule;
        if (r.rfind("*.", 0) == 0) r.replace(0, 1, rng() % 2 ? "any" : "x0");
        names.push_back(r + ".");
        std::string name = r + ".";
        for (int k = 0; k < 3; ++k) {
            name.insert(0, std::string(fronts[rng() % std::size(fronts)]) + ".");
            names.push_back(name);
        }
        // A label of another rule in front: rules nest.
        const std::string& other = rules[rng() % rules.size()];
        const size_t dot = other.find('.');
        if (other[0] != '*') names.push_back(other.substr(0, dot) + "." + r + ".");
        if (rng() % 5 == 0) {
            std::string upper = "WWW." + r + ".";
            for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            names.push_back(upper);
        }
    }
    return names;
}

// The table of tails answers as libpsl does on the whole name, for names
// made from every rule of the system's list.
TEST(Zones, TailsAgreeWithLibpslOnEveryRule) {
    const std::string list = "/usr/share/publicsuffix/public_suffix_list.dat";
    ZoneFinder finder(13);
    ASSERT_TRUE(finder.cached());
    EXPECT_GT(finder.tail_count(), 5000u);
    const psl_ctx_t* psl = psl_load_file(list.c_str());
    ASSERT_NE(psl, nullptr);
    const std::vector<std::string> names = names_from_rules(list, 5);
    ASSERT_GT(names.size(), 40000u);
    size_t wrong = 0;
    for (const std::string& name : names) {
        const std::string want = psl_zone(psl, name);
        const std::string got = zone(finder, name);
        if (got != want && ++wrong <= 20) ADD_FAILURE() << name << ": " << got << ", libpsl " << want;
    }
    EXPECT_EQ(wrong, 0u);
    psl_free(const_cast<psl_ctx_t*>(psl));
}

// The same on a small list of its own whose rules nest the awkward ways: a
// rule whose parent is none but whose grandparent is, a wildcard beside its
// exception and a rule under it, a deep rule, and a single-label rule
// under which nothing is listed.
TEST(Zones, TailsAgreeWithLibpslOnNestedRules) {
    char path[] = "/tmp/quorvane-zone-list-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string list =
        "// a small list\n"
        "name\nforgot.his.name\n"
        "ck\n*.ck\n!www.ck\nsub.www.ck\n"
        "example\na.b.c.d.example\n*.e.example\n"
        "jp\nkawasaki.jp\n*.kawasaki.jp\n!city.kawasaki.jp\n"
        "solo\n";
    ASSERT_EQ(write(fd, list.data(), list.size()), static_cast<ssize_t>(list.size()));
    close(fd);
    ZoneFinder finder(17, path);
    ASSERT_TRUE(finder.cached());
    const psl_ctx_t* psl = psl_load_file(path);
    ASSERT_NE(psl, nullptr);
    std::vector<std::string> names = names_from_rules(path, 9);
    // Labels drawn from the rules' own, so that suffixes that are no rule
    // but lie between rules come up.
    const char* labels[] = {"name", "his", "forgot", "ck", "www", "sub", "example", "a", "b", "c", "d",
                            "e", "jp", "kawasaki", "city", "solo", "x0", "other"};
    std::mt19937 rng(21);
    for (int i = 0; i < 20000; ++i) {
        std::string name;
        const int n = 1 + static_cast<int>(rng() % 6);
        for (int k = 0; k < n; ++k) name += std::string(labels[rng() % std::size(labels)]) + ".";
        names.push_back(name);
    }
    for (const std::string& name : names) ASSERT_EQ(zone(finder, name), psl_zone(psl, name)) << name;
    // What those rules mean, in a few words: the longest public suffix
    // wins even past a suffix that is none.
    EXPECT_EQ(zone(finder, "x.forgot.his.name."), "x.forgot.his.name.");
    EXPECT_EQ(zone(finder, "y.x.his.name."), "his.name.");
    EXPECT_EQ(zone(finder, "q.sub.www.ck."), "q.sub.www.ck.");
    EXPECT_EQ(zone(finder, "q.other.ck."), "q.other.ck.");
    EXPECT_EQ(zone(finder, "q.www.ck."), "www.ck.");
    psl_free(const_cast<psl_ctx_t*>(psl));
    unlink(path);
}

TEST(Zones, SketchWithinFivePercent) {
    for (uint32_t n : {10u, 16u, 17u, 1000u, 10000u, 1000000u}) {
        ZoneSet set(16, 99);
        const ZoneKey key = ZoneKey::of("example.com.");
        SeededHash h(1234, 32);
        char name[32];
        for (uint32_t i = 0; i < n; ++i) {
            const int len = snprintf(name, sizeof name, "n%u.example.com.", i);
            const uint64_t hash = h.text64(name, static_cast<size_t>(len));
            set.count(key, hash, kDay);
            if (i % 3 == 0) set.count(key, hash, kDay);  // the same name again
        }
        const int32_t i = set.next_in_use(0);
        ASSERT_GE(i, 0);
        const double got = set.distinct_names(i);
        if (n <= static_cast<uint32_t>(kExactNames)) {
            EXPECT_EQ(got, n);  // exact while small
        } else {
            EXPECT_NEAR(got / n, 1.0, 0.05) << n << " distinct, estimated " << got;
        }
        EXPECT_EQ(set.zone(i).queries, n + (n + 2) / 3);
    }
}

// A replay's output is the file's and the options' alone: the sketch
// estimates the same count of names in every run. A live capture keys the
// name hash afresh each time.
TEST(Zones, ReplayEstimatesTheSameNamesEveryRun) {
    auto estimate = [](uint64_t seed) {
        ZoneFinder finder(seed);
        ZoneSet set(16, 1);
        ZoneText z;
        char name[32];
        for (int i = 0; i < 5000; ++i) {
            snprintf(name, sizeof name, "n%d.example.com.", i);
            finder.zone_of(name, z);
            set.count(ZoneKey::of(z.view()), z.name_hash, kDay);
        }
        return set.distinct_names(set.next_in_use(0));
    };
    Settings replay;
    char file[] = "sample.pcap";
    replay.read_file = file;
    const uint32_t first = estimate(zone_seed(replay));
    EXPECT_NEAR(first, 5000, 250);
    for (int run = 0; run < 3; ++run) EXPECT_EQ(estimate(zone_seed(replay)), first);

    const Settings live;
    ZoneText a, b;
    ZoneFinder(zone_seed(live)).zone_of("www.example.com.", a);
    ZoneFinder(zone_seed(live)).zone_of("www.example.com.", b);
    EXPECT_NE(a.name_hash, b.name_hash);
}

TEST(Zones, TakeoverOfTheOldestAndReset) {
    ZoneSet set(11, 5);
    for (int k = 0; k < 11; ++k) {
        set.count(ZoneKey::of(std::string("z").append(std::to_string(k)) + "."), k, kDay + k);
    }
    set.count(ZoneKey::of("z0."), 99, kDay + 20);   // z0 is now the newest
    set.count(ZoneKey::of("new."), 1, kDay + 21);   // takes over z1, the oldest
    std::vector<std::string> zones;
    for (int32_t i = set.next_in_use(0); i >= 0; i = set.next_in_use(i + 1)) {
        zones.emplace_back(set.zone(i).zone.view());
    }
    EXPECT_EQ(std::count(zones.begin(), zones.end(), "z1."), 0);
    EXPECT_EQ(std::count(zones.begin(), zones.end(), "new."), 1);
    EXPECT_EQ(std::count(zones.begin(), zones.end(), "z0."), 1);
    set.reset_all(kDay + 30);
    EXPECT_EQ(set.in_use_count(), 0);
}

// A zone that takes the place of one whose names filled the sketch counts
// only its own names.
TEST(Zones, AZoneInTheSlotOfAnotherCountsOnlyItsOwnNames) {
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "after a reset" : "taken over");
        ZoneSet set(1, 5);
        for (uint64_t k = 0; k < 5000; ++k) set.count(ZoneKey::of("old."), SeededHash::mix(k), kDay);
        ASSERT_GT(set.distinct_names(0), 4000u);
        if (reset) set.reset_all(kDay + 1);
        for (uint64_t k = 0; k < 100; ++k) {
            set.count(ZoneKey::of("new."), SeededHash::mix(1000000 + k), kDay + 2);
        }
        ASSERT_EQ(set.zone(0).zone.view(), "new.");
        EXPECT_EQ(set.zone(0).queries, 100u);
        EXPECT_EQ(set.zone(0).first_packet, kDay + 2);
        EXPECT_NEAR(set.distinct_names(0), 100.0, 5.0);
    }
}

// A zone's text is kept whole whatever its length: in the entry up to 63
// characters, beyond that in the set's own copy. Zones that share their
// first 63 characters or more are still told apart, and a zone taking over
// the place of a long one (or a long one of a short one) has its own text.
TEST(Zones, TextsKeptWholeThroughTakeovers) {
    const std::string tail = ".example.";
    auto zone_of_len = [&](size_t len, char fill) { return std::string(len - tail.size(), fill) + tail; };
    const std::vector<std::string> zones = {
        "a.",
        zone_of_len(62, 'b'),
        zone_of_len(63, 'c'),
        zone_of_len(64, 'd'),
        zone_of_len(200, 'e'),
        zone_of_len(255, 'f'),
        zone_of_len(100, 'g'),
        std::string(70, 'g') + "h" + zone_of_len(100, 'g').substr(71),  // the same length, apart after 70
        zone_of_len(64, 'c'),  // the 63-character one's first 63, and more
    };
    for (const int32_t size : {16, 3}) {
        SCOPED_TRACE(size);
        ZoneSet set(size, 5);
        std::map<std::string, uint32_t> want;
        for (int round = 0; round < 3; ++round) {
            for (size_t k = 0; k < zones.size(); ++k) {
                const ZoneKey key = ZoneKey::of(zones[k]);
                set.count(key, k, kDay + round * 100 + static_cast<time_t>(k));
                set.count(key, k, kDay + round * 100 + static_cast<time_t>(k));
                want[zones[k]] = size == 16 ? 2u * (round + 1) : 2u;  // a small set keeps only the newest
            }
        }
        std::map<std::string, uint32_t> got;
        for (int32_t i = set.next_in_use(0); i >= 0; i = set.next_in_use(i + 1)) {
            const ZoneCount& z = set.zone(i);
            const ZoneKey copy = z.zone;  // as alarms and the metrics keep it
            EXPECT_EQ(copy.view(), z.zone.view());
            const ZoneCount whole = z;  // a copy of a short zone has its own text
            EXPECT_EQ(whole.zone.view(), z.zone.view());
            EXPECT_EQ(whole.zone.text == whole.zone.head, z.zone.len <= kZoneHead);
            got[std::string(z.zone.view())] = z.queries;
        }
        if (size == 16) {
            EXPECT_EQ(got, want);
        } else {
            ASSERT_EQ(got.size(), 3u);
            for (size_t k = zones.size() - 3; k < zones.size(); ++k) EXPECT_EQ(got[zones[k]], 2u) << zones[k];
        }
    }
}

// Names are counted exactly up to 16 distinct ones, each asked again and
// again, in any order; the 17th goes to the sketch.
TEST(Zones, ExactNamesUpToSixteen) {
    for (uint32_t distinct = 1; distinct <= 17; ++distinct) {
        ZoneSet set(11, 3);
        const ZoneKey key = ZoneKey::of("example.org.");
        for (int round = 0; round < 3; ++round) {
            for (uint32_t k = 0; k < distinct; ++k) {
                const uint32_t name = round == 1 ? distinct - 1 - k : k;
                set.count(key, SeededHash::mix(500 + name), kDay);
            }
        }
        const int32_t i = set.next_in_use(0);
        ASSERT_GE(i, 0);
        EXPECT_EQ(set.zone(i).queries, 3 * distinct);
        if (distinct <= static_cast<uint32_t>(kExactNames)) {
            EXPECT_EQ(set.distinct_names(i), distinct);
        } else {
            EXPECT_NEAR(set.distinct_names(i), distinct, 1.0);
        }
    }
}

class ZoneCycle : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        s_.zone_threshold = 100;
        s_.zone_count = 16;
        s_.threshold = 1000000;
        s_.alarm_reset = 90;
        s_.send_json = 1;
        host_ = escape_host_name("host1");
    }
    // n queries of zone at time at, for `names` distinct names in turn.
    void add(const char* zone_text, uint32_t n, uint32_t names, time_t at) {
        auto t = table_.lock();
        const ZoneKey key = ZoneKey::of(zone_text);
        for (uint32_t i = 0; i < n; ++i) t->count_zone(key, SeededHash::mix(1000 + i % names), at);
    }
    Settings s_;
    LockGuarded<Table> table_{16, 5, 16};
    test::CollectingSink sink_;
    test::CollectingSender sender_;
    HostJson host_;
};

TEST_F(ZoneCycle, AlarmEdgesAndLines) {
    s_.foreground = 1;
    WiredCycle cycle(s_, table_, sink_, sender_, host_);
    add("flood.example.", 202, 16, kDay);       // 101 qps over 2 s: above
    add("edge.example.", 200, 1, kDay);         // exactly 100: not above
    add("young.example.", 10000, 10000, kDay + 1);  // 1 s: not rated
    cycle.run(kDay + 2);
    ASSERT_EQ(sink_.lines.size(), 1u);
    EXPECT_EQ(sink_.lines[0].text, "[00:00:02] zone [flood.example.] - 101 qps, 16 names\n");
    // The zone datagrams follow the source ones: every zone with its
    // queries and names.
    std::map<std::string, std::pair<uint32_t, uint32_t>> got;
    for (const auto& d : sender_.datagrams) {
        auto j = nlohmann::json::parse(d.substr(0, d.size() - 1));
        if (j["type"] != "zone") continue;
        for (const auto& [z, v] : j["data"].items()) got[z] = {v["queries"], v["names"]};
    }
    EXPECT_EQ(got["flood.example."], std::make_pair(202u, 16u));
    EXPECT_EQ(got["edge.example."], std::make_pair(200u, 1u));
    EXPECT_EQ(got["young.example."].first, 10000u);
    EXPECT_NEAR(got["young.example."].second, 10000.0, 500.0);
}

TEST_F(ZoneCycle, DaemonHoldOffKeyedByZone) {
    s_.foreground = 0;
    WiredCycle cycle(s_, table_, sink_, sender_, host_);
    std::vector<size_t> lines;
    for (time_t at : {kDay + 2, kDay + 40, kDay + 92, kDay + 94}) {
        add("a.example.", 1000, 50, at - 2);
        add("b.example.", at == kDay + 40 ? 1000 : 10, 50, at - 2);
        sink_.lines.clear();
        cycle.run(at);
        lines.push_back(sink_.lines.size());
        for (const auto& l : sink_.lines) {
            EXPECT_TRUE(l.syslog);
            EXPECT_EQ(l.priority, LOG_NOTICE);
        }
    }
    // a at +2 and again once 90 s have passed (+94; +92 is exactly 90);
    // b once, at +40.
    EXPECT_EQ(lines, (std::vector<size_t>{1, 1, 0, 1}));
}

}  // namespace
}  // namespace qv
