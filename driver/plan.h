// Planning: the configurations a sweep or the tour measures, checked against the catalogue
// before anything runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/errors.h"
#include "driver/omp_env.h"
#include "driver/results.h"

namespace ks::driver {

struct SweepRequest {
  std::vector<std::string> programs;
  std::optional<std::string> sizes;
  std::optional<std::string> threads;
  std::optional<std::string> schedules;
  std::optional<std::string> chunks;
  int repeat = 5;
  int warmup = 1;
  bool allow_cap = false;          // run sizes above a cap (capped by the program)
  std::uint64_t memory_limit = 0;  // refuse sizes whose footprint is above this; 0: no limit
  int default_threads = 2;         // the machine's cores, when --threads is not given
  Placement placement;             // OMP_PROC_BIND and OMP_PLACES of the OpenMP programs
};

// Checks the request against the catalogue; throws UsageError with a one-line reason.
// `notices` receives one-line remarks (an option that does not apply to a program).
std::vector<Config> plan_sweep(const SweepRequest& request, std::vector<std::string>& notices);

// The configurations of the main job: every program at its catalogued tour parameters.
std::vector<Config> plan_tour(std::vector<std::string>& notices, std::uint64_t memory_limit,
                              double repeat_scale, const Placement& placement = {});

}  // namespace ks::driver
