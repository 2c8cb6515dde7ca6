// The measuring a sweep and the tour share: the machine's context, the interleaved runs with a
// progress line on a terminal, their summary and, for a tour, the demonstrations' maps.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "driver/omp_env.h"
#include "driver/results.h"

namespace ks::driver {

struct MeasureOptions {
  std::string bin_dir;
  double timeout_seconds = 60;
  bool trace_demonstrations = false;  // keep each demonstration's last run as a map
  std::vector<std::string> command;   // the driver's command line, for the result set
  OpenmpEnvironment openmp;           // the caller's OpenMP variables passed on, the placement
  // Told each warning about the machine (a high load, more threads than CPUs) before the runs.
  std::function<void(const std::string&)> on_warning;
};

ResultSet measure(const std::vector<Config>& configs, const MeasureOptions& options);

}  // namespace ks::driver
