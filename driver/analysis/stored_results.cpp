#include "driver/analysis/stored_results.h"

#include <algorithm>
#include <map>
#include <set>

#include "driver/analysis/ceilings.h"
#include "driver/analysis/model.h"
#include "driver/analysis/summary.h"
#include "driver/results/counters.h"

namespace ks::driver {

void add_model_and_counters(ResultSet& results) {
  summarize_counters(results.runs, results.summary);
  if (const std::optional<Ceilings> ceilings = ceilings_from_context(results.context)) {
    apply_model(results.configs, results.summary, *ceilings);
  }
}

ResultSet result_set(const StoreContents& contents) {
  ResultSet results;
  results.command = contents.command;
  results.context = contents.context;
  results.configs = contents.plan.configs;
  results.runs = contents.records();
  results.summary =
      summarize_runs(results.configs, results.runs, context_clock_step(results.context));
  add_model_and_counters(results);
  if (contents.kind != "map") {
    results.nodes = node_results(contents);
  }
  if (contents.kind == "tour" || contents.kind == "map") {
    // Each demonstration configuration's map, from its last run whose output was kept.
    std::map<std::size_t, const RunRecord*> last_run;
    for (const RunRecord& r : results.runs) {
      if (r.result && results.configs[r.config].program->kind == Kind::kDemonstration) {
        last_run[r.config] = &r;
      }
    }
    for (const auto& [index, record] : last_run) {
      const Config& c = results.configs[index];
      results.maps.push_back({index, c.program->trace(c.spec(), *record->result)});
    }
  }
  if (const auto build = results.context.find("build");
      build != results.context.end() && build->is_object() && build->contains("missing")) {
    for (const auto& name : (*build)["missing"]) {
      if (name.is_string()) {
        results.missing.push_back(name.get<std::string>());
      }
    }
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
