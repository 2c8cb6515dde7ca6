// Sweeps: the configurations to measure, the interleaved runs, and their summary.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/catalogue.h"
#include "driver/stats.h"
#include "spawn/spawn.h"

namespace ks::driver {

// Bad input from the user: one line, reported as "kernelscope: <what>" with status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Config {
  const ProgramInfo* program = nullptr;
  std::optional<std::uint64_t> size;  // as requested (the program may cap it)
  std::optional<long long> chunk;
  int threads = 0;       // OMP_NUM_THREADS; 0 for programs without OpenMP
  std::string schedule;  // OMP_SCHEDULE; empty: the runtime's default
  int repeat = 1;
  int warmup = 0;

  RunSpec spec() const;
  std::optional<std::uint64_t> effective_size() const;
  std::string label() const;  // "plus-parloop N=1M T=2"
};

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
};

// Checks the request against the catalogue; throws UsageError with a one-line reason.
// `notices` receives one-line remarks (an option that does not apply to a program).
std::vector<Config> plan_sweep(const SweepRequest& request, std::vector<std::string>& notices);

// The configurations of the main job: every program at its catalogued tour parameters.
std::vector<Config> plan_tour(std::vector<std::string>& notices, std::uint64_t memory_limit,
                              double repeat_scale);

enum class Outcome { kValid, kInvalid, kFailed, kTimeout, kSkipped };
const char* outcome_name(Outcome o);

struct RunRecord {
  std::size_t config = 0;
  int round = 0;
  bool warmup = false;
  Outcome outcome = Outcome::kSkipped;
  std::string why;
  std::optional<double> printed_seconds;
  double wall_seconds = std::numeric_limits<double>::quiet_NaN();
  int exit_status = -1;
  int signal = 0;
  double started_at = 0;                // seconds since the epoch
  std::optional<ks::RunResult> result;  // the whole run, when the runner was asked to keep it
};

struct RunnerOptions {
  std::string bin_dir;
  double timeout_seconds = 60;
  bool keep_demonstration_output = false;  // keep RunRecord::result of demonstration runs
  // Called after each run with (runs done, runs in all, the run's configuration label).
  std::function<void(std::size_t, std::size_t, const std::string&)> on_run;
};

// Runs every configuration's warm-up and measured runs, one round at a time: each round runs
// each configuration once (in an order rotated from round to round), so drift spreads over
// all configurations alike. After a timeout, the configuration's later runs are skipped.
std::vector<RunRecord> run_interleaved(const std::vector<Config>& configs,
                                       const RunnerOptions& options);

struct SummaryRow {
  std::size_t config = 0;
  int runs = 0;  // measured runs (no warm-up, none skipped)
  int valid = 0;
  bool printed_time = false;  // the statistics are of the printed time (else process wall)
  Stats stats;
  double gb_per_s = std::numeric_limits<double>::quiet_NaN();
  double gops_per_s = std::numeric_limits<double>::quiet_NaN();
  double speedup = std::numeric_limits<double>::quiet_NaN();
  std::string speedup_vs;
  // The spread is large: the slowest run took more than twice the median, or the standard
  // deviation is above a quarter of the median (a busy machine, frequency changes).
  bool noisy = false;
};

std::vector<SummaryRow> summarize_runs(const std::vector<Config>& configs,
                                       const std::vector<RunRecord>& runs);

}  // namespace ks::driver
