#include "spawn/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

extern char** environ;

namespace ks {
namespace {

using Clock = std::chrono::steady_clock;

// The limits the child must start with, applied in the child between fork and exec, so the
// parent's own limits never change (a lowered hard limit could not be raised again).
bool apply_limits(const RunOptions& options) {
  auto set = [](int resource, std::optional<rlim_t> soft, std::optional<rlim_t> hard) {
    rlimit wanted{};
    if (getrlimit(resource, &wanted) != 0) {
      return false;
    }
    if (hard) {
      wanted.rlim_max = *hard;
    }
    if (soft) {
      wanted.rlim_cur = *soft;
    }
    if (wanted.rlim_max != RLIM_INFINITY &&
        (wanted.rlim_cur == RLIM_INFINITY || wanted.rlim_cur > wanted.rlim_max)) {
      wanted.rlim_cur = wanted.rlim_max;
    }
    return setrlimit(resource, &wanted) == 0;
  };
  if (options.address_space_limit &&
      !set(RLIMIT_AS, options.address_space_limit, options.address_space_limit)) {
    return false;
  }
  if ((options.stack_limit || options.stack_hard_limit) &&
      !set(RLIMIT_STACK, options.stack_limit, options.stack_hard_limit)) {
    return false;
  }
  return true;
}

// Everything the child needs between vfork and exec, prepared beforehand: the child shares
// our memory until it execs, so it allocates nothing and changes nothing of ours but `error`.
struct ChildPlan {
  const char* path;
  char* const* argv;
  char* const* envp;
  int in_fd;
  int out_fd;  // -1: /dev/full
  int err_fd;
  const RunOptions* options;
  pid_t parent;
  const cpu_set_t* cpus;  // the CPUs to allow the program before it execs; nullptr: as it is
  int* error;             // where the child leaves errno when it cannot exec
  bool handlers_cleared = false;  // the kernel has reset our handlers in the child already
};

// The child side: only async-signal-safe calls, on memory the parent will not look at until
// the child has exec'd or exited.
[[noreturn]] void become_program(const ChildPlan& plan) {
  setpgid(0, 0);
  // Die with the thread that started us, and close the race with a parent that died first.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != plan.parent) {
    _exit(127);
  }
  // Our handlers would run on the parent's memory: back to the defaults before unblocking.
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  if (plan.handlers_cleared) {
    sigaction(SIGPIPE, &defaults, nullptr);  // the only ignored signal not passed on
  }
  for (int sig = 1; sig < NSIG && !plan.handlers_cleared; ++sig) {
    struct sigaction current {};
    if (sigaction(sig, nullptr, &current) != 0) {
      continue;
    }
    if (sig == SIGPIPE || (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN)) {
      sigaction(sig, &defaults, nullptr);
    }
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  int out_fd = plan.out_fd;
  if (out_fd < 0) {
    out_fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
  }
  if (out_fd >= 0 && dup2(plan.in_fd, STDIN_FILENO) >= 0 && dup2(out_fd, STDOUT_FILENO) >= 0 &&
      dup2(plan.err_fd, STDERR_FILENO) >= 0 && apply_limits(*plan.options) &&
      (plan.cpus == nullptr || sched_setaffinity(0, sizeof *plan.cpus, plan.cpus) == 0)) {
    execve(plan.path, plan.argv, plan.envp);
  }
  *plan.error = errno != 0 ? errno : EINVAL;
  _exit(127);
}

#if defined(__x86_64__) && defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KS_NO_CLONE3
#endif
#endif
#else
#define KS_NO_CLONE3
#endif

#ifndef KS_NO_CLONE3
// clone3's arguments (linux/sched.h, version 0), and its flags that older headers lack.
struct CloneArgs {
  std::uint64_t flags, pidfd, child_tid, parent_tid, exit_signal, stack, stack_size, tls;
};
constexpr std::uint64_t kCloneVm = 0x100, kCloneVfork = 0x4000, kClonePidfd = 0x1000,
                        kCloneClearSighand = 0x100000000ULL;

[[noreturn]] void child_entry(const ChildPlan* plan) {
  become_program(*plan);
}

// clone3 as vfork does it, the child on a stack of its own: it runs child_entry(plan) there
// and never returns. The parent resumes once the child has exec'd or exited. Returns the pid,
// or -errno.
long clone3_vfork(CloneArgs* args, const ChildPlan* plan) {
  long result;
  register void (*entry)(const ChildPlan*) asm("r12") = child_entry;
  register const ChildPlan* argument asm("r13") = plan;
  asm volatile(
      "syscall\n\t"
      "testq %%rax, %%rax\n\t"
      "jnz 1f\n\t"
      "xorl %%ebp, %%ebp\n\t"
      "movq %%r13, %%rdi\n\t"
      "callq *%%r12\n\t"
      "ud2\n"
      "1:\n\t"
      : "=a"(result)
      : "a"(static_cast<long>(SYS_clone3)), "D"(args), "S"(sizeof *args), "r"(entry), "r"(argument)
      : "rcx", "r11", "cc", "memory");
  return result;
}
#endif

// Like vfork: no copy of our address space, whatever its size. Every signal stays blocked until
// the child has reset our handlers. clone3 resets them in the child by itself and hands us a
// pidfd (into *pidfd) where the kernel offers both (5.5 and later); otherwise vfork, and the
// child resets them one by one.
pid_t start_child(ChildPlan& plan, [[maybe_unused]] int* pidfd) {
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pid_t pid = -1;
  bool started = false;
#ifndef KS_NO_CLONE3
  static std::atomic<bool> clone3_works{true};
  if (clone3_works.load(std::memory_order_relaxed)) {
    alignas(64) unsigned char stack[16384];
    int fd = -1;
    CloneArgs args{};
    args.flags = kCloneVm | kCloneVfork | kClonePidfd | kCloneClearSighand;
    args.pidfd = reinterpret_cast<std::uintptr_t>(&fd);
    args.exit_signal = SIGCHLD;
    args.stack = reinterpret_cast<std::uintptr_t>(stack);
    args.stack_size = sizeof stack;
    plan.handlers_cleared = true;
    const long r = clone3_vfork(&args, &plan);
    if (r == -ENOSYS || r == -EINVAL || r == -EPERM) {
      clone3_works.store(false, std::memory_order_relaxed);  // an older kernel, or a filter
      plan.handlers_cleared = false;
    } else {
      started = true;
      pid = r < 0 ? -1 : static_cast<pid_t>(r);
      errno = r < 0 ? static_cast<int>(-r) : 0;
      *pidfd = r > 0 ? fd : -1;
    }
  }
#endif
  if (!started) {
    pid = vfork();
    if (pid == 0) {
      become_program(plan);
    }
  }
  const int e = errno;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = e;
  return pid;
}

// Read by every program that is given no input: it ends at once, as an empty pipe would.
int null_input() {
  static const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  return fd;
}

bool readable_now(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

int open_pidfd(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// Without a pidfd (kernels before 5.3), the leader's end is found by asking.
bool has_ended(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

double seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

}  // namespace

HoldOnThisCpu::HoldOnThisCpu() {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2) {
    return;
  }
  const int cpu = sched_getcpu();
  if (cpu < 0 || cpu >= CPU_SETSIZE) {
    return;
  }
  cpu_set_t here;
  CPU_ZERO(&here);
  CPU_SET(cpu, &here);
  if (sched_setaffinity(0, sizeof here, &here) == 0) {
    allowed_ = allowed;
  }
}

HoldOnThisCpu::~HoldOnThisCpu() {
  if (allowed_) {
    sched_setaffinity(0, sizeof *allowed_, &*allowed_);
  }
}

bool is_openmp_variable(std::string_view name) {
  for (const std::string_view prefix : {"OMP_", "GOMP_", "KMP_", "LIBOMP_"}) {
    if (name.substr(0, prefix.size()) == prefix) {
      return true;
    }
  }
  return false;
}

std::string RunResult::describe() const {
  if (!started) {
    return stopped ? "not started: stopped before it began" : "not started: " + error;
  }
  if (timed_out || stopped) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s after %.3g s", timed_out ? "timed out" : "stopped",
                  wall_seconds);
    return buf;
  }
  if (exited) {
    return "exit " + std::to_string(exit_status);
  }
  return "killed by signal " + std::to_string(term_signal) + " (" + strsignal(term_signal) + ")";
}

Command::Command(const std::string& path, const RunOptions& options) {
  strings_.reserve(1 + options.args.size() + options.env.size() + 64);
  strings_.push_back(path);
  strings_.insert(strings_.end(), options.args.begin(), options.args.end());
  argc_ = strings_.size();
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const std::string_view name = entry.substr(0, entry.find('='));
    if ((options.clean_omp_env && is_openmp_variable(name)) ||
        options.env.find(std::string(name)) != options.env.end()) {
      continue;
    }
    strings_.emplace_back(entry);
  }
  for (const auto& [name, value] : options.env) {
    if (value) {
      strings_.push_back(name + "=" + *value);
    }
  }
  point();
}

Command::Command(Command&& other) noexcept
    : strings_(std::move(other.strings_)), argc_(other.argc_) {
  point();
}

Command& Command::operator=(Command&& other) noexcept {
  strings_ = std::move(other.strings_);
  argc_ = other.argc_;
  point();
  return *this;
}

void Command::point() {
  argv_.clear();
  envp_.clear();
  for (std::size_t i = 0; i < strings_.size(); ++i) {
    (i < argc_ ? argv_ : envp_).push_back(strings_[i].data());
  }
  argv_.push_back(nullptr);
  envp_.push_back(nullptr);
}

bool OutputPipes::ready() {
  if (out_[0] >= 0) {
    // A program may have changed the flags of the write ends, which it shares with us.
    auto as_made = [](int fd) {
      const int flags = fcntl(fd, F_GETFL);
      return flags >= 0 && (flags & (O_NONBLOCK | O_APPEND | O_ASYNC | O_DIRECT)) == 0;
    };
    if (as_made(out_[1]) && as_made(err_[1])) {
      return true;
    }
    discard();
  }
  if (pipe2(out_, O_CLOEXEC) != 0) {
    return false;
  }
  // Only our read ends wait for nothing: the program's writes block as on any pipe.
  if (pipe2(err_, O_CLOEXEC) != 0 || fcntl(out_[0], F_SETFL, O_NONBLOCK) != 0 ||
      fcntl(err_[0], F_SETFL, O_NONBLOCK) != 0) {
    discard();
    return false;
  }
  return true;
}

void OutputPipes::discard() {
  for (int* p : {out_, err_}) {
    for (int i = 0; i < 2; ++i) {
      if (p[i] >= 0) {
        close(p[i]);
        p[i] = -1;
      }
    }
  }
}

void OutputPipes::hand_over(int out[2], int err[2]) {
  for (int i = 0; i < 2; ++i) {
    out[i] = std::exchange(out_[i], -1);
    err[i] = std::exchange(err_[i], -1);
  }
}

RunResult run_program(const std::string& path, const RunOptions& options) {
  return run_program(Command(path, options), options);
}

RunResult run_program(const Command& command, const RunOptions& options) {
  RunResult result;
  if (options.stop_fd >= 0 && readable_now(options.stop_fd)) {
    result.stopped = true;
    result.error = "stopped before it began";
    return result;
  }
  const std::string& path = command.path();
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  int in_pipe[2] = {-1, -1};
  int pidfd = -1;
  auto close_fd = [](int& fd) {
    if (fd >= 0) {
      close(fd);
      fd = -1;
    }
  };
  auto close_all = [&] {
    for (int* p : {out_pipe, err_pipe, in_pipe}) {
      close_fd(p[0]);
      close_fd(p[1]);
    }
    close_fd(pidfd);
  };
  // No input: /dev/null, opened once, rather than a pipe of our own per run.
  const int null_in = options.stdin_data.empty() ? null_input() : -1;
  // The caller's pipes, written by the child through the write ends that they keep: these are
  // never closed here (out_pipe[1] and err_pipe[1] stay -1).
  OutputPipes* kept = options.pipes != nullptr && options.stdout_mode == StdoutMode::kCapture &&
                              options.pipes->ready()
                          ? options.pipes
                          : nullptr;
  if (kept != nullptr) {
    out_pipe[0] = kept->out_read();
    err_pipe[0] = kept->err_read();
  }
  if ((kept == nullptr && (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)) ||
      (null_in < 0 && pipe2(in_pipe, O_CLOEXEC) != 0)) {
    if (kept != nullptr) {
      out_pipe[0] = err_pipe[0] = -1;
    }
    result.error = std::string("pipe: ") + std::strerror(errno);
    close_all();
    return result;
  }
  if (options.stdout_mode == StdoutMode::kClosedPipe) {
    close_fd(out_pipe[0]);  // nobody will ever read: writes raise SIGPIPE or fail with EPIPE
  }

  int child_error = 0;
  ChildPlan plan{path.c_str(),
                 command.argv(),
                 command.envp(),
                 null_in >= 0 ? null_in : in_pipe[0],
                 options.stdout_mode == StdoutMode::kDevFull ? -1
                 : kept != nullptr                           ? kept->out_write()
                                                             : out_pipe[1],
                 kept != nullptr ? kept->err_write() : err_pipe[1],
                 &options,
                 getpid(),
                 options.cpus ? &*options.cpus : nullptr,
                 &child_error};

  // Opened on this thread before the child exists, so that the child inherits them.
  std::optional<EventGroup> own_events;
  EventGroup* events = nullptr;
  if (options.count_events) {
    if (options.events != nullptr) {
      events = options.events;
    } else if (options.event_source != nullptr) {
      events = &own_events.emplace(*options.event_source, probe_events(*options.event_source));
    } else {
      events = &own_events.emplace(kernel_events(), event_support());
    }
  }
  // Our own peak, which the kernel carries over into the child's (see Counters::max_rss_own).
  rusage self{};
  getrusage(RUSAGE_SELF, &self);

  const auto start = Clock::now();
  const pid_t pid = start_child(plan, &pidfd);
  const int spawn_errno = errno;
  close_fd(out_pipe[1]);
  close_fd(err_pipe[1]);
  close_fd(in_pipe[0]);
  // Not ours to close: the caller's pipes (unless handed over below).
  auto forget_kept = [&] {
    if (kept != nullptr) {
      out_pipe[0] = err_pipe[0] = -1;
    }
  };
  if (pid < 0 || child_error != 0) {
    if (pid > 0) {
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    result.error = path + ": " + std::strerror(pid < 0 ? spawn_errno : child_error);
    forget_kept();
    close_all();
    return result;
  }
  result.started = true;
  if (pidfd < 0) {
    pidfd = open_pidfd(pid);
  }
  // Without a pidfd the end of the run is the pipes' closing: ours for this run alone, then.
  auto hand_over = [&] {
    kept->hand_over(out_pipe, err_pipe);
    close_fd(out_pipe[1]);
    close_fd(err_pipe[1]);
    kept = nullptr;
  };
  if (kept != nullptr && pidfd < 0) {
    hand_over();
  }

  // Feed standard input (usually nothing) and drain both outputs, until the program has ended
  // and its outputs are closed.
  std::size_t in_written = 0;
  if (options.stdin_data.empty()) {
    close_fd(in_pipe[1]);
  } else {
    fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
  }
  auto after = [](Clock::time_point t, double s) {  // bounded: no overflow, NaN is 0
    s = s > 0 ? std::min(s, 1e9) : 0.0;
    return t + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
  };
  const auto deadline = after(start, options.timeout_seconds);
  int stop_fd = options.stop_fd;
  bool ending = false;       // SIGTERM sent to the group
  bool killed = false;       // SIGKILL sent to the group
  bool leader_gone = false;  // the program itself has ended (not yet reaped)
  Clock::time_point kill_at{}, give_up_at{};
  // The leader is signalled by pid as well, in case it could not make its own group.
  auto end_group = [&] {
    ending = true;
    kill(-pid, SIGTERM);
    kill(pid, SIGTERM);
    kill_at = after(Clock::now(), options.kill_grace_seconds);
  };
  auto kill_group = [&] {
    killed = true;
    kill(-pid, SIGKILL);
    if (!leader_gone) {
      kill(pid, SIGKILL);
    }
  };
  // Whatever the leader left behind in its group ends with it.
  auto leader_ended = [&](Clock::time_point now) {
    leader_gone = true;
    kill_group();
    give_up_at = after(now, options.kill_grace_seconds);
  };
  char buffer[65536];
  auto keep = [&](std::string& sink, ssize_t got) {
    auto kept_bytes = static_cast<std::size_t>(got);
    if (options.max_output_bytes != 0 && sink.size() + kept_bytes > options.max_output_bytes) {
      kept_bytes = options.max_output_bytes - std::min(sink.size(), options.max_output_bytes);
      result.output_cut = true;
    }
    sink.append(buffer, kept_bytes);
  };
  // Reaped as soon as it ends when the pipes are kept: whether anything is left in its group
  // decides whether they can serve the next run.
  int status = 0;
  rusage usage{};
  bool reaped = false;
  bool leftovers = false;
  auto reap = [&] {
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.wall_seconds = std::chrono::duration<double>(Clock::now() - start).count();
    reaped = true;
    // The group's number is the leader's, still ours until it is reaped: asked after, it
    // names no group or, at worst, another one, which only costs new pipes and events.
    leftovers = kill(-pid, 0) == 0;
  };
  for (;;) {
    const auto now = Clock::now();
    if (!leader_gone && pidfd < 0 && has_ended(pid)) {
      leader_ended(now);
    }
    if (leader_gone && kept != nullptr) {
      reap();
      if (leftovers) {
        hand_over();  // wait for the pipes to close, as for pipes of its own
      } else {
        // Nothing can write any more: what the pipes hold is the rest of the output.
        const std::pair<int, std::string*> streams[] = {{out_pipe[0], &result.out},
                                                        {err_pipe[0], &result.err}};
        for (const auto& [fd, sink] : streams) {
          const std::size_t before = sink->size();
          ssize_t got;
          while ((got = read(fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
            if (got > 0) {
              keep(*sink, got);
            }
          }
          if (sink == &result.err && options.on_stderr && result.err.size() > before) {
            options.on_stderr(std::string_view(result.err).substr(before));
          }
        }
        break;
      }
    }
    if (leader_gone) {
      close_fd(in_pipe[1]);
      // Only processes that left the group can still hold the outputs: stop waiting for them.
      if ((out_pipe[0] < 0 && err_pipe[0] < 0) || now >= give_up_at) {
        break;
      }
    } else if (!ending && options.timeout_seconds > 0 && now >= deadline) {
      result.timed_out = true;
      end_group();
    } else if (ending && !killed && now >= kill_at) {
      kill_group();
    }

    pollfd fds[5];
    int n = 0;
    int out_index = -1, err_index = -1, in_index = -1, pid_index = -1, stop_index = -1;
    if (out_pipe[0] >= 0) {
      out_index = n;
      fds[n++] = {out_pipe[0], POLLIN, 0};
    }
    if (err_pipe[0] >= 0) {
      err_index = n;
      fds[n++] = {err_pipe[0], POLLIN, 0};
    }
    if (in_pipe[1] >= 0) {
      in_index = n;
      fds[n++] = {in_pipe[1], POLLOUT, 0};
    }
    if (pidfd >= 0 && !leader_gone) {
      pid_index = n;
      fds[n++] = {pidfd, POLLIN, 0};
    }
    if (stop_fd >= 0 && !ending && !leader_gone) {
      stop_index = n;
      fds[n++] = {stop_fd, POLLIN, 0};
    }
    // Wake up at the next deadline that matters.
    std::optional<Clock::time_point> wake;
    if (leader_gone) {
      wake = give_up_at;
    } else if (ending && !killed) {
      wake = kill_at;
    } else if (!ending && options.timeout_seconds > 0) {
      wake = deadline;
    }
    int wait_ms = -1;
    if (wake) {
      const long long left = std::chrono::ceil<std::chrono::milliseconds>(*wake - now).count();
      wait_ms = static_cast<int>(std::clamp<long long>(left, 0, 60000));
    }
    if (pidfd < 0 && !leader_gone && (wait_ms < 0 || wait_ms > 20)) {
      wait_ms = 20;
    }
    const int ready = poll(fds, static_cast<nfds_t>(n), wait_ms);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    if (ready == 0) {
      continue;  // a deadline: handled above
    }
    if (stop_index >= 0 && fds[stop_index].revents != 0) {
      if ((fds[stop_index].revents & POLLIN) != 0) {
        result.stopped = true;
        end_group();
      } else {
        stop_fd = -1;  // write end closed, or not a descriptor: nothing will ever come
      }
    }
    if (pid_index >= 0 && fds[pid_index].revents != 0) {
      leader_ended(Clock::now());
    }
    auto drain = [&](int index, int& fd, std::string& sink) {
      if (index < 0 || (fds[index].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        return;
      }
      // Every writer gone: what is left can be read to its end without waiting.
      const bool hung_up = (fds[index].revents & POLLHUP) != 0;
      for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
          keep(sink, got);
          if (hung_up) {
            continue;
          }
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
          close_fd(fd);
        }
        return;
      }
    };
    drain(out_index, out_pipe[0], result.out);
    const std::size_t err_before = result.err.size();
    drain(err_index, err_pipe[0], result.err);
    if (options.on_stderr && result.err.size() > err_before) {
      options.on_stderr(std::string_view(result.err).substr(err_before));
    }
    if (in_index >= 0 && in_pipe[1] >= 0 && fds[in_index].revents != 0) {
      const ssize_t put = write(in_pipe[1], options.stdin_data.data() + in_written,
                                options.stdin_data.size() - in_written);
      if (put > 0) {
        in_written += static_cast<std::size_t>(put);
      }
      if (put < 0 || in_written == options.stdin_data.size()) {
        close_fd(in_pipe[1]);
      }
    }
  }
  if (!leader_gone) {
    kill_group();  // poll failed: never leave the program behind
  }
  if (!reaped) {
    reap();
  }
  if (kept != nullptr && !leader_gone) {
    kept->discard();  // poll failed: whatever they hold is of no run
  }
  forget_kept();
  close_all();
  if (WIFEXITED(status)) {
    result.exited = !result.timed_out && !result.stopped;
    result.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.term_signal = WTERMSIG(status);
  }
  Counters& c = result.counters;
  c.user_seconds = seconds(usage.ru_utime);
  c.system_seconds = seconds(usage.ru_stime);
  c.minor_faults = usage.ru_minflt;
  c.major_faults = usage.ru_majflt;
  c.voluntary_switches = usage.ru_nvcsw;
  c.involuntary_switches = usage.ru_nivcsw;
  c.max_rss_kib = usage.ru_maxrss;
  c.max_rss_own = usage.ru_maxrss > self.ru_maxrss;
  if (events != nullptr) {
    // The program and its threads have added their counts by the time it is reaped. Anything
    // still in its group (killed above, not yet ended) would add its own later: the events the
    // caller keeps are then opened again, so that the next run does not get them.
    events->collect(c);
    if (leftovers && events == options.events) {
      events->renew();
    }
  }
  return result;
}

}  // namespace ks
