// kernelscope sweep PROGRAM... [options]: repeated, interleaved, validated runs over sizes,
// threads, schedules and chunks; every format written to one folder, the summary shown.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "driver/app/commands.h"
#include "driver/app/slurm_options.h"
#include "driver/base/files.h"
#include "driver/base/text.h"
#include "driver/plan/lists.h"
#include "driver/plan/plan.h"
#include "driver/report/exporters.h"
#include "driver/report/summary_table.h"
#include "driver/run/machine.h"
#include "driver/run/progress.h"
#include "driver/session/measure.h"
#include "driver/store/store.h"

namespace ks::driver {
namespace {

// A list option: its text, and whether it was given at all (an empty text given is refused).
struct ListOption {
  std::string text;
  CLI::Option* option = nullptr;

  std::optional<std::string> given() const {
    return option->count() > 0 ? std::optional<std::string>(text) : std::nullopt;
  }
};

struct SweepOptions {
  SweepRequest request;
  ListOption sizes, threads, schedules, chunks;
  std::string out = "kernelscope-report-sweep";
  Placement placement;
  bool no_plots = false;
  bool resume = false;
  bool force = false;
  bool dry_run = false;
  bool wide = false;
  SlurmOptions slurm;
  CLI::App* app = nullptr;
};

// The sweep's request: its lists as given, this machine's memory and processors.
SweepRequest sweep_request(const SweepOptions& options, const OpenmpEnvironment& openmp) {
  SweepRequest request = options.request;
  request.sizes = options.sizes.given();
  request.threads = options.threads.given();
  request.schedules = options.schedules.given();
  request.chunks = options.chunks.given();
  request.memory_limit = physical_memory();
  request.default_threads = usable_cpus();
  request.placement = openmp.placement;
  return request;
}

int run_sweep(const Common& common, const SweepOptions& options) {
  const OpenmpEnvironment openmp = openmp_environment(options.placement);
  const SweepRequest request = sweep_request(options, openmp);
  std::vector<std::string> notices = openmp.notices;
  const Plan plan = interleaved_plan(plan_sweep(request, notices));
  for (const std::string& name : request.programs) {
    if (!built(common, name)) {
      throw UsageError(missing_message(common, name));
    }
  }
  for (const std::string& n : notices) {
    error_line(n);
  }
  // What a suffix stands for, above the plan: a million is also written 1M.
  const std::optional<std::string> suffix =
      options.sizes.given() ? suffix_notice(*options.sizes.given()) : std::nullopt;
  auto plan_lines = [&suffix](const std::string& line) {
    if (suffix) {
      output_line(*suffix);
    }
    output_line(line);
  };
  check_slurm_options(*options.app, options.slurm);
  if (options.slurm.slurm) {
    return run_on_slurm(plan, common, options.slurm,
                        {.kind = "sweep",
                         .out = options.out,
                         .resume = options.resume,
                         .force = options.force,
                         .dry_run = options.dry_run,
                         .no_plots = options.no_plots,
                         .missing = {}});
  }
  if (options.dry_run) {
    const std::optional<KnownCeilings> known = ceilings_known(common);
    if (suffix) {
      output_line(*suffix);
    }
    return print_dry_run(plan, {.kind = "sweep",
                                .out = options.out,
                                .resume = options.resume,
                                .force = options.force,
                                .ceilings = known ? &known->ceilings : nullptr});
  }
  const std::optional<KnownCeilings> ceilings =
      std::any_of(plan.configs.begin(), plan.configs.end(),
                  [](const Config& c) { return c.program->kind == Kind::kBenchmark; })
          ? ceilings_for_measuring(common)
          : std::nullopt;
  const Measurement m = measure(plan, {.kind = "sweep",
                                       .out = options.out,
                                       .bin_dir = common.bin_dir,
                                       .timeout_seconds = common.timeout,
                                       .resume = options.resume,
                                       .force = options.force,
                                       .no_plots = options.no_plots,
                                       .command = common.command,
                                       .openmp = openmp,
                                       .on_warning = warning_line,
                                       .on_plan = plan_lines,
                                       .ceilings = ceilings ? &*ceilings : nullptr,
                                       .count_events = !common.no_events,
                                       .sync = common.sync});
  std::fputs(
      summary_text(m.results.configs, m.results.summary, terminal_layout(options.wide)).c_str(),
      stdout);
  if (const std::string notice = events_notice(common); !notice.empty()) {
    std::printf("%s\n", notice.c_str());
  }
  if (const std::string& notice = m.exports.of("plots").notice; !notice.empty()) {
    error_line(notice);
  }
  const bool bad = report_bad_runs(m.results);
  std::printf("%zu runs in %s; %s\n", m.ran, duration_text(m.seconds).c_str(),
              page_to_open(options.out, m.exports).c_str());
  return finish(m, options.out, common, bad);
}

}  // namespace

Subcommand setup_sweep(CLI::App& app, Common& common) {
  auto o = std::make_shared<SweepOptions>();
  auto* sweep = app.add_subcommand(
      "sweep", "repeated, interleaved, validated runs over sizes, threads, schedules and chunks");
  sweep
      ->add_option("PROGRAM", o->request.programs,
                   "programs to run (kernelscope list); one named twice runs once")
      ->required();
  o->sizes.option = sweep
                        ->add_option("--sizes", o->sizes.text,
                                     "sizes (or iteration counts): 1000,4000\n"
                                     "1K..32M doubles: 1K, 2K, 4K, ... 32M\n"
                                     "64K..16Mx4 multiplies by 4; 100..500+100 adds 100\n"
                                     "K, M, G are powers of two: 1K = 1024, 1M = 1024K\n"
                                     "default: each program's own (kernelscope list -v)")
                        ->type_name("LIST");
  o->threads.option =
      sweep
          ->add_option("--threads", o->threads.text,
                       "team sizes (OMP_NUM_THREADS) of the OpenMP programs: 1,2,4\n"
                       "1..6 is every count from 1 to 6; 1..8x2 multiplies by 2: 1, 2, 4, 8;\n"
                       "2..8+2 adds 2; each from 1 to 1024\n"
                       "default: 1 and the CPUs this process may use")
          ->type_name("LIST");
  o->schedules.option =
      sweep
          ->add_option(
              "--schedules", o->schedules.text,
              "OMP_SCHEDULE values for the programs that read it (OpenMP+ in kernelscope list),\n"
              "separated by ';': \"static;dynamic,4;guided\"\n"
              "each [MODIFIER:]KIND[,CHUNK]: KIND static, dynamic, guided or auto; CHUNK at least "
              "1;\n"
              "at most one MODIFIER, monotonic, or nonmonotonic (dynamic and guided only)\n"
              "default: the OpenMP runtime's own")
          ->type_name("LIST");
  o->chunks.option = sweep
                         ->add_option("--chunks", o->chunks.text,
                                      "chunk sizes of the chunked demonstrations: 1,4; ranges as "
                                      "in --sizes (1..16 doubles)\n"
                                      "default: each program's own (kernelscope list -v)")
                         ->type_name("LIST");
  sweep
      ->add_option("--repeat", o->request.repeat,
                   "measured runs per configuration; from 6 on, a median's interval reaches 95 %")
      ->default_val(kDefaultRepeat);
  sweep
      ->add_option("--warmup", o->request.warmup,
                   "unmeasured runs per configuration before the measured ones")
      ->default_val(1);
  sweep->add_option("--out", o->out, "output folder")->type_name("DIR")->default_val(o->out);
  sweep->add_flag("--cap", o->request.allow_cap,
                  "run sizes above a program's cap anyway (the program runs its cap)");
  sweep->add_flag("--no-plots", o->no_plots, "write no plots");
  add_wide_option(*sweep, o->wide);
  add_placement_options(sweep, o->placement);
  add_store_options(*sweep, o->resume, o->force, o->dry_run);
  add_slurm_options(*sweep, o->slurm);
  o->app = sweep;
  add_model_options(*sweep, common);
  add_bin_option(*sweep, common);
  add_timeout_option(*sweep, common);
  add_sync_option(*sweep, common);
  return {sweep, [&common, o] { return run_sweep(common, *o); }};
}

}  // namespace ks::driver
