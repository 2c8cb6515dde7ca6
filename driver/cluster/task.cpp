#include "driver/cluster/task.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <optional>

#include <fmt/format.h>

#include "driver/base/errors.h"
#include "driver/run/interrupt.h"
#include "driver/run/machine.h"
#include "driver/run/runner.h"

namespace ks::driver {
namespace {

// How long a run that did not end valid is held before it is stored, for the signal that says
// Slurm is ending the task itself (and the run with it).
constexpr std::chrono::seconds kSlurmSignalWait{3};

// The task this node runs, from the job's file; a usage error when it has none of that number.
const ClusterTask& find_task(const ClusterJob& job, const TaskStart& o) {
  if (o.submission >= job.submissions.size() || o.index < 0 ||
      static_cast<std::size_t>(o.index) >= job.submissions[o.submission].tasks.size()) {
    throw UsageError(
        fmt::format("{} has no task {} in submission {}", o.dir, o.index, o.submission));
  }
  return job.submissions[o.submission].tasks[static_cast<std::size_t>(o.index)];
}

// The task's own store, with this node's machine recorded in it.
std::optional<Store> open_task_store(const TaskStart& start, const ClusterJob& job,
                                     const ClusterTask& task) {
  const std::string& dir = start.dir;
  StoreOptions options;
  options.file = task.store;
  options.kind = job.kind;
  std::optional<Store> store;
  try {
    store = Store::open(dir, options);
    nlohmann::json context = machine_context(start.bin_dir);
    if (!job.missing.empty()) {
      context["build"]["missing"] = job.missing;
    }
    store->record_machine(context);
  } catch (const StoreError& e) {
    throw UsageError(e.what());
  }
  return store;
}

// A task started again (by hand) makes only what its store lacks.
std::vector<std::size_t> runs_to_make(Store& store, const ClusterTask& task) {
  std::vector<std::size_t> missing = store.missing_runs(store.host());
  std::sort(missing.begin(), missing.end());
  std::vector<std::size_t> todo;
  for (std::size_t seq : task.runs) {
    if (std::binary_search(missing.begin(), missing.end(), seq)) {
      todo.push_back(seq);
    }
  }
  return todo;
}

// The task's runs into its store as they end. Slurm ends a cancelled, timed-out or failed-node
// task by signalling its processes one after the other (on a loaded node the program's signal
// may come seconds before the task's): a program killed that way, or one whose own child was
// ("Terminated" on its standard error, exit 0), is not a failure of its own and is made again
// on resume. So a run that did not end valid is held until kSlurmSignalWait has passed since it
// ended; a signal to the task drops what is held.
struct TaskRecorder {
  struct Held {
    RunRecord record;
    std::chrono::steady_clock::time_point ended;
  };

  TaskRecorder(Store& s, const Interruption& i, const ClusterOutput& o)
      : store(s), interruption(i), out(o) {}

  Store& store;
  const Interruption& interruption;
  const ClusterOutput& out;
  std::size_t ran = 0;
  std::size_t bad = 0;
  bool store_failed = false;
  std::deque<Held> held;

  void store_run(const RunRecord& r) {
    ++ran;
    bad += r.outcome == Outcome::kValid ? 0 : 1;
    if (store_failed) {
      return;
    }
    try {
      store.append_run(r, r.counters);
    } catch (const StoreError& e) {
      store_failed = true;
      out.error(e.what());
    }
  }

  // Stores what has been held long enough, or all of it.
  void release(bool all) {
    const auto now = std::chrono::steady_clock::now();
    while (!held.empty() && (all || now - held.front().ended >= kSlurmSignalWait)) {
      store_run(held.front().record);
      held.pop_front();
    }
  }

  void on_record(const RunRecord& r) {
    if (interruption.signal() != 0) {
      held.clear();
      if (r.outcome != Outcome::kValid) {
        return;
      }
    }
    release(false);
    if (r.outcome == Outcome::kValid || r.outcome == Outcome::kSkipped) {
      store_run(r);
    } else {
      held.push_back({r, std::chrono::steady_clock::now()});
    }
  }

  // After the last run: waits out the last held run's time (or a signal), then stores what is
  // held unless a signal came.
  void finish() {
    if (!held.empty() && interruption.signal() == 0) {
      const auto left = held.back().ended + kSlurmSignalWait - std::chrono::steady_clock::now();
      pollfd p{interruption.stop_fd(), POLLIN, 0};
      (void)::poll(&p, 1,
                   static_cast<int>(std::max<std::int64_t>(
                       0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count())));
    }
    if (interruption.signal() == 0) {
      release(true);
    }
  }
};

// Measured runs of a configuration whose warm-ups were made before (another node, or this one
// before it went down) follow a fresh warm-up here, which is not recorded. False when the
// runner was stopped.
bool run_fresh_warmups(const Plan& plan, const std::vector<std::size_t>& warmups,
                       std::vector<bool>& timed_out, RunnerOptions fresh,
                       const Interruption& interruption, const ClusterOutput& out) {
  fresh.on_record = [&](std::size_t, const RunRecord& r, const ks::Counters&) {
    if (r.outcome == Outcome::kTimeout) {
      timed_out[r.config] = true;  // its runs are skipped, as after a recorded warm-up
    }
    if (r.outcome != Outcome::kValid && interruption.signal() == 0) {
      out.error(fmt::format("the fresh warm-up of {} was not valid: {}",
                            plan.configs[r.config].label(), r.why));
    }
  };
  return run_plan(plan, warmups, timed_out, fresh);
}

}  // namespace

int run_task(const TaskStart& o, const ClusterOutput& out) {
  const ClusterJob job = read_job(o.dir);
  const ClusterTask& task = find_task(job, o);
  const auto env = task_environment(std::getenv);
  const int cpus = env && env->cpus > 0 ? env->cpus : usable_cpus();
  std::optional<Store> store = open_task_store(o, job, task);
  std::vector<std::string> notices;
  const Plan plan = cap_threads(store->plan(), cpus, notices);
  for (const std::string& n : notices) {
    out.error(n);
  }
  const std::vector<std::size_t> todo = runs_to_make(*store, task);
  const std::vector<std::size_t> warmups = fresh_warmups(plan, todo);
  out.output(fmt::format("task {} of job {} on {}: {} runs{}, {} CPUs\n", o.index,
                         job.submissions[o.submission].job_id, store->host(), todo.size(),
                         warmups.empty() ? ""
                                         : fmt::format(" after {} fresh warm-up{}", warmups.size(),
                                                       warmups.size() == 1 ? "" : "s"),
                         cpus));

  const Interruption interruption;
  TaskRecorder recorder(*store, interruption, out);
  RunnerOptions runner;
  runner.bin_dir = o.bin_dir;
  runner.timeout_seconds = o.timeout_seconds;
  runner.keep_demonstration_output = job.kind != "sweep";
  runner.stop_fd = interruption.stop_fd();
  runner.on_record = [&](std::size_t, const RunRecord& r, const ks::Counters&) {
    recorder.on_record(r);
  };
  std::vector<bool> timed_out(plan.configs.size(), false);
  bool go_on = true;
  if (!warmups.empty()) {
    go_on = run_fresh_warmups(plan, warmups, timed_out, runner, interruption, out);
  }
  if (go_on) {
    run_plan(plan, todo, timed_out, runner);
  }
  recorder.finish();
  store.reset();
  out.output(
      fmt::format("task {}: {} runs made, {} not valid\n", o.index, recorder.ran, recorder.bad));
  if (interruption.signal() != 0) {
    return interruption.status();
  }
  return recorder.bad > 0 || recorder.store_failed ? kRunsFailed : 0;
}

}  // namespace ks::driver
