// The Slurm commands themselves: submission (checked first, pinned, withdrawn again when it
// can never start), the dry run, the query of a job's tasks and its cancellation.
#include "driver/slurm/slurm.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include <fmt/format.h>

#include "driver/slurm/slurm_detail.h"
#include "spawn/spawn.h"

namespace ks::driver {

using slurm_detail::blocking_error;
using slurm_detail::check_options;
using slurm_detail::contains;
using slurm_detail::parse_int;
using slurm_detail::slurm_words;
using slurm_detail::split;

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
    error = {SlurmErrorKind::kUnknownNode,
             fmt::format("the node list {} names no node", shown(list))};
  }
  return hosts;
}

std::vector<NodeState> SlurmClient::node_states(const std::string& partition,
                                                SlurmError& error) const {
  std::vector<std::string> args = {"-h", "-N", "-o", "%N|%T|%P"};
  if (!partition.empty()) {
    args.push_back("--partition=" + partition);
  }
  Output o = run("sinfo", args);
  error = o.error;
  return error ? std::vector<NodeState>{} : parse_node_states(o.out, partition);
}

SlurmError SlurmClient::unavailable_nodes(const SlurmRequest& request,
                                          std::vector<NodeState>& unavailable) const {
  SlurmError e;
  const std::vector<NodeState> states = node_states(request.partition, e);
  if (e || states.empty()) {
    return {};
  }
  auto names = [](const std::vector<NodeState>& nodes) {
    std::string out;
    for (const NodeState& n : nodes) {
      out += fmt::format("{}{} ({})", out.empty() ? "" : ", ", n.name, n.state);
    }
    return out;
  };
  unavailable.clear();
  if (!request.nodelist.empty()) {
    const std::vector<std::string> listed = expand_hostlist(request.nodelist, e);
    if (e) {
      return {};
    }
    for (const std::string& name : listed) {
      const auto it = std::find_if(states.begin(), states.end(),
                                   [&](const NodeState& n) { return n.name == name; });
      if (it == states.end()) {
        return {};  // not the partition's: too large a request indeed
      }
      if (!it->available() && std::none_of(unavailable.begin(), unavailable.end(),
                                           [&](const NodeState& n) { return n.name == name; })) {
        unavailable.push_back(*it);
      }
    }
    if (unavailable.empty()) {
      return {};
    }
    return {SlurmErrorKind::kNodesUnavailable,
            fmt::format("sbatch: not available now: {}; the partition has {} but cannot start "
                        "the job there until {} back",
                        names(unavailable), unavailable.size() == 1 ? "it" : "them",
                        unavailable.size() == 1 ? "it is" : "they are")};
  }
  const std::size_t wanted = static_cast<std::size_t>(std::max(request.nodes, 1));
  std::size_t up = 0;
  for (const NodeState& n : states) {
    if (n.available()) {
      ++up;
    } else {
      unavailable.push_back(n);
    }
  }
  if (wanted > states.size() || up >= wanted) {
    unavailable.clear();
    return {};
  }
  return {SlurmErrorKind::kNodesUnavailable,
          fmt::format("sbatch: {} node{} asked for, {} of the partition's {} available now (not "
                      "available: {})",
                      wanted, wanted == 1 ? "" : "s", up, states.size(), names(unavailable))};
}

std::vector<std::string> SlurmClient::check_request(const SlurmRequest& request, SlurmError& error,
                                                    std::vector<NodeState>& unavailable) const {
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
  if (error.kind == SlurmErrorKind::kTooManyNodes) {
    // sbatch says the same of a request larger than the partition and of one whose nodes are
    // down: tell them apart.
    if (SlurmError now = unavailable_nodes(request, unavailable)) {
      error = now;
    }
  }
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

std::vector<std::string> SlurmClient::submission_nodes(const SlurmRequest& request,
                                                       SubmitResult& result) const {
  SlurmError& error = result.error;
  try {
    check_options(request);  // contradictions first, before asking Slurm
  } catch (const std::invalid_argument& e) {
    error = {SlurmErrorKind::kBadRequest, e.what()};
    return {};
  }
  if ((error = ping())) {
    return {};
  }
  // sbatch --test-only checks partition, node count or names, time and account, and tells
  // which nodes it would use.
  std::vector<NodeState> unavailable;
  std::vector<std::string> nodes = check_request(request, error, unavailable);
  if (error.kind == SlurmErrorKind::kNodesUnavailable && request.queue_unavailable &&
      !request.nodelist.empty()) {
    error = {};  // the listed nodes are the partition's: their tasks wait for them
    result.waiting = unavailable;
  }
  if (error) {
    return nodes;
  }
  if (!request.nodelist.empty()) {
    nodes = expand_hostlist(request.nodelist, error);  // in the user's order
  } else if (request.mode == SlurmMode::kSplit) {
    nodes.clear();  // not pinned: Slurm places every task
  }
  return nodes;
}

SlurmError SlurmClient::start_tasks(const SubmitResult& result) const {
  // The script holds its tasks: pin each to its node, then let them go.
  const auto& pins = result.layout.task_nodes;
  for (std::size_t i = 0; i < pins.size(); ++i) {
    Output u = run("scontrol",
                   {"update", fmt::format("JobId={}_{}", result.job_id, i), "NodeList=" + pins[i]});
    if (u.error) {
      return u.error;
    }
  }
  if (!pins.empty()) {
    if (Output r = run("scontrol", {"release", result.job_id}); r.error) {
      return r.error;
    }
  }
  // Without enforced partition limits, sbatch accepts a request larger than the partition
  // and the job waits forever: catch that now rather than leave it queued.
  const JobQuery q = query(result.job_id);
  if (q.error) {
    return q.error;
  }
  for (const TaskStatus& t : q.tasks) {
    if (t.state == TaskState::kPending) {
      if (SlurmError e = blocking_error(t.reason)) {
        e.message = "sbatch: " + e.message;
        return e;
      }
    }
  }
  return {};
}

SubmitResult SlurmClient::submit(const SlurmRequest& request) const {
  SubmitResult result;
  SlurmError& error = result.error;
  const std::vector<std::string> nodes = submission_nodes(request, result);
  if (error) {
    return result;
  }
  std::string script;
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
  if (SlurmError why = start_tasks(result)) {
    // Withdrawn: nothing stays submitted.
    (void)cancel(result.job_id);
    error = std::move(why);
    result.job_id.clear();
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
