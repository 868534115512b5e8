// Giving up root once the capture is open.
#pragma once

namespace qv {

// Takes on the user's supplementary groups, group and user, in that order,
// and checks that root cannot be regained. On any failure writes "unable to
// drop privileges to %s: %s\n" (standard error in foreground mode, syslog at
// LOG_ERR otherwise) and ends the process with status 1.
void drop_privileges(const char* user, bool foreground);

}  // namespace qv
