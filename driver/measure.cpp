#include "driver/measure.h"

#include <unistd.h>

#include <map>

#include "driver/machine.h"
#include "driver/model.h"
#include "driver/progress.h"
#include "driver/run_counters.h"
#include "driver/runner.h"
#include "driver/summary.h"

namespace ks::driver {

void add_model_and_counters(ResultSet& results) {
  summarize_counters(results.runs, results.summary);
  if (const std::optional<Ceilings> ceilings = ceilings_from_context(results.context)) {
    apply_model(results.configs, results.summary, *ceilings);
  }
}

ResultSet measure(const std::vector<Config>& configs, const MeasureOptions& options) {
  ResultSet results;
  results.command = options.command;
  results.context = machine_context(options.bin_dir);
  results.context["counters"] = {{"events", options.count_events}};
  if (options.count_events) {
    results.context["counters"]["notice"] = counters_notice(ks::event_support());
  }
  if (options.ceilings != nullptr) {
    results.context["ceilings"] = ceilings_context(*options.ceilings);
  }
  results.configs = configs;

  Progress progress(isatty(STDERR_FILENO) == 1);
  RunnerOptions runner;
  runner.bin_dir = options.bin_dir;
  runner.timeout_seconds = options.timeout_seconds;
  runner.keep_demonstration_output = options.trace_demonstrations;
  runner.count_events = options.count_events;
  runner.on_run = [&](std::size_t done, std::size_t total, const std::string& label) {
    progress.update(done, total, label);
  };
  results.runs = run_interleaved(configs, runner);
  progress.finish();
  results.summary = summarize_runs(configs, results.runs);
  add_model_and_counters(results);

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
