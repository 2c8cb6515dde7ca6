// Following a job and its end without a Slurm cluster: scontrol and scancel are scripts that
// answer what a test wrote, the tasks' stores are made by hand, and what the following shows
// is captured.
#include "driver/cluster/follow.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "driver/base/errors.h"
#include "driver/tests/cluster/fake_slurm.h"
#include "driver/tests/support/configs.h"

namespace {

namespace fs = std::filesystem;
namespace kd = ks::driver;
using ks::driver::test::config;
using ks::driver::test::FakeSlurm;
using ks::driver::test::record;
using ks::driver::test::Shown;

// scontrol's one-line record of task `task` of job 42.
std::string task_record(int task, const std::string& state, const std::string& exit,
                        const std::string& node, const std::string& reason = "None") {
  return "JobId=" + std::to_string(43 + task) +
         " ArrayJobId=42 ArrayTaskId=" + std::to_string(task) + " JobState=" + state +
         " Reason=" + reason + " ExitCode=" + exit + " NodeList=" + node + "\n";
}

// A folder as a split job of two tasks leaves it: results.db made by the submitter, each task's
// store holding the first `stored[t]` of the runs task t was given (task 0 the first
// configuration's, task 1 the second's).
class FollowJob : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = ks::driver::test::temp_folder("follow");
    std::vector<kd::Config> configs = {config("plus-static", 1000, 1),
                                       config("plus-parloop", 1000, 2)};
    for (kd::Config& c : configs) {
      c.warmup = 1;
    }
    plan = kd::interleaved_plan(std::move(configs));
    job.kind = "sweep";
    job.submissions = {
        {"42", {{{}, "", kd::task_store_name(0, 0)}, {{}, "", kd::task_store_name(0, 1)}}}};
    for (std::size_t seq = 0; seq < plan.runs.size(); ++seq) {
      job.submissions[0].tasks[plan.runs[seq].config].runs.push_back(seq);
    }
  }
  void TearDown() override { fs::remove_all(dir); }

  void make_stores(const std::string& kind, std::size_t stored0, std::size_t stored1) {
    kd::StoreOptions made;
    made.kind = kind;
    (void)kd::Store::create(dir, plan, {}, {"kernelscope", kind, "--slurm"}, made);
    const std::size_t stored[] = {stored0, stored1};
    for (std::size_t t = 0; t < 2; ++t) {
      kd::StoreOptions options;
      options.file = job.submissions[0].tasks[t].store;
      options.kind = kind;
      options.host = t == 0 ? "n1" : "n2";
      kd::Store store = kd::Store::create(dir, plan, {{"cpu", {{"model", "a CPU"}}}}, {}, options);
      for (std::size_t i = 0; i < stored[t]; ++i) {
        const std::size_t seq = job.submissions[0].tasks[t].runs[i];
        kd::RunRecord r = record(plan.runs[seq].config, 0.001, plan.runs[seq].warmup);
        r.round = plan.runs[seq].round;
        store.append_run(r);
      }
    }
  }

  std::size_t runs_in_results() const {
    return kd::Store::open_readonly(dir + "/results.db").load().runs.size();
  }

  std::string dir;
  kd::Plan plan;
  kd::ClusterJob job;
};

TEST_F(FollowJob, EndedTasksMergedRenderedAndReported) {
  struct Case {
    const char* name;
    std::string kind;
    std::size_t stored1;  // of task 1's four runs
    std::string task1;    // scontrol's record of it
    std::vector<std::string> errors;
    int status;
  };
  const std::vector<Case> cases = {
      {"every run made", "sweep", 4, task_record(1, "COMPLETED", "0:0", "n2"), {}, 0},
      {"a tour: its own table", "tour", 4, task_record(1, "COMPLETED", "0:0", "n2"), {}, 0},
      {"a task failed halfway",
       "sweep",
       2,
       task_record(1, "FAILED", "1:0", "n2"),
       {"task 1 (job 42_1) on n2: FAILED: exit 1; 2 of 4 runs stored",
        "2 of 8 planned runs are missing; resume with: kernelscope resume DIR"},
       kd::kRunsFailed},
  };
  ASSERT_EQ(plan.runs.size(), 8u);  // two configurations of a warm-up and three runs
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    job.kind = c.kind;
    make_stores(c.kind, 4, c.stored1);
    FakeSlurm slurm;
    slurm.command("scontrol", task_record(0, "COMPLETED", "0:0", "n1") + c.task1);
    Shown shown;
    EXPECT_EQ(kd::follow_job(dir, job, /*wait=*/true, shown.output()), c.status);
    EXPECT_EQ(slurm.args("scontrol"), "-o show job 42");

    const std::size_t merged = 4 + c.stored1;
    const std::string first = std::to_string(merged) + " runs merged into " + dir + "/results.db\n";
    const std::string last =
        std::to_string(merged) + " runs in results.db; results in " + dir + "/\n";
    EXPECT_EQ(shown.out.substr(0, first.size()), first);
    ASSERT_GE(shown.out.size(), first.size() + last.size());
    EXPECT_EQ(shown.out.substr(shown.out.size() - last.size()), last);
    const std::string table =
        shown.out.substr(first.size(), shown.out.size() - first.size() - last.size());
    if (c.kind == "tour") {
      EXPECT_EQ(shown.tours, 1);
      EXPECT_EQ(table, "");  // the caller shows a tour
    } else {
      EXPECT_EQ(shown.tours, 0);
      EXPECT_NE(table.find("plus-static"), std::string::npos) << table;
      EXPECT_NE(table.find("plus-parloop"), std::string::npos) << table;
    }
    std::vector<std::string> errors = c.errors;
    for (std::string& e : errors) {
      if (const auto at = e.find("DIR"); at != std::string::npos) {
        e.replace(at, 3, dir);
      }
    }
    EXPECT_EQ(shown.errors, errors);
    EXPECT_EQ(runs_in_results(), merged);
    EXPECT_TRUE(fs::exists(dir + "/report.md"));

    // Finished again (status does it when the submitter is gone): nothing more to merge.
    Shown again;
    EXPECT_EQ(kd::finish_job(dir, job, again.output()), c.status);
    EXPECT_EQ(again.out.find("merged"), std::string::npos) << again.out;
    EXPECT_EQ(again.out.substr(again.out.size() - last.size()), last);
    EXPECT_EQ(runs_in_results(), merged);
  }
}

TEST_F(FollowJob, WithoutWaitingNothingIsAskedNorMerged) {
  make_stores("sweep", 4, 4);
  FakeSlurm slurm;
  slurm.command("scontrol", task_record(0, "COMPLETED", "0:0", "n1"));
  Shown shown;
  EXPECT_EQ(kd::follow_job(dir, job, /*wait=*/false, shown.output()), 0);
  EXPECT_EQ(shown.out,
            "kernelscope status " + dir + " follows it; its results are merged once it ends\n");
  EXPECT_TRUE(shown.errors.empty());
  EXPECT_EQ(slurm.args("scontrol"), "");
  EXPECT_EQ(runs_in_results(), 0u);
}

TEST_F(FollowJob, AJobThatCanNeverStartIsCancelled) {
  make_stores("sweep", 0, 0);
  FakeSlurm slurm;
  slurm.command("scontrol", task_record(0, "PENDING", "0:0", "(null)", "PartitionNodeLimit") +
                                task_record(1, "PENDING", "0:0", "(null)", "PartitionNodeLimit"));
  slurm.command("scancel", "");
  Shown shown;
  EXPECT_EQ(kd::follow_job(dir, job, /*wait=*/true, shown.output()), kd::kBadInput);
  EXPECT_EQ(slurm.args("scancel"), "42");
  ASSERT_EQ(shown.errors.size(), 1u);
  EXPECT_EQ(shown.errors[0],
            "job 42 can never start as requested (PENDING (PartitionNodeLimit)): cancelled");
  EXPECT_EQ(shown.out, "");
  EXPECT_EQ(runs_in_results(), 0u);
}

TEST_F(FollowJob, TaskReportsOfASlurmThatCannotBeAsked) {
  FakeSlurm slurm(/*alone=*/true);  // no scontrol at all
  EXPECT_THROW(kd::task_reports(dir, job, false), kd::UsageError);
  // A submission that never went out asks nothing.
  kd::ClusterJob refused = job;
  refused.submissions[0].job_id.clear();
  EXPECT_TRUE(kd::task_reports(dir, refused, false).empty());
}

}  // namespace
