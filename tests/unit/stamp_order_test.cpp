// The takeover order against a plain ordered set of (stamp, index), over
// random operations: stamps mostly the newest second, sometimes any second
// of a wide range (a clock that steps back, a file whose times jump), runs
// of entries in rising and falling order, and whole clears.
#include "base/stamp_order.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace qv {
namespace {

TEST(StampOrder, GivesTheSmallestStampLowestIndexFirst) {
    for (const int32_t capacity : {1, 7, 64, 1000}) {
        SCOPED_TRACE(capacity);
        StampOrder order(capacity, "test");
        std::set<std::pair<uint32_t, int32_t>> model;
        std::vector<uint32_t> stamp(static_cast<size_t>(capacity), 0);
        std::mt19937 rng(static_cast<uint32_t>(capacity));
        auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
        uint32_t now = 1000;
        auto take_out = [&](int32_t i) {
            if (stamp[size_t(i)] != 0) model.erase({stamp[size_t(i)], i});
            stamp[size_t(i)] = 0;
        };
        auto put = [&](int32_t i, uint32_t t) {
            take_out(i);
            order.set(i, t);
            stamp[size_t(i)] = t;
            model.insert({t, i});
        };
        for (int step = 0; step < 200000; ++step) {
            const uint32_t op = pick(1000);
            const int32_t i = static_cast<int32_t>(pick(uint32_t(capacity)));
            if (op < 500) {
                // Mostly now; sometimes a second of the past or far away.
                const uint32_t kind = pick(20);
                put(i, kind < 15   ? now
                       : kind < 18 ? now - pick(30)
                       : kind < 19 ? 1 + pick(1u << 20)
                                   : UINT32_MAX - pick(3));
            } else if (op < 600) {
                take_out(i);
                order.remove(i);
            } else if (op < 850) {
                // A takeover: the oldest goes and comes back at now.
                const int32_t want = model.empty() ? -1 : model.begin()->second;
                ASSERT_EQ(order.oldest(), want) << "step " << step;
                if (want >= 0) {
                    take_out(want);
                    order.remove(want);
                    put(want, now);
                }
            } else if (op < 990) {
                now += pick(3);
            } else if (op < 995) {
                // A run of entries stamped in falling index order.
                for (int32_t k = capacity - 1; k >= 0; k -= 1 + int32_t(pick(4))) put(k, now);
            } else {
                for (int32_t k = 0; k < capacity; ++k) {
                    order.forget(k);
                    stamp[size_t(k)] = 0;
                }
                order.clear_groups();
                model.clear();
            }
            ASSERT_EQ(order.empty(), model.empty()) << "step " << step;
            for (int32_t k : {i, int32_t(0)}) ASSERT_EQ(order.contains(k), stamp[size_t(k)] != 0);
        }
    }
}

}  // namespace
}  // namespace qv
