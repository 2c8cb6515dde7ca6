// What a sweep or a tour produces: the configurations it measured, every run, one summary row
// per configuration, and the result set the exporters write (and a run store can keep).
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver/catalogue/catalogue.h"
#include "driver/catalogue/run_types.h"
#include "driver/results/inference.h"
#include "driver/results/model_types.h"
#include "driver/results/stats.h"
#include "spawn/spawn.h"

namespace ks::driver {

struct Config {
  const ProgramInfo* program = nullptr;
  std::optional<std::uint64_t> size;  // as requested (the program may cap it)
  std::optional<long long> chunk;
  int threads = 0;       // OMP_NUM_THREADS; 0 for programs without OpenMP
  std::string schedule;  // OMP_SCHEDULE; empty: the runtime's default
  std::string bind;      // OMP_PROC_BIND (OpenMP programs only); empty: the runtime's default
  std::string places;    // OMP_PLACES (OpenMP programs only); empty: the runtime's default
  int repeat = 1;
  int warmup = 0;
  // The program's arguments as given (a map's), instead of those of size and chunk.
  std::optional<std::vector<std::string>> args;

  RunSpec spec() const;
  std::optional<std::uint64_t> effective_size() const;
  std::string label() const;  // "plus-parloop N=1M T=2"
};

// What a run cost the machine beyond its time; each counter is absent until measured (and
// stays absent where the machine does not offer it).
struct RunCounters {
  // From the kernel's accounting of the process (wait4).
  std::optional<double> user_seconds;
  std::optional<double> system_seconds;
  std::optional<std::int64_t> peak_rss_kib;
  std::optional<std::int64_t> minor_faults;
  std::optional<std::int64_t> major_faults;
  std::optional<std::int64_t> voluntary_switches;
  std::optional<std::int64_t> involuntary_switches;
  // From performance counters, software and hardware events.
  std::optional<std::int64_t> task_clock_ns;
  std::optional<std::int64_t> page_faults;
  std::optional<std::int64_t> context_switches;
  std::optional<std::int64_t> migrations;
  std::optional<std::int64_t> cycles;
  std::optional<std::int64_t> instructions;
  std::optional<std::int64_t> cache_references;
  std::optional<std::int64_t> cache_misses;
  std::optional<std::int64_t> branch_misses;
  bool operator==(const RunCounters&) const = default;
};

// The counters of counters.h's table, one median each; absent when no run had it.
inline constexpr std::size_t kCounterCount = 16;
using CounterMedians = std::array<std::optional<double>, kCounterCount>;

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
  double started_at = 0;  // seconds since the epoch
  // The whole run, output included: kept for a run that was not valid, and for a
  // demonstration run when the runner was asked to keep it.
  std::optional<ks::RunResult> result;
  RunCounters counters;  // what the run cost the machine (counters.h)
};

struct SummaryRow {
  std::size_t config = 0;
  int runs = 0;  // measured runs (no warm-up), those skipped after a timeout included
  int valid = 0;
  bool printed_time = false;   // the statistics are of the printed time (else process wall)
  std::vector<double> values;  // the valid runs' times, sorted
  Stats stats;
  // The median with its interval, the outliers by Tukey's fences, and whether the spread is
  // too large to read the median as one figure (inference.h).
  SampleSummary sample;
  bool noisy = false;  // sample.noisy
  // The smallest time step the figures can tell apart: the coarser of the printed time's last
  // digit and the clock's resolution (0 when neither is known). A median below
  // kResolutionSteps of them is mostly rounding: no rate or speedup is derived from it.
  double time_step = 0;
  bool below_resolution = false;
  std::string hint;  // what to do about it ("try N >= 64K"), when below resolution
  // The whole process of the valid runs, start to end, median: what a runner that times the
  // process sees (start-up, filling the data, printing) around the kernel's time.
  double process_median = std::numeric_limits<double>::quiet_NaN();
  double gb_per_s = std::numeric_limits<double>::quiet_NaN();
  double gops_per_s = std::numeric_limits<double>::quiet_NaN();
  // The baseline's median over this one's, with its interval; empty when there is no baseline
  // or either side is below resolution. A baseline against itself is 1 without interval.
  Estimate speedup;
  std::string speedup_vs;
  // Each counter's median over the valid measured runs that have it (counters.h's order).
  CounterMedians counters;
  // The model's prediction and explanation (model.h), when the machine's ceilings are known.
  std::optional<Prediction> model;
};

// A demonstration's map: the last run of one of its configurations, traced.
struct DemoMap {
  std::size_t config = 0;
  Trace trace;
};

struct NodeResults;
struct ReadContext;
class RunSource;

// Everything one sweep or tour produced, as every exporter writes it.
struct ResultSet {
  std::vector<std::string> command;  // the driver's command line
  nlohmann::json context;            // the machine and the build, taken before the runs
  // `context` typed, read at its first use (machine_of, machine_context.h).
  mutable std::shared_ptr<const ReadContext> machine;
  std::vector<Config> configs;
  // The runs of a result set made in memory (a test's, compare's), in plan order. The
  // exporters read the runs through runs_of() (run_source.h): from `source` when it is set (a
  // store's cursor, and then this stays empty), else from here.
  std::vector<RunRecord> runs;
  std::shared_ptr<const RunSource> source;
  std::vector<SummaryRow> summary;   // one row per configuration
  std::vector<DemoMap> maps;         // the demonstrations' maps (a tour's; a sweep has none)
  std::vector<std::string> missing;  // catalogued programs missing from the build (a tour's)
  // A plan that ran whole on several nodes: each node's runs on their own, in the order of the
  // nodes' first runs; empty otherwise. The rows above pool every node's runs.
  std::vector<NodeResults> nodes;
};

// One node's runs of a plan that ran on several nodes, with that node's machine context.
struct NodeResults {
  std::string host;
  ResultSet results;
};

}  // namespace ks::driver
