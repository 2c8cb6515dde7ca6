// Output that cannot be delivered, across the suite: a closed pipe ends a program at once,
// even one with billions of lines still to print; a full device fails it at exit.
#include <gtest/gtest.h>

#include "tests/support/program_test.h"

namespace {

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
