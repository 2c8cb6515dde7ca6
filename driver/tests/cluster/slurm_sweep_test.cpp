// kernelscope sweep and tour --slurm on the private cluster of slurm_cluster_test.cpp (which
// sets SLURM_CONF and PATH for every test): a split sweep and a per-node tour slice on every
// node, merged into exactly their plan; a failing task, a cancelled array resumed, the dry
// run, a folder with braces, and the refusals. The programs are fakes that answer at once,
// but for the tour's, which are the build's own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <optional>

#include "driver/tests/cluster/slurm_cluster.h"

namespace {

namespace fs = std::filesystem;
using namespace ks::driver::cluster_test;

const std::string kKernelscope = KS_KERNELSCOPE;

std::string host_name() {
  char name[256] = "";
  gethostname(name, sizeof name - 1);
  return name;
}

// Runs per host in the folder's store.
std::map<std::string, long long> runs_per_host(const std::string& dir) {
  std::map<std::string, long long> counts;
  for (const std::string& host : query_texts(dir + "/results.db", "SELECT host FROM runs")) {
    ++counts[host];
  }
  return counts;
}

// A split sweep over every node: one configuration each, so that each node makes a third of
// the plan; the report and the store name the nodes that ran, not the machine that submitted.
TEST(SlurmNodes, SplitSweepSharesThePlanOverEveryNode) {
  KS_NEED_NODES(3u);
  const std::vector<std::string>& nodes = cluster().nodes;
  const std::string dir = folder("split");
  const ks::RunResult r = kernelscope({"sweep", "plus-parloop", "--sizes", "10", "--threads",
                                       "1,2,3", "--repeat", "3", "--bin", fake_bin("split"),
                                       "--out", dir, "--no-plots", "--slurm", "--nodes", "3"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("3 tasks"), std::string::npos) << r.out;
  expect_plan_once(dir);
  const long long planned = query(dir + "/results.db", "SELECT count(*) FROM plan");
  const std::map<std::string, long long> per_host = runs_per_host(dir);
  ASSERT_EQ(per_host.size(), 3u) << r.out;
  for (const auto& [host, count] : per_host) {
    EXPECT_NE(std::find(nodes.begin(), nodes.end(), host), nodes.end()) << host;
    EXPECT_EQ(count * 3, planned) << host;
  }
  // The machines that ran, each once; the submitter is the store's maker, with no machine of
  // its own.
  EXPECT_EQ(query_texts(dir + "/results.db", "SELECT host FROM machines ORDER BY host"),
            std::vector<std::string>({"n1", "n2", "n3"}));
  EXPECT_EQ(query_texts(dir + "/results.db", "SELECT host FROM store"),
            std::vector<std::string>{host_name()});
  const std::string md = slurp(dir + "/report.md");
  const std::size_t at = md.find("| host | ");
  ASSERT_NE(at, std::string::npos) << md;
  const std::string host_line = md.substr(at, md.find('\n', at) - at);
  for (const std::string& node : nodes) {
    EXPECT_NE(host_line.find(node), std::string::npos) << host_line;
  }
  EXPECT_EQ(host_line.find(host_name()), std::string::npos) << host_line;
  const nlohmann::json results = nlohmann::json::parse(slurp(dir + "/results.json"));
  EXPECT_EQ(results["context"]["submitted_from"], host_name()) << results["context"].dump();

  // Merging again (status once every task has ended) adds nothing.
  const ks::RunResult again = kernelscope({"status", dir});
  EXPECT_EQ(again.exit_status, 0) << again.out << again.err;
  EXPECT_NE(again.out.find("0 pending, 0 running, 3 done, 0 failed"), std::string::npos)
      << again.out;
  EXPECT_EQ(again.out.find("merged"), std::string::npos) << again.out;
  expect_plan_once(dir);
}

// A slice of the tour (the build's own programs: a vector addition and two demonstrations) on
// each node of a list: the whole plan once per node, a section per node in both reports.
TEST(SlurmNodes, PerNodeTourSliceRunsWholeOnEveryNode) {
  KS_NEED_NODES(3u);
  const std::vector<std::string>& nodes = cluster().nodes;
  const std::string dir = folder("tour");
  const std::string bin = folder("tour-bin");
  for (const char* program : {"plus-static", "greet-team", "chunk-static"}) {
    fs::copy_file(fs::path(kKernelscope).parent_path() / program, fs::path(bin) / program);
  }
  const ks::RunResult r =
      kernelscope({"tour", "--scale", "0.01", "--bin", bin, "--out", dir, "--no-plots", "--slurm",
                   "--per-node", "--nodelist", "n[1-3]"});
  EXPECT_NE(r.out.find("3 tasks (the whole plan on each node)"), std::string::npos) << r.out;
  expect_whole_plan(dir, nodes);
  const std::string md = slurp(dir + "/report.md");
  EXPECT_NE(md.find("## Nodes\n"), std::string::npos) << md;
  for (const std::string& node : nodes) {
    EXPECT_NE(md.find("### " + node + "\n"), std::string::npos) << node << "\n" << md;
  }
  EXPECT_NE(slurp(dir + "/report.html").find("<section id=\"nodes\">"), std::string::npos);
  // Every node's task named its node; the report is made again from the store alone.
  const nlohmann::json job = job_file(dir);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    EXPECT_EQ(job["submissions"][0]["tasks"][i]["node"], nodes[i]);
  }
  const ks::RunResult again = kernelscope({"report", dir, "--no-plots"});
  EXPECT_NE(again.exit_status, 2) << again.err;
  EXPECT_EQ(slurp(dir + "/report.md"), md);
}

TEST(SlurmSweep, FailingTaskIsReportedAndItsRunsKept) {
  const std::string dir = folder("crash");
  const ks::RunResult r =
      kernelscope({"sweep", "plus-static", "--sizes", "10", "--repeat", "2", "--bin",
                   fake_bin("crash", "crash"), "--out", dir, "--no-plots", "--slurm"});
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("FAILED: exit 1; 3 of 3 runs stored"), std::string::npos) << r.err;
  EXPECT_EQ(query(dir + "/results.db", "SELECT count(*) FROM runs WHERE outcome = 'failed'"), 3);
}

TEST(SlurmSweep, CancelledArrayIsResumedToCompletion) {
  const std::string dir = folder("cancel");
  ks::RunOptions slow;
  slow.env["KS_FAKE_SLEEP"] = "0.3";
  const ks::RunResult r =
      kernelscope({"sweep", "plus-static", "--sizes", "10", "--repeat", "12", "--bin",
                   fake_bin("cancel"), "--out", dir, "--no-plots", "--slurm", "--no-wait"},
                  slow);
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  const std::string job = job_file(dir)["submissions"][0]["job"];
  // Some runs in, then cancelled.
  const std::string store = dir + "/results.task-0-0.db";
  EXPECT_TRUE(poll_until(60, [&] { return query(store, "SELECT count(*) FROM runs") >= 2; }));
  ASSERT_TRUE(slurm("scancel", {job}).ok());
  status_until(dir, "CANCELLED", 30);
  const long long kept = query(dir + "/results.db", "SELECT count(*) FROM runs");
  EXPECT_GE(kept, 2);
  EXPECT_LT(kept, 13);

  const ks::RunResult resumed = kernelscope({"resume", dir});
  EXPECT_EQ(resumed.exit_status, 0) << resumed.out << resumed.err;
  EXPECT_NE(resumed.out.find(std::to_string(13 - kept) + " runs"), std::string::npos)
      << "only the missing runs are submitted: " << resumed.out;
  expect_plan_once(dir);
}

TEST(SlurmSweep, DryRunPrintsTheScriptAndWritesNothing) {
  const std::string dir = folder("dry") + "/out";
  const ks::RunResult r = kernelscope({"sweep", "plus-static", "--sizes", "10", "--bin",
                                       fake_bin("dry"), "--out", dir, "--slurm", "--dry-run"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  for (const char* line : {"#SBATCH --exclusive\n", "#SBATCH --no-requeue\n", " task "}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }
  EXPECT_FALSE(fs::exists(dir));
}

// The task's folder is the one given, braces and all: only kernelscope's own placeholder
// becomes the task's index.
TEST(SlurmSweep, FolderWithBracesIsTheTasksOwn) {
  const std::string dir = folder("x{task}y");
  const std::string bin = fake_bin("braces");
  const ks::RunResult dry = kernelscope({"sweep", "plus-static", "--sizes", "10", "--bin", bin,
                                         "--out", dir, "--slurm", "--dry-run"});
  ASSERT_EQ(dry.exit_status, 0) << dry.err;
  EXPECT_NE(dry.out.find(" task '" + dir + "' "), std::string::npos) << dry.out;
  const std::string index = "\"$SLURM_ARRAY_TASK_ID\"";
  EXPECT_EQ(dry.out.find(index), dry.out.rfind(index))
      << "the index once, for --index: " << dry.out;
  const ks::RunResult r = kernelscope({"sweep", "plus-static", "--sizes", "10", "--repeat", "2",
                                       "--bin", bin, "--out", dir, "--no-plots", "--slurm"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  expect_plan_once(dir);
}

TEST(SlurmSweep, WithoutSlurmOneLineAndNothingWritten) {
  const std::string dead_conf = folder("dead") + "/slurm.conf";
  {
    // The cluster's configuration with a controller port nobody listens on.
    std::string text = slurp(cluster().conf());
    const std::size_t at = text.find("SlurmctldPort=") + 14;
    text.replace(at, text.find('\n', at) - at, "1");
    std::ofstream(dead_conf) << text;
  }
  struct Case {
    const char* name;
    std::map<std::string, std::optional<std::string>> env;
    std::vector<std::string> options;
    const char* words;
  };
  const std::vector<Case> cases = {
      {"no sbatch", {{"PATH", "/nonexistent"}}, {}, "sbatch not found on PATH"},
      {"no controller", {{"SLURM_CONF", dead_conf}}, {}, "no Slurm controller"},
      {"a partition Slurm does not know",
       {},
       {"--partition", "nosuch"},
       "sbatch: unknown partition \"nosuch\""},
      {"a partition that cannot go into a script",
       {},
       {"--partition", "a\rb\nc"},
       "the partition \"a\\rb\\nc\""},
      {"an sbatch argument of two lines",
       {},
       {"--sbatch-arg=--mem=1\nrm -rf x"},
       "the sbatch argument \"--mem=1\\nrm -rf x\""},
      {"more nodes than the partition has",
       {},
       {"--nodes", std::to_string(cluster().nodes.size() + 1)},
       "larger than the partition's nodes"},
  };
  for (const Case& c : cases) {
    const std::string dir = folder("refused");
    ks::RunOptions options;
    options.env = c.env;
    std::vector<std::string> args = {"sweep", "plus-static", "--sizes",
                                     "10",    "--bin",       fake_bin("refused"),
                                     "--out", dir,           "--slurm"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const ks::RunResult r = kernelscope(args, options);
    EXPECT_EQ(r.exit_status, 2) << c.name << ": " << r.err;
    EXPECT_NE(r.err.find(c.words), std::string::npos) << c.name << ": " << r.err;
    // One line, ending as every usage error does, without a raw line break or carriage return
    // of the value.
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.name << ": " << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << c.name << ": " << r.err;
    EXPECT_TRUE(r.err.ends_with(" (kernelscope help sweep)\n")) << c.name << ": " << r.err;
    // The folder stays as it was: empty, without even the lock file this command made.
    EXPECT_TRUE(fs::is_empty(dir)) << c.name << ": " << fs::directory_iterator(dir)->path();
  }
}

}  // namespace
