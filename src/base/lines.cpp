#include "base/lines.h"

#include <syslog.h>

#include <cstdio>

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

}  // namespace

LineSink& system_lines() {
    static SystemLines lines;
    return lines;
}

}  // namespace qv
