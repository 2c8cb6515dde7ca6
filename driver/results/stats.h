// Statistics of repeated measurements.
#pragma once

#include <cstddef>
#include <vector>

namespace ks::driver {

struct Stats {
  std::size_t count = 0;
  double min = 0;
  double median = 0;  // the middle value, or the mean of the two middle values
  double mean = 0;
  double max = 0;
  double stddev = 0;  // sample standard deviation (n - 1); 0 for fewer than two values
};

// NaN values are ignored; an empty input gives count 0 and zeros.
Stats summarize(std::vector<double> values);

}  // namespace ks::driver
