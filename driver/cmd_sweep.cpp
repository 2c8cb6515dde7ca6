// kernelscope sweep PROGRAM... [options]: repeated, interleaved, validated runs over sizes,
// threads, schedules and chunks; every format written to one folder, the summary shown.
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
#include "driver/store.h"
#include "driver/summary_table.h"

namespace ks::driver {
namespace {

struct SweepOptions {
  SweepRequest request;
  std::string sizes, threads, schedules, chunks;  // empty: not given
  std::string out = "kernelscope-report-sweep";
  bool no_plots = false;
  bool resume = false;
  bool force = false;
  bool dry_run = false;
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
  const Plan plan = interleaved_plan(plan_sweep(request, notices));
  for (const std::string& name : request.programs) {
    if (!built(common, name)) {
      throw UsageError(missing_message(common, name));
    }
  }
  for (const std::string& n : notices) {
    error_line(n);
  }
  if (options.dry_run) {
    return print_dry_run(plan, options.out, options.resume);
  }
  const Measurement m = measure(plan, {.kind = "sweep",
                                       .out = options.out,
                                       .bin_dir = common.bin_dir,
                                       .timeout_seconds = common.timeout,
                                       .resume = options.resume,
                                       .force = options.force,
                                       .no_plots = options.no_plots,
                                       .command = common.command});
  std::fputs(summary_text(m.results.configs, m.results.summary).c_str(), stdout);
  if (const std::string& notice = m.exports.of("plots").notice; !notice.empty()) {
    error_line(notice);
  }
  const bool bad = report_bad_runs(m.results);
  std::printf("%zu runs in %s; results in %s/\n", m.ran, duration_text(m.seconds).c_str(),
              options.out.c_str());
  return finish(m, options.out, common, bad);
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
  add_store_options(*sweep, o->resume, o->force, o->dry_run);
  return {sweep, [&common, o] { return run_sweep(common, *o); }};
}

}  // namespace ks::driver
