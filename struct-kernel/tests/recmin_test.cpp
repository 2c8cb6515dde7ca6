// The record-array kernels, run as built: whole seven-line reports with only the time field
// matched by its format, with and without (ignored) arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/program_test.h"

namespace {

using ks::test::ExitedWith;
using ks::test::MatchesPrintf;
using ks::test::run;

const std::string kHead = "Tiempo (seg): {%f}\n\n__________\nResultados:\n\nVector R: \n";

// R[0] and R[39999] follow from the sums' closed forms: with s[i].a = s[i].b = i,
// S1 = 24995000 + 5000 k and S2 = 37492500 - 5000 k; with every field zero (no fill),
// S1 = 5000 k and S2 = -5000 k.
const struct {
  std::string program;
  std::string last_line;
} kPrograms[] = {
    {"recmin-base", "R[0]=24995000 R[39999]=-162502500\n"},
    {"recmin-fused", "R[0]=24995000 R[39999]=-162502500\n"},
    {"recmin-unroll4", "R[0]=0 R[39999]=-199995000\n"},
};

TEST(Recmin, EveryVariantPrintsItsWholeReportWhateverTheArguments) {
  const std::vector<std::vector<std::string>> argument_lists = {
      {}, {"5"}, {"abc", "-1"}, {"100000", "7", "x"}};
  for (const auto& p : kPrograms) {
    for (const auto& args : argument_lists) {
      SCOPED_TRACE(p.program + " with " + std::to_string(args.size()) + " arguments");
      const ks::RunResult r = run(p.program, args);
      EXPECT_TRUE(ExitedWith(r, 0));
      EXPECT_TRUE(MatchesPrintf(r.out, kHead + p.last_line));
      EXPECT_EQ(r.err, "");
    }
  }
}

TEST(Recmin, AReportThatCannotBeWrittenIsAFailure) {
  for (const auto mode : {ks::StdoutMode::kDevFull, ks::StdoutMode::kClosedPipe}) {
    for (const auto& p : kPrograms) {
      SCOPED_TRACE(p.program);
      ks::RunOptions options;
      options.stdout_mode = mode;
      const ks::RunResult r = run(p.program, {}, 0, options);
      EXPECT_TRUE(ExitedWith(r, 1));
      EXPECT_EQ(ks::test::lines(r.err).size(), 1u) << r.err;
      EXPECT_EQ(r.err.rfind(p.program + ": ", 0), 0u) << r.err;
    }
  }
}

}  // namespace
