// The takeover order of a bounded map: of the entries that hold a stamp,
// the one with the smallest stamp, lowest index on ties.
//
// Stamps are whole seconds, and the packet clock almost never goes back, so
// nearly every entry that gets a stamp gets the newest one. Entries are
// therefore kept in groups, one a stamp: a list each, a new entry appended
// at its tail. Only the oldest group is ever asked for its lowest index,
// and it is sorted by index then, once (a list that was filled in rising
// order, as a flood's takeovers fill it, is sorted already). The groups sit
// in a small 4-ary heap by stamp, found from a stamp by a hash, so a clock
// that steps back or a file whose times jump about costs a logarithm of the
// seconds present, never a walk over them.
//
// Nothing is allocated after construction. The per-entry arrays cost 12
// bytes an entry; the group arrays are sized for the worst case (every
// entry its own second) but zeroed by calloc and used from the front, so
// only the pages of the groups really present are ever touched.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#include "base/memory.h"

namespace qv {

class StampOrder {
public:
    StampOrder(int32_t capacity, const char* label) : capacity_(capacity < 1 ? 1 : capacity) {
        const size_t n = static_cast<size_t>(capacity_);
        prev_ = array(n, label);
        next_ = array(n, label);
        group_of_ = array(n, label);  // 0: in no group; else the group's id + 1
        groups_ = static_cast<Group*>(alloc_or_die(n * sizeof(Group), label));
        gheap_ = array(n, label);
        size_t heads = 2;
        while (heads < n) heads <<= 1;
        mask_ = heads - 1;
        gheads_ = array(heads, label);  // 0: empty; else a group's id + 1
    }
    ~StampOrder() {
        for (int32_t* a : {prev_, next_, group_of_, gheap_, gheads_}) std::free(a);
        std::free(groups_);
    }
    StampOrder(const StampOrder&) = delete;
    StampOrder& operator=(const StampOrder&) = delete;

    bool empty() const { return gheap_size_ == 0; }
    bool contains(int32_t i) const { return group_of_[i] != 0; }

    // Gives entry i the stamp t (not 0), from wherever it stood.
    void set(int32_t i, uint32_t t) {
        if (contains(i)) {
            if (groups_[group_of_[i] - 1].stamp == t) return;
            remove(i);
        }
        append(group_for(t), i);
    }

    // Takes entry i out of the order, if it is in it.
    void remove(int32_t i) {
        if (!contains(i)) return;
        const int32_t g = group_of_[i] - 1;
        Group& gr = groups_[g];
        const int32_t p = prev_[i];
        const int32_t nx = next_[i];
        (p >= 0 ? next_[p] : gr.head) = nx;
        (nx >= 0 ? prev_[nx] : gr.tail) = p;
        group_of_[i] = 0;
        if (--gr.size == 0) drop_group(g);
    }

    // The entry of the smallest stamp, lowest index among them; -1 when
    // none has a stamp.
    int32_t oldest() {
        if (gheap_size_ == 0) return -1;
        Group& g = groups_[gheap_[0]];
        if (!g.sorted) sort(g);
        return g.head;
    }

    // The entry the next oldest() is likely to give, or -1 (no sort done).
    int32_t oldest_if_known() const {
        if (gheap_size_ == 0) return -1;
        const Group& g = groups_[gheap_[0]];
        return g.sorted ? g.head : -1;
    }

    // Takes every entry out: the entries in the order are those shown to
    // forget(i), which the caller has (it walks the entries in use).
    void forget(int32_t i) { group_of_[i] = 0; }
    // After forget() of every entry: no groups.
    void clear_groups() {
        for (int32_t k = 0; k < gheap_size_; ++k) {
            const int32_t g = gheap_[k];
            gheads_[slot_of(groups_[g].stamp)] = 0;
        }
        gheap_size_ = 0;
        free_list_ = -1;
        fresh_groups_ = 0;
        last_group_ = -1;
    }

private:
    struct Group {
        uint32_t stamp;
        int32_t head, tail;  // entries, -1 when none
        int32_t size;
        int32_t hnext;  // next group on the same hash slot, id + 1; 0: none
        int32_t pos;    // place in the group heap
        bool sorted;    // the list runs in rising index order
    };

    static int32_t* array(size_t n, const char* label) {
        return static_cast<int32_t*>(alloc_or_die(n * sizeof(int32_t), label));
    }
    size_t slot_of(uint32_t stamp) const {
        // Consecutive seconds land in consecutive slots: no two collide
        // within a stretch of seconds shorter than the table.
        return stamp & mask_;
    }

    int32_t group_for(uint32_t t) {
        if (last_group_ >= 0 && groups_[last_group_].stamp == t) return last_group_;
        const size_t slot = slot_of(t);
        for (int32_t id = gheads_[slot]; id != 0; id = groups_[id - 1].hnext) {
            if (groups_[id - 1].stamp == t) return last_group_ = id - 1;
        }
        // A new group: from the free list, else the next never used.
        int32_t g;
        if (free_list_ >= 0) {
            g = free_list_;
            free_list_ = groups_[g].hnext;
        } else {
            assert(fresh_groups_ < capacity_);
            g = fresh_groups_++;
        }
        groups_[g] = Group{t, -1, -1, 0, gheads_[slot], 0, true};
        gheads_[slot] = g + 1;
        gheap_push(g);
        return last_group_ = g;
    }

    // At the tail; in front when i is below the head, as the entry the
    // oldest group just gave up is when it comes straight back (a flood
    // faster than the map turns over takes the same entry again and
    // again): a sorted group stays sorted either way.
    void append(int32_t g, int32_t i) {
        Group& gr = groups_[g];
        ++gr.size;
        group_of_[i] = g + 1;
        if (gr.head >= 0 && i < gr.head) {
            prev_[i] = -1;
            next_[i] = gr.head;
            prev_[gr.head] = i;
            gr.head = i;
            return;
        }
        prev_[i] = gr.tail;
        next_[i] = -1;
        if (gr.tail >= 0) {
            next_[gr.tail] = i;
            if (i < gr.tail) gr.sorted = false;
        } else {
            gr.head = i;
        }
        gr.tail = i;
    }

    void drop_group(int32_t g) {
        Group& gr = groups_[g];
        // Out of its hash slot.
        int32_t* link = &gheads_[slot_of(gr.stamp)];
        while (*link != g + 1) link = &groups_[*link - 1].hnext;
        *link = gr.hnext;
        gheap_remove(gr.pos);
        if (last_group_ == g) last_group_ = -1;
        gr.hnext = free_list_;
        free_list_ = g;
    }

    // A natural merge sort of the group's list, in place: a list filled in
    // rising runs (the usual case) takes one pass a doubling of its runs.
    void sort(Group& g) {
        int32_t list = g.head;
        for (;;) {
            int32_t out = -1;
            int32_t* out_tail = &out;
            int runs = 0;
            while (list >= 0) {
                const int32_t a = list;
                list = cut_run(a);
                int32_t b = -1;
                if (list >= 0) {
                    b = list;
                    list = cut_run(b);
                }
                *out_tail = merge(a, b);
                while (*out_tail >= 0) out_tail = &next_[*out_tail];
                ++runs;
            }
            list = out;
            if (runs <= 1) break;
        }
        int32_t before = -1;
        for (int32_t i = list; i >= 0; i = next_[i]) {
            prev_[i] = before;
            before = i;
        }
        g.head = list;
        g.tail = before;
        g.sorted = true;
    }
    // Ends the rising run that starts at a; returns what follows it.
    int32_t cut_run(int32_t a) {
        while (next_[a] >= 0 && next_[a] > a) a = next_[a];
        const int32_t rest = next_[a];
        next_[a] = -1;
        return rest;
    }
    int32_t merge(int32_t a, int32_t b) {
        int32_t head = -1;
        int32_t* tail = &head;
        while (a >= 0 && b >= 0) {
            int32_t& take = a < b ? a : b;
            *tail = take;
            tail = &next_[take];
            take = next_[take];
        }
        *tail = a >= 0 ? a : b;
        return head;
    }

    // ---- the heap of groups, by stamp (no two groups share one)
    bool older(int32_t a, int32_t b) const { return groups_[a].stamp < groups_[b].stamp; }
    void gplace(int32_t k, int32_t g) {
        gheap_[k] = g;
        groups_[g].pos = k;
    }
    void gheap_push(int32_t g) {
        int32_t k = gheap_size_++;
        while (k > 0) {
            const int32_t parent = (k - 1) / 4;
            if (!older(g, gheap_[parent])) break;
            gplace(k, gheap_[parent]);
            k = parent;
        }
        gplace(k, g);
    }
    void gheap_remove(int32_t k) {
        const int32_t last = --gheap_size_;
        if (k == last) return;
        const int32_t moved = gheap_[last];
        // Up, if it is older than the parent of the hole; else down.
        while (k > 0 && older(moved, gheap_[(k - 1) / 4])) {
            gplace(k, gheap_[(k - 1) / 4]);
            k = (k - 1) / 4;
        }
        for (;;) {
            const int32_t first = 4 * k + 1;
            if (first >= gheap_size_) break;
            int32_t best = first;
            for (int32_t c = first + 1; c < first + 4 && c < gheap_size_; ++c)
                if (older(gheap_[c], gheap_[best])) best = c;
            if (!older(gheap_[best], moved)) break;
            gplace(k, gheap_[best]);
            k = best;
        }
        gplace(k, moved);
    }

    int32_t capacity_;
    int32_t* prev_;
    int32_t* next_;
    int32_t* group_of_;
    Group* groups_;
    int32_t* gheap_;
    int32_t gheap_size_ = 0;
    int32_t* gheads_;
    size_t mask_ = 0;
    int32_t free_list_ = -1;
    int32_t fresh_groups_ = 0;
    int32_t last_group_ = -1;
};

}  // namespace qv
