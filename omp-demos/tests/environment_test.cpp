// Every demonstration under OpenMP environments that a runtime cannot use as given, and with
// a report that cannot be written.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "omp-demos/tests/demo_checks.h"
#include "tests/support/program_test.h"

namespace {

using demos::test::all_demos;
using demos::test::run_demo;
using demos::test::team_size;

TEST(DemoEnvironment, BadTeamSizesFallBackToTheDefaultTeam) {
  // Under any runtime, a team size that is not a list of positive integers is ignored with one
  // warning line and the default team runs; a valid one is honoured silently, 64 even on a
  // machine with fewer cores, and the first of a list sizes the team. Each program must print
  // what its rules give for the team it actually got, and end normally.
  const int default_team = team_size({});
  ASSERT_GE(default_team, 1);
  const struct {
    std::string value;
    int team;
    bool warned;
  } values[] = {
      {"0", default_team, true},  {"abc", default_team, true},         {"-3", default_team, true},
      {"", default_team, true},   {"2,x", default_team, true},         {"+2", default_team, true},
      {"3,", default_team, true}, {"99999999999", default_team, true}, {"64", 64, false},
      {"3,2", 3, false},
  };
  for (const auto& [value, expected_team, warned] : values) {
    ks::RunOptions options;
    options.env["OMP_NUM_THREADS"] = value;
    const int T = team_size(options);
    EXPECT_EQ(T, expected_team) << "OMP_NUM_THREADS=" << value;
    ASSERT_GE(T, 1);
    for (const auto& demo : all_demos()) {
      SCOPED_TRACE(demo.program + " OMP_NUM_THREADS=" + value);
      const ks::RunResult r = run_demo(demo.program, demo.args, 0, options);
      ASSERT_FALSE(r.timed_out) << "hung: the remaining cases are skipped";
      demo.check(r, T);
      if (warned) {
        EXPECT_TRUE(ks::test::WarnedOnceAbout(r, "OMP_NUM_THREADS"));
      } else {
        EXPECT_EQ(r.err, "");
      }
    }
  }
}

TEST(DemoEnvironment, RunTimeSchedulesDoNotReachTheFixedLoops) {
  const std::vector<std::string> schedules = {"garbage", "dynamic,0", "dynamic,-1", "guided,-5",
                                              "static,2147483647"};
  for (const std::string& schedule : schedules) {
    for (int T : {1, 3, 4}) {
      ks::RunOptions options;
      options.env["OMP_SCHEDULE"] = schedule;
      for (const auto& demo : all_demos()) {
        SCOPED_TRACE(demo.program + " OMP_SCHEDULE=" + schedule + " threads=" + std::to_string(T));
        const ks::RunResult r = run_demo(demo.program, demo.args, T, options);
        ASSERT_FALSE(r.timed_out) << "hung: the remaining cases are skipped";
        demo.check(r, T);
      }
    }
  }
}

TEST(DemoEnvironment, AReportThatCannotBeWrittenIsAFailure) {
  for (const auto mode : {ks::StdoutMode::kDevFull, ks::StdoutMode::kClosedPipe}) {
    for (const auto& demo : all_demos()) {
      SCOPED_TRACE(demo.program);
      ks::RunOptions options;
      options.stdout_mode = mode;
      const ks::RunResult r = run_demo(demo.program, demo.args, 2, options);
      EXPECT_TRUE(ks::test::ExitedWith(r, 1));
      EXPECT_EQ(ks::test::lines(r.err).size(), 1u) << r.err;
      EXPECT_NE(r.err.find(demo.program + ": "), std::string::npos) << r.err;
    }
  }
}

}  // namespace
