#include "loopmodel/ecm.h"

#include <algorithm>
#include <limits>

namespace ks::loopmodel {

double transfer_cycles(double bytes_per_iteration, double bytes_per_second, double hertz) {
  if (bytes_per_iteration <= 0) {
    return 0;
  }
  if (!(bytes_per_second > 0)) {
    return std::numeric_limits<double>::infinity();
  }
  return bytes_per_iteration / bytes_per_second * hertz;
}

std::vector<double> link_cycles(const std::vector<double>& bytes_per_iteration,
                                const std::vector<double>& bytes_per_second, double hertz) {
  std::vector<double> cycles;
  double inner_per_byte = 0;  // cycles per byte of the level before, all its links included
  for (std::size_t k = 0; k < bytes_per_iteration.size(); ++k) {
    const double rate = k < bytes_per_second.size() ? bytes_per_second[k] : 0;
    const double per_byte = transfer_cycles(1, rate, hertz);
    const double added = per_byte > inner_per_byte ? per_byte - inner_per_byte : 0.0;
    cycles.push_back(bytes_per_iteration[k] > 0 ? bytes_per_iteration[k] * added : 0.0);
    inner_per_byte = std::max(per_byte, inner_per_byte);
  }
  return cycles;
}

EcmResult ecm(const EcmInput& in, const std::vector<std::string>& levels) {
  EcmResult r;
  auto level_name = [&](std::size_t i) {
    return i < levels.size() ? levels[i] : "level " + std::to_string(i + 2);
  };
  double sum = in.non_overlapping;
  double largest = in.non_overlapping;
  std::string largest_name = "non-overlapping";
  for (std::size_t k = 0; k <= in.transfers.size(); k++) {
    if (k > 0) {
      const double t = in.transfers[k - 1];
      sum += t;
      if (t > largest) {
        largest = t;
        largest_name = level_name(k - 1);
      }
    }
    if (in.overlapping >= sum) {
      r.additive.push_back(in.overlapping);
      r.additive_dominant.emplace_back("in-core");
    } else {
      r.additive.push_back(sum);
      r.additive_dominant.emplace_back(k == 0 ? "non-overlapping" : "transfers");
    }
    if (in.overlapping >= largest) {
      r.max_bound.push_back(in.overlapping);
      r.max_dominant.emplace_back("in-core");
    } else {
      r.max_bound.push_back(largest);
      r.max_dominant.push_back(largest_name);
    }
  }
  return r;
}

double cycles_to_seconds(double cycles_per_iteration, double iterations, double hertz) {
  if (!(hertz > 0)) {
    return std::numeric_limits<double>::infinity();
  }
  return cycles_per_iteration * iterations / hertz;
}

}  // namespace ks::loopmodel
