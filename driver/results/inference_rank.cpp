// Comparing two samples: the rank test and the verdict built from it and the ratio's interval.
#include <algorithm>
#include <cmath>
#include <vector>

#include <boost/math/distributions/normal.hpp>

#include "driver/results/inference.h"
#include "driver/results/inference_detail.h"

namespace ks::driver {

using inference_detail::finite_sorted;

namespace {

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
