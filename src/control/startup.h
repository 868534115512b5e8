// The start-up sequence: device, capture filter, live capture, table, stats
// thread, then the capture loop for the rest of the process's life.
#pragma once

#include <cstdint>

#include "base/settings.h"

namespace qv {

// The seed of the zone finder's name hash, which the distinct-name sketch
// reads: random in a live capture, so that nobody can choose names that
// the sketch undercounts; fixed in a replay, whose output the file and the
// options alone decide.
uint64_t zone_seed(const Settings& s);

// Runs the start-up sequence with complete settings and then captures.
// Returns the process's exit status when the capture loop ends.
int run(Settings& s);

}  // namespace qv
