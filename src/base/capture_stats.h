// Counts the capture thread keeps for the metrics page: 64-bit, only ever
// growing while the process lives. One thread writes them (a plain load
// and store, no locked instruction), others read them at any time.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace qv {

// What became of a frame, in the order the metrics page lists them.
enum class FrameResult : uint8_t { counted, type0, response, malformed, other };
inline constexpr int kFrameResults = 5;
inline constexpr std::array<const char*, kFrameResults> frame_result_names = {
    "counted", "type0", "response", "malformed", "other"};

// The query types the metrics page breaks out, by their full 16-bit code;
// every other type counts as "other", the last row.
struct MetricType {
    const char* name;
    uint16_t code;
};
inline constexpr std::array<MetricType, 18> metric_types = {{
    {"A", 1},      {"NS", 2},      {"CNAME", 5},   {"SOA", 6},   {"PTR", 12},   {"MX", 15},
    {"TXT", 16},   {"AAAA", 28},   {"SRV", 33},    {"NAPTR", 35}, {"DS", 43},   {"DNSKEY", 48},
    {"SVCB", 64},  {"HTTPS", 65},  {"CAA", 257},   {"ANY", 255}, {"AXFR", 252}, {"IXFR", 251},
}};
inline constexpr int kMetricTypeRows = static_cast<int>(metric_types.size()) + 1;

// The row of a query type, "other" included.
inline int metric_type_row(uint16_t qtype) {
    for (int i = 0; i < static_cast<int>(metric_types.size()); ++i) {
        if (metric_types[static_cast<size_t>(i)].code == qtype) return i;
    }
    return kMetricTypeRows - 1;
}

class CaptureStats {
public:
    using Counter = std::atomic<uint64_t>;

    void frame(FrameResult r) { bump(frames_[static_cast<size_t>(r)]); }
    // family 4 or 6, protocol 6 (TCP) or 17 (UDP).
    void query(uint8_t family, uint8_t protocol, uint16_t qtype) {
        bump(queries_[family == 6 ? 1 : 0][protocol == 6 ? 1 : 0]);
        bump(by_type_[static_cast<size_t>(metric_type_row(qtype))]);
    }

    uint64_t frames(FrameResult r) const { return read(frames_[static_cast<size_t>(r)]); }
    uint64_t queries(bool ipv6, bool tcp) const { return read(queries_[ipv6][tcp]); }
    uint64_t by_type(int row) const { return read(by_type_[static_cast<size_t>(row)]); }

private:
    // Only the capture thread writes: no read-modify-write needed.
    static void bump(Counter& c) { c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); }
    static uint64_t read(const Counter& c) { return c.load(std::memory_order_relaxed); }

    std::array<Counter, kFrameResults> frames_{};
    Counter queries_[2][2]{};
    std::array<Counter, kMetricTypeRows> by_type_{};
};

}  // namespace qv
