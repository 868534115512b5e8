// The command line: options into Settings, then the post-parse rules.
#pragma once

#include <cstdio>

#include "base/settings.h"

namespace qv {

struct ParseResult {
    bool run;    // go on with the start-up sequence
    int status;  // the exit status when not
};

// Copies argv[0] into progname, reads the options (getopt, POSIX rules) and
// applies the post-parse rules in their order. The usage screen, the
// refusals and the messages of -A and -M go to err; getopt's own
// diagnostics go to standard error.
ParseResult parse_command_line(int argc, char** argv, Settings& s, FILE* err);

// The usage screen.
void write_usage(const Settings& s, FILE* err);

// The numeric reading of an option argument: atoi's reading (leading blanks,
// a sign, digits; 0 when no digit leads), kept within 32 bits.
int32_t option_number(const char* text);

}  // namespace qv
