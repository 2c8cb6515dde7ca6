#include "driver/cluster/submit.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "driver/base/errors.h"
#include "driver/base/files.h"
#include "driver/base/lock.h"
#include "driver/session/measure.h"

namespace ks::driver {
namespace {

namespace fs = std::filesystem;

std::string self_path() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("kernelscope") : self.string();
}

std::string absolute(const std::string& path) {
  std::error_code ec;
  std::string out = fs::absolute(path, ec).lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') {
    out.pop_back();
  }
  return out;
}

SlurmRequest base_request(const SlurmOptions& o) {
  SlurmRequest r;
  r.partition = o.partition;
  r.nodes = o.nodes;
  r.nodelist = o.nodelist;
  r.time = o.time;
  r.account = o.account;
  r.sbatch_args = o.sbatch_args;
  r.mode = o.per_node ? SlurmMode::kPerNode : SlurmMode::kSplit;
  return r;
}

// The task's command line; kTaskIndex becomes the array index in the batch script.
void complete_request(SlurmRequest& r, const std::string& dir, const ClusterJob& job,
                      std::size_t submission, std::size_t tasks) {
  r.output_dir = absolute(dir);
  r.tasks = static_cast<int>(tasks);
  r.job_name = "kernelscope-" + job.kind;
  r.command = {self_path(),
               "--bin",
               absolute(job.bin_dir),
               "--timeout",
               fmt::format("{}", job.timeout_seconds),
               "task",
               r.output_dir,
               "--submission",
               std::to_string(submission),
               "--index",
               std::string(kTaskIndex)};
}

// The planned runs stored by the earlier tasks pinned to `node`.
std::vector<bool> stored_on(const std::string& dir, const ClusterJob& job, const Plan& plan,
                            const std::string& node) {
  std::vector<bool> done(plan.runs.size(), false);
  for (const Submission& s : job.submissions) {
    for (const ClusterTask& t : s.tasks) {
      if (t.node != node || ::access((dir + "/" + t.store).c_str(), F_OK) != 0) {
        continue;
      }
      try {
        std::vector<bool> missing(plan.runs.size(), false);
        for (std::size_t seq : Store::open_readonly(dir + "/" + t.store).missing_runs()) {
          missing[seq] = true;
        }
        for (std::size_t seq = 0; seq < done.size(); ++seq) {
          done[seq] = done[seq] || !missing[seq];
        }
      } catch (const StoreError&) {
        // An unreadable task store adds nothing: its runs are made again.
      }
      drop_empty_log(dir + "/" + t.store);
    }
  }
  return done;
}

std::string node_names(const std::vector<NodeState>& nodes) {
  std::string out;
  for (const NodeState& n : nodes) {
    out += fmt::format("{}{} ({})", out.empty() ? "" : ", ", n.name, n.state);
  }
  return out;
}

// A split job goes to the nodes available now: a node of --nodelist that is down (drained, not
// responding) is left out, --nodes N comes down to the nodes that are available, each with a
// notice. With none available, or when Slurm cannot be asked, the request stays as it is and
// sbatch says what is wrong.
void split_over_available(SlurmRequest& request, const ClusterOutput& out) {
  const SlurmClient client;
  SlurmError e;
  const std::vector<NodeState> states = client.node_states(request.partition, e);
  if (e || states.empty()) {
    return;
  }
  std::vector<NodeState> down;
  if (!request.nodelist.empty()) {
    const std::vector<std::string> listed = client.expand_hostlist(request.nodelist, e);
    if (e) {
      return;
    }
    std::string up;
    for (const std::string& name : listed) {
      const auto it = std::find_if(states.begin(), states.end(),
                                   [&](const NodeState& n) { return n.name == name; });
      if (it != states.end() && !it->available()) {
        if (std::none_of(down.begin(), down.end(),
                         [&](const NodeState& n) { return n.name == name; })) {
          down.push_back(*it);
        }
      } else {
        up += (up.empty() ? "" : ",") + name;
      }
    }
    if (down.empty() || up.empty()) {
      return;
    }
    request.nodelist = up;
    out.error(fmt::format("not available now: {}; the runs go to {}", node_names(down), up));
    return;
  }
  const int wanted = std::max(request.nodes, 1);
  int up = 0;
  for (const NodeState& n : states) {
    if (n.available()) {
      ++up;
    } else {
      down.push_back(n);
    }
  }
  if (up == 0 || up >= wanted || static_cast<std::size_t>(wanted) > states.size()) {
    return;
  }
  request.nodes = up;
  out.error(fmt::format("not available now: {}; the runs are shared over the {} node{} that are",
                        node_names(down), up, up == 1 ? "" : "s"));
}

// The tasks of a new submission: the runs the store lacks shared out (split), or for every
// node the runs it lacks (per node; a first submission gives every node the whole plan).
std::vector<ClusterTask> plan_tasks(const std::string& dir, const ClusterJob& job, Store& store,
                                    SlurmRequest& request, std::string& error,
                                    const ClusterOutput& out) {
  const Plan& plan = store.plan();
  const std::size_t index = job.submissions.size();
  std::vector<ClusterTask> tasks;
  const bool first = std::none_of(job.submissions.begin(), job.submissions.end(),
                                  [](const Submission& s) { return !s.job_id.empty(); });
  if (request.mode == SlurmMode::kSplit) {
    split_over_available(request, out);
    const std::vector<std::size_t> todo = store.missing_runs();
    int width = std::max(request.nodes, 1);
    if (!request.nodelist.empty()) {
      SlurmError e;
      width = static_cast<int>(SlurmClient{}.expand_hostlist(request.nodelist, e).size());
      if (e) {
        error = e.message;
        return tasks;
      }
    }
    std::map<std::string, double> earlier;
    std::vector<double> seconds;
    for (const Config& c : plan.configs) {
      seconds.push_back(expected_seconds(c, earlier));
    }
    for (auto& runs : share_runs(plan, todo, width, seconds)) {
      tasks.push_back({std::move(runs), "", ""});
    }
  } else if (first) {
    int count = request.nodes;
    if (!request.nodelist.empty()) {
      SlurmError e;
      count = static_cast<int>(SlurmClient{}.expand_hostlist(request.nodelist, e).size());
      if (e) {
        error = e.message;
        return tasks;
      }
    }
    const std::vector<std::size_t> todo = store.missing_runs();
    for (int i = 0; i < count && !todo.empty(); ++i) {
      tasks.push_back({todo, "", ""});
    }
  } else {
    // Every node of the earlier submissions, for the runs it has not stored.
    std::vector<std::string> nodes;
    for (const Submission& s : job.submissions) {
      for (const ClusterTask& t : s.tasks) {
        if (!t.node.empty() && std::find(nodes.begin(), nodes.end(), t.node) == nodes.end()) {
          nodes.push_back(t.node);
        }
      }
    }
    std::string list;
    for (const std::string& node : nodes) {
      const std::vector<bool> done = stored_on(dir, job, plan, node);
      std::vector<std::size_t> runs;
      for (std::size_t seq = 0; seq < done.size(); ++seq) {
        if (!done[seq]) {
          runs.push_back(seq);
        }
      }
      if (!runs.empty()) {
        tasks.push_back({std::move(runs), node, ""});
        list += (list.empty() ? "" : ",") + node;
      }
    }
    request.nodes = 0;
    request.nodelist = list;
  }
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    tasks[i].store = task_store_name(index, i);
  }
  return tasks;
}

// The submission of what the store lacks: task stores made, cluster.json written, the array
// submitted; on a refusal everything it made is removed again. Returns the refusal (one line);
// none once the job is out, or when nothing is missing.
std::optional<std::string> submit_missing(const std::string& dir, ClusterJob& job, Store& store,
                                          SlurmRequest request, const StoreContents& made,
                                          const ClusterOutput& out) {
  std::string why;
  std::vector<ClusterTask> tasks = plan_tasks(dir, job, store, request, why, out);
  if (!why.empty()) {
    return why;
  }
  if (tasks.empty()) {
    return std::nullopt;  // nothing missing: the end comes at once
  }
  // A node of a per-node job that is down now gets its task all the same: it waits in the
  // queue for the node (its runs can be made nowhere else).
  request.queue_unavailable = request.mode == SlurmMode::kPerNode;
  const std::size_t index = job.submissions.size();
  complete_request(request, dir, job, index, tasks.size());
  const RecordedFolder recording(dir);  // the task stores and Slurm's output on the store's list
  auto remove_tasks = [&] {
    for (const ClusterTask& t : tasks) {
      for (const char* suffix : {"", "-wal", "-shm"}) {
        ::unlink((dir + "/" + t.store + suffix).c_str());
      }
    }
  };
  try {
    for (const ClusterTask& t : tasks) {
      StoreOptions options;
      options.file = t.store;
      options.kind = job.kind;
      // The submitting machine runs nothing: no machine context of its own in the task's store
      // (the task records its node's).
      (void)Store::create(dir, store.plan(), nlohmann::json(), made.command, options);
      record_made(dir + "/" + t.store, WrittenFile::Kind::kStore);
    }
    job.submissions.push_back({"", tasks});
    write_job(dir, job);
  } catch (const std::exception& e) {
    remove_tasks();
    return std::string(e.what());
  }
  const SubmitResult result = SlurmClient{}.submit(request);
  if (result.error) {
    remove_tasks();
    job.submissions.pop_back();
    write_job(dir, job);
    return result.error.message;
  }
  Submission& s = job.submissions.back();
  s.job_id = result.job_id;
  for (std::size_t i = 0; i < s.tasks.size() && i < result.layout.task_nodes.size(); ++i) {
    s.tasks[i].node = result.layout.task_nodes[i];
  }
  for (std::size_t i = 0; i < s.tasks.size(); ++i) {
    for (const char* ext : {".out", ".err"}) {
      record_made(fmt::format("{}/slurm-{}_{}{}", dir, s.job_id, i, ext), WrittenFile::Kind::kJob);
    }
  }
  write_job(dir, job);
  std::size_t runs = 0;
  for (const ClusterTask& t : s.tasks) {
    runs += t.runs.size();
  }
  out.output(fmt::format(
      "submitted job {}: {} task{} ({}), {} runs\n", s.job_id, s.tasks.size(),
      s.tasks.size() == 1 ? "" : "s",
      request.mode == SlurmMode::kPerNode ? "the whole plan on each node" : "the plan shared out",
      runs));
  for (const NodeState& n : result.waiting) {
    out.error(
        fmt::format("{} is not available now ({}): its task waits in the queue until it is back "
                    "(kernelscope status {} shows it; scancel {} gives up)",
                    n.name, n.state, dir, s.job_id));
  }
  return std::nullopt;
}

// Refuses a job whose last submission still has tasks that have not ended.
void check_ended(const std::string& dir, const ClusterJob& job) {
  if (job.submissions.empty() || job.submissions.back().job_id.empty()) {
    return;
  }
  ClusterJob last = job;
  last.submissions.erase(last.submissions.begin(), last.submissions.end() - 1);
  for (const TaskReport& r : task_reports(dir, last, false)) {
    if (!r.ended()) {
      throw UsageError(
          fmt::format("job {} still has tasks pending or running: kernelscope "
                      "status {} shows them",
                      r.job_id, dir));
    }
  }
}

// --dry-run: the script that would be submitted, and the plan's line.
std::string dry_run_text(const Plan& plan, const ClusterJob& job, const std::string& dir) {
  SlurmRequest request = job.request;
  int tasks = std::max(request.nodes, 1);
  complete_request(request, dir, job, 0, static_cast<std::size_t>(tasks));
  if (request.mode == SlurmMode::kSplit) {
    request.tasks = std::min<int>(tasks, static_cast<int>(plan.configs.size()));
  }
  SlurmError error;
  const std::string script = SlurmClient{}.dry_run(request, error);
  if (error) {
    throw UsageError(error.message);
  }
  std::vector<std::size_t> all(plan.runs.size());
  for (std::size_t i = 0; i < all.size(); ++i) {
    all[i] = i;
  }
  return script + fmt::format("# {}\n", plan_line(plan, all, {}));
}

// The store a resumed job goes on with (judge_folder checked it against the plan), its
// earlier tasks' runs merged into it and their submissions in `job`.
Store resumed_store(const ClusterStart& start, ClusterJob& job, StoreContents& made,
                    const ClusterOutput& out) {
  const std::string& dir = start.out;
  std::optional<Store> store;
  try {
    store = Store::open(dir);
    made = store->load();
  } catch (const StoreError& e) {
    throw UsageError(fmt::format("--resume: {}", e.what()));
  }
  if (job_exists(dir)) {
    const ClusterJob earlier = read_job(dir);
    check_ended(dir, earlier);
    job.submissions = earlier.submissions;
    std::vector<std::string> problems;
    merge_tasks(*store, dir, job, problems);
    for (const std::string& p : problems) {
      out.error(p);
    }
  }
  return std::move(*store);
}

// A new job's store. The submitting machine is the store's maker and runs nothing: the store
// keeps the machine context of each node that runs (its tasks record them), none of its own.
Store new_store(const Plan& plan, const ClusterStart& start, StoreContents& made) {
  StoreOptions options;
  options.kind = start.kind;
  try {
    Store store = Store::create(start.out, plan, nlohmann::json(), start.command, options);
    made = store.load();
    return store;
  } catch (const StoreError& e) {
    throw WriteError(e.what());
  }
}

}  // namespace

int run_on_cluster(const Plan& plan, const SlurmOptions& slurm, const ClusterStart& start,
                   const ClusterOutput& out) {
  const std::string& dir = start.out;
  ClusterJob job;
  job.kind = start.kind;
  job.request = base_request(slurm);
  job.bin_dir = absolute(start.bin_dir);
  job.timeout_seconds = start.timeout_seconds;
  job.no_plots = start.no_plots;
  job.missing = start.missing;
  if (start.dry_run) {
    out.output(dry_run_text(plan, job, dir));
    return 0;
  }
  if (SlurmClient{}.find("sbatch").empty()) {
    throw UsageError(
        "sbatch not found on PATH: install Slurm's client commands (Debian package "
        "slurm-client)");
  }
  prepare_output_dir(dir);
  check_path_length(dir, 38);  // a task's store made: results.task-SSSS-TTTTT.db.tmp-PID
  // A lock file this command makes goes again when the submission is refused: the folder is
  // left as it was.
  const std::string lock_path = dir + "/" + std::string(kLockFile);
  const bool lock_made = ::access(lock_path.c_str(), F_OK) != 0;
  std::optional<FolderLock> lock;
  try {
    lock.emplace(dir);
  } catch (const std::runtime_error& e) {
    throw UsageError(e.what());
  }
  // What the folder holds decides as it does for a run here.
  if (const FolderVerdict folder = judge_folder(dir, start.kind, plan, start.resume, start.force);
      !folder.refusal.empty()) {
    throw UsageError(folder.refusal);
  }
  const bool had_store = Store::exists(dir);
  if (start.force || !had_store) {
    clear_outputs(dir);
  }
  StoreContents made;
  std::optional<Store> store;
  if (Store::exists(dir)) {
    store.emplace(resumed_store(start, job, made, out));
  } else {
    store.emplace(new_store(plan, start, made));
  }
  const std::optional<std::string> refusal =
      submit_missing(dir, job, *store, job.request, made, out);
  store.reset();
  if (refusal) {
    if (!had_store || start.force) {
      clear_outputs(dir);  // nothing half-made stays
    }
    if (lock_made) {
      ::unlink(lock_path.c_str());  // while still held: no other driver took this one
    }
    throw UsageError(*refusal);
  }
  if (job.submissions.empty()) {
    write_job(dir, job);
  }
  return follow_job(dir, job, !slurm.no_wait, out);
}

int resume_job(const std::string& dir, bool no_wait, const std::string& time,
               const ClusterOutput& out) {
  if (!Store::exists(dir)) {
    throw UsageError(
        fmt::format("no store in {} ({} is what a sweep or tour writes)", dir, kStoreFile));
  }
  std::optional<FolderLock> lock;
  try {
    lock.emplace(dir);
  } catch (const std::runtime_error& e) {
    throw UsageError(e.what());
  }
  ClusterJob job = read_job(dir);
  check_ended(dir, job);
  if (!time.empty()) {
    job.request.time = time;  // this resume's tasks, and those of a later one
  }
  std::optional<Store> store;
  StoreContents made;
  try {
    store = Store::open(dir);
    made = store->load();
  } catch (const StoreError& e) {
    throw UsageError(e.what());
  }
  std::vector<std::string> problems;
  merge_tasks(*store, dir, job, problems);
  for (const std::string& p : problems) {
    out.error(p);
  }
  const std::optional<std::string> refusal =
      submit_missing(dir, job, *store, job.request, made, out);
  store.reset();
  if (refusal) {
    throw UsageError(*refusal);
  }
  return follow_job(dir, job, !no_wait, out);
}

}  // namespace ks::driver
