// Following a job array to its end, and the end itself: the tasks' stores merged into
// results.db, every file rendered from it, each task that did not complete reported. What it
// has to say goes to the caller's ClusterOutput, which shows it on the terminal; the progress
// line alone is written on standard error here, as a measuring session's is.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "driver/cluster/cluster.h"
#include "driver/results/results.h"

namespace ks::driver {

// What a command on a Slurm job shows, handed to its caller. An empty function drops it.
struct ClusterOutput {
  // Text for standard output, each piece one or more whole lines: the submission, the batch
  // script of a dry run, the merge, the results' table and where the results are.
  std::function<void(const std::string&)> on_output = {};
  // One line for standard error, without the driver's prefix: a notice, a problem, a task
  // that did not complete, the runs still missing.
  std::function<void(const std::string&)> on_error = {};
  // A tour's results once its runs are merged (a sweep's table comes as output text).
  std::function<void(const ResultSet&)> on_tour = {};

  void output(const std::string& text) const;
  void error(const std::string& line) const;
};

// The states of the tasks of every submission, with the runs each stored; throws UsageError
// when Slurm cannot be asked (one line).
std::vector<TaskReport> task_reports(const std::string& dir, const ClusterJob& job,
                                     bool count_runs);

// Follows the last submission of the job in `dir` until its tasks have ended (progress on
// standard error), unless `wait` is false; then merges the tasks' stores into results.db,
// renders every file and reports each task that did not complete. Needs the folder's lock.
// Returns the exit status.
int follow_job(const std::string& dir, ClusterJob job, bool wait, const ClusterOutput& out);

// The end of a job whose tasks have all ended: the tasks' stores merged into results.db, every
// file rendered, each task that did not complete reported. Needs the folder's lock. Returns
// the exit status.
int finish_job(const std::string& dir, const ClusterJob& job, const ClusterOutput& out);

}  // namespace ks::driver
