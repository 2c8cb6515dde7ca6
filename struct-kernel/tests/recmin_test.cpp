// The record-array kernels, run as built: whole seven-line reports with only the time field
// matched by its format, with and without (ignored) arguments.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/program_test.h"

namespace {

using ks::test::ExitedWith;
using ks::test::MatchesPrintf;
using ks::test::run;

// R[k] from the sums' closed forms: with s[i].a = s[i].b = i, S1 = 24995000 + 5000 k and
// S2 = 37492500 - 5000 k; with every field zero, S1 = 5000 k and S2 = -5000 k.
std::int32_t expected_R(bool filled, std::int32_t k) {
  const std::int64_t S1 = (filled ? 24995000 : 0) + 5000LL * k;
  const std::int64_t S2 = (filled ? 37492500 : 0) - 5000LL * k;
  return static_cast<std::int32_t>(S1 < S2 ? S1 : S2);
}

std::string expected_report(bool filled) {
  return "Tiempo (seg): {%f}\n\n__________\nResultados:\n\nVector R: \nR[0]=" +
         std::to_string(expected_R(filled, 0)) +
         " R[39999]=" + std::to_string(expected_R(filled, 39999)) + "\n";
}

TEST(Recmin, ClosedFormsGiveTheDocumentedElements) {
  const struct {
    bool filled;
    std::int32_t k;
    std::int32_t R;
  } cases[] = {
      {true, 0, 24995000},
      {true, 1, 25000000},
      {true, 1249, 31240000},
      {true, 1250, 31242500},
      {true, 39998, -162497500},
      {true, 39999, -162502500},
      {false, 0, 0},
      {false, 1, -5000},
      {false, 39998, -199990000},
      {false, 39999, -199995000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(expected_R(c.filled, c.k), c.R) << c.filled << " k=" << c.k;
  }
}

TEST(Recmin, EveryVariantPrintsItsWholeReportWhateverTheArguments) {
  const struct {
    std::string program;
    bool filled;
  } programs[] = {{"recmin-base", true}, {"recmin-fused", true}, {"recmin-unroll4", false}};
  const std::vector<std::vector<std::string>> argument_lists = {
      {}, {"5"}, {"abc", "-1"}, {"100000", "7", "x"}};
  for (const auto& p : programs) {
    for (const auto& args : argument_lists) {
      SCOPED_TRACE(p.program + " with " + std::to_string(args.size()) + " arguments");
      const ks::RunResult r = run(p.program, args);
      EXPECT_TRUE(ExitedWith(r, 0));
      EXPECT_TRUE(MatchesPrintf(r.out, expected_report(p.filled)));
      EXPECT_EQ(r.err, "");
    }
  }
  EXPECT_EQ(expected_report(false),
            "Tiempo (seg): {%f}\n\n__________\nResultados:\n\nVector R: \n"
            "R[0]=0 R[39999]=-199995000\n");
}

TEST(Recmin, AReportThatCannotBeWrittenIsAFailure) {
  for (const auto mode : {ks::StdoutMode::kDevFull, ks::StdoutMode::kClosedPipe}) {
    for (const std::string program : {"recmin-base", "recmin-fused", "recmin-unroll4"}) {
      SCOPED_TRACE(program);
      ks::RunOptions options;
      options.stdout_mode = mode;
      const ks::RunResult r = run(program, {}, 0, options);
      EXPECT_TRUE(ExitedWith(r, 1));
      EXPECT_EQ(ks::test::lines(r.err).size(), 1u) << r.err;
      EXPECT_EQ(r.err.rfind(program + ": ", 0), 0u) << r.err;
    }
  }
}

}  // namespace
