#include "driver/slurm.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

#include "spawn/spawn.h"

namespace ks::driver {
namespace {

[[noreturn]] void bad(const std::string& why) {
  throw std::invalid_argument(why);
}

// A whole string of decimal digits as a non-negative int.
std::optional<int> parse_int(std::string_view text) {
  int value = 0;
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text.front()))) {
    return std::nullopt;
  }
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == separator) {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

// A value that goes into an "#SBATCH --name=value" line: one word, one line.
void check_word(std::string_view what, std::string_view value) {
  if (value.find_first_of(" \t\n\r\"'\\") != std::string_view::npos) {
    bad(fmt::format("{} \"{}\" cannot go into a batch script: no blanks, quotes or line breaks",
                    what, value));
  }
}

// The value of "Key=" in a one-line scontrol record, or nothing.
std::optional<std::string_view> field(std::string_view record, std::string_view key) {
  std::size_t pos = 0;
  while (pos < record.size()) {
    const std::size_t end = std::min(record.find(' ', pos), record.size());
    const std::string_view token = record.substr(pos, end - pos);
    if (token.size() > key.size() && token.substr(0, key.size()) == key &&
        token[key.size()] == '=') {
      return token.substr(key.size() + 1);
    }
    pos = end + 1;
  }
  return std::nullopt;
}

TaskState state_of(std::string_view name) {
  static const std::map<std::string_view, TaskState, std::less<>> kStates = {
      {"PENDING", TaskState::kPending},
      {"REQUEUED", TaskState::kPending},
      {"REQUEUE_HOLD", TaskState::kPending},
      {"REQUEUE_FED", TaskState::kPending},
      {"RESV_DEL_HOLD", TaskState::kPending},
      {"RUNNING", TaskState::kRunning},
      {"CONFIGURING", TaskState::kRunning},
      {"COMPLETING", TaskState::kRunning},
      {"SUSPENDED", TaskState::kRunning},
      {"STOPPED", TaskState::kRunning},
      {"SIGNALING", TaskState::kRunning},
      {"STAGE_OUT", TaskState::kRunning},
      {"RESIZING", TaskState::kRunning},
      {"COMPLETED", TaskState::kCompleted},
      {"FAILED", TaskState::kFailed},
      {"TIMEOUT", TaskState::kTimeout},
      {"CANCELLED", TaskState::kCancelled},
      {"NODE_FAIL", TaskState::kNodeFail},
      {"OUT_OF_MEMORY", TaskState::kOutOfMemory},
  };
  const auto it = kStates.find(name);
  return it != kStates.end() ? it->second : TaskState::kOtherEnd;
}

// "sbatch: error: Batch job submission failed: Invalid partition name specified" ->
// "Invalid partition name specified": the last line of Slurm's complaint, without prefixes.
std::string slurm_words(std::string_view err) {
  std::string_view last;
  for (std::string_view line : split(err, '\n')) {
    if (!line.empty()) {
      last = line;
    }
  }
  for (std::string_view prefix : {"error: ", "fatal: ", "Batch job submission failed: ",
                                  "allocation failure: ", "slurm_load_jobs error: "}) {
    const std::size_t at = last.find(prefix);
    if (at != std::string_view::npos) {
      last.remove_prefix(at + prefix.size());
    }
  }
  return std::string(last);
}

std::string seconds_text(double seconds) {
  return fmt::format("{:.0f} s", seconds);
}

}  // namespace

std::string shell_quote(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

namespace {

// Options that contradict each other, before any node is known.
void check_options(const SlurmRequest& request) {
  if (request.nodes < 0) {
    bad("--nodes must be at least 1");
  }
  if (request.nodes > 0 && !request.nodelist.empty()) {
    bad("--nodes and --nodelist exclude each other");
  }
  if (request.mode == SlurmMode::kSplit && request.tasks < 1) {
    bad("a job array needs at least one task");
  }
  if (request.mode == SlurmMode::kPerNode && request.nodelist.empty() && request.nodes == 0) {
    bad("one task per node needs --nodes N or --nodelist");
  }
}

}  // namespace

ArrayLayout array_layout(const SlurmRequest& request, const std::vector<std::string>& nodes) {
  check_options(request);
  ArrayLayout layout;
  const bool listed = !request.nodelist.empty();
  if (listed && nodes.empty()) {
    bad(fmt::format("the node list \"{}\" names no node", request.nodelist));
  }
  if (request.mode == SlurmMode::kSplit) {
    layout.tasks = request.tasks;
    if (listed) {
      for (int i = 0; i < layout.tasks; ++i) {
        layout.task_nodes.push_back(nodes[static_cast<std::size_t>(i) % nodes.size()]);
      }
    } else {
      layout.throttle = request.nodes;
    }
    return layout;
  }
  if (listed || !nodes.empty()) {
    layout.task_nodes = nodes;
    layout.tasks = static_cast<int>(nodes.size());
  } else {
    layout.tasks = request.nodes;
    layout.pins_pending = true;
  }
  return layout;
}

std::string batch_script(const SlurmRequest& request, const ArrayLayout& layout) {
  if (request.command.empty()) {
    bad("the task has no command");
  }
  if (request.output_dir.empty() || request.output_dir.front() != '/') {
    bad(fmt::format("the output folder \"{}\" must be an absolute path", request.output_dir));
  }
  check_word("the output folder", request.output_dir);
  if (contains(request.output_dir, "%")) {
    // Slurm reads '%' in file names as a pattern (%j, %A, ...).
    bad(fmt::format("the output folder \"{}\" cannot hold a '%' for Slurm", request.output_dir));
  }
  check_word("the job name", request.job_name);
  check_word("the partition", request.partition);
  check_word("the time limit", request.time);
  check_word("the account", request.account);
  for (const std::string& arg : request.sbatch_args) {
    if (arg.find_first_of("\n\r") != std::string::npos || arg.empty()) {
      bad(fmt::format("the sbatch argument \"{}\" must be one non-empty line", arg));
    }
  }
  for (const std::string& arg : request.command) {
    if (arg.find('\0') != std::string::npos) {
      bad("a command argument holds a NUL byte");
    }
  }
  const bool pinned = !layout.task_nodes.empty() || layout.pins_pending;
  for (const std::string& node : layout.task_nodes) {
    check_word("the node name", node);
  }

  std::string s = "#!/bin/bash\n";
  auto directive = [&s](const std::string& text) { s += "#SBATCH " + text + "\n"; };
  directive("--job-name=" + request.job_name);
  directive(fmt::format("--array=0-{}{}", layout.tasks - 1,
                        layout.throttle > 0 ? fmt::format("%{}", layout.throttle) : ""));
  directive("--nodes=1");
  directive("--ntasks=1");
  directive("--exclusive");
  directive("--no-requeue");
  if (!request.partition.empty()) {
    directive("--partition=" + request.partition);
  }
  if (!request.time.empty()) {
    directive("--time=" + request.time);
  }
  if (!request.account.empty()) {
    directive("--account=" + request.account);
  }
  std::string dir = request.output_dir;
  while (dir.size() > 1 && dir.back() == '/') {
    dir.pop_back();
  }
  const std::string prefix = dir == "/" ? "/" : dir + "/";
  directive("--chdir=" + dir);
  directive("--output=" + prefix + "slurm-%A_%a.out");
  directive("--error=" + prefix + "slurm-%A_%a.err");
  if (pinned) {
    directive("--hold");
  }
  for (const std::string& arg : request.sbatch_args) {
    directive(arg);
  }

  s += "#\n# Written by kernelscope.\n";
  if (request.mode == SlurmMode::kSplit) {
    s += fmt::format("# The plan is shared out over {} task{}", layout.tasks,
                     layout.tasks == 1 ? "" : "s");
    s += layout.throttle > 0 ? fmt::format(", at most {} running at once.\n", layout.throttle)
                             : ".\n";
  } else {
    s += "# Every task runs the whole plan on its own node.\n";
  }
  if (!layout.task_nodes.empty()) {
    s += "# Held at submission, each task is pinned to its node, then released:\n";
    for (std::size_t i = 0; i < layout.task_nodes.size(); ++i) {
      s += fmt::format("#   task {}: {}\n", i, layout.task_nodes[i]);
    }
  } else if (layout.pins_pending) {
    s += fmt::format(
        "# Held at submission, each task is pinned to one of {} nodes Slurm offers, then "
        "released.\n",
        layout.tasks);
  }
  s += "# SLURM_ARRAY_TASK_ID is the task's index, SLURM_CPUS_ON_NODE its CPUs; Slurm does not\n"
       "# set OMP_NUM_THREADS.\n";

  s += "exec";
  for (const std::string& arg : request.command) {
    s += ' ';
    const std::vector<std::string_view> pieces = [&arg] {
      std::vector<std::string_view> out;
      std::string_view rest = arg;
      for (std::size_t at; (at = rest.find("{task}")) != std::string_view::npos;) {
        out.push_back(rest.substr(0, at));
        rest.remove_prefix(at + 6);
      }
      out.push_back(rest);
      return out;
    }();
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      if (i > 0) {
        s += "\"$SLURM_ARRAY_TASK_ID\"";
      }
      if (!pieces[i].empty() || pieces.size() == 1) {
        s += shell_quote(pieces[i]);
      }
    }
  }
  s += '\n';
  return s;
}

std::vector<int> expand_task_ids(std::string_view text) {
  const std::string_view original = text;
  auto fail = [&original] { bad(fmt::format("unreadable array task ids \"{}\"", original)); };
  // A throttle ("%2") may follow the list.
  if (const std::size_t percent = text.find('%'); percent != std::string_view::npos) {
    if (!parse_int(text.substr(percent + 1))) {
      fail();
    }
    text = text.substr(0, percent);
  }
  constexpr std::size_t kMaxTasks = 1 << 20;
  std::vector<int> ids;
  for (std::string_view part : split(text, ',')) {
    int step = 1;
    if (const std::size_t colon = part.find(':'); colon != std::string_view::npos) {
      const auto s = parse_int(part.substr(colon + 1));
      if (!s || *s < 1) {
        fail();
      }
      step = *s;
      part = part.substr(0, colon);
    }
    const std::size_t dash = part.find('-');
    const auto first = parse_int(part.substr(0, dash));
    const auto last = dash == std::string_view::npos ? first : parse_int(part.substr(dash + 1));
    if (!first || !last || *last < *first) {
      fail();
    }
    for (long long id = *first; id <= *last; id += step) {
      if (ids.size() == kMaxTasks) {
        fail();
      }
      ids.push_back(static_cast<int>(id));
    }
  }
  return ids;
}

std::string TaskStatus::describe() const {
  const bool has_reason = !reason.empty() && reason != "None";
  switch (state) {
    case TaskState::kPending:
      return has_reason ? fmt::format("PENDING ({})", reason) : "PENDING";
    case TaskState::kRunning:
      return nodes.empty() ? state_name : fmt::format("{} on {}", state_name, nodes);
    case TaskState::kCompleted:
      return "COMPLETED";
    case TaskState::kFailed:
      // A death by signal shows as FAILED with a JobLaunchFailure reason: the signal is what
      // happened.
      if (signal != 0) {
        return fmt::format("FAILED: killed by signal {} ({})", signal, strsignal(signal));
      }
      return fmt::format("FAILED: exit {}", exit_code);
    case TaskState::kTimeout:
      return "TIMEOUT: time limit reached";
    case TaskState::kCancelled:
      return "CANCELLED";
    case TaskState::kNodeFail:
      return nodes.empty() ? "NODE_FAIL: its node failed"
                           : fmt::format("NODE_FAIL: node {} failed", nodes);
    case TaskState::kOutOfMemory:
      return "OUT_OF_MEMORY: killed for using more memory than allocated";
    case TaskState::kOtherEnd:
      break;
  }
  return has_reason ? fmt::format("{} ({})", state_name, reason) : state_name;
}

std::vector<TaskStatus> parse_job_records(std::string_view text) {
  std::map<int, TaskStatus> by_task;
  for (std::string_view line : split(text, '\n')) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) {
      line.remove_suffix(1);
    }
    if (line.empty()) {
      continue;
    }
    const auto state = field(line, "JobState");
    if (!state || state->empty()) {
      bad(fmt::format("a job record without JobState: \"{}\"", line.substr(0, 80)));
    }
    TaskStatus t;
    t.job_id = std::string(field(line, "JobId").value_or(""));
    t.state_name = std::string(*state);
    t.state = state_of(*state);
    t.reason = std::string(field(line, "Reason").value_or(""));
    t.nodes = std::string(field(line, "NodeList").value_or(""));
    if (const auto exit = field(line, "ExitCode")) {
      const std::size_t colon = exit->find(':');
      const auto code = parse_int(exit->substr(0, colon));
      const auto sig =
          colon == std::string_view::npos ? std::nullopt : parse_int(exit->substr(colon + 1));
      if (!code || !sig) {
        bad(fmt::format("unreadable ExitCode \"{}\"", *exit));
      }
      t.exit_code = *code;
      t.signal = *sig;
    }
    const auto ids = field(line, "ArrayTaskId");
    for (int id : ids ? expand_task_ids(*ids) : std::vector<int>{0}) {
      t.task = id;
      by_task[id] = t;
    }
  }
  std::vector<TaskStatus> tasks;
  tasks.reserve(by_task.size());
  for (auto& [id, t] : by_task) {
    tasks.push_back(std::move(t));
  }
  return tasks;
}

namespace {

// The error a pending reason stands for, when the job can never start as it is.
SlurmError blocking_error(std::string_view reason) {
  if (reason == "PartitionNodeLimit" || reason == "PartitionConfig") {
    return {SlurmErrorKind::kTooManyNodes,
            fmt::format("the request is larger than the partition's nodes (pending: {})", reason)};
  }
  if (reason == "PartitionTimeLimit") {
    return {SlurmErrorKind::kBadTime,
            "the time limit is above the partition's (pending: PartitionTimeLimit)"};
  }
  if (reason == "InvalidAccount" || reason == "InvalidQOS") {
    return {SlurmErrorKind::kBadAccount, fmt::format("the job may not run (pending: {})", reason)};
  }
  if (reason == "BadConstraints") {
    return {SlurmErrorKind::kRefused,
            "no node of the partition meets the request (pending: BadConstraints)"};
  }
  return {};
}

}  // namespace

bool reason_blocks(std::string_view reason) {
  return bool(blocking_error(reason));
}

std::string ArraySummary::text() const {
  return fmt::format("{} pending, {} running, {} done, {} failed", pending, running, done, failed);
}

ArraySummary summarize(const std::vector<TaskStatus>& tasks) {
  ArraySummary s;
  for (const TaskStatus& t : tasks) {
    switch (t.state) {
      case TaskState::kPending:
        ++s.pending;
        if (reason_blocks(t.reason)) {
          s.blocked.push_back(t.task);
        }
        break;
      case TaskState::kRunning:
        ++s.running;
        break;
      case TaskState::kCompleted:
        ++s.done;
        break;
      default:
        ++s.failed;
        break;
    }
  }
  return s;
}

SlurmError classify_error(std::string_view command, std::string_view err, bool timed_out,
                          double seconds) {
  if (timed_out) {
    return {SlurmErrorKind::kNoController,
            fmt::format("{}: no answer from the Slurm controller within {} (is slurmctld "
                        "running, and SLURM_CONF naming its slurm.conf?)",
                        command, seconds_text(seconds))};
  }
  const std::string text = lower(err);
  const std::string words = slurm_words(err);
  if (contains(text, "unable to contact slurm controller")) {
    return {SlurmErrorKind::kNoController,
            fmt::format("{}: no Slurm controller answers (gave up after {}; is slurmctld "
                        "running, and SLURM_CONF naming its slurm.conf?)",
                        command, seconds_text(seconds))};
  }
  if (contains(text, "could not establish a configuration source") ||
      contains(text, "dns srv lookup failed") ||
      contains(text, "unable to process configuration")) {
    return {SlurmErrorKind::kNoConfig,
            fmt::format("{}: no Slurm configuration found (set SLURM_CONF to the cluster's "
                        "slurm.conf)",
                        command)};
  }
  if (contains(text, "invalid partition")) {
    const std::size_t at = text.find("invalid partition specified: ");
    std::string name;
    if (at != std::string::npos) {
      const std::size_t from = at + std::strlen("invalid partition specified: ");
      name = std::string(err.substr(from, err.find('\n', from) - from));
    }
    return {SlurmErrorKind::kUnknownPartition,
            name.empty() ? fmt::format("{}: unknown partition", command)
                         : fmt::format("{}: unknown partition \"{}\"", command, name)};
  }
  if (contains(text, "node count specification invalid") ||
      contains(text, "requested node configuration is not available") ||
      contains(text, "more processors requested than permitted")) {
    return {
        SlurmErrorKind::kTooManyNodes,
        fmt::format("{}: the request is larger than the partition's nodes ({})", command, words)};
  }
  if (contains(text, "invalid node name")) {
    return {SlurmErrorKind::kUnknownNode,
            fmt::format("{}: a node of the node list does not exist ({})", command, words)};
  }
  if (contains(text, "invalid account") || contains(text, "invalid qos")) {
    return {SlurmErrorKind::kBadAccount, fmt::format("{}: {}", command, words)};
  }
  if (contains(text, "time limit")) {
    return {SlurmErrorKind::kBadTime, fmt::format("{}: {}", command, words)};
  }
  if (contains(text, "invalid job id")) {
    return {SlurmErrorKind::kUnknownJob,
            fmt::format("{}: the job is not known to the controller (finished long ago, or "
                        "never submitted there)",
                        command)};
  }
  return {SlurmErrorKind::kRefused,
          fmt::format("{}: {}", command, words.empty() ? "failed without a message" : words)};
}

std::optional<TaskEnvironment> task_environment(
    const std::function<const char*(const char*)>& getenv) {
  auto number = [&getenv](const char* name) -> std::optional<int> {
    const char* value = getenv(name);
    return value != nullptr ? parse_int(value) : std::nullopt;
  };
  const auto task = number("SLURM_ARRAY_TASK_ID");
  if (!task) {
    return std::nullopt;
  }
  TaskEnvironment env;
  env.task = *task;
  const auto cpus = number("SLURM_CPUS_PER_TASK");
  env.cpus = cpus && *cpus > 0 ? *cpus : number("SLURM_CPUS_ON_NODE").value_or(0);
  return env;
}

std::string SlurmClient::find(const std::string& command) const {
  auto runnable = [](const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
  };
  if (command.find('/') != std::string::npos) {
    return runnable(command) ? command : "";
  }
  std::string path;
  if (const auto it = env.find("PATH"); it != env.end()) {
    path = it->second.value_or("");
  } else if (const char* p = std::getenv("PATH")) {
    path = p;
  }
  for (std::string_view dir : split(path, ':')) {
    const std::string candidate =
        (dir.empty() ? std::string(".") : std::string(dir)) + "/" + command;
    if (runnable(candidate)) {
      return candidate;
    }
  }
  return "";
}

SlurmClient::Output SlurmClient::run(const std::string& command,
                                     const std::vector<std::string>& args,
                                     const std::string& input) const {
  Output o;
  const std::string path = find(command);
  if (path.empty()) {
    o.error = {SlurmErrorKind::kNotInstalled,
               fmt::format("{} not found on PATH: install Slurm's client commands (Debian "
                           "package slurm-client)",
                           command)};
    return o;
  }
  // OMP_* variables of the submitter are dropped (RunOptions::clean_omp_env): sbatch would
  // pass them on to the tasks, which set their own.
  ks::RunOptions options;
  options.args = args;
  options.env = env;
  options.timeout_seconds = timeout_seconds;
  options.stdin_data = input;
  const ks::RunResult r = ks::run_program(path, options);
  if (!r.started) {
    o.error = {SlurmErrorKind::kNotInstalled, fmt::format("{}: {}", command, r.error)};
  } else if (r.timed_out) {
    o.error = classify_error(command, r.err, true, timeout_seconds);
  } else if (!r.exited) {
    o.error = {SlurmErrorKind::kRefused, fmt::format("{}: {}", command, r.describe())};
  } else if (r.exit_status != 0) {
    o.error = classify_error(command, r.err, false, r.wall_seconds);
  }
  o.out = r.out;
  o.err = r.err;
  return o;
}

SlurmError SlurmClient::ping() const {
  // Unlike the other commands, `scontrol ping` answers at once when nobody listens.
  Output o = run("scontrol", {"ping"});
  if (o.error.kind == SlurmErrorKind::kRefused || (!o.error && !contains(o.out, "is UP"))) {
    return {SlurmErrorKind::kNoController,
            "no Slurm controller answers (scontrol ping: DOWN; is slurmctld running, and "
            "SLURM_CONF naming its slurm.conf?)"};
  }
  return o.error;
}

std::vector<std::string> SlurmClient::expand_hostlist(const std::string& list,
                                                      SlurmError& error) const {
  Output o = run("scontrol", {"show", "hostnames", list});
  error = o.error;
  std::vector<std::string> hosts;
  if (error) {
    return hosts;
  }
  for (std::string_view line : split(o.out, '\n')) {
    if (!line.empty()) {
      hosts.emplace_back(line);
    }
  }
  if (hosts.empty()) {
    error = {SlurmErrorKind::kUnknownNode, fmt::format("the node list \"{}\" names no node", list)};
  }
  return hosts;
}

std::vector<std::string> SlurmClient::check_request(const SlurmRequest& request,
                                                    SlurmError& error) const {
  std::vector<std::string> args = {"--test-only", "--exclusive"};
  if (!request.nodelist.empty()) {
    args.push_back("--nodelist=" + request.nodelist);
  } else {
    args.push_back(fmt::format("--nodes={}", std::max(request.nodes, 1)));
  }
  if (!request.partition.empty()) {
    args.push_back("--partition=" + request.partition);
  }
  if (!request.time.empty()) {
    args.push_back("--time=" + request.time);
  }
  if (!request.account.empty()) {
    args.push_back("--account=" + request.account);
  }
  args.insert(args.end(), request.sbatch_args.begin(), request.sbatch_args.end());
  Output o = run("sbatch", args, "#!/bin/sh\ntrue\n");
  error = o.error;
  std::vector<std::string> nodes;
  if (error) {
    return nodes;
  }
  // "sbatch: Job 5 to start at ... using 2 processors on nodes n[1-2] in partition debug"
  // goes to standard error.
  const std::size_t on = o.err.find(" on nodes ");
  const std::size_t in = o.err.find(" in partition", on == std::string::npos ? 0 : on);
  if (on == std::string::npos || in == std::string::npos) {
    error = {
        SlurmErrorKind::kRefused,
        fmt::format("sbatch --test-only: no node list in its answer \"{}\"", slurm_words(o.err))};
    return nodes;
  }
  return expand_hostlist(o.err.substr(on + 10, in - on - 10), error);
}

SubmitResult SlurmClient::submit(const SlurmRequest& request) const {
  SubmitResult result;
  SlurmError& error = result.error;
  std::string script;
  try {
    check_options(request);  // contradictions first, before asking Slurm
  } catch (const std::invalid_argument& e) {
    error = {SlurmErrorKind::kBadRequest, e.what()};
    return result;
  }
  if ((error = ping())) {
    return result;
  }
  // sbatch --test-only checks partition, node count or names, time and account, and tells
  // which nodes it would use.
  std::vector<std::string> nodes = check_request(request, error);
  if (error) {
    return result;
  }
  if (!request.nodelist.empty()) {
    nodes = expand_hostlist(request.nodelist, error);  // in the user's order
    if (error) {
      return result;
    }
  } else if (request.mode == SlurmMode::kSplit) {
    nodes.clear();  // not pinned: Slurm places every task
  }
  try {
    result.layout = array_layout(request, nodes);
    script = batch_script(request, result.layout);
  } catch (const std::invalid_argument& e) {
    error = {SlurmErrorKind::kBadRequest, e.what()};
    return result;
  }
  Output o = run("sbatch", {"--parsable"}, script);
  if ((error = o.error)) {
    return result;
  }
  // "42" or "42;cluster"
  const std::string_view answer = split(split(o.out, '\n').front(), ';').front();
  if (!parse_int(answer)) {
    error = {SlurmErrorKind::kRefused,
             fmt::format("sbatch: unexpected answer \"{}\"", slurm_words(o.out))};
    return result;
  }
  result.job_id = std::string(answer);

  auto withdraw = [&](SlurmError why) {
    (void)cancel(result.job_id);
    error = std::move(why);
    result.job_id.clear();
  };
  // The script holds its tasks: pin each to its node, then let them go.
  const auto& pins = result.layout.task_nodes;
  for (std::size_t i = 0; i < pins.size(); ++i) {
    Output u = run("scontrol",
                   {"update", fmt::format("JobId={}_{}", result.job_id, i), "NodeList=" + pins[i]});
    if (u.error) {
      withdraw(u.error);
      return result;
    }
  }
  if (!pins.empty()) {
    if (Output r = run("scontrol", {"release", result.job_id}); r.error) {
      withdraw(r.error);
      return result;
    }
  }
  // Without enforced partition limits, sbatch accepts a request larger than the partition
  // and the job waits forever: catch that now rather than leave it queued.
  const JobQuery q = query(result.job_id);
  if (q.error) {
    withdraw(q.error);
    return result;
  }
  for (const TaskStatus& t : q.tasks) {
    if (t.state == TaskState::kPending) {
      if (SlurmError e = blocking_error(t.reason)) {
        e.message = "sbatch: " + e.message;
        withdraw(e);
        return result;
      }
    }
  }
  return result;
}

std::string SlurmClient::dry_run(const SlurmRequest& request, SlurmError& error) const {
  std::vector<std::string> nodes;
  error = {};
  if (!request.nodelist.empty()) {
    nodes = expand_hostlist(request.nodelist, error);
    if (error) {
      return "";
    }
  }
  try {
    return batch_script(request, array_layout(request, nodes));
  } catch (const std::invalid_argument& e) {
    error = {SlurmErrorKind::kBadRequest, e.what()};
    return "";
  }
}

JobQuery SlurmClient::query(const std::string& job_id) const {
  JobQuery q;
  Output o = run("scontrol", {"-o", "show", "job", job_id});
  q.error = o.error;
  if (q.error) {
    return q;
  }
  try {
    q.tasks = parse_job_records(o.out);
  } catch (const std::invalid_argument& e) {
    q.error = {SlurmErrorKind::kRefused, fmt::format("scontrol: {}", e.what())};
  }
  return q;
}

SlurmError SlurmClient::cancel(const std::string& job_id) const {
  return run("scancel", {job_id}).error;
}

}  // namespace ks::driver
