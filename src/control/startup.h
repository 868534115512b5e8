// The start-up sequence: device, capture filter, live capture, table, stats
// thread, then the capture loop for the rest of the process's life.
#pragma once

#include <cstdint>

#include "base/settings.h"

namespace qv {

// Which capture filter the settings ask for.
enum class FilterCase {
    no_local,   // -Q: "port 53"
    address,    // -A (and -M): that network
    local_net,  // the capture device's own network
};
FilterCase filter_case(const Settings& s);

// The filter text (allocated; never released). net and mask are the
// network number and netmask of the device (network byte order), used only
// in the local_net case.
char* build_filter_text(const Settings& s, uint32_t net, uint32_t mask);

// The name of the default capture device, as libpcap's old device lookup
// chose it: the first device libpcap lists, unless there is none or it is a
// loopback device. Allocated; nullptr when there is none.
char* default_device();

// Runs the start-up sequence with complete settings and then captures.
// Returns the process's exit status when the capture loop ends.
int run(Settings& s);

}  // namespace qv
