// The indexed map on its own: which entry a key gets, that the map hands
// out entries it has made fresh, and what freeing leaves behind.
#include "base/indexed_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <vector>

namespace qv {
namespace {

struct Key {
    uint32_t v;
    friend bool operator==(const Key&, const Key&) = default;
};
uint32_t hash_key(const SeededHash& h, const Key& k) { return h.words(&k.v, 1); }

struct Item {
    const Key key;
    uint32_t last;  // the stamp
    uint32_t born;  // what the fresh rule sets
    uint32_t data;
    int32_t mark = -1;
};
struct Rules {
    static constexpr auto key = &Item::key;
    static constexpr auto stamp = &Item::last;
    static constexpr Key vacant = {999};
    static void fresh(Item& e, uint32_t now) { e.born = now; }
};
using Map = IndexedMap<Item, Rules>;
using How = Map::How;

// What a claimed or freed entry must hold: its key, the fresh rule's time,
// the default member initialiser, nothing else.
testing::AssertionResult is_fresh(const Item& e, uint32_t key, uint32_t now) {
    if (e.key.v == key && e.last == 0 && e.born == now && e.data == 0 && e.mark == -1) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "key " << e.key.v << " last " << e.last << " born "
                                       << e.born << " data " << e.data << " mark " << e.mark;
}

// One step on a map of three entries. A claimed entry is then written on
// (data, mark) so that a later claim can tell fresh from left over.
struct Step {
    enum Op { claim, touch, release } op;
    uint32_t key;
    uint32_t t;
    int32_t index = -1;    // claim: the entry it must get
    How how = How::found;  // claim
    uint32_t evicted = 0;  // claim: the key of the entry taken over, 0 = none
};

TEST(IndexedMap, ClaimsFollowThePlainScansAndComeFresh) {
    const Step steps[] = {
        {Step::claim, 1, 10, 0, How::claimed},
        {Step::touch, 1, 10},
        {Step::claim, 2, 10, 1, How::claimed},
        {Step::touch, 2, 10},
        {Step::claim, 3, 5, 2, How::claimed},
        {Step::touch, 3, 5},
        {Step::claim, 1, 11, 0, How::found},  // kept as it is, not made fresh
        // The oldest stamp goes first.
        {Step::claim, 4, 12, 2, How::taken_over, 3},
        {Step::touch, 4, 12},
        {Step::touch, 2, 12},
        {Step::claim, 5, 12, 0, How::taken_over, 1},
        {Step::touch, 5, 12},
        // All at 12: the lowest index, again and again under a flood.
        {Step::claim, 6, 12, 0, How::taken_over, 5},
        {Step::touch, 6, 12},
        {Step::claim, 7, 12, 0, How::taken_over, 6},
        {Step::touch, 7, 12},
        {Step::touch, 7, 12},  // the same stamp again changes nothing
        // Stamp 0: in use but never taken over.
        {Step::touch, 7, 0},
        {Step::claim, 8, 13, 1, How::taken_over, 2},
        {Step::touch, 8, 13},
        // A free entry comes before any takeover.
        {Step::release, 4, 14},
        {Step::claim, 9, 15, 2, How::claimed},
        {Step::touch, 9, 15},
        // No stamp left: entry 0 is the last resort, stamped or not.
        {Step::touch, 8, 0},
        {Step::touch, 9, 0},
        {Step::claim, 10, 16, 0, How::taken_over, 7},
        {Step::claim, 11, 17, 0, How::taken_over, 10},  // 10 was never touched
        // An entry moved by a later stamp.
        {Step::touch, 11, 20},
        {Step::touch, 8, 18},
        {Step::touch, 9, 19},
        {Step::claim, 12, 21, 1, How::taken_over, 8},
    };
    Map map(3, 42, "test");
    for (size_t n = 0; n < std::size(steps); ++n) {
        const Step& s = steps[n];
        SCOPED_TRACE(testing::Message() << "step " << n << " key " << s.key);
        if (s.op == Step::touch) {
            map.touch(map.find({s.key}), s.t);
            continue;
        }
        if (s.op == Step::release) {
            const int32_t i = map.find({s.key});
            ASSERT_GE(i, 0);
            map.release(i, s.t);
            EXPECT_EQ(map.find({s.key}), -1);
            EXPECT_FALSE(map.in_use(i));
            EXPECT_TRUE(is_fresh(map.entry(i), Rules::vacant.v, s.t));
            continue;
        }
        std::vector<std::tuple<int32_t, uint32_t, uint32_t>> seen;  // index, key, data
        const auto c = map.claim({s.key}, s.t, [&](int32_t i, Item& old) {
            seen.emplace_back(i, old.key.v, old.data);
        });
        ASSERT_EQ(c.index, s.index);
        EXPECT_EQ(c.how, s.how);
        EXPECT_EQ(map.key(c.index).v, s.key);
        EXPECT_EQ(map.find({s.key}), c.index);
        Item& e = map.entry(c.index);
        if (s.how == How::found) {
            EXPECT_EQ(e.data, 100 + s.key);
            EXPECT_TRUE(seen.empty());
            continue;
        }
        EXPECT_TRUE(is_fresh(e, s.key, s.t));
        if (s.evicted != 0) {
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(seen[0], std::make_tuple(s.index, s.evicted, 100 + s.evicted));
            EXPECT_EQ(map.find({s.evicted}), -1);
        } else {
            EXPECT_TRUE(seen.empty());
        }
        e.data = 100 + s.key;
        e.mark = 7;
    }
}

TEST(IndexedMap, FreeingLeavesVacantEntriesAndTouchesOnlyThoseInUse) {
    Map map(4, 7, "test");
    for (uint32_t k = 1; k <= 3; ++k) {
        const int32_t i = map.claim({k}, 10).index;
        map.entry(i).data = 100 + k;
        map.touch(i, 10 + k);
    }
    std::vector<std::tuple<int32_t, uint32_t, uint32_t>> seen;
    map.release_all(20, [&](int32_t i, Item& old) { seen.emplace_back(i, old.key.v, old.data); });
    const std::vector<std::tuple<int32_t, uint32_t, uint32_t>> want = {
        {0, 1, 101}, {1, 2, 102}, {2, 3, 103}};
    EXPECT_EQ(seen, want);
    EXPECT_EQ(map.size(), 0);
    EXPECT_EQ(map.next_in_use(0), -1);
    for (int32_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(is_fresh(map.entry(i), Rules::vacant.v, 20)) << "entry " << i;
        EXPECT_EQ(map.find({static_cast<uint32_t>(i + 1)}), -1);
    }
    // Never used: still the zero bytes the allocation gave it.
    const auto* bytes = reinterpret_cast<const unsigned char*>(&map.entry(3));
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(Item), [](unsigned char b) { return b == 0; }));

    // Everything is free again, with no stamp left behind.
    for (uint32_t k = 4; k <= 7; ++k) {
        const auto c = map.claim({k}, 30);
        EXPECT_EQ(c.index, static_cast<int32_t>(k - 4));
        EXPECT_EQ(c.how, How::claimed);
        EXPECT_TRUE(is_fresh(map.entry(c.index), k, 30));
        map.touch(c.index, 40 - k);
    }
    EXPECT_EQ(map.claim({8}, 41).index, 3);  // stamped 33, the oldest

    // Freeing one that is free already still makes it vacant.
    map.release(2, 50);
    map.release(2, 51);
    EXPECT_TRUE(is_fresh(map.entry(2), Rules::vacant.v, 51));
    EXPECT_EQ(map.size(), 3);
    EXPECT_EQ(map.claim({9}, 52).index, 2);
}

}  // namespace
}  // namespace qv
