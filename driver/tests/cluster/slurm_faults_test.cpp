// What a cluster does to a job, end to end on the private cluster: a node set DOWN and a node
// crashed mid-job (NODE_FAIL, then resumed to exactly the plan, on the other node or once the
// node is back), a node not available now told from a request too large, a task that runs out
// of its time limit resumed with a longer one, and the account of a job the controller has
// forgotten. The faults use n1 and n2, the time limit n3, so that CTest runs them side by side.
#include <gtest/gtest.h>

#include <future>

#include "driver/tests/cluster/slurm_cluster.h"

namespace {

namespace fs = std::filesystem;
using namespace ks::driver::cluster_test;
using ks::driver::SlurmErrorKind;
using ks::driver::SlurmMode;
using ks::driver::SlurmRequest;

// Runs stored so far by the task store of `task` of the first submission.
long long stored(const std::string& dir, int task) {
  return query(dir + "/results.task-0-" + std::to_string(task) + ".db",
               "SELECT count(*) FROM runs");
}

// Whether a task of `job` waits for an unavailable node, asked until the scheduler has said so.
bool waits_for_node(const std::string& job) {
  std::string seen;
  const bool waits = poll_until(20, [&] {
    const auto q = client().query(job);
    seen = q.tasks.empty() ? q.error.message : q.tasks[0].describe();
    return seen.rfind("PENDING (ReqNodeNotAvail", 0) == 0;
  });
  EXPECT_TRUE(waits) << seen;
  return waits;
}

// The lines of `text` that hold `words`.
std::string lines_with(const std::string& text, const std::string& words) {
  std::istringstream in(text);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    if (line.find(words) != std::string::npos) {
      out += line + "\n";
    }
  }
  return out;
}

// A node down is not a request larger than the partition: a job pinned to it is refused as
// "not available now", or queued for it when asked to.
TEST(SlurmFaults, NodeNotAvailableNowIsToldFromTooLarge) {
  KS_NEED_NODES(2u);
  const NodeDown down("n2");
  SlurmRequest r;
  r.output_dir = folder("unavailable");
  r.mode = SlurmMode::kPerNode;
  r.nodelist = "n2";
  r.command = {"/bin/true"};
  const auto refused = client().submit(r);
  EXPECT_EQ(refused.error.kind, SlurmErrorKind::kNodesUnavailable) << refused.error.message;
  EXPECT_NE(refused.error.message.find("not available now: n2 (down"), std::string::npos)
      << refused.error.message;
  EXPECT_EQ(refused.error.message.find("larger than"), std::string::npos) << refused.error.message;
  EXPECT_TRUE(refused.job_id.empty());

  r.queue_unavailable = true;
  const auto queued = client().submit(r);
  ASSERT_FALSE(queued.error) << queued.error.message;
  JobGuard guard{{queued.job_id}};
  ASSERT_EQ(queued.waiting.size(), 1u);
  EXPECT_EQ(queued.waiting[0].name, "n2");
  EXPECT_TRUE(waits_for_node(queued.job_id));
  EXPECT_TRUE(ks::driver::summarize(client().query(queued.job_id).tasks).blocked.empty())
      << "waits, is not blocked for good";
}

// A split job over n1 and n2; n2 set DOWN while its task runs: its task is NODE_FAIL with the
// runs it stored, and the resume goes to n1 with a notice, after a fresh warm-up there.
TEST(SlurmFaults, NodeSetDownMidJobIsResumedOnTheOtherNode) {
  KS_NEED_NODES(2u);
  const std::string dir = folder("down");
  ks::RunOptions slow;
  slow.env["KS_FAKE_SLEEP"] = "0.4";
  const ks::RunResult r =
      kernelscope({"sweep", "plus-static", "plus-parloop", "--threads", "1", "--sizes", "10",
                   "--repeat", "20", "--bin", fake_bin("down"), "--out", dir, "--no-plots",
                   "--slurm", "--nodelist", "n1,n2", "--no-wait"},
                  slow);
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  JobGuard guard{{job_file(dir)["submissions"][0]["job"]}};
  ASSERT_EQ(job_file(dir)["submissions"][0]["tasks"][1]["node"], "n2");
  ASSERT_TRUE(poll_until(60, [&] { return stored(dir, 1) >= 3; }));
  const NodeDown down("n2");

  const ks::RunResult status = status_until(dir, "NODE_FAIL", 60);
  EXPECT_EQ(status.exit_status, 1) << status.out << status.err;
  const std::string failed = lines_with(status.err, "on n2: NODE_FAIL: node n2 failed; ");
  EXPECT_FALSE(failed.empty()) << status.err;
  EXPECT_FALSE(lines_with(status.err, "resume with: kernelscope resume " + dir).empty())
      << status.err;
  const long long kept = query(dir + "/results.db", "SELECT count(*) FROM runs");
  const long long planned = query(dir + "/results.db", "SELECT count(*) FROM plan");
  EXPECT_LT(kept, planned);
  EXPECT_NE(failed.find(std::to_string(stored(dir, 1)) + " of 21 runs stored"), std::string::npos)
      << failed;

  // n2 still down: the runs it did not make go to n1.
  const ks::RunResult resumed = kernelscope({"resume", dir});
  EXPECT_EQ(resumed.exit_status, 0) << resumed.out << resumed.err;
  EXPECT_NE(resumed.err.find("not available now: n2 (down"), std::string::npos) << resumed.err;
  EXPECT_NE(resumed.err.find("the runs go to n1"), std::string::npos) << resumed.err;
  EXPECT_NE(resumed.out.find(std::to_string(planned - kept) + " runs"), std::string::npos)
      << resumed.out;
  expect_plan_once(dir);
  const nlohmann::json job = job_file(dir);
  ASSERT_EQ(job["submissions"].size(), 2u);
  EXPECT_EQ(job["submissions"][1]["tasks"][0]["node"], "n1");
  const std::string out =
      slurp(dir + "/slurm-" + job["submissions"][1]["job"].get<std::string>() + "_0.out");
  EXPECT_NE(out.find("runs after 1 fresh warm-up"), std::string::npos) << out;
}

// A per-node job on n1 and n2; n2 loses its power mid-job: NODE_FAIL once the controller has
// noticed; the resume queues n2's task with a notice and waits, and once n2 is back it makes
// exactly n2's missing runs, after a fresh warm-up of each configuration.
TEST(SlurmFaults, NodeCrashedMidJobPerNodeResumeWaitsForIt) {
  KS_NEED_NODES(2u);
  const std::string dir = folder("crashed");
  ks::RunOptions slow;
  slow.env["KS_FAKE_SLEEP"] = "0.3";
  const ks::RunResult r =
      kernelscope({"sweep", "plus-static", "plus-parloop", "--threads", "1", "--sizes", "10",
                   "--repeat", "10", "--bin", fake_bin("crashed"), "--out", dir, "--no-plots",
                   "--slurm", "--per-node", "--nodelist", "n1,n2", "--no-wait"},
                  slow);
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  JobGuard guard{{job_file(dir)["submissions"][0]["job"]}};
  ASSERT_TRUE(poll_until(60, [&] { return stored(dir, 1) >= 3; }));
  struct Revive {
    bool crashed = false;
    ~Revive() {
      if (crashed) {
        (void)cluster_script("revive", {"n2"});
      }
    }
  } revive;
  const ks::RunResult crash = cluster_script("crash", {"n2"});
  ASSERT_TRUE(crash.ok()) << crash.err;
  revive.crashed = true;

  const ks::RunResult status = status_until(dir, "NODE_FAIL", 90);
  EXPECT_EQ(status.exit_status, 1) << status.out << status.err;
  const long long on_n2 = stored(dir, 1);
  EXPECT_GE(on_n2, 3);
  EXPECT_NE(status.err.find("on n2: NODE_FAIL: node n2 failed; " + std::to_string(on_n2) +
                            " of 22 runs stored"),
            std::string::npos)
      << status.err;

  // The resume, while n2 is down, waits for it in the queue.
  const std::string pids = folder("crashed-pids");
  ks::RunOptions counted;
  counted.env["KS_FAKE_PIDS"] = pids;
  auto resumed = std::async(std::launch::async, [&] {
    return kernelscope({"resume", dir}, counted);
  });
  ASSERT_TRUE(poll_until(60, [&] { return job_file(dir)["submissions"].size() == 2; }));
  const std::string job = job_file(dir)["submissions"][1]["job"];
  guard.ids.push_back(job);
  EXPECT_TRUE(waits_for_node(job));
  EXPECT_EQ(resumed.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
      << "the resume follows the waiting task";

  const ks::RunResult back = cluster_script("revive", {"n2"});
  ASSERT_TRUE(back.ok()) << back.err;
  revive.crashed = false;
  const ks::RunResult done = resumed.get();
  EXPECT_EQ(done.exit_status, 0) << done.out << done.err;
  EXPECT_NE(done.err.find("n2 is not available now (down"), std::string::npos) << done.err;
  EXPECT_NE(done.err.find("its task waits in the queue until it is back"), std::string::npos)
      << done.err;
  expect_whole_plan(dir, {"n1", "n2"});
  // Each of the two configurations warmed up again on n2 before its missing runs, unrecorded.
  const long long made = std::distance(fs::directory_iterator(pids), fs::directory_iterator());
  EXPECT_EQ(made, 22 - on_n2 + 2);
}

// A task that runs out of --time is TIMEOUT with the runs it stored; resumed with a longer time
// it makes the rest.
TEST(SlurmTimeout, TaskOutOfTimeIsResumedWithALongerTime) {
  const std::string node = cluster().nodes.back();
  const std::string dir = folder("timeout");
  ks::RunOptions slow;
  slow.env["KS_FAKE_SLEEP"] = "1";
  // 101 runs of a second: more than the minute of --time 1 and the half minute Slurm may take
  // to notice it.
  const ks::RunResult r = kernelscope(
      {"sweep", "plus-static", "--sizes", "10", "--repeat", "100", "--bin", fake_bin("timeout"),
       "--out", dir, "--no-plots", "--slurm", "--nodelist", node, "--time", "1"},
      slow);
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  const long long kept = query(dir + "/results.db", "SELECT count(*) FROM runs");
  EXPECT_GE(kept, 50);
  EXPECT_LT(kept, 101);
  EXPECT_NE(
      r.err.find("TIMEOUT: time limit reached; " + std::to_string(kept) + " of 101 runs stored"),
      std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("resume with: kernelscope resume " + dir), std::string::npos) << r.err;
  EXPECT_EQ(query(dir + "/results.db", "SELECT count(*) FROM runs WHERE outcome <> 'valid'"), 0)
      << "the run the time limit cut is not stored: " << bad_runs(dir + "/results.db");

  const ks::RunResult resumed = kernelscope({"resume", dir, "--time", "10"});
  EXPECT_EQ(resumed.exit_status, 0) << resumed.out << resumed.err;
  expect_plan_once(dir);
  EXPECT_EQ(job_file(dir)["time"], "10");
}

// Once the controller has forgotten a job (restarted without its state, as MinJobAge does on
// a long-lived cluster), status gives one account, from the stores: a complete job is done,
// status 0, nothing said failed; a cancelled one failed, with what it stored, status 1.
TEST(SlurmRestart, StatusOfAForgottenJobIsOneAccount) {
  if (!cluster().namespaced) {
    GTEST_SKIP() << "restarting the controller needs the cluster in namespaces (this one runs on "
                    "127.0.0.1: network namespaces are not allowed here)";
  }
  const std::string complete = folder("forgotten");
  ks::RunResult r =
      kernelscope({"sweep", "plus-static", "--sizes", "10", "--repeat", "3", "--bin",
                   fake_bin("forgotten"), "--out", complete, "--no-plots", "--slurm"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  const std::string partial = folder("forgotten-cancelled");
  ks::RunOptions slow;
  slow.env["KS_FAKE_SLEEP"] = "0.3";
  r = kernelscope(
      {"sweep", "plus-static", "--sizes", "10", "--repeat", "30", "--bin",
       fake_bin("forgotten-cancelled"), "--out", partial, "--no-plots", "--slurm", "--no-wait"},
      slow);
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  ASSERT_TRUE(poll_until(60, [&] { return stored(partial, 0) >= 2; }));
  ASSERT_TRUE(slurm("scancel", {job_file(partial)["submissions"][0]["job"]}).ok());
  status_until(partial, "CANCELLED", 30);
  const long long kept = query(partial + "/results.db", "SELECT count(*) FROM runs");

  ASSERT_TRUE(cluster_script("crash", {"ctl"}).ok());
  const ks::RunResult revived = cluster_script("revive", {"ctl", "--forget"});
  ASSERT_TRUE(revived.ok()) << revived.err;

  const ks::RunResult done = kernelscope({"status", complete});
  EXPECT_EQ(done.exit_status, 0) << done.out << done.err;
  EXPECT_NE(done.out.find("0 pending, 0 running, 1 done, 0 failed"), std::string::npos) << done.out;
  EXPECT_NE(done.out.find("no longer known to Slurm; 4 of 4 runs stored"), std::string::npos)
      << done.out;
  EXPECT_EQ(done.err.find("failed"), std::string::npos) << done.err;

  const ks::RunResult cut = kernelscope({"status", partial});
  EXPECT_EQ(cut.exit_status, 1) << cut.out << cut.err;
  const std::string line =
      "no longer known to Slurm; " + std::to_string(kept) + " of 31 runs stored";
  EXPECT_NE(cut.out.find("0 pending, 0 running, 0 done, 1 failed"), std::string::npos) << cut.out;
  EXPECT_NE(cut.out.find(line), std::string::npos) << cut.out;
  EXPECT_NE(cut.err.find(line), std::string::npos) << cut.err;
  EXPECT_EQ(cut.err.find(" done, "), std::string::npos) << "no second count: " << cut.err;
  EXPECT_NE(cut.err.find("resume with: kernelscope resume " + partial), std::string::npos)
      << cut.err;
}

}  // namespace
