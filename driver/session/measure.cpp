#include "driver/session/measure.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>

#include <fmt/format.h>

#include "driver/analysis/model.h"
#include "driver/analysis/nodes_report.h"
#include "driver/analysis/stats.h"
#include "driver/analysis/summary.h"
#include "driver/base/files.h"
#include "driver/base/lock.h"
#include "driver/base/text.h"
#include "driver/report/html_export.h"
#include "driver/report/map_view.h"
#include "driver/report/markdown_export.h"
#include "driver/run/interrupt.h"
#include "driver/run/machine.h"
#include "driver/run/progress.h"
#include "driver/run/run_counters.h"
#include "driver/run/runner.h"

namespace ks::driver {

void add_model_and_counters(ResultSet& results) {
  summarize_counters(results.runs, results.summary);
  if (const std::optional<Ceilings> ceilings = ceilings_from_context(results.context)) {
    apply_model(results.configs, results.summary, *ceilings);
  }
}

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

double expected_seconds(const Config& c, const std::map<std::string, double>& earlier) {
  const auto it = earlier.find(c.label());
  return it != earlier.end() ? it->second : model_seconds(c);
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
                      const std::map<std::string, double>& earlier) {
  double total = 0;
  bool from_model = false;
  bool from_store = false;
  std::vector<std::optional<double>> per_config(plan.configs.size());
  for (const std::size_t seq : todo) {
    const std::size_t config = plan.runs[seq].config;
    if (!per_config[config]) {
      const Config& c = plan.configs[config];
      const auto it = earlier.find(c.label());
      per_config[config] = it != earlier.end() ? it->second : model_seconds(c);
      (it != earlier.end() ? from_store : from_model) = true;
    }
    total += *per_config[config];
  }
  const std::string runs =
      todo.size() == plan.runs.size()
          ? fmt::format("{} runs planned", plan.runs.size())
          : fmt::format("{} of {} planned runs to go", todo.size(), plan.runs.size());
  const char* source = from_store && from_model ? "earlier runs and the catalogue's cost models"
                       : from_store             ? "earlier runs"
                                                : "the catalogue's cost models";
  return fmt::format("{} ({} configuration{}); about {} (from {})", runs, plan.configs.size(),
                     plan.configs.size() == 1 ? "" : "s", duration_text(total), source);
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
  double total = 0;
  for (const RunRecord& r : results.runs) {
    total += std::isfinite(r.wall_seconds) ? r.wall_seconds : 0;
  }
  return total;
}

ResultSet result_set(const StoreContents& contents) {
  ResultSet results;
  results.command = contents.command;
  results.context = contents.context;
  results.configs = contents.plan.configs;
  results.runs = contents.records();
  results.summary =
      summarize_runs(results.configs, results.runs, context_clock_step(results.context));
  add_model_and_counters(results);
  if (contents.kind != "map") {
    results.nodes = node_results(contents);
  }
  if (contents.kind == "tour" || contents.kind == "map") {
    // Each demonstration configuration's map, from its last run whose output was kept.
    std::map<std::size_t, const RunRecord*> last_run;
    for (const RunRecord& r : results.runs) {
      if (r.result && results.configs[r.config].program->kind == Kind::kDemonstration) {
        last_run[r.config] = &r;
      }
    }
    for (const auto& [index, record] : last_run) {
      const Config& c = results.configs[index];
      results.maps.push_back({index, c.program->trace(c.spec(), *record->result)});
    }
  }
  if (const auto build = results.context.find("build");
      build != results.context.end() && build->is_object() && build->contains("missing")) {
    for (const auto& name : (*build)["missing"]) {
      if (name.is_string()) {
        results.missing.push_back(name.get<std::string>());
      }
    }
  }
  return results;
}

namespace {

Exports render_files(const std::string& dir, std::string_view kind, const ResultSet& results,
                     bool no_plots) {
  Exports exports;
  if (kind == "map") {
    if (!results.maps.empty()) {
      const DemoMap& m = results.maps.front();
      const Config& c = results.configs[m.config];
      exports.by_format.emplace_back("maps",
                                     write_map_files(dir, "map", *c.program, c.spec(), m.trace));
    }
    return exports;
  }
  exports = export_results(
      dir, results,
      no_plots ? std::vector<std::string_view>{"plots"} : std::vector<std::string_view>{});
  Exported report;
  report.write(dir, "report.md", report_markdown(results, exports.of("plots")));
  report.write(dir, "report.html", html_report(results));
  exports.by_format.emplace_back("report", std::move(report));
  return exports;
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

Measurement measure(const Plan& plan, const MeasureOptions& o) {
  const auto start = std::chrono::steady_clock::now();
  Measurement m;
  m.kind = o.kind;
  m.planned = plan.runs.size();
  prepare_output_dir(o.out);
  const FolderLock lock = take_lock(o.out);
  // From here on a signal stops the command in order rather than killing it.
  const Interruption interruption;

  std::optional<Store> store;
  StoreOptions store_options;
  store_options.kind = o.kind;
  store_options.sync_each_run = o.sync;
  std::map<std::string, double> earlier;
  std::optional<StoreContents> before;  // what the store being resumed holds
  if (Store::exists(o.out)) {
    std::string why;
    std::optional<StoreContents> old = read_earlier(o.out, why);
    const bool replaceable = o.force || (o.kind == "map" && old && old->kind == "map");
    if (o.resume) {
      if (!old) {
        throw UsageError(fmt::format("--resume: {}", why));
      }
      if (old->kind != o.kind) {
        throw UsageError(fmt::format("--resume: {} holds the store of a {}, not of a {}", o.out,
                                     old->kind, o.kind));
      }
      if (const auto difference = plan_difference(old->plan, plan)) {
        throw UsageError(fmt::format("--resume: {} holds another plan: {}", o.out, *difference));
      }
      try {
        store = Store::open(o.out, store_options);
      } catch (const StoreError& e) {
        throw UsageError(fmt::format("--resume: {}", e.what()));
      }
      before = std::move(old);
    } else if (!replaceable) {
      throw UsageError(fmt::format(
          "{} holds the results of an earlier {} (results.db): {}", o.out,
          old ? old->kind : std::string("command"),
          o.kind == "map" ? "--force replaces it" : "--resume continues it, --force replaces it"));
    }
    if (old || before) {
      earlier = earlier_seconds(before ? *before : *old);
    }
  }
  if (o.on_warning) {
    if (const std::vector<std::string> foreign = foreign_entries(o.out, recorded_files(o.out));
        !foreign.empty()) {
      o.on_warning(foreign_warning(o.out, foreign));
    }
  }
  // What an earlier command wrote, as its store lists it: on resume its renderings and any file
  // left half-written, all made again from the store; else the store too. A folder without a
  // store holds nothing of kernelscope's.
  clear_outputs(o.out, /*keep_store=*/store.has_value());

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
  }
  context["openmp"] = openmp_context(o.openmp);
  context["conditions"] = measuring_conditions(plan.configs, load_average(), usable_cpus());
  if (o.on_warning) {
    for (const std::string& w : condition_warnings(context)) {
      o.on_warning(w);
    }
  }
  if (store) {
    try {
      store->record_machine(context);
    } catch (const StoreError& e) {
      m.failed.emplace_back(e.what());
    }
  } else {
    try {
      store = Store::create(o.out, plan, context, o.command, store_options);
    } catch (const StoreError& e) {
      m.failed.push_back(fmt::format("{}; the runs are kept in memory only", e.what()));
    }
  }
  // What the files are rendered from when the store cannot be read back: the same runs.
  StoreContents memory;
  if (before) {
    memory = *before;
  } else {
    memory.plan = plan;
    memory.kind = o.kind;
    memory.command = o.command;
  }
  memory.context = context;
  const std::string host = store ? store->host() : context.value("host", "localhost");

  std::vector<std::size_t> todo = all_runs(plan);
  std::vector<bool> timed_out(plan.configs.size(), false);
  if (before) {
    std::vector<bool> done(plan.runs.size(), false);
    for (const StoredRun& run : before->runs) {
      done[run.planned] = true;
      timed_out[run.record.config] =
          timed_out[run.record.config] || run.record.outcome == Outcome::kTimeout;
    }
    std::erase_if(todo, [&](std::size_t seq) { return done[seq]; });
  }
  std::printf("%s\n", plan_line(plan, todo, earlier).c_str());
  std::fflush(stdout);

  bool store_failed = !store;
  {
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
  }
  m.signal = interruption.signal();

  StoreContents contents;
  bool loaded = false;
  if (!store_failed) {
    try {
      contents = store->load();
      loaded = true;
    } catch (const StoreError& e) {
      m.failed.emplace_back(e.what());
    }
  }
  // Closed before the files are written: its log is folded into the file and removed, which
  // gives back the room it took on a nearly full disk.
  store.reset();
  if (!loaded) {
    std::stable_sort(memory.runs.begin(), memory.runs.end(),
                     [](const StoredRun& a, const StoredRun& b) { return a.planned < b.planned; });
    contents = std::move(memory);
  }
  std::vector<bool> done(plan.runs.size(), false);
  for (const StoredRun& run : contents.runs) {
    if (run.planned < done.size() && !done[run.planned]) {
      done[run.planned] = true;
      ++m.completed;
    }
  }
  m.results = result_set(contents);
  m.exports = render(o.out, o.kind, m.results, o.no_plots);
  const std::vector<std::string> failed = m.exports.failed();
  m.failed.insert(m.failed.end(), failed.begin(), failed.end());
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return m;
}

}  // namespace ks::driver
