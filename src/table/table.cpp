#include "table/table.h"

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/clock.h"
#include "base/hash.h"
#include "base/memory.h"

namespace qv {
namespace {

constexpr const char* kLabel = "bb";

// Two's complement wrap without signed overflow.
int32_t add_wrapping(int32_t value, uint32_t count) {
    return static_cast<int32_t>(static_cast<uint32_t>(value) + count);
}

void add_counts(Bucket& b, int protocol, uint32_t count, uint32_t qtype) {
    if (protocol == 6) {
        b.tcp_count += count;
    } else {
        b.udp_count += count;
    }
    b.qstats[qtype & 0xff] = add_wrapping(b.qstats[qtype & 0xff], count);
}

void free_state(Bucket& b, time_t now) {
    b.ip_addr = FREE_ADDR;
    b.tcp_count = 0;
    b.udp_count = 0;
    b.qps = 0;
    b.first_packet = now;
    b.last_packet = 0;
    b.alarm_set = 0;
}

template <class T>
T* alloc_array(size_t n) {
    return static_cast<T*>(alloc_or_die(n * sizeof(T), kLabel));
}

void* align_up(void* p, size_t alignment) {
    auto v = reinterpret_cast<uintptr_t>(p);
    return reinterpret_cast<void*>((v + alignment - 1) & ~(uintptr_t{alignment} - 1));
}

}  // namespace

// A bucket and the mask of its qstats elements that need clearing, in the
// same cache line as the address and transport counters.
struct alignas(64) BucketSet::Slot {
    uint64_t touched[4];  // qstats elements counted into since the last reset
    Bucket bucket;
};

// Everything that finds a bucket without a scan.
struct BucketSet::Index {
    Index(int32_t count, uint64_t seed);
    ~Index();

    Slot* slots;
    void* slot_mem;  // what calloc returned, before alignment
    size_t count;

    // Address hash, keyed by the set's secret seed, so
    // nobody can aim addresses at one chain. The chains run through a
    // compact array rather than the slots: a lookup that misses (every
    // query of a flood) then walks a few small entries instead of pulling
    // in one far-off bucket per step.
    SeededHash hash;
    int32_t* heads;  // power-of-two many chain heads, -1 when empty
    struct Link {
        SourceAddr addr;  // the bucket's address while it is in use
        int32_t next;     // next bucket on the same chain, or -1
    };
    Link* links;  // per bucket

    size_t chain_of(const SourceAddr& addr) const { return hash(addr.half(0), addr.half(1)); }
    int32_t lookup(const SourceAddr& addr) const;
    void hash_insert(int32_t i);
    void hash_remove(int32_t i);

    // Free-bucket bitmap. Level 0 has a bit per bucket, set when free; the
    // bits past the last bucket stay set, harmless as any real free bucket
    // comes first and none is looked for when all are in use. Above it two summaries share level
    // 0: free_sum marks words that hold a free bucket, used_sum words that
    // hold one in use, so both kinds are found top-down in O(log64 n).
    static constexpr int kMaxLevels = 6;  // 64^6 > 2^31 buckets
    int levels;
    size_t words[kMaxLevels];
    uint64_t* free_bits;
    uint64_t* free_sum[kMaxLevels];  // [1, levels)
    uint64_t* used_sum[kMaxLevels];  // [1, levels)

    bool is_free(size_t i) const { return (free_bits[i >> 6] >> (i & 63)) & 1; }
    uint64_t used_word(size_t w) const { return ~free_bits[w]; }
    void fill_free();
    void mark_used(size_t i);
    void mark_free(size_t i);
    int32_t lowest_free() const;
    int32_t next_used(size_t from) const;

    // Takeover heap: 4-ary min-heap of the buckets in use that have counted
    // a query since their reset (last_packet != 0), ordered by rank: the
    // 128-bit number last_packet * 2^32 + index, so one compare without
    // branches orders by time, then index. Node k lives at heap[3 + k] in a
    // 64-byte aligned array, so the four children of a node, 4k+1 .. 4k+4,
    // share one cache line.
    __extension__ using Rank = __int128;
    static Rank rank(time_t key, int32_t i) { return static_cast<Rank>(key) * (Rank{1} << 32) + i; }
    static int32_t index_of(Rank r) { return static_cast<int32_t>(static_cast<uint32_t>(r)); }
    void* heap_mem;
    Rank* heap;
    int32_t* heap_pos;  // per bucket: its node, or -1 when not in the heap
    int32_t heap_size = 0;

    Rank& node(int32_t k) { return heap[3 + k]; }
    void place(int32_t k, Rank r) {
        node(k) = r;
        heap_pos[index_of(r)] = k;
    }
    // A bucket taken over whose entry still holds its old rank, or -1: its
    // last_packet is 0 until its count re-ranks the entry where it stands.
    // Until then it must not be chosen, so the next takeover takes it out
    // first (settle). Removing an entry twice is harmless, so a reset in
    // between needs no care.
    int32_t pending = -1;
    void settle() {
        if (pending >= 0) {
            heap_remove(pending);
            pending = -1;
        }
    }
    void prefetch_next_victims();

    int32_t min_child(int32_t first);
    void sift_up(int32_t k, Rank r);
    void sift_down(int32_t k, Rank r);
    void heap_set(int32_t i, time_t key);
    void heap_remove(int32_t i);
};

BucketSet::Index::Index(int32_t n_buckets, uint64_t seed) : count(static_cast<size_t>(n_buckets)) {
    slot_mem = alloc_or_die(count * sizeof(Slot) + alignof(Slot), kLabel);
    slots = static_cast<Slot*>(align_up(slot_mem, alignof(Slot)));

    size_t n_heads = 2;
    while (n_heads < count) n_heads <<= 1;
    hash = SeededHash(seed, std::countr_zero(n_heads));
    heads = alloc_array<int32_t>(n_heads);
    std::memset(heads, 0xff, n_heads * sizeof(int32_t));
    links = alloc_array<Link>(count);

    levels = 0;
    size_t w = count;
    do {
        w = (w + 63) / 64;
        words[levels] = w;
        if (levels > 0) {
            free_sum[levels] = alloc_array<uint64_t>(w);
            used_sum[levels] = alloc_array<uint64_t>(w);
        }
        ++levels;
    } while (w > 1);
    free_bits = alloc_array<uint64_t>(words[0]);

    heap_mem = alloc_or_die((count + 3) * sizeof(Rank) + 64, kLabel);
    heap = static_cast<Rank*>(align_up(heap_mem, 64));
    heap_pos = alloc_array<int32_t>(count);
    std::memset(heap_pos, 0xff, count * sizeof(int32_t));

    // The slots stay as calloc left them, untouched: a large table costs no
    // page faults until its buckets are used. A free slot still all zero has
    // never been used and reads as a free bucket (see bucket()).
    fill_free();
}

BucketSet::Index::~Index() {
    std::free(heap_pos);
    std::free(heap_mem);
    for (int l = 1; l < levels; ++l) {
        std::free(free_sum[l]);
        std::free(used_sum[l]);
    }
    std::free(free_bits);
    std::free(links);
    std::free(heads);
    std::free(slot_mem);
}

// ---- hash ----------------------------------------------------------------

int32_t BucketSet::Index::lookup(const SourceAddr& addr) const {
    int32_t i = heads[chain_of(addr)];
    while (i >= 0 && links[i].addr != addr) i = links[i].next;
    return i;
}

void BucketSet::Index::hash_insert(int32_t i) {
    int32_t& head = heads[chain_of(slots[i].bucket.ip_addr)];
    links[i] = Link{slots[i].bucket.ip_addr, head};
    head = i;
}

void BucketSet::Index::hash_remove(int32_t i) {
    int32_t* link = &heads[chain_of(links[i].addr)];
    while (*link != i) {
        assert(*link >= 0);
        link = &links[*link].next;
    }
    *link = links[i].next;
    links[i].next = -1;
}

// ---- bitmap --------------------------------------------------------------

// Every bucket free, word by word.
void BucketSet::Index::fill_free() {
    std::memset(free_bits, 0xff, words[0] * sizeof(uint64_t));
    for (int l = 1; l < levels; ++l) {
        size_t below = words[l - 1];
        std::memset(free_sum[l], 0xff, words[l] * sizeof(uint64_t));
        if (below % 64 != 0) free_sum[l][words[l] - 1] = (1ull << (below % 64)) - 1;
        std::memset(used_sum[l], 0, words[l] * sizeof(uint64_t));
    }
}

void BucketSet::Index::mark_used(size_t i) {
    uint64_t bit = 1ull << (i & 63);
    size_t w = i >> 6;
    free_bits[w] &= ~bit;
    bool none_free = free_bits[w] == 0;
    bool first_used = used_word(w) == bit;
    for (int l = 1; l < levels && (none_free || first_used); ++l) {
        bit = 1ull << (w & 63);
        w >>= 6;
        if (none_free) {
            free_sum[l][w] &= ~bit;
            none_free = free_sum[l][w] == 0;
        }
        if (first_used) {
            first_used = used_sum[l][w] == 0;
            used_sum[l][w] |= bit;
        }
    }
}

void BucketSet::Index::mark_free(size_t i) {
    uint64_t bit = 1ull << (i & 63);
    size_t w = i >> 6;
    bool first_free = free_bits[w] == 0;
    free_bits[w] |= bit;
    bool none_used = used_word(w) == 0;
    for (int l = 1; l < levels && (first_free || none_used); ++l) {
        bit = 1ull << (w & 63);
        w >>= 6;
        if (first_free) {
            first_free = free_sum[l][w] == 0;
            free_sum[l][w] |= bit;
        }
        if (none_used) {
            used_sum[l][w] &= ~bit;
            none_used = used_sum[l][w] == 0;
        }
    }
}

int32_t BucketSet::Index::lowest_free() const {
    int l = levels - 1;
    const uint64_t* top = l == 0 ? free_bits : free_sum[l];
    if (top[0] == 0) return -1;
    size_t pos = static_cast<size_t>(std::countr_zero(top[0]));
    while (l-- > 0) {
        const uint64_t* level = l == 0 ? free_bits : free_sum[l];
        pos = pos * 64 + static_cast<size_t>(std::countr_zero(level[pos]));
    }
    return static_cast<int32_t>(pos);
}

int32_t BucketSet::Index::next_used(size_t pos) const {
    // Climb until a word holds an in-use mark at or after pos, then descend
    // to the leftmost bucket under it.
    int l = 0;
    for (;; ++l) {
        if (l == levels) return -1;
        size_t w = pos >> 6;
        if (w >= words[l]) return -1;
        uint64_t word = (l == 0 ? used_word(w) : used_sum[l][w]) & (~0ull << (pos & 63));
        if (word != 0) {
            pos = w * 64 + static_cast<size_t>(std::countr_zero(word));
            break;
        }
        pos = w + 1;
    }
    while (l-- > 0) {
        uint64_t word = l == 0 ? used_word(pos) : used_sum[l][pos];
        pos = pos * 64 + static_cast<size_t>(std::countr_zero(word));
    }
    return static_cast<int32_t>(pos);
}

// ---- heap ----------------------------------------------------------------

// The least of the children starting at first (which exists), chosen
// without branches when all four exist: ties in time are common and their
// order by index is anyone's guess for the branch predictor.
int32_t BucketSet::Index::min_child(int32_t first) {
    const Rank* c = &node(first);
    if (first + 3 < heap_size) {
        const int32_t a = c[1] < c[0];
        const int32_t b = 2 + (c[3] < c[2]);
        return first + (c[b] < c[a] ? b : a);
    }
    int32_t best = 0;
    for (int32_t j = 1; first + j < heap_size; ++j) best = c[j] < c[best] ? j : best;
    return first + best;
}

void BucketSet::Index::sift_up(int32_t k, Rank r) {
    while (k > 0) {
        const int32_t parent = (k - 1) >> 2;
        if (!(r < node(parent))) break;
        place(k, node(parent));
        k = parent;
    }
    place(k, r);
}

void BucketSet::Index::sift_down(int32_t k, Rank r) {
    for (;;) {
        const int32_t first = 4 * k + 1;
        if (first >= heap_size) break;
        const int32_t best = min_child(first);
        if (!(node(best) < r)) break;
        place(k, node(best));
        k = best;
    }
    place(k, r);
}

void BucketSet::Index::heap_set(int32_t i, time_t key) {
    const Rank r = rank(key, i);
    const int32_t k = heap_pos[i];
    if (k < 0) {
        sift_up(heap_size++, r);
    } else if (r < node(k)) {
        sift_up(k, r);
    } else {
        sift_down(k, r);
    }
}

void BucketSet::Index::heap_remove(int32_t i) {
    const int32_t k = heap_pos[i];
    if (k < 0) return;
    heap_pos[i] = -1;
    const int32_t last = --heap_size;
    if (k == last) return;
    const Rank moved = node(last);
    if (moved < node(k)) {
        sift_up(k, moved);
    } else {
        sift_down(k, moved);
    }
}

// Under a flood the next queries take over the next roots. Fetches what the
// next one will reset and count into: its qstats lines in use, those of the
// common query types (0-31: A, NS, CNAME, SOA, PTR, MX, TXT, AAAA) and its
// times (its first line was asked for one takeover ago); and the first line
// of its least child, likely the one after.
void BucketSet::Index::prefetch_next_victims() {
    if (heap_size == 0) return;
    const Slot& next = slots[index_of(node(0))];
    uint32_t lines = 0x3;
    for (int w = 0; w < 4; ++w) {
        for (uint64_t m = next.touched[w]; m != 0; m &= m - 1) {
            lines |= 1u << ((w * 64 + std::countr_zero(m)) / 16);
        }
    }
    for (; lines != 0; lines &= lines - 1) {
        __builtin_prefetch(&next.bucket.qstats[std::countr_zero(lines) * 16], 1);
    }
    __builtin_prefetch(&next.bucket.first_packet, 1);
    if (heap_size > 1) __builtin_prefetch(&slots[index_of(node(min_child(1)))], 1);
}

// ---- the set -------------------------------------------------------------

namespace {

// Zeroes the qstats elements a bucket counted into; the rest is the caller's.
template <class SlotT>
void clear_qstats(SlotT& s) {
    for (int w = 0; w < 4; ++w) {
        for (uint64_t m = s.touched[w]; m != 0; m &= m - 1) {
            s.bucket.qstats[w * 64 + std::countr_zero(m)] = 0;
        }
        s.touched[w] = 0;
    }
}

}  // namespace

BucketSet::BucketSet(int32_t count, uint64_t seed) : count_(count) {
    // Bucket 0 must exist: it is the takeover of last resort.
    assert(count >= 1);
    if (count_ < 1) count_ = 1;
    void* mem = alloc_or_die(sizeof(Index), kLabel);
    index_ = new (mem) Index(count_, seed);
    slots_ = index_->slots;
}

BucketSet::~BucketSet() {
    index_->~Index();
    std::free(index_);
}

namespace {

// A slot never used since the set was built: free, and all zero (a free
// slot that was ever used holds FREE_ADDR, never the all-zero address).
template <class SlotT>
bool pristine(const SlotT& s, bool in_use) {
    return !in_use && s.bucket.ip_addr == SourceAddr{};
}

// What a never-used bucket reads as.
constexpr Bucket kNeverUsed = {FREE_ADDR, 0, 0, 0, {}, 0, 0, 0};

}  // namespace

const Bucket& BucketSet::bucket(int32_t i) const {
    assert(i >= 0 && i < count_);
    if (pristine(slots_[i], in_use(i))) return kNeverUsed;
    return slots_[i].bucket;
}

Bucket& BucketSet::bucket(int32_t i) {
    assert(i >= 0 && i < count_);
    if (pristine(slots_[i], in_use(i))) free_state(slots_[i].bucket, 0);
    return slots_[i].bucket;
}

bool BucketSet::in_use(int32_t i) const {
    assert(i >= 0 && i < count_);
    return !index_->is_free(static_cast<size_t>(i));
}

int32_t BucketSet::next_in_use(int32_t from) const {
    if (from >= count_) return -1;
    return index_->next_used(from < 0 ? 0 : static_cast<size_t>(from));
}

int32_t BucketSet::find_bucket(const SourceAddr& source, time_t now) {
    Index& x = *index_;
    const SourceAddr& addr = source;
    int32_t i = x.lookup(addr);
    if (i >= 0) return i;

    if (used_ < count_) {
        i = x.lowest_free();
        assert(i >= 0);
        x.mark_used(static_cast<size_t>(i));
        ++used_;
        // A free bucket's counters are zero already.
        Bucket& b = slots_[i].bucket;
        b.qps = 0;
        b.first_packet = now;
        b.last_packet = 0;
        b.alarm_set = 0;
    } else {
        x.settle();
        if (x.heap_size == 0) {
            i = 0;
        } else {
            i = Index::index_of(x.node(0));
            if (x.heap_size == 1 || Index::rank(now, i) < x.node(x.min_child(1))) {
                // Counted at now, the root stays the root: under a flood
                // faster than the table turns over, the same bucket is taken
                // over again and again. Its entry stays put till the count.
                x.pending = i;
            } else {
                x.heap_remove(i);
                x.prefetch_next_victims();
            }
        }
        x.hash_remove(i);
        clear_qstats(slots_[i]);
        free_state(slots_[i].bucket, now);
    }
    slots_[i].bucket.ip_addr = addr;
    x.hash_insert(i);
    return i;
}

void BucketSet::count(int32_t i, int protocol, uint32_t count, uint32_t qtype, time_t now) {
    assert(in_use(i));
    Index& x = *index_;
    Slot& s = slots_[i];
    add_counts(s.bucket, protocol, count, qtype);
    s.touched[(qtype & 0xff) >> 6] |= 1ull << (qtype & 63);
    if (i == x.pending) {
        x.pending = -1;
        s.bucket.last_packet = now;
        if (now == 0) {
            x.heap_remove(i);
        } else {
            x.heap_set(i, now);
        }
        return;
    }
    // Whole seconds: most queries leave the heap alone.
    if (s.bucket.last_packet != now) {
        s.bucket.last_packet = now;
        if (now == 0) {
            x.heap_remove(i);
        } else {
            x.heap_set(i, now);
        }
    }
}

void BucketSet::reset_bucket(int32_t i, time_t now) {
    assert(i >= 0 && i < count_);
    Index& x = *index_;
    if (in_use(i)) {
        x.hash_remove(i);
        x.heap_remove(i);
        x.mark_free(static_cast<size_t>(i));
        --used_;
    }
    clear_qstats(slots_[i]);
    free_state(slots_[i].bucket, now);
}

void BucketSet::reset_all(time_t now) {
    Index& x = *index_;
    for (int32_t i = next_in_use(0); i >= 0; i = next_in_use(i + 1)) {
        Slot& s = slots_[i];
        x.heads[x.chain_of(x.links[i].addr)] = -1;
        x.links[i].next = -1;
        x.heap_pos[i] = -1;
        clear_qstats(s);
        free_state(s.bucket, now);
    }
    x.heap_size = 0;
    x.pending = -1;
    x.fill_free();
    used_ = 0;
}

// ---- the table -----------------------------------------------------------

Table::Table(int32_t bucket_count, uint64_t seed)
    : bucket_count_(bucket_count),
      sets_{BucketSet(bucket_count, SeededHash::mix(seed ^ 0xA5A5A5A5A5A5A5A5ull)),
            BucketSet(bucket_count, SeededHash::mix(seed ^ 0x5A5A5A5A5A5A5A5Aull))},
      active_(&sets_[0]) {
    totals_.ip_addr = FREE_ADDR;
}

int32_t Table::add_query(const SourceAddr& source, int protocol, uint32_t count, uint32_t qtype,
                         time_t now) {
    int32_t i = active_->find_bucket(source, now);
    active_->count(i, protocol, count, qtype, now);
    add_counts(totals_, protocol, count, qtype);
    return i;
}

BucketSet& Table::swap_sets() {
    BucketSet& retired = *active_;
    active_ = active_ == &sets_[0] ? &sets_[1] : &sets_[0];
    // The set coming back must have been reset after it was retired.
    assert(active_->in_use_count() == 0);
    return retired;
}

void Table::reset_totals(time_t now) {
    totals_ = Bucket{};
    free_state(totals_, now);
}

// ---- the process-wide table ---------------------------------------------

namespace {

LockGuarded<Table>* the_table = nullptr;


}  // namespace

void alloc_buckets(int32_t bucket_count) {
    delete the_table;
    the_table = new (std::nothrow) LockGuarded<Table>(bucket_count, random_seed());
    if (the_table == nullptr) malloc_fail(kLabel, sizeof(LockGuarded<Table>));
}

LockGuarded<Table>& process_table() {
    assert(the_table != nullptr);
    return *the_table;
}

void add_query(const SourceAddr& source, int protocol, uint32_t count, uint32_t qtype) {
    auto table = process_table().lock();
    table->add_query(source, protocol, count, qtype, now());
}

}  // namespace qv
