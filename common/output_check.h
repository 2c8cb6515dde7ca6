// A report that cannot be written is a failure. Programs call check_output_at_exit() first
// thing in main: at exit, standard output is flushed and, if any write to it failed (a full
// device), one line goes to standard error and the status becomes 1. A write to a closed
// pipe ends the process at once the same way (one line, status 1) instead of the silent
// death by SIGPIPE, and without running on into a pipe nobody reads.
#pragma once

#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ks {

inline void report_output_errors() {
  errno = 0;
  const bool flush_failed = std::fflush(stdout) != 0;
  const int flush_errno = errno;
  if (flush_failed || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "%s: no se pudo escribir la salida estándar: %s\n",
                 program_invocation_short_name,
                 flush_errno != 0 ? std::strerror(flush_errno) : "error de escritura");
    _exit(1);
  }
}

// Only async-signal-safe calls: the pipe may close under any write, in any thread. When
// several threads hit it at once, the first one reports and ends the process; the others
// wait for that.
extern "C" inline void report_closed_pipe(int) {
  // Starts at 1 so that it lives in initialised data, near the code: the zero-initialised
  // data of the static-matrix programs is 2.4 GB, beyond a 32-bit displacement.
  static std::atomic<int> first{1};
  if (first.exchange(0) == 0) {
    for (;;) {
      pause();
    }
  }
  static constexpr char kMessage[] = ": no se pudo escribir la salida estándar: Broken pipe\n";
  const char* name = program_invocation_short_name;
  (void)!write(STDERR_FILENO, name, std::strlen(name));
  (void)!write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  _exit(1);
}

inline void check_output_at_exit() {
  struct sigaction action {};
  action.sa_handler = report_closed_pipe;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
  std::atexit(report_output_errors);
}

}  // namespace ks
