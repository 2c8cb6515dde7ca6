#include "driver/runner.h"

#include <algorithm>
#include <chrono>

#include "driver/run_counters.h"

namespace ks::driver {
namespace {

double now_epoch() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

std::vector<RunRecord> run_interleaved(const std::vector<Config>& configs,
                                       const RunnerOptions& options) {
  int rounds = 0;
  std::size_t total = 0;
  for (const Config& c : configs) {
    rounds = std::max(rounds, c.warmup + c.repeat);
    total += static_cast<std::size_t>(c.warmup + c.repeat);
  }
  std::vector<RunRecord> records;
  records.reserve(total);
  std::vector<bool> timed_out(configs.size(), false);
  // Events are opened for a run only when some can be counted: about 0.05 ms a run.
  const bool count_events =
      options.count_events &&
      (options.event_source != nullptr ? ks::probe_events(*options.event_source).any()
                                       : ks::event_support().any());
  std::size_t done = 0;
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t k = 0; k < configs.size(); ++k) {
      const std::size_t index = (k + static_cast<std::size_t>(round)) % configs.size();
      const Config& c = configs[index];
      if (round >= c.warmup + c.repeat) {
        continue;
      }
      RunRecord rec;
      rec.config = index;
      rec.round = round;
      rec.warmup = round < c.warmup;
      rec.started_at = now_epoch();
      if (timed_out[index]) {
        rec.outcome = Outcome::kSkipped;
        rec.why = "skipped after an earlier run of this configuration timed out";
      } else {
        const RunSpec spec = c.spec();
        ks::RunOptions run;
        run.args = spec.args;
        if (spec.threads > 0) {
          run.env["OMP_NUM_THREADS"] = std::to_string(spec.threads);
        }
        if (!spec.schedule.empty()) {
          run.env["OMP_SCHEDULE"] = spec.schedule;
        }
        run.timeout_seconds = options.timeout_seconds;
        run.count_events = count_events;
        run.event_source = options.event_source;
        const ks::RunResult result =
            ks::run_program(options.bin_dir + "/" + std::string(c.program->name), run);
        rec.wall_seconds = result.wall_seconds;
        rec.exit_status = result.exited ? result.exit_status : -1;
        rec.signal = result.term_signal;
        if (result.started) {
          rec.counters = counters_from(result.counters);
        }
        if (result.timed_out) {
          rec.outcome = Outcome::kTimeout;
          rec.why = result.describe();
          timed_out[index] = true;
        } else if (!result.ok() && !c.program->check) {
          rec.outcome = Outcome::kFailed;
          rec.why = result.describe();
        } else {
          const Check check = c.program->check(spec, result);
          rec.printed_seconds = check.printed_seconds;
          rec.outcome =
              check.valid ? Outcome::kValid : (result.ok() ? Outcome::kInvalid : Outcome::kFailed);
          rec.why = check.why;
        }
        if (options.keep_demonstration_output && c.program->kind == Kind::kDemonstration) {
          rec.result = result;
        }
      }
      records.push_back(std::move(rec));
      ++done;
      if (options.on_run) {
        options.on_run(done, total, c.label());
      }
    }
  }
  return records;
}

}  // namespace ks::driver
