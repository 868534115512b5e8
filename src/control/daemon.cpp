#include "control/daemon.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "base/lines.h"

namespace qv {
namespace {

void* wait_for_sigterm(void*) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    int sig = 0;
    while (sigwait(&set, &sig) != 0 || sig != SIGTERM) {
    }
    exit(SIGTERM);
}

}  // namespace

void daemonize() {
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) {
        syslog(LOG_ERR, "Failed to open /dev/null: %s.  Exiting.", strerror(errno));
        exit(1);
    }
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    pid_t pid = fork();
    if (pid < 0) {
        syslog(LOG_ERR, "Fork failed: %s.  Exiting.", strerror(errno));
        exit(1);
    }
    if (pid > 0) _exit(0);  // the parent: nothing of the child's to flush
    setsid();
    if (chdir("/") != 0) {
        // Not examined: a daemon that cannot change directory still runs.
    }
    umask(0);
}

bool end_on_sigterm() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (rc != 0) {
        errno = rc;
        return false;
    }
    pthread_t thread;
    rc = pthread_create(&thread, nullptr, wait_for_sigterm, nullptr);
    if (rc != 0) {
        errno = rc;
        return false;
    }
    pthread_detach(thread);
    return true;
}

void daemon_steps() {
    openlog("quorvane", LOG_PID | LOG_CONS, LOG_DAEMON);
    syslog(LOG_NOTICE, "quorvane starting");
    daemonize();
    // Standard error now leads to /dev/null.
    fatal_messages_to_syslog();
    if (!end_on_sigterm()) {
        syslog(LOG_ERR, "Unable to set signal handler: %s.  Exiting.", strerror(errno));
        exit(1);
    }
}

}  // namespace qv
