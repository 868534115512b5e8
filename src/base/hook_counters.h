// What the action hook (-e) has done, for the metrics page: written by the
// hook's own thread, read where the page is served.
#pragma once

#include <atomic>
#include <cstdint>

namespace qv {

struct HookCounters {
    std::atomic<uint64_t> runs_ok{0};      // exited with status 0
    std::atomic<uint64_t> runs_failed{0};  // a non-zero status, or it could not be started
    std::atomic<uint64_t> runs_killed{0};  // still running at its time limit
    std::atomic<uint64_t> events{0};       // events the cycles handed to the hook
    std::atomic<uint64_t> dropped{0};      // events dropped from a full queue, oldest first
};

}  // namespace qv
