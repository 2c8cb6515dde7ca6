// A plan run whole on each of several nodes: each node's runs as a result set of their own,
// with its machine context, and each node compared with the first one by compare's test and
// intervals. report.md and report.html give them a section each.
#pragma once

#include <string>
#include <vector>

#include "driver/analysis/compare.h"
#include "driver/results/results.h"

namespace ks::driver {

// The first node (the base) against another one (the new side).
struct NodeComparison {
  CompareSide base;
  CompareSide other;
  CompareResult result;
};

// The first node against each other node, in the nodes' order.
std::vector<NodeComparison> compare_nodes(const std::vector<NodeResults>& nodes);

// "3 slower, 1 no significant change": how many configurations got each verdict.
std::string verdict_tally(const CompareResult& result);

}  // namespace ks::driver
