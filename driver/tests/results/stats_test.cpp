// Statistics of repeated measurements.
#include <gtest/gtest.h>

#include <cmath>

#include "driver/results/stats.h"

namespace {

TEST(Stats, MedianMeanSpreadOfMeasurements) {
  struct Case {
    std::vector<double> values;
    double min, median, mean, max, stddev;
  };
  const Case cases[] = {
      {{3}, 3, 3, 3, 3, 0},
      {{4, 1, 3, 2}, 1, 2.5, 2.5, 4, std::sqrt(5.0 / 3)},
      {{5, 1, 9}, 1, 5, 5, 9, 4},
      {{2, NAN, 2}, 2, 2, 2, 2, 0},  // unmeasured runs do not count
  };
  for (const Case& c : cases) {
    const ks::driver::Stats s = ks::driver::summarize(c.values);
    EXPECT_DOUBLE_EQ(s.min, c.min);
    EXPECT_DOUBLE_EQ(s.median, c.median);
    EXPECT_DOUBLE_EQ(s.mean, c.mean);
    EXPECT_DOUBLE_EQ(s.max, c.max);
    EXPECT_NEAR(s.stddev, c.stddev, 1e-12);
  }
  EXPECT_EQ(ks::driver::summarize({}).count, 0u);
  EXPECT_EQ(ks::driver::summarize({NAN}).count, 0u);
}

}  // namespace
