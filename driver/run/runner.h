// The runner: the runs of a plan, in the plan's order, each checked.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "driver/plan/plan.h"
#include "driver/results/results.h"
#include "spawn/counters.h"

namespace ks::driver {

// What the driver keeps of a program's output, per stream: beyond it the output is read and
// dropped, and the run is invalid. Far above what any catalogued program prints at the sizes a
// sweep or a map accepts.
inline constexpr std::size_t kMaxOutputBytes = std::size_t{16} << 20;

struct RunnerOptions {
  std::string bin_dir;
  double timeout_seconds = 60;
  bool keep_demonstration_output = false;  // keep RunRecord::result of demonstration runs
  // Count performance events where the machine has them (wait4's counters are always taken).
  bool count_events = true;
  ks::EventSource* event_source = nullptr;  // nullptr: the kernel's (tests put a fake here)
  // Variables set on every run besides each configuration's own (the caller's OpenMP ones
  // that are passed on).
  std::map<std::string, std::string> environment;
  std::size_t max_output_bytes = kMaxOutputBytes;
  // Readable once the runs must stop (a signal came): the running program's group is ended, its
  // run is not recorded, and no other run starts. -1: none.
  int stop_fd = -1;
  // Called after each completed run, before the next one starts, with its place in the plan
  // and what it cost the machine.
  std::function<void(std::size_t, const RunRecord&, const ks::Counters&)> on_record;
  // Called after each run with (runs done, runs to do, the run's configuration label).
  std::function<void(std::size_t, std::size_t, const std::string&)> on_run;
};

// Runs the planned runs `todo` (positions in plan.runs, in plan order) and hands each record to
// on_record. A configuration in `timed_out` (or whose run times out) has its later runs
// recorded as skipped. Returns false when stop_fd ended the runs early.
bool run_plan(const Plan& plan, const std::vector<std::size_t>& todo, std::vector<bool> timed_out,
              const RunnerOptions& options);

// The whole interleaved plan of `configs`, its records in the order they ran. A record keeps
// the program's output (RunRecord::result) when the run was not valid, and for demonstrations
// when asked.
std::vector<RunRecord> run_interleaved(const std::vector<Config>& configs, RunnerOptions options);

}  // namespace ks::driver
