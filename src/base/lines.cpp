#include "base/lines.h"

#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qv {
namespace {

class SystemLines final : public LineSink {
public:
    void to_stdout(std::string_view line) override {
        fwrite(line.data(), 1, line.size(), stdout);
        fflush(stdout);
    }
    void to_syslog(int priority, const char* message) override {
        syslog(priority, "%s", message);
    }
};

// Set once by the detached process; read by whichever thread fails.
std::atomic<bool> fatal_to_syslog{false};

}  // namespace

void LineSink::to_stderr(std::string_view line) {
    // Unbuffered: one write, whole.
    fwrite(line.data(), 1, line.size(), stderr);
}

LineSink& system_lines() {
    static SystemLines lines;
    return lines;
}

void fatal_messages_to_syslog() {
    fatal_to_syslog.store(true);
}

void fatal(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (!fatal_to_syslog.load()) {
        vfprintf(stderr, format, args);
    } else {
        char text[1024];
        vsnprintf(text, sizeof text, format, args);
        size_t n = strlen(text);
        while (n > 0 && text[n - 1] == '\n') text[--n] = '\0';
        syslog(LOG_ERR, "%s", text);
    }
    va_end(args);
    exit(1);
}

}  // namespace qv
