// The least a runner can do to start a program RUNS times, one after another: vfork, exec with
// both outputs on /dev/null, wait. No output is read, nothing is counted, checked or stored.
// overhead.sh builds it and times it beside the real runners, as the floor of this machine
// (the kernel's process creation, exec and exit, and the program's own start) that no runner
// goes below.
//
//   bare_runs RUNS PROGRAM [ARG...]
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: bare_runs RUNS PROGRAM [ARG...]\n", stderr);
    return 2;
  }
  const long runs = std::strtol(argv[1], nullptr, 10);
  const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (runs <= 0 || null_fd < 0) {
    std::fputs("bare_runs: RUNS must be above 0 and /dev/null must open\n", stderr);
    return 2;
  }
  for (long r = 0; r < runs; ++r) {
    const pid_t pid = vfork();
    if (pid == 0) {
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
      execv(argv[2], argv + 2);
      _exit(127);
    }
    if (pid < 0) {
      std::perror("bare_runs: vfork");
      return 1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "bare_runs: run %ld of %s failed\n", r + 1, argv[2]);
      return 1;
    }
  }
  return 0;
}
