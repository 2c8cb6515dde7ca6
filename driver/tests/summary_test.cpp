// Summaries of a sweep's runs: rates from the cost model, speedups from the baselines, noise.
#include <gtest/gtest.h>

#include <cmath>

#include "driver/summary.h"
#include "driver/tests/configs.h"

namespace {

using ks::driver::test::config;
using ks::driver::test::record;

TEST(Summary, RatesFromTheCostModelAndSpeedupsFromTheBaselines) {
  const std::vector<ks::driver::Config> configs = {
      config("plus-static", 1000000, 0),    // 0: the family's sequential baseline
      config("plus-parloop", 1000000, 1),   // 1
      config("plus-parloop", 1000000, 2),   // 2
      config("plus-quarters", 1000000, 2),  // 3: no one-thread run: against plus-static
      config("mprod-static", 20000, 0),     // 4: capped to 10000; no baseline measured
  };
  const std::vector<ks::driver::RunRecord> runs = {
      record(0, 0.004),
      record(0, 0.002),
      record(0, 99, true),  // warm-up: not counted
      record(0, 0.003),
      record(1, 0.006),
      record(2, 0.003),
      record(2, 50, false, ks::driver::Outcome::kInvalid),  // invalid: counted, not measured
      record(3, 0.001),
      record(4, 100),
  };
  const auto rows = ks::driver::summarize_runs(configs, runs);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0].runs, 3);
  EXPECT_EQ(rows[0].valid, 3);
  EXPECT_DOUBLE_EQ(rows[0].stats.median, 0.003);
  EXPECT_DOUBLE_EQ(rows[0].gb_per_s, 24e6 / 0.003 / 1e9);
  EXPECT_DOUBLE_EQ(rows[0].gops_per_s, 1e6 / 0.003 / 1e9);
  EXPECT_DOUBLE_EQ(rows[0].speedup, 1.0);
  EXPECT_DOUBLE_EQ(rows[1].speedup, 1.0);
  EXPECT_EQ(rows[2].runs, 2);
  EXPECT_EQ(rows[2].valid, 1);
  EXPECT_DOUBLE_EQ(rows[2].speedup, 2.0);  // against plus-parloop on one thread
  EXPECT_NE(rows[2].speedup_vs.find("plus-parloop"), std::string::npos);
  EXPECT_DOUBLE_EQ(rows[3].speedup, 3.0);  // against plus-static
  EXPECT_NE(rows[3].speedup_vs.find("plus-static"), std::string::npos);
  EXPECT_DOUBLE_EQ(rows[4].gops_per_s, 2e12 / 100 / 1e9);  // the capped size counts
  EXPECT_TRUE(std::isnan(rows[4].speedup));
  // 2, 3 and 4 ms: a standard deviation of a third of the median is noise; one run says none.
  EXPECT_TRUE(rows[0].noisy);
  EXPECT_FALSE(rows[2].noisy);
}

}  // namespace
