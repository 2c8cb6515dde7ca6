#include "driver/session/measure.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>

#include <fmt/format.h>

#include "driver/analysis/context.h"
#include "driver/analysis/model.h"
#include "driver/analysis/nodes_report.h"
#include "driver/analysis/summary.h"
#include "driver/base/files.h"
#include "driver/base/lock.h"
#include "driver/base/text.h"
#include "driver/results/run_source.h"
#include "driver/results/stats.h"
#include "driver/run/interrupt.h"
#include "driver/run/machine.h"
#include "driver/run/progress.h"
#include "driver/run/run_counters.h"
#include "driver/run/runner.h"
#include "driver/session/loop_analyses.h"
#include "driver/store/store_runs.h"
#include "loopmodel/cache.h"

namespace ks::driver {

namespace {

// What a run is expected to take when no earlier store says: the driver's own cost of a run,
// plus the kernel's bytes and operations at rates any machine this suite targets reaches.
constexpr double kRunOverheadSeconds = 0.002;
constexpr double kBytesPerSecond = 4e9;
constexpr double kOpsPerSecond = 1e9;
constexpr double kDemonstrationSeconds = 0.005;

double model_seconds(const Config& c) {
  if (c.program->kind != Kind::kBenchmark) {
    return kDemonstrationSeconds;
  }
  const double n = static_cast<double>(c.effective_size().value_or(0));
  return kRunOverheadSeconds +
         std::max(c.program->bytes(n) / kBytesPerSecond, c.program->ops(n) / kOpsPerSecond);
}

// The same by the machine's ceilings: the model's timed interval, and what the program does
// around it, each page of its memory touched first and filled once at the memory's bandwidth.
std::optional<double> ceilings_seconds(const Config& c, const Ceilings& ceilings) {
  const std::optional<Prediction> p = predict(c, ceilings);
  if (!p) {
    return std::nullopt;
  }
  const double n = static_cast<double>(c.effective_size().value_or(0));
  const double footprint = c.program->footprint != nullptr ? c.program->footprint(n) : 0;
  const double fill = footprint / ceilings.add_bytes_per_second(0, 1).value_or(kBytesPerSecond) *
                      kTrafficPerNamedByte;
  const double touch = footprint / ceilings.page_bytes * ceilings.fault_seconds(1).value_or(0);
  return kRunOverheadSeconds + p->predicted_seconds + fill + touch;
}

std::vector<std::size_t> all_runs(const Plan& plan) {
  std::vector<std::size_t> todo(plan.runs.size());
  for (std::size_t i = 0; i < todo.size(); ++i) {
    todo[i] = i;
  }
  return todo;
}

FolderLock take_lock(const std::string& dir) {
  try {
    return FolderLock(dir);
  } catch (const std::runtime_error& e) {  // busy, or no lock file can be made
    throw UsageError(e.what());
  }
}

// The store an earlier command left in `dir`, read whole; none when it cannot be read.
std::optional<StoreContents> read_earlier(const std::string& dir, std::string& why) {
  try {
    return Store::open_readonly(dir + "/" + std::string(kStoreFile)).load();
  } catch (const StoreError& e) {
    why = e.what();
    return std::nullopt;
  }
}

}  // namespace

FolderVerdict judge_folder(const std::string& out, std::string_view kind, const Plan& plan,
                           bool resume, bool force) {
  FolderVerdict v;
  if (!Store::exists(out)) {
    return v;
  }
  std::string why;
  v.earlier = read_earlier(out, why);
  if (resume) {
    if (!v.earlier) {
      throw UsageError(fmt::format("--resume: {}", why));
    }
    if (v.earlier->kind != kind) {
      throw UsageError(fmt::format("--resume: {} holds the store of a {}, not of a {}", out,
                                   v.earlier->kind, kind));
    }
    if (const auto difference = plan_difference(v.earlier->plan, plan)) {
      throw UsageError(fmt::format("--resume: {} holds another plan: {}", out, *difference));
    }
    v.continues = true;
  } else if (!force && !(kind == "map" && v.earlier && v.earlier->kind == "map")) {
    v.refusal =
        occupied_folder(out, v.earlier ? v.earlier->kind : std::string("command"), kind != "map");
  }
  return v;
}

double expected_seconds(const Config& c, const std::map<std::string, double>& earlier,
                        const Ceilings* ceilings) {
  if (const auto it = earlier.find(c.label()); it != earlier.end()) {
    return it->second;
  }
  if (ceilings != nullptr) {
    if (const std::optional<double> seconds = ceilings_seconds(c, *ceilings)) {
      return *seconds;
    }
  }
  return model_seconds(c);
}

std::map<std::string, double> earlier_seconds(const StoreContents& contents) {
  std::map<std::string, std::vector<double>> by_label;
  for (const StoredRun& run : contents.runs) {
    const RunRecord& r = run.record;
    if (r.outcome != Outcome::kSkipped && std::isfinite(r.wall_seconds)) {
      by_label[contents.plan.configs[r.config].label()].push_back(r.wall_seconds);
    }
  }
  std::map<std::string, double> seconds;
  for (auto& [label, values] : by_label) {
    seconds[label] = summarize(std::move(values)).median;
  }
  return seconds;
}

std::string plan_line(const Plan& plan, const std::vector<std::size_t>& todo,
                      const std::map<std::string, double>& earlier, const Ceilings* ceilings) {
  double total = 0;
  bool from_model = false;
  bool from_store = false;
  std::vector<std::optional<double>> per_config(plan.configs.size());
  for (const std::size_t seq : todo) {
    const std::size_t config = plan.runs[seq].config;
    if (!per_config[config]) {
      const Config& c = plan.configs[config];
      per_config[config] = expected_seconds(c, earlier, ceilings);
      (earlier.contains(c.label()) ? from_store : from_model) = true;
    }
    total += *per_config[config];
  }
  const std::string runs =
      todo.size() == plan.runs.size()
          ? fmt::format("{} runs planned", plan.runs.size())
          : fmt::format("{} of {} planned runs to go", todo.size(), plan.runs.size());
  const std::string models =
      ceilings != nullptr ? "the model and this machine's ceilings" : "the catalogue's cost models";
  const std::string source = from_store && from_model ? "earlier runs and " + models
                             : from_store             ? std::string("earlier runs")
                                                      : models;
  return fmt::format("{} ({} configuration{}); about {} (from {})", runs, plan.configs.size(),
                     plan.configs.size() == 1 ? "" : "s", duration_text(total), source);
}

std::string occupied_folder(const std::string& out, std::string_view earlier_kind, bool resumable) {
  return fmt::format(
      "{} holds the results of an earlier {} ({}): --out NEWDIR measures into "
      "another folder, {}--force replaces it",
      out, earlier_kind, kStoreFile, resumable ? "--resume continues it, " : "");
}

std::string resume_command(const std::vector<std::string>& command) {
  std::string line;
  bool resumes = false;
  auto add = [&](const std::string& word) { line += (line.empty() ? "" : " ") + shell_word(word); };
  for (const std::string& word : command) {
    if (word == "--force") {
      continue;
    }
    resumes = resumes || word == "--resume";
    add(word);
  }
  if (!resumes) {
    add("--resume");
  }
  return line;
}

double runs_seconds(const ResultSet& results) {
  return runs_of(results)->totals().wall_seconds;
}

namespace {

Exports render_files(const std::string& dir, std::string_view kind, const ResultSet& results,
                     bool no_plots) {
  if (kind == "map") {
    return export_with(map_exporters(), dir, results);
  }
  return export_results(
      dir, results,
      no_plots ? std::vector<std::string_view>{"plots"} : std::vector<std::string_view>{});
}

}  // namespace

Exports render(const std::string& dir, std::string_view kind, const ResultSet& results,
               bool no_plots) {
  // The renderings of an earlier command removed, and every file written recorded.
  const RecordedFolder recording(dir, /*clear=*/true);
  Exports exports = render_files(dir, kind, results, no_plots);
  if (const std::string problem = recording.problem(); !problem.empty()) {
    Exported store;
    store.failed.push_back(problem);
    exports.by_format.emplace_back("store", std::move(store));
  }
  return exports;
}

namespace {

// The output folder's store as this command finds it: continued (--resume), replaced (--force,
// or a map's store by another map) or refused; and the earlier runs' times, for the estimate.
struct FolderStart {
  std::optional<Store> store;           // the store continued, open
  std::optional<StoreContents> before;  // what it holds
  std::map<std::string, double> earlier;
};

FolderStart start_folder(const Plan& plan, const MeasureOptions& o,
                         const StoreOptions& store_options) {
  FolderStart f;
  FolderVerdict verdict = judge_folder(o.out, o.kind, plan, o.resume, o.force);
  if (!verdict.refusal.empty()) {
    throw UsageError(verdict.refusal);
  }
  if (verdict.earlier) {
    f.earlier = earlier_seconds(*verdict.earlier);
  }
  if (verdict.continues) {
    try {
      f.store = Store::open(o.out, store_options);
    } catch (const StoreError& e) {
      throw UsageError(fmt::format("--resume: {}", e.what()));
    }
    f.before = std::move(verdict.earlier);
  }
  return f;
}

// The machine, the build, the counters, the ceilings, the OpenMP environment and the conditions
// as the runs begin; each warning about the conditions told.
nlohmann::json measuring_context(const Plan& plan, const MeasureOptions& o) {
  nlohmann::json context = machine_context(o.bin_dir);
  if (!o.missing.empty()) {
    context["build"]["missing"] = o.missing;
  }
  context["counters"] = {{"events", o.count_events}};
  if (o.count_events) {
    context["counters"]["notice"] = counters_notice(ks::event_support());
  }
  if (o.ceilings != nullptr) {
    context["ceilings"] = ceilings_context(*o.ceilings);
    context["loops"] = loops_context(plan.configs, o.bin_dir, ks::loopmodel::default_cache_dir());
  }
  context["openmp"] = openmp_context(o.openmp);
  context["conditions"] = measuring_conditions(plan.configs, load_average(), usable_cpus());
  if (o.on_warning) {
    for (const std::string& w : condition_warnings(read_machine_context(context))) {
      o.on_warning(w);
    }
  }
  return context;
}

// The store the runs go into: the one continued, with this context recorded, or a new one.
// A store that cannot be written leaves the runs in memory only, said in `failed`.
void open_store(FolderStart& f, const Plan& plan, const nlohmann::json& context,
                const MeasureOptions& o, const StoreOptions& store_options,
                std::vector<std::string>& failed) {
  if (f.store) {
    try {
      f.store->record_machine(context);
    } catch (const StoreError& e) {
      failed.emplace_back(e.what());
    }
    return;
  }
  try {
    f.store = Store::create(o.out, plan, context, o.command, store_options);
  } catch (const StoreError& e) {
    failed.push_back(fmt::format("{}; the runs are kept in memory only", e.what()));
  }
}

// The planned runs still to make, and the configurations that timed out already.
std::vector<std::size_t> runs_to_make(const Plan& plan, const std::optional<StoreContents>& before,
                                      std::vector<bool>& timed_out) {
  std::vector<std::size_t> todo = all_runs(plan);
  timed_out.assign(plan.configs.size(), false);
  if (before) {
    std::vector<bool> done(plan.runs.size(), false);
    for (const StoredRun& run : before->runs) {
      done[run.planned] = true;
      timed_out[run.record.config] =
          timed_out[run.record.config] || run.record.outcome == Outcome::kTimeout;
    }
    std::erase_if(todo, [&](std::size_t seq) { return done[seq]; });
  }
  return todo;
}

// The runs made, each committed to the store as it ends, and kept in `memory` too. Says whether
// the store took every run.
bool make_runs(const Plan& plan, const MeasureOptions& o, FolderStart& folder,
               StoreContents& memory, const Interruption& interruption, Measurement& m) {
  std::vector<bool> timed_out;
  const std::vector<std::size_t> todo = runs_to_make(plan, folder.before, timed_out);
  if (o.on_plan) {
    o.on_plan(plan_line(plan, todo, folder.earlier,
                        o.ceilings != nullptr ? &o.ceilings->ceilings : nullptr));
  }
  std::optional<Store>& store = folder.store;
  const std::string host = store ? store->host() : memory.context.value("host", "localhost");
  bool store_failed = !store;
  Progress progress(isatty(STDERR_FILENO) == 1);
  RunnerOptions runner;
  runner.bin_dir = o.bin_dir;
  runner.timeout_seconds = o.timeout_seconds;
  runner.keep_demonstration_output = o.kind != "sweep";
  runner.environment = o.openmp.passed;
  runner.count_events = o.count_events;
  runner.stop_fd = interruption.stop_fd();
  runner.on_record = [&](std::size_t seq, const RunRecord& r, const ks::Counters& c) {
    (void)c;  // the record carries its counters (none for a run that did not start)
    const RunCounters& counters = r.counters;
    if (!store_failed) {
      try {
        store->append_run(r, counters);
      } catch (const StoreError& e) {
        store_failed = true;
        m.failed.push_back(
            fmt::format("{}; this run and the ones after it are kept in memory only", e.what()));
      }
    }
    memory.runs.push_back(StoredRun{seq, host, r, counters});
    ++m.ran;
  };
  runner.on_run = [&](std::size_t done, std::size_t total, const std::string& label) {
    progress.update(done, total, label);
  };
  run_plan(plan, todo, timed_out, runner);
  return !store_failed;
}

// What the files are rendered from: the store read back, or the runs in memory when it cannot
// be. The store is closed first: its log is folded into the file and removed, which gives back
// the room it took on a nearly full disk.
StoreContents read_back(std::optional<Store>& store, bool store_whole, StoreContents memory,
                        std::vector<std::string>& failed) {
  std::optional<StoreContents> contents;
  if (store_whole) {
    try {
      contents = store->load();
    } catch (const StoreError& e) {
      failed.emplace_back(e.what());
    }
  }
  store.reset();
  if (contents) {
    return std::move(*contents);
  }
  std::stable_sort(memory.runs.begin(), memory.runs.end(),
                   [](const StoredRun& a, const StoredRun& b) { return a.planned < b.planned; });
  return memory;
}

std::size_t completed_runs(const Plan& plan, const StoreContents& contents) {
  std::size_t completed = 0;
  std::vector<bool> done(plan.runs.size(), false);
  for (const StoredRun& run : contents.runs) {
    if (run.planned < done.size() && !done[run.planned]) {
      done[run.planned] = true;
      ++completed;
    }
  }
  return completed;
}

}  // namespace

Measurement measure(const Plan& plan, const MeasureOptions& o) {
  const auto start = std::chrono::steady_clock::now();
  Measurement m;
  m.kind = o.kind;
  m.planned = plan.runs.size();
  prepare_output_dir(o.out);
  const FolderLock lock = take_lock(o.out);
  // From here on a signal stops the command in order rather than killing it.
  const Interruption interruption;

  StoreOptions store_options;
  store_options.kind = o.kind;
  store_options.sync_each_run = o.sync;
  FolderStart folder = start_folder(plan, o, store_options);
  if (o.on_warning) {
    if (const std::vector<std::string> foreign = foreign_entries(o.out, recorded_files(o.out));
        !foreign.empty()) {
      o.on_warning(foreign_warning(o.out, foreign));
    }
  }
  // What an earlier command wrote, as its store lists it: on resume its renderings and any file
  // left half-written, all made again from the store; else the store too. A folder without a
  // store holds nothing of kernelscope's.
  clear_outputs(o.out, /*keep_store=*/folder.store.has_value());

  const nlohmann::json context = measuring_context(plan, o);
  open_store(folder, plan, context, o, store_options, m.failed);
  // What the files are rendered from when the store cannot be read back: the same runs.
  StoreContents memory;
  if (folder.before) {
    memory = *folder.before;
  } else {
    memory.plan = plan;
    memory.kind = o.kind;
    memory.command = o.command;
  }
  memory.context = context;

  const bool store_whole = make_runs(plan, o, folder, memory, interruption, m);
  m.signal = interruption.signal();
  const StoreContents contents = read_back(folder.store, store_whole, std::move(memory), m.failed);
  m.completed = completed_runs(plan, contents);
  m.results = result_set(contents);
  m.exports = render(o.out, o.kind, m.results, o.no_plots);
  const std::vector<std::string> failed = m.exports.failed();
  m.failed.insert(m.failed.end(), failed.begin(), failed.end());
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return m;
}

}  // namespace ks::driver
