// A plan on a Slurm cluster without a cluster: the runs shared out over tasks, the thread caps
// of an allocation, the job file read back, the tasks' stores merged (twice, and of another
// plan), and the tasks' states in words.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "driver/analysis/stored_results.h"
#include "driver/base/errors.h"
#include "driver/cluster/cluster.h"
#include "driver/tests/support/configs.h"

namespace {

namespace fs = std::filesystem;
namespace kd = ks::driver;
using ks::driver::test::config;
using ks::driver::test::record;

std::string temp_dir(const std::string& name) {
  std::string templ = ::testing::TempDir() + "ks-cluster-" + name + "-XXXXXX";
  EXPECT_NE(mkdtemp(templ.data()), nullptr);
  return templ;
}

kd::Plan plan_of(std::vector<kd::Config> configs) {
  return kd::interleaved_plan(std::move(configs));
}

kd::Plan three_configs() {
  return plan_of({config("plus-static", 1000, 0), config("plus-parloop", 1000, 1),
                  config("plus-parloop", 1000, 2)});
}

std::vector<std::size_t> all_runs(const kd::Plan& plan) {
  std::vector<std::size_t> runs(plan.runs.size());
  for (std::size_t i = 0; i < runs.size(); ++i) {
    runs[i] = i;
  }
  return runs;
}

TEST(ShareRuns, WholeConfigurationsInPlanOrderBalancedByTime) {
  const kd::Plan plan = three_configs();
  struct Case {
    const char* name;
    int tasks;
    std::vector<double> seconds;
    std::size_t expected_tasks;
  };
  const std::vector<Case> cases = {
      {"one task", 1, {1, 1, 1}, 1},
      {"as many as configurations", 3, {1, 1, 1}, 3},
      {"more tasks than configurations", 8, {1, 1, 1}, 3},
      {"one long configuration alone", 2, {10, 1, 1}, 2},
  };
  for (const Case& c : cases) {
    const auto shares = kd::share_runs(plan, all_runs(plan), c.tasks, c.seconds);
    ASSERT_EQ(shares.size(), c.expected_tasks) << c.name;
    std::multiset<std::size_t> seen;
    std::vector<std::set<std::size_t>> configs(shares.size());
    for (std::size_t t = 0; t < shares.size(); ++t) {
      EXPECT_FALSE(shares[t].empty()) << c.name;
      EXPECT_TRUE(std::is_sorted(shares[t].begin(), shares[t].end())) << c.name;
      for (std::size_t seq : shares[t]) {
        seen.insert(seq);
        configs[t].insert(plan.runs[seq].config);
      }
    }
    EXPECT_EQ(seen.size(), plan.runs.size()) << c.name;  // each run once
    EXPECT_EQ(std::set<std::size_t>(seen.begin(), seen.end()).size(), plan.runs.size()) << c.name;
    for (std::size_t a = 0; a < configs.size(); ++a) {  // a configuration in one task only
      for (std::size_t b = a + 1; b < configs.size(); ++b) {
        for (std::size_t config : configs[a]) {
          EXPECT_EQ(configs[b].count(config), 0u) << c.name;
        }
      }
    }
  }
  // The long configuration gets a task to itself.
  const auto shares = kd::share_runs(plan, all_runs(plan), 2, {10, 1, 1});
  std::set<std::size_t> first;
  for (std::size_t seq : shares[0]) {
    first.insert(plan.runs[seq].config);
  }
  EXPECT_EQ(first, std::set<std::size_t>{0});
}

TEST(ShareRuns, OnlyTheRunsToGo) {
  const kd::Plan plan = three_configs();
  const std::vector<std::size_t> todo = {1, 4, 7};
  std::vector<std::size_t> got;
  for (const auto& share : kd::share_runs(plan, todo, 3, {1, 1, 1})) {
    got.insert(got.end(), share.begin(), share.end());
  }
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, todo);
  EXPECT_TRUE(kd::share_runs(plan, {}, 3, {1, 1, 1}).empty());
}

// The warm-ups a task makes again: those of each configuration it resumes in the middle.
TEST(FreshWarmups, OnlyForConfigurationsResumedWithoutTheirs) {
  kd::Plan plan = three_configs();  // one warm-up and 3 measured runs each, interleaved
  auto of = [&plan](std::size_t config, bool warmup) {
    std::vector<std::size_t> seqs;
    for (std::size_t seq = 0; seq < plan.runs.size(); ++seq) {
      if (plan.runs[seq].config == config && plan.runs[seq].warmup == warmup) {
        seqs.push_back(seq);
      }
    }
    return seqs;
  };
  auto join = [](std::vector<std::size_t> a, const std::vector<std::size_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    std::sort(a.begin(), a.end());
    return a;
  };
  const std::vector<std::size_t> measured1 = of(1, false);
  struct Case {
    const char* name;
    std::vector<std::size_t> todo;
    std::vector<std::size_t> again;
  };
  const std::vector<Case> cases = {
      {"the whole plan: its own warm-ups", all_runs(plan), {}},
      {"nothing to do", {}, {}},
      {"a configuration's measured runs only", measured1, of(1, true)},
      {"one of them", {measured1.back()}, of(1, true)},
      {"with its warm-up", join(measured1, of(1, true)), {}},
      {"two configurations, one with its warm-up", join(join(measured1, of(0, true)), of(0, false)),
       of(1, true)},
      {"warm-ups only", of(2, true), {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kd::fresh_warmups(plan, c.todo), c.again) << c.name;
  }
  // A configuration without warm-ups has none to make again.
  plan.configs[1].warmup = 0;
  plan = kd::interleaved_plan(plan.configs);
  EXPECT_TRUE(kd::fresh_warmups(plan, of(1, false)).empty());
}

TEST(CapThreads, TeamsAboveTheAllocationComeDown) {
  const kd::Plan plan = plan_of({config("plus-static", 1000, 0), config("plus-parloop", 1000, 2),
                                 config("plus-parloop", 1000, 8)});
  struct Case {
    int cpus;
    std::vector<int> threads;
    std::size_t notices;
  };
  for (const Case& c : std::vector<Case>{{0, {0, 2, 8}, 0}, {4, {0, 2, 4}, 1}, {1, {0, 1, 1}, 2}}) {
    std::vector<std::string> notices;
    const kd::Plan capped = kd::cap_threads(plan, c.cpus, notices);
    std::vector<int> threads;
    for (const kd::Config& config : capped.configs) {
      threads.push_back(config.threads);
    }
    EXPECT_EQ(threads, c.threads) << c.cpus;
    EXPECT_EQ(notices.size(), c.notices) << c.cpus;
    EXPECT_EQ(capped.runs, plan.runs);  // the same planned runs, so the same store
  }
}

TEST(JobFile, ReadBackAsWritten) {
  const std::string dir = temp_dir("job");
  kd::ClusterJob job;
  job.kind = "tour";
  job.request.mode = kd::SlurmMode::kPerNode;
  job.request.nodelist = "n[1-2]";
  job.request.sbatch_args = {"--qos=long"};
  job.bin_dir = "/opt/ks";
  job.timeout_seconds = 2.5;
  job.submissions = {{"42", {{{0, 1, 2}, "n1", "results.task-0-0.db"}}}};
  kd::write_job(dir, job);
  const kd::ClusterJob back = kd::read_job(dir);
  EXPECT_EQ(kd::job_json(back), kd::job_json(job));
  EXPECT_EQ(back.request.mode, kd::SlurmMode::kPerNode);

  // A task's store outside the folder, or a file that is not a job's: refused.
  for (const char* bad : {R"({"kind": "sweep"})", "not json"}) {
    std::ofstream(dir + "/cluster.json") << bad;
    EXPECT_THROW(kd::read_job(dir), kd::UsageError) << bad;
  }
  nlohmann::json doc = kd::job_json(job);
  doc["submissions"][0]["tasks"][0]["store"] = "../elsewhere.db";
  EXPECT_THROW(kd::job_from_json(doc), std::invalid_argument);
  fs::remove_all(dir);
  EXPECT_THROW(kd::read_job(dir), kd::UsageError);
}

// A task's store as a task leaves it: the plan, and the runs `seqs` made on `host`.
void task_store(const std::string& dir, const std::string& file, const kd::Plan& plan,
                const std::string& host, const std::vector<std::size_t>& seqs) {
  kd::StoreOptions options;
  options.file = file;
  options.host = host;
  kd::Store store =
      kd::Store::create(dir, plan, {{"cpu", {{"model", host + " CPU"}}}}, {}, options);
  for (std::size_t seq : seqs) {
    kd::RunRecord r = record(plan.runs[seq].config, 0.001 * (1 + seq), plan.runs[seq].warmup);
    r.round = plan.runs[seq].round;
    store.append_run(r);
  }
}

TEST(MergeTasks, EveryRunOnceWithItsNodeEvenWhenMergedTwice) {
  const std::string dir = temp_dir("merge");
  const kd::Plan plan = three_configs();
  kd::ClusterJob job;
  job.submissions = {{"7", {{{}, "", "results.task-0-0.db"}, {{}, "", "results.task-0-1.db"}}},
                     {"9", {{{}, "", "results.task-1-0.db"}}}};
  task_store(dir, "results.task-0-0.db", plan, "n1", {0, 1, 2});
  task_store(dir, "results.task-0-1.db", plan, "n2", {3, 4});
  // results.task-1-0.db was never made (a submission that did not go out).
  kd::Store into = kd::Store::create(dir, plan, {}, {});
  std::vector<std::string> problems;
  EXPECT_EQ(kd::merge_tasks(into, dir, job, problems), 5u);
  EXPECT_EQ(kd::merge_tasks(into, dir, job, problems), 0u);
  EXPECT_TRUE(problems.empty());
  const kd::StoreContents contents = into.load();
  ASSERT_EQ(contents.runs.size(), 5u);
  for (const kd::StoredRun& run : contents.runs) {
    EXPECT_EQ(run.host, run.planned < 3 ? "n1" : "n2") << run.planned;
  }
  EXPECT_EQ(kd::run_hosts(contents), (std::vector<std::string>{"n1", "n2"}));
  EXPECT_EQ(kd::host_contents(contents, "n2").runs.size(), 2u);
  EXPECT_EQ(kd::host_contents(contents, "n2").context["cpu"]["model"], "n2 CPU");
  // The store's maker (the submitter) recorded no machine: its context is that of the nodes
  // that ran, the first one's facts, every one named, and the maker as the submitter.
  EXPECT_EQ(contents.machines.size(), 2u);
  EXPECT_EQ(contents.context["cpu"]["model"], "n1 CPU");
  EXPECT_EQ(contents.context["host"], "n1, n2");
  EXPECT_EQ(contents.context["submitted_from"], contents.host);
  EXPECT_NE(contents.host, "n1");

  // A task store of another plan is named, and the others still merge.
  task_store(dir, "results.task-1-0.db", plan_of({config("plus-static", 2000, 0)}), "n3", {0});
  EXPECT_EQ(kd::merge_tasks(into, dir, job, problems), 0u);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("another plan"), std::string::npos) << problems[0];
  EXPECT_EQ(into.load().runs.size(), 5u);
  fs::remove_all(dir);
}

TEST(TaskReports, StatesInWords) {
  auto status = [](const char* state, kd::TaskState s, int exit, int signal) {
    kd::TaskStatus t;
    t.state_name = state;
    t.state = s;
    t.exit_code = exit;
    t.signal = signal;
    t.nodes = "n1";
    return t;
  };
  std::vector<kd::TaskReport> reports(5);
  for (std::size_t i = 0; i < reports.size(); ++i) {
    reports[i].task = i;
    reports[i].job_id = "42";
    reports[i].planned = 10;
    reports[i].stored = 10;
  }
  reports[0].status = status("COMPLETED", kd::TaskState::kCompleted, 0, 0);
  reports[1].status = status("FAILED", kd::TaskState::kFailed, 1, 0);
  reports[1].stored = 4;
  reports[2].status = status("RUNNING", kd::TaskState::kRunning, 0, 0);
  reports[3].stored = 3;  // Slurm forgot it, and its store lacks runs: failed
  // reports[4]: Slurm forgot it, every run stored: done
  EXPECT_EQ(kd::summarize_reports(reports).text(), "0 pending, 1 running, 2 done, 2 failed");
  EXPECT_EQ(kd::task_line(reports[1]),
            "task 1 (job 42_1) on n1: FAILED: exit 1; 4 of 10 runs stored");
  EXPECT_EQ(kd::task_line(reports[3]),
            "task 3 (job 42_3): no longer known to Slurm; 3 of 10 runs stored");
  EXPECT_FALSE(reports[2].ended());
  EXPECT_TRUE(reports[3].ended());
  EXPECT_FALSE(reports[3].succeeded());
}

}  // namespace
