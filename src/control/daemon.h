// Daemon mode: syslog, detaching from the terminal, and SIGTERM.
#pragma once

namespace qv {

// Opens the syslog connection, logs the start, detaches (the parent exits 0
// inside), sends fatal messages to syslog from then on and arranges for
// SIGTERM to end the process with status 15. Runs while the process has one
// thread.
void daemon_steps();

// /dev/null on descriptors 0, 1 and 2, fork (the parent exits 0), then in
// the child setsid, chdir "/" and umask 0.
void daemonize();

// SIGTERM is blocked in every thread and one thread waits for it, then ends
// the process through exit(15): a normal exit, without anything async-signal
// unsafe running in a handler. Must run before any other thread starts.
// Returns false (errno set) when it could not be arranged.
bool end_on_sigterm();

}  // namespace qv
