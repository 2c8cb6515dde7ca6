#include "driver/app/commands.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "driver/base/text.h"
#include "driver/results/run_source.h"
#include "driver/run/progress.h"
#include "driver/store/store.h"

namespace ks::driver {
namespace {

// A plain number within bounds: "nan", "inf" and numbers out of range are refused, whatever a
// comparison with NaN would let through.
std::string number_problem(const std::string& text, double low, bool low_open, double high,
                           std::string_view what) {
  const char* begin = text.c_str();
  char* end = nullptr;
  const double value = std::strtod(begin, &end);
  const bool number = end != begin && *end == '\0' && std::isfinite(value);
  if (number && (low_open ? value > low : value >= low) && value <= high) {
    return "";
  }
  return fmt::format("'{}' is not {}", text, what);
}

}  // namespace

void add_bin_option(CLI::App& app, Common& common) {
  app.add_option("--bin", common.bin_dir,
                 "folder of the suite's programs (default: $KERNELSCOPE_BIN, else the folder "
                 "kernelscope is in)")
      ->type_name("DIR")
      ->default_str(common.bin_dir);
}

void add_model_options(CLI::App& app, Common& common) {
  CLI::Option* ceilings =
      app.add_option("--ceilings", common.ceilings_file,
                     "the machine's ceilings from this ks-probe output, not the cache or a probe "
                     "(default: $KERNELSCOPE_CEILINGS)")
          ->type_name("FILE");
  if (app.get_parent() == nullptr) {
    // Read once, by the app: a subcommand's copy would put it back over a value given before
    // the subcommand.
    ceilings->envname("KERNELSCOPE_CEILINGS");
  }
  app.add_flag("--no-probe", common.no_probe,
               "no ceilings and no model: never run the probe before a sweep or tour");
  app.add_flag("--reprobe", common.reprobe, "measure the ceilings again, even if cached");
  app.add_flag("--no-events", common.no_events,
               "count no performance events (the kernel's accounting of each run stays)");
}

void add_timeout_option(CLI::App& app, Common& common) {
  app.add_option("--timeout", common.timeout,
                 fmt::format("seconds a run may take before it is killed (above 0, at most {:g})",
                             kMaxTimeout))
      ->type_name("SECONDS")
      ->check(CLI::Validator(
          [](std::string& text) {
            return number_problem(
                text, 0, true, kMaxTimeout,
                fmt::format("a number of seconds above 0 and at most {:g}, a day", kMaxTimeout));
          },
          ""))
      ->default_str(fmt::format("{:g}", common.timeout));
}

void add_sync_option(CLI::App& app, Common& common) {
  app.add_flag("--sync", common.sync,
               "sync each run's commit to the disk: a run then survives a power cut too, not only "
               "a kill of kernelscope (a sync per run, which costs more than a short run)");
}

CLI::Validator number_between(double low, double high, std::string what) {
  return CLI::Validator(
      [low, high, what](std::string& text) { return number_problem(text, low, false, high, what); },
      "");
}

std::string help_pointer(std::string_view subcommand) {
  return subcommand.empty() || subcommand == "help"
             ? "(kernelscope help)"
             : fmt::format("(kernelscope help {})", subcommand);
}

void error_line(const std::string& what) {
  // Paths, labels and a program's words are in most messages: none may break the line or
  // reach the terminal as a control sequence.
  std::fprintf(stderr, "kernelscope: %s\n", terminal_text(what).c_str());
}

void warning_line(const std::string& what) {
  error_line("warning: " + what);
}

void output_line(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void add_placement_options(CLI::App* app, Placement& placement) {
  app->add_option("--bind", placement.bind,
                  "OMP_PROC_BIND of the OpenMP programs: close, spread, primary, true, false "
                  "(default: the caller's OMP_PROC_BIND, else the runtime's)");
  app->add_option("--places", placement.places,
                  "OMP_PLACES of the OpenMP programs: threads, cores, sockets, ll_caches, "
                  "numa_domains, cores(4), {0,1},{2,3} (default: the caller's, else the "
                  "runtime's)");
}

OpenmpEnvironment openmp_environment(const Placement& asked) {
  if (!asked.bind.empty()) {
    check_bind(asked.bind);
  }
  if (!asked.places.empty()) {
    check_places(asked.places);
  }
  return resolve_openmp_environment(asked, caller_openmp_variables());
}

bool built(const Common& common, std::string_view name) {
  return access((common.bin_dir + "/" + std::string(name)).c_str(), X_OK) == 0;
}

std::string missing_message(const Common& common, std::string_view name) {
  return fmt::format("{} is in the catalogue but missing from the build (no executable {}/{})",
                     name, common.bin_dir, name);
}

bool report_bad_runs(const ResultSet& results) {
  const std::vector<std::string> lines = bad_run_lines(results);
  for (const std::string& line : lines) {
    error_line(line);
  }
  return !lines.empty();
}

void add_wide_option(CLI::App& app, bool& wide) {
  app.add_flag("--wide", wide,
               "every column of the table on the terminal (by default those that fit its width)");
}

TerminalLayout terminal_layout(bool wide) {
  TerminalLayout layout{.width = 100, .wide = wide};
  if (const char* columns = std::getenv("COLUMNS"); columns != nullptr && *columns != '\0') {
    char* end = nullptr;
    const long n = std::strtol(columns, &end, 10);
    if (*end == '\0' && n >= 20 && n <= 10000) {
      layout.width = static_cast<std::size_t>(n);
      return layout;
    }
  }
  winsize size{};
  if (isatty(STDOUT_FILENO) == 1 && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 &&
      size.ws_col >= 20) {
    layout.width = size.ws_col;
  }
  return layout;
}

void add_store_options(CLI::App& app, bool& resume, bool& force, bool& dry_run) {
  auto* r = app.add_flag("--resume", resume,
                         "continue the store in the output folder: run only what it lacks");
  auto* f =
      app.add_flag("--force", force, "replace what an earlier command left in the output folder");
  r->excludes(f);
  app.add_flag("--dry-run", dry_run, "print the plan and its estimated time, run nothing");
}

std::string page_to_open(const std::string& out, const Exports& exports) {
  const std::vector<std::string>& files = exports.of("report").files;
  auto wrote = [&](std::string_view name) {
    return std::find(files.begin(), files.end(), name) != files.end();
  };
  const std::string dir = terminal_text(out);
  if (wrote("report.html")) {
    return fmt::format("open {}/report.html{}", dir, wrote("report.md") ? " (or report.md)" : "");
  }
  return wrote("report.md") ? fmt::format("report in {}/report.md", dir)
                            : fmt::format("no report written in {}", dir);
}

int print_dry_run(const Plan& plan, const DryRun& run) {
  const std::string& out = run.out;
  const bool resume = run.resume;
  std::vector<std::size_t> todo(plan.runs.size());
  for (std::size_t i = 0; i < todo.size(); ++i) {
    todo[i] = i;
  }
  // What the real run would do with the folder, and say when it would not take it.
  const FolderVerdict folder = judge_folder(out, run.kind, plan, resume, run.force);
  const std::string& refusal = folder.refusal;
  std::map<std::string, double> earlier;
  if (folder.earlier) {
    earlier = earlier_seconds(*folder.earlier);
  }
  if (folder.continues) {
    std::vector<bool> done(plan.runs.size(), false);
    for (const StoredRun& stored : folder.earlier->runs) {
      done[stored.planned] = true;
    }
    std::erase_if(todo, [&](std::size_t seq) { return done[seq]; });
  }
  std::vector<std::size_t> runs(plan.configs.size(), 0);
  for (std::size_t seq : todo) {
    ++runs[plan.runs[seq].config];
  }
  std::string text;
  for (std::size_t i = 0; i < plan.configs.size(); ++i) {
    const Config& c = plan.configs[i];
    text += fmt::format("{:>6}  {:<40} {} warm-up{} + {} measured{}\n", i + 1, c.label(), c.warmup,
                        c.warmup == 1 ? "" : "s", c.repeat,
                        runs[i] == static_cast<std::size_t>(c.warmup + c.repeat)
                            ? std::string()
                            : fmt::format(" ({} to go)", runs[i]));
  }
  std::fputs(text.c_str(), stdout);
  std::printf("%s\n", plan_line(plan, todo, earlier, run.ceilings).c_str());
  if (!refusal.empty()) {
    std::printf("the real run would be refused: %s\n", terminal_text(refusal).c_str());
  }
  return 0;
}

int finish(const Measurement& m, const std::string& out, const Common& common, bool bad_runs) {
  for (const std::string& line : m.failed) {
    error_line(line);
  }
  if (m.signal != 0) {
    const char* name = m.signal == SIGINT    ? "SIGINT"
                       : m.signal == SIGTERM ? "SIGTERM"
                       : m.signal == SIGHUP  ? "SIGHUP"
                                             : strsignal(m.signal);
    if (m.kind == "map" && m.completed < m.planned) {
      error_line(fmt::format("interrupted by {} before its run was done: no map", name));
    } else if (m.completed < m.planned) {
      error_line(fmt::format(
          "interrupted by {}: {} of {} planned runs done, kept in {}/{}; "
          "resume with: {}",
          name, m.completed, m.planned, out, kStoreFile, resume_command(common.command)));
    } else {
      error_line(fmt::format("interrupted by {} once every planned run was done", name));
    }
    return 128 + m.signal;
  }
  return bad_runs || !m.failed.empty() ? kRunsFailed : 0;
}

}  // namespace ks::driver
