// A report that cannot be written is a failure. Programs call check_output_at_exit() first
// thing in main: at exit, standard output is flushed and, if any write to it failed (a full
// device, a closed pipe), one line goes to standard error and the status becomes 1.
// SIGPIPE is ignored so that a closed pipe shows up as a failed write rather than as a
// silent death.
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

inline void check_output_at_exit() {
  std::signal(SIGPIPE, SIG_IGN);
  std::atexit(report_output_errors);
}

}  // namespace ks
