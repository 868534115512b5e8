#include "control/privileges.h"

#include <grp.h>
#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qv {
namespace {

[[noreturn]] void fail(const char* user, const char* why, bool foreground) {
    if (foreground) {
        fprintf(stderr, "unable to drop privileges to %s: %s\n", user, why);
    } else {
        syslog(LOG_ERR, "unable to drop privileges to %s: %s\n", user, why);
    }
    exit(1);
}

}  // namespace

void drop_privileges(const char* user, bool foreground) {
    errno = 0;
    const passwd* pw = getpwnam(user);
    if (pw == nullptr) fail(user, errno ? strerror(errno) : "no such user", foreground);
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    if (initgroups(user, gid) != 0) fail(user, strerror(errno), foreground);
    if (setgid(gid) != 0) fail(user, strerror(errno), foreground);
    if (setuid(uid) != 0) fail(user, strerror(errno), foreground);
    // For good: a process that could become root again has given up nothing.
    if (uid != 0 && setuid(0) == 0) fail(user, "root could be regained", foreground);
}

}  // namespace qv
