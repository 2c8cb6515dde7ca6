#include "driver/inference.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <vector>

#include <boost/math/distributions/binomial.hpp>
#include <boost/math/distributions/normal.hpp>

namespace ks::driver {

namespace {

// The finite values, sorted: every result depends on the values alone, not on their order.
std::vector<double> finite_sorted(std::span<const double> values) {
  std::vector<double> out;
  out.reserve(values.size());
  for (double v : values) {
    if (std::isfinite(v)) {
      out.push_back(v);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

double median_sorted(const std::vector<double>& sorted) {
  const std::size_t mid = sorted.size() / 2;
  return sorted.size() % 2 == 1 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
}

// Probability that the range of n values from a continuous distribution covers its median.
double range_coverage(std::size_t n) {
  return n < 2 ? 0 : 1 - std::ldexp(1.0, 1 - static_cast<int>(n));
}

Estimate range_estimate(const std::vector<double>& sorted) {
  Estimate e;
  if (sorted.empty()) {
    return e;
  }
  e.value = median_sorted(sorted);
  if (sorted.size() >= 2) {
    e.ci = Interval{sorted.front(), sorted.back()};
    e.confidence = range_coverage(sorted.size());
  }
  return e;
}

// The medians of `resamples` bootstrap resamples of sorted values. A resample is a count of
// how often each position was drawn; its median is found by walking the counts, in O(n).
std::vector<double> bootstrap_medians(const std::vector<double>& sorted, std::size_t resamples,
                                      std::uint64_t seed) {
  const std::size_t n = sorted.size();
  SplitMix64 rng(seed);
  std::vector<std::size_t> counts(n);
  std::vector<double> medians;
  medians.reserve(resamples);
  // The middle draws' ranks within the resample (0-based): one for odd n, two for even n.
  const std::size_t upper = n / 2;
  const std::size_t lower = n % 2 == 1 ? upper : upper - 1;
  for (std::size_t r = 0; r < resamples; ++r) {
    std::fill(counts.begin(), counts.end(), 0);
    for (std::size_t i = 0; i < n; ++i) {
      ++counts[rng.below(n)];
    }
    double low = 0;
    double high = 0;
    std::size_t seen = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t next = seen + counts[i];
      if (seen <= lower && lower < next) {
        low = sorted[i];
      }
      if (seen <= upper && upper < next) {
        high = sorted[i];
        break;
      }
      seen = next;
    }
    medians.push_back((low + high) / 2);
  }
  return medians;
}

std::optional<Interval> percentile_interval(std::vector<double> statistics, double level) {
  if (std::any_of(statistics.begin(), statistics.end(), [](double s) { return std::isnan(s); })) {
    return std::nullopt;
  }
  std::sort(statistics.begin(), statistics.end());
  const double tail = (1 - level) / 2;
  const Interval ci{quantile_sorted(statistics, tail), quantile_sorted(statistics, 1 - tail)};
  if (!std::isfinite(ci.low) || !std::isfinite(ci.high)) {
    return std::nullopt;
  }
  return ci;
}

// log C(n, k), for the smallest attainable p-value of the rank test.
double log_choose(std::size_t n, std::size_t k) {
  return std::lgamma(static_cast<double>(n) + 1) - std::lgamma(static_cast<double>(k) + 1) -
         std::lgamma(static_cast<double>(n - k) + 1);
}

// How many of the C(m + n, m) arrangements of m first-sample and n second-sample values (all
// distinct) give each U = 0 .. max_u. The largest value either belongs to the first sample and
// exceeds all n others, or to the second and exceeds none of the first:
// c(m, n; u) = c(m - 1, n; u - n) + c(m, n - 1; u). Counts above max_u are never needed.
std::vector<double> rank_sum_counts(std::size_t m, std::size_t n, std::size_t max_u) {
  const std::size_t width = max_u + 1;
  // prev[j * width + u] holds c(i - 1, j; u) while cur is filled with c(i, j; u).
  std::vector<double> prev((n + 1) * width, 0.0);
  std::vector<double> cur((n + 1) * width, 0.0);
  for (std::size_t j = 0; j <= n; ++j) {
    prev[j * width] = 1;  // no first-sample value: U = 0
  }
  for (std::size_t i = 1; i <= m; ++i) {
    cur[0] = 1;  // no second-sample value: U = 0
    for (std::size_t j = 1; j <= n; ++j) {
      double* c = &cur[j * width];
      const double* first_largest = &prev[j * width];        // c(i - 1, j), shifted by j
      const double* second_largest = &cur[(j - 1) * width];  // c(i, j - 1)
      // Only U <= i j is possible: the counts stop there, the rest of each row is never read.
      const std::size_t len = std::min(width, i * j + 1);
      const std::size_t second_len = std::min(width, i * (j - 1) + 1);
      const std::size_t first_end = std::min(len, (i - 1) * j + 1 + j);
      std::copy(second_largest, second_largest + second_len, c);
      std::fill(c + second_len, c + len, 0.0);
      for (std::size_t u = j; u < first_end; ++u) {
        c[u] += first_largest[u - j];
      }
    }
    std::swap(prev, cur);
  }
  return std::vector<double>(prev.begin() + static_cast<std::ptrdiff_t>(n * width), prev.end());
}

}  // namespace

std::uint64_t SplitMix64::next() {
  std::uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

std::uint64_t SplitMix64::below(std::uint64_t bound) {
  // The high half of x * bound is uniform over [0, bound) but for the 2^64 mod bound values of
  // x whose low half falls below that count: those are drawn again. The division that finds
  // the count is needed only when the low half is below bound, which is rare.
  auto product = static_cast<unsigned __int128>(next()) * bound;
  auto low = static_cast<std::uint64_t>(product);
  if (low < bound) {
    const std::uint64_t rejected = (0 - bound) % bound;
    while (low < rejected) {
      product = static_cast<unsigned __int128>(next()) * bound;
      low = static_cast<std::uint64_t>(product);
    }
  }
  return static_cast<std::uint64_t>(product >> 64);
}

double quantile_sorted(std::span<const double> sorted, double p) {
  if (sorted.empty() || std::isnan(p)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  const double h = (static_cast<double>(sorted.size()) - 1) * std::clamp(p, 0.0, 1.0);
  const auto i = static_cast<std::size_t>(std::floor(h));
  if (i + 1 >= sorted.size()) {
    return sorted.back();
  }
  return sorted[i] + (h - static_cast<double>(i)) * (sorted[i + 1] - sorted[i]);
}

std::optional<double> Estimate::relative_half_width() const {
  if (!value || !ci || *value == 0) {
    return std::nullopt;
  }
  return (ci->high - ci->low) / 2 / std::abs(*value);
}

Estimate median_interval(std::span<const double> values, double level) {
  const std::vector<double> sorted = finite_sorted(values);
  const std::size_t n = sorted.size();
  if (n < 2) {
    return range_estimate(sorted);
  }
  // [x(k), x(n+1-k)] misses the median when at most k - 1 values lie below it, or at most k - 1
  // above: coverage 1 - 2 P(B <= k - 1) for B ~ Binomial(n, 1/2).
  const boost::math::binomial_distribution<double> below(static_cast<double>(n), 0.5);
  std::size_t k = 0;
  double coverage = 0;
  for (std::size_t candidate = 1; 2 * candidate <= n + 1; ++candidate) {
    const double c = 1 - 2 * boost::math::cdf(below, static_cast<double>(candidate - 1));
    if (c < level) {
      break;
    }
    k = candidate;
    coverage = c;
  }
  if (k == 0) {
    return range_estimate(sorted);
  }
  Estimate e;
  e.value = median_sorted(sorted);
  e.ci = Interval{sorted[k - 1], sorted[n - k]};
  e.confidence = coverage;
  return e;
}

Estimate ratio_interval(std::span<const double> numerator, std::span<const double> denominator,
                        const BootstrapOptions& options) {
  const std::vector<double> num = finite_sorted(numerator);
  const std::vector<double> den = finite_sorted(denominator);
  Estimate e;
  if (num.empty() || den.empty() || median_sorted(den) == 0) {
    return e;
  }
  e.value = median_sorted(num) / median_sorted(den);
  if (num.size() == 1 && den.size() == 1) {
    return e;
  }
  if (num.size() < kMinValuesForBootstrap || den.size() < kMinValuesForBootstrap ||
      options.resamples == 0) {
    // Every ratio of a value within the numerator's range to one within the denominator's:
    // covers the ratio of medians whenever both ranges cover their medians.
    if (den.front() <= 0 && den.back() >= 0) {
      return e;
    }
    const double corners[] = {num.front() / den.front(), num.front() / den.back(),
                              num.back() / den.front(), num.back() / den.back()};
    e.ci = Interval{*std::min_element(std::begin(corners), std::end(corners)),
                    *std::max_element(std::begin(corners), std::end(corners))};
    // A single value is its own median: certain, not a range of level 0.
    const double num_level = num.size() == 1 ? 1 : range_coverage(num.size());
    const double den_level = den.size() == 1 ? 1 : range_coverage(den.size());
    e.confidence = num_level * den_level;
    return e;
  }
  const std::vector<double> num_medians = bootstrap_medians(num, options.resamples, options.seed);
  const std::vector<double> den_medians =
      bootstrap_medians(den, options.resamples, SplitMix64(options.seed).next());
  std::vector<double> ratios(options.resamples);
  for (std::size_t r = 0; r < ratios.size(); ++r) {
    // A resampled denominator median of 0 gives an infinite ratio: a few of them beyond the
    // percentiles leave the interval finite (0 over 0 gives NaN, which drops the interval).
    ratios[r] = num_medians[r] / den_medians[r];
  }
  e.ci = percentile_interval(std::move(ratios), options.level);
  e.confidence = e.ci ? options.level : 0;
  return e;
}

std::optional<RankTest> mann_whitney(std::span<const double> a, std::span<const double> b) {
  const std::vector<double> x = finite_sorted(a);
  const std::vector<double> y = finite_sorted(b);
  if (x.empty() || y.empty()) {
    return std::nullopt;
  }
  const double n1 = static_cast<double>(x.size());
  const double n2 = static_cast<double>(y.size());
  // Pool, rank with mid-ranks for ties, and gather the tie term sum(t^3 - t).
  struct Tagged {
    double v;
    bool first;
  };
  std::vector<Tagged> pooled;
  pooled.reserve(x.size() + y.size());
  for (double v : x) {
    pooled.push_back({v, true});
  }
  for (double v : y) {
    pooled.push_back({v, false});
  }
  std::sort(pooled.begin(), pooled.end(),
            [](const Tagged& l, const Tagged& r) { return l.v < r.v; });
  double rank_sum = 0;
  double tie_term = 0;
  for (std::size_t i = 0; i < pooled.size();) {
    std::size_t j = i;
    while (j < pooled.size() && pooled[j].v == pooled[i].v) {
      ++j;
    }
    const double mid_rank = (static_cast<double>(i + 1) + static_cast<double>(j)) / 2;
    const double t = static_cast<double>(j - i);
    tie_term += t * t * t - t;
    for (std::size_t k = i; k < j; ++k) {
      if (pooled[k].first) {
        rank_sum += mid_rank;
      }
    }
    i = j;
  }
  RankTest test;
  test.u = rank_sum - n1 * (n1 + 1) / 2;
  test.u_min = std::min(test.u, n1 * n2 - test.u);
  if (tie_term == 0 && x.size() <= kExactRankTestMax && y.size() <= kExactRankTestMax) {
    // U is an integer here: the tail up to the smaller of U and its complement, doubled, over
    // all C(n1 + n2, n1) arrangements.
    const auto u_min = static_cast<std::size_t>(test.u_min);
    const std::vector<double> counts = rank_sum_counts(x.size(), y.size(), u_min);
    double tail = 0;
    for (double c : counts) {
      tail += c;
    }
    double total = 1;
    for (std::size_t i = 1; i <= x.size(); ++i) {
      total = total * static_cast<double>(y.size() + i) / static_cast<double>(i);
    }
    test.p = std::min(1.0, 2 * tail / total);
    test.exact = true;
    return test;
  }
  const double n = n1 + n2;
  const double variance = n1 * n2 / 12 * ((n + 1) - tie_term / (n * (n - 1)));
  if (!(variance > 0)) {
    test.p = 1;  // every value tied: nothing tells the samples apart
    return test;
  }
  const double distance = std::max(0.0, std::abs(test.u - n1 * n2 / 2) - 0.5);
  const double z = distance / std::sqrt(variance);
  test.p = std::min(1.0, 2 * boost::math::cdf(boost::math::complement(
                                 boost::math::normal_distribution<double>(), z)));
  return test;
}

Outliers tukey_outliers(std::span<const double> values) {
  const std::vector<double> sorted = finite_sorted(values);
  Outliers o;
  if (sorted.empty()) {
    return o;
  }
  o.q1 = quantile_sorted(sorted, 0.25);
  o.q3 = quantile_sorted(sorted, 0.75);
  const double iqr = o.q3 - o.q1;
  for (double v : sorted) {
    if (v < o.q1 - 3 * iqr) {
      ++o.low_severe;
    } else if (v < o.q1 - 1.5 * iqr) {
      ++o.low_mild;
    } else if (v > o.q3 + 3 * iqr) {
      ++o.high_severe;
    } else if (v > o.q3 + 1.5 * iqr) {
      ++o.high_mild;
    }
  }
  return o;
}

std::optional<double> printed_time_step(std::string_view format) {
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      continue;
    }
    ++i;
    if (i < format.size() && format[i] == '%') {
      continue;  // a literal percent sign
    }
    while (i < format.size() &&
           std::string_view("-+ #0").find(format[i]) != std::string_view::npos) {
      ++i;
    }
    bool star = false;
    while (i < format.size() &&
           (std::isdigit(static_cast<unsigned char>(format[i])) || format[i] == '*')) {
      star = star || format[i] == '*';
      ++i;
    }
    std::optional<int> precision;
    if (i < format.size() && format[i] == '.') {
      ++i;
      int digits = 0;
      while (i < format.size() &&
             (std::isdigit(static_cast<unsigned char>(format[i])) || format[i] == '*')) {
        star = star || format[i] == '*';
        digits = std::min(digits * 10 + (format[i] - '0'), 1000);
        ++i;
      }
      precision = digits;  // "%.f" is precision 0
    }
    while (i < format.size() &&
           std::string_view("hlLqjzt").find(format[i]) != std::string_view::npos) {
      ++i;
    }
    if (i >= format.size()) {
      return std::nullopt;
    }
    const char conversion = format[i];
    if (conversion == 'f' || conversion == 'F') {
      if (star) {
        return std::nullopt;  // the precision is an argument: unknown here
      }
      return std::pow(10.0, -precision.value_or(6));
    }
    if (std::string_view("eEgGaA").find(conversion) != std::string_view::npos) {
      return std::nullopt;  // relative precision: no fixed step
    }
  }
  return std::nullopt;
}

std::optional<double> clock_resolution(clockid_t clock) {
  timespec res{};
  if (clock_getres(clock, &res) != 0) {
    return std::nullopt;
  }
  return static_cast<double>(res.tv_sec) + static_cast<double>(res.tv_nsec) * 1e-9;
}

bool below_resolution(std::optional<double> median, std::optional<double> printed_step,
                      std::optional<double> clock_step) {
  if (!median || std::isnan(*median)) {
    return false;
  }
  double step = 0;
  for (const std::optional<double>& s : {printed_step, clock_step}) {
    if (s && std::isfinite(*s) && *s > step) {
      step = *s;
    }
  }
  return *median < kResolutionSteps * step || *median <= 0;
}

bool noisy(const Estimate& median, const Outliers& outliers) {
  const std::optional<double> half = median.relative_half_width();
  return (half && *half > kNoisyHalfWidth) || outliers.severe() > 0;
}

SampleSummary summarize_sample(std::span<const double> values) {
  SampleSummary s;
  s.median = median_interval(values);
  s.outliers = tukey_outliers(values);
  s.noisy = noisy(s.median, s.outliers);
  return s;
}

std::string_view change_name(Change change) {
  switch (change) {
    case Change::kFaster:
      return "faster";
    case Change::kSlower:
      return "slower";
    case Change::kNoChange:
      return "no significant change";
    case Change::kTooFew:
      return "too few runs";
    case Change::kNoData:
      return "no data";
  }
  return "";
}

Comparison compare_samples(std::span<const double> base, std::span<const double> fresh,
                           const BootstrapOptions& options) {
  Comparison c;
  c.ratio = ratio_interval(fresh, base, options);
  c.test = mann_whitney(fresh, base);
  if (!c.test) {
    return c;
  }
  const std::size_t n1 = finite_sorted(fresh).size();
  const std::size_t n2 = finite_sorted(base).size();
  // The smallest two-sided p any arrangement of n1 and n2 distinct values can give.
  if (std::log(2.0) - log_choose(n1 + n2, n1) >= std::log(kAlpha)) {
    c.change = Change::kTooFew;
    return c;
  }
  c.change = Change::kNoChange;
  if (c.test->p < kAlpha && c.ratio.ci) {
    if (c.ratio.ci->low > 1) {
      c.change = Change::kSlower;
    } else if (c.ratio.ci->high < 1) {
      c.change = Change::kFaster;
    }
  }
  return c;
}

bool significantly_slower(const Comparison& comparison, double threshold) {
  return comparison.change == Change::kSlower && comparison.ratio.ci &&
         comparison.ratio.ci->low > 1 + threshold;
}

}  // namespace ks::driver
