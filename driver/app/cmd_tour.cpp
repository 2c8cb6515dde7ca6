// kernelscope tour: every family at its catalogued sizes, in minutes; every format, the maps of
// the demonstrations and report.md in one folder, a summary on the terminal.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>

#include <fmt/format.h>

#include "driver/app/commands.h"
#include "driver/app/slurm_options.h"
#include "driver/base/files.h"
#include "driver/base/text.h"
#include "driver/plan/plan.h"
#include "driver/report/exporters.h"
#include "driver/report/map_view.h"
#include "driver/report/markdown_export.h"
#include "driver/report/summary_table.h"
#include "driver/run/machine.h"
#include "driver/run/progress.h"
#include "driver/session/measure.h"

namespace ks::driver {
namespace {

struct TourOptions {
  std::string out = "kernelscope-report";
  double scale = 1.0;
  Placement placement;
  bool no_plots = false;
  bool resume = false;
  bool force = false;
  bool dry_run = false;
  bool wide = false;
  SlurmOptions slurm;
  CLI::App* app = nullptr;
};

}  // namespace

void print_tour(const ResultSet& results, const TerminalLayout& layout) {
  std::vector<SummaryRow> bench_rows;
  for (const SummaryRow& row : results.summary) {
    if (results.configs[row.config].program->kind == Kind::kBenchmark) {
      bench_rows.push_back(row);
    }
  }
  if (!bench_rows.empty()) {
    std::fputs(summary_text(results.configs, bench_rows, layout).c_str(), stdout);
  }
  if (results.maps.empty()) {
    return;
  }
  std::printf("\n");
  std::map<std::string_view, std::vector<const DemoMap*>> by_program;
  std::vector<std::string_view> order;
  for (const DemoMap& m : results.maps) {
    const std::string_view program = results.configs[m.config].program->name;
    if (by_program.find(program) == by_program.end()) {
      order.push_back(program);
    }
    by_program[program].push_back(&m);
  }
  for (const std::string_view program : order) {
    const std::string name(program);
    std::string good;
    for (const DemoMap* m : by_program[program]) {
      const int threads = results.configs[m->config].threads;
      if (m->trace.problems.empty()) {
        good += fmt::format("{}{}", good.empty() ? "T=" : ",", threads);
      } else {
        std::printf("%-15s T=%-6d %s\n", name.c_str(), threads,
                    terminal_text(verdict_line(m->trace)).c_str());
      }
    }
    if (!good.empty()) {
      std::printf("%-15s %-8s follows the rule\n", name.c_str(), good.c_str());
    }
  }
}

namespace {

int run_tour(const Common& common, const TourOptions& options) {
  const OpenmpEnvironment openmp = openmp_environment(options.placement);
  std::vector<std::string> notices;
  std::vector<Config> configs;
  std::vector<std::string> missing;
  for (const Config& c : plan_tour(notices, physical_memory(), options.scale, openmp.placement)) {
    if (built(common, c.program->name)) {
      configs.push_back(c);
    } else if (std::find(missing.begin(), missing.end(), c.program->name) == missing.end()) {
      missing.emplace_back(c.program->name);
      error_line(missing_message(common, c.program->name));
    }
  }
  if (configs.empty()) {
    throw UsageError("no catalogued program is built in " + common.bin_dir);
  }
  for (const std::string& n : openmp.notices) {
    error_line(n);
  }
  const Plan plan = interleaved_plan(std::move(configs));
  check_slurm_options(*options.app, options.slurm);
  if (options.slurm.slurm) {
    return run_on_slurm(plan, common, options.slurm,
                        {.kind = "tour",
                         .out = options.out,
                         .resume = options.resume,
                         .force = options.force,
                         .dry_run = options.dry_run,
                         .no_plots = options.no_plots,
                         .missing = missing});
  }
  if (options.dry_run) {
    const std::optional<KnownCeilings> known = ceilings_known(common);
    return print_dry_run(plan, {.kind = "tour",
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
  const Measurement m = measure(plan, {.kind = "tour",
                                       .out = options.out,
                                       .bin_dir = common.bin_dir,
                                       .timeout_seconds = common.timeout,
                                       .resume = options.resume,
                                       .force = options.force,
                                       .no_plots = options.no_plots,
                                       .command = common.command,
                                       .missing = missing,
                                       .openmp = openmp,
                                       .on_warning = warning_line,
                                       .on_plan = output_line,
                                       .ceilings = ceilings ? &*ceilings : nullptr,
                                       .count_events = !common.no_events,
                                       .sync = common.sync});
  if (const std::string& notice = m.exports.of("maps").notice; !notice.empty()) {
    error_line(notice);
  }
  print_tour(m.results, terminal_layout(options.wide));
  if (const std::string notice = events_notice(common); !notice.empty()) {
    std::printf("%s\n", notice.c_str());
  }
  if (const std::string& notice = m.exports.of("plots").notice; !notice.empty()) {
    error_line(notice);
  }
  const bool failed = report_bad_runs(m.results);
  std::printf("\n%zu runs in %s; %s\n", m.ran, duration_text(m.seconds).c_str(),
              page_to_open(options.out, m.exports).c_str());
  return finish(m, options.out, common, failed || !missing.empty());
}

}  // namespace

Subcommand setup_tour(CLI::App& app, Common& common) {
  auto o = std::make_shared<TourOptions>();
  auto* tour = app.add_subcommand("tour", "every family at sizes that finish in minutes");
  tour->add_option("--out", o->out, "output folder")->type_name("DIR")->default_val(o->out);
  tour->add_option("--scale", o->scale,
                   "scales every program's measured runs, from 0.01 to 100 (0.2 for a quick "
                   "look)")
      ->type_name("FACTOR")
      ->check(number_between(0.01, 100, "a factor from 0.01 to 100"))
      ->default_str("1");
  tour->add_flag("--no-plots", o->no_plots, "write no plots");
  add_wide_option(*tour, o->wide);
  add_placement_options(tour, o->placement);
  add_store_options(*tour, o->resume, o->force, o->dry_run);
  add_slurm_options(*tour, o->slurm);
  o->app = tour;
  add_model_options(*tour, common);
  add_bin_option(*tour, common);
  add_timeout_option(*tour, common);
  add_sync_option(*tour, common);
  return {tour, [&common, o] { return run_tour(common, *o); }};
}

}  // namespace ks::driver
