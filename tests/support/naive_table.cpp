#include "naive_table.h"

namespace qv::test {
namespace {

void add_counts(Bucket& b, int protocol, uint32_t count, uint32_t qtype) {
    if (protocol == 6) {
        b.tcp_count += count;
    } else {
        b.udp_count += count;
    }
    const int slot = type_slot(qtype);
    if (slot < 0) return;
    int32_t& q = b.qstats[slot];
    q = static_cast<int32_t>(static_cast<uint32_t>(q) + count);
}

void reset(Bucket& b, time_t now) {
    b = Bucket{};
    b.ip_addr = FREE_ADDR;
    b.first_packet = stamp_of(now);
}

}  // namespace

NaiveTable::NaiveTable(int32_t bucket_count)
    : buckets_(static_cast<size_t>(bucket_count)), in_use_(static_cast<size_t>(bucket_count), 0) {
    for (Bucket& b : buckets_) reset(b, 0);
    reset(totals_, 0);
}

int32_t NaiveTable::find_bucket(SourceAddr source, time_t now) {
    const int32_t n = size();
    for (int32_t i = 0; i < n; ++i) {
        if (in_use(i) && bucket(i).ip_addr == source) return i;
    }
    int32_t candidate = -1;
    int32_t chosen = -1;
    for (int32_t i = 0; i < n; ++i) {
        if (!in_use(i)) {
            chosen = i;
            break;
        }
        const time_t last = bucket(i).last_packet;
        if (last == 0) continue;
        if (candidate < 0 || last < bucket(candidate).last_packet) candidate = i;
    }
    if (chosen < 0) chosen = candidate >= 0 ? candidate : 0;
    claim(chosen, source, now);
    return chosen;
}

void NaiveTable::claim(int32_t i, SourceAddr source, time_t now) {
    reset_bucket(i, now);
    bucket(i).ip_addr = source;
    in_use_[static_cast<size_t>(i)] = 1;
}

void NaiveTable::count(int32_t i, int protocol, uint32_t count, uint32_t qtype, time_t now) {
    Bucket& b = bucket(i);
    b.last_packet = stamp_of(now);
    add_counts(b, protocol, count, qtype);
}

int32_t NaiveTable::add_query(SourceAddr source, int protocol, uint32_t count, uint32_t qtype,
                              time_t now) {
    const int32_t i = find_bucket(source, now);
    this->count(i, protocol, count, qtype, now);
    add_counts(totals_, protocol, count, qtype);
    return i;
}

void NaiveTable::reset_bucket(int32_t i, time_t now) {
    reset(bucket(i), now);
    in_use_[static_cast<size_t>(i)] = 0;
}

void NaiveTable::reset_all(time_t now) {
    for (int32_t i = 0; i < size(); ++i) reset_bucket(i, now);
}

void NaiveTable::reset_totals(time_t now) {
    reset(totals_, now);
}

}  // namespace qv::test
