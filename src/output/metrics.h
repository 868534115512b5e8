// The metrics page: the per-cycle figures a cycle publishes, and the text
// exposition format (0.0.4) of everything the page shows. The capture's own
// counts come straight from CaptureStats; nothing here touches the table or
// its lock.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "base/address.h"
#include "base/capture_stats.h"
#include "base/hook_counters.h"
#include "stats/cycle.h"
#include "table/zones.h"

namespace qv {

inline constexpr int kTopSources = 20;

struct TopSource {
    AddrText source;  // the text alarm lines use
    uint32_t qps;
};

// A source by the answer bytes it was sent per second (-R).
struct TopAnswerSource {
    AddrText source;  // the text alarm lines use
    uint32_t bytes_per_second;
};

struct TopZone {
    ZoneKey zone;
    uint32_t qps;
    uint32_t names;
    // The cycle's counts behind the answer ratios (-R).
    uint32_t queries = 0;
    uint32_t answers = 0;
    uint32_t nxdomain = 0;
};

// What the last finished cycle left for the page.
struct CycleFigures {
    bool any_cycle = false;
    uint64_t sources = 0;          // in use in the last finished cycle
    uint64_t takeovers_total = 0;
    uint64_t alarms_total = 0;
    double duration_seconds = 0;
    int64_t last_cycle = 0;        // its time, seconds since the epoch
    CaptureLoss capture;           // known: false in a replay
    int top_count = 0;
    std::array<TopSource, kTopSources> top{};  // highest rate first
    bool zones_counted = false;  // -T
    int top_zone_count = 0;
    std::array<TopZone, kTopSources> top_zones{};  // highest rate first
    bool answers_counted = false;                  // -R: the page has the answer families
    int top_answer_count = 0;
    std::array<TopAnswerSource, kTopSources> top_answer_bytes{};  // highest rate first
};

// A consumer of the cycle that keeps its figures for the page, behind a
// lock of its own.
class MetricsBoard final : public CycleConsumer {
public:
    // With -R the answer families are on the page from the start: the
    // capture's answer counts do not wait for a cycle.
    explicit MetricsBoard(const Settings& s) : s_(s) {
        figures_.answers_counted = s.count_answers != 0;
    }
    void consume(const CycleSummary& summary) override;
    void cycle_done(const CycleSummary& summary, double seconds) override;
    CycleFigures figures() const;

private:
    const Settings& s_;
    mutable std::mutex mutex_;
    CycleFigures figures_;
    CycleFigures next_;  // filled by consume, published by cycle_done
    uint64_t alarms_total_ = 0;
};

// The process's own figures, read where the page is served.
struct ProcessFigures {
    double cpu_seconds = 0;
    uint64_t resident_bytes = 0;
    double start_time = 0;
    uint64_t open_fds = 0;
};

struct MetricsPage {
    const char* version;
    const char* libpcap;
    const CaptureStats* capture;
    CycleFigures cycle;
    ProcessFigures process;
    const HookCounters* hook = nullptr;  // -e: the hook's families are on the page
};

// The page in the text exposition format, HELP and TYPE for every family.
std::string render_metrics(const MetricsPage& page);

// A label value with '\\', '"' and newline escaped.
std::string escape_label(const char* value);

}  // namespace qv
