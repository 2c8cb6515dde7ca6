// A task of a job array run as a node runs it, without Slurm: the suite's own plus-static made
// into the task's store, only what the store lacks made again, and a fresh warm-up (made, not
// stored) before measured runs whose warm-up was made elsewhere.
#include "driver/cluster/task.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "driver/base/errors.h"
#include "driver/run/machine.h"
#include "driver/tests/cluster/fake_slurm.h"
#include "driver/tests/support/configs.h"

namespace {

namespace fs = std::filesystem;
namespace kd = ks::driver;
using ks::driver::test::config;
using ks::driver::test::Shown;

// A job of one submission whose task 0 makes `runs` of a plan of one configuration (a warm-up
// and three measured runs), its store made as the submission makes it.
kd::ClusterJob task_job(const std::string& dir, const kd::Plan& plan,
                        std::vector<std::size_t> runs) {
  kd::ClusterJob job;
  job.submissions = {{"42", {{std::move(runs), "", kd::task_store_name(0, 0)}}}};
  kd::StoreOptions options;
  options.file = job.submissions[0].tasks[0].store;
  options.kind = job.kind;
  (void)kd::Store::create(dir, plan, nlohmann::json(), {}, options);
  kd::write_job(dir, job);
  return job;
}

std::size_t stored(const std::string& dir) {
  return kd::Store::open_readonly(dir + "/" + kd::task_store_name(0, 0)).load().runs.size();
}

TEST(RunTask, MakesWhatItsStoreLacks) {
  kd::Config c = config("plus-static", 1000, 1);
  c.warmup = 1;
  const kd::Plan plan = kd::interleaved_plan({c});
  ASSERT_EQ(plan.runs.size(), 4u);
  ASSERT_TRUE(plan.runs[0].warmup);
  const std::string cpus = std::to_string(kd::usable_cpus());
  struct Case {
    const char* name;
    std::vector<std::size_t> runs;
    std::string first_runs;  // as the task's first line says them
    std::size_t made;
  };
  const std::vector<Case> cases = {
      {"the whole configuration", {0, 1, 2, 3}, "4 runs", 4},
      {"measured runs whose warm-up another node made", {2, 3}, "2 runs after 1 fresh warm-up", 2},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.name);
    const std::string dir = ks::driver::test::temp_folder("task");
    (void)task_job(dir, plan, t.runs);
    const kd::TaskStart start{
        .dir = dir, .submission = 0, .index = 0, .bin_dir = KS_BIN_DIR, .timeout_seconds = 60};
    Shown shown;
    EXPECT_EQ(kd::run_task(start, shown.output()), 0);
    const std::string host =
        kd::Store::open_readonly(dir + "/" + kd::task_store_name(0, 0)).load().host;
    EXPECT_EQ(shown.out, "task 0 of job 42 on " + host + ": " + t.first_runs + ", " + cpus +
                             " CPUs\ntask 0: " + std::to_string(t.made) +
                             " runs made, 0 not valid\n");
    EXPECT_TRUE(shown.errors.empty());
    EXPECT_EQ(stored(dir), t.made);  // a fresh warm-up is not stored

    // Started again by hand: nothing is left to make.
    Shown again;
    EXPECT_EQ(kd::run_task(start, again.output()), 0);
    EXPECT_EQ(again.out, "task 0 of job 42 on " + host + ": 0 runs, " + cpus +
                             " CPUs\ntask 0: 0 runs made, 0 not valid\n");
    EXPECT_EQ(stored(dir), t.made);
    fs::remove_all(dir);
  }
}

TEST(RunTask, ATaskTheJobDoesNotHaveIsRefused) {
  const std::string dir = ks::driver::test::temp_folder("no-task");
  (void)task_job(dir, kd::interleaved_plan({config("plus-static", 1000, 1)}), {0, 1, 2});
  Shown shown;
  for (const auto& [submission, index] : {std::pair<std::size_t, int>{0, 1}, {1, 0}, {0, -1}}) {
    try {
      (void)kd::run_task({.dir = dir, .submission = submission, .index = index}, shown.output());
      ADD_FAILURE() << "ran task " << index << " of submission " << submission;
    } catch (const kd::UsageError& e) {
      EXPECT_EQ(std::string(e.what()), dir + " has no task " + std::to_string(index) +
                                           " in submission " + std::to_string(submission));
    }
  }
  EXPECT_EQ(shown.out, "");
  EXPECT_EQ(stored(dir), 0u);
  fs::remove_all(dir);
}

}  // namespace
