// The source table as two plain scans over an array of buckets: the model
// the real table is checked against, and its baseline in the benchmark.
#pragma once

#include <cstdint>
#include <ctime>
#include <vector>

#include "base/address.h"
#include "table/table.h"

namespace qv::test {

class NaiveTable {
  public:
    explicit NaiveTable(int32_t bucket_count);

    int32_t size() const { return static_cast<int32_t>(buckets_.size()); }
    const Bucket& bucket(int32_t i) const { return buckets_[static_cast<size_t>(i)]; }
    Bucket& bucket(int32_t i) { return buckets_[static_cast<size_t>(i)]; }
    bool in_use(int32_t i) const { return in_use_[static_cast<size_t>(i)] != 0; }
    const Bucket& totals() const { return totals_; }

    int32_t find_bucket(SourceAddr source, time_t now);
    void count(int32_t i, int protocol, uint32_t count, uint32_t qtype, time_t now);
    // find_bucket, count, and the same counts into the totals.
    int32_t add_query(SourceAddr source, int protocol, uint32_t count, uint32_t qtype, time_t now);
    void reset_bucket(int32_t i, time_t now);
    // Every bucket, one by one.
    void reset_all(time_t now);
    // Puts source into free bucket i as a claim would, without the scans:
    // fills a large table quickly. The caller keeps the sources distinct.
    void claim(int32_t i, SourceAddr source, time_t now);
    void reset_totals(time_t now);

  private:
    std::vector<Bucket> buckets_;
    std::vector<char> in_use_;
    Bucket totals_{};
};

}  // namespace qv::test
