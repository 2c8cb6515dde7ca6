// The scontrol record parser on records captured from a real controller, the summary of an
// array's tasks, and a task's own environment.
#include "driver/slurm/slurm.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace {

using ks::driver::TaskState;

const std::string kRecords = KS_SLURM_RECORDS;

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in) << path;
  return std::string((std::istreambuf_iterator<char>(in)), {});
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

// sinfo's node lines: the partition asked for (or the default one), each node once, and
// whether it takes a job now.
TEST(SlurmRecords, NodeStatesOfAPartition) {
  const std::string sinfo =
      "n1|idle|debug*\n"
      "n2|down*|debug*\n"
      "n3|mixed|debug*\n"
      "n3|mixed|long\n"
      "n4|drained|long\n"
      "garbage line\n"
      "\n";
  auto names = [](const std::vector<ks::driver::NodeState>& nodes) {
    std::string out;
    for (const auto& n : nodes) {
      out += n.name + "=" + n.state + " ";
    }
    return out;
  };
  EXPECT_EQ(names(ks::driver::parse_node_states(sinfo, "")), "n1=idle n2=down* n3=mixed ");
  EXPECT_EQ(names(ks::driver::parse_node_states(sinfo, "long")), "n3=mixed n4=drained ");
  EXPECT_EQ(names(ks::driver::parse_node_states(sinfo, "debug")), "n1=idle n2=down* n3=mixed ");
  EXPECT_TRUE(ks::driver::parse_node_states(sinfo, "nosuch").empty());

  const std::vector<std::pair<std::string, bool>> states = {
      {"idle", true},     {"mixed", true},     {"allocated", true}, {"completing", true},
      {"planned", true},  {"reserved", true},  {"idle$", true},     {"allocated@", true},
      {"idle*", false},   {"mixed*", false},   {"down", false},     {"down*", false},
      {"drained", false}, {"draining", false}, {"fail", false},     {"unknown", false},
      {"idle~", false},   {"idle#", false},    {"idle%", false},    {"future", false},
      {"", false},        {"inval", false},
  };
  for (const auto& [state, available] : states) {
    EXPECT_EQ((ks::driver::NodeState{"n1", state}.available()), available) << state;
  }
}

}  // namespace
