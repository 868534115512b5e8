#include "table/table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "naive_table.h"

namespace qv {
namespace {

constexpr SourceAddr kA = make_addr(10, 0, 0, 1);
constexpr SourceAddr kB = make_addr(10, 0, 0, 2);
constexpr SourceAddr kC = make_addr(10, 0, 0, 3);
constexpr SourceAddr kD = make_addr(10, 0, 0, 4);
constexpr SourceAddr kE = make_addr(192, 0, 2, 5);
constexpr SourceAddr kBroadcast = make_addr(255, 255, 255, 255);
constexpr SourceAddr kZero = make_addr(0, 0, 0, 0);
constexpr SourceAddr kZero6{};  // ::, all sixteen bytes zero

constexpr int kTcp = 6;
constexpr int kUdp = 17;

struct Want {
    SourceAddr ip;
    uint32_t tcp = 0;
    uint32_t udp = 0;
    time_t first = 0;
    time_t last = 0;
    std::map<int, int32_t> qstats = {};  // by type code; every other count must be 0
};

void expect_bucket(const Bucket& b, const Want& w) {
    EXPECT_EQ(b.ip_addr, w.ip);
    EXPECT_EQ(b.tcp_count, w.tcp);
    EXPECT_EQ(b.udp_count, w.udp);
    EXPECT_EQ(b.first_packet, w.first);
    EXPECT_EQ(b.last_packet, w.last);
    for (int t = 0; t < 256; ++t) {
        auto it = w.qstats.find(t);
        EXPECT_EQ(b.type_count(static_cast<uint8_t>(t)), it == w.qstats.end() ? 0 : it->second)
            << "type " << t;
    }
}

std::vector<int32_t> in_use_list(const BucketSet& set) {
    std::vector<int32_t> out;
    for (int32_t i = set.next_in_use(0); i >= 0; i = set.next_in_use(i + 1)) out.push_back(i);
    return out;
}

struct EdgeCase {
    const char* name;
    int32_t buckets;
    std::function<void(Table&)> run;
};

const EdgeCase kEdgeCases[] = {
    {"first query from a new source claims bucket 0", 4,
     [](Table& t) {
         EXPECT_EQ(t.add_query(kA, kUdp, 1, 1, 100), 0);
         expect_bucket(t.active().bucket(0),
                       {.ip = kA, .udp = 1, .first = 100, .last = 100, .qstats = {{1, 1}}});
         EXPECT_EQ(in_use_list(t.active()), std::vector<int32_t>{0});
         EXPECT_EQ(t.active().in_use_count(), 1);
     }},
    {"a known source counts in its own bucket", 4,
     [](Table& t) {
         t.add_query(kA, kUdp, 1, 1, 100);
         t.add_query(kB, kUdp, 1, 1, 101);
         EXPECT_EQ(t.add_query(kA, kTcp, 2, 28, 105), 0);
         expect_bucket(t.active().bucket(0), {.ip = kA,
                                              .tcp = 2,
                                              .udp = 1,
                                              .first = 100,
                                              .last = 105,
                                              .qstats = {{1, 1}, {28, 2}}});
         EXPECT_EQ(t.active().in_use_count(), 2);
     }},
    {"the lowest free bucket is claimed", 4,
     [](Table& t) {
         t.add_query(kA, kUdp, 1, 1, 10);
         t.add_query(kB, kUdp, 1, 1, 10);
         t.add_query(kC, kUdp, 1, 1, 10);
         t.active().reset_bucket(1, 20);
         EXPECT_FALSE(t.active().in_use(1));
         expect_bucket(t.active().bucket(1), {.ip = FREE_ADDR, .first = 20});
         EXPECT_EQ(in_use_list(t.active()), (std::vector<int32_t>{0, 2}));
         // Buckets 1 and 3 are free: 1 wins.
         EXPECT_EQ(t.add_query(kD, kUdp, 1, 1, 30), 1);
         EXPECT_EQ(t.add_query(kB, kUdp, 1, 1, 30), 3);
     }},
    {"a full table hands over the oldest bucket, lowest index on ties", 4,
     [](Table& t) {
         t.add_query(kA, kUdp, 1, 2, 10);
         t.add_query(kB, kUdp, 1, 2, 5);
         t.add_query(kC, kUdp, 1, 2, 5);
         t.add_query(kD, kUdp, 1, 2, 7);
         EXPECT_EQ(t.add_query(kE, kUdp, 1, 2, 20), 1);
         EXPECT_EQ(t.add_query(make_addr(10, 9, 9, 9), kUdp, 1, 2, 20), 2);
         EXPECT_EQ(t.add_query(make_addr(10, 9, 9, 8), kUdp, 1, 2, 20), 3);
         EXPECT_EQ(t.add_query(make_addr(10, 9, 9, 7), kUdp, 1, 2, 20), 0);
     }},
    {"last_packet moves both ways and the order follows", 3,
     [](Table& t) {
         t.add_query(kA, kUdp, 1, 1, 10);
         t.add_query(kB, kUdp, 1, 1, 20);
         t.add_query(kC, kUdp, 1, 1, 30);
         t.add_query(kA, kUdp, 1, 1, 40);  // A is now the newest
         t.add_query(kC, kUdp, 1, 1, 15);  // the clock went back: C is the oldest
         EXPECT_EQ(t.add_query(kD, kUdp, 1, 1, 50), 2);
         EXPECT_EQ(t.add_query(kE, kUdp, 1, 1, 50), 1);
     }},
    {"a taken-over bucket holds only the new source's query", 2,
     [](Table& t) {
         t.add_query(kA, kUdp, 3, 1, 10);
         t.add_query(kA, kTcp, 1, 15, 11);
         t.add_query(kB, kUdp, 1, 1, 12);
         EXPECT_EQ(t.add_query(kC, kTcp, 2, 28, 20), 0);
         expect_bucket(t.active().bucket(0),
                       {.ip = kC, .tcp = 2, .first = 20, .last = 20, .qstats = {{28, 2}}});
         // The totals keep what A counted.
         EXPECT_EQ(t.totals().udp_count, 4u);
         EXPECT_EQ(t.totals().tcp_count, 3u);
         EXPECT_EQ(t.totals().type_count(1), 4);
         EXPECT_EQ(t.totals().type_count(15), 1);
         EXPECT_EQ(t.totals().type_count(28), 2);
         // A comes back as a new source and takes B's bucket.
         EXPECT_EQ(t.add_query(kA, kUdp, 1, 1, 21), 1);
         expect_bucket(t.active().bucket(1),
                       {.ip = kA, .udp = 1, .first = 21, .last = 21, .qstats = {{1, 1}}});
     }},
    {"a claim starts a clean window in a free bucket", 2,
     [](Table& t) {
         // Leftovers in a free bucket do not reach the source that claims it.
         t.active().bucket(1).udp_count = 7;
         t.active().bucket(1).qstats[0] = 3;
         t.add_query(kA, kUdp, 1, 1, 10);
         EXPECT_EQ(t.add_query(kB, kUdp, 1, 1, 11), 1);
         expect_bucket(t.active().bucket(1),
                       {.ip = kB, .udp = 1, .first = 11, .last = 11, .qstats = {{1, 1}}});
     }},
    {"protocol 6 is TCP, every other protocol UDP", 8,
     [](Table& t) {
         const struct {
             int protocol;
             bool tcp;
         } rows[] = {{6, true}, {17, false}, {1, false}, {0, false}, {132, false}, {-6, false}};
         uint32_t tcp = 0, udp = 0;
         for (const auto& row : rows) {
             const int32_t i = t.add_query(kA, row.protocol, 1, 1, 10);
             (row.tcp ? tcp : udp) += 1;
             EXPECT_EQ(t.active().bucket(i).tcp_count, tcp) << "protocol " << row.protocol;
             EXPECT_EQ(t.active().bucket(i).udp_count, udp) << "protocol " << row.protocol;
         }
         EXPECT_EQ(t.totals().tcp_count, tcp);
         EXPECT_EQ(t.totals().udp_count, udp);
     }},
    {"the query type counts by its full 16 bits: CAA is not A", 4,
     [](Table& t) {
         t.add_query(kA, kUdp, 1, 255, 10);
         t.add_query(kA, kUdp, 1, 0x1FF, 10);  // 511
         t.add_query(kA, kUdp, 1, 257, 10);    // CAA
         t.add_query(kA, kUdp, 1, 0xFFFF, 10);
         t.add_query(kA, kUdp, 1, 1, 10);
         expect_bucket(
             t.active().bucket(0),
             {.ip = kA, .udp = 5, .first = 10, .last = 10, .qstats = {{255, 1}, {1, 1}}});
         EXPECT_EQ(t.totals().type_count(255), 1);
         EXPECT_EQ(t.totals().type_count(1), 1);
         EXPECT_EQ(t.totals().udp_count, 5u);
     }},
    {"255.255.255.255 is an ordinary source", 3,
     [](Table& t) {
         t.add_query(kA, kUdp, 1, 1, 10);
         // Buckets 1 and 2 are free and hold FREE_ADDR: neither is its own.
         EXPECT_EQ(t.add_query(kBroadcast, kUdp, 1, 1, 11), 1);
         EXPECT_TRUE(t.active().in_use(1));
         EXPECT_EQ(t.active().in_use_count(), 2);
         EXPECT_EQ(t.add_query(kBroadcast, kTcp, 1, 1, 12), 1);
         expect_bucket(
             t.active().bucket(1),
             {.ip = kBroadcast, .tcp = 1, .udp = 1, .first = 11, .last = 12, .qstats = {{1, 2}}});
         EXPECT_EQ(t.add_query(kB, kUdp, 1, 1, 13), 2);
         EXPECT_EQ(in_use_list(t.active()), (std::vector<int32_t>{0, 1, 2}));
         // Oldest is A (10), then 255.255.255.255 (12): both can be taken over.
         EXPECT_EQ(t.add_query(kC, kUdp, 1, 1, 14), 0);
         EXPECT_EQ(t.add_query(kD, kUdp, 1, 1, 14), 1);
         EXPECT_EQ(t.active().bucket(1).ip_addr, kD);
         // Freed and back: a fresh claim, not a find.
         EXPECT_EQ(t.add_query(kBroadcast, kUdp, 1, 1, 15), 2);
         t.active().reset_bucket(2, 16);
         EXPECT_FALSE(t.active().in_use(2));
         EXPECT_EQ(t.add_query(kBroadcast, kUdp, 1, 1, 17), 2);
         expect_bucket(t.active().bucket(2),
                       {.ip = kBroadcast, .udp = 1, .first = 17, .last = 17, .qstats = {{1, 1}}});
     }},
    {"0.0.0.0 is an ordinary source", 3,
     [](Table& t) {
         EXPECT_EQ(t.add_query(kZero, kUdp, 1, 1, 10), 0);
         EXPECT_EQ(t.add_query(kA, kUdp, 1, 1, 10), 1);
         EXPECT_EQ(t.add_query(kZero, kUdp, 1, 1, 11), 0);
         expect_bucket(t.active().bucket(0),
                       {.ip = kZero, .udp = 2, .first = 10, .last = 11, .qstats = {{1, 2}}});
     }},
    {":: (all sixteen bytes zero) is an ordinary source, apart from 0.0.0.0", 3,
     [](Table& t) {
         EXPECT_EQ(t.add_query(kZero6, kUdp, 1, 1, 10), 0);
         EXPECT_EQ(t.add_query(kZero, kUdp, 1, 1, 10), 1);
         EXPECT_EQ(t.add_query(kZero6, kTcp, 1, 1, 11), 0);
         expect_bucket(t.active().bucket(0), {.ip = kZero6,
                                              .tcp = 1,
                                              .udp = 1,
                                              .first = 10,
                                              .last = 11,
                                              .qstats = {{1, 2}}});
         t.active().reset_bucket(0, 12);
         EXPECT_FALSE(t.active().in_use(0));
         expect_bucket(t.active().bucket(0), {.ip = FREE_ADDR, .first = 12});
     }},
    {"the totals sit after the per-source buckets", 11,
     [](Table& t) {
         EXPECT_EQ(t.bucket_count(), 11);
         EXPECT_EQ(t.totals_index(), 11);
         EXPECT_EQ(t.active().size(), 11);
         for (int32_t i = 0; i < 11; ++i)
             EXPECT_EQ(t.add_query(make_addr(10, 1, 1, uint8_t(i)), kUdp, 1, 1, 5), i);
     }},
    {"transport counters wrap", 2,
     [](Table& t) {
         t.add_query(kA, kTcp, 4294967295u, 1, 10);
         t.add_query(kA, kTcp, 1, 2, 10);
         t.add_query(kA, kUdp, 4294967295u, 3, 10);
         t.add_query(kA, kUdp, 2, 3, 10);
         EXPECT_EQ(t.active().bucket(0).tcp_count, 0u);
         EXPECT_EQ(t.active().bucket(0).udp_count, 1u);
         EXPECT_EQ(t.totals().tcp_count, 0u);
         EXPECT_EQ(t.totals().udp_count, 1u);
     }},
    {"query-type counters wrap in two's complement", 2,
     [](Table& t) {
         t.add_query(kA, kUdp, INT32_MAX, 1, 10);
         t.add_query(kA, kUdp, 1, 1, 10);
         t.add_query(kA, kUdp, 4294967295u, 2, 10);
         EXPECT_EQ(t.active().bucket(0).type_count(1), INT32_MIN);
         EXPECT_EQ(t.active().bucket(0).type_count(2), -1);
         EXPECT_EQ(t.totals().type_count(1), INT32_MIN);
         EXPECT_EQ(t.totals().type_count(2), -1);
     }},
    {"with no last_packet set, bucket 0 is taken over", 3,
     [](Table& t) {
         t.add_query(kA, kUdp, 1, 1, 0);
         t.add_query(kB, kUdp, 1, 1, 0);
         t.add_query(kC, kUdp, 1, 1, 0);
         EXPECT_EQ(t.add_query(kD, kUdp, 1, 1, 0), 0);
         EXPECT_EQ(t.active().bucket(0).ip_addr, kD);
         EXPECT_EQ(t.add_query(kE, kUdp, 1, 1, 0), 0);
     }},
    {"buckets with last_packet 0 are passed over; times compare as unsigned 32-bit seconds", 4,
     [](Table& t) {
         const time_t y2040 = time_t{1} << 31 | 5;  // past the signed 32-bit range
         t.add_query(kA, kUdp, 1, 1, 0);
         t.add_query(kB, kUdp, 1, 1, y2040);
         t.add_query(kC, kUdp, 1, 1, y2040 - 10);
         t.add_query(kD, kUdp, 1, 1, 0);
         EXPECT_EQ(t.add_query(kE, kUdp, 1, 1, y2040 + 1), 2);
         // A bucket counted at 0 again leaves the running.
         t.add_query(kB, kUdp, 1, 1, 0);
         EXPECT_EQ(t.add_query(make_addr(10, 9, 9, 9), kUdp, 1, 1, y2040 + 2), 2);
         EXPECT_EQ(t.add_query(make_addr(10, 9, 9, 8), kUdp, 1, 1, y2040 + 2), 2);
         // Only the low 32 bits are kept: 2^32 + 1 reads as 1, older than all.
         EXPECT_EQ(t.active().bucket(2).last_packet, stamp_of(y2040 + 2));
         t.add_query(kA, kUdp, 1, 1, (time_t{1} << 32) + 1);
         EXPECT_EQ(t.active().bucket(0).last_packet, 1u);
         EXPECT_EQ(t.add_query(make_addr(10, 9, 9, 7), kUdp, 1, 1, y2040 + 3), 0);
     }},
};

TEST(TableTest, EdgeCases) {
    for (const EdgeCase& c : kEdgeCases) {
        SCOPED_TRACE(c.name);
        Table t(c.buckets, 0x1234);
        c.run(t);
    }
}

// ---- the real table against the naive model ------------------------------

// Free buckets are compared on everything but first_packet: reset_all leaves
// it alone in buckets that were free already, and a claim rewrites it.
testing::AssertionResult same_bucket(const Bucket& real, const Bucket& model, bool free) {
    const bool same = real.ip_addr == model.ip_addr && real.tcp_count == model.tcp_count &&
                      real.udp_count == model.udp_count &&
                      (free || real.first_packet == model.first_packet) &&
                      real.last_packet == model.last_packet;
    if (!same) {
        return testing::AssertionFailure()
               << "ip " << to_text(real.ip_addr).c_str() << "/" << to_text(model.ip_addr).c_str() << " tcp " << real.tcp_count << "/"
               << model.tcp_count << " udp " << real.udp_count << "/" << model.udp_count
               << " first " << real.first_packet << "/" << model.first_packet << " last "
               << real.last_packet << "/" << model.last_packet;
    }
    for (int q = 0; q < kReportedTypes; ++q) {
        if (real.qstats[q] != model.qstats[q]) {
            return testing::AssertionFailure()
                   << "qstats[" << q << "] " << real.qstats[q] << "/" << model.qstats[q];
        }
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult same_set(const BucketSet& real, const test::NaiveTable& model) {
    const int32_t n = model.size();
    if (real.size() != n) return testing::AssertionFailure() << "size " << real.size();
    int32_t used = 0;
    int32_t next = -1;  // the model's next in-use bucket at or after i
    for (int32_t i = n - 1; i >= 0; --i) {
        if (real.in_use(i) != model.in_use(i)) {
            return testing::AssertionFailure() << "in_use(" << i << ") " << real.in_use(i);
        }
        if (model.in_use(i)) {
            ++used;
            next = i;
        }
        if (real.next_in_use(i) != next) {
            return testing::AssertionFailure()
                   << "next_in_use(" << i << ") " << real.next_in_use(i) << ", want " << next;
        }
        auto same = same_bucket(real.bucket(i), model.bucket(i), !model.in_use(i));
        if (!same) return same << " in bucket " << i;
    }
    if (real.in_use_count() != used) {
        return testing::AssertionFailure()
               << "in_use_count " << real.in_use_count() << ", want " << used;
    }
    if (real.next_in_use(-3) != next || real.next_in_use(n) != -1 ||
        real.next_in_use(n + 100) != -1) {
        return testing::AssertionFailure() << "next_in_use out of range";
    }
    return testing::AssertionSuccess();
}

struct DiffRun {
    int32_t buckets;
    uint32_t seed;
    int steps;
    int full_check_every;  // the touched bucket and totals are checked at every step
};

void differential(const DiffRun& run) {
    std::mt19937 rng(run.seed);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };

    Table table(run.buckets, run.seed * 0x9E3779B97F4A7C15ull);
    test::NaiveTable model(run.buckets);

    // Few sources: a handful that always find their bucket once it exists.
    // Many sources: several times the table size, so takeovers are common.
    const SourceAddr v6 = make_addr6("2001:db8:1:2::1");
    // The IPv6 twins of kA and of the free address: the same sixteen bytes,
    // another family, another source.
    const SourceAddr twin_a = make_addr6("::ffff:10.0.0.1");
    const SourceAddr twin_free = make_addr6("::ffff:255.255.255.255");
    std::vector<SourceAddr> few = {kA, kB, kBroadcast, kZero, kC, kZero6, v6, twin_a, twin_free};
    // Random IPv4 sources, some with their IPv6 twin, and IPv6 sources of
    // one /64 whose interface identifiers differ in a few low bits.
    std::vector<SourceAddr> many(static_cast<size_t>(run.buckets) * 4);
    for (size_t k = 0; k < many.size(); ++k) {
        if (k % 4 == 2) {
            many[k] = SourceAddr::from_v6(many[k - 2].bytes.data());
        } else if (k % 2 == 0) {
            const uint32_t r = rng();
            many[k] = make_addr(uint8_t(r >> 24), uint8_t(r >> 16), uint8_t(r >> 8), uint8_t(r));
        } else {
            many[k] = v6;
            many[k].bytes[15] = uint8_t(rng());
            many[k].bytes[14] = uint8_t(rng() & 3);
        }
    }
    many[0] = kBroadcast;
    many[1] = kZero;
    many[2] = kZero6;

    time_t now = 1000;
    bool flood = false;
    for (int step = 0; step < run.steps; ++step) {
        SCOPED_TRACE(testing::Message() << "step " << step << " now " << now);
        if (pick(300) == 0) flood = !flood;
        const uint32_t op = pick(1000);
        int32_t touched = -1;
        if (op < 830) {
            const SourceAddr addr = flood || pick(4) == 0 ? many[pick(uint32_t(many.size()))]
                                                        : few[pick(uint32_t(few.size()))];
            const int protocols[] = {6, 17, 17, 1, 0, 255};
            const int protocol = protocols[pick(6)];
            const uint32_t count = pick(50) == 0 ? 0xFFFFFFFFu - pick(3) : 1 + pick(3);
            const uint32_t qtype = pick(4) == 0 ? pick(0x400) : 1 + pick(3);
            const uint32_t how = pick(20);
            if (how == 0) {
                // The two halves of a query apart: a bucket found but not
                // yet counted, or counted at another time, or another
                // bucket counted in between.
                const int32_t want = model.find_bucket(addr, now);
                const int32_t got = table.active().find_bucket(addr, now);
                ASSERT_EQ(got, want) << "source " << to_text(addr).c_str();
                int32_t other = table.active().next_in_use(int32_t(pick(uint32_t(run.buckets))));
                if (other >= 0 && pick(2) == 0) {
                    model.count(other, protocol, count, qtype, now);
                    table.active().count(other, protocol, count, qtype, now);
                }
                if (pick(2) == 0) {
                    const time_t when = now + time_t(pick(3)) - 1;
                    model.count(got, protocol, count, qtype, when);
                    table.active().count(got, protocol, count, qtype, when);
                }
                touched = got;
            } else {
                const int32_t want = model.add_query(addr, protocol, count, qtype, now);
                const int32_t got = table.add_query(addr, protocol, count, qtype, now);
                ASSERT_EQ(got, want) << "source " << to_text(addr).c_str();
                touched = got;
            }
        } else if (op < 960) {
            // Mostly forward by whole seconds, sometimes still or backward,
            // to 0 or below.
            const uint32_t kind = pick(20);
            if (kind < 10) {
                now += 1;
            } else if (kind < 13) {
                now += 1 + pick(100);
            } else if (kind < 16) {
                now -= 1 + pick(5);
            } else if (kind < 17) {
                now = 0;
            } else if (kind < 18) {
                now = -static_cast<time_t>(pick(1000));
            } else if (kind < 19) {
                now = 1000 + pick(1000);
            }
        } else if (op < 980) {
            touched = static_cast<int32_t>(pick(uint32_t(run.buckets)));
            model.reset_bucket(touched, now);
            table.active().reset_bucket(touched, now);
        } else if (op < 990) {
            // A run of buckets freed one by one empties whole bitmap words.
            const int32_t from = static_cast<int32_t>(pick(uint32_t(run.buckets)));
            const int32_t to = std::min(run.buckets, from + 1 + int32_t(pick(150)));
            for (int32_t i = from; i < to; ++i) {
                model.reset_bucket(i, now);
                table.active().reset_bucket(i, now);
            }
        } else if (op < 997) {
            BucketSet& retired = table.swap_sets();
            ASSERT_EQ(table.active().in_use_count(), 0);
            std::vector<bool> was_used(static_cast<size_t>(retired.size()));
            for (int32_t i = 0; i < retired.size(); ++i) was_used[size_t(i)] = retired.in_use(i);
            retired.reset_all(now);
            model.reset_all(now);
            ASSERT_EQ(retired.in_use_count(), 0);
            ASSERT_EQ(retired.next_in_use(0), -1);
            for (int32_t i = 0; i < retired.size(); ++i) {
                ASSERT_TRUE(same_bucket(retired.bucket(i), model.bucket(i), !was_used[size_t(i)]))
                    << "retired bucket " << i;
            }
            ASSERT_TRUE(same_set(table.active(), model));
        } else {
            model.reset_totals(now);
            table.reset_totals(now);
        }

        if (touched >= 0) {
            ASSERT_EQ(table.active().in_use(touched), model.in_use(touched));
            ASSERT_TRUE(same_bucket(table.active().bucket(touched), model.bucket(touched),
                                    !model.in_use(touched)))
                << "bucket " << touched;
        }
        ASSERT_TRUE(same_bucket(table.totals(), model.totals(), false)) << "totals";
        if (step % run.full_check_every == 0) {
            ASSERT_TRUE(same_set(table.active(), model));
        }
    }
    ASSERT_TRUE(same_set(table.active(), model));
}

TEST(TableTest, MatchesNaiveModel) {
    // 65 and 200 buckets span two bitmap levels, 4100 three.
    const DiffRun runs[] = {
        {11, 1, 4000, 1}, {16, 2, 4000, 1},  {17, 3, 4000, 1},      {33, 4, 4000, 1},
        {64, 5, 4000, 1}, {65, 6, 4000, 1},  {200, 7, 6000, 1},     {1, 8, 2000, 1},
        {11, 9, 4000, 1}, {64, 10, 4000, 1}, {4100, 11, 40000, 97},
    };
    for (const DiffRun& run : runs) {
        SCOPED_TRACE(testing::Message() << "buckets " << run.buckets << " seed " << run.seed);
        differential(run);
        if (HasFatalFailure()) return;
    }
}

Observation query_of(const SourceAddr& who, int protocol, uint16_t qtype, uint32_t size, time_t t) {
    Observation o{};
    o.who = who;
    o.time = t;
    o.protocol = static_cast<uint8_t>(protocol);
    o.qtype = qtype;
    o.size = size;
    return o;
}

Observation answer_of(const SourceAddr& who, uint8_t rcode, bool tc, uint32_t size, time_t t) {
    Observation o{};
    o.who = who;
    o.time = t;
    o.protocol = kUdp;
    o.answer = true;
    o.rcode = rcode;
    o.truncated = tc;
    o.size = size;
    return o;
}

// Queries and answers counted at the time each observation gives, into the
// source's bucket, its answer counts and the totals.
TEST(TableTest, ObservationsCountQueriesAndAnswers) {
    Table t(5, 9, 0, true);
    t.add(query_of(kA, kTcp, 1, 40, 4321));
    t.add(query_of(kB, kUdp, 28, 30, 4321));
    t.add(query_of(kA, kUdp, 1, 50, 4321));
    for (uint8_t rcode : {0, 0, 2, 3, 5, 1, 4, 9}) t.add(answer_of(kA, rcode, rcode == 1, 100 + rcode, 4322));
    // An answer whose client has no bucket claims one: no queries, no rate.
    EXPECT_EQ(t.add(answer_of(kC, 3, false, 70, 4323)), 2);

    expect_bucket(t.active().bucket(0),
                  {.ip = kA, .tcp = 1, .udp = 1, .first = 4321, .last = 4322, .qstats = {{1, 2}}});
    expect_bucket(t.active().bucket(1), {.ip = kB, .udp = 1, .first = 4321, .last = 4321, .qstats = {{28, 1}}});
    expect_bucket(t.active().bucket(2), {.ip = kC, .first = 4323, .last = 4323});
    const AnswerCounts& a = t.active().answers(0);
    EXPECT_EQ(a.by_class, (std::array<uint32_t, kAnswerClasses>{2, 1, 1, 1, 3}));
    EXPECT_EQ(a.answers(), 8u);
    EXPECT_EQ(a.truncated, 1u);
    EXPECT_EQ(a.bytes, 8u * 100 + 0 + 0 + 2 + 3 + 5 + 1 + 4 + 9);
    EXPECT_EQ(a.query_bytes, 90u);
    EXPECT_EQ(t.active().answers(1).query_bytes, 30u);
    EXPECT_EQ(t.active().answers(1).answers(), 0u);
    EXPECT_EQ(t.active().answers(2).by_class[kNxDomain], 1u);

    EXPECT_EQ(t.totals().udp_count, 2u);
    EXPECT_EQ(t.totals().tcp_count, 1u);
    EXPECT_EQ(t.answer_totals().answers(), 9u);
    EXPECT_EQ(t.answer_totals().by_class[kNxDomain], 2u);
    EXPECT_EQ(t.answer_totals().query_bytes, 120u);
    EXPECT_EQ(t.answer_totals().bytes, a.bytes + 70u);
}

// A bucket's answer counts go with its source: a takeover, a reset of the
// set or of the bucket leaves the next source none of them.
TEST(TableTest, AnswerCountsStartEmptyForEachSource) {
    const struct {
        const char* what;
        std::function<void(Table&)> step;
    } cases[] = {
        {"taken over", [](Table& t) { t.add(query_of(kB, kUdp, 1, 10, 101)); }},
        {"set reset", [](Table& t) { t.active().reset_all(101); t.add(query_of(kB, kUdp, 1, 10, 101)); }},
        {"bucket reset", [](Table& t) { t.active().reset_bucket(0, 101); t.add(query_of(kB, kUdp, 1, 10, 101)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Table t(1, 9, 0, true);
        t.add(answer_of(kA, 3, true, 500, 100));
        c.step(t);
        ASSERT_EQ(t.active().bucket(0).ip_addr, kB);
        EXPECT_EQ(t.active().answers(0).answers(), 0u);
        EXPECT_EQ(t.active().answers(0).truncated, 0u);
        EXPECT_EQ(t.active().answers(0).bytes, 0u);
        EXPECT_EQ(t.active().answers(0).query_bytes, 10u);
    }
}

}  // namespace
}  // namespace qv
