// Planning: the configurations a sweep or the tour measures, checked against the catalogue
// before anything runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/base/errors.h"
#include "driver/catalogue/catalogue.h"
#include "driver/plan/omp_env.h"
#include "driver/results/results.h"

namespace ks::driver {

// The most runs one plan may hold: a larger request is refused before anything is made.
inline constexpr std::uint64_t kMaxPlannedRuns = 1000000;

struct SweepRequest {
  std::vector<std::string> programs;
  std::optional<std::string> sizes;
  std::optional<std::string> threads;
  std::optional<std::string> schedules;
  std::optional<std::string> chunks;
  int repeat = kDefaultRepeat;
  int warmup = 1;
  bool allow_cap = false;          // run sizes above a cap (capped by the program)
  std::uint64_t memory_limit = 0;  // refuse sizes whose footprint is above this; 0: no limit
  int default_threads = 2;         // the machine's cores, when --threads is not given
  Placement placement;             // OMP_PROC_BIND and OMP_PLACES of the OpenMP programs
};

// Checks a size (or iteration count) for one program: within what its argument can hold, at
// most its cap unless `allow_cap` (then a notice), within `memory_limit` (0: no limit). Throws
// UsageError with a one-line reason.
void check_size(const ProgramInfo& p, std::uint64_t size, bool allow_cap,
                std::uint64_t memory_limit, std::vector<std::string>& notices);

// Checks the request against the catalogue; throws UsageError with a one-line reason.
// `notices` receives one-line remarks (an option that does not apply to a program, a program
// named twice, which runs once).
std::vector<Config> plan_sweep(const SweepRequest& request, std::vector<std::string>& notices);

// The configurations of the main job: every program at its catalogued tour parameters.
std::vector<Config> plan_tour(std::vector<std::string>& notices, std::uint64_t memory_limit,
                              double repeat_scale, const Placement& placement = {});

// One run the plan holds, before it runs.
struct PlannedRun {
  std::size_t config = 0;
  int round = 0;       // from 0; warm-ups take the first rounds
  int repetition = 0;  // among the configuration's warm-ups, or among its measured runs, from 0
  bool warmup = false;
  bool operator==(const PlannedRun&) const = default;
};

// The configurations and every run of them in the order they run; a planned run is known by
// its position in `runs`.
struct Plan {
  std::vector<Config> configs;
  std::vector<PlannedRun> runs;
};

// The interleaved order: round by round, each configuration once per round, the order of the
// configurations rotated by one from round to round; a configuration takes part in its first
// warmup + repeat rounds.
Plan interleaved_plan(std::vector<Config> configs);

}  // namespace ks::driver
