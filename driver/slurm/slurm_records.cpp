// What Slurm tells about a job: the records of `scontrol -o show job` (task ids, states, exit
// codes, reasons), their summary, and the environment of a running task.
#include "driver/slurm/slurm.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "driver/slurm/slurm_detail.h"

namespace ks::driver {

using slurm_detail::bad;
using slurm_detail::parse_int;
using slurm_detail::split;

namespace {

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

}  // namespace

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

bool NodeState::available() const {
  std::string_view base = state;
  while (!base.empty() &&
         std::string_view("*~#%!$@^-").find(base.back()) != std::string_view::npos) {
    if (std::string_view("*~#%!").find(base.back()) != std::string_view::npos) {
      return false;  // not responding, or powered down or changing
    }
    base.remove_suffix(1);
  }
  for (std::string_view up : {"idle", "mixed", "allocated", "completing", "planned", "reserved"}) {
    if (base == up) {
      return true;
    }
  }
  return false;
}

std::vector<NodeState> parse_node_states(std::string_view text, std::string_view partition) {
  std::vector<NodeState> nodes;
  for (std::string_view line : split(text, '\n')) {
    const std::vector<std::string_view> fields = split(line, '|');
    if (fields.size() != 3 || fields[0].empty()) {
      continue;
    }
    std::string_view part = fields[2];
    const bool is_default = !part.empty() && part.back() == '*';
    if (is_default) {
      part.remove_suffix(1);
    }
    if (partition.empty() ? !is_default : part != partition) {
      continue;
    }
    if (std::none_of(nodes.begin(), nodes.end(),
                     [&](const NodeState& n) { return n.name == fields[0]; })) {
      nodes.push_back({std::string(fields[0]), std::string(fields[1])});
    }
  }
  return nodes;
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

}  // namespace ks::driver
