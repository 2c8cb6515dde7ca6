// What repeated timings let us say with confidence: an interval for a median and for a ratio of
// two medians, a rank test between two samples, outliers, whether a time is below what the
// program's clock and printed precision can resolve, and the verdicts built from these.
//
// Every function takes the raw per-run values; NaN and infinite values are ignored. Results
// depend only on the values (not on their order) and are reproducible: the resampling uses
// its own generator with a fixed seed, whose sequence is the same under every standard library.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace ks::driver {

// SplitMix64: a small, fast 64-bit generator whose sequence is defined by its few lines below,
// unlike the standard distributions, which differ between standard libraries.
class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next();
  // A uniform integer in [0, bound) for bound > 0, without bias (multiply, then reject).
  std::uint64_t below(std::uint64_t bound);

 private:
  std::uint64_t state_;
};

// The p-quantile (0 <= p <= 1) of sorted values by linear interpolation between order
// statistics: position h = (n - 1) p from the first value, value x[floor h] + (h - floor h) *
// (x[floor h + 1] - x[floor h]). NaN for no values or a NaN p.
double quantile_sorted(std::span<const double> sorted, double p);

struct Interval {
  double low = 0;
  double high = 0;
};

// A point estimate with its confidence interval. `value` is empty when it is undefined (no
// values; a ratio over a zero median); `ci` is empty when there is no interval to give (a single
// value; an unbounded ratio). `confidence` is the interval's level: the exact coverage of an
// order-statistic interval, the nominal level of a bootstrap one, lower for very few values.
struct Estimate {
  std::optional<double> value;
  std::optional<Interval> ci;
  double confidence = 0;
  // Half the interval's width relative to the estimate; empty without an interval or at 0.
  std::optional<double> relative_half_width() const;
};

// The median with its distribution-free confidence interval [x(k), x(n+1-k)]: the number of
// values below the true median is Binomial(n, 1/2) whatever the distribution, so the interval
// misses it with probability 2 P(B <= k - 1). k is the largest with coverage of at least `level`,
// and `confidence` is that exact coverage (0.979 for 10 values, 0.959 for 20). With fewer than
// six values even the range [min, max] covers less than 95 % (1 - 2^(1-n): 75 % for 3 values,
// 93.75 % for 5); the range is given with that lower level. One value has no interval.
//
// The percentile bootstrap is not used for a median: its resampled medians are themselves order
// statistics, and their percentiles tend to land one rank further in than the exact interval's
// ends: it covers the median 88 % to 95 % of the time for 7 to 30 runs of a skewed distribution
// while calling itself 95 %.
Estimate median_interval(std::span<const double> values, double level = 0.95);

struct BootstrapOptions {
  // 10000 resamples put the Monte Carlo error of a 2.5 % percentile well below the width of
  // the interval; a resample of n values costs O(n), so this stays cheap for any run count.
  std::size_t resamples = 10000;
  std::uint64_t seed = 0x6b73'6369'6e66'6572;  // fixed, so that a report reproduces
  double level = 0.95;
};

// Below this many values on either side a ratio's interval joins the two ranges instead of
// resampling: a bootstrap of so few values has next to no distinct resamples.
inline constexpr std::size_t kMinValuesForBootstrap = 6;

// The ratio median(numerator) / median(denominator) with a percentile bootstrap interval: the
// 2.5 % and 97.5 % quantiles (quantile_sorted) of the ratios of medians of independent resamples
// of both samples, with replacement, the same count for both, each from its own fixed seed.
// Below kMinValuesForBootstrap values on either side, the interval joins the two ranges (every
// ratio of a value within one range to one within the other), at the product of the ranges'
// exact levels. No value when either sample is empty or the denominator's median is 0; no
// interval when it would be unbounded (a denominator range reaching 0, or about 2.5 % or more
// of the resampled denominator medians at 0).
Estimate ratio_interval(std::span<const double> numerator, std::span<const double> denominator,
                        const BootstrapOptions& options = {});

// The Mann-Whitney U test of two independent samples, two-sided.
struct RankTest {
  double u = 0;      // pairs (a, b) with a > b, plus half the tied pairs, for a the first sample
  double u_min = 0;  // the smaller of U and its complement n1 n2 - U, as tables list it
  double p = 1;      // two-sided p-value
  bool exact = false;
};

// The p-value is exact (the distribution of U over every arrangement of the two samples,
// doubled from the nearer tail) when no value is tied and neither sample has more than
// kExactRankTestMax values; otherwise it comes from the normal approximation with the variance
// corrected for ties and a continuity correction of 1/2. All values tied gives p = 1.
// Empty when either sample is empty.
inline constexpr std::size_t kExactRankTestMax = 50;
std::optional<RankTest> mann_whitney(std::span<const double> a, std::span<const double> b);

// Outliers by Tukey's fences around the quartiles (quantile_sorted at 0.25 and 0.75): mild
// beyond 1.5 IQR from its quartile but not beyond 3 IQR, severe beyond 3 IQR, per side.
struct Outliers {
  double q1 = 0;
  double q3 = 0;
  std::size_t low_mild = 0;
  std::size_t low_severe = 0;
  std::size_t high_mild = 0;
  std::size_t high_severe = 0;
  std::size_t mild() const { return low_mild + high_mild; }
  std::size_t severe() const { return low_severe + high_severe; }
};
Outliers tukey_outliers(std::span<const double> values);

// The resolution of a clock in seconds (clock_getres); empty when the clock is not available.
std::optional<double> clock_resolution(clockid_t clock = CLOCK_REALTIME);

// A median is below resolution when it is less than kResolutionSteps times the coarser of the
// printed time step and the clock's resolution (either may be unknown): its digits are mostly
// rounding, and a rate or speedup derived from it would mean nothing. No median is never below.
inline constexpr double kResolutionSteps = 100;
bool below_resolution(std::optional<double> median, std::optional<double> printed_step,
                      std::optional<double> clock_step);

// A configuration is noisy when its median is uncertain beyond kNoisyHalfWidth of itself (half
// the width of its interval), or when any run lies beyond the severe fences. One value is
// never noisy: there is nothing to judge it by.
inline constexpr double kNoisyHalfWidth = 0.05;
bool noisy(const Estimate& median, const Outliers& outliers);

// The median, its interval, the outliers and the noisy verdict of one configuration's runs.
struct SampleSummary {
  Estimate median;
  Outliers outliers;
  bool noisy = false;
};
SampleSummary summarize_sample(std::span<const double> values);

// Comparing a new sample of times with a base one.
enum class Change {
  kFaster,    // significantly faster
  kSlower,    // significantly slower
  kNoChange,  // no significant change
  kTooFew,    // too few runs for any difference to reach significance
  kNoData,    // a side has no value
};
std::string_view change_name(Change change);  // "faster", "slower", ...

inline constexpr double kAlpha = 0.05;
struct Comparison {
  Estimate ratio;  // median(new) / median(base): above 1 is slower
  std::optional<RankTest> test;
  Change change = Change::kNoData;
};

// The ratio of the new sample's median to the base's with its interval, the U test, and the
// verdict: faster or slower when the test's p is below kAlpha and the ratio's interval lies
// wholly on that side of 1, else no significant change; too few when even the most extreme
// arrangement of that many runs could not reach kAlpha (3 against 3, 3 against 4).
Comparison compare_samples(std::span<const double> base, std::span<const double> fresh,
                           const BootstrapOptions& options = {});

// Slower by more than `threshold` (0.05 for 5 %) with confidence: a slower verdict whose
// interval for the ratio lies wholly above 1 + threshold. This is what a CI job gates on, so a
// noisy sample whose median alone crosses the threshold does not fail it.
bool significantly_slower(const Comparison& comparison, double threshold);

}  // namespace ks::driver
