// A sweep or tour run as a Slurm job array: what the output folder keeps about the job
// (cluster.json: the request, and each submission's tasks with the planned runs they make and
// the store file each writes), how a plan's runs are shared out over tasks, the thread caps of
// a task's allocation, the merging of the tasks' stores into results.db, and the state of the
// tasks in words.
//
// Each task writes only its own store file (results.task-S-T.db); the folder's results.db is
// written by the submitting command alone, when it merges them. No SQLite file is ever written
// by two nodes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver/plan/plan.h"
#include "driver/slurm/slurm.h"
#include "driver/store/store.h"

namespace ks::driver {

inline constexpr std::string_view kJobFile = "cluster.json";

struct ClusterTask {
  std::vector<std::size_t> runs;  // the planned runs it makes, in plan order
  std::string node;               // the node it is pinned to; empty when Slurm places it
  std::string store;              // its store file, in the output folder
};

struct Submission {
  std::string job_id;  // empty until sbatch has answered
  std::vector<ClusterTask> tasks;
};

// What the folder keeps about its job: the Slurm options (without the task's command), the
// programs' folder and timeout the tasks run with, and every submission, the first one and
// those of each resume.
struct ClusterJob {
  std::string kind = "sweep";  // sweep or tour
  SlurmRequest request;
  std::string bin_dir;
  double timeout_seconds = 60;
  bool no_plots = false;
  // A tour's programs missing from the build, which each task records with its machine.
  std::vector<std::string> missing;
  std::vector<Submission> submissions;
};

nlohmann::json job_json(const ClusterJob& job);
// Throws std::invalid_argument (one line) on a document that is not a job's.
ClusterJob job_from_json(const nlohmann::json& doc);
bool job_exists(const std::string& dir);
// DIR/cluster.json read back; throws UsageError when there is none or it cannot be read.
ClusterJob read_job(const std::string& dir);
// Written whole under a temporary name, then renamed; throws WriteError.
void write_job(const std::string& dir, const ClusterJob& job);

// Removes the empty log (and its index) a reader of a closed store leaves beside it.
void drop_empty_log(const std::string& store_path);

// "results.task-0-3.db": the store of task 3 of the first submission.
std::string task_store_name(std::size_t submission, std::size_t task);

// The runs `todo` (planned runs, in plan order) shared out over at most `tasks` tasks for a
// split job: whole configurations, each to the task with the least expected time so far, the
// longest first (`seconds` holds one run's expected time per configuration). Each task's runs
// stay in plan order, so its rounds stay interleaved. Tasks left without runs are dropped.
std::vector<std::vector<std::size_t>> share_runs(const Plan& plan,
                                                 const std::vector<std::size_t>& todo, int tasks,
                                                 const std::vector<double>& seconds);

// The warm-ups a task makes again, unrecorded, before the runs `todo`: every warm-up of each
// configuration whose measured runs are in `todo` but none of whose warm-ups are (they were
// made before: on another node, or before its node went down). In plan order.
std::vector<std::size_t> fresh_warmups(const Plan& plan, const std::vector<std::size_t>& todo);

// The plan as a task with `cpus` CPUs runs it: team sizes above `cpus` brought down to it, a
// notice for each configuration capped. `cpus` 0 (unknown) caps nothing.
Plan cap_threads(const Plan& plan, int cpus, std::vector<std::string>& notices);

// Brings every task store of the job that exists into `into` (results.db). Merging again adds
// nothing. Returns the number of runs added; `problems` gets one line per task store that
// could not be merged (another plan, unreadable).
std::size_t merge_tasks(Store& into, const std::string& dir, const ClusterJob& job,
                        std::vector<std::string>& problems);

// One task of a submission as the user sees it.
struct TaskReport {
  std::size_t submission = 0;
  std::size_t task = 0;
  std::string job_id;
  std::optional<TaskStatus> status;  // none when Slurm no longer knows the job
  std::size_t planned = 0;           // runs the task was given
  std::size_t stored = 0;            // of them, in its store
  bool ended() const { return status ? status->ended() : true; }
  bool succeeded() const { return status ? status->succeeded() : stored == planned; }
};

// Counts of tasks in the progress line's words; a task Slurm no longer knows counts as done
// when its store holds every run it was given, else as failed.
ArraySummary summarize_reports(const std::vector<TaskReport>& reports);

// "task 1 (job 42_1) on n3: FAILED: exit 1; 4 of 10 runs stored", one line per task.
std::string task_line(const TaskReport& report);

}  // namespace ks::driver
