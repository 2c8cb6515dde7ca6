// Intervals: a median's from its order statistics, a ratio of medians' by the bootstrap (or
// from the two ranges when there are few values), and the generator the resampling draws from.
#include "driver/results/inference.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <vector>

#include <boost/math/distributions/binomial.hpp>

#include "driver/results/inference_detail.h"

namespace ks::driver {

namespace inference_detail {

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

}  // namespace inference_detail

using inference_detail::finite_sorted;

namespace {

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

}  // namespace ks::driver
