// The arithmetic of rates and windows: plain functions over plain data, so
// the rules of rounding and of when a window is due can be tested without a
// table, a thread or a clock.
#pragma once

#include <cstdint>
#include <ctime>

#include "base/settings.h"
#include "table/table.h"

namespace qv {

// Seconds from `from` to `to` as the unsigned 32-bit difference of their low
// 32 bits (a clock set back wraps to a very long time).
uint32_t elapsed_seconds(time_t to, time_t from);

// A per-source rate: count / elapsed in single precision, rounded up.
uint32_t rate_up(uint32_t count, float elapsed);
uint32_t rate_up(int32_t count, float elapsed);

// A source's queries per second over its elapsed seconds, rounded up; 0
// under 2 seconds (too young to give a rate).
uint32_t source_qps(const Bucket& b, uint32_t elapsed);
inline uint32_t source_qps_at(const Bucket& b, time_t cycle_time) {
    return source_qps(b, elapsed_seconds(cycle_time, b.first_packet));
}

// A source's answer bytes per second over its elapsed seconds, rounded up;
// 0 under 2 seconds, like every rate.
uint32_t answer_bytes_rate(const AnswerCounts& a, uint32_t elapsed);

// part as a whole percentage of whole, rounded down; 0 when whole is 0.
uint64_t share(uint64_t part, uint64_t whole);

// Whether the totals window is due at cycle_time; its length goes to *window.
bool totals_due(const Settings& s, const Bucket& totals, time_t cycle_time, uint32_t* window);

}  // namespace qv
