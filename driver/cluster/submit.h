// sweep and tour on a Slurm cluster: the submission of a plan's runs as one job array (the
// first one and each resume), then following the job to its end (follow.h). What the
// submission has to say goes to the caller's ClusterOutput, as the following's does.
#pragma once

#include <string>
#include <vector>

#include "driver/cluster/follow.h"
#include "driver/plan/plan.h"

namespace ks::driver {

// The Slurm options of sweep --slurm and tour --slurm.
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

struct ClusterStart {
  std::string kind;  // sweep or tour
  std::string out;
  bool resume = false;
  bool force = false;
  bool dry_run = false;
  bool no_plots = false;
  std::vector<std::string> missing = {};  // a tour's programs missing from the build
  std::string bin_dir = {};               // the programs' folder the tasks run from
  double timeout_seconds = 60;            // a run's time limit in the tasks
  std::vector<std::string> command = {};  // the driver's command line, for the store
};

// sweep --slurm, tour --slurm: the plan into the folder's store, the runs it lacks submitted as
// one job array, followed to its end unless --no-wait. --dry-run hands out the batch script.
// Refusals throw UsageError.
int run_on_cluster(const Plan& plan, const SlurmOptions& slurm, const ClusterStart& start,
                   const ClusterOutput& out);

// The resubmission of what the store in `dir` lacks, with the job's recorded options (a
// `time` given replaces the job's time limit). Refusals throw UsageError.
int resume_job(const std::string& dir, bool no_wait, const std::string& time,
               const ClusterOutput& out);

}  // namespace ks::driver
