#include "driver/analysis/nodes_report.h"

#include <algorithm>
#include <set>

#include <fmt/format.h>

namespace ks::driver {

std::vector<NodeComparison> compare_nodes(const std::vector<NodeResults>& nodes) {
  std::vector<NodeComparison> out;
  for (std::size_t i = 1; i < nodes.size(); ++i) {
    NodeComparison c{{nodes.front().host, nodes.front().results, {nodes.front().host}},
                     {nodes[i].host, nodes[i].results, {nodes[i].host}},
                     {}};
    c.result = compare_results(c.base.results, c.other.results, std::nullopt);
    out.push_back(std::move(c));
  }
  return out;
}

std::string verdict_tally(const CompareResult& result) {
  std::vector<std::pair<std::string, std::size_t>> verdicts;
  for (const ComparedConfig& c : result.configs) {
    const std::string v = c.verdict();
    auto it = std::find_if(verdicts.begin(), verdicts.end(),
                           [&](const auto& entry) { return entry.first == v; });
    if (it == verdicts.end()) {
      verdicts.emplace_back(v, 1);
    } else {
      ++it->second;
    }
  }
  std::string tally;
  for (const auto& [v, n] : verdicts) {
    tally += fmt::format("{}{} {}", tally.empty() ? "" : ", ", n, v);
  }
  return tally.empty() ? "no configuration in both" : tally;
}

}  // namespace ks::driver
