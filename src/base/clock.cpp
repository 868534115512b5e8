#include "base/clock.h"

#include <atomic>
#include <cstdint>

namespace qv {
namespace {
std::atomic<bool> manual{false};
std::atomic<int64_t> manual_time{0};
}  // namespace

time_t now() {
    if (manual.load(std::memory_order_relaxed)) {
        return static_cast<time_t>(manual_time.load(std::memory_order_relaxed));
    }
    return time(nullptr);
}

void set_manual_clock(time_t t) {
    manual_time.store(static_cast<int64_t>(t), std::memory_order_relaxed);
    manual.store(true, std::memory_order_relaxed);
}

void use_system_clock() { manual.store(false, std::memory_order_relaxed); }

}  // namespace qv
