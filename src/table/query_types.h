// The query types that reports break out, in report order: the only types a
// bucket counts one by one.
#pragma once

#include <array>
#include <cstdint>

namespace qv {

struct QueryType {
    const char* name;
    uint8_t code;
};
inline constexpr int kReportedTypes = 10;
inline constexpr std::array<QueryType, kReportedTypes> query_types = {{
    {"A", 1},
    {"NS", 2},
    {"CNAME", 5},
    {"SOA", 6},
    {"PTR", 12},
    {"MX", 15},
    {"AAAA", 28},
    {"A6", 38},
    {"AXFR", 252},
    {"ANY", 255},
}};

namespace query_types_detail {
struct SlotTable {
    int8_t slot[256] = {};
    constexpr SlotTable() {
        for (auto& s : slot) s = -1;
        for (int i = 0; i < kReportedTypes; ++i) slot[query_types[i].code] = static_cast<int8_t>(i);
    }
};
inline constexpr SlotTable kSlots;
}  // namespace query_types_detail

// The report slot of a query type (its full 16-bit value: CAA, 257, is not
// A), or -1 for a type no report breaks out.
inline int type_slot(uint32_t qtype) {
    return qtype < 256 ? query_types_detail::kSlots.slot[qtype] : -1;
}

}  // namespace qv
