// Output that cannot be delivered: the check every program and the driver make as they end,
// with its prefix and status; across the suite, a closed pipe ends a program at once, even one
// with billions of lines still to print, and a full device fails it at exit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/output_check.h"
#include "tests/support/program_test.h"

namespace {

enum class Unwritable { kFullDevice, kClosedPipe, kFullDeviceUnbuffered };

// Points this process's standard output somewhere that cannot take it.
void make_stdout_unwritable(Unwritable how) {
  std::fflush(stdout);
  int fd = -1;
  if (how == Unwritable::kClosedPipe) {
    int ends[2];
    if (pipe(ends) != 0) {
      std::abort();
    }
    close(ends[0]);
    fd = ends[1];
  } else {
    fd = open("/dev/full", O_WRONLY);
  }
  if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) {
    std::abort();
  }
  std::setvbuf(stdout, nullptr, how == Unwritable::kFullDeviceUnbuffered ? _IONBF : _IOFBF, BUFSIZ);
}

TEST(OutputCheck, AFailedWriteEndsWithThePrefixTheCauseAndTheGivenStatus) {
  // The driver's wording and statuses as well as the programs'.
  struct Case {
    Unwritable how;
    const char* prefix;
    const char* unknown_cause;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {Unwritable::kFullDevice, "kernelscope: cannot write standard output", "write error", 1,
       "kernelscope: cannot write standard output: No space left on device\n"},
      {Unwritable::kFullDevice, "p: no se pudo escribir la salida estándar", "error de escritura",
       254, "p: no se pudo escribir la salida estándar: No space left on device\n"},
      // Nothing left to flush, but an earlier write failed: the error flag tells, errno not.
      {Unwritable::kFullDeviceUnbuffered, "kernelscope: cannot write standard output",
       "write error", 2, "kernelscope: cannot write standard output: write error\n"},
      {Unwritable::kFullDeviceUnbuffered, "p", "error de escritura", 255,
       "p: error de escritura\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EXIT(
        {
          make_stdout_unwritable(c.how);
          std::fputs("informe\n", stdout);
          ks::report_output_errors(c.prefix, c.unknown_cause, c.status);
          std::_Exit(100);
        },
        ::testing::ExitedWithCode(c.status), "^" + c.message + "$");
  }
  // Output that was written is no failure: the check returns.
  EXPECT_EXIT(
      {
        std::fputs("informe\n", stdout);
        ks::report_output_errors("p", "error de escritura", 7);
        std::_Exit(100);
      },
      ::testing::ExitedWithCode(100), "^$");
}

TEST(OutputCheck, AProgramKeepsItsOwnFailureStatusAndFailsAnOtherwiseGoodRun) {
  // The value given to exit, and the status the process must end with when its report cannot
  // be written: a usage error (-1) and an allocation failure (-2) stay what they are.
  struct Case {
    int exit_value;
    int status;
  };
  const Case cases[] = {{0, 1}, {-1, 255}, {-2, 254}, {3, 3}, {256, 1}};
  const std::string name = program_invocation_short_name;
  for (const Unwritable how : {Unwritable::kFullDevice, Unwritable::kClosedPipe}) {
    const std::string cause =
        how == Unwritable::kClosedPipe ? "Broken pipe" : "No space left on device";
    for (const auto& c : cases) {
      SCOPED_TRACE(cause + " exit(" + std::to_string(c.exit_value) + ")");
      EXPECT_EXIT(
          {
            ks::check_output_at_exit();
            make_stdout_unwritable(how);
            std::puts("Faltan argumentos");
            std::exit(c.exit_value);
          },
          ::testing::ExitedWithCode(c.status),
          "^" + name + ": no se pudo escribir la salida estándar: " + cause + "\n$");
    }
  }
}

TEST(Output, AClosedPipeEndsAProgramAtOnceWithOneLine) {
  // Two billion iteration lines: a program that ignored the closed pipe would run on for
  // minutes and hit the timeout.
  ks::RunOptions options;
  options.stdout_mode = ks::StdoutMode::kClosedPipe;
  options.timeout_seconds = 30;
  const ks::RunResult r = ks::test::run("iter-owner", {"2000000000"}, 2, options);
  EXPECT_TRUE(ks::test::ExitedWith(r, 1));
  EXPECT_EQ(r.err, "iter-owner: no se pudo escribir la salida estándar: Broken pipe\n");
}

TEST(Output, AFullDeviceFailsTheRunWithOneLine) {
  struct Case {
    std::string program;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"plus-static", {"3"}}, {"mprod-heap", {"2"}}, {"yupd-o2", {"8"}},
      {"recmin-base", {}},    {"greet-team", {}},    {"chunk-guided", {"20", "2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    ks::RunOptions options;
    options.stdout_mode = ks::StdoutMode::kDevFull;
    const ks::RunResult r = ks::test::run(c.program, c.args, 2, options);
    EXPECT_TRUE(ks::test::ExitedWith(r, 1));
    EXPECT_EQ(r.err,
              c.program + ": no se pudo escribir la salida estándar: No space left on device\n");
  }
}

}  // namespace
