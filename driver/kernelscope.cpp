// kernelscope: the suite's measurement driver.
//
//   kernelscope list                      the catalogue of programs
//   kernelscope sweep PROGRAM... [opts]   repeated, interleaved, validated runs; CSV, JSON,
//                                         Markdown and plots in a folder
//   kernelscope map PROGRAM [-- ARGS]     which thread ran which iteration of a demonstration
//   kernelscope tour                      every family at sizes that finish in minutes
//
// Exit status: 0 when every run was valid, 1 when a run was invalid, crashed, failed or timed
// out (or a program is missing from the build during a tour), 2 for bad input.
#include <sched.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "driver/catalogue.h"
#include "driver/lists.h"
#include "driver/map_view.h"
#include "driver/plots.h"
#include "driver/progress.h"
#include "driver/report.h"
#include "driver/sweep.h"

namespace {

using namespace ks::driver;

constexpr int kBadInput = 2;
constexpr int kRunsFailed = 1;

struct Common {
  std::string bin_dir;
  double timeout = 60;
};

std::string default_bin_dir() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : self.parent_path().string();
}

int usable_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    return CPU_COUNT(&set);
  }
  return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
}

std::uint64_t physical_memory() {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) {
    return 0;
  }
  return static_cast<std::uint64_t>(info.totalram) * info.mem_unit;
}

void error_line(const std::string& what) {
  std::fprintf(stderr, "kernelscope: %s\n", what.c_str());
}

bool built(const Common& common, std::string_view name) {
  return access((common.bin_dir + "/" + std::string(name)).c_str(), X_OK) == 0;
}

std::string missing_message(const Common& common, std::string_view name) {
  return fmt::format("{} is in the catalogue but missing from the build (no executable {}/{})",
                     name, common.bin_dir, name);
}

std::vector<std::string> command_line(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

// ----------------------------------------------------------------------------------------
// list

int run_list(const Common& common, bool verbose) {
  std::printf("  %-15s %-13s %-6s %-3s %-9s %s\n", "program", "kind", "OpenMP", "opt", "build",
              "arguments");
  std::string family;
  for (const ProgramInfo& p : catalogue()) {
    if (p.family != family) {
      family = std::string(p.family);
      std::printf("\n%s\n", family.c_str());
    }
    const char* kind = p.kind == Kind::kBenchmark ? "benchmark" : "demonstration";
    std::printf("  %-15s %-13s %-6s %-3s %-9s %s\n", std::string(p.name).c_str(), kind,
                p.openmp ? (p.reads_schedule ? "OpenMP+" : "OpenMP") : "-",
                std::string(p.opt).c_str(), built(common, p.name) ? "built" : "MISSING",
                std::string(p.arguments).c_str());
    if (verbose) {
      if (!p.time_line.empty()) {
        std::printf("      time line:  %s\n", std::string(p.time_line).c_str());
      }
      std::printf("      checks:     %s\n", std::string(p.closed_form).c_str());
      if (p.kind == Kind::kBenchmark) {
        std::printf("      cost model: %s\n", cost_text(p).c_str());
      }
    }
  }
  std::printf(
      "\nOpenMP: the team size comes from OMP_NUM_THREADS (--threads); OpenMP+ also reads "
      "OMP_SCHEDULE (--schedules).\nPrograms are looked for in %s.%s\n",
      common.bin_dir.c_str(), verbose ? "" : " kernelscope list -v shows checks and cost models.");
  return 0;
}

// ----------------------------------------------------------------------------------------
// sweep and tour share the measuring and the writing

struct Written {
  std::vector<SummaryRow> rows;
  std::vector<std::string> plot_images;
  std::string plot_notice;
};

std::vector<RunRecord> measure(const std::vector<Config>& configs, const Common& common,
                               bool keep_demonstrations) {
  Progress progress(isatty(STDERR_FILENO) == 1);
  RunnerOptions options;
  options.bin_dir = common.bin_dir;
  options.timeout_seconds = common.timeout;
  options.keep_demonstration_output = keep_demonstrations;
  options.on_run = [&](std::size_t done, std::size_t total, const std::string& label) {
    progress.update(done, total, label);
  };
  auto runs = run_interleaved(configs, options);
  progress.finish();
  return runs;
}

Written write_results(const std::string& dir, const std::vector<Config>& configs,
                      const std::vector<RunRecord>& runs, const nlohmann::json& context,
                      const std::vector<std::string>& command, bool plots) {
  Written w;
  w.rows = summarize_runs(configs, runs);
  write_file_atomic(dir + "/runs.csv", runs_csv(configs, runs));
  write_file_atomic(dir + "/summary.csv", summary_csv(configs, w.rows));
  write_file_atomic(dir + "/summary.md", summary_markdown(configs, w.rows));
  write_file_atomic(dir + "/results.json",
                    results_json(configs, runs, w.rows, context, command).dump(2) + "\n");
  if (plots) {
    const PlotResult p = draw_plots(dir, configs, w.rows);
    w.plot_images = p.images;
    w.plot_notice = p.notice;
  }
  return w;
}

// Reports the runs that were not valid (a few of them in full) and says whether any was not.
bool report_bad_runs(const std::vector<Config>& configs, const std::vector<RunRecord>& runs) {
  int bad = 0;
  for (const RunRecord& r : runs) {
    if (r.outcome == Outcome::kValid) {
      continue;
    }
    if (++bad <= 8) {
      error_line(fmt::format("{} run of {}: {}", outcome_name(r.outcome), configs[r.config].label(),
                             r.why));
    }
  }
  if (bad > 8) {
    error_line(fmt::format("... {} runs in all were not valid (see runs.csv)", bad));
  }
  return bad > 0;
}

int run_sweep(const Common& common, SweepRequest request, const std::string& out_dir, bool plots,
              const std::vector<std::string>& command) {
  request.memory_limit = physical_memory();
  request.default_threads = usable_cpus();
  std::vector<std::string> notices;
  const std::vector<Config> configs = plan_sweep(request, notices);
  for (const std::string& name : request.programs) {
    if (!built(common, name)) {
      throw UsageError(missing_message(common, name));
    }
  }
  prepare_output_dir(out_dir);
  for (const std::string& n : notices) {
    error_line(n);
  }
  const nlohmann::json context = machine_context(common.bin_dir);
  const auto start = std::chrono::steady_clock::now();
  const std::vector<RunRecord> runs = measure(configs, common, false);
  const Written w = write_results(out_dir, configs, runs, context, command, plots);
  std::fputs(summary_text(configs, w.rows).c_str(), stdout);
  if (!w.plot_notice.empty()) {
    error_line(w.plot_notice);
  }
  const bool bad = report_bad_runs(configs, runs);
  std::printf(
      "%zu runs in %s; results in %s/\n", runs.size(),
      duration_text(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count())
          .c_str(),
      out_dir.c_str());
  return bad ? kRunsFailed : 0;
}

// ----------------------------------------------------------------------------------------
// map

struct MapFiles {
  std::string svg;  // relative to the output folder
};

std::string map_title(const ProgramInfo& p, const RunSpec& spec) {
  std::string title(p.name);
  for (const std::string& a : spec.args) {
    title += " " + a;
  }
  return title + fmt::format(", T={}", spec.threads);
}

// The map as SVG, CSV and JSON, and as PNG when gnuplot is there. Returns a one-line notice
// when the PNG could not be drawn.
std::string write_map_files(const std::string& dir, const std::string& stem, const ProgramInfo& p,
                            const RunSpec& spec, const Trace& trace) {
  const std::string title = map_title(p, spec);
  write_file_atomic(dir + "/" + stem + ".svg", map_svg(trace, title));
  write_file_atomic(dir + "/" + stem + ".csv", map_csv(trace));
  write_file_atomic(dir + "/" + stem + ".json",
                    map_json(trace, std::string(p.name), spec).dump(2) + "\n");
  if (trace.refused || trace.cells.empty()) {
    return "";
  }
  const std::string gnuplot = find_gnuplot();
  if (gnuplot.empty()) {
    return "gnuplot not found: maps drawn as SVG only (install gnuplot-nox for PNG)";
  }
  const std::string abs_dir = std::filesystem::absolute(dir).string();
  write_file_atomic(abs_dir + "/" + stem + ".dat", map_gnuplot_data(trace));
  write_file_atomic(abs_dir + "/" + stem + ".gp", map_gnuplot_script(trace, title, stem));
  std::string problem = run_gnuplot(gnuplot, abs_dir + "/" + stem + ".gp", abs_dir);
  std::error_code ec;
  if (problem.empty()) {
    std::filesystem::rename(abs_dir + "/" + stem + ".png.part", abs_dir + "/" + stem + ".png", ec);
  } else {
    std::filesystem::remove(abs_dir + "/" + stem + ".png.part", ec);
  }
  return problem;
}

int run_map(const Common& common, const std::string& name, const std::vector<std::string>& args,
            int threads, const std::string& out_dir) {
  const ProgramInfo* p = find_program(name);
  if (p == nullptr) {
    throw UsageError(
        fmt::format("unknown program '{}' (kernelscope list shows the catalogue)", name));
  }
  if (p->kind != Kind::kDemonstration) {
    throw UsageError(fmt::format(
        "{} is a benchmark; map draws the demonstrations (kernelscope sweep measures it)", name));
  }
  if (threads < 1 || threads > 1024) {
    throw UsageError("--threads must be between 1 and 1024");
  }
  if (!built(common, name)) {
    throw UsageError(missing_message(common, name));
  }
  prepare_output_dir(out_dir);
  RunSpec spec;
  spec.args = args;
  if (args.empty() && p->arg != ArgKind::kNone) {
    // Without arguments, the catalogue's usual ones rather than the usage message.
    std::optional<std::uint64_t> size;
    std::optional<long long> chunk;
    if (!p->default_sizes.empty()) {
      size = parse_sizes(p->default_sizes).front();
    }
    if (!p->default_chunks.empty()) {
      chunk = static_cast<long long>(parse_list(p->default_chunks, 2147483647).front());
    }
    spec.args = program_args(*p, size, chunk);
  }
  spec.threads = threads;
  ks::RunOptions options;
  options.args = spec.args;
  options.env["OMP_NUM_THREADS"] = std::to_string(threads);
  options.timeout_seconds = common.timeout;
  const ks::RunResult result = ks::run_program(common.bin_dir + "/" + name, options);
  const Trace trace = p->trace(spec, result);
  const std::string notice = write_map_files(out_dir, "map", *p, spec, trace);
  if (!notice.empty()) {
    error_line(notice);
  }
  std::fputs(map_text(trace, map_title(*p, spec), isatty(STDOUT_FILENO) == 1).c_str(), stdout);
  std::printf("map written to %s/ (map.svg%s, map.csv, map.json)\n", out_dir.c_str(),
              std::filesystem::exists(out_dir + "/map.png") ? ", map.png" : "");
  return trace.problems.empty() ? 0 : kRunsFailed;
}

// ----------------------------------------------------------------------------------------
// tour

int run_tour(const Common& common, const std::string& out_dir, double scale, bool plots,
             const std::vector<std::string>& command) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::string> notices;
  std::vector<Config> all = plan_tour(notices, physical_memory(), scale);
  std::vector<Config> configs;
  std::vector<std::string> missing;
  for (const Config& c : all) {
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
  prepare_output_dir(out_dir);
  const nlohmann::json context = machine_context(common.bin_dir);
  const std::vector<RunRecord> runs = measure(configs, common, true);
  const Written w = write_results(out_dir, configs, runs, context, command, plots);

  // Maps of the demonstrations, from their (last) run at each team size.
  struct DemoLine {
    std::string program;
    int threads;
    std::string verdict;
    bool ok;
    std::string svg;
  };
  std::vector<DemoLine> demos;
  std::map<std::size_t, const RunRecord*> last_run;
  std::string map_notice;
  for (const RunRecord& r : runs) {
    if (r.result) {
      last_run[r.config] = &r;
    }
  }
  if (!last_run.empty()) {
    std::filesystem::create_directories(out_dir + "/maps");
  }
  for (const auto& [index, record] : last_run) {
    const Config& c = configs[index];
    const RunSpec spec = c.spec();
    const Trace trace = c.program->trace(spec, *record->result);
    const std::string stem = fmt::format("{}-T{}", c.program->name, c.threads);
    const std::string notice = write_map_files(out_dir + "/maps", stem, *c.program, spec, trace);
    if (!notice.empty() && map_notice.empty()) {
      map_notice = notice;
      error_line(notice);
    }
    demos.push_back({std::string(c.program->name), c.threads, verdict_line(trace),
                     trace.problems.empty(), "maps/" + stem + ".svg"});
  }

  // The report.
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::string md = "# kernelscope tour\n\n";
  md += fmt::format("{} on {} ({} CPUs, {:.1f} GiB), {}, revision {}. {} runs in {}.\n\n",
                    context.value("date", ""), context["cpu"].value("model", "?"),
                    context["cpu"].value("usable_cpus", 0),
                    context["memory"].value("total_bytes", std::uint64_t{0}) / 1073741824.0,
                    context.value("kernel", ""), context.value("source_revision", "unknown"),
                    runs.size(), duration_text(elapsed));
  md +=
      "Every run's printed values were checked against their closed forms; raw runs are in "
      "[runs.csv](runs.csv), statistics in [summary.csv](summary.csv), everything with the "
      "machine context in [results.json](results.json).\n\n";
  if (!missing.empty()) {
    md += "**Missing from the build:**";
    for (const std::string& m : missing) {
      md += " `" + m + "`";
    }
    md += "\n\n";
  }
  md += "## Measurements\n\n" + summary_markdown(configs, w.rows) + "\n";
  if (!w.plot_images.empty()) {
    md += "## Plots\n\n";
    for (const std::string& img : w.plot_images) {
      md += fmt::format("![{}]({})\n\n", std::filesystem::path(img).stem().string(), img);
    }
  } else if (!w.plot_notice.empty()) {
    md += "## Plots\n\nNot drawn: " + w.plot_notice + "\n\n";
  }
  if (!demos.empty()) {
    md += "## Demonstrations\n\n| program | T | verdict |\n|---|---:|---|\n";
    for (const DemoLine& d : demos) {
      md += fmt::format("| {} | {} | {} |\n", d.program, d.threads, d.verdict);
    }
    md += "\n";
    for (const DemoLine& d : demos) {
      md += fmt::format("![{} T={}]({})\n\n", d.program, d.threads, d.svg);
    }
  }
  int bad = 0;
  for (const RunRecord& r : runs) {
    bad += r.outcome == Outcome::kValid ? 0 : 1;
  }
  if (bad > 0) {
    md += fmt::format("## Runs that were not valid ({})\n\n", bad);
    for (const RunRecord& r : runs) {
      if (r.outcome != Outcome::kValid) {
        md += fmt::format("- {} ({}): {}\n", configs[r.config].label(), outcome_name(r.outcome),
                          r.why);
      }
    }
  }
  write_file_atomic(out_dir + "/report.md", md);

  // The terminal: benchmarks, then one line per demonstration.
  std::vector<Config> bench_configs;
  std::vector<SummaryRow> bench_rows;
  for (const SummaryRow& row : w.rows) {
    if (configs[row.config].program->kind == Kind::kBenchmark) {
      bench_rows.push_back(row);
    }
  }
  if (!bench_rows.empty()) {
    std::fputs(summary_text(configs, bench_rows).c_str(), stdout);
  }
  if (!demos.empty()) {
    // One line per demonstration: the team sizes that follow its rule together, any other
    // on a line of its own with what went wrong.
    std::printf("\n");
    std::map<std::string, std::vector<const DemoLine*>> by_program;
    std::vector<std::string> order;
    for (const DemoLine& d : demos) {
      if (by_program.find(d.program) == by_program.end()) {
        order.push_back(d.program);
      }
      by_program[d.program].push_back(&d);
    }
    for (const std::string& program : order) {
      std::string good;
      for (const DemoLine* d : by_program[program]) {
        if (d->ok) {
          good += fmt::format("{}{}", good.empty() ? "T=" : ",", d->threads);
        } else {
          std::printf("%-15s T=%-6d %s\n", program.c_str(), d->threads, d->verdict.c_str());
        }
      }
      if (!good.empty()) {
        std::printf("%-15s %-8s follows the rule\n", program.c_str(), good.c_str());
      }
    }
  }
  if (!w.plot_notice.empty()) {
    error_line(w.plot_notice);
  }
  const bool failed = report_bad_runs(configs, runs);
  std::printf("\n%zu runs in %s; report in %s/report.md\n", runs.size(),
              duration_text(elapsed).c_str(), out_dir.c_str());
  return failed || !missing.empty() ? kRunsFailed : 0;
}

}  // namespace

// Tables and lines that could not be written are a failure, not a success: checked as the
// process ends. A closed pipe shows up here as a failed write (SIGPIPE is ignored; the
// programs run with its default action).
static void check_standard_output() {
  errno = 0;
  const bool flush_failed = std::fflush(stdout) != 0;
  const int flush_errno = errno;
  if (flush_failed || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "kernelscope: cannot write standard output: %s\n",
                 flush_errno != 0 ? std::strerror(flush_errno) : "write error");
    _exit(kRunsFailed);
  }
}

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::atexit(check_standard_output);
  CLI::App app{
      "kernelscope: runs the suite's programs, checks what they print, measures and "
      "plots"};
  app.require_subcommand(1);
  app.fallthrough();  // --bin and --timeout also after the subcommand
  Common common;
  common.bin_dir = default_bin_dir();
  app.add_option("--bin", common.bin_dir, "folder of the suite's programs")
      ->envname("KERNELSCOPE_BIN");
  app.add_option("--timeout", common.timeout, "seconds a run may take before it is killed")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.footer(
      "Exit status: 0 when every run was valid; 1 when a run printed a wrong value, crashed, "
      "failed or timed out (or, in a tour, a program is missing from the build); 2 for bad "
      "input.");

  bool verbose = false;
  auto* list = app.add_subcommand("list", "the catalogue of programs");
  list->add_flag("-v,--verbose", verbose, "also show checks, time lines and cost models");

  SweepRequest request;
  std::string sizes, threads, schedules, chunks;
  std::string sweep_out = "kernelscope-report-sweep";
  bool no_plots = false;
  auto* sweep = app.add_subcommand("sweep", "repeated, interleaved, validated runs");
  sweep->add_option("programs", request.programs, "programs to run")->required();
  sweep->add_option("--sizes", sizes,
                    "sizes: 1000,4000 or 1K..32M (doubling), 64K..16Mx4, 100..500+100");
  sweep->add_option("--threads", threads, "OMP_NUM_THREADS values: 1,2,4 or 1..8");
  sweep->add_option("--schedules", schedules,
                    "OMP_SCHEDULE values, ';'-separated: \"static;dynamic,4;guided\"");
  sweep->add_option("--chunks", chunks, "chunk sizes for the chunked demonstrations");
  sweep->add_option("--repeat", request.repeat, "measured runs per configuration")->default_val(5);
  sweep->add_option("--warmup", request.warmup, "unmeasured runs per configuration first")
      ->default_val(1);
  sweep->add_option("--out", sweep_out, "output folder")->default_val(sweep_out);
  sweep->add_flag("--cap", request.allow_cap, "run sizes above a program's cap (capped by it)");
  sweep->add_flag("--no-plots", no_plots, "write no plots");

  std::string map_program;
  std::vector<std::string> map_args;
  int map_threads = 4;
  std::string map_out = "kernelscope-report-map";
  auto* map = app.add_subcommand("map", "who ran which iteration of a demonstration");
  map->add_option("program", map_program, "a demonstration")->required();
  map->add_option("args", map_args,
                  "its arguments (after -- when they start with -); the usual ones when none");
  map->add_option("--threads", map_threads, "team size")->default_val(4);
  map->add_option("--out", map_out, "output folder")->default_val(map_out);

  std::string tour_out = "kernelscope-report";
  double tour_scale = 1.0;
  auto* tour = app.add_subcommand("tour", "every family at sizes that finish in minutes");
  tour->add_option("--out", tour_out, "output folder")->default_val(tour_out);
  tour->add_option("--scale", tour_scale, "scales the repetitions (0.2 for a quick look)")
      ->check(CLI::Range(0.01, 100.0));
  tour->add_flag("--no-plots", no_plots, "write no plots");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    error_line(std::string(e.what()) + " (kernelscope --help)");
    return kBadInput;
  }

  try {
    if (list->parsed()) {
      return run_list(common, verbose);
    }
    if (sweep->parsed()) {
      if (!sizes.empty()) {
        request.sizes = sizes;
      }
      if (!threads.empty()) {
        request.threads = threads;
      }
      if (!schedules.empty()) {
        request.schedules = schedules;
      }
      if (!chunks.empty()) {
        request.chunks = chunks;
      }
      return run_sweep(common, request, sweep_out, !no_plots, command_line(argc, argv));
    }
    if (map->parsed()) {
      return run_map(common, map_program, map_args, map_threads, map_out);
    }
    if (tour->parsed()) {
      return run_tour(common, tour_out, tour_scale, !no_plots, command_line(argc, argv));
    }
  } catch (const UsageError& e) {
    error_line(e.what());
    return kBadInput;
  } catch (const std::exception& e) {
    error_line(e.what());
    return kBadInput;
  }
  return kBadInput;
}
