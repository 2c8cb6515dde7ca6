#include "driver/cluster/cluster.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <numeric>
#include <stdexcept>

#include <fmt/format.h>

#include "driver/analysis/summary.h"
#include "driver/base/errors.h"
#include "driver/base/files.h"
#include "driver/base/json_input.h"
#include "driver/report/summary_table.h"

namespace ks::driver {

namespace {

const char* mode_name(SlurmMode mode) {
  return mode == SlurmMode::kPerNode ? "per-node" : "split";
}

}  // namespace

nlohmann::json job_json(const ClusterJob& job) {
  const SlurmRequest& r = job.request;
  nlohmann::json doc = {{"kind", job.kind},
                        {"mode", mode_name(r.mode)},
                        {"partition", r.partition},
                        {"nodes", r.nodes},
                        {"nodelist", r.nodelist},
                        {"time", r.time},
                        {"account", r.account},
                        {"sbatch_args", r.sbatch_args},
                        {"bin", job.bin_dir},
                        {"timeout", job.timeout_seconds},
                        {"no_plots", job.no_plots},
                        {"missing", job.missing},
                        {"submissions", nlohmann::json::array()}};
  for (const Submission& s : job.submissions) {
    nlohmann::json tasks = nlohmann::json::array();
    for (const ClusterTask& t : s.tasks) {
      tasks.push_back({{"runs", t.runs}, {"node", t.node}, {"store", t.store}});
    }
    doc["submissions"].push_back({{"job", s.job_id}, {"tasks", std::move(tasks)}});
  }
  return doc;
}

ClusterJob job_from_json(const nlohmann::json& doc) {
  try {
    ClusterJob job;
    job.kind = doc.at("kind").get<std::string>();
    const std::string mode = doc.at("mode").get<std::string>();
    if (mode != "split" && mode != "per-node") {
      throw std::invalid_argument(fmt::format("unknown mode \"{}\"", mode));
    }
    SlurmRequest& r = job.request;
    r.mode = mode == "split" ? SlurmMode::kSplit : SlurmMode::kPerNode;
    r.partition = doc.at("partition").get<std::string>();
    r.nodes = doc.at("nodes").get<int>();
    r.nodelist = doc.at("nodelist").get<std::string>();
    r.time = doc.at("time").get<std::string>();
    r.account = doc.at("account").get<std::string>();
    r.sbatch_args = doc.at("sbatch_args").get<std::vector<std::string>>();
    job.bin_dir = doc.at("bin").get<std::string>();
    job.timeout_seconds = doc.at("timeout").get<double>();
    job.no_plots = doc.value("no_plots", false);
    job.missing = doc.value("missing", std::vector<std::string>{});
    for (const auto& s : doc.at("submissions")) {
      Submission submission;
      submission.job_id = s.at("job").get<std::string>();
      for (const auto& t : s.at("tasks")) {
        submission.tasks.push_back({t.at("runs").get<std::vector<std::size_t>>(),
                                    t.at("node").get<std::string>(),
                                    t.at("store").get<std::string>()});
        const std::string& store = submission.tasks.back().store;
        if (store.empty() || store.find('/') != std::string::npos || store[0] == '.') {
          throw std::invalid_argument(
              fmt::format("a task's store \"{}\" is not a file name", store));
        }
      }
      job.submissions.push_back(std::move(submission));
    }
    return job;
  } catch (const nlohmann::json::exception& e) {
    throw std::invalid_argument(e.what());
  }
}

bool job_exists(const std::string& dir) {
  std::ifstream in(dir + "/" + std::string(kJobFile));
  return in.good();
}

ClusterJob read_job(const std::string& dir) {
  const std::string path = dir + "/" + std::string(kJobFile);
  refuse_irregular(path);  // a FIFO would block the reading
  std::ifstream in(path);
  if (!in) {
    throw UsageError(fmt::format("no Slurm job in {} ({} is what --slurm writes)", dir, kJobFile));
  }
  try {
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    return job_from_json(parse_json(text));
  } catch (const std::exception& e) {
    throw UsageError(fmt::format("{} cannot be read: {}", path, e.what()));
  }
}

void write_job(const std::string& dir, const ClusterJob& job) {
  const RecordedFolder recording(dir);  // a job's file, on the store's list
  write_file_atomic(dir + "/" + std::string(kJobFile), job_json(job).dump(1) + "\n",
                    WrittenFile::Kind::kJob);
}

void drop_empty_log(const std::string& store_path) {
  struct stat st {};
  if (::stat((store_path + "-wal").c_str(), &st) == 0 && st.st_size == 0) {
    ::unlink((store_path + "-wal").c_str());
    ::unlink((store_path + "-shm").c_str());
  }
}

std::string task_store_name(std::size_t submission, std::size_t task) {
  return fmt::format("results.task-{}-{}.db", submission, task);
}

std::vector<std::vector<std::size_t>> share_runs(const Plan& plan,
                                                 const std::vector<std::size_t>& todo, int tasks,
                                                 const std::vector<double>& seconds) {
  // Each configuration's runs to go, and their expected time.
  std::map<std::size_t, double> cost;
  for (const std::size_t seq : todo) {
    const std::size_t config = plan.runs.at(seq).config;
    cost[config] += config < seconds.size() ? seconds[config] : 1.0;
  }
  std::vector<std::pair<std::size_t, double>> by_cost(cost.begin(), cost.end());
  std::stable_sort(by_cost.begin(), by_cost.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  const std::size_t n =
      std::min<std::size_t>(static_cast<std::size_t>(std::max(tasks, 1)), by_cost.size());
  std::vector<double> load(n, 0);
  std::map<std::size_t, std::size_t> task_of;
  for (const auto& [config, c] : by_cost) {
    const std::size_t least =
        static_cast<std::size_t>(std::min_element(load.begin(), load.end()) - load.begin());
    task_of[config] = least;
    load[least] += c;
  }
  std::vector<std::vector<std::size_t>> shares(n);
  for (const std::size_t seq : todo) {
    shares[task_of[plan.runs[seq].config]].push_back(seq);
  }
  return shares;
}

std::vector<std::size_t> fresh_warmups(const Plan& plan, const std::vector<std::size_t>& todo) {
  std::vector<bool> measured(plan.configs.size(), false);
  std::vector<bool> warmed(plan.configs.size(), false);
  for (const std::size_t seq : todo) {
    const PlannedRun& run = plan.runs.at(seq);
    (run.warmup ? warmed : measured)[run.config] = true;
  }
  std::vector<std::size_t> again;
  for (std::size_t seq = 0; seq < plan.runs.size(); ++seq) {
    const PlannedRun& run = plan.runs[seq];
    if (run.warmup && measured[run.config] && !warmed[run.config]) {
      again.push_back(seq);
    }
  }
  return again;
}

Plan cap_threads(const Plan& plan, int cpus, std::vector<std::string>& notices) {
  Plan capped = plan;
  if (cpus <= 0) {
    return capped;
  }
  for (Config& c : capped.configs) {
    if (c.threads > cpus) {
      notices.push_back(fmt::format("{} runs with {} threads: the allocation has {} CPU{}",
                                    c.label(), cpus, cpus, cpus == 1 ? "" : "s"));
      c.threads = cpus;
    }
  }
  return capped;
}

std::size_t merge_tasks(Store& into, const std::string& dir, const ClusterJob& job,
                        std::vector<std::string>& problems) {
  std::size_t added = 0;
  for (const Submission& s : job.submissions) {
    for (const ClusterTask& t : s.tasks) {
      if (::access((dir + "/" + t.store).c_str(), F_OK) != 0) {
        continue;  // a submission that never went out leaves none
      }
      try {
        added += into.merge_from(dir + "/" + t.store);
        drop_empty_log(dir + "/" + t.store);
      } catch (const StoreError& e) {
        problems.emplace_back(e.what());
      }
    }
  }
  return added;
}

ArraySummary summarize_reports(const std::vector<TaskReport>& reports) {
  ArraySummary s;
  std::vector<TaskStatus> known;
  for (const TaskReport& r : reports) {
    if (r.status) {
      known.push_back(*r.status);
    } else {
      ++(r.stored == r.planned ? s.done : s.failed);
    }
  }
  const ArraySummary k = summarize(known);
  s.pending += k.pending;
  s.running += k.running;
  s.done += k.done;
  s.failed += k.failed;
  s.blocked = k.blocked;
  return s;
}

std::string task_line(const TaskReport& r) {
  std::string where;
  std::string state = "no longer known to Slurm";
  if (r.status) {
    if (!r.status->nodes.empty() && r.status->nodes != "(null)") {
      where = " on " + r.status->nodes;
    }
    state = r.status->describe();
  }
  return fmt::format("task {} (job {}_{}){}: {}; {} of {} run{} stored", r.task, r.job_id, r.task,
                     where, state, r.stored, r.planned, r.planned == 1 ? "" : "s");
}

}  // namespace ks::driver
