// The statistics behind the driver's confidence intervals, comparisons, outlier counts and
// resolution marks, held against published reference values (order-statistic tables, critical
// values of U, textbook examples) and against known distributions sampled with a fixed seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "driver/catalogue/catalogue.h"
#include "driver/results/inference.h"

namespace {

using ks::driver::BootstrapOptions;
using ks::driver::Change;
using ks::driver::Estimate;
using ks::driver::SplitMix64;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Draws from known distributions through the suite's own generator, so the samples are the
// same wherever the tests run.
double uniform01(SplitMix64& rng) {
  return static_cast<double>(rng.next() >> 11) * 0x1p-53;
}
double exponential(SplitMix64& rng, double median) {
  return -std::log1p(-uniform01(rng)) * median / std::log(2.0);
}
std::vector<double> exponential_sample(SplitMix64& rng, std::size_t n, double median) {
  std::vector<double> v(n);
  for (double& x : v) {
    x = exponential(rng, median);
  }
  return v;
}

// 0, 1, ..., n - 1 shuffled into a first sample of n1 values whose U is u and a second sample.
// U counts pairs (a, b) with a > b: raising the largest first-sample value past one more second-
// sample value adds 1, so u is spread over the first sample's values from the top, each gap at
// most n2 and no more than the gap of the value above it.
std::pair<std::vector<double>, std::vector<double>> samples_with_u(std::size_t n1, std::size_t n2,
                                                                   std::size_t u) {
  std::vector<std::size_t> gap(n1);  // second-sample values below each first-sample value
  std::size_t cap = n2;
  for (std::size_t i = n1; i-- > 0;) {
    gap[i] = std::min(u, cap);
    u -= gap[i];
    cap = gap[i];
  }
  EXPECT_EQ(u, 0u) << "u beyond n1 n2";
  std::vector<double> a;
  std::vector<double> b;
  std::size_t next_b = 0;
  for (std::size_t i = 0; i < n1; ++i) {
    while (next_b < gap[i]) {
      b.push_back(static_cast<double>(a.size() + b.size()));
      ++next_b;
    }
    a.push_back(static_cast<double>(a.size() + b.size()));
  }
  while (b.size() < n2) {
    b.push_back(static_cast<double>(a.size() + b.size()));
  }
  return {a, b};
}

TEST(Inference, GeneratorFollowsItsPublishedSequence) {
  // The first outputs of SplitMix64 from seed 0, as published with the algorithm.
  SplitMix64 rng(0);
  EXPECT_EQ(rng.next(), 0xe220a8397b1dcdafu);
  EXPECT_EQ(rng.next(), 0x6e789e6aa1b965f4u);
  EXPECT_EQ(rng.next(), 0x06c45d188009454fu);

  // Bounded draws stay in range and are uniform: a chi-square over 7 cells, 70000 draws, is
  // far below its 0.1 % critical value (22.46 for 6 degrees of freedom) unless something skews.
  for (std::uint64_t bound : {1ull, 2ull, 7ull, (1ull << 63) + 1, ~0ull}) {
    SplitMix64 r(bound);
    for (int i = 0; i < 1000; ++i) {
      EXPECT_LT(r.below(bound), bound);
    }
  }
  SplitMix64 r(42);
  std::vector<int> cells(7);
  for (int i = 0; i < 70000; ++i) {
    ++cells[r.below(7)];
  }
  double chi2 = 0;
  for (int c : cells) {
    chi2 += (c - 10000.0) * (c - 10000.0) / 10000.0;
  }
  EXPECT_LT(chi2, 22.46);
}

TEST(Inference, QuantilesInterpolateBetweenOrderStatistics) {
  struct Case {
    std::vector<double> sorted;
    double p;
    double expected;
  };
  const Case cases[] = {
      {{1, 2, 3, 4}, 0.25, 1.75},
      {{1, 2, 3, 4}, 0.5, 2.5},
      {{1, 2, 3, 4}, 0.75, 3.25},
      {{1, 1, 2, 3, 3, 4, 5, 5, 6, 9}, 0.25, 2.25},
      {{1, 1, 2, 3, 3, 4, 5, 5, 6, 9}, 0.75, 5},
      {{7}, 0.3, 7},
      {{1, 2}, 0, 1},
      {{1, 2}, 1, 2},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(ks::driver::quantile_sorted(c.sorted, c.p), c.expected) << c.p;
  }
  EXPECT_TRUE(std::isnan(ks::driver::quantile_sorted({}, 0.5)));
  EXPECT_TRUE(std::isnan(ks::driver::quantile_sorted(std::vector<double>{1, 2}, kNaN)));
}

// x(1) .. x(n) are 1 .. n, so the interval's ends are the order statistics' ranks.
std::vector<double> ranks(std::size_t n) {
  std::vector<double> v(n);
  std::iota(v.begin(), v.end(), 1.0);
  std::reverse(v.begin(), v.end());  // the order the values come in must not matter
  return v;
}

TEST(Inference, MedianIntervalMatchesTheBinomialTables) {
  struct Case {
    std::size_t n;
    double low, high, coverage;
  };
  // Published 95 % intervals of a median: [x(k), x(n+1-k)] with their exact coverage; below six
  // values only the range, at 1 - 2^(1-n).
  const Case cases[] = {
      {2, 1, 2, 0.5},
      {3, 1, 3, 0.75},
      {5, 1, 5, 0.9375},
      {6, 1, 6, 0.96875},
      {10, 2, 9, 0.978515625},
      {20, 6, 15, 0.958610535},
      {30, 10, 21, 0.957226055},
      {100, 40, 61, 0.964799800},
  };
  for (const Case& c : cases) {
    const Estimate e = ks::driver::median_interval(ranks(c.n));
    ASSERT_TRUE(e.ci) << c.n;
    EXPECT_EQ(*e.value, (static_cast<double>(c.n) + 1) / 2) << c.n;
    EXPECT_EQ(e.ci->low, c.low) << c.n;
    EXPECT_EQ(e.ci->high, c.high) << c.n;
    EXPECT_NEAR(e.confidence, c.coverage, 1e-9) << c.n;
  }
  // A lower level narrows the interval: at 80 %, 20 values give [x(7), x(14)] (0.8847); at 90 %
  // that pair falls short and [x(6), x(15)] stays.
  const Estimate e80 = ks::driver::median_interval(ranks(20), 0.80);
  const Estimate e90 = ks::driver::median_interval(ranks(20), 0.90);
  ASSERT_TRUE(e80.ci && e90.ci);
  EXPECT_EQ(e80.ci->low, 7);
  EXPECT_EQ(e80.ci->high, 14);
  EXPECT_NEAR(e80.confidence, 0.8846817016601562, 1e-12);
  EXPECT_EQ(e90.ci->low, 6);
  EXPECT_EQ(e90.ci->high, 15);
}

TEST(Inference, IntervalsDependOnTheValuesOnly) {
  std::vector<double> v = {3.1, 2.7, 2.9, 3.3, 2.8, 3.0, 3.6, 2.95, 3.05, 4.2};
  const std::vector<double> base = {1.5, 1.6, 1.4, 1.55, 1.45, 1.5, 1.7};
  const Estimate first = ks::driver::ratio_interval(v, base);
  std::reverse(v.begin(), v.end());
  const Estimate reversed = ks::driver::ratio_interval(v, base);
  v.insert(v.begin() + 3, kNaN);
  v.push_back(kInf);
  const Estimate with_nan = ks::driver::ratio_interval(v, base);
  ASSERT_TRUE(first.ci && reversed.ci && with_nan.ci);
  EXPECT_EQ(first.ci->low, reversed.ci->low);
  EXPECT_EQ(first.ci->high, reversed.ci->high);
  EXPECT_EQ(first.ci->low, with_nan.ci->low);
  EXPECT_EQ(first.ci->high, with_nan.ci->high);
  EXPECT_EQ(*first.value, *with_nan.value);
  EXPECT_EQ(*first.value, 3.025 / 1.5);

  // The seed is fixed: the same values give the same interval, call after call.
  const Estimate again = ks::driver::ratio_interval(v, base);
  ASSERT_TRUE(again.ci);
  EXPECT_EQ(again.ci->low, with_nan.ci->low);
  EXPECT_EQ(again.ci->high, with_nan.ci->high);
}

// Over many samples of a known distribution, the share of intervals that hold the true value is
// the interval's stated confidence, within Monte Carlo error (0.5 points at 2000 samples).
TEST(Inference, IntervalsCoverAtTheirStatedConfidence) {
  const BootstrapOptions quick{.resamples = 1000};
  constexpr int kSamples = 2000;
  for (std::size_t n : {3u, 4u, 5u, 9u, 15u, 30u}) {
    SplitMix64 rng(1000 + n);
    int median_hits = 0;
    int ratio_hits = 0;
    double median_confidence = 0;
    double ratio_confidence = 0;
    for (int s = 0; s < kSamples; ++s) {
      // Skewed like run times: exponential, median 1; the second sample's median is 2.5.
      const std::vector<double> a = exponential_sample(rng, n, 1.0);
      const std::vector<double> b = exponential_sample(rng, n + 1, 2.5);
      const Estimate m = ks::driver::median_interval(a);
      const Estimate r = ks::driver::ratio_interval(b, a, quick);
      ASSERT_TRUE(m.ci && r.ci) << n;
      median_hits += m.ci->low <= 1.0 && 1.0 <= m.ci->high;
      ratio_hits += r.ci->low <= 2.5 && 2.5 <= r.ci->high;
      median_confidence = m.confidence;
      ratio_confidence = r.confidence;
    }
    EXPECT_NEAR(median_hits / double(kSamples), median_confidence, 0.03) << n;
    // The joined ranges of few values are conservative: at least their stated level.
    if (n < ks::driver::kMinValuesForBootstrap) {
      EXPECT_GE(ratio_hits / double(kSamples), ratio_confidence - 0.015) << n;
    } else {
      EXPECT_NEAR(ratio_hits / double(kSamples), ratio_confidence, 0.03) << n;
    }
  }
}

TEST(Inference, RatioIntervalHoldsAKnownScale) {
  const std::vector<double> base = {1.02, 0.98, 1.10, 0.95, 1.01, 1.04, 0.99, 1.20, 1.00, 0.97};
  for (double factor : {0.25, 0.5, 1.0, 1.93, 4.0, 100.0}) {
    std::vector<double> scaled;
    for (double v : base) {
      scaled.push_back(v * factor);
    }
    const Estimate r = ks::driver::ratio_interval(scaled, base);
    ASSERT_TRUE(r.value && r.ci) << factor;
    EXPECT_DOUBLE_EQ(*r.value, factor);
    EXPECT_LE(r.ci->low, factor);
    EXPECT_GE(r.ci->high, factor);
    // Both samples spread by about 5 %: the ratio's interval stays within a fifth of it.
    EXPECT_GT(r.ci->low, factor * 0.9);
    EXPECT_LT(r.ci->high, factor * 1.1);
  }
}

TEST(Inference, DegenerateSamplesGiveNoFalseNumbers) {
  struct Case {
    const char* name;
    std::vector<double> values;
    std::optional<double> median;
    bool interval;
    double low, high;
  };
  const Case cases[] = {
      {"empty", {}, std::nullopt, false, 0, 0},
      {"only NaN", {kNaN, kNaN}, std::nullopt, false, 0, 0},
      {"one value", {2.5}, 2.5, false, 0, 0},
      {"one value and NaN", {kNaN, 2.5, kNaN}, 2.5, false, 0, 0},
      {"two values", {3, 1}, 2, true, 1, 3},
      {"all equal, few", {4, 4, 4}, 4, true, 4, 4},
      {"all equal, many", std::vector<double>(12, 4.0), 4, true, 4, 4},
  };
  for (const Case& c : cases) {
    const Estimate e = ks::driver::median_interval(c.values);
    EXPECT_EQ(e.value, c.median) << c.name;
    ASSERT_EQ(e.ci.has_value(), c.interval) << c.name;
    if (c.interval) {
      EXPECT_EQ(e.ci->low, c.low) << c.name;
      EXPECT_EQ(e.ci->high, c.high) << c.name;
      EXPECT_GT(e.confidence, 0) << c.name;
    } else {
      EXPECT_EQ(e.confidence, 0) << c.name;
      EXPECT_FALSE(e.relative_half_width()) << c.name;
    }
  }
}

TEST(Inference, DegenerateRatios) {
  struct Case {
    const char* name;
    std::vector<double> num, den;
    std::optional<double> ratio;
    bool interval;
    double low, high, confidence;
  };
  const Case cases[] = {
      {"empty numerator", {}, {1, 2}, std::nullopt, false, 0, 0, 0},
      {"empty denominator", {1, 2}, {kNaN}, std::nullopt, false, 0, 0, 0},
      {"zero median below", {1, 2}, {0, 0, 1}, std::nullopt, false, 0, 0, 0},
      {"one value each", {3}, {2}, 1.5, false, 0, 0, 0},
      {"ranges of few", {2, 3, 4}, {1, 2}, 2, true, 1, 4, 0.375},
      {"one over few", {6}, {2, 3, 4}, 2, true, 1.5, 3, 0.75},
      {"range reaching 0", {2, 3, 4}, {0, 2, 3}, 1.5, false, 0, 0, 0},
      {"resampled zeros", {1, 1, 1, 1, 1, 1}, {0, 0, 5, 5, 5, 5, 5}, 0.2, false, 0, 0, 0},
      {"all equal", std::vector<double>(8, 3.0), std::vector<double>(9, 1.5), 2, true, 2, 2, 0.95},
  };
  for (const Case& c : cases) {
    const Estimate e = ks::driver::ratio_interval(c.num, c.den);
    EXPECT_EQ(e.value, c.ratio) << c.name;
    ASSERT_EQ(e.ci.has_value(), c.interval) << c.name;
    if (c.interval) {
      EXPECT_DOUBLE_EQ(e.ci->low, c.low) << c.name;
      EXPECT_DOUBLE_EQ(e.ci->high, c.high) << c.name;
      EXPECT_DOUBLE_EQ(e.confidence, c.confidence) << c.name;
    }
  }
}

TEST(Inference, RankTestMatchesPublishedExamples) {
  struct Case {
    const char* name;
    std::vector<double> a, b;
    double u, u_min, p;
    bool exact;
  };
  // The tortoise and the hare: finishing order T H H H H H T T T T T H, times are positions.
  // Published: U = 11 for the tortoises (pairs they win), 25 for the hares.
  const std::vector<double> tortoises = {-1, -7, -8, -9, -10, -11};
  const std::vector<double> hares = {-2, -3, -4, -5, -6, -12};
  const Case cases[] = {
      {"tortoise and hare", tortoises, hares, 11, 11, 0.30952380952380953, true},
      {"hare and tortoise", hares, tortoises, 25, 11, 0.30952380952380953, true},
      // Full separation: 2 of the C(6,3) = 20 and C(8,4) = 70 arrangements are as extreme.
      {"3 against 3 apart", {1, 2, 3}, {4, 5, 6}, 0, 0, 0.1, true},
      {"4 against 4 apart", {5, 6, 7, 8}, {1, 2, 3, 4}, 16, 0, 2.0 / 70, true},
      {"5 against 7",
       {1.1, 2.2, 3.3, 4.4, 5.5},
       {1.5, 2.5, 3.5, 4.5, 5.6, 6.6, 7.7},
       10,
       10,
       0.26767676767676774,
       true},
      // Normal approximation with the tie correction and continuity correction: run times
      // in whole microseconds.
      {"ties",
       {12, 13, 13, 14, 15, 15, 15, 16, 17, 18},
       {14, 15, 15, 16, 16, 17, 18, 18, 19, 20, 21},
       23,
       23,
       0.02503698049790777,
       false},
      // Two blocks of equal values: z = (12.5 - 0.5) / sqrt(25/12 (11 - 240/90)).
      {"two tied blocks", {5, 5, 5, 5, 5}, {10, 10, 10, 10, 10}, 0, 0, 0.003976751709788651, false},
      {"all tied", {2, 2, 2}, {2, 2}, 3, 3, 1, false},
      {"one against one", {1}, {2}, 0, 0, 1, true},
  };
  for (const Case& c : cases) {
    const std::optional<ks::driver::RankTest> t = ks::driver::mann_whitney(c.a, c.b);
    ASSERT_TRUE(t) << c.name;
    EXPECT_EQ(t->u, c.u) << c.name;
    EXPECT_EQ(t->u_min, c.u_min) << c.name;
    EXPECT_NEAR(t->p, c.p, 1e-9 * c.p) << c.name;
    EXPECT_EQ(t->exact, c.exact) << c.name;
  }
}

TEST(Inference, RankTestLargeSamplesUseTheNormalApproximation) {
  // 60 and 55 distinct values, then the second shifted by 20; reference p-values computed with
  // the normal approximation and continuity correction.
  std::vector<double> a;
  std::vector<double> b;
  std::vector<double> shifted;
  for (int i = 1; i <= 60; ++i) {
    a.push_back(i * 37 % 101 + 0.5);
  }
  for (int i = 1; i <= 55; ++i) {
    b.push_back(i * 53 % 103 + 0.25);
    shifted.push_back(b.back() + 20);
  }
  const auto t = ks::driver::mann_whitney(a, b);
  const auto s = ks::driver::mann_whitney(a, shifted);
  ASSERT_TRUE(t && s);
  EXPECT_FALSE(t->exact);
  EXPECT_EQ(t->u, 1782);
  EXPECT_NEAR(t->p, 0.4615733043544319, 1e-12);
  EXPECT_EQ(s->u, 1169);
  EXPECT_NEAR(s->p, 0.007139133821032459, 1e-14);
}

TEST(Inference, RankTestMatchesTheCriticalValuesTable) {
  // Published two-sided critical values of U at alpha = 0.05: U <= critical is significant,
  // U = critical + 1 is not.
  struct Case {
    std::size_t n1, n2, critical;
  };
  const Case cases[] = {
      {5, 5, 2},     {6, 6, 5},  {7, 7, 8},   {8, 8, 13}, {10, 10, 23},
      {20, 20, 127}, {5, 10, 8}, {5, 20, 20}, {4, 8, 4},  {3, 20, 8},
  };
  for (const Case& c : cases) {
    for (std::size_t u : {c.critical, c.critical + 1}) {
      const auto [a, b] = samples_with_u(c.n1, c.n2, u);
      const auto t = ks::driver::mann_whitney(a, b);
      ASSERT_TRUE(t);
      ASSERT_EQ(t->u, static_cast<double>(u));
      EXPECT_TRUE(t->exact);
      EXPECT_EQ(t->p <= 0.05, u == c.critical)
          << c.n1 << "x" << c.n2 << " U=" << u << " p=" << t->p;
    }
  }
}

TEST(Inference, RankTestNeedsBothSamples) {
  EXPECT_FALSE(ks::driver::mann_whitney({}, std::vector<double>{1, 2}));
  EXPECT_FALSE(ks::driver::mann_whitney(std::vector<double>{1, 2}, std::vector<double>{kNaN}));
  // NaNs are left out, not ranked.
  const auto t = ks::driver::mann_whitney(std::vector<double>{1, kNaN, 2, 3},
                                          std::vector<double>{kNaN, 4, 5, 6});
  ASSERT_TRUE(t);
  EXPECT_EQ(t->u, 0);
  EXPECT_DOUBLE_EQ(t->p, 0.1);
}

TEST(Inference, TukeyFencesClassifyOutliersPerSide) {
  struct Case {
    std::vector<double> values;
    double q1, q3;
    std::size_t low_mild, low_severe, high_mild, high_severe;
  };
  const Case cases[] = {
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 50}, 3.5, 8.5, 0, 0, 0, 1},
      // Fences at 1 and 29 (mild), -9.5 and 39.5 (severe).
      {{10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 0, -40, 25, 30, 60}, 11.5, 18.5, 1, 1, 1, 1},
      // Exactly on the fences is inside: 2.5 and -1.5 are the mild fences.
      {{-1.5, 0, 0, 0, 0, 1, 1, 1, 1, 2.5}, 0, 1, 0, 0, 0, 0},
      // -2 beyond the mild fence only; 4 exactly on the severe fence is mild.
      {{-2, 0, 0, 0, 0, 1, 1, 1, 1, 4}, 0, 1, 1, 0, 1, 0},
      {{5, 5, 5, 5, 5, 5, 5}, 5, 5, 0, 0, 0, 0},
      {{5, 5, 5, 5, 5, 5, 5.001}, 5, 5, 0, 0, 0, 1},
      {{kNaN, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 50, kNaN}, 3.5, 8.5, 0, 0, 0, 1},
      {{}, 0, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const ks::driver::Outliers o = ks::driver::tukey_outliers(c.values);
    const std::string name = ::testing::PrintToString(c.values);
    EXPECT_DOUBLE_EQ(o.q1, c.q1) << name;
    EXPECT_DOUBLE_EQ(o.q3, c.q3) << name;
    EXPECT_EQ(o.low_mild, c.low_mild) << name;
    EXPECT_EQ(o.low_severe, c.low_severe) << name;
    EXPECT_EQ(o.high_mild, c.high_mild) << name;
    EXPECT_EQ(o.high_severe, c.high_severe) << name;
  }
}

TEST(Inference, PrintedTimeStepFromTheConversion) {
  struct Case {
    const char* format;
    std::optional<double> step;
  };
  const Case cases[] = {
      {"%f", 1e-6},
      {"%11.9f", 1e-9},
      {"%.3f", 1e-3},
      {"%.0f", 1},
      {"%.f", 1},
      {"%lf", 1e-6},
      {"%-12.4F", 1e-4},
      {"Tiempo(seg.):%11.9f\\t / Tamaño Vectores:%u", 1e-9},
      {"Nthreads: %d, then Tiempo (seg): %f", 1e-6},
      {"100%% in %8.2f s", 1e-2},
      {"%e", std::nullopt},
      {"%g then %f", std::nullopt},
      {"%.*f", std::nullopt},
      {"%d", std::nullopt},
      {"", std::nullopt},
      {"50%", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::optional<double> step = ks::driver::printed_time_step(c.format);
    ASSERT_EQ(step.has_value(), c.step.has_value()) << c.format;
    if (c.step) {
      EXPECT_DOUBLE_EQ(*step, *c.step) << c.format;
    }
  }
}

TEST(Inference, BelowResolutionAtBothPrintedPrecisions) {
  const double micro = 1e-6;  // "%f"
  const double nano = 1e-9;   // "%11.9f"
  struct Case {
    std::optional<double> median, printed, clock;
    bool below;
  };
  const Case cases[] = {
      {3e-6, micro, nano, true},  // a few whole microseconds
      {99e-6, micro, nano, true},
      {101e-6, micro, nano, false},
      {3e-6, nano, nano, false},  // the same time printed to the nanosecond
      {50e-9, nano, nano, true},
      {50e-6, nano, micro, true},  // a coarse clock behind a fine printout
      {2e-3, nano, 4e-3, true},    // a clock ticking every 4 ms
      {0, nano, nano, true},       // a time printed as 0
      {1e-12, std::nullopt, std::nullopt, false},
      {5e-6, std::nullopt, micro, true},
      {std::nullopt, micro, nano, false},
      {kNaN, micro, nano, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ks::driver::below_resolution(c.median, c.printed, c.clock), c.below)
        << c.median.value_or(-1) << " " << c.printed.value_or(-1) << " " << c.clock.value_or(-1);
  }
  const std::optional<double> res = ks::driver::clock_resolution();
  ASSERT_TRUE(res);
  EXPECT_GT(*res, 0);
  EXPECT_LT(*res, 1);
  EXPECT_FALSE(ks::driver::clock_resolution(static_cast<clockid_t>(4096)));
}

TEST(Inference, NoisyFromTheIntervalAndSevereOutliers) {
  struct Case {
    const char* name;
    std::vector<double> values;
    bool noisy;
  };
  const Case cases[] = {
      {"steady", {1.00, 1.01, 0.99, 1.02, 1.00, 0.98, 1.01, 1.00}, false},
      {"spread", {1.0, 1.3, 0.8, 1.2, 0.9, 1.1, 0.7, 1.25}, true},
      {"one severe straggler", {1.00, 1.01, 0.99, 1.02, 1.00, 0.98, 1.01, 1.00, 1.00, 1.6}, true},
      {"a mild straggler", {1.00, 1.01, 0.99, 1.02, 1.00, 0.98, 1.01, 1.00, 1.00, 1.035}, false},
      {"three close runs", {1.00, 1.02, 1.01}, false},
      {"three runs far apart", {1.0, 1.5, 1.2}, true},
      {"one run", {1.0}, false},
      {"all equal", {2, 2, 2, 2, 2, 2, 2}, false},
      {"empty", {}, false},
  };
  for (const Case& c : cases) {
    const ks::driver::SampleSummary s = ks::driver::summarize_sample(c.values);
    EXPECT_EQ(s.noisy, c.noisy) << c.name;
  }
}

TEST(Inference, ComparisonVerdicts) {
  const std::vector<double> base = {1.00, 1.01, 0.99, 1.02, 1.00, 0.98, 1.01, 1.00, 1.005, 0.995};
  auto scaled = [&](double f) {
    std::vector<double> v;
    for (double x : base) {
      v.push_back(x * f);
    }
    return v;
  };
  struct Case {
    const char* name;
    std::vector<double> base, fresh;
    Change change;
    bool slower_than_5_percent;
    bool slower_than_1_percent;
  };
  const Case cases[] = {
      {"twice as slow", base, scaled(2), Change::kSlower, true, true},
      {"twice as fast", base, scaled(0.5), Change::kFaster, false, false},
      {"3 % slower", base, scaled(1.03), Change::kSlower, false, true},
      {"itself", base, base, Change::kNoChange, false, false},
      {"the same runs reordered",
       base,
       {0.98, 0.99, 0.995, 1.0, 1.0, 1.0, 1.005, 1.01, 1.01, 1.02},
       Change::kNoChange,
       false,
       false},
      {"three runs each", {1.0, 1.01, 0.99}, {2.0, 2.02, 1.98}, Change::kTooFew, false, false},
      {"four runs each",
       {1.0, 1.01, 0.99, 1.0},
       {2.0, 2.02, 1.98, 2.0},
       Change::kSlower,
       true,
       true},
      {"no base", {}, base, Change::kNoData, false, false},
      {"no new runs", base, {kNaN}, Change::kNoData, false, false},
  };
  for (const Case& c : cases) {
    const ks::driver::Comparison cmp = ks::driver::compare_samples(c.base, c.fresh);
    EXPECT_EQ(cmp.change, c.change) << c.name << ": " << ks::driver::change_name(cmp.change);
    EXPECT_EQ(ks::driver::significantly_slower(cmp, 0.05), c.slower_than_5_percent) << c.name;
    EXPECT_EQ(ks::driver::significantly_slower(cmp, 0.01), c.slower_than_1_percent) << c.name;
  }
  // The ratio is new over base, with its interval around it.
  const ks::driver::Comparison twice = ks::driver::compare_samples(base, scaled(2));
  ASSERT_TRUE(twice.ratio.value && twice.ratio.ci && twice.test);
  EXPECT_DOUBLE_EQ(*twice.ratio.value, 2);
  EXPECT_LT(twice.ratio.ci->low, 2);
  EXPECT_GT(twice.ratio.ci->high, 2);
  EXPECT_LT(twice.test->p, 0.001);
}

}  // namespace
