#include "spawn/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace ks {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> child_environment(const RunOptions& options) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    if (options.clean_omp_env && is_openmp_variable(name)) {
      continue;
    }
    if (options.env.count(name) != 0) {
      continue;
    }
    env.push_back(std::move(entry));
  }
  for (const auto& [name, value] : options.env) {
    if (value) {
      env.push_back(name + "=" + *value);
    }
  }
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  result.reserve(strings.size() + 1);
  for (auto& s : strings) {
    result.push_back(s.data());
  }
  result.push_back(nullptr);
  return result;
}

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

bool wants_limits(const RunOptions& options) {
  return options.address_space_limit || options.stack_limit || options.stack_hard_limit;
}

// posix_spawn has no way to set resource limits, so a run that needs them forks and sets them
// in the child. Only async-signal-safe calls happen between fork and exec.
int fork_with_limits(pid_t& pid, const std::string& path, int in_fd, int out_fd, int err_fd,
                     StdoutMode mode, const RunOptions& options, char* const argv[],
                     char* const envp[]) {
  int status_pipe[2];
  if (pipe2(status_pipe, O_CLOEXEC) != 0) {
    return errno;
  }
  pid = fork();
  if (pid < 0) {
    const int e = errno;
    close(status_pipe[0]);
    close(status_pipe[1]);
    return e;
  }
  if (pid == 0) {
    int e = 0;
    setpgid(0, 0);
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (mode == StdoutMode::kDevFull) {
      out_fd = open("/dev/full", O_WRONLY);
    }
    if (dup2(in_fd, STDIN_FILENO) < 0 || dup2(out_fd, STDOUT_FILENO) < 0 ||
        dup2(err_fd, STDERR_FILENO) < 0 || !apply_limits(options)) {
      e = errno != 0 ? errno : EINVAL;
    } else {
      execve(path.c_str(), argv, envp);
      e = errno;
    }
    // Tell the parent why the program could not be started.
    (void)!write(status_pipe[1], &e, sizeof e);
    _exit(127);
  }
  close(status_pipe[1]);
  int child_errno = 0;
  ssize_t got;
  do {
    got = read(status_pipe[0], &child_errno, sizeof child_errno);
  } while (got < 0 && errno == EINTR);
  close(status_pipe[0]);
  if (got == sizeof child_errno) {
    int ignored;
    waitpid(pid, &ignored, 0);
    return child_errno;
  }
  return 0;  // exec succeeded: the pipe closed on exec
}

}  // namespace

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
    return "not started: " + error;
  }
  if (timed_out) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "timed out after %.3g s", wall_seconds);
    return buf;
  }
  if (exited) {
    return "exit " + std::to_string(exit_status);
  }
  return "killed by signal " + std::to_string(term_signal) + " (" + strsignal(term_signal) + ")";
}

RunResult run_program(const std::string& path, const RunOptions& options) {
  RunResult result;
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  int in_pipe[2] = {-1, -1};
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
  };
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 ||
      pipe2(in_pipe, O_CLOEXEC) != 0) {
    result.error = std::string("pipe: ") + std::strerror(errno);
    close_all();
    return result;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
  switch (options.stdout_mode) {
    case StdoutMode::kCapture:
    case StdoutMode::kClosedPipe:
      posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
      break;
    case StdoutMode::kDevFull:
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/full", O_WRONLY, 0);
      break;
  }
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
  if (options.stdout_mode == StdoutMode::kClosedPipe) {
    close_fd(out_pipe[0]);  // nobody will ever read: writes raise SIGPIPE or fail with EPIPE
  }

  // The child gets its own process group, so that a timeout kills whatever it started too,
  // and the default disposition of SIGPIPE whatever the parent does with it.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  std::vector<std::string> argv_strings;
  argv_strings.push_back(path);
  argv_strings.insert(argv_strings.end(), options.args.begin(), options.args.end());
  std::vector<std::string> env_strings = child_environment(options);
  std::vector<char*> argv = pointers(argv_strings);
  std::vector<char*> envp = pointers(env_strings);

  const auto start = Clock::now();
  pid_t pid = -1;
  int rc = 0;
  if (wants_limits(options)) {
    rc = fork_with_limits(pid, path, in_pipe[0], out_pipe[1], err_pipe[1], options.stdout_mode,
                          options, argv.data(), envp.data());
  } else {
    rc = posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), envp.data());
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close_fd(out_pipe[1]);
  close_fd(err_pipe[1]);
  close_fd(in_pipe[0]);
  if (rc != 0) {
    result.error = path + ": " + std::strerror(rc);
    close_all();
    return result;
  }
  result.started = true;

  // Feed standard input (usually nothing) and drain both outputs until they close.
  std::size_t in_written = 0;
  if (options.stdin_data.empty()) {
    close_fd(in_pipe[1]);
  } else {
    fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
  }
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(options.timeout_seconds));
  char buffer[65536];
  while (out_pipe[0] >= 0 || err_pipe[0] >= 0 || in_pipe[1] >= 0) {
    pollfd fds[3];
    int n = 0;
    int out_index = -1, err_index = -1, in_index = -1;
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
    int wait_ms = -1;
    if (options.timeout_seconds > 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) {
        result.timed_out = true;
        break;
      }
      wait_ms = static_cast<int>(left.count()) + 1;
    }
    const int ready = poll(fds, static_cast<nfds_t>(n), wait_ms);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    if (ready == 0) {
      continue;  // the deadline check above ends the loop
    }
    auto drain = [&](int index, int& fd, std::string& sink) {
      if (index < 0 || (fds[index].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        return;
      }
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got > 0) {
        sink.append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        close_fd(fd);
      }
    };
    drain(out_index, out_pipe[0], result.out);
    drain(err_index, err_pipe[0], result.err);
    if (in_index >= 0 && fds[in_index].revents != 0) {
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
  if (result.timed_out) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.wall_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  close_all();
  if (WIFEXITED(status)) {
    result.exited = !result.timed_out;
    result.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.term_signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace ks
