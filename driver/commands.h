// The driver's subcommands. Each has its own options, a setup function that registers them
// with CLI11, and the run that follows when it was chosen on the command line.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "driver/ceilings.h"
#include "driver/results.h"

namespace ks::driver {

inline constexpr int kRunsFailed = 1;  // a run was not valid, or an output could not be written
inline constexpr int kBadInput = 2;

// The options given before (or, as CLI11 falls through, after) the subcommand.
struct Common {
  std::string bin_dir;
  double timeout = 60;
  std::vector<std::string> command;  // the whole command line, for the result set
  // The machine's ceilings for the model (cmd_probe.cpp).
  std::string ceilings_file;  // use this probe output (or cache file) instead
  bool no_probe = false;      // no ceilings, no model: never run the probe
  bool reprobe = false;       // measure them again even when the cache has them
  bool no_events = false;     // count no performance events (wait4's counters stay)
};

struct Subcommand {
  CLI::App* app;
  std::function<int()> run;  // returns the exit status; throws UsageError, WriteError
};

Subcommand setup_list(CLI::App& app, const Common& common);   // cmd_list.cpp
Subcommand setup_sweep(CLI::App& app, const Common& common);  // cmd_sweep.cpp
Subcommand setup_map(CLI::App& app, const Common& common);    // cmd_map.cpp
Subcommand setup_tour(CLI::App& app, const Common& common);   // cmd_tour.cpp
Subcommand setup_probe(CLI::App& app, const Common& common);  // cmd_probe.cpp

// The machine's ceilings for a sweep or a tour: the file given, else the per-user cache, else
// a probe run now (and cached). Nothing, after one line on standard error, when the probe is
// missing from the build or fails, and nothing with --no-probe. Throws UsageError for a
// --ceilings file that cannot be used.
std::optional<KnownCeilings> ceilings_for_measuring(const Common& common);
// The one line about performance events, said once before the runs ("" when there is none).
std::string events_notice(const Common& common);

// What the subcommands share.
void error_line(const std::string& what);  // "kernelscope: <what>" on standard error
bool built(const Common& common, std::string_view name);
std::string missing_message(const Common& common, std::string_view name);
// Reports the runs that were not valid (a few of them in full) on standard error; says whether
// there was any.
bool report_bad_runs(const ResultSet& results);

}  // namespace ks::driver
