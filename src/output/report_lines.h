// The report lines, a consumer of the cycle: the alarm lines of the alarms
// the cycle decided, the totals line when its window is due and the
// capture-loss line, in that order, on standard output in foreground mode
// and to syslog in daemon mode. The lines themselves are composed by plain
// functions over plain data, so they can be tested without a table, a
// thread or a clock.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>

#include "base/address.h"
#include "base/lines.h"
#include "base/settings.h"
#include "stats/cycle.h"
#include "table/table.h"
#include "table/zones.h"

namespace qv {

// The cycle time as local "%02d:%02d:%02d".
struct Stamp {
    char text[9];
};
Stamp make_stamp(time_t t);

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

// Writes the alarm line of a source, in the form of the mode (foreground:
// standard output with the stamp; daemon: syslog at LOG_NOTICE). Whether it
// alarms is the cycle's decision.
void write_alarm_line(const Settings& s, const Bucket& b, float elapsed, const Stamp& stamp,
                      LineSink& out);

// With -R, the answers line that follows a source's alarm line: its answer
// bytes per second over its elapsed seconds, its answered share and code
// shares, and answer bytes over query bytes.
void write_answers_line(const Settings& s, const Bucket& b, const AnswerCounts& a, uint32_t elapsed,
                        const Stamp& stamp, LineSink& out);

// Writes the alarm line of a zone, in the form of the mode; with -R it gains
// the zone's answered, NXDOMAIN and SERVFAIL shares.
void write_zone_alarm_line(const Settings& s, const ZoneCount& z, const Stamp& stamp, LineSink& out);

// Writes the totals line for a window of `window` seconds.
void write_totals_line(const Settings& s, const Bucket& totals, uint32_t window,
                       const Stamp& stamp, LineSink& out);

// With -R, the answers totals line after it, for the same window.
void write_answer_totals_line(const Settings& s, const Bucket& totals, const AnswerTotals& a,
                              uint32_t window, const Stamp& stamp, LineSink& out);

class ReportLines final : public CycleConsumer {
  public:
    ReportLines(const Settings& s, LineSink& out) : s_(s), out_(out) {}
    void consume(const CycleSummary& summary) override;

  private:
    void report_capture_loss(const CaptureLoss& c, const Stamp& stamp);

    const Settings& s_;
    LineSink& out_;
};

}  // namespace qv
