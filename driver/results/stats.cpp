#include "driver/results/stats.h"

#include <algorithm>
#include <cmath>

namespace ks::driver {

Stats summarize(std::vector<double> values) {
  std::erase_if(values, [](double v) { return std::isnan(v); });
  Stats s;
  s.count = values.size();
  if (values.empty()) {
    return s;
  }
  std::sort(values.begin(), values.end());
  s.min = values.front();
  s.max = values.back();
  const std::size_t mid = values.size() / 2;
  s.median = values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
  double sum = 0;
  for (double v : values) {
    sum += v;
  }
  s.mean = sum / static_cast<double>(values.size());
  if (values.size() > 1) {
    double squares = 0;
    for (double v : values) {
      squares += (v - s.mean) * (v - s.mean);
    }
    s.stddev = std::sqrt(squares / static_cast<double>(values.size() - 1));
  }
  return s;
}

}  // namespace ks::driver
