#include "output/report_lines.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>

#include "stats/rates.h"

namespace qv {


namespace {

// A standard-output line, composed whole so it leaves in one write.
class OutLine {
public:
    void add(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (len_ >= sizeof buf_ - 1) return;
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(buf_ + len_, sizeof buf_ - len_, fmt, ap);
        va_end(ap);
        if (n > 0) len_ += static_cast<size_t>(n);
        if (len_ > sizeof buf_ - 1) len_ = sizeof buf_ - 1;
    }
    std::string_view view() const { return {buf_, len_}; }

private:
    // The longest line: a head of under 100 characters and ten entries of
    // under 40 each.
    char buf_[1024] = {};
    size_t len_ = 0;
};

}  // namespace

Stamp make_stamp(time_t t) {
    Stamp s{};
    tm local{};
    localtime_r(&t, &local);
    // Two digits each, whatever localtime gives: the stamp is always 8 characters.
    const unsigned h = static_cast<unsigned>(local.tm_hour) % 100u;
    const unsigned m = static_cast<unsigned>(local.tm_min) % 100u;
    const unsigned sec = static_cast<unsigned>(local.tm_sec) % 100u;
    snprintf(s.text, sizeof s.text, "%02u:%02u:%02u", h, m, sec);
    return s;
}

void ComposedLine::head(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf_, sizeof buf_, fmt, ap);
    va_end(ap);
    remaining_ = static_cast<long>(sizeof buf_) - (n < 0 ? 0 : n);
    if (remaining_ <= 0) buf_[sizeof buf_ - 1] = '\0';
}

void ComposedLine::entry(const char* fmt, ...) {
    if (remaining_ < 2) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf_ + sizeof buf_ - remaining_, static_cast<size_t>(remaining_), fmt, ap);
    va_end(ap);
    remaining_ -= n < 0 ? 0 : n;  // the full, untruncated length
    if (remaining_ <= 0) buf_[sizeof buf_ - 1] = '\0';
}

void write_alarm_line(const Settings& s, const Bucket& b, float elapsed, const Stamp& stamp,
                      LineSink& out) {
    const AddrText addr = to_text(b.ip_addr, source_prefixes(s));
    const uint32_t qps = rate_up(b.tcp_count + b.udp_count, elapsed);
    if (s.foreground) {
        OutLine line;
        if (s.verbosity == 0) {
            line.add("[%s] source [%s] - %u qps\n", stamp.text, addr.c_str(), qps);
        } else {
            line.add("[%s] source [%s] - %u qps tcp : %u qps udp ", stamp.text, addr.c_str(),
                     rate_up(b.tcp_count, elapsed), rate_up(b.udp_count, elapsed));
            if (s.verbosity >= 2) {
                for (int k = 0; k < kReportedTypes; ++k) {
                    uint32_t r = rate_up(b.qstats[k], elapsed);
                    if (r != 0) line.add("[%u qps %s] ", r, query_types[k].name);
                }
            }
            line.add("\n");
        }
        out.to_stdout(line.view());
        return;
    }
    ComposedLine line;
    if (s.verbosity == 0) {
        line.head("source [%s] - %u qps\n", addr.c_str(), qps);
    } else if (s.verbosity == 1) {
        line.head("source [%s] - %u tcp qps - %u udp qps\n", addr.c_str(),
                  rate_up(b.tcp_count, elapsed), rate_up(b.udp_count, elapsed));
    } else {
        line.head("source [%s] - %u tcp qps : %u udp qps ", addr.c_str(),
                  rate_up(b.tcp_count, elapsed), rate_up(b.udp_count, elapsed));
        for (int k = 0; k < kReportedTypes; ++k) {
            uint32_t r = rate_up(b.qstats[k], elapsed);
            if (r != 0) line.entry("[%u qps %s] ", r, query_types[k].name);
        }
    }
    out.to_syslog(LOG_NOTICE, line.text());
}

void write_answers_line(const Settings& s, const Bucket& b, const AnswerCounts& a, uint32_t elapsed,
                        const Stamp& stamp, LineSink& out) {
    const AddrText addr = to_text(b.ip_addr, source_prefixes(s));
    const uint32_t queries = b.tcp_count + b.udp_count;
    const uint32_t answers = a.answers();
    // At most 2^32 - 1 over 1: ten digits and the decimal.
    char factor[48];
    if (a.query_bytes == 0) {
        snprintf(factor, sizeof factor, "-x bytes");
    } else {
        snprintf(factor, sizeof factor, "%.1fx bytes",
                 static_cast<double>(a.bytes) / static_cast<double>(a.query_bytes));
    }
    char body[256];
    snprintf(body, sizeof body,
             "answers [%s] - %u bytes/s, %llu%% answered, %llu%% NXDOMAIN, %llu%% SERVFAIL, %llu%% REFUSED, %s",
             addr.c_str(), answer_bytes_rate(a, elapsed),
             static_cast<unsigned long long>(share(answers, queries)),
             static_cast<unsigned long long>(share(a.by_class[kNxDomain], answers)),
             static_cast<unsigned long long>(share(a.by_class[kServFail], answers)),
             static_cast<unsigned long long>(share(a.by_class[kRefused], answers)), factor);
    if (s.foreground) {
        OutLine line;
        line.add("[%s] %s\n", stamp.text, body);
        out.to_stdout(line.view());
        return;
    }
    out.to_syslog(LOG_NOTICE, body);
}

void write_zone_alarm_line(const Settings& s, const ZoneCount& z, const Stamp& stamp, LineSink& out) {
    const int len = static_cast<int>(z.zone.len);
    char line[kZoneKeyMax + 128];
    int n = snprintf(line, sizeof line, "zone [%.*s] - %u qps, %u names", len, z.zone.text, z.qps, z.names);
    if (s.count_answers && n > 0 && static_cast<size_t>(n) < sizeof line) {
        snprintf(line + n, sizeof line - static_cast<size_t>(n), ", %llu%% answered, %llu%% NXDOMAIN, %llu%% SERVFAIL",
                 static_cast<unsigned long long>(share(z.answers, z.queries)),
                 static_cast<unsigned long long>(share(z.nxdomain, z.answers)),
                 static_cast<unsigned long long>(share(z.servfail, z.answers)));
    }
    if (s.foreground) {
        OutLine out_line;
        out_line.add("[%s] %s\n", stamp.text, line);
        out.to_stdout(out_line.view());
        return;
    }
    out.to_syslog(LOG_NOTICE, line);
}

void write_totals_line(const Settings& s, const Bucket& totals, uint32_t window,
                       const Stamp& stamp, LineSink& out) {
    const float w = static_cast<float>(window);
    const float tcp = static_cast<float>(totals.tcp_count) / w;
    const float udp = static_cast<float>(totals.udp_count) / w;
    auto type_rate = [&](int k) { return static_cast<float>(totals.qstats[k]) / w; };

    if (s.foreground) {
        OutLine line;
        line.add("[%s] totals - %3.2f qps tcp : %3.2f qps udp ", stamp.text,
                 static_cast<double>(tcp), static_cast<double>(udp));
        if (s.verbosity >= 1) {
            for (int k = 0; k < kReportedTypes; ++k) {
                float r = type_rate(k);
                if (r > 0) line.add("[%3.2f qps %s] ", static_cast<double>(r), query_types[k].name);
            }
        }
        line.add("\n");
        out.to_stdout(line.view());
        return;
    }
    ComposedLine line;
    if (s.verbosity == 0) {
        line.head("[totals] - %3.2f tcp qps : %3.2f udp qps\n", static_cast<double>(tcp),
                  static_cast<double>(udp));
    } else {
        line.head("[totals] - %3.2f tcp qps : %3.2f udp qps ", static_cast<double>(tcp),
                  static_cast<double>(udp));
        for (int k = 0; k < kReportedTypes; ++k) {
            float r = type_rate(k);
            if (r > 0) line.entry("[%3.2f qps %s] ", static_cast<double>(r), query_types[k].name);
        }
    }
    out.to_syslog(LOG_NOTICE, line.text());
}

void write_answer_totals_line(const Settings& s, const Bucket& totals, const AnswerTotals& a,
                              uint32_t window, const Stamp& stamp, LineSink& out) {
    const double w = window;
    const uint64_t answers = a.answers();
    const uint64_t queries = uint64_t{totals.tcp_count} + totals.udp_count;
    auto pct = [&](uint64_t part) { return static_cast<unsigned long long>(share(part, answers)); };
    char body[256];
    snprintf(body, sizeof body,
             "- %3.2f answers/s : %llu%% of queries : %llu%% NOERROR : %llu%% NXDOMAIN : %llu%% SERVFAIL : "
             "%llu%% REFUSED : %llu%% other : %3.2f bytes/s : %llu%% truncated",
             static_cast<double>(answers) / w, static_cast<unsigned long long>(share(answers, queries)),
             pct(a.by_class[kNoError]), pct(a.by_class[kNxDomain]), pct(a.by_class[kServFail]),
             pct(a.by_class[kRefused]), pct(a.by_class[kOtherCode]), static_cast<double>(a.bytes) / w,
             pct(a.truncated));
    if (s.foreground) {
        OutLine line;
        line.add("[%s] answers %s\n", stamp.text, body);
        out.to_stdout(line.view());
        return;
    }
    char line[300];
    snprintf(line, sizeof line, "[answers] %s", body);
    out.to_syslog(LOG_NOTICE, line);
}

void ReportLines::consume(const CycleSummary& summary) {
    const Stamp stamp = make_stamp(summary.cycle_time);
    for (int32_t i : summary.alarms.sources) {
        const Bucket& b = summary.retired->bucket(i);
        const float e = static_cast<float>(elapsed_seconds(summary.cycle_time, b.first_packet));
        write_alarm_line(s_, b, e, stamp, out_);
        if (summary.answers) {
            write_answers_line(s_, b, summary.retired->answers(i),
                               elapsed_seconds(summary.cycle_time, b.first_packet), stamp, out_);
        }
    }
    for (int32_t i : summary.alarms.zones)
        write_zone_alarm_line(s_, summary.zones->zone(i), stamp, out_);
    if (summary.totals_due) {
        write_totals_line(s_, summary.totals, summary.window, stamp, out_);
        if (summary.answers)
            write_answer_totals_line(s_, summary.totals, summary.answer_totals, summary.window, stamp, out_);
    }
    report_capture_loss(summary.capture, stamp);
}

void ReportLines::report_capture_loss(const CaptureLoss& c, const Stamp& stamp) {
    if (!c.known || c.new_dropped == 0) return;
    char line[128];
    if (s_.foreground) {
        int n = snprintf(line, sizeof line, "[%s] capture dropped %u of %u frames\n", stamp.text,
                         c.new_dropped, c.new_received);
        out_.to_stdout(std::string_view(line, static_cast<size_t>(n)));
    } else {
        snprintf(line, sizeof line, "capture dropped %u of %u frames", c.new_dropped,
                 c.new_received);
        out_.to_syslog(LOG_WARNING, line);
    }
}

}  // namespace qv
