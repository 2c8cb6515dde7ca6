// Runs a program with arguments and environment, drains its standard output and standard
// error, and reports how it ended: exit status, death by signal, or killed at a timeout.
#pragma once

#include <sys/resource.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ks {

// Where the child's standard output goes.
enum class StdoutMode {
  kCapture,     // a pipe that the parent drains (the default)
  kDevFull,     // /dev/full: every write fails with ENOSPC
  kClosedPipe,  // a pipe whose read end is closed before the child starts: EPIPE / SIGPIPE
};

struct RunOptions {
  std::vector<std::string> args;  // without the program name
  // Variables to set (or, with an empty optional, to remove) on top of the parent's
  // environment.
  std::map<std::string, std::optional<std::string>> env;
  bool clean_omp_env = true;  // drop OpenMP variables inherited from the parent (see below)
  // Resource limits for the child only (set between fork and exec; the parent's stay as they
  // are).
  std::optional<rlim_t> address_space_limit;  // RLIMIT_AS, soft and hard, in bytes
  std::optional<rlim_t> stack_limit;          // RLIMIT_STACK soft limit, in bytes
  std::optional<rlim_t> stack_hard_limit;     // RLIMIT_STACK hard limit, in bytes
  double timeout_seconds = 0;                 // 0: no timeout
  StdoutMode stdout_mode = StdoutMode::kCapture;
  std::string stdin_data;  // written to the child's standard input, then closed
};

struct RunResult {
  bool started = false;     // false: the program could not be started (see error)
  std::string error;        // why it could not be started
  std::string out;          // standard output
  std::string err;          // standard error
  bool exited = false;      // ended through exit or return from main
  int exit_status = -1;     // 0..255 when exited
  int term_signal = 0;      // the signal that ended it, when it did not exit
  bool timed_out = false;   // killed by us at the timeout
  double wall_seconds = 0;  // from just before the start to the end of the wait

  bool ok() const { return started && exited && exit_status == 0 && !timed_out; }
  // "exit 0", "exit 254", "killed by signal 11 (Segmentation fault)", "timed out after 2 s",
  // "not started: ...".
  std::string describe() const;
};

// True for a variable that an OpenMP runtime reads: the standard OMP_*, and the variables of
// GCC's runtime (GOMP_*) and of LLVM's (KMP_*, LIBOMP_*).
bool is_openmp_variable(std::string_view name);

// Starts `path` (with posix_spawn, or fork and exec when limits are requested) and waits for
// it.
RunResult run_program(const std::string& path, const RunOptions& options = {});

}  // namespace ks
