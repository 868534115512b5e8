// A bounded map from keys an attacker may choose (source addresses, zones)
// to fixed-size entries, with every choice found in constant or logarithmic
// time and nothing allocated after construction.
//
// The choices are those of two plain scans in index order: a key's own
// entry; else the lowest-index free entry; else takeover of the entry in use
// with the smallest stamp, lowest index on ties (entry 0 when no entry in
// use has a stamp). They are found through a hash of the keys with a secret
// seed (chains through the slots), a hierarchical bitmap of free entries and
// the stamped entries grouped by stamp (stamp_order.h).
//
// Stamps are unsigned 32-bit seconds; 0 means "no stamp": the entry is in
// use but never chosen for takeover.
//
// The map builds its entries: one claimed for a key, or freed, is made anew
// as Entry{key} (the key its first member, the rest value-initialised or as
// its default member initialisers say), then given to Rules::fresh when the
// fresh state is more than that. Rules names the rest:
//
//   struct Rules {
//       static constexpr auto key = &Entry::key;     // the first member
//       static constexpr auto stamp = &Entry::last;  // uint32_t, touch() writes it
//       static void fresh(Entry& e, uint32_t now);   // optional
//       static constexpr Key vacant = ...;           // optional: a free entry's key, else Key{}
//   };
//
// The key type comes with an overload hash_key(const SeededHash&, const Key&)
// and operator==. Declaring the key member const makes it the map's alone:
// then neither it nor the whole entry can be assigned by a user.
#pragma once

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "base/hash.h"
#include "base/memory.h"
#include "base/stamp_order.h"

namespace qv {

namespace indexed_map_detail {

struct Ignore {
    template <class... Args>
    void operator()(Args&&...) const {}
};

}  // namespace indexed_map_detail

template <class Entry, class Rules>
class IndexedMap {
public:
    using Key = std::remove_cvref_t<decltype(std::declval<Entry&>().*Rules::key)>;
    static_assert(std::is_trivially_destructible_v<Entry>, "entries are made anew in place");
    static_assert(std::is_same_v<decltype(std::declval<Entry&>().*Rules::stamp), uint32_t&>,
                  "the stamp is a uint32_t the map writes");

    IndexedMap(int32_t capacity, uint64_t seed, const char* label);
    ~IndexedMap();
    IndexedMap(const IndexedMap&) = delete;
    IndexedMap& operator=(const IndexedMap&) = delete;

    int32_t capacity() const { return count_; }
    int32_t size() const { return used_; }
    bool in_use(int32_t i) const { return !is_free(static_cast<size_t>(i)); }
    // The lowest index >= from of an entry in use, or -1.
    int32_t next_in_use(int32_t from) const;

    const Key& key(int32_t i) const { return slots_[i].entry.*Rules::key; }
    // Entries are the caller's to read and write, but for the key and the
    // stamp. A slot never used since construction is all zero bytes: the
    // map leaves the memory untouched (no page faults) until it is used.
    Entry& entry(int32_t i) { return slots_[i].entry; }
    const Entry& entry(int32_t i) const { return slots_[i].entry; }

    // The index of key's entry, or -1.
    int32_t find(const Key& key) const { return find_in(chain_of(key), key); }

    enum class How { found, claimed, taken_over };
    struct Claim {
        int32_t index;
        How how;
    };
    // key's entry: found, else claimed or taken over and made fresh at now.
    // A taken-over entry is first shown to evicted(index, entry) as it was.
    // A fresh entry has no stamp until touch().
    template <class Evicted = indexed_map_detail::Ignore>
    Claim claim(const Key& key, uint32_t now, Evicted&& evicted = {});

    // Gives entry i the stamp t (0: none). Cheap when i has it already.
    void touch(int32_t i, uint32_t t) {
        uint32_t& stamp = slots_[i].entry.*Rules::stamp;
        if (stamp == t) return;
        stamp = t;
        set_stamp(i, t);
    }

    // Frees entry i if in use, and makes it anew as a free entry:
    // Entry{Rules::vacant}, fresh at now.
    void release(int32_t i, uint32_t now);
    // Frees every entry as release() does, first showing each entry in use
    // to released(index, entry) as it was. Only those are touched.
    template <class Released = indexed_map_detail::Ignore>
    void release_all(uint32_t now, Released&& released = {});

    // Asks for the entry the next takeover will choose, before it is needed.
    void prefetch_next_victim() const;

private:
    struct Slot {
        Entry entry;
        int32_t next;  // next slot on the same hash chain, or -1
    };
    static constexpr Key kVacant = [] {
        if constexpr (requires { Rules::vacant; }) {
            return Key{Rules::vacant};
        } else {
            return Key{};
        }
    }();
    // Entry i made anew for key, fresh at now.
    void build(int32_t i, const Key& key, uint32_t now);
    // Sets entry i's place in the takeover order (stamp 0: out of it).
    void set_stamp(int32_t i, uint32_t t);

    size_t chain_of(const Key& k) const { return hash_key(hash_, k); }
    int32_t find_in(size_t chain, const Key& key) const;
    void hash_insert(int32_t i, size_t chain);
    void hash_remove(int32_t i);

    bool is_free(size_t i) const { return (free_bits_[i >> 6] >> (i & 63)) & 1; }
    uint64_t used_word(size_t w) const { return ~free_bits_[w]; }
    void fill_free();
    void mark_used(size_t i);
    void mark_free(size_t i);
    int32_t lowest_free() const;

    const char* label_;
    int32_t count_;
    int32_t used_ = 0;
    void* slot_mem_;
    Slot* slots_;
    SeededHash hash_;
    int32_t* heads_;  // power-of-two many chain heads, -1 when empty

    // Free-entry bitmap. Level 0 has a bit per entry, set when free; the
    // bits past the last entry stay set, harmless as any real free entry
    // comes first and none is looked for when all are in use. Above it two
    // summaries share level 0: free_sum_ marks words that hold a free entry,
    // used_sum_ words that hold one in use, so both are found top-down in
    // O(log64 n).
    static constexpr int kMaxLevels = 6;  // 64^6 > 2^31 entries
    int levels_ = 0;
    size_t words_[kMaxLevels] = {};
    uint64_t* free_bits_;
    uint64_t* free_sum_[kMaxLevels] = {};  // [1, levels_)
    uint64_t* used_sum_[kMaxLevels] = {};  // [1, levels_)

    StampOrder order_;  // the stamped entries in use
};

// ---- construction ----------------------------------------------------------

namespace indexed_map_detail {

inline void* align_up(void* p, size_t alignment) {
    auto v = reinterpret_cast<uintptr_t>(p);
    return reinterpret_cast<void*>((v + alignment - 1) & ~(uintptr_t{alignment} - 1));
}

}  // namespace indexed_map_detail

template <class Entry, class Rules>
IndexedMap<Entry, Rules>::IndexedMap(int32_t capacity, uint64_t seed, const char* label)
    : label_(label), count_(capacity < 1 ? 1 : capacity), order_(count_, label) {
    const size_t n = static_cast<size_t>(count_);
    slot_mem_ = alloc_or_die(n * sizeof(Slot) + 64, label);
    slots_ = static_cast<Slot*>(indexed_map_detail::align_up(slot_mem_, 64));

    size_t n_heads = 2;
    while (n_heads < n) n_heads <<= 1;
    hash_ = SeededHash(seed, std::countr_zero(n_heads));
    heads_ = static_cast<int32_t*>(alloc_or_die(n_heads * sizeof(int32_t), label));
    std::memset(heads_, 0xff, n_heads * sizeof(int32_t));

    size_t w = n;
    do {
        w = (w + 63) / 64;
        words_[levels_] = w;
        if (levels_ > 0) {
            free_sum_[levels_] = static_cast<uint64_t*>(alloc_or_die(w * 8, label));
            used_sum_[levels_] = static_cast<uint64_t*>(alloc_or_die(w * 8, label));
        }
        ++levels_;
    } while (w > 1);
    free_bits_ = static_cast<uint64_t*>(alloc_or_die(words_[0] * 8, label));
    fill_free();
}

template <class Entry, class Rules>
IndexedMap<Entry, Rules>::~IndexedMap() {
    for (int l = 1; l < levels_; ++l) {
        std::free(free_sum_[l]);
        std::free(used_sum_[l]);
    }
    std::free(free_bits_);
    std::free(heads_);
    std::free(slot_mem_);
}

// ---- the map ---------------------------------------------------------------

template <class Entry, class Rules>
int32_t IndexedMap<Entry, Rules>::find_in(size_t chain, const Key& key) const {
    int32_t i = heads_[chain];
    while (i >= 0 && !(slots_[i].entry.*Rules::key == key)) i = slots_[i].next;
    return i;
}

template <class Entry, class Rules>
template <class Evicted>
typename IndexedMap<Entry, Rules>::Claim IndexedMap<Entry, Rules>::claim(const Key& key,
                                                                         uint32_t now,
                                                                         Evicted&& evicted) {
    const size_t chain = chain_of(key);
    int32_t i = find_in(chain, key);
    if (i >= 0) return {i, How::found};

    How how;
    if (used_ < count_) {
        i = lowest_free();
        assert(i >= 0);
        mark_used(static_cast<size_t>(i));
        ++used_;
        how = How::claimed;
    } else {
        how = How::taken_over;
        i = order_.oldest();
        if (i < 0) {
            i = 0;  // no entry has a stamp: entry 0 is the last resort
        } else {
            order_.remove(i);
            prefetch_next_victim();
        }
        hash_remove(i);
        evicted(i, slots_[i].entry);
    }
    build(i, key, now);
    hash_insert(i, chain);
    return {i, how};
}

template <class Entry, class Rules>
void IndexedMap<Entry, Rules>::build(int32_t i, const Key& key, uint32_t now) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // value-initialised on purpose
    Entry* e = ::new (static_cast<void*>(&slots_[i].entry)) Entry{key};
#pragma GCC diagnostic pop
    // Entry{key} sets the first member: it must be the key.
    assert(static_cast<const void*>(&(e->*Rules::key)) == static_cast<const void*>(e));
    if constexpr (requires { Rules::fresh(*e, now); }) Rules::fresh(*e, now);
}

template <class Entry, class Rules>
void IndexedMap<Entry, Rules>::set_stamp(int32_t i, uint32_t t) {
    assert(in_use(i));
    if (t == 0) {
        order_.remove(i);
    } else {
        order_.set(i, t);
    }
}

template <class Entry, class Rules>
void IndexedMap<Entry, Rules>::release(int32_t i, uint32_t now) {
    assert(i >= 0 && i < count_);
    if (in_use(i)) {
        hash_remove(i);
        order_.remove(i);
        mark_free(static_cast<size_t>(i));
        --used_;
    }
    build(i, kVacant, now);
}

template <class Entry, class Rules>
template <class Released>
void IndexedMap<Entry, Rules>::release_all(uint32_t now, Released&& released) {
    for (int32_t i = next_in_use(0); i >= 0; i = next_in_use(i + 1)) {
        heads_[chain_of(key(i))] = -1;
        slots_[i].next = -1;
        order_.forget(i);
        released(i, slots_[i].entry);
        build(i, kVacant, now);
    }
    order_.clear_groups();
    fill_free();
    used_ = 0;
}

template <class Entry, class Rules>
void IndexedMap<Entry, Rules>::prefetch_next_victim() const {
    const int32_t victim = order_.oldest_if_known();
    if (victim < 0) return;
    const char* next = reinterpret_cast<const char*>(&slots_[victim]);
    __builtin_prefetch(next, 1);
    __builtin_prefetch(next + sizeof(Slot) - 1, 1);
}

// ---- hash ------------------------------------------------------------------

template <class Entry, class Rules>
void IndexedMap<Entry, Rules>::hash_insert(int32_t i, size_t chain) {
    int32_t& head = heads_[chain];
    slots_[i].next = head;
    head = i;
}

template <class Entry, class Rules>
void IndexedMap<Entry, Rules>::hash_remove(int32_t i) {
    int32_t* link = &heads_[chain_of(key(i))];
    while (*link != i) {
        assert(*link >= 0);
        link = &slots_[*link].next;
    }
    *link = slots_[i].next;
    slots_[i].next = -1;
}

// ---- bitmap ----------------------------------------------------------------

template <class Entry, class Rules>
void IndexedMap<Entry, Rules>::fill_free() {
    std::memset(free_bits_, 0xff, words_[0] * sizeof(uint64_t));
    for (int l = 1; l < levels_; ++l) {
        const size_t below = words_[l - 1];
        std::memset(free_sum_[l], 0xff, words_[l] * sizeof(uint64_t));
        if (below % 64 != 0) free_sum_[l][words_[l] - 1] = (1ull << (below % 64)) - 1;
        std::memset(used_sum_[l], 0, words_[l] * sizeof(uint64_t));
    }
}

template <class Entry, class Rules>
void IndexedMap<Entry, Rules>::mark_used(size_t i) {
    uint64_t bit = 1ull << (i & 63);
    size_t w = i >> 6;
    free_bits_[w] &= ~bit;
    bool none_free = free_bits_[w] == 0;
    bool first_used = used_word(w) == bit;
    for (int l = 1; l < levels_ && (none_free || first_used); ++l) {
        bit = 1ull << (w & 63);
        w >>= 6;
        if (none_free) {
            free_sum_[l][w] &= ~bit;
            none_free = free_sum_[l][w] == 0;
        }
        if (first_used) {
            first_used = used_sum_[l][w] == 0;
            used_sum_[l][w] |= bit;
        }
    }
}

template <class Entry, class Rules>
void IndexedMap<Entry, Rules>::mark_free(size_t i) {
    uint64_t bit = 1ull << (i & 63);
    size_t w = i >> 6;
    bool first_free = free_bits_[w] == 0;
    free_bits_[w] |= bit;
    bool none_used = used_word(w) == 0;
    for (int l = 1; l < levels_ && (first_free || none_used); ++l) {
        bit = 1ull << (w & 63);
        w >>= 6;
        if (first_free) {
            first_free = free_sum_[l][w] == 0;
            free_sum_[l][w] |= bit;
        }
        if (none_used) {
            used_sum_[l][w] &= ~bit;
            none_used = used_sum_[l][w] == 0;
        }
    }
}

template <class Entry, class Rules>
int32_t IndexedMap<Entry, Rules>::lowest_free() const {
    int l = levels_ - 1;
    const uint64_t* top = l == 0 ? free_bits_ : free_sum_[l];
    if (top[0] == 0) return -1;
    size_t pos = static_cast<size_t>(std::countr_zero(top[0]));
    while (l-- > 0) {
        const uint64_t* level = l == 0 ? free_bits_ : free_sum_[l];
        pos = pos * 64 + static_cast<size_t>(std::countr_zero(level[pos]));
    }
    return static_cast<int32_t>(pos);
}

template <class Entry, class Rules>
int32_t IndexedMap<Entry, Rules>::next_in_use(int32_t from) const {
    if (from >= count_) return -1;
    size_t pos = from < 0 ? 0 : static_cast<size_t>(from);
    // Climb until a word holds an in-use mark at or after pos, then descend
    // to the leftmost entry under it.
    int l = 0;
    for (;; ++l) {
        if (l == levels_) return -1;
        const size_t w = pos >> 6;
        if (w >= words_[l]) return -1;
        const uint64_t word = (l == 0 ? used_word(w) : used_sum_[l][w]) & (~0ull << (pos & 63));
        if (word != 0) {
            pos = w * 64 + static_cast<size_t>(std::countr_zero(word));
            break;
        }
        pos = w + 1;
    }
    while (l-- > 0) {
        const uint64_t word = l == 0 ? used_word(pos) : used_sum_[l][pos];
        pos = pos * 64 + static_cast<size_t>(std::countr_zero(word));
    }
    // The bits past the last entry read as free, so pos is a real entry.
    return static_cast<int32_t>(pos);
}

}  // namespace qv
