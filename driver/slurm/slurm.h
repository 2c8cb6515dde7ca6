// Work on a Slurm cluster through Slurm's own commands: the batch script of a job array, its
// submission with errors a user can act on, the state of every task, cancellation, and a
// summary for the progress line. The text-in, text-out parts (script, parser, error
// classification) are pure functions; SlurmClient runs the commands.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ks::driver {

// How the plan is spread over the array's tasks.
enum class SlurmMode {
  kSplit,    // the plan's configurations are shared out over the tasks
  kPerNode,  // every node runs the whole plan: one task per node
};

struct SlurmRequest {
  std::string partition;                 // empty: the cluster's default partition
  int nodes = 0;                         // --nodes N; 0 when not given
  std::string nodelist;                  // --nodelist, a Slurm host list ("n[1-4],gpu7")
  std::string time;                      // --time in Slurm's format; empty: partition default
  std::string account;                   // --account; empty: the user's default
  std::vector<std::string> sbatch_args;  // anything else, one "#SBATCH" line each, as given
  SlurmMode mode = SlurmMode::kSplit;
  int tasks = 1;  // array size in split mode (per node: one task per node)
  // Absolute folder for the tasks' output and error files; also their working folder.
  std::string output_dir;
  std::string job_name = "kernelscope";
  // The task's command line. An argument that is exactly kTaskIndex stands for the task's
  // index (SLURM_ARRAY_TASK_ID); every other argument reaches the task as it is.
  std::vector<std::string> command;
  // A node of --nodelist that exists but is not available now (down, drained, not
  // responding) does not refuse the job: its tasks wait in the queue until it is back.
  bool queue_unavailable = false;
};

// The argument that becomes the task's index: a lone NUL byte, which no argument of a command
// line (and no path) can hold, so that nothing the user gives is ever taken for it.
inline constexpr std::string_view kTaskIndex{"\0", 1};

// The shape of the array once the nodes are known: its size, how many tasks may run at once
// (0: no limit) and, for pinned tasks, the node of each task.
struct ArrayLayout {
  int tasks = 1;
  int throttle = 0;
  std::vector<std::string> task_nodes;  // empty, or one node per task
  bool pins_pending = false;            // per node with --nodes N: chosen at submission
};

// The array for a request, given the nodes of --nodelist (or, per node with --nodes N, the
// nodes Slurm offers) as single host names:
//   split              `tasks` tasks; --nodes N lets at most N run at once; a node list pins
//                      task i to node i mod n
//   per node           one task per node, task i pinned to node i
// Throws std::invalid_argument with a one-line reason for an inconsistent request.
ArrayLayout array_layout(const SlurmRequest& request, const std::vector<std::string>& nodes);

// The batch script of the array: #SBATCH lines (one node and one task per array task, an
// exclusive allocation, no requeue, output and error files in the output folder, held when
// its tasks are to be pinned), then the command, run with exec so that its exit status and a
// death by signal are the task's own, every argument written as a shell reads it back. Throws
// std::invalid_argument when a value cannot be written into the script safely (a line break, a
// blank or a '%' in the folder, a NUL byte in an argument).
std::string batch_script(const SlurmRequest& request, const ArrayLayout& layout);

// A value shown in a message: in double quotes, with a line break, a carriage return, a tab
// or any other control byte (and a quote or a backslash) written as an escape, so that the
// message stays one line: "a\nb".
std::string shown(std::string_view value);

// Array task ids as Slurm prints a pending record's: "7", "2-5", "2-5%1", "1,3,5-7",
// "0-15:4". Throws std::invalid_argument on anything else.
std::vector<int> expand_task_ids(std::string_view text);

enum class TaskState {
  kPending,
  kRunning,  // also completing, suspended, configuring: not ended yet
  kCompleted,
  kFailed,  // exited non-zero or killed by a signal
  kTimeout,
  kCancelled,
  kNodeFail,
  kOutOfMemory,
  kOtherEnd,  // any other end: BOOT_FAIL, DEADLINE, PREEMPTED, ...
};

struct TaskStatus {
  int task = 0;            // array index (0 for a job that is not an array)
  std::string job_id;      // the record's JobId
  std::string state_name;  // JobState as printed
  TaskState state = TaskState::kPending;
  int exit_code = 0;  // ExitCode=code:signal
  int signal = 0;
  std::string reason;
  std::string nodes;  // NodeList

  bool ended() const { return state != TaskState::kPending && state != TaskState::kRunning; }
  bool succeeded() const { return state == TaskState::kCompleted; }
  // One line: "COMPLETED", "FAILED: exit 3", "FAILED: killed by signal 11 (Segmentation
  // fault)", "TIMEOUT (time limit reached)", "CANCELLED", "NODE_FAIL on n3",
  // "PENDING (Resources)".
  std::string describe() const;
};

// The task states in `scontrol -o show job JOBID` output: one record per line, a pending or
// cancelled range expanded into its tasks, sorted by task. Throws std::invalid_argument on a
// record without JobState or with an unreadable ArrayTaskId or ExitCode.
std::vector<TaskStatus> parse_job_records(std::string_view text);

// Pending reasons that mean the job can never start as requested (a request larger than the
// partition's nodes, limits, an account or QOS it may not use): the job would wait forever.
bool reason_blocks(std::string_view reason);

struct ArraySummary {
  int pending = 0;
  int running = 0;
  int done = 0;              // completed
  int failed = 0;            // every other end
  std::vector<int> blocked;  // pending tasks whose reason_blocks()

  int total() const { return pending + running + done + failed; }
  bool finished() const { return pending == 0 && running == 0; }
  // "2 pending, 1 running, 3 done, 1 failed"
  std::string text() const;
};

ArraySummary summarize(const std::vector<TaskStatus>& tasks);

enum class SlurmErrorKind {
  kNone,
  kNotInstalled,      // a Slurm command is not on PATH
  kNoConfig,          // no slurm.conf to be found (SLURM_CONF unset)
  kNoController,      // no controller answers
  kUnknownPartition,  // no such partition
  kUnknownNode,       // a node of --nodelist does not exist
  kTooManyNodes,      // more nodes than the partition has (or allows)
  kNodesUnavailable,  // nodes the partition has, but not available now (down, drained, ...)
  kBadAccount,        // an account (or QOS) the user may not use
  kBadTime,           // a time limit the partition refuses
  kUnknownJob,        // the job is not (or no longer) known to the controller
  kBadRequest,        // options that contradict each other or cannot go into a script
  kRefused,           // any other refusal, with Slurm's own words
};

struct SlurmError {
  SlurmErrorKind kind = SlurmErrorKind::kNone;
  std::string message;  // one line, without a trailing newline
  explicit operator bool() const { return kind != SlurmErrorKind::kNone; }
};

// What went wrong with a Slurm command (`command` is its name, `err` its standard error),
// worded for the user. `timed_out` tells that the command was killed after `seconds`.
SlurmError classify_error(std::string_view command, std::string_view err, bool timed_out,
                          double seconds);

// When no controller answers, the client commands retry for about 9 s (scontrol twice as
// long) before they give up; every command is bounded by this, and the message says so.
inline constexpr double kSlurmCommandTimeout = 12.0;

// A node as sinfo shows it: "n2" in state "down*".
struct NodeState {
  std::string name;
  std::string state;  // sinfo's long state, with its flags: idle, mixed, down*, drained, ...
  // Takes a job now or once its current ones end: idle, mixed, allocated, completing, planned
  // or reserved, and answering (no '*') and powered (no '~', '#', '%', '!').
  bool available() const;
};

// The nodes of `partition` (empty: the default one, marked '*') in `sinfo -h -N -o
// %N|%T|%P` output, each once, in sinfo's order.
std::vector<NodeState> parse_node_states(std::string_view text, std::string_view partition);

struct SubmitResult {
  std::string job_id;
  ArrayLayout layout;
  SlurmError error;
  // Nodes of the request not available now, whose tasks wait in the queue (queue_unavailable).
  std::vector<NodeState> waiting;
};

struct JobQuery {
  std::vector<TaskStatus> tasks;
  SlurmError error;
};

// The inside of a task: its index and the CPUs of its allocation (SLURM_CPUS_PER_TASK when
// set, else SLURM_CPUS_ON_NODE; 0 when neither is readable). Slurm never sets
// OMP_NUM_THREADS. Empty when SLURM_ARRAY_TASK_ID is missing or not a number.
struct TaskEnvironment {
  int task = 0;
  int cpus = 0;
};
std::optional<TaskEnvironment> task_environment(
    const std::function<const char*(const char*)>& getenv);

// Runs Slurm's commands, found on PATH (the client's own PATH when it sets one), with the
// client's environment changes (say SLURM_CONF) and a timeout.
class SlurmClient {
 public:
  std::map<std::string, std::optional<std::string>> env;
  double timeout_seconds = kSlurmCommandTimeout;

  // Checks the request with Slurm (sbatch --test-only: partition, nodes, time, account),
  // writes the script, submits it (sbatch --parsable), pins the tasks to their nodes when
  // the layout asks for it, and cancels the job again if its tasks can never start. On an
  // error nothing stays submitted.
  SubmitResult submit(const SlurmRequest& request) const;

  // The layout and script that submit() would use, for --dry-run. Needs Slurm only to
  // expand a node list; per node with --nodes N the pins are left to the submission.
  std::string dry_run(const SlurmRequest& request, SlurmError& error) const;

  JobQuery query(const std::string& job_id) const;
  SlurmError cancel(const std::string& job_id) const;

  // Host names of a Slurm host list ("n[1-3]" -> n1, n2, n3), by `scontrol show hostnames`.
  std::vector<std::string> expand_hostlist(const std::string& list, SlurmError& error) const;

  // The nodes of a partition (empty: the default one) and their states, by sinfo.
  std::vector<NodeState> node_states(const std::string& partition, SlurmError& error) const;

  // Full path of a command on the client's PATH, or empty.
  std::string find(const std::string& command) const;

 private:
  struct Output {
    std::string out;
    std::string err;
    SlurmError error;
  };
  Output run(const std::string& command, const std::vector<std::string>& args,
             const std::string& input = {}) const;
  // Nodes from sbatch --test-only, which also checks partition, nodes, time and account. A
  // request the partition could hold but not now is kNodesUnavailable, its unavailable nodes
  // in `unavailable`.
  std::vector<std::string> check_request(const SlurmRequest& request, SlurmError& error,
                                         std::vector<NodeState>& unavailable) const;
  // Why sbatch --test-only found too few nodes: the partition is too small (none), or some of
  // its nodes are not available now (kNodesUnavailable, naming them).
  SlurmError unavailable_nodes(const SlurmRequest& request,
                               std::vector<NodeState>& unavailable) const;
  SlurmError ping() const;
  // submit()'s checks: the request's options, Slurm's answer to it, and the nodes its tasks
  // are pinned to (none when Slurm places them). An error, or the nodes it waits for, in
  // `result`.
  std::vector<std::string> submission_nodes(const SlurmRequest& request,
                                            SubmitResult& result) const;
  // Pins the submitted job's tasks to their nodes, releases them, and checks that none waits
  // for what can never come; the first error, if any.
  SlurmError start_tasks(const SubmitResult& result) const;
};

}  // namespace ks::driver
