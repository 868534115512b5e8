#include "control/privileges.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/lines.h"

namespace qv {
namespace {

[[noreturn]] void fail(const char* user, const char* why) {
    fatal("unable to drop privileges to %s: %s\n", user, why);
}

}  // namespace

void drop_privileges(const char* user) {
    errno = 0;
    const passwd* pw = getpwnam(user);
    if (pw == nullptr) fail(user, errno ? strerror(errno) : "no such user");
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    if (initgroups(user, gid) != 0) fail(user, strerror(errno));
    if (setgid(gid) != 0) fail(user, strerror(errno));
    if (setuid(uid) != 0) fail(user, strerror(errno));
    // For good: a process that could become root again has given up nothing.
    if (uid != 0 && setuid(0) == 0) fail(user, "root could be regained");
}

}  // namespace qv
