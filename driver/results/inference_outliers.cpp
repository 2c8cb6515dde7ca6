// Judging one sample: outliers by the quartiles' fences, whether a time is below what the clock
// and the printed digits resolve, and whether the sample is noisy.
#include <time.h>

#include <cctype>
#include <cmath>
#include <string_view>

#include "driver/results/inference.h"
#include "driver/results/inference_detail.h"

namespace ks::driver {

using inference_detail::finite_sorted;

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

}  // namespace ks::driver
