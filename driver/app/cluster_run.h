// sweep and tour on a Slurm cluster: the options, the submission of a plan's runs as one job
// array (the first one and each resume), following the job, and the end: the tasks' stores
// merged into results.db and every file rendered from it. The subcommands status, resume and
// the tasks' own (cmd_cluster.cpp) share it.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "driver/app/commands.h"
#include "driver/cluster/cluster.h"

namespace ks::driver {

struct SlurmOptions {
  bool slurm = false;
  std::string partition;
  int nodes = 0;
  std::string nodelist;
  std::string time;
  std::string account;
  std::vector<std::string> sbatch_args;
  bool per_node = false;
  bool no_wait = false;
};

// --slurm and the options that go with it.
void add_slurm_options(CLI::App& app, SlurmOptions& slurm);

// A notice for each Slurm option given without --slurm (they do nothing then).
void check_slurm_options(const CLI::App& app, const SlurmOptions& slurm);

struct ClusterStart {
  std::string kind;  // sweep or tour
  std::string out;
  bool resume = false;
  bool force = false;
  bool dry_run = false;
  bool no_plots = false;
  std::vector<std::string> missing;  // a tour's programs missing from the build
};

// sweep --slurm, tour --slurm: the plan into the folder's store, the runs it lacks submitted as
// one job array, followed to its end unless --no-wait. --dry-run prints the batch script.
int run_on_cluster(const Plan& plan, const Common& common, const SlurmOptions& slurm,
                   const ClusterStart& start);

// The states of the tasks of every submission, with the runs each stored; throws UsageError
// when Slurm cannot be asked (one line).
std::vector<TaskReport> task_reports(const std::string& dir, const ClusterJob& job,
                                     bool count_runs);

// Follows the last submission of the job in `dir` until its tasks have ended (progress on
// standard error), unless `wait` is false; then merges the tasks' stores into results.db,
// renders every file and reports each task that did not complete. Needs the folder's lock.
// Returns the exit status.
int follow_job(const std::string& dir, ClusterJob job, bool wait);

// The end of a job whose tasks have all ended: the tasks' stores merged into results.db, every
// file rendered, each task that did not complete reported. Needs the folder's lock. Returns
// the exit status.
int finish_job(const std::string& dir, const ClusterJob& job);

// The resubmission of what the store in `dir` lacks, with the job's recorded options (a
// `time` given replaces the job's time limit). Refusals throw UsageError.
int resume_job(const std::string& dir, bool no_wait, const std::string& time = {});

}  // namespace ks::driver
