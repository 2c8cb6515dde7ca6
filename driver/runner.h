// The runner: every configuration's runs, interleaved round by round, each checked.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "driver/results.h"
#include "spawn/counters.h"

namespace ks::driver {

struct RunnerOptions {
  std::string bin_dir;
  double timeout_seconds = 60;
  bool keep_demonstration_output = false;  // keep RunRecord::result of demonstration runs
  // Count performance events where the machine has them (wait4's counters are always taken).
  bool count_events = true;
  ks::EventSource* event_source = nullptr;  // nullptr: the kernel's (tests put a fake here)
  // Called after each run with (runs done, runs in all, the run's configuration label).
  std::function<void(std::size_t, std::size_t, const std::string&)> on_run;
};

// Runs every configuration's warm-up and measured runs, one round at a time: each round runs
// each configuration once (in an order rotated from round to round), so drift spreads over
// all configurations alike. After a timeout, the configuration's later runs are skipped.
std::vector<RunRecord> run_interleaved(const std::vector<Config>& configs,
                                       const RunnerOptions& options);

}  // namespace ks::driver
