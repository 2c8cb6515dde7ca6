// The section of report.md and report.html on a plan run whole on each of several nodes
// (analysis/nodes_report.h compares them).
#pragma once

#include <string>

#include "driver/results/results.h"

namespace ks::driver {

// report.md's section: the nodes' facts and summaries, then the comparisons; empty without
// nodes.
std::string nodes_markdown(const ResultSet& results);

// report.html's section, the same (html_nodes.cpp); empty without nodes.
std::string nodes_html(const ResultSet& results);

}  // namespace ks::driver
