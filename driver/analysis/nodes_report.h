// A plan run whole on each of several nodes: each node's runs as a result set of their own,
// with its machine context, and each node compared with the first one by compare's test and
// intervals. report.md and report.html give them a section each.
#pragma once

#include <string>
#include <vector>

#include "driver/analysis/compare.h"
#include "driver/analysis/results.h"

namespace ks::driver {

struct StoreContents;

// Each node's runs, when every node ran the whole plan: the store's command asked for it
// (--per-node), or it holds a planned run made on two nodes or more. Empty otherwise: one
// host's sweep, or a plan shared out over the nodes.
std::vector<NodeResults> node_results(const StoreContents& contents);

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

// report.md's section: the nodes' facts and summaries, then the comparisons; empty without
// nodes.
std::string nodes_markdown(const ResultSet& results);

// report.html's section, the same (html_nodes.cpp); empty without nodes.
std::string nodes_html(const ResultSet& results);

}  // namespace ks::driver
