// greet-team and iter-owner: every thread greets once in each region, the regions in order;
// each thread runs exactly its static block of the loop.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "omp-demos/tests/demo_checks.h"
#include "tests/support/program_test.h"

namespace {

using demos::test::run_demo;
using ks::test::ExitedWith;
using ks::test::kTeamSizes;

TEST(GreetTeam, EveryThreadGreetsOnceInEachRegionAndTheRegionsDoNotOverlap) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"5", "abc"}}) {
    for (int T : kTeamSizes) {
      SCOPED_TRACE("threads=" + std::to_string(T) + " args=" + std::to_string(args.size()));
      const ks::RunResult r = run_demo("greet-team", args, T);
      ASSERT_FALSE(r.timed_out) << "hung: the remaining cases are skipped";
      demos::test::expect_greet_team(r, T);
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(r.out.size(), 22u * T) << "no newline anywhere";
    }
  }
  EXPECT_EQ(run_demo("greet-team", {}, 1).out, "(0:!Hello!)(0:!world!)");
}

TEST(IterOwner, EveryThreadRunsExactlyItsStaticBlockInOrder) {
  struct Case {
    std::vector<std::string> args;
    std::int64_t n;
  };
  const Case cases[] = {
      {{"0"}, 0},     {{"-5"}, 0},  {{"abc"}, 0},         {{"-2147483648"}, 0},
      {{"1"}, 1},     {{"2"}, 2},   {{"3"}, 3},           {{"5"}, 5},
      {{"7x"}, 7},    {{"10"}, 10}, {{"4294967309"}, 13}, {{"  +16", "99"}, 16},
      {{"100"}, 100},
  };
  for (const Case& c : cases) {
    for (int T : kTeamSizes) {
      SCOPED_TRACE("iter-owner " + c.args[0] + " threads=" + std::to_string(T));
      const ks::RunResult r = run_demo("iter-owner", c.args, T);
      ASSERT_FALSE(r.timed_out) << "hung: the remaining cases are skipped";
      demos::test::expect_iter_owner(r, c.n, T);
      EXPECT_EQ(r.err, "");
    }
  }
  // The documented lines of one thread, word for word.
  const ks::RunResult r = run_demo("iter-owner", {"5"}, 2);
  std::vector<std::string> thread1;
  for (const std::string& line : ks::test::lines(r.out)) {
    if (line.rfind("thread 1 ", 0) == 0) {
      thread1.push_back(line);
    }
  }
  EXPECT_EQ(thread1, (std::vector<std::string>{"thread 1 ejecuta la iteración 3 del bucle",
                                               "thread 1 ejecuta la iteración 4 del bucle"}));
}

TEST(IterOwner, MissingArgumentIsAUsageError) {
  // Standard output plays no part: the status stays 255 when it cannot be written.
  for (int T : {1, 4}) {
    for (const auto mode :
         {ks::StdoutMode::kCapture, ks::StdoutMode::kDevFull, ks::StdoutMode::kClosedPipe}) {
      SCOPED_TRACE("threads=" + std::to_string(T) +
                   " stdout mode=" + std::to_string(static_cast<int>(mode)));
      ks::RunOptions options;
      options.stdout_mode = mode;
      const ks::RunResult r = run_demo("iter-owner", {}, T, options);
      ASSERT_FALSE(r.timed_out) << "hung: the remaining cases are skipped";
      EXPECT_TRUE(ExitedWith(r, 255));
      EXPECT_EQ(r.err, "\n[ERROR] - Falta no iteraciones \n");
      EXPECT_EQ(r.out, "");
    }
  }
}

}  // namespace
