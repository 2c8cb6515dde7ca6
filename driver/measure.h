// The measuring a sweep and the tour share: the machine's context, the interleaved runs with a
// progress line on a terminal, their summary and, for a tour, the demonstrations' maps.
#pragma once

#include <string>
#include <vector>

#include "driver/ceilings.h"
#include "driver/results.h"

namespace ks::driver {

struct MeasureOptions {
  std::string bin_dir;
  double timeout_seconds = 60;
  bool trace_demonstrations = false;  // keep each demonstration's last run as a map
  std::vector<std::string> command;   // the driver's command line, for the result set
  // The machine's ceilings (cmd_probe.cpp finds them): the context carries them and every
  // configuration gets the model's prediction. Without them, no model.
  const KnownCeilings* ceilings = nullptr;
  bool count_events = true;  // performance events, where the machine has them
};

// Everything the model needs to know about a result set: the context's ceilings, the runs'
// counters summarised per configuration, and each configuration's prediction.
void add_model_and_counters(ResultSet& results);

ResultSet measure(const std::vector<Config>& configs, const MeasureOptions& options);

}  // namespace ks::driver
