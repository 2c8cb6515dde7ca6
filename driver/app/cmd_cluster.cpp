// kernelscope status DIR, kernelscope resume DIR, and the task a Slurm array runs on each node
// (kernelscope task DIR --submission S --index I, not shown in the help; its run is
// cluster/task.cpp's).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

#include <fmt/format.h>

#include "driver/app/commands.h"
#include "driver/app/slurm_options.h"
#include "driver/base/lock.h"
#include "driver/cluster/task.h"

namespace ks::driver {
namespace {

struct FolderOptions {
  std::string dir;
  bool no_wait = false;
  std::string time;
  std::size_t submission = 0;
  int index = -1;
};

// A folder measured here, not by a Slurm job: its store tells.
bool measured_here(const std::string& dir) {
  if (job_exists(dir)) {
    return false;
  }
  if (!Store::exists(dir)) {
    throw UsageError(
        fmt::format("no store and no Slurm job in {} ({} is what a sweep, tour or "
                    "map writes, {} what --slurm adds)",
                    dir, kStoreFile, kJobFile));
  }
  return true;
}

int run_status(const FolderOptions& o) {
  if (measured_here(o.dir)) {
    return local_status(o.dir);
  }
  const ClusterJob job = read_job(o.dir);
  const std::vector<TaskReport> reports = task_reports(o.dir, job, /*count_runs=*/true);
  std::size_t shown_submission = SIZE_MAX;
  for (const TaskReport& r : reports) {
    if (r.submission != shown_submission) {
      shown_submission = r.submission;
      std::vector<TaskReport> mine;
      for (const TaskReport& m : reports) {
        if (m.submission == r.submission) {
          mine.push_back(m);
        }
      }
      std::printf("job %s: %s\n", r.job_id.c_str(), summarize_reports(mine).text().c_str());
    }
    std::printf("  %s\n", task_line(r).c_str());
  }
  const bool ended =
      std::all_of(reports.begin(), reports.end(), [](const TaskReport& r) { return r.ended(); });
  if (!ended) {
    return 0;
  }
  // Every task has ended: its runs merged and the files rendered, unless a kernelscope holds
  // the folder (the submitter, which does it itself).
  std::optional<FolderLock> lock;
  try {
    lock.emplace(o.dir);
  } catch (const FolderBusy&) {
    return 0;
  } catch (const std::runtime_error& e) {
    throw UsageError(e.what());
  }
  // The account above is the one: the end adds the results, not another count of the tasks.
  return finish_job(o.dir, job, cluster_output());
}

}  // namespace

Subcommand setup_status(CLI::App& app, Common&) {
  auto o = std::make_shared<FolderOptions>();
  auto* status = app.add_subcommand(
      "status",
      "what a folder holds: the runs its store has, or the tasks of its Slurm job "
      "and their results once every task has ended");
  status->add_option("DIR", o->dir, "the output folder of a sweep, tour or map")->required();
  return {status, [o] { return run_status(*o); }};
}

Subcommand setup_resume(CLI::App& app, Common& common) {
  auto o = std::make_shared<FolderOptions>();
  auto* resume =
      app.add_subcommand("resume",
                         "runs what a folder's sweep, tour or map left missing, with its options "
                         "(on Slurm: submits them)");
  resume->add_option("DIR", o->dir, "the output folder of a sweep, tour or map")->required();
  resume->add_flag("--no-wait", o->no_wait,
                   "return once the job is submitted (kernelscope status DIR follows it)");
  resume->add_option("--time", o->time,
                     "time limit of each new task, in Slurm's format (default: the job's)");
  add_bin_option(*resume, common);
  return {resume, [&common, o] {
            return measured_here(o->dir)
                       ? local_resume(o->dir, common.bin_dir)
                       : resume_job(o->dir, o->no_wait, o->time, cluster_output());
          }};
}

Subcommand setup_task(CLI::App& app, Common& common) {
  auto o = std::make_shared<FolderOptions>();
  auto* task = app.add_subcommand("task", "one task of a Slurm job array (run by Slurm)");
  task->group("");  // not listed: Slurm runs it
  task->add_option("DIR", o->dir, "the output folder")->required();
  task->add_option("--submission", o->submission, "the submission")->required();
  task->add_option("--index", o->index, "the task's index in the array")->required();
  return {task, [&common, o] {
            return run_task({.dir = o->dir,
                             .submission = o->submission,
                             .index = o->index,
                             .bin_dir = common.bin_dir,
                             .timeout_seconds = common.timeout},
                            cluster_output());
          }};
}

}  // namespace ks::driver
