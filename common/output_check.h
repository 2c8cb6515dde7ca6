// A report that cannot be written is a failure. Programs call check_output_at_exit() first
// thing in main: as the process ends, standard output is flushed and, if any write to it failed
// (a full device), one line goes to standard error. A write to a closed pipe ends the process
// at once the same way (one line) instead of the silent death by SIGPIPE, and without running
// on into a pipe nobody reads.
//
// The status of such an ending is 1 when the program would otherwise have succeeded. When it
// was already ending with a failure status of its own (exit(-1) for a usage error, exit(-2)
// for an allocation failure), that status is kept, so that a script can still tell the three
// apart: the exit handler is registered with on_exit, which receives the status given to exit.
#pragma once

#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ks {

// The status to end with when standard output cannot be written: 1 while the program runs,
// and the program's own status once it is exiting with a failure. Starts non-zero so that it
// lives in initialised data, near the code: the zero-initialised data of the static-matrix
// programs is 2.4 GB, beyond a 32-bit displacement.
inline std::atomic<int> output_failure_status{1};

// The status a process exiting with `exit_status` ends with when its output cannot be
// written: its own when that is a failure, 1 when it would otherwise succeed.
constexpr int status_after_output_failure(int exit_status) {
  return (exit_status & 0xff) == 0 ? 1 : exit_status;
}

// Flushes standard output. If that, or any earlier write to it, failed, writes
// "<prefix>: <cause>\n" to standard error (the C library's reason, or `unknown_cause` when it
// gives none) and ends the process at once with `status`. Returns when everything was
// written.
inline void report_output_errors(const char* prefix, const char* unknown_cause, int status) {
  errno = 0;
  const bool flush_failed = std::fflush(stdout) != 0;
  const int flush_errno = errno;
  if (flush_failed || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "%s: %s\n", prefix,
                 flush_errno != 0 ? std::strerror(flush_errno) : unknown_cause);
    _exit(status);
  }
}

// Only async-signal-safe calls: the pipe may close under any write, in any thread. When
// several threads hit it at once, the first one reports and ends the process; the others
// wait for that.
extern "C" inline void report_closed_pipe(int) {
  static std::atomic<int> first{1};  // non-zero: initialised data, as above
  if (first.exchange(0) == 0) {
    for (;;) {
      pause();
    }
  }
  static constexpr char kMessage[] = ": no se pudo escribir la salida estándar: Broken pipe\n";
  const char* name = program_invocation_short_name;
  (void)!write(STDERR_FILENO, name, std::strlen(name));
  (void)!write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  _exit(output_failure_status.load());
}

// Runs as the process exits with `status` (the value given to exit, or returned from main).
inline void report_output_errors_at_exit(int status, void*) {
  const int failure = status_after_output_failure(status);
  output_failure_status.store(failure);  // a closed pipe met by the flush below keeps it too
  char prefix[512];
  std::snprintf(prefix, sizeof prefix, "%s: no se pudo escribir la salida estándar",
                program_invocation_short_name);
  report_output_errors(prefix, "error de escritura", failure);
}

inline void check_output_at_exit() {
  struct sigaction action {};
  action.sa_handler = report_closed_pipe;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
  on_exit(report_output_errors_at_exit, nullptr);
}

}  // namespace ks
