#include <cstdio>

#include "base/settings.h"
#include "control/options.h"
#include "control/startup.h"

int main(int argc, char** argv) {
    qv::Settings& s = qv::process_settings();
    qv::ParseResult parsed = qv::parse_command_line(argc, argv, s, stderr);
    if (!parsed.run) return parsed.status;
    return qv::run(s);
}
