// Runs a program with arguments and environment, drains its standard output and standard
// error, and reports how it ended (exit status, death by signal, killed at a timeout or on
// request) and what it cost (spawn/counters.h).
//
// Process handling:
// - The program runs in a process group of its own. Whenever it is ended early (timeout,
//   stop) the whole group gets SIGTERM, then SIGKILL after RunOptions::kill_grace_seconds, so
//   that whatever it started dies with it. When it ends by itself, anything it left running
//   in its group is killed too: a run is over when its program is.
// - It never outlives us: it gets SIGKILL when the thread that started it ends
//   (PR_SET_PDEATHSIG). run_program blocks that thread until the program has ended, so this
//   happens only when our whole process dies, by SIGKILL included.
// - It may use every CPU that the starting thread may use (or RunOptions::cpus), as it would
//   when started any other way.
// - Its signal dispositions are the defaults, except those our process ignores (SIGPIPE
//   excepted, always the default), and no signal is blocked.
#pragma once

#include <sched.h>
#include <sys/resource.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "spawn/counters.h"

namespace ks {

// Where the child's standard output goes.
enum class StdoutMode {
  kCapture,     // a pipe that the parent drains (the default)
  kDevFull,     // /dev/full: every write fails with ENOSPC
  kClosedPipe,  // a pipe whose read end is closed before the child starts: EPIPE / SIGPIPE
};

// The two pipes of the standard output and error of the runs a thread starts one at a time,
// kept open from one run to the next (RunOptions::pipes): making and closing two pipes costs
// more than all of run_program's other work for a run on a small VM. The end of a run is then
// its program's end (its pidfd), not the pipes' closing: with a kernel that has no pidfds they
// serve one run and are made again for the next. They are replaced, too, after a run that
// leaves processes in its group, which could still write into them, and after a program that
// changed what its writes do (O_NONBLOCK, O_APPEND). A process that left its program's group
// altogether is beyond reach: what it writes later would go into a later run's output.
class OutputPipes {
 public:
  OutputPipes() = default;
  ~OutputPipes() { discard(); }
  OutputPipes(const OutputPipes&) = delete;
  OutputPipes& operator=(const OutputPipes&) = delete;
  // Makes them unless they are there and fit for another run; false when they cannot be made.
  bool ready();
  void discard();
  // Gives up the descriptors (read end, write end of each) to the caller, who closes them.
  void hand_over(int out[2], int err[2]);
  int out_read() const { return out_[0]; }
  int out_write() const { return out_[1]; }
  int err_read() const { return err_[0]; }
  int err_write() const { return err_[1]; }

 private:
  int out_[2] = {-1, -1};
  int err_[2] = {-1, -1};
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
  // How long a program ended early has between SIGTERM and SIGKILL.
  double kill_grace_seconds = 0.5;
  StdoutMode stdout_mode = StdoutMode::kCapture;
  // The most bytes kept of each captured stream: beyond it the output is still read (so the
  // program is not blocked) but dropped, and RunResult::output_cut says so. 0: no bound.
  std::size_t max_output_bytes = 0;
  std::string stdin_data;  // written to the child's standard input, then closed
  // Called with each piece of standard error as it arrives, on the calling thread (the whole
  // of it is in RunResult::err all the same): live progress of a long run.
  std::function<void(std::string_view)> on_stderr;

  // Stopping a run early from elsewhere, typically from a signal handler: the read end of a
  // pipe (a "self-pipe") that the handler writes one byte to. While the program runs, the
  // descriptor is polled with its outputs; once it is readable the program's group is ended
  // as at a timeout and the result says `stopped`. run_program never reads from it, so it stays
  // readable: every later call with the same descriptor returns at once, without starting its
  // program (started false, stopped true), until the caller drains the pipe. -1: none.
  //
  //   int stop_pipe[2];  pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK);
  //   void on_sigint(int) { (void)!write(stop_pipe[1], "", 1); }   // async-signal-safe
  //   options.stop_fd = stop_pipe[0];
  int stop_fd = -1;

  // Count performance events too (RunResult::counters.events); resource usage from wait4 is
  // always collected. Off unless asked: opening and reading them costs about 0.04 ms a run on
  // a small VM, and inside the program every page fault and context switch does a little more.
  bool count_events = false;
  EventSource* event_source = nullptr;  // nullptr: the kernel's (tests put a fake here)
  // With count_events, the events to count with, kept open by the caller from one run to the
  // next on this thread (spawn/counters.h); nullptr: opened for this run alone, from
  // event_source.
  EventGroup* events = nullptr;
  // The pipes of standard output and error, kept by the caller from one run to the next on this
  // thread; nullptr (or another StdoutMode): made for this run alone.
  OutputPipes* pipes = nullptr;
  // The CPUs the program may use, given to it before it execs; empty: this thread's. A thread
  // held on one CPU while it starts programs (HoldOnThisCpu) gives them back what it was allowed.
  std::optional<cpu_set_t> cpus;
};

// A program's path, arguments and environment (RunOptions::args, env and clean_omp_env on top
// of ours), made ready to start once and started as often as wanted.
class Command {
 public:
  Command(const std::string& path, const RunOptions& options);
  Command(Command&& other) noexcept;
  Command& operator=(Command&& other) noexcept;
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;
  const std::string& path() const { return strings_.front(); }
  char* const* argv() const { return argv_.data(); }
  char* const* envp() const { return envp_.data(); }

 private:
  void point();
  std::vector<std::string> strings_;  // the path, each argument, then each variable
  std::size_t argc_ = 0;
  std::vector<char*> argv_;
  std::vector<char*> envp_;
};

struct RunResult {
  bool started = false;     // false: the program could not be started (see error)
  std::string error;        // why it could not be started
  std::string out;          // standard output
  std::string err;          // standard error
  bool exited = false;      // ended through exit or return from main
  int exit_status = -1;     // 0..255 when exited
  int term_signal = 0;      // the signal that ended it, when it did not exit
  bool timed_out = false;   // ended by us at the timeout
  bool stopped = false;     // ended (or not started) because RunOptions::stop_fd was readable
  bool output_cut = false;  // a stream went beyond RunOptions::max_output_bytes: it was cut
  double wall_seconds = 0;  // from just before the start to the end of the wait
  Counters counters;        // what the run cost, when it was started

  bool ok() const { return started && exited && exit_status == 0 && !timed_out && !stopped; }
  // "exit 0", "exit 254", "killed by signal 11 (Segmentation fault)", "timed out after 2 s",
  // "stopped after 1.2 s", "not started: ...". When the program was ended early, exited is
  // false whatever it did on SIGTERM, and term_signal tells which signal ended it.
  std::string describe() const;
};

// Holds the calling thread on the CPU it runs on, for the holder's life, then allows it again
// what it was allowed. A program this thread starts meanwhile (with RunOptions::cpus =
// allowed()) begins on the CPU that is about to wait for it, and its end wakes this thread
// where it ran, rather than another CPU: on a small machine, the cost of waking an idle CPU
// twice a run is a good part of a short program's. The program may use every CPU all the same.
class HoldOnThisCpu {
 public:
  HoldOnThisCpu();
  ~HoldOnThisCpu();
  HoldOnThisCpu(const HoldOnThisCpu&) = delete;
  HoldOnThisCpu& operator=(const HoldOnThisCpu&) = delete;
  // What the thread was allowed; empty when it is not held (it may use one CPU only, or the
  // kernel refused).
  const std::optional<cpu_set_t>& allowed() const { return allowed_; }

 private:
  std::optional<cpu_set_t> allowed_;
};

// True for a variable that an OpenMP runtime reads: the standard OMP_*, and the variables of
// GCC's runtime (GOMP_*) and of LLVM's (KMP_*, LIBOMP_*).
bool is_openmp_variable(std::string_view name);

// Starts `path` (vfork and exec) and waits for it.
RunResult run_program(const std::string& path, const RunOptions& options = {});
// The same with a command made beforehand: options.args, env and clean_omp_env are not read.
RunResult run_program(const Command& command, const RunOptions& options);

}  // namespace ks
