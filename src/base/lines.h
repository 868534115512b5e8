// Where a report line goes: standard output (written whole, then flushed) in
// foreground mode, syslog in daemon mode. The code that composes alarm and
// totals lines picks the text for its mode and hands it here; tests install
// a sink of their own to read the lines.
//
// Where a fatal message goes is decided here too: standard error while the
// process still has the terminal it was started from, syslog once it has
// detached.
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
    // One whole line for standard error (foreground mode), newline included.
    virtual void to_stderr(std::string_view line);
};

// The process-wide sink: standard output and the C library's syslog.
LineSink& system_lines();

// From now on fatal messages go to syslog at LOG_ERR: the process has
// detached and its standard error leads to /dev/null. Daemon mode calls it
// once, right after the detach.
void fatal_messages_to_syslog();

// Writes the message (printf-style; a newline at its end is left out of a
// syslog message) to standard error, or to syslog after
// fatal_messages_to_syslog(), and ends the process with status 1.
[[noreturn]] void fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qv
