// A report that cannot be written is a failure. Programs call check_output_at_exit() first
// thing in main: at exit, standard output is flushed and, if any write to it failed (a full
// device), one line goes to standard error and the status becomes 1. A write to a closed
// pipe ends the process at once the same way (one line, status 1) instead of the silent
// death by SIGPIPE, and without running on into a pipe nobody reads.
#pragma once

#include <unistd.h>
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

// Only async-signal-safe calls: the pipe may close under any write, in any thread.
extern "C" inline void report_closed_pipe(int) {
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
