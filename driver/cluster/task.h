// The task a Slurm array runs on each node (kernelscope task DIR --submission S --index I): its
// runs, those its store still lacks, made with this node's machine recorded and each stored as
// it ends. What it has to say goes to the caller's ClusterOutput.
#pragma once

#include <cstddef>
#include <string>

#include "driver/cluster/follow.h"

namespace ks::driver {

struct TaskStart {
  std::string dir;             // the job's output folder
  std::size_t submission = 0;  // the submission the task belongs to
  int index = -1;              // its index in that submission's array
  std::string bin_dir = {};    // the programs' folder
  double timeout_seconds = 60;
};

// Runs the task; throws UsageError when the folder's job has no such task or its store cannot
// be opened. Returns the exit status: 128 + the signal that stopped it, kRunsFailed when a run
// was not valid or could not be stored, else 0.
int run_task(const TaskStart& start, const ClusterOutput& out);

}  // namespace ks::driver
