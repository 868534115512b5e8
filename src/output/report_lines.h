// Rates and the text of alarm and totals lines: plain functions over plain
// data, so the rules of rounding, thresholds and line composition can be
// tested without a table, a thread or a clock.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>

#include "base/address.h"
#include "base/lines.h"
#include "base/settings.h"
#include "table/table.h"
#include "table/zones.h"

namespace qv {

// The cycle time as local "%02d:%02d:%02d".
struct Stamp {
    char text[9];
};
Stamp make_stamp(time_t t);

// Seconds from `from` to `to` as the unsigned 32-bit difference of their low
// 32 bits (a clock set back wraps to a very long time).
uint32_t elapsed_seconds(time_t to, time_t from);

// A per-source rate: count / elapsed in single precision, rounded up.
uint32_t rate_up(uint32_t count, float elapsed);
uint32_t rate_up(int32_t count, float elapsed);

// A syslog line built in a 192-byte buffer: the head, then entries while at
// least 2 bytes remain, each formatted with the remaining space as its bound;
// a line that runs over is cut at 191 characters and nothing follows the cut.
class ComposedLine {
public:
    void head(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void entry(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    const char* text() const { return buf_; }

private:
    char buf_[192] = {};
    long remaining_ = 192;
};

// Writes the alarm line of a source whose qps is above the threshold, in the
// form of the mode (foreground: standard output with the stamp; daemon:
// syslog at LOG_NOTICE). Applies no hold-off.
void write_alarm_line(const Settings& s, const Bucket& b, float elapsed, const Stamp& stamp,
                      LineSink& out);

// Writes the alarm line of a zone above the zone threshold (-T), in the
// form of the mode. Applies no hold-off.
void write_zone_alarm_line(const Settings& s, const ZoneCount& z, const Stamp& stamp, LineSink& out);

// Whether the totals window is due at cycle_time; its length goes to *window.
bool totals_due(const Settings& s, const Bucket& totals, time_t cycle_time, uint32_t* window);

// Writes the totals line for a window of `window` seconds.
void write_totals_line(const Settings& s, const Bucket& totals, uint32_t window,
                       const Stamp& stamp, LineSink& out);

}  // namespace qv
