#include "driver/analysis/stored_results.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <span>

#include "driver/analysis/ceilings.h"
#include "driver/analysis/loop_model.h"
#include "driver/analysis/model.h"
#include "driver/analysis/summary.h"
#include "driver/results/counters.h"
#include "driver/results/run_source.h"
#include "driver/store/store_runs.h"

namespace ks::driver {

void add_model_and_counters(ResultSet& results) {
  summarize_counters(results.runs, results.summary);
  if (const std::optional<Ceilings> ceilings = ceilings_from_context(machine_of(results))) {
    apply_model(results.configs, results.summary, *ceilings, context_loops(machine_of(results)));
  }
}

namespace {

// Everything a store's contents render to but the nodes: the runs taken from `runs` in passes
// (one by configuration for the summary and the counters, one over a tour's demonstrations for
// their maps), never all at once.
ResultSet results_from(const StoreContents& head, const RunSource& runs) {
  ResultSet results;
  results.command = head.command;
  results.context = head.context;
  results.configs = head.plan.configs;
  results.summary =
      summarize_runs(results.configs, runs, context_clock_step(machine_of(results)),
                     [](std::size_t, std::span<const RunRecord> of_config, SummaryRow& row) {
                       row.counters = counter_medians(of_config);
                     });
  if (const std::optional<Ceilings> ceilings = ceilings_from_context(machine_of(results))) {
    apply_model(results.configs, results.summary, *ceilings, context_loops(machine_of(results)));
  }
  if (head.kind == "tour" || head.kind == "map") {
    // Each demonstration configuration's map, from its last run whose output was kept.
    RunQuery demos;
    demos.with_output = true;
    demos.configs.assign(results.configs.size(), false);
    for (std::size_t i = 0; i < results.configs.size(); ++i) {
      demos.configs[i] = results.configs[i].program->kind == Kind::kDemonstration;
    }
    std::map<std::size_t, RunRecord> last_run;
    runs.each(demos, [&](std::size_t, const RunRecord& r) {
      if (r.result) {
        last_run[r.config] = r;
      }
    });
    for (const auto& [index, record] : last_run) {
      const Config& c = results.configs[index];
      results.maps.push_back({index, c.program->trace(c.spec(), *record.result)});
    }
  }
  results.missing = machine_of(results).build.missing;
  return results;
}

}  // namespace

ResultSet result_set(const StoreContents& contents) {
  std::vector<RunRecord> records = contents.records();
  ResultSet results = results_from(contents, MemoryRuns(records, contents.plan.configs.size()));
  results.runs = std::move(records);
  if (contents.kind != "map") {
    results.nodes = node_results(contents);
  }
  return results;
}

ResultSet result_set(const StoreContents& head, const std::shared_ptr<Store>& store) {
  ResultSet results = results_from(head, StoreRuns(store));
  results.source = std::make_shared<StoreRuns>(store);
  if (head.kind == "map") {
    return results;
  }
  // Each node's runs on their own, as node_results() takes them from a store loaded whole.
  const std::vector<std::string> hosts = store->run_hosts();
  const bool per_node =
      std::find(head.command.begin(), head.command.end(), "--per-node") != head.command.end();
  if (hosts.empty() || (!per_node && (hosts.size() < 2 || !store->runs_repeated()))) {
    return results;
  }
  for (const std::string& host : hosts) {
    StoreContents mine = head;
    for (const auto& [name, context] : head.machines) {
      if (name == host) {
        mine.context = context;
      }
    }
    std::erase(mine.command, "--per-node");
    auto runs = std::make_shared<StoreRuns>(store, host);
    ResultSet node = results_from(mine, *runs);
    node.source = std::move(runs);
    results.nodes.push_back({host, std::move(node)});
  }
  return results;
}

std::vector<NodeResults> node_results(const StoreContents& contents) {
  const std::vector<std::string> hosts = run_hosts(contents);
  std::set<std::pair<std::size_t, std::string>> seen;
  std::set<std::size_t> planned;
  bool repeated = false;
  for (const StoredRun& run : contents.runs) {
    if (seen.emplace(run.planned, run.host).second && !planned.insert(run.planned).second) {
      repeated = true;
    }
  }
  // A per-node job says so on its command line, even when a single node answered it.
  const bool per_node = std::find(contents.command.begin(), contents.command.end(), "--per-node") !=
                        contents.command.end();
  std::vector<NodeResults> nodes;
  if (hosts.empty() || (!per_node && (hosts.size() < 2 || !repeated))) {
    return nodes;
  }
  for (const std::string& host : hosts) {
    // One node's runs on their own, as a single machine's sweep.
    StoreContents mine = host_contents(contents, host);
    std::erase(mine.command, "--per-node");
    nodes.push_back({host, result_set(mine)});
  }
  return nodes;
}

StoreContents host_contents(const StoreContents& all, const std::string& host) {
  StoreContents c = all;
  std::erase_if(c.runs, [&host](const StoredRun& run) { return run.host != host; });
  for (const auto& [name, context] : all.machines) {
    if (name == host) {
      c.context = context;
    }
  }
  return c;
}

std::vector<std::string> run_hosts(const StoreContents& contents) {
  std::vector<std::string> hosts;
  for (const StoredRun& run : contents.runs) {
    if (std::find(hosts.begin(), hosts.end(), run.host) == hosts.end()) {
      hosts.push_back(run.host);
    }
  }
  return hosts;
}

}  // namespace ks::driver
