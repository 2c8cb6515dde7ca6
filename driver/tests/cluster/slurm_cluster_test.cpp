// The Slurm client layer against a real controller: the private cluster of
// scripts/slurm-cluster, three nodes in network namespaces. Under CTest a fixture starts it in
// a temporary folder and stops it whatever happens here (KS_SLURM_CLUSTER_STATE names the file
// holding that folder); run alone, this program starts and stops its own. Exits 77 (skipped)
// only when Slurm's commands are not installed.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <fmt/format.h>

#include "driver/tests/cluster/slurm_cluster.h"

namespace ks::driver::cluster_test {

const std::string kClusterScript = KS_SLURM_CLUSTER_SCRIPT;
const std::string kKernelscope = KS_KERNELSCOPE;
const std::string kFakes = KS_DRIVER_FAKES;

Cluster& cluster() {
  static Cluster c;
  return c;
}

ks::RunResult cluster_script(const std::string& action, std::vector<std::string> args) {
  ks::RunOptions options;
  options.args = {action, cluster().home()};
  options.args.insert(options.args.end(), args.begin(), args.end());
  options.timeout_seconds = 120;
  return ks::run_program(kClusterScript, options);
}

std::string fake_bin(const std::string& name, const std::string& fake) {
  const std::string bin = folder(name + "-bin");
  for (const char* program : {"plus-static", "plus-parloop"}) {
    fs::copy_file(kFakes + "/" + fake + "/plus-static", bin + "/" + program);
  }
  return bin;
}

ks::RunResult kernelscope(std::vector<std::string> args, ks::RunOptions options) {
  options.args = std::move(args);
  options.timeout_seconds = 240;
  if (options.env.find("KS_FAKE_SLEEP") == options.env.end()) {
    options.env["KS_FAKE_SLEEP"] = "0";
  }
  return ks::run_program(kKernelscope, options);
}

}  // namespace ks::driver::cluster_test

namespace {

namespace fs = std::filesystem;
using namespace ks::driver::cluster_test;
using ks::driver::JobQuery;
using ks::driver::SlurmErrorKind;
using ks::driver::SlurmMode;
using ks::driver::SlurmRequest;
using ks::driver::TaskState;

class ClusterEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    Cluster& c = cluster();
    if (const char* state = std::getenv("KS_SLURM_CLUSTER_STATE")) {
      std::string dir = slurp(state);
      while (!dir.empty() && dir.back() == '\n') {
        dir.pop_back();
      }
      ASSERT_FALSE(dir.empty()) << "no cluster folder in " << state;
      c.dir = dir;
    } else {
      char name[] = "/tmp/ks-slurm.XXXXXX";
      ASSERT_NE(mkdtemp(name), nullptr);
      fs::permissions(name, fs::perms(0755));
      c.dir = name;
      c.own = true;
      ks::RunResult r = cluster_script("start", {"--nodes", "3"});
      if (r.exited && r.exit_status == 3) {
        std::printf("%s", r.err.c_str());
        r = cluster_script("start", {"--local"});
      }
      ASSERT_TRUE(r.ok()) << r.describe() << "\n" << r.err;
    }
    ASSERT_TRUE(fs::exists(c.conf())) << c.conf();
    // For the commands the tests run themselves, kernelscope included: the cluster's client
    // commands (which reach a controller in its namespace) first on PATH.
    setenv("SLURM_CONF", c.conf().c_str(), 1);
    c.namespaced = fs::exists(c.home() + "/bin/sbatch");
    if (c.namespaced) {
      const char* path = std::getenv("PATH");
      setenv("PATH", (c.home() + "/bin:" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);
    }
    const ks::RunResult nodes = slurm("sinfo", {"-h", "-N", "-o", "%N"});
    ASSERT_TRUE(nodes.ok()) << nodes.err;
    std::istringstream in(nodes.out);
    for (std::string node; in >> node;) {
      if (std::find(c.nodes.begin(), c.nodes.end(), node) == c.nodes.end()) {
        c.nodes.push_back(node);
      }
    }
    ASSERT_FALSE(c.nodes.empty());
    if (!c.namespaced) {
      std::printf(
          "the cluster runs on one node (%s, 127.0.0.1): network namespaces are not allowed "
          "here; the tests that need several nodes are skipped\n",
          c.nodes.front().c_str());
    }
  }
  void TearDown() override {
    if (cluster().own) {
      const ks::RunResult r = cluster_script("stop");
      EXPECT_TRUE(r.ok()) << r.describe() << "\n" << r.err;
      fs::remove_all(cluster().dir);
    }
  }
};

// A fresh output folder for one test's tasks.
std::string out_dir(const std::string& name) {
  return folder("out-" + name);
}

// Polls the job until every task has ended (or `seconds` have passed).
JobQuery wait_until_ended(const std::string& job_id, double seconds) {
  JobQuery q;
  const bool ended = poll_until(seconds, [&] {
    q = client().query(job_id);
    return q.error || (!q.tasks.empty() && ks::driver::summarize(q.tasks).finished());
  });
  EXPECT_TRUE(ended) << "job " << job_id << " still running after " << seconds << " s";
  return q;
}

// Polls the job until `task` runs.
bool wait_running(const std::string& job_id, int task, double seconds) {
  return poll_until(seconds, [&] {
    for (const auto& t : client().query(job_id).tasks) {
      if (t.task == task && t.state == TaskState::kRunning) {
        return true;
      }
    }
    return false;
  });
}

// The cluster's slurm.conf with one setting changed, applied by `scontrol reconfigure`, and
// put back when the object goes. Written whole and renamed: the tests running beside this one
// read it all the time.
class ConfChange {
 public:
  ConfChange(const std::string& from, const std::string& to) : original_(slurp(cluster().conf())) {
    std::string changed = original_;
    const std::size_t at = changed.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) {
      changed.replace(at, from.size(), to);
    }
    write(changed);
  }
  ~ConfChange() { write(original_); }
  ConfChange(const ConfChange&) = delete;
  ConfChange& operator=(const ConfChange&) = delete;

 private:
  static void write(const std::string& text) {
    const std::string tmp = cluster().conf() + ".new";
    std::ofstream(tmp) << text;
    fs::rename(tmp, cluster().conf());
    const ks::RunResult r = slurm("scontrol", {"reconfigure"});
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

const std::string& first_node() {
  return cluster().nodes.front();
}

TEST(SlurmCluster, RefusalsAreOneClearLineAndSubmitNothing) {
  // Other tests' jobs come and go meanwhile: only this test's name counts.
  const std::set<std::string> before = queued_jobs("ks-refused");
  const int beyond = static_cast<int>(cluster().nodes.size()) + 1;
  struct Case {
    const char* name;
    std::function<void(SlurmRequest&)> change;
    SlurmErrorKind kind;
    const char* words;
  };
  const std::vector<Case> cases = {
      {"unknown partition", [](SlurmRequest& r) { r.partition = "nosuchpartition"; },
       SlurmErrorKind::kUnknownPartition, "nosuchpartition"},
      {"more nodes than the partition has", [&](SlurmRequest& r) { r.nodes = beyond; },
       SlurmErrorKind::kTooManyNodes, "larger than the partition's nodes"},
      {"one task on each of more nodes than there are",
       [&](SlurmRequest& r) { r.mode = SlurmMode::kPerNode, r.nodes = beyond; },
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
  EXPECT_EQ(queued_jobs("ks-refused"), before);
}

TEST(SlurmCluster, NoControllerIsToldAtOnce) {
  // A copy of the configuration whose controller port nobody listens on.
  std::string conf = slurp(cluster().conf());
  const std::size_t port = conf.find("SlurmctldPort=");
  ASSERT_NE(port, std::string::npos);
  const std::size_t digits = port + std::strlen("SlurmctldPort=");
  conf.replace(digits, conf.find('\n', digits) - digits, "1");
  const std::string dead = cluster().dir + "/dead.conf";
  std::ofstream(dead) << conf;
  ks::driver::SlurmClient c;
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
  c.env["SLURM_CONF"] = cluster().dir + "/missing.conf";
  const auto none = c.submit(shell_request("dead", 1, "true"));
  EXPECT_TRUE(none.error.kind == SlurmErrorKind::kNoConfig ||
              none.error.kind == SlurmErrorKind::kNoController)
      << none.error.message;
}

// Without enforced partition limits sbatch accepts a job larger than the partition, which
// then waits forever: submit() refuses it, and the state of such a job shows it as blocked.
TEST(SlurmCluster, RequestLargerThanNodesWithoutEnforcedLimits) {
  const ConfChange lax("EnforcePartLimits=ALL", "EnforcePartLimits=NO");
  const int beyond = static_cast<int>(cluster().nodes.size()) + 1;
  SlurmRequest r = shell_request("lax", 1, "true");
  r.nodes = beyond;
  const auto result = client().submit(r);
  EXPECT_EQ(result.error.kind, SlurmErrorKind::kTooManyNodes) << result.error.message;
  EXPECT_TRUE(result.job_id.empty());

  // The same job submitted behind the layer's back.
  const ks::RunResult sb = slurm("sbatch", {"--parsable", fmt::format("--nodes={}", beyond), "-o",
                                            "/dev/null", "--wrap=true"});
  ASSERT_TRUE(sb.ok()) << sb.err;
  JobGuard guard{{sb.out.substr(0, sb.out.find_first_of(";\n"))}};
  const JobQuery q = client().query(guard.ids[0]);
  ASSERT_FALSE(q.error) << q.error.message;
  const auto summary = ks::driver::summarize(q.tasks);
  EXPECT_EQ(summary.blocked, std::vector<int>{0}) << q.tasks.at(0).describe();
}

// Every way a task can end (the time limit is SlurmTimeout's), and a cancelled array whose
// tasks were all pending. Everything on one node, so that the second array can only wait.
TEST(SlurmCluster, EveryTaskEndIsReported) {
  SlurmRequest r = shell_request("ends", 4,
                                 "case $SLURM_ARRAY_TASK_ID in "
                                 "0) echo cpus=$SLURM_CPUS_ON_NODE omp=${OMP_NUM_THREADS-unset};; "
                                 "1) exit 3;; "
                                 "2) kill -SEGV $$;; "
                                 "*) exec sleep 600;; esac");
  r.nodelist = first_node();
  const auto submitted = client().submit(r);
  ASSERT_FALSE(submitted.error) << submitted.error.message;
  JobGuard guard{{submitted.job_id}};

  // While task 3 holds the node (every task is exclusive), a second array can only wait.
  ASSERT_TRUE(wait_running(submitted.job_id, 3, 60));
  SlurmRequest waiting = shell_request("cancelled", 3, "true");
  waiting.nodelist = first_node();
  const auto second = client().submit(waiting);
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

  EXPECT_FALSE(client().cancel(submitted.job_id + "_3"));
  const JobQuery q = wait_until_ended(submitted.job_id, 60);
  ASSERT_FALSE(q.error) << q.error.message;
  ASSERT_EQ(q.tasks.size(), 4u);
  EXPECT_EQ(q.tasks[0].describe(), "COMPLETED");
  EXPECT_EQ(q.tasks[1].describe(), "FAILED: exit 3");
  EXPECT_EQ(q.tasks[2].state, TaskState::kFailed);
  EXPECT_EQ(q.tasks[2].signal, 11) << q.tasks[2].describe();
  EXPECT_EQ(q.tasks[3].state, TaskState::kCancelled) << q.tasks[3].describe();
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

// Split over listed nodes: every task pinned, all released; split over at most one node at a
// time: the tasks run one after the other.
TEST(SlurmCluster, SplitTasksArePinnedOrThrottled) {
  SlurmRequest listed = shell_request("listed", 3, "true");
  listed.nodelist = first_node();
  const auto pinned = client().submit(listed);
  ASSERT_FALSE(pinned.error) << pinned.error.message;
  JobGuard guard{{pinned.job_id}};
  EXPECT_EQ(pinned.layout.task_nodes, std::vector<std::string>(3, first_node()));
  JobQuery q = wait_until_ended(pinned.job_id, 60);
  EXPECT_EQ(ks::driver::summarize(q.tasks).text(), "0 pending, 0 running, 3 done, 0 failed");

  SlurmRequest split = shell_request("split", 2, "true");
  split.nodes = 1;
  const auto throttled = client().submit(split);
  ASSERT_FALSE(throttled.error) << throttled.error.message;
  guard.ids.push_back(throttled.job_id);
  EXPECT_EQ(throttled.layout.throttle, 1);
  q = wait_until_ended(throttled.job_id, 60);
  EXPECT_EQ(ks::driver::summarize(q.tasks).text(), "0 pending, 0 running, 2 done, 0 failed");
}

// One task per node, pinned: by a count (Slurm names the nodes: every node once) and by a list.
TEST(SlurmNodes, PerNodeTasksRunOnTheirNodes) {
  const std::vector<std::string>& nodes = cluster().nodes;
  SlurmRequest r = shell_request("pernode", 1, "echo task $SLURM_ARRAY_TASK_ID on $(hostname)");
  r.mode = SlurmMode::kPerNode;
  r.nodes = static_cast<int>(nodes.size());
  const auto by_count = client().submit(r);
  ASSERT_FALSE(by_count.error) << by_count.error.message;
  JobGuard guard{{by_count.job_id}};
  const std::vector<std::string> pins = by_count.layout.task_nodes;
  EXPECT_EQ(std::set<std::string>(pins.begin(), pins.end()),
            std::set<std::string>(nodes.begin(), nodes.end()));
  JobQuery q = wait_until_ended(by_count.job_id, 60);
  ASSERT_EQ(q.tasks.size(), nodes.size());
  for (std::size_t i = 0; i < pins.size(); ++i) {
    EXPECT_EQ(q.tasks[i].describe(), "COMPLETED");
    EXPECT_EQ(q.tasks[i].nodes, pins[i]);
    // Its own host name: each node is a machine of its own to the task.
    if (cluster().namespaced) {
      EXPECT_EQ(slurp(fmt::format("{}/slurm-{}_{}.out", r.output_dir, by_count.job_id, i)),
                fmt::format("task {} on {}\n", i, pins[i]));
    }
  }

  r.nodes = 0;
  r.nodelist = nodes.back();
  ks::driver::SlurmError error;
  const std::string script = client().dry_run(r, error);
  EXPECT_FALSE(error) << error.message;
  EXPECT_NE(script.find("#SBATCH --hold\n"), std::string::npos) << script;
  EXPECT_NE(script.find("#   task 0: " + nodes.back() + "\n"), std::string::npos) << script;
  const auto by_list = client().submit(r);
  ASSERT_FALSE(by_list.error) << by_list.error.message;
  guard.ids.push_back(by_list.job_id);
  q = wait_until_ended(by_list.job_id, 60);
  ASSERT_EQ(q.tasks.size(), 1u);
  EXPECT_EQ(q.tasks[0].describe(), "COMPLETED");
  EXPECT_EQ(q.tasks[0].nodes, nodes.back());
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const ks::driver::SlurmClient probe;
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
