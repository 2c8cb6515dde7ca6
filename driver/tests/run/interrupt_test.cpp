// Signals that arrive together are one interruption, even once the runs have stopped and the
// command is writing its files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "driver/run/interrupt.h"

namespace {

// Runs `body` in a child process and gives its wait status.
template <typename Body>
int in_child(Body body) {
  const pid_t pid = fork();
  if (pid == 0) {
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST(Interruption, ASecondSignalOfTheSameBurstAfterTheRunsStoppedIsIgnored) {
  const int status = in_child([] {
    {
      const ks::driver::Interruption interruption;
      std::raise(SIGINT);
      if (interruption.signal() != SIGINT) {
        return 3;
      }
    }                    // the runs are over; the command goes on to write its files
    std::raise(SIGINT);  // the group's copy of the same signal, a moment later
    return 0;            // still here: it was part of the first interruption
  });
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Interruption, WithoutASignalTheCallersHandlersComeBack) {
  const int status = in_child([] {
    { const ks::driver::Interruption interruption; }
    std::raise(SIGINT);  // the default action again: the process ends
    return 0;
  });
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGINT);
}

}  // namespace
