// The Slurm client layer without a cluster: batch scripts (run through bash to check their
// quoting), the array layouts, the scontrol record parser on records captured from a real
// controller, error classification, and the missing-command errors.
#include "driver/slurm.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "spawn/spawn.h"

namespace {

using ks::driver::ArrayLayout;
using ks::driver::SlurmErrorKind;
using ks::driver::SlurmMode;
using ks::driver::SlurmRequest;
using ks::driver::TaskState;

const std::string kRecords = KS_SLURM_RECORDS;

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in) << path;
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

SlurmRequest basic_request() {
  SlurmRequest r;
  r.output_dir = "/shared/out";
  r.command = {"/opt/ks/kernelscope", "sweep", "--slurm-task", "{task}"};
  r.tasks = 4;
  return r;
}

std::vector<std::string> directives(const std::string& script) {
  std::vector<std::string> out;
  std::istringstream in(script);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("#SBATCH ", 0) == 0) {
      out.push_back(line.substr(8));
    }
  }
  return out;
}

bool has(const std::vector<std::string>& v, const std::string& item) {
  return std::find(v.begin(), v.end(), item) != v.end();
}

TEST(SlurmLayout, TasksThrottleAndPins) {
  struct Case {
    const char* name;
    SlurmMode mode;
    int tasks;
    int nodes;
    std::string nodelist;
    std::vector<std::string> expanded;
    ArrayLayout want;
  };
  const std::vector<Case> cases = {
      {"split, Slurm places the tasks", SlurmMode::kSplit, 4, 0, "", {}, {4, 0, {}, false}},
      {"split over at most 2 nodes at once", SlurmMode::kSplit, 5, 2, "", {}, {5, 2, {}, false}},
      {"split over listed nodes, round robin",
       SlurmMode::kSplit,
       5,
       0,
       "n[1-2]",
       {"n1", "n2"},
       {5, 0, {"n1", "n2", "n1", "n2", "n1"}, false}},
      {"per node over a list: one task each",
       SlurmMode::kPerNode,
       9,
       0,
       "n[1-3]",
       {"n1", "n2", "n3"},
       {3, 0, {"n1", "n2", "n3"}, false}},
      {"per node, N nodes Slurm offered",
       SlurmMode::kPerNode,
       1,
       2,
       "",
       {"a", "b"},
       {2, 0, {"a", "b"}, false}},
      {"per node, N nodes not known yet", SlurmMode::kPerNode, 1, 3, "", {}, {3, 0, {}, true}},
  };
  for (const Case& c : cases) {
    SlurmRequest r = basic_request();
    r.mode = c.mode;
    r.tasks = c.tasks;
    r.nodes = c.nodes;
    r.nodelist = c.nodelist;
    const ArrayLayout got = ks::driver::array_layout(r, c.expanded);
    EXPECT_EQ(got.tasks, c.want.tasks) << c.name;
    EXPECT_EQ(got.throttle, c.want.throttle) << c.name;
    EXPECT_EQ(got.task_nodes, c.want.task_nodes) << c.name;
    EXPECT_EQ(got.pins_pending, c.want.pins_pending) << c.name;
  }
}

TEST(SlurmScript, DirectivesFollowTheRequest) {
  SlurmRequest r = basic_request();
  r.partition = "fast";
  r.time = "30:00";
  r.account = "course";
  r.sbatch_args = {"--constraint=avx512", "--mem=0"};
  std::string script = ks::driver::batch_script(r, {4, 0, {}, false});
  ASSERT_EQ(script.rfind("#!/bin/bash\n", 0), 0u) << script;
  std::vector<std::string> d = directives(script);
  for (const char* want :
       {"--job-name=kernelscope", "--array=0-3", "--nodes=1", "--ntasks=1", "--exclusive",
        "--no-requeue", "--partition=fast", "--time=30:00", "--account=course",
        "--chdir=/shared/out", "--output=/shared/out/slurm-%A_%a.out",
        "--error=/shared/out/slurm-%A_%a.err"}) {
    EXPECT_TRUE(has(d, want)) << want << "\n" << script;
  }
  EXPECT_FALSE(has(d, "--hold")) << script;
  // The user's own arguments come last, so that they win over ours.
  ASSERT_GE(d.size(), 2u);
  EXPECT_EQ(d[d.size() - 2], "--constraint=avx512");
  EXPECT_EQ(d.back(), "--mem=0");
  // Directives after the first command line would be ignored by sbatch.
  EXPECT_LT(script.rfind("#SBATCH"), script.find("\nexec "));

  // Nothing optional when nothing is asked; a trailing slash in the folder is dropped.
  r = basic_request();
  r.output_dir = "/shared/out/";
  d = directives(ks::driver::batch_script(r, {1, 0, {}, false}));
  EXPECT_TRUE(has(d, "--array=0-0"));
  EXPECT_TRUE(has(d, "--output=/shared/out/slurm-%A_%a.out"));
  for (const std::string& line : d) {
    EXPECT_TRUE(line.rfind("--partition", 0) && line.rfind("--time", 0) &&
                line.rfind("--account", 0))
        << line;
  }

  // A throttle, and pinned tasks held until their pins are in place.
  d = directives(ks::driver::batch_script(basic_request(), {4, 2, {}, false}));
  EXPECT_TRUE(has(d, "--array=0-3%2"));
  script = ks::driver::batch_script(basic_request(), {2, 0, {"n7", "n9"}, false});
  EXPECT_TRUE(has(directives(script), "--hold"));
  EXPECT_NE(script.find("#   task 1: n9\n"), std::string::npos) << script;
  EXPECT_TRUE(
      has(directives(ks::driver::batch_script(basic_request(), {3, 0, {}, true})), "--hold"));
}

// The command line survives the shell exactly, whatever it holds, with the task's index in
// place of "{task}".
TEST(SlurmScript, CommandReachesTheTaskIntact) {
  const std::string bash = "/bin/bash";
  SlurmRequest r = basic_request();
  const std::vector<std::string> args = {"%s|",   "it's",    "a  b", "--task={task}",  "{task}",
                                         "$HOME", "`false`", "",     "x{task}y{task}", "\\n\"q\"",
                                         "*"};
  r.command = {"/usr/bin/printf"};
  r.command.insert(r.command.end(), args.begin(), args.end());
  const std::string script = ks::driver::batch_script(r, {1, 0, {}, false});
  ks::RunOptions options;
  options.args = {"-c", script};
  options.env["SLURM_ARRAY_TASK_ID"] = "17";
  options.timeout_seconds = 30;
  const ks::RunResult run = ks::run_program(bash, options);
  ASSERT_TRUE(run.ok()) << run.describe() << run.err;
  EXPECT_EQ(run.out, "it's|a  b|--task=17|17|$HOME|`false`||x17y17|\\n\"q\"|*|");
}

TEST(SlurmScript, RefusesWhatCannotBeWrittenSafely) {
  struct Case {
    const char* name;
    void (*change)(SlurmRequest&);
  };
  const std::vector<Case> cases = {
      {"relative folder", [](SlurmRequest& r) { r.output_dir = "out"; }},
      {"blank in folder", [](SlurmRequest& r) { r.output_dir = "/my results"; }},
      {"percent in folder", [](SlurmRequest& r) { r.output_dir = "/runs/100%"; }},
      {"line break in argument", [](SlurmRequest& r) { r.sbatch_args = {"--mem=1G\nrm -rf /"}; }},
      {"empty argument", [](SlurmRequest& r) { r.sbatch_args = {""}; }},
      {"blank in partition", [](SlurmRequest& r) { r.partition = "a b"; }},
      {"line break in time", [](SlurmRequest& r) { r.time = "10\n#SBATCH --x"; }},
      {"no command", [](SlurmRequest& r) { r.command.clear(); }},
  };
  for (const Case& c : cases) {
    SlurmRequest r = basic_request();
    c.change(r);
    EXPECT_THROW(ks::driver::batch_script(r, {1, 0, {}, false}), std::invalid_argument) << c.name;
  }
  const std::vector<Case> layouts = {
      {"nodes and nodelist", [](SlurmRequest& r) { r.nodes = 2, r.nodelist = "n1"; }},
      {"negative nodes", [](SlurmRequest& r) { r.nodes = -1; }},
      {"no tasks", [](SlurmRequest& r) { r.tasks = 0; }},
      {"per node without nodes", [](SlurmRequest& r) { r.mode = SlurmMode::kPerNode; }},
      {"list naming nothing", [](SlurmRequest& r) { r.nodelist = "n[1-0]"; }},
  };
  for (const Case& c : layouts) {
    SlurmRequest r = basic_request();
    c.change(r);
    EXPECT_THROW(ks::driver::array_layout(r, {}), std::invalid_argument) << c.name;
  }
}

TEST(SlurmRecords, TaskIdsExpand) {
  const std::vector<std::pair<std::string, std::vector<int>>> good = {
      {"7", {7}},
      {"2-5", {2, 3, 4, 5}},
      {"2-5%1", {2, 3, 4, 5}},
      {"1,3,5-7", {1, 3, 5, 6, 7}},
      {"0,3", {0, 3}},
      {"0-6:3", {0, 3, 6}},
      {"1-3,9%2", {1, 2, 3, 9}},
  };
  for (const auto& [text, ids] : good) {
    EXPECT_EQ(ks::driver::expand_task_ids(text), ids) << text;
  }
  for (const char* text :
       {"", "a", "5-2", "1-", "-1", "1,,2", "1-3%", "1-3%x", "1-3:0", "2 3", "0-99999999"}) {
    EXPECT_THROW(ks::driver::expand_task_ids(text), std::invalid_argument) << text;
  }
}

struct Expected {
  int task;
  TaskState state;
  int exit_code;
  int signal;
  std::string describe;
};

// Records captured from a controller of this project's private cluster.
TEST(SlurmRecords, CapturedRecordsParse) {
  const std::map<std::string, std::vector<Expected>> cases = {
      {"array-ends.txt",
       {{0, TaskState::kCompleted, 0, 0, "COMPLETED"},
        {1, TaskState::kFailed, 3, 0, "FAILED: exit 3"},
        // A death by signal: FAILED, JobLaunchFailure, ExitCode=0:11.
        {2, TaskState::kFailed, 0, 11, "FAILED: killed by signal 11 (Segmentation fault)"},
        {3, TaskState::kTimeout, 0, 15, "TIMEOUT: time limit reached"}}},
      {"throttled-pending.txt",
       {{0, TaskState::kRunning, 0, 0, "RUNNING on vm"},
        {1, TaskState::kPending, 0, 0, "PENDING (JobArrayTaskLimit)"},
        {2, TaskState::kPending, 0, 0, "PENDING (JobArrayTaskLimit)"},
        {3, TaskState::kPending, 0, 0, "PENDING (JobArrayTaskLimit)"},
        {4, TaskState::kPending, 0, 0, "PENDING (JobArrayTaskLimit)"},
        {5, TaskState::kPending, 0, 0, "PENDING (JobArrayTaskLimit)"}}},
      // Cancelled while one task ran: the pending ones collapse into one record "1-5%1".
      {"cancelled.txt",
       {{0, TaskState::kCancelled, 0, 15, "CANCELLED"},
        {1, TaskState::kCancelled, 0, 0, "CANCELLED"},
        {2, TaskState::kCancelled, 0, 0, "CANCELLED"},
        {3, TaskState::kCancelled, 0, 0, "CANCELLED"},
        {4, TaskState::kCancelled, 0, 0, "CANCELLED"},
        {5, TaskState::kCancelled, 0, 0, "CANCELLED"}}},
      {"node-fail.txt",
       {{0, TaskState::kNodeFail, 0, 15, "NODE_FAIL: node vm failed"},
        {1, TaskState::kNodeFail, 0, 15, "NODE_FAIL: node vm failed"}}},
      {"held-split.txt",
       {{0, TaskState::kPending, 0, 0, "PENDING (JobHeldUser)"},
        {1, TaskState::kPending, 0, 0, "PENDING (JobHeldUser)"},
        {2, TaskState::kPending, 0, 0, "PENDING (JobHeldUser)"},
        {3, TaskState::kPending, 0, 0, "PENDING (JobHeldUser)"}}},
      // Not an array: one task, 0.
      {"partition-config.txt", {{0, TaskState::kPending, 0, 0, "PENDING (PartitionConfig)"}}},
  };
  for (const auto& [file, want] : cases) {
    const auto tasks = ks::driver::parse_job_records(slurp(kRecords + "/" + file));
    ASSERT_EQ(tasks.size(), want.size()) << file;
    for (std::size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(tasks[i].task, want[i].task) << file << " #" << i;
      EXPECT_EQ(tasks[i].state, want[i].state) << file << " #" << i;
      EXPECT_EQ(tasks[i].exit_code, want[i].exit_code) << file << " #" << i;
      EXPECT_EQ(tasks[i].signal, want[i].signal) << file << " #" << i;
      EXPECT_EQ(tasks[i].describe(), want[i].describe) << file << " #" << i;
    }
  }
}

TEST(SlurmRecords, OtherStatesAndMalformedRecords) {
  // Short records for the states not captured; the parser reads only the fields it needs.
  const std::vector<std::tuple<std::string, TaskState, std::string>> states = {
      {"JobId=9 ArrayTaskId=0 JobState=OUT_OF_MEMORY Reason=OutOfMemory ExitCode=0:125 "
       "NodeList=vm",
       TaskState::kOutOfMemory, "OUT_OF_MEMORY: killed for using more memory than allocated"},
      {"JobId=9 ArrayTaskId=0 JobState=COMPLETING Reason=None ExitCode=0:0 NodeList=n4",
       TaskState::kRunning, "COMPLETING on n4"},
      {"JobId=9 ArrayTaskId=0 JobState=BOOT_FAIL Reason=NodeDown ExitCode=0:0 NodeList=n4",
       TaskState::kOtherEnd, "BOOT_FAIL (NodeDown)"},
      {"JobId=9 ArrayTaskId=0 JobState=DEADLINE Reason=None ExitCode=0:0", TaskState::kOtherEnd,
       "DEADLINE"},
  };
  for (const auto& [line, state, text] : states) {
    const auto tasks = ks::driver::parse_job_records(line + "\n");
    ASSERT_EQ(tasks.size(), 1u) << line;
    EXPECT_EQ(tasks[0].state, state) << line;
    EXPECT_TRUE(tasks[0].ended() == (state != TaskState::kRunning)) << line;
    EXPECT_EQ(tasks[0].describe(), text) << line;
  }
  EXPECT_TRUE(ks::driver::parse_job_records("\n\n").empty());
  for (const char* line : {"JobId=9 ArrayTaskId=0 Reason=None ExitCode=0:0",
                           "JobId=9 ArrayTaskId=0 JobState= ExitCode=0:0",
                           "JobId=9 ArrayTaskId=x JobState=PENDING ExitCode=0:0",
                           "JobId=9 ArrayTaskId=0 JobState=FAILED ExitCode=3",
                           "JobId=9 ArrayTaskId=0 JobState=FAILED ExitCode=a:b"}) {
    EXPECT_THROW(ks::driver::parse_job_records(line), std::invalid_argument) << line;
  }
}

TEST(SlurmRecords, SummaryCountsAndBlockedTasks) {
  auto summary = ks::driver::summarize(ks::driver::parse_job_records(
      slurp(kRecords + "/array-ends.txt") + slurp(kRecords + "/throttled-pending.txt")));
  // The second file's tasks 0..3 replace the first's: one record per task.
  EXPECT_EQ(summary.text(), "5 pending, 1 running, 0 done, 0 failed");
  EXPECT_FALSE(summary.finished());

  summary =
      ks::driver::summarize(ks::driver::parse_job_records(slurp(kRecords + "/array-ends.txt")));
  EXPECT_EQ(summary.text(), "0 pending, 0 running, 1 done, 3 failed");
  EXPECT_TRUE(summary.finished());
  EXPECT_TRUE(summary.blocked.empty());

  for (const char* file : {"partition-config.txt", "partition-node-limit.txt"}) {
    summary = ks::driver::summarize(ks::driver::parse_job_records(slurp(kRecords + "/" + file)));
    EXPECT_EQ(summary.blocked, std::vector<int>{0}) << file;
  }
  for (const char* reason :
       {"Resources", "Priority", "JobHeldUser", "JobArrayTaskLimit", "None", "ReqNodeNotAvail"}) {
    EXPECT_FALSE(ks::driver::reason_blocks(reason)) << reason;
  }
}

TEST(SlurmErrors, ClassifiedIntoOneClearLine) {
  struct Case {
    std::string command;
    std::string err;
    bool timed_out;
    SlurmErrorKind kind;
    std::string words;  // part of the message
  };
  const std::vector<Case> cases = {
      {"sbatch",
       "sbatch: error: Batch job submission failed: Unable to contact slurm controller (connect "
       "failure)\n",
       false, SlurmErrorKind::kNoController, "gave up after 9 s"},
      {"scontrol", "", true, SlurmErrorKind::kNoController, "within 12 s"},
      {"sbatch",
       "sbatch: error: resolve_ctls_from_dns_srv: res_nsearch error: Unknown host\nsbatch: error: "
       "fetch_config: DNS SRV lookup failed\nsbatch: error: _establish_config_source: failed to "
       "fetch config\nsbatch: fatal: Could not establish a configuration source\n",
       false, SlurmErrorKind::kNoConfig, "SLURM_CONF"},
      {"sbatch",
       "sbatch: error: invalid partition specified: nope\nsbatch: error: Batch job submission "
       "failed: Invalid partition name specified\n",
       false, SlurmErrorKind::kUnknownPartition, "unknown partition \"nope\""},
      {"sbatch", "allocation failure: Node count specification invalid\n", false,
       SlurmErrorKind::kTooManyNodes, "larger than the partition's nodes"},
      {"sbatch", "allocation failure: Requested node configuration is not available\n", false,
       SlurmErrorKind::kTooManyNodes, "Requested node configuration is not available"},
      {"sbatch",
       "sbatch: error: Batch job submission failed: More processors requested than "
       "permitted\n",
       false, SlurmErrorKind::kTooManyNodes, "More processors requested than permitted"},
      {"sbatch", "sbatch: error: Batch job submission failed: Invalid node name specified\n", false,
       SlurmErrorKind::kUnknownNode, "does not exist"},
      {"sbatch",
       "sbatch: error: Batch job submission failed: Invalid account or account/partition "
       "combination specified\n",
       false, SlurmErrorKind::kBadAccount, "Invalid account"},
      {"sbatch",
       "sbatch: error: Batch job submission failed: Requested time limit is invalid (missing or "
       "exceeds some limit)\n",
       false, SlurmErrorKind::kBadTime, "Requested time limit is invalid"},
      {"scontrol", "slurm_load_jobs error: Invalid job id specified\n", false,
       SlurmErrorKind::kUnknownJob, "not known"},
      {"sbatch", "sbatch: error: Batch job submission failed: Invalid job array specification\n",
       false, SlurmErrorKind::kRefused, "sbatch: Invalid job array specification"},
      {"scancel", "", false, SlurmErrorKind::kRefused, "failed without a message"},
  };
  for (const Case& c : cases) {
    const auto e = ks::driver::classify_error(c.command, c.err, c.timed_out, c.timed_out ? 12 : 9);
    EXPECT_EQ(e.kind, c.kind) << c.err;
    EXPECT_NE(e.message.find(c.words), std::string::npos) << e.message;
    EXPECT_EQ(e.message.find('\n'), std::string::npos) << e.message;
    EXPECT_EQ(e.message.rfind(c.command + ": ", 0), 0u) << e.message;
  }
}

TEST(SlurmClient, MissingCommandsAreOneLine) {
  ks::driver::SlurmClient client;
  client.env["PATH"] = "/nonexistent";
  const auto submitted = client.submit(basic_request());
  EXPECT_EQ(submitted.error.kind, SlurmErrorKind::kNotInstalled);
  EXPECT_TRUE(submitted.job_id.empty());
  EXPECT_NE(submitted.error.message.find("not found"), std::string::npos);
  EXPECT_EQ(client.query("5").error.kind, SlurmErrorKind::kNotInstalled);
  EXPECT_EQ(client.cancel("5").kind, SlurmErrorKind::kNotInstalled);

  // A contradiction is reported before any command runs.
  SlurmRequest r = basic_request();
  r.nodes = 2;
  r.nodelist = "n1";
  EXPECT_EQ(client.submit(r).error.kind, SlurmErrorKind::kBadRequest);

  // The dry run of an unpinned array needs no Slurm at all.
  ks::driver::SlurmError error;
  const std::string script = client.dry_run(basic_request(), error);
  EXPECT_FALSE(error) << error.message;
  EXPECT_TRUE(has(directives(script), "--array=0-3"));
}

TEST(SlurmTask, EnvironmentGivesIndexAndCpus) {
  using Env = std::map<std::string, std::string>;
  const std::vector<std::tuple<Env, bool, int, int>> cases = {
      {{{"SLURM_ARRAY_TASK_ID", "3"}, {"SLURM_CPUS_ON_NODE", "8"}}, true, 3, 8},
      {{{"SLURM_ARRAY_TASK_ID", "0"}, {"SLURM_CPUS_PER_TASK", "4"}, {"SLURM_CPUS_ON_NODE", "8"}},
       true,
       0,
       4},
      {{{"SLURM_ARRAY_TASK_ID", "2"}}, true, 2, 0},
      {{{"SLURM_ARRAY_TASK_ID", "2"}, {"SLURM_CPUS_ON_NODE", "lots"}}, true, 2, 0},
      {{{"SLURM_CPUS_ON_NODE", "8"}}, false, 0, 0},
      {{{"SLURM_ARRAY_TASK_ID", "4294967294"}}, false, 0, 0},
      {{{"SLURM_ARRAY_TASK_ID", "-1"}}, false, 0, 0},
  };
  for (const auto& [env, found, task, cpus] : cases) {
    const auto got = ks::driver::task_environment([&env = env](const char* name) -> const char* {
      const auto it = env.find(name);
      return it == env.end() ? nullptr : it->second.c_str();
    });
    ASSERT_EQ(got.has_value(), found) << env.size();
    if (got) {
      EXPECT_EQ(got->task, task);
      EXPECT_EQ(got->cpus, cpus);
    }
  }
}

}  // namespace
