// kernelscope sweep --slurm through the private cluster of slurm_cluster_test.cpp (which sets
// SLURM_CONF for every test): split and per-node sweeps merged into exactly their plan, a
// failing task, a cancelled array resumed, the dry run, and the refusals without a cluster.
// The programs are fakes that answer at once.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver/slurm.h"
#include "spawn/spawn.h"

namespace {

namespace fs = std::filesystem;

const std::string kKernelscope = KS_KERNELSCOPE;
const std::string kFakes = KS_DRIVER_FAKES;

std::string conf() {
  const char* c = std::getenv("SLURM_CONF");
  return c != nullptr ? c : "";
}

// Beside the cluster's own folder: every folder above it is searchable by all.
std::string folder(const std::string& name) {
  const std::string dir = fs::path(conf()).parent_path().parent_path().string() + "/sw-" + name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// A build of two vector additions that answer correctly at once for N = 10 (or crash).
std::string fake_bin(const std::string& name, const std::string& fake = "slow") {
  const std::string bin = folder(name + "-bin");
  for (const char* program : {"plus-static", "plus-parloop"}) {
    fs::copy_file(kFakes + "/" + fake + "/plus-static", bin + "/" + program);
  }
  return bin;
}

ks::RunResult kernelscope(std::vector<std::string> args, ks::RunOptions options = {}) {
  options.args = std::move(args);
  options.timeout_seconds = 180;
  if (options.env.find("KS_FAKE_SLEEP") == options.env.end()) {
    options.env["KS_FAKE_SLEEP"] = "0";
  }
  return ks::run_program(kKernelscope, options);
}

ks::RunResult slurm(const std::string& command, std::vector<std::string> args) {
  ks::RunOptions options;
  options.args = std::move(args);
  options.timeout_seconds = 30;
  return ks::run_program(ks::driver::SlurmClient{}.find(command), options);
}

// One number from an SQL query of a store.
long long query(const std::string& db, const std::string& sql) {
  sqlite3* h = nullptr;
  long long value = -1;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
      value = sqlite3_column_int64(s, 0);
    }
    sqlite3_finalize(s);
  }
  sqlite3_close(h);
  return value;
}

// Every planned run once per host in `hosts`, and every run valid.
void expect_whole_plan(const std::string& dir, long long hosts) {
  const std::string db = dir + "/results.db";
  const long long planned = query(db, "SELECT count(*) FROM plan");
  EXPECT_GT(planned, 0);
  EXPECT_EQ(query(db, "SELECT count(*) FROM runs"), planned * hosts);
  EXPECT_EQ(query(db, "SELECT count(DISTINCT seq) FROM runs"), planned);
  EXPECT_EQ(query(db, "SELECT count(*) FROM runs WHERE outcome <> 'valid'"), 0);
  EXPECT_EQ(query(db, "SELECT count(DISTINCT host) FROM runs"), hosts);
}

std::string node_name() {
  const ks::RunResult r = slurm("sinfo", {"-h", "-o", "%n"});
  std::string node = r.out.substr(0, r.out.find('\n'));
  EXPECT_FALSE(node.empty()) << r.err;
  return node;
}

nlohmann::json job_file(const std::string& dir) {
  std::ifstream in(dir + "/cluster.json");
  return nlohmann::json::parse(in);
}

TEST(SlurmSweep, SplitSweepHoldsExactlyItsPlan) {
  const std::string dir = folder("split");
  const std::string bin = fake_bin("split");
  const std::string node = node_name();
  // Two tasks pinned to the one node: the three configurations shared out between them.
  const ks::RunResult r = kernelscope(
      {"sweep", "plus-static", "plus-parloop", "--sizes", "10", "--threads", "1,2", "--repeat", "3",
       "--bin", bin, "--out", dir, "--no-plots", "--slurm", "--nodelist", node + "," + node});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("2 tasks"), std::string::npos) << r.out;
  expect_whole_plan(dir, 1);
  for (const char* store : {"/results.task-0-0.db", "/results.task-0-1.db"}) {
    EXPECT_GT(query(dir + store, "SELECT count(*) FROM runs"), 0) << store;
  }
  EXPECT_TRUE(fs::exists(dir + "/summary.csv"));

  // Merging again (status once every task has ended) adds nothing.
  const ks::RunResult again = kernelscope({"status", dir});
  EXPECT_EQ(again.exit_status, 0) << again.out << again.err;
  EXPECT_NE(again.out.find("0 pending, 0 running, 2 done, 0 failed"), std::string::npos)
      << again.out;
  EXPECT_EQ(again.out.find("merged"), std::string::npos) << again.out;
  expect_whole_plan(dir, 1);
}

TEST(SlurmSweep, PerNodeSweepRunsThePlanOnTheNode) {
  const std::string dir = folder("pernode");
  const ks::RunResult r = kernelscope({"sweep", "plus-static", "--sizes", "10", "--repeat", "3",
                                       "--bin", fake_bin("pernode"), "--out", dir, "--no-plots",
                                       "--slurm", "--per-node", "--nodes", "1"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  expect_whole_plan(dir, 1);
  auto read = [&](const char* name) {
    std::ifstream in(dir + "/" + name);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  };
  // The node's own section, in report.md and report.html; no file beside them.
  const std::string md = read("report.md");
  EXPECT_NE(md.find("## Nodes\n"), std::string::npos) << md;
  EXPECT_NE(md.find("### " + node_name() + "\n"), std::string::npos) << md;
  const std::string html = read("report.html");
  EXPECT_NE(html.find("<section id=\"nodes\">"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir + "/nodes.md"));
  // kernelscope report makes the same pages from the store alone.
  const ks::RunResult again = kernelscope({"report", dir, "--no-plots"});
  ASSERT_EQ(again.exit_status, 0) << again.out << again.err;
  EXPECT_EQ(read("report.md"), md);
  EXPECT_EQ(read("report.html"), html);
  EXPECT_EQ(job_file(dir)["submissions"][0]["tasks"][0]["node"], node_name());
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
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (query(store, "SELECT count(*) FROM runs") < 2 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_TRUE(slurm("scancel", {job}).ok());
  ks::RunResult status;
  for (int i = 0; i < 60; ++i) {
    status = kernelscope({"status", dir});
    if (status.out.find("CANCELLED") != std::string::npos) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  EXPECT_NE(status.out.find("CANCELLED"), std::string::npos) << status.out << status.err;
  const long long kept = query(dir + "/results.db", "SELECT count(*) FROM runs");
  EXPECT_GE(kept, 2);
  EXPECT_LT(kept, 13);

  const ks::RunResult resumed = kernelscope({"resume", dir});
  EXPECT_EQ(resumed.exit_status, 0) << resumed.out << resumed.err;
  EXPECT_NE(resumed.out.find(std::to_string(13 - kept) + " runs"), std::string::npos)
      << "only the missing runs are submitted: " << resumed.out;
  expect_whole_plan(dir, 1);
}

TEST(SlurmSweep, DryRunPrintsTheScriptAndWritesNothing) {
  const std::string dir = folder("dry") + "/out";
  const ks::RunResult r = kernelscope({"sweep", "plus-static", "--sizes", "10", "--bin",
                                       fake_bin("dry"), "--out", dir, "--slurm", "--dry-run"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  for (const char* line : {"#SBATCH --exclusive\n", "#SBATCH --no-requeue\n", "'task'"}) {
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
  EXPECT_NE(dry.out.find(" 'task' '" + dir + "' "), std::string::npos) << dry.out;
  const std::string index = "\"$SLURM_ARRAY_TASK_ID\"";
  EXPECT_EQ(dry.out.find(index), dry.out.rfind(index))
      << "the index once, for --index: " << dry.out;
  const ks::RunResult r = kernelscope({"sweep", "plus-static", "--sizes", "10", "--repeat", "2",
                                       "--bin", bin, "--out", dir, "--no-plots", "--slurm"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  expect_whole_plan(dir, 1);
}

TEST(SlurmSweep, WithoutSlurmOneLineAndNothingWritten) {
  const std::string dead_conf = folder("dead") + "/slurm.conf";
  {
    // The cluster's configuration with a controller port nobody listens on.
    std::ifstream in(conf());
    std::string text((std::istreambuf_iterator<char>(in)), {});
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
    for (const char* file : {"results.db", "cluster.json", "results.task-0-0.db"}) {
      EXPECT_FALSE(fs::exists(dir + "/" + file)) << c.name << ": " << file;
    }
  }
}

}  // namespace
