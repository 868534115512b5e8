// Where a report line goes: standard output (written whole, then flushed) in
// foreground mode, syslog in daemon mode. The code that composes alarm and
// totals lines picks the text for its mode and hands it here; tests install
// a sink of their own to read the lines.
#pragma once

#include <string_view>

namespace qv {

class LineSink {
public:
    virtual ~LineSink() = default;
    // One whole line for standard output, newline included.
    virtual void to_stdout(std::string_view line) = 0;
    // One syslog message at the given priority (LOG_NOTICE, LOG_WARNING, ...).
    virtual void to_syslog(int priority, const char* message) = 0;
};

// The process-wide sink: standard output and the C library's syslog.
LineSink& system_lines();

}  // namespace qv
