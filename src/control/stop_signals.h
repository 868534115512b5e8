// Foreground mode: SIGTERM and SIGINT end the process as their default
// actions would (a shell or a supervisor sees the same status), but only once
// every line already written has left the standard output buffer. The
// handler only notes the signal and breaks the capture loop; the capture
// thread flushes and raises the signal again.
#pragma once

#include <pcap/pcap.h>
#include <signal.h>

#include <cstddef>
#include <cstdio>

namespace qv {

// Installs the handler for SIGTERM and SIGINT, unless the signal is ignored.
// A second one, while the first is being dealt with, takes its default
// action at once: a reader that never empties the pipe must not keep the
// process alive.
void catch_stop_signals();

// The live capture whose loop the handler breaks (pcap_breakloop).
void break_on_stop(pcap_t* handle);

// The stop signal received, or 0.
int stop_signal();

// Flushes standard output, then ends the process by sig, its default action.
[[noreturn]] void end_by_signal(int sig);

// SIGTERM and SIGINT blocked in this thread while it lives: threads started
// meanwhile inherit the block, so that the signals reach the capture thread.
class StopSignalsBlocked {
  public:
    StopSignalsBlocked();
    ~StopSignalsBlocked();
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

  private:
    sigset_t saved_;
};

// A capture file, or standard input for "-", as a stream for
// pcap_fopen_offline whose reads wait for data in a way that a stop signal
// cuts short (the read then fails with EINTR): a replay of a pipe or a FIFO
// that has gone quiet still stops. Null, with "PATH: reason" in errbuf, when
// the file cannot be opened.
FILE* open_capture_input(const char* path, char* errbuf, size_t errbuf_size);

}  // namespace qv
