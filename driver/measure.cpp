#include "driver/measure.h"

#include <unistd.h>

#include <map>

#include "driver/machine.h"
#include "driver/progress.h"
#include "driver/runner.h"
#include "driver/summary.h"

namespace ks::driver {

ResultSet measure(const std::vector<Config>& configs, const MeasureOptions& options) {
  ResultSet results;
  results.command = options.command;
  results.context = machine_context(options.bin_dir);
  results.configs = configs;
  results.context["openmp"] = openmp_context(options.openmp);
  results.context["conditions"] = measuring_conditions(configs, load_average(), usable_cpus());
  if (options.on_warning) {
    for (const std::string& w : condition_warnings(results.context)) {
      options.on_warning(w);
    }
  }

  Progress progress(isatty(STDERR_FILENO) == 1);
  RunnerOptions runner;
  runner.bin_dir = options.bin_dir;
  runner.timeout_seconds = options.timeout_seconds;
  runner.keep_demonstration_output = options.trace_demonstrations;
  runner.environment = options.openmp.passed;
  runner.on_run = [&](std::size_t done, std::size_t total, const std::string& label) {
    progress.update(done, total, label);
  };
  results.runs = run_interleaved(configs, runner);
  progress.finish();
  results.summary = summarize_runs(configs, results.runs, context_clock_step(results.context));

  // Each demonstration configuration's map, from its last run.
  std::map<std::size_t, const RunRecord*> last_run;
  for (const RunRecord& r : results.runs) {
    if (r.result) {
      last_run[r.config] = &r;
    }
  }
  for (const auto& [index, record] : last_run) {
    const Config& c = configs[index];
    results.maps.push_back({index, c.program->trace(c.spec(), *record->result)});
  }
  return results;
}

}  // namespace ks::driver
