// Giving up root once the capture is open.
#pragma once

namespace qv {

// Takes on the user's supplementary groups, group and user, in that order,
// and checks that root cannot be regained. On any failure ends the process
// through fatal() with "unable to drop privileges to %s: %s\n".
void drop_privileges(const char* user);

}  // namespace qv
