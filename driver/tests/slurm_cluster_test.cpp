// The Slurm client layer against a real controller: a private single-node cluster
// (scripts/slurm-cluster). Under CTest a fixture starts it in a temporary folder and stops it
// whatever happens here (KS_SLURM_CLUSTER_STATE names the file holding that folder); run
// alone, this program starts and stops its own. Exits 77 (skipped) only when Slurm's commands
// are not installed.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <fmt/format.h>

#include "driver/slurm.h"
#include "spawn/spawn.h"

namespace {

namespace fs = std::filesystem;
using ks::driver::JobQuery;
using ks::driver::SlurmClient;
using ks::driver::SlurmErrorKind;
using ks::driver::SlurmMode;
using ks::driver::SlurmRequest;
using ks::driver::TaskState;

const std::string kClusterScript = KS_SLURM_CLUSTER_SCRIPT;

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// The cluster every test uses: its folder and slurm.conf.
struct Cluster {
  std::string dir;   // holds cluster/
  bool own = false;  // started here, to be stopped here
  std::string conf() const { return dir + "/cluster/slurm.conf"; }
};
Cluster g_cluster;

ks::RunResult run_script(const std::string& action) {
  ks::RunOptions options;
  options.args = {action, g_cluster.dir + "/cluster"};
  options.timeout_seconds = 120;
  return ks::run_program(kClusterScript, options);
}

class ClusterEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (const char* state = std::getenv("KS_SLURM_CLUSTER_STATE")) {
      std::string dir = slurp(state);
      while (!dir.empty() && dir.back() == '\n') {
        dir.pop_back();
      }
      ASSERT_FALSE(dir.empty()) << "no cluster folder in " << state;
      g_cluster.dir = dir;
    } else {
      char name[] = "/tmp/ks-slurm.XXXXXX";
      ASSERT_NE(mkdtemp(name), nullptr);
      fs::permissions(name, fs::perms(0755));
      g_cluster = {name, true};
      const ks::RunResult r = run_script("start");
      ASSERT_TRUE(r.ok()) << r.describe() << "\n" << r.err;
    }
    ASSERT_TRUE(fs::exists(g_cluster.conf())) << g_cluster.conf();
    // For the commands the tests run themselves, kernelscope included.
    setenv("SLURM_CONF", g_cluster.conf().c_str(), 1);
  }
  void TearDown() override {
    if (g_cluster.own) {
      const ks::RunResult r = run_script("stop");
      EXPECT_TRUE(r.ok()) << r.describe() << "\n" << r.err;
      fs::remove_all(g_cluster.dir);
    }
  }
};

SlurmClient client() {
  SlurmClient c;
  c.env["SLURM_CONF"] = g_cluster.conf();
  return c;
}

// A fresh output folder for one test's tasks, inside the cluster's folder.
std::string out_dir(const std::string& name) {
  const std::string dir = g_cluster.dir + "/out-" + name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// Job ids the controller still has queued or running.
std::set<std::string> queued_jobs() {
  ks::RunOptions options;
  options.args = {"-h", "-o", "%A"};
  options.env["SLURM_CONF"] = g_cluster.conf();
  options.timeout_seconds = 30;
  const ks::RunResult r = ks::run_program(client().find("squeue"), options);
  EXPECT_TRUE(r.ok()) << r.err;
  std::set<std::string> ids;
  std::istringstream in(r.out);
  for (std::string id; in >> id;) {
    ids.insert(id);
  }
  return ids;
}

// Cancels a test's jobs when it ends, passed or failed.
struct JobGuard {
  std::vector<std::string> ids;
  ~JobGuard() {
    for (const std::string& id : ids) {
      (void)client().cancel(id);
    }
  }
};

// Polls the job until every task has ended (or `seconds` have passed).
JobQuery wait_until_ended(const std::string& job_id, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  JobQuery q;
  do {
    q = client().query(job_id);
    if (q.error || (!q.tasks.empty() && ks::driver::summarize(q.tasks).finished())) {
      return q;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  } while (std::chrono::steady_clock::now() < deadline);
  ADD_FAILURE() << "job " << job_id << " still running after " << seconds << " s";
  return q;
}

// Polls the job until `task` runs.
bool wait_running(const std::string& job_id, int task, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const auto& t : client().query(job_id).tasks) {
      if (t.task == task && t.state == TaskState::kRunning) {
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return false;
}

// The cluster's slurm.conf with one setting changed, applied by `scontrol reconfigure`, and
// put back when the object goes.
class ConfChange {
 public:
  ConfChange(const std::string& from, const std::string& to) : original_(slurp(g_cluster.conf())) {
    std::string changed = original_;
    const std::size_t at = changed.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) {
      changed.replace(at, from.size(), to);
    }
    write(changed);
  }
  ~ConfChange() { write(original_); }

 private:
  void write(const std::string& text) {
    std::ofstream(g_cluster.conf()) << text;
    ks::RunOptions options;
    options.args = {"reconfigure"};
    options.env["SLURM_CONF"] = g_cluster.conf();
    options.timeout_seconds = 30;
    const ks::RunResult r = ks::run_program(client().find("scontrol"), options);
    EXPECT_TRUE(r.ok()) << r.err;
  }
  std::string original_;
};

SlurmRequest shell_request(const std::string& name, int tasks, const std::string& command) {
  SlurmRequest r;
  r.output_dir = out_dir(name);
  r.tasks = tasks;
  r.job_name = "ks-" + name;
  r.command = {"/bin/sh", "-c", command};
  return r;
}

TEST(SlurmCluster, RefusalsAreOneClearLineAndSubmitNothing) {
  const std::set<std::string> before = queued_jobs();
  struct Case {
    const char* name;
    void (*change)(SlurmRequest&);
    SlurmErrorKind kind;
    const char* words;
  };
  const std::vector<Case> cases = {
      {"unknown partition", [](SlurmRequest& r) { r.partition = "nosuchpartition"; },
       SlurmErrorKind::kUnknownPartition, "nosuchpartition"},
      {"more nodes than the partition has", [](SlurmRequest& r) { r.nodes = 2; },
       SlurmErrorKind::kTooManyNodes, "larger than the partition's nodes"},
      {"one task on each of more nodes than there are",
       [](SlurmRequest& r) { r.mode = SlurmMode::kPerNode, r.nodes = 3; },
       SlurmErrorKind::kTooManyNodes, "larger than the partition's nodes"},
      {"unknown node", [](SlurmRequest& r) { r.nodelist = "nosuchnode"; },
       SlurmErrorKind::kUnknownNode, "does not exist"},
  };
  for (const Case& c : cases) {
    SlurmRequest r = shell_request("refused", 2, "true");
    c.change(r);
    const auto result = client().submit(r);
    EXPECT_EQ(result.error.kind, c.kind) << c.name << ": " << result.error.message;
    EXPECT_NE(result.error.message.find(c.words), std::string::npos) << result.error.message;
    EXPECT_EQ(result.error.message.find('\n'), std::string::npos) << result.error.message;
    EXPECT_TRUE(result.job_id.empty()) << c.name;
  }
  EXPECT_EQ(queued_jobs(), before);
}

TEST(SlurmCluster, NoControllerIsToldAtOnce) {
  // A copy of the configuration whose controller port nobody listens on.
  std::string conf = slurp(g_cluster.conf());
  const std::size_t port = conf.find("SlurmctldPort=");
  ASSERT_NE(port, std::string::npos);
  const std::size_t digits = port + std::strlen("SlurmctldPort=");
  conf.replace(digits, conf.find('\n', digits) - digits, "1");
  const std::string dead = g_cluster.dir + "/dead.conf";
  std::ofstream(dead) << conf;
  SlurmClient c;
  c.env["SLURM_CONF"] = dead;
  c.timeout_seconds = 3;  // the commands themselves retry for 9 s and more

  const auto start = std::chrono::steady_clock::now();
  const auto result = c.submit(shell_request("dead", 1, "true"));
  EXPECT_EQ(result.error.kind, SlurmErrorKind::kNoController) << result.error.message;
  EXPECT_NE(result.error.message.find("no Slurm controller"), std::string::npos);
  const JobQuery q = c.query("1");
  EXPECT_EQ(q.error.kind, SlurmErrorKind::kNoController) << q.error.message;
  EXPECT_NE(q.error.message.find("within 3 s"), std::string::npos) << q.error.message;
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 30)
      << "a command outlived its timeout";

  // No configuration at all.
  c.env["SLURM_CONF"] = g_cluster.dir + "/missing.conf";
  const auto none = c.submit(shell_request("dead", 1, "true"));
  EXPECT_TRUE(none.error.kind == SlurmErrorKind::kNoConfig ||
              none.error.kind == SlurmErrorKind::kNoController)
      << none.error.message;
}

// Without enforced partition limits sbatch accepts a job larger than the partition, which
// then waits forever: submit() refuses it, and the state of such a job shows it as blocked.
TEST(SlurmCluster, RequestLargerThanNodesWithoutEnforcedLimits) {
  const ConfChange lax("EnforcePartLimits=ALL", "EnforcePartLimits=NO");
  SlurmRequest r = shell_request("lax", 1, "true");
  r.nodes = 2;
  const auto result = client().submit(r);
  EXPECT_EQ(result.error.kind, SlurmErrorKind::kTooManyNodes) << result.error.message;
  EXPECT_TRUE(result.job_id.empty());

  // The same job submitted behind the layer's back.
  ks::RunOptions options;
  options.args = {"--parsable", "--nodes=2", "-o", "/dev/null", "--wrap=true"};
  options.env["SLURM_CONF"] = g_cluster.conf();
  options.timeout_seconds = 30;
  const ks::RunResult sb = ks::run_program(client().find("sbatch"), options);
  ASSERT_TRUE(sb.ok()) << sb.err;
  JobGuard guard{{sb.out.substr(0, sb.out.find_first_of(";\n"))}};
  const JobQuery q = client().query(guard.ids[0]);
  ASSERT_FALSE(q.error) << q.error.message;
  const auto summary = ks::driver::summarize(q.tasks);
  EXPECT_EQ(summary.blocked, std::vector<int>{0}) << q.tasks.at(0).describe();
}

// Every way a task can end, and a cancelled array whose tasks were all pending.
TEST(SlurmCluster, EveryTaskEndIsReported) {
  SlurmRequest r = shell_request("ends", 4,
                                 "case $SLURM_ARRAY_TASK_ID in "
                                 "0) echo cpus=$SLURM_CPUS_ON_NODE omp=${OMP_NUM_THREADS-unset};; "
                                 "1) exit 3;; "
                                 "2) kill -SEGV $$;; "
                                 "*) exec sleep 600;; esac");
  r.time = "1";  // minutes: task 3 runs into it
  const auto submitted = client().submit(r);
  ASSERT_FALSE(submitted.error) << submitted.error.message;
  JobGuard guard{{submitted.job_id}};

  // While task 3 holds the node (every task is exclusive), a second array can only wait.
  ASSERT_TRUE(wait_running(submitted.job_id, 3, 60));
  const auto second = client().submit(shell_request("cancelled", 3, "true"));
  ASSERT_FALSE(second.error) << second.error.message;
  guard.ids.push_back(second.job_id);
  EXPECT_EQ(ks::driver::summarize(client().query(second.job_id).tasks).text(),
            "3 pending, 0 running, 0 done, 0 failed");
  EXPECT_FALSE(client().cancel(second.job_id));
  const JobQuery cancelled = wait_until_ended(second.job_id, 30);
  ASSERT_FALSE(cancelled.error) << cancelled.error.message;
  ASSERT_EQ(cancelled.tasks.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(cancelled.tasks[i].task, i);
    EXPECT_EQ(cancelled.tasks[i].state, TaskState::kCancelled) << cancelled.tasks[i].describe();
  }

  // The time limit is checked every 30 s or so after its minute: allow for it.
  const JobQuery q = wait_until_ended(submitted.job_id, 180);
  ASSERT_FALSE(q.error) << q.error.message;
  ASSERT_EQ(q.tasks.size(), 4u);
  EXPECT_EQ(q.tasks[0].describe(), "COMPLETED");
  EXPECT_EQ(q.tasks[1].describe(), "FAILED: exit 3");
  EXPECT_EQ(q.tasks[2].state, TaskState::kFailed);
  EXPECT_EQ(q.tasks[2].signal, 11) << q.tasks[2].describe();
  EXPECT_EQ(q.tasks[3].state, TaskState::kTimeout) << q.tasks[3].describe();
  EXPECT_EQ(ks::driver::summarize(q.tasks).text(), "0 pending, 0 running, 1 done, 3 failed");

  // The task's output file, in the output folder: the allocation's CPUs, and no
  // OMP_NUM_THREADS from Slurm.
  const std::string out = slurp(fmt::format("{}/slurm-{}_0.out", r.output_dir, submitted.job_id));
  int cpus = 0;
  char omp[16] = "";
  ASSERT_EQ(std::sscanf(out.c_str(), "cpus=%d omp=%15s", &cpus, omp), 2) << out;
  EXPECT_GE(cpus, 1) << out;
  EXPECT_STREQ(omp, "unset") << out;
}

// One task per node, pinned: by a count (Slurm names the nodes) and by a list.
TEST(SlurmCluster, PerNodeTasksRunOnTheirNodes) {
  SlurmRequest r =
      shell_request("pernode", 1, "echo task $SLURM_ARRAY_TASK_ID on $SLURMD_NODENAME");
  r.mode = SlurmMode::kPerNode;
  r.nodes = 1;
  const auto by_count = client().submit(r);
  ASSERT_FALSE(by_count.error) << by_count.error.message;
  JobGuard guard{{by_count.job_id}};
  ASSERT_EQ(by_count.layout.task_nodes.size(), 1u);
  const std::string node = by_count.layout.task_nodes[0];
  JobQuery q = wait_until_ended(by_count.job_id, 60);
  ASSERT_EQ(q.tasks.size(), 1u);
  EXPECT_EQ(q.tasks[0].describe(), "COMPLETED");
  EXPECT_EQ(q.tasks[0].nodes, node);
  EXPECT_EQ(slurp(fmt::format("{}/slurm-{}_0.out", r.output_dir, by_count.job_id)),
            "task 0 on " + node + "\n");

  r.nodes = 0;
  r.nodelist = node;
  ks::driver::SlurmError error;
  const std::string script = client().dry_run(r, error);
  EXPECT_FALSE(error) << error.message;
  EXPECT_NE(script.find("#SBATCH --hold\n"), std::string::npos) << script;
  EXPECT_NE(script.find("#   task 0: " + node + "\n"), std::string::npos) << script;
  const auto by_list = client().submit(r);
  ASSERT_FALSE(by_list.error) << by_list.error.message;
  guard.ids.push_back(by_list.job_id);
  q = wait_until_ended(by_list.job_id, 60);
  ASSERT_EQ(q.tasks.size(), 1u);
  EXPECT_EQ(q.tasks[0].describe(), "COMPLETED");

  // Split over listed nodes: every task pinned (here all to the one node), all released.
  SlurmRequest listed = shell_request("listed", 3, "true");
  listed.nodelist = node;
  const auto pinned = client().submit(listed);
  ASSERT_FALSE(pinned.error) << pinned.error.message;
  guard.ids.push_back(pinned.job_id);
  EXPECT_EQ(pinned.layout.task_nodes, std::vector<std::string>(3, node));
  q = wait_until_ended(pinned.job_id, 60);
  EXPECT_EQ(ks::driver::summarize(q.tasks).text(), "0 pending, 0 running, 3 done, 0 failed");

  // Split over at most one node at a time: both tasks run, one after the other.
  SlurmRequest split = shell_request("split", 2, "true");
  split.nodes = 1;
  const auto throttled = client().submit(split);
  ASSERT_FALSE(throttled.error) << throttled.error.message;
  guard.ids.push_back(throttled.job_id);
  EXPECT_EQ(throttled.layout.throttle, 1);
  q = wait_until_ended(throttled.job_id, 60);
  EXPECT_EQ(ks::driver::summarize(q.tasks).text(), "0 pending, 0 running, 2 done, 0 failed");
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const SlurmClient probe;
  for (const char* command :
       {"sbatch", "scontrol", "scancel", "squeue", "slurmctld", "slurmd", "munged", "mungekey"}) {
    if (probe.find(command).empty() && probe.find(std::string("/usr/sbin/") + command).empty()) {
      std::printf("skipped: %s is not installed\n", command);
      return 77;
    }
  }
  ::testing::AddGlobalTestEnvironment(new ClusterEnvironment);
  return RUN_ALL_TESTS();
}
