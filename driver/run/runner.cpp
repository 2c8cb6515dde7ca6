#include "driver/run/runner.h"

#include <poll.h>

#include <chrono>
#include <optional>

#include <fmt/format.h>

#include "driver/run/run_counters.h"
#include "spawn/spawn.h"

namespace ks::driver {
namespace {

double now_epoch() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

bool readable(int fd) {
  if (fd < 0) {
    return false;
  }
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

// The performance events, opened once for the whole plan: each run gets what they counted
// while it ran (spawn/counters.h). None when nothing can be counted.
void open_plan_events(const RunnerOptions& options, std::optional<ks::EventGroup>& events) {
  if (!options.count_events) {
    return;
  }
  if (options.event_source != nullptr) {
    const ks::EventSupport support = ks::probe_events(*options.event_source);
    if (support.any()) {
      events.emplace(*options.event_source, support);
    }
  } else if (ks::event_support().any()) {
    events.emplace(ks::kernel_events(), ks::event_support());
  }
}

// A configuration's arguments, label and command, made at its first run.
struct Prepared {
  RunSpec spec;
  std::string label;
  ks::Command command;
};

Prepared prepare(const Config& c, const RunnerOptions& options) {
  RunSpec spec = c.spec();
  ks::RunOptions program;
  program.args = spec.args;
  for (const auto& [name, value] : options.environment) {
    program.env[name] = value;
  }
  if (!spec.bind.empty()) {
    program.env["OMP_PROC_BIND"] = spec.bind;
  }
  if (!spec.places.empty()) {
    program.env["OMP_PLACES"] = spec.places;
  }
  if (spec.threads > 0) {
    program.env["OMP_NUM_THREADS"] = std::to_string(spec.threads);
  }
  if (!spec.schedule.empty()) {
    program.env["OMP_SCHEDULE"] = spec.schedule;
  }
  ks::Command command(options.bin_dir + "/" + std::string(c.program->name), program);
  return Prepared{std::move(spec), c.label(), std::move(command)};
}

// What a finished run's result says of it: its times, its status, its counters and its outcome
// by the program's own check. Says whether it timed out.
bool judge(const Config& c, const RunSpec& spec, ks::RunResult& result,
           const RunnerOptions& options, RunRecord& rec) {
  rec.wall_seconds = result.wall_seconds;
  rec.exit_status = result.exited ? result.exit_status : -1;
  rec.signal = result.term_signal;
  if (result.started) {
    rec.counters = counters_from(result.counters);
  }
  if (result.timed_out) {
    rec.outcome = Outcome::kTimeout;
    rec.why = result.describe();
  } else if (result.output_cut) {
    rec.outcome = Outcome::kInvalid;
    rec.why = fmt::format("printed more than {} MiB on one stream; kept the first {} MiB",
                          options.max_output_bytes >> 20, options.max_output_bytes >> 20);
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
  return result.timed_out;
}

}  // namespace

bool run_plan(const Plan& plan, const std::vector<std::size_t>& todo, std::vector<bool> timed_out,
              const RunnerOptions& options) {
  timed_out.resize(plan.configs.size(), false);
  std::optional<ks::EventGroup> events;
  open_plan_events(options, events);
  std::vector<std::optional<Prepared>> prepared(plan.configs.size());
  ks::RunOptions run;
  run.timeout_seconds = options.timeout_seconds;
  run.stop_fd = options.stop_fd;
  run.max_output_bytes = options.max_output_bytes;
  ks::OutputPipes pipes;  // both outputs' pipes, kept from run to run
  run.pipes = &pipes;
  run.count_events = events.has_value();
  run.events = events ? &*events : nullptr;
  // The driver waits on one CPU while each program runs, so that each begins there and wakes
  // it there; the programs may use every CPU the driver could.
  const ks::HoldOnThisCpu hold;
  run.cpus = hold.allowed();
  std::size_t done = 0;
  for (const std::size_t seq : todo) {
    const PlannedRun& planned = plan.runs.at(seq);
    const Config& c = plan.configs.at(planned.config);
    std::optional<Prepared>& ready = prepared[planned.config];
    if (!ready) {
      ready.emplace(prepare(c, options));
    }
    RunRecord rec;
    rec.config = planned.config;
    rec.round = planned.round;
    rec.warmup = planned.warmup;
    rec.started_at = now_epoch();
    ks::Counters counters;
    if (timed_out[planned.config]) {
      if (readable(options.stop_fd)) {
        return false;
      }
      rec.outcome = Outcome::kSkipped;
      rec.why = "skipped after an earlier run of this configuration timed out";
    } else {
      // Says `stopped` without starting anything once stop_fd is readable.
      ks::RunResult result = ks::run_program(ready->command, run);
      if (result.stopped) {
        return false;  // not a run of the program's own: it is run again on resume
      }
      if (judge(c, ready->spec, result, options, rec)) {
        timed_out[planned.config] = true;
      }
      counters = result.counters;
      if (rec.outcome != Outcome::kValid ||
          (options.keep_demonstration_output && c.program->kind == Kind::kDemonstration)) {
        rec.result = std::move(result);
      }
    }
    if (options.on_record) {
      options.on_record(seq, rec, counters);
    }
    ++done;
    if (options.on_run) {
      options.on_run(done, todo.size(), ready->label);
    }
  }
  return true;
}

std::vector<RunRecord> run_interleaved(const std::vector<Config>& configs, RunnerOptions options) {
  const Plan plan = interleaved_plan(configs);
  std::vector<std::size_t> todo(plan.runs.size());
  for (std::size_t i = 0; i < todo.size(); ++i) {
    todo[i] = i;
  }
  std::vector<RunRecord> records;
  records.reserve(todo.size());
  auto inner = std::move(options.on_record);
  options.on_record = [&](std::size_t seq, const RunRecord& r, const ks::Counters& c) {
    records.push_back(r);
    if (inner) {
      inner(seq, r, c);
    }
  };
  run_plan(plan, todo, {}, options);
  return records;
}

}  // namespace ks::driver
