// The driver's subcommands. Each has its own options, a setup function that registers them
// with CLI11, and the run that follows when it was chosen on the command line.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "driver/analysis/ceilings.h"
#include "driver/base/errors.h"
#include "driver/plan/omp_env.h"
#include "driver/plan/plan.h"
#include "driver/report/summary_table.h"
#include "driver/results/results.h"
#include "driver/session/measure.h"
#include "driver/store/store.h"

namespace ks::driver {

// A run may take at most a day before it is killed.
inline constexpr double kMaxTimeout = 86400;

// The options that apply to several subcommands; each is accepted before the subcommand too.
struct Common {
  std::string bin_dir;
  double timeout = 60;
  std::vector<std::string> command;  // the whole command line, for the result set
  // The machine's ceilings for the model (cmd_probe.cpp).
  std::string ceilings_file;  // use this probe output (or cache file) instead
  bool no_probe = false;      // no ceilings, no model: never run the probe
  bool reprobe = false;       // measure them again even when the cache has them
  bool no_events = false;     // count no performance events (wait4's counters stay)
  bool sync = false;          // each run's commit synced to the disk (survives a power cut)
};

struct Subcommand {
  CLI::App* app;
  std::function<int()> run;  // returns the exit status; throws UsageError, WriteError
};

Subcommand setup_list(CLI::App& app, Common& common);     // cmd_list.cpp
Subcommand setup_sweep(CLI::App& app, Common& common);    // cmd_sweep.cpp
Subcommand setup_map(CLI::App& app, Common& common);      // cmd_map.cpp
Subcommand setup_tour(CLI::App& app, Common& common);     // cmd_tour.cpp
Subcommand setup_report(CLI::App& app, Common& common);   // cmd_report.cpp
Subcommand setup_compare(CLI::App& app, Common& common);  // cmd_compare.cpp
Subcommand setup_probe(CLI::App& app, Common& common);    // cmd_probe.cpp
Subcommand setup_explain(CLI::App& app, Common& common);  // cmd_explain.cpp
Subcommand setup_status(CLI::App& app, Common& common);   // cmd_cluster.cpp
Subcommand setup_resume(CLI::App& app, Common& common);   // cmd_cluster.cpp
Subcommand setup_task(CLI::App& app, Common& common);     // cmd_cluster.cpp

// status and resume of a folder measured here, not on Slurm (local_folder.cpp): what its store
// holds, and the store's command run again into it with --resume (its --out the folder as
// named now, its --force and --dry-run dropped, its --bin replaced by this kernelscope's).
int local_status(const std::string& dir);
int local_resume(const std::string& dir, const std::string& bin_dir);
std::vector<std::string> local_resume_words(const std::string& dir, const StoreContents& contents,
                                            const std::string& bin_dir);

// The common options, for the app itself and for each subcommand they apply to, so that every
// subcommand's help lists them: --bin (the programs' folder) and --timeout (seconds per run).
void add_bin_option(CLI::App& app, Common& common);
void add_timeout_option(CLI::App& app, Common& common);
// --sync: every run's commit synced to the disk (sweep and tour).
void add_sync_option(CLI::App& app, Common& common);

// Checks an option's value: a finite number from `low` to `high`; else "'TEXT' is not <what>".
CLI::Validator number_between(double low, double high, std::string what);
// --ceilings, --no-probe, --reprobe and --no-events, for the app and the subcommands that
// measure.
void add_model_options(CLI::App& app, Common& common);

// The machine's ceilings for a sweep or a tour: the file given, else the per-user cache, else
// a probe run now (and cached). Nothing, after one line on standard error, when the probe is
// missing from the build or fails, and nothing with --no-probe. Throws UsageError for a
// --ceilings file that cannot be used.
std::optional<KnownCeilings> ceilings_for_measuring(const Common& common);
// The ceilings known without measuring: the file given, or the cache's (a dry run's estimate).
std::optional<KnownCeilings> ceilings_known(const Common& common);
// The one line about performance events, said once before the runs ("" when there is none).
std::string events_notice(const Common& common);

// What the subcommands share.
void error_line(const std::string& what);    // "kernelscope: <what>" on standard error
void warning_line(const std::string& what);  // "kernelscope: warning: <what>"
void output_line(const std::string& line);   // a line on standard output, flushed at once
// The pointer to the help every usage error ends with: "(kernelscope help sweep)", or
// "(kernelscope help)" for an error outside any subcommand (or of help itself).
std::string help_pointer(std::string_view subcommand);

// --bind and --places, for the subcommands that run OpenMP programs.
void add_placement_options(CLI::App* app, Placement& placement);
// The OpenMP environment of the runs from the options given and the caller's variables, with
// its notices (for the caller to show once the rest of the input is accepted); throws
// UsageError for a placement that is not valid.
OpenmpEnvironment openmp_environment(const Placement& asked);

bool built(const Common& common, std::string_view name);
std::string missing_message(const Common& common, std::string_view name);
// Reports the runs that were not valid (a few of them in full) on standard error; says whether
// there was any.
bool report_bad_runs(const ResultSet& results);

// A tour's results on the terminal: the benchmarks' table, then one line per demonstration
// (the team sizes that follow its rule together, any other on a line of its own with what went
// wrong). In cmd_tour.cpp.
void print_tour(const ResultSet& results, const TerminalLayout& layout = {});

// --wide: every column of the terminal's table, however wide the terminal.
void add_wide_option(CLI::App& app, bool& wide);
// The terminal's table for this process: as wide as $COLUMNS says, else as the terminal on
// standard output, else 100 columns; every column with `wide`.
TerminalLayout terminal_layout(bool wide);

// --resume, --force and --dry-run of a subcommand that measures a plan.
void add_store_options(CLI::App& app, bool& resume, bool& force, bool& dry_run);
// --dry-run: the plan, one line per configuration, and its size and estimated time (with
// --resume, of what the store in `out` lacks), and why the real run would be refused when the
// folder holds an earlier command's results; nothing runs, nothing is written. Status 0.
// The end of a measuring command's last line: the page to open ("open DIR/report.html (or
// report.md)"), by what its exports wrote.
std::string page_to_open(const std::string& out, const Exports& exports);

struct DryRun {
  std::string_view kind;  // sweep, tour, map
  std::string out;
  bool resume = false;
  bool force = false;
  const Ceilings* ceilings = nullptr;  // for the estimate, when known
};
int print_dry_run(const Plan& plan, const DryRun& run);
// The end of a measuring command, once its results are printed: each file that could not be
// written, and after an interruption what was kept and the command that resumes. Returns the
// exit status: 128 + the signal after an interruption; 1 when a run was not valid (`bad_runs`)
// or a file could not be written; 0 otherwise.
int finish(const Measurement& m, const std::string& out, const Common& common, bool bad_runs);

}  // namespace ks::driver
