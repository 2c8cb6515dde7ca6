// The measuring that sweep, tour and map share, around the run store: the output folder taken
// (its lock; a store there continued, replaced or refused), the plan announced with an estimate
// of its time, the runs made in the plan's order with each one committed to results.db before the
// next starts, interruption by a signal, and the folder's files rendered from the store.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/analysis/ceilings.h"
#include "driver/analysis/stored_results.h"
#include "driver/plan/omp_env.h"
#include "driver/report/exporters.h"
#include "driver/results/results.h"
#include "driver/store/store.h"

namespace ks::driver {

struct MeasureOptions {
  std::string kind = "sweep";  // what makes the store: sweep, tour or map
  std::string out;             // the output folder
  std::string bin_dir;
  double timeout_seconds = 60;
  bool resume = false;                    // continue the store in `out`: run only what it lacks
  bool force = false;                     // replace whatever an earlier command left in `out`
  bool no_plots = false;                  // render no plots
  std::vector<std::string> command = {};  // the driver's command line
  std::vector<std::string> missing = {};  // a tour's programs missing from the build
  OpenmpEnvironment openmp = {};          // the caller's OpenMP variables passed on, the placement
  // Told each warning about the machine (a high load, more threads than CPUs) before the runs.
  std::function<void(const std::string&)> on_warning = {};
  // Told the plan's line (its runs and their estimated time) once the folder is taken, before
  // the runs: the terminal shows it.
  std::function<void(const std::string&)> on_plan = {};
  // The machine's ceilings (cmd_probe.cpp finds them): the context carries them and every
  // configuration gets the model's prediction. Without them, no model.
  const KnownCeilings* ceilings = nullptr;
  bool count_events = true;  // performance events, where the machine has them
  bool sync = false;         // each run's commit synced to the disk, not only written
};

struct Measurement {
  std::string kind;                 // as in MeasureOptions
  ResultSet results;                // rendered from the store (or, when it failed, from memory)
  Exports exports;                  // what the renderings wrote
  std::vector<std::string> failed;  // one line per file (the store included) not written
  int signal = 0;                   // the signal that interrupted the runs; 0: none
  std::size_t planned = 0;          // runs in the plan
  std::size_t completed = 0;        // runs of it completed, earlier ones included
  std::size_t ran = 0;              // runs made by this command
  double seconds = 0;               // this command's time
};

// Takes the output folder and runs what the plan lacks there. Throws UsageError (nothing has
// run): the folder is busy, cannot be made, holds a store that is neither resumed nor forced,
// or one whose plan is another.
Measurement measure(const Plan& plan, const MeasureOptions& options);

// Writes the files of a store of `kind` into `dir`: every format for a sweep, and report.md
// with the maps for a tour; map.* for a map.
Exports render(const std::string& dir, std::string_view kind, const ResultSet& results,
               bool no_plots);

// Seconds per configuration label, from the runs of an earlier store.
std::map<std::string, double> earlier_seconds(const StoreContents& contents);

// One run's expected time: the median of the earlier runs of the same configuration, else the
// model's kernel time by the machine's ceilings (when given) with the program's first touch and
// fill of its memory around it, else the catalogue's cost model at modest rates.
double expected_seconds(const Config& c, const std::map<std::string, double>& earlier,
                        const Ceilings* ceilings = nullptr);

// "40 runs planned (8 configurations); about 12 s (from the catalogue's cost models)", for the
// planned runs in `todo`.
std::string plan_line(const Plan& plan, const std::vector<std::size_t>& todo,
                      const std::map<std::string, double>& earlier,
                      const Ceilings* ceilings = nullptr);

// Why a folder that holds an earlier command's store is refused, with the ways on, the one
// that keeps the earlier results first: "DIR holds the results of an earlier sweep
// (results.db): --out NEWDIR measures into another folder, --resume continues it, --force
// replaces it". `resumable`: whether --resume could continue it (a map's cannot).
std::string occupied_folder(const std::string& out, std::string_view earlier_kind, bool resumable);

// What a command of `kind` may do with the output folder `out`, decided in one place for the
// real run and its dry run: continue its store (--resume), replace it (--force, or a map's by
// another map), or neither (`refusal` says why). Throws UsageError when --resume cannot
// continue it (no store that opens, another kind's, another plan).
struct FolderVerdict {
  std::optional<StoreContents> earlier;  // the store found in the folder, when it opens
  bool continues = false;                // --resume continues it
  std::string refusal;                   // empty when the command may take the folder
};
FolderVerdict judge_folder(const std::string& out, std::string_view kind, const Plan& plan,
                           bool resume, bool force);

// The command line that resumes `command`: its --force dropped, --resume added, each word
// quoted for a POSIX shell where it needs to be.
std::string resume_command(const std::vector<std::string>& command);

// A tour's time in report.md: the sum of its runs' times.
double runs_seconds(const ResultSet& results);

}  // namespace ks::driver
