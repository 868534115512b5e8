// The one clock of the program. Every reading of the time goes through now(),
// so tests can set the time and a replay of a stored capture can drive the
// program with the packets' own timestamps.
#pragma once

#include <ctime>

namespace qv {

// Whole seconds: the system clock, or the manual time once one was set.
time_t now();

// From now on now() returns t (until use_system_clock()).
void set_manual_clock(time_t t);
void use_system_clock();

}  // namespace qv
