#include "stats/alarm_memory.h"

#include <cstdlib>

#include "base/memory.h"

namespace qv {
namespace {

int bits_for(int32_t n) {
    int bits = 1;
    while ((int64_t{1} << bits) < n) ++bits;
    return bits;
}

}  // namespace

AlarmMemory::AlarmMemory(int32_t capacity, uint64_t seed)
    : capacity_(capacity < 1 ? 1 : capacity), hash_(seed, bits_for(capacity_)) {
    entries_ = static_cast<Entry*>(
        alloc_or_die(sizeof(Entry) * static_cast<size_t>(capacity_), "alarm memory"));
    const size_t nheads = size_t{1} << bits_for(capacity_);
    heads_ = static_cast<int32_t*>(alloc_or_die(sizeof(int32_t) * nheads, "alarm memory"));
    for (size_t i = 0; i < nheads; ++i) heads_[i] = -1;
}

AlarmMemory::~AlarmMemory() {
    free(entries_);
    free(heads_);
}

int32_t AlarmMemory::find(const SourceAddr& addr) const {
    for (int32_t i = heads_[chain_of(addr)]; i != -1; i = entries_[i].chain) {
        if (entries_[i].addr == addr) return i;
    }
    return -1;
}

time_t AlarmMemory::last_alarm(const SourceAddr& source) const {
    int32_t i = find(source);
    return i == -1 ? 0 : entries_[i].when;
}

void AlarmMemory::unlink_age(int32_t i) {
    Entry& e = entries_[i];
    if (e.older != -1) entries_[e.older].newer = e.newer; else oldest_ = e.newer;
    if (e.newer != -1) entries_[e.newer].older = e.older; else newest_ = e.older;
}

void AlarmMemory::unlink_chain(int32_t i) {
    int32_t* link = &heads_[chain_of(entries_[i].addr)];
    while (*link != i) link = &entries_[*link].chain;
    *link = entries_[i].chain;
}

void AlarmMemory::remember(const SourceAddr& source, time_t t) {
    int32_t i = find(source);
    if (i != -1) {
        unlink_age(i);
    } else {
        if (size_ < capacity_) {
            i = size_++;
        } else {
            i = oldest_;  // forget the source alarmed longest ago
            unlink_age(i);
            unlink_chain(i);
        }
        uint32_t h = chain_of(source);
        entries_[i].addr = source;
        entries_[i].chain = heads_[h];
        heads_[h] = i;
    }
    Entry& e = entries_[i];
    e.when = t;
    e.newer = -1;
    e.older = newest_;
    if (newest_ != -1) entries_[newest_].newer = i; else oldest_ = i;
    newest_ = i;
}

}  // namespace qv
