#include "stats/rates.h"

#include <cmath>

namespace qv {
namespace {

uint32_t from_ceiling(float q) {
    // Through 64 bits: a count near 2^32 over 2 seconds rounds up to 2^31,
    // which a signed 32-bit conversion could not hold.
    return static_cast<uint32_t>(static_cast<int64_t>(ceilf(q)));
}

}  // namespace

uint32_t elapsed_seconds(time_t to, time_t from) {
    return static_cast<uint32_t>(static_cast<uint64_t>(to)) -
           static_cast<uint32_t>(static_cast<uint64_t>(from));
}

uint32_t rate_up(uint32_t count, float elapsed) {
    return from_ceiling(static_cast<float>(count) / elapsed);
}

uint32_t rate_up(int32_t count, float elapsed) {
    return from_ceiling(static_cast<float>(count) / elapsed);
}

uint32_t source_qps(const Bucket& b, uint32_t elapsed) {
    if (elapsed < 2) return 0;
    return rate_up(b.tcp_count + b.udp_count, static_cast<float>(elapsed));
}

uint32_t answer_bytes_rate(const AnswerCounts& a, uint32_t elapsed) {
    if (elapsed < 2) return 0;
    // In double precision: byte counts outgrow a float's exact integers.
    return static_cast<uint32_t>(std::ceil(static_cast<double>(a.bytes) / elapsed));
}

uint64_t share(uint64_t part, uint64_t whole) {
    if (whole == 0) return 0;
    // In two steps, so that no product overflows for any count there is.
    return part / whole * 100 + part % whole * 100 / whole;
}

bool totals_due(const Settings& s, const Bucket& totals, time_t cycle_time, uint32_t* window) {
    if (s.totals_interval <= 0) return false;
    uint32_t w = elapsed_seconds(cycle_time, totals.first_packet);
    if (w < 2 || static_cast<uint32_t>(s.totals_interval) > w) return false;
    *window = w;
    return true;
}

}  // namespace qv
