#include "driver/results/run_source.h"

#include <algorithm>
#include <memory>
#include <numeric>

#include <fmt/format.h>

namespace ks::driver {

void RunTotals::add(const RunRecord& r) {
  ++runs;
  if (r.outcome != Outcome::kValid) {
    ++not_valid;
    if (r.config >= not_valid_of.size()) {
      not_valid_of.resize(r.config + 1, 0);
    }
    ++not_valid_of[r.config];
  }
  const double wall = std::isfinite(r.wall_seconds) ? r.wall_seconds : 0;
  wall_seconds += wall;
  if (r.started_at > 0) {
    first_start = std::min(first_start, r.started_at);
    last_end = std::max(last_end, r.started_at + wall);
  }
}

MemoryRuns::MemoryRuns(const std::vector<RunRecord>& runs, std::size_t configs) : runs_(runs) {
  totals_.not_valid_of.assign(configs, 0);
  for (const RunRecord& r : runs_) {
    totals_.add(r);
  }
}

void MemoryRuns::each(const RunQuery& query,
                      const std::function<void(std::size_t, const RunRecord&)>& each) const {
  std::size_t given = 0;
  for (std::size_t i = 0; i < runs_.size() && given < query.limit; ++i) {
    const RunRecord& r = runs_[i];
    if ((query.not_valid_only && r.outcome == Outcome::kValid) || !query.wants(r.config)) {
      continue;
    }
    ++given;
    if (query.with_output || !r.result) {
      each(i, r);
    } else {
      RunRecord bare = r;
      bare.result.reset();
      each(i, bare);
    }
  }
}

void MemoryRuns::by_config(
    const std::function<void(std::size_t, std::span<const RunRecord>)>& each) const {
  std::vector<std::size_t> order(runs_.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return runs_[a].config < runs_[b].config; });
  std::vector<RunRecord> group;
  for (std::size_t i = 0; i < order.size();) {
    const std::size_t config = runs_[order[i]].config;
    group.clear();
    for (; i < order.size() && runs_[order[i]].config == config; ++i) {
      group.push_back(runs_[order[i]]);
      group.back().result.reset();
    }
    each(config, group);
  }
}

std::shared_ptr<const RunSource> runs_of(const ResultSet& results) {
  if (results.source) {
    return results.source;
  }
  return std::make_shared<MemoryRuns>(results.runs, results.configs.size());
}

std::vector<std::string> bad_run_lines(const ResultSet& results) {
  const std::shared_ptr<const RunSource> runs = runs_of(results);
  const std::size_t bad = runs->totals().not_valid;
  std::vector<std::string> lines;
  if (bad == 0) {
    return lines;
  }
  RunQuery first_bad;
  first_bad.not_valid_only = true;
  first_bad.limit = 8;
  runs->each(first_bad, [&](std::size_t, const RunRecord& r) {
    lines.push_back(fmt::format("{} run of {}: {}", outcome_name(r.outcome),
                                results.configs[r.config].label(), r.why));
  });
  if (bad > 8) {
    lines.push_back(fmt::format("... {} runs in all were not valid (see runs.csv)", bad));
  }
  return lines;
}

}  // namespace ks::driver
