#include "output/metrics.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "stats/rates.h"

namespace qv {
namespace {

// The indexes of the at most kTopSources highest rates among those rated
// (qps above 0), highest first, lowest index on ties: a min-heap of
// kTopSources, so a flood of a million costs a comparison each and no memory.
template <class Rate>
int top_by_rate(int32_t first, Rate&& rate_at, std::array<int32_t, kTopSources>& out) {
    struct Entry {
        uint32_t qps;
        int32_t index;
    };
    std::array<Entry, kTopSources> heap{};
    int n = 0;
    auto later = [](const Entry& a, const Entry& b) {
        return a.qps != b.qps ? a.qps > b.qps : a.index < b.index;
    };
    for (int32_t i = first; i != -1; i = rate_at.next(i)) {
        const uint32_t qps = rate_at.qps(i);
        if (qps == 0) continue;  // not rated: seen for less than 2 seconds
        const Entry e{qps, i};
        if (n < kTopSources) {
            heap[static_cast<size_t>(n++)] = e;
            std::push_heap(heap.begin(), heap.begin() + n, later);
        } else if (later(e, heap[0])) {
            std::pop_heap(heap.begin(), heap.begin() + n, later);
            heap[static_cast<size_t>(n - 1)] = e;
            std::push_heap(heap.begin(), heap.begin() + n, later);
        }
    }
    std::sort_heap(heap.begin(), heap.begin() + n, later);
    for (int k = 0; k < n; ++k) out[static_cast<size_t>(k)] = heap[static_cast<size_t>(k)].index;
    return n;
}

}  // namespace

void MetricsBoard::consume(const CycleSummary& summary) {
    const BucketSet& retired = *summary.retired;
    CycleFigures f;
    f.any_cycle = true;
    f.sources = static_cast<uint64_t>(retired.in_use_count());
    f.takeovers_total = summary.takeovers_total;
    alarms_total_ += summary.alarms.count();
    f.alarms_total = alarms_total_;
    f.last_cycle = static_cast<int64_t>(summary.cycle_time);
    f.capture = summary.capture;
    struct Sources {
        const BucketSet& set;
        time_t at;
        int32_t next(int32_t i) const { return set.next_in_use(i + 1); }
        uint32_t qps(int32_t i) const { return source_qps_at(set.bucket(i), at); }
    };
    const Sources sources{retired, summary.cycle_time};
    std::array<int32_t, kTopSources> top{};
    f.top_count = top_by_rate(retired.next_in_use(0), sources, top);
    for (int k = 0; k < f.top_count; ++k) {
        const int32_t i = top[static_cast<size_t>(k)];
        f.top[static_cast<size_t>(k)] = {to_text(retired.bucket(i).ip_addr, source_prefixes(s_)),
                                         sources.qps(i)};
    }
    f.answers_counted = s_.count_answers != 0;
    if (f.answers_counted && retired.counts_answers()) {
        // Rated by the rules of every rate: none under 2 seconds.
        struct AnswerBytes {
            const BucketSet& set;
            time_t at;
            int32_t next(int32_t i) const { return set.next_in_use(i + 1); }
            uint32_t qps(int32_t i) const {
                const uint32_t elapsed = elapsed_seconds(at, set.bucket(i).first_packet);
                return answer_bytes_rate(set.answers(i), elapsed);
            }
        };
        const AnswerBytes rate{retired, summary.cycle_time};
        f.top_answer_count = top_by_rate(retired.next_in_use(0), rate, top);
        for (int k = 0; k < f.top_answer_count; ++k) {
            const int32_t i = top[static_cast<size_t>(k)];
            f.top_answer_bytes[static_cast<size_t>(k)] = {
                to_text(retired.bucket(i).ip_addr, source_prefixes(s_)), rate.qps(i)};
        }
    }
    if (const ZoneSet* zones = summary.zones) {
        struct Zones {
            const ZoneSet& set;
            int32_t next(int32_t i) const { return set.next_in_use(i + 1); }
            uint32_t qps(int32_t i) const { return set.zone(i).qps; }
        };
        f.zones_counted = true;
        f.top_zone_count = top_by_rate(zones->next_in_use(0), Zones{*zones}, top);
        for (int k = 0; k < f.top_zone_count; ++k) {
            const ZoneCount& z = zones->zone(top[static_cast<size_t>(k)]);
            f.top_zones[static_cast<size_t>(k)] = {z.zone,    z.qps,     z.names,
                                                   z.queries, z.answers, z.nxdomain};
        }
    }
    next_ = f;
}

void MetricsBoard::cycle_done(const CycleSummary& /*summary*/, double seconds) {
    next_.duration_seconds = seconds;
    std::lock_guard<std::mutex> hold(mutex_);
    figures_ = next_;
}

CycleFigures MetricsBoard::figures() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return figures_;
}

std::string escape_label(const char* value) {
    std::string out;
    for (const char* p = value; *p; ++p) {
        if (*p == '\\' || *p == '"') {
            out += '\\';
            out += *p;
        } else if (*p == '\n') {
            out += "\\n";
        } else {
            out += *p;
        }
    }
    return out;
}

namespace {

class Page {
public:
    void family(const char* name, const char* type, const char* help) {
        text_ += "# HELP ";
        text_ += name;
        text_ += ' ';
        text_ += help;
        text_ += "\n# TYPE ";
        text_ += name;
        text_ += ' ';
        text_ += type;
        text_ += '\n';
    }
    // name{labels} value; labels already escaped and formatted, or empty.
    void sample(const char* name, const std::string& labels, uint64_t value) {
        char v[32];
        snprintf(v, sizeof v, "%" PRIu64, value);
        line(name, labels, v);
    }
    void sample(const char* name, const std::string& labels, double value) {
        char v[48];
        snprintf(v, sizeof v, "%.17g", value);
        line(name, labels, v);
    }
    // A family of one sample without labels.
    template <class T>
    void single(const char* name, const char* type, const char* help, T value) {
        family(name, type, help);
        sample(name, "", value);
    }
    std::string take() { return std::move(text_); }

private:
    void line(const char* name, const std::string& labels, const char* value) {
        text_ += name;
        if (!labels.empty()) {
            text_ += '{';
            text_ += labels;
            text_ += '}';
        }
        text_ += ' ';
        text_ += value;
        text_ += '\n';
    }
    std::string text_;
};

std::string label(const char* key, const char* value) {
    return std::string(key) + "=\"" + escape_label(value) + "\"";
}

std::string family_transport(int v6, int tcp) {
    return label("family", v6 ? "ipv6" : "ipv4") + "," + label("transport", tcp ? "tcp" : "udp");
}

double ratio(uint32_t part, uint32_t whole) {
    return whole == 0 ? 0.0 : static_cast<double>(part) / whole;
}

}  // namespace

std::string render_metrics(const MetricsPage& page) {
    Page p;
    p.family("quorvane_build_info", "gauge", "Build information: the program's and libpcap's versions.");
    p.sample("quorvane_build_info", label("version", page.version) + "," + label("libpcap", page.libpcap),
             uint64_t{1});

    const CaptureStats& c = *page.capture;
    p.family("quorvane_frames_total", "counter",
             "Frames the capture saw, by what decoding made of them.");
    for (int r = 0; r < kFrameResults; ++r) {
        p.sample("quorvane_frames_total", label("result", frame_result_names[static_cast<size_t>(r)]),
                 c.frames(static_cast<FrameResult>(r)));
    }
    p.family("quorvane_queries_total", "counter", "Queries counted, by address family and transport.");
    for (int v6 = 0; v6 < 2; ++v6) {
        for (int tcp = 0; tcp < 2; ++tcp) {
            p.sample("quorvane_queries_total", family_transport(v6, tcp),
                     c.queries(v6 != 0, tcp != 0));
        }
    }
    p.family("quorvane_queries_by_type_total", "counter", "Queries counted, by their 16-bit QTYPE.");
    for (int row = 0; row < kMetricTypeRows; ++row) {
        const char* name = row < static_cast<int>(metric_types.size())
                               ? metric_types[static_cast<size_t>(row)].name
                               : "other";
        p.sample("quorvane_queries_by_type_total", label("type", name), c.by_type(row));
    }

    const CycleFigures& f = page.cycle;
    if (f.answers_counted) {
        p.family("quorvane_answers_total", "counter",
                 "Answers counted, by address family, transport and RCODE.");
        for (int v6 = 0; v6 < 2; ++v6) {
            for (int tcp = 0; tcp < 2; ++tcp) {
                for (int row = 0; row < kAnswerCodeRows; ++row) {
                    p.sample("quorvane_answers_total",
                             family_transport(v6, tcp) + "," +
                                 label("rcode", answer_code_names[static_cast<size_t>(row)]),
                             c.answers(v6 != 0, tcp != 0, row));
                }
            }
        }
        const struct {
            const char* name;
            const char* help;
            uint64_t (CaptureStats::*value)(bool, bool) const;
        } byte_families[] = {
            {"quorvane_answer_bytes_total",
             "Bytes of the answers counted, by address family and transport.",
             &CaptureStats::answer_bytes},
            {"quorvane_query_bytes_total",
             "Bytes of the queries counted, by address family and transport.",
             &CaptureStats::query_bytes},
        };
        for (const auto& family : byte_families) {
            p.family(family.name, "counter", family.help);
            for (int v6 = 0; v6 < 2; ++v6) {
                for (int tcp = 0; tcp < 2; ++tcp) {
                    p.sample(family.name, family_transport(v6, tcp),
                             (c.*family.value)(v6 != 0, tcp != 0));
                }
            }
        }
        p.single("quorvane_answers_truncated_total", "counter",
                 "Answers counted with the TC bit set.", c.truncated());
    }
    if (f.capture.known) {
        p.family("quorvane_capture_received_total", "counter", "Frames the capture received, from pcap_stats.");
        p.sample("quorvane_capture_received_total", "", f.capture.received_total);
        p.family("quorvane_capture_dropped_total", "counter",
                 "Frames dropped before the program read them, from pcap_stats.");
        p.sample("quorvane_capture_dropped_total", label("by", "kernel"), f.capture.dropped_kernel_total);
        p.sample("quorvane_capture_dropped_total", label("by", "interface"), f.capture.dropped_interface_total);
    }
    p.single("quorvane_sources", "gauge", "Sources counted in the last finished cycle.", f.sources);
    p.single("quorvane_table_takeovers_total", "counter", "Buckets taken over from another source.", f.takeovers_total);
    p.single("quorvane_alarms_total", "counter", "Alarm lines written.", f.alarms_total);
    p.single("quorvane_cycle_duration_seconds", "gauge", "How long the last cycle's work took.", f.duration_seconds);
    p.single("quorvane_last_cycle_timestamp_seconds", "gauge", "When the last cycle ran.", static_cast<double>(f.last_cycle));
    p.family("quorvane_top_source_qps", "gauge",
             "The sources with the highest rate in the last finished cycle (at most 20).");
    for (int k = 0; k < f.top_count; ++k) {
        const TopSource& t = f.top[static_cast<size_t>(k)];
        p.sample("quorvane_top_source_qps", label("source", t.source.c_str()), uint64_t{t.qps});
    }
    if (f.answers_counted) {
        p.family("quorvane_top_source_answer_bytes", "gauge",
                 "Answer bytes per second to the sources sent the most in the last finished "
                 "cycle (at most 20).");
        for (int k = 0; k < f.top_answer_count; ++k) {
            const TopAnswerSource& t = f.top_answer_bytes[static_cast<size_t>(k)];
            p.sample("quorvane_top_source_answer_bytes", label("source", t.source.c_str()),
                     uint64_t{t.bytes_per_second});
        }
    }

    if (f.zones_counted) {
        const struct {
            const char* name;
            const char* help;
            uint32_t TopZone::*value;
        } zone_families[] = {
            {"quorvane_top_zone_qps", "The zones with the highest rate in the last finished cycle (at most 20).",
             &TopZone::qps},
            {"quorvane_top_zone_names", "The distinct names asked of those zones in the last finished cycle.",
             &TopZone::names},
        };
        for (const auto& family : zone_families) {
            p.family(family.name, "gauge", family.help);
            for (int k = 0; k < f.top_zone_count; ++k) {
                const TopZone& z = f.top_zones[static_cast<size_t>(k)];
                p.sample(family.name, label("zone", std::string(z.zone.view()).c_str()), uint64_t{z.*family.value});
            }
        }
        if (f.answers_counted) {
            const struct {
                const char* name;
                const char* help;
                double (*value)(const TopZone&);
            } ratio_families[] = {
                {"quorvane_top_zone_answered_ratio",
                 "Answers over queries of the top zones in the last finished cycle "
                 "(0 without queries).",
                 [](const TopZone& z) { return ratio(z.answers, z.queries); }},
                {"quorvane_top_zone_nxdomain_ratio",
                 "NXDOMAIN answers over answers of the top zones in the last finished cycle "
                 "(0 without answers).",
                 [](const TopZone& z) { return ratio(z.nxdomain, z.answers); }},
            };
            for (const auto& family : ratio_families) {
                p.family(family.name, "gauge", family.help);
                for (int k = 0; k < f.top_zone_count; ++k) {
                    const TopZone& z = f.top_zones[static_cast<size_t>(k)];
                    p.sample(family.name, label("zone", std::string(z.zone.view()).c_str()),
                             family.value(z));
                }
            }
        }
    }

    if (const HookCounters* h = page.hook) {
        p.family("quorvane_hook_runs_total", "counter",
                 "Runs of the action hook, by how they ended (failed: a non-zero status).");
        const struct {
            const char* result;
            const std::atomic<uint64_t>& value;
        } runs[] = {{"ok", h->runs_ok}, {"failed", h->runs_failed}, {"killed", h->runs_killed}};
        for (const auto& r : runs) p.sample("quorvane_hook_runs_total", label("result", r.result), r.value.load());
        p.single("quorvane_hook_events_total", "counter", "Events handed to the action hook.", h->events.load());
        p.single("quorvane_hook_events_dropped_total", "counter",
                 "Events dropped from the action hook's full queue, oldest first.", h->dropped.load());
    }

    const ProcessFigures& pr = page.process;
    p.single("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.", pr.cpu_seconds);
    p.single("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", pr.resident_bytes);
    p.single("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.", pr.start_time);
    p.single("process_open_fds", "gauge", "Number of open file descriptors.", pr.open_fds);
    return p.take();
}

}  // namespace qv
