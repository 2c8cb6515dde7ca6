// kernelscope sweep PROGRAM... [options]: repeated, interleaved, validated runs over sizes,
// threads, schedules and chunks; every format written to one folder, the summary shown.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "driver/commands.h"
#include "driver/exporters.h"
#include "driver/files.h"
#include "driver/machine.h"
#include "driver/measure.h"
#include "driver/plan.h"
#include "driver/progress.h"
#include "driver/summary_table.h"

namespace ks::driver {
namespace {

struct SweepOptions {
  SweepRequest request;
  std::string sizes, threads, schedules, chunks;  // empty: not given
  std::string out = "kernelscope-report-sweep";
  bool no_plots = false;
};

std::optional<std::string> given(const std::string& text) {
  return text.empty() ? std::nullopt : std::optional<std::string>(text);
}

int run_sweep(const Common& common, const SweepOptions& options) {
  SweepRequest request = options.request;
  request.sizes = given(options.sizes);
  request.threads = given(options.threads);
  request.schedules = given(options.schedules);
  request.chunks = given(options.chunks);
  request.memory_limit = physical_memory();
  request.default_threads = usable_cpus();
  std::vector<std::string> notices;
  const std::vector<Config> configs = plan_sweep(request, notices);
  for (const std::string& name : request.programs) {
    if (!built(common, name)) {
      throw UsageError(missing_message(common, name));
    }
  }
  const std::optional<KnownCeilings> ceilings =
      std::any_of(configs.begin(), configs.end(),
                  [](const Config& c) { return c.program->kind == Kind::kBenchmark; })
          ? ceilings_for_measuring(common)
          : std::nullopt;
  prepare_output_dir(options.out);
  for (const std::string& n : notices) {
    error_line(n);
  }
  const auto start = std::chrono::steady_clock::now();
  const ResultSet results = measure(configs, {.bin_dir = common.bin_dir,
                                              .timeout_seconds = common.timeout,
                                              .trace_demonstrations = false,
                                              .command = common.command,
                                              .ceilings = ceilings ? &*ceilings : nullptr,
                                              .count_events = !common.no_events});
  const Exports exports = export_results(
      options.out, results,
      options.no_plots ? std::vector<std::string_view>{"plots"} : std::vector<std::string_view>{});
  std::fputs(summary_text(results.configs, results.summary).c_str(), stdout);
  if (const std::string notice = events_notice(common); !notice.empty()) {
    std::printf("%s\n", notice.c_str());
  }
  if (const std::string& notice = exports.of("plots").notice; !notice.empty()) {
    error_line(notice);
  }
  const bool bad = report_bad_runs(results);
  std::printf(
      "%zu runs in %s; results in %s/\n", results.runs.size(),
      duration_text(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count())
          .c_str(),
      options.out.c_str());
  return bad ? kRunsFailed : 0;
}

}  // namespace

Subcommand setup_sweep(CLI::App& app, const Common& common) {
  auto o = std::make_shared<SweepOptions>();
  auto* sweep = app.add_subcommand("sweep", "repeated, interleaved, validated runs");
  sweep->add_option("programs", o->request.programs, "programs to run")->required();
  sweep->add_option("--sizes", o->sizes,
                    "sizes: 1000,4000 or 1K..32M (doubling), 64K..16Mx4, 100..500+100");
  sweep->add_option("--threads", o->threads, "OMP_NUM_THREADS values: 1,2,4 or 1..8");
  sweep->add_option("--schedules", o->schedules,
                    "OMP_SCHEDULE values, ';'-separated: \"static;dynamic,4;guided\"");
  sweep->add_option("--chunks", o->chunks, "chunk sizes for the chunked demonstrations");
  sweep->add_option("--repeat", o->request.repeat, "measured runs per configuration")
      ->default_val(5);
  sweep->add_option("--warmup", o->request.warmup, "unmeasured runs per configuration first")
      ->default_val(1);
  sweep->add_option("--out", o->out, "output folder")->default_val(o->out);
  sweep->add_flag("--cap", o->request.allow_cap, "run sizes above a program's cap (capped by it)");
  sweep->add_flag("--no-plots", o->no_plots, "write no plots");
  return {sweep, [&common, o] { return run_sweep(common, *o); }};
}

}  // namespace ks::driver
