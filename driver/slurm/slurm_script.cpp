// The array of a request and its batch script.
#include "driver/slurm/slurm.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "driver/base/text.h"
#include "driver/slurm/slurm_detail.h"

namespace ks::driver {

using slurm_detail::bad;
using slurm_detail::check_options;
using slurm_detail::contains;

namespace {

// A value that goes into an "#SBATCH --name=value" line: one word, one line.
void check_word(std::string_view what, std::string_view value) {
  if (value.find_first_of(" \t\n\r\"'\\") != std::string_view::npos) {
    bad(fmt::format("{} {} cannot go into a batch script: no blanks, quotes or line breaks", what,
                    shown(value)));
  }
}

}  // namespace

std::string slurm_detail::escape_controls(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      out += fmt::format("\\x{:02x}", byte);
    } else {
      out += c;
    }
  }
  return out;
}

std::string shown(std::string_view value) {
  std::string quoted;
  for (const char c : value) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
    }
    quoted += c;
  }
  return "\"" + slurm_detail::escape_controls(quoted) + "\"";
}

void slurm_detail::check_options(const SlurmRequest& request) {
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
  // Before any of them reaches Slurm (whose complaints would echo them) or a script.
  check_word("the job name", request.job_name);
  check_word("the partition", request.partition);
  check_word("the time limit", request.time);
  check_word("the account", request.account);
  check_word("the node list", request.nodelist);
  for (const std::string& arg : request.sbatch_args) {
    if (arg.find_first_of("\n\r") != std::string::npos || arg.empty()) {
      bad(fmt::format("the sbatch argument {} must be one non-empty line", shown(arg)));
    }
  }
}

ArrayLayout array_layout(const SlurmRequest& request, const std::vector<std::string>& nodes) {
  check_options(request);
  ArrayLayout layout;
  const bool listed = !request.nodelist.empty();
  if (listed && nodes.empty()) {
    bad(fmt::format("the node list {} names no node", shown(request.nodelist)));
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

namespace {

// What Slurm or the shell would read otherwise than meant is refused before anything is
// written.
void check_request(const SlurmRequest& request, const ArrayLayout& layout) {
  if (request.command.empty()) {
    bad("the task has no command");
  }
  if (request.output_dir.empty() || request.output_dir.front() != '/') {
    bad(fmt::format("the output folder {} must be an absolute path", shown(request.output_dir)));
  }
  check_options(request);
  check_word("the output folder", request.output_dir);
  if (contains(request.output_dir, "%")) {
    // Slurm reads '%' in file names as a pattern (%j, %A, ...).
    bad(fmt::format("the output folder {} cannot hold a '%' for Slurm", shown(request.output_dir)));
  }
  for (const std::string& arg : request.command) {
    if (arg != kTaskIndex && arg.find('\0') != std::string::npos) {
      bad("a command argument holds a NUL byte");
    }
  }
  for (const std::string& node : layout.task_nodes) {
    check_word("the node name", node);
  }
}

// The #SBATCH lines: the array, one exclusive node per task, the folder and its logs.
std::string directives(const SlurmRequest& request, const ArrayLayout& layout, bool pinned) {
  std::string s;
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
  return s;
}

// The comment for people: how the plan is shared and where each task runs.
std::string script_comment(const SlurmRequest& request, const ArrayLayout& layout) {
  std::string s = "#\n# Written by kernelscope.\n";
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
  return s;
}

}  // namespace

std::string batch_script(const SlurmRequest& request, const ArrayLayout& layout) {
  check_request(request, layout);
  const bool pinned = !layout.task_nodes.empty() || layout.pins_pending;
  std::string s = "#!/bin/bash\n";
  s += directives(request, layout, pinned);
  s += script_comment(request, layout);
  s += "exec";
  for (const std::string& arg : request.command) {
    s += ' ';
    s += arg == kTaskIndex ? std::string("\"$SLURM_ARRAY_TASK_ID\"") : shell_word(arg);
  }
  s += '\n';
  return s;
}

}  // namespace ks::driver
