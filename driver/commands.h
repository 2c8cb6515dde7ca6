// The driver's subcommands. Each has its own options, a setup function that registers them
// with CLI11, and the run that follows when it was chosen on the command line.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "driver/omp_env.h"
#include "driver/results.h"

namespace ks::driver {

inline constexpr int kRunsFailed = 1;  // a run was not valid, or an output could not be written
inline constexpr int kBadInput = 2;

// The options given before (or, as CLI11 falls through, after) the subcommand.
struct Common {
  std::string bin_dir;
  double timeout = 60;
  std::vector<std::string> command;  // the whole command line, for the result set
};

struct Subcommand {
  CLI::App* app;
  std::function<int()> run;  // returns the exit status; throws UsageError, WriteError
};

Subcommand setup_list(CLI::App& app, const Common& common);     // cmd_list.cpp
Subcommand setup_sweep(CLI::App& app, const Common& common);    // cmd_sweep.cpp
Subcommand setup_map(CLI::App& app, const Common& common);      // cmd_map.cpp
Subcommand setup_tour(CLI::App& app, const Common& common);     // cmd_tour.cpp
Subcommand setup_compare(CLI::App& app, const Common& common);  // cmd_compare.cpp

// --bind and --places, for the subcommands that run OpenMP programs.
void add_placement_options(CLI::App* app, Placement& placement);
// The OpenMP environment of the runs from the options given and the caller's variables, with
// its notices (for the caller to show once the rest of the input is accepted); throws
// UsageError for a placement that is not valid.
OpenmpEnvironment openmp_environment(const Placement& asked);

// What the subcommands share.
void error_line(const std::string& what);    // "kernelscope: <what>" on standard error
void warning_line(const std::string& what);  // "kernelscope: warning: <what>"
bool built(const Common& common, std::string_view name);
std::string missing_message(const Common& common, std::string_view name);
// Reports the runs that were not valid (a few of them in full) on standard error; says whether
// there was any.
bool report_bad_runs(const ResultSet& results);

}  // namespace ks::driver
