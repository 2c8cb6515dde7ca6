#include <fmt/format.h>

#include "driver/analysis/context.h"
#include "driver/analysis/nodes_report.h"
#include "driver/base/text.h"
#include "driver/report/nodes_section.h"
#include "driver/report/summary_table.h"
#include "driver/results/run_source.h"

namespace ks::driver {
namespace {

// A node's median with its interval and its valid runs: "10.1 ms (9.8 ms–10.4 ms), 5 runs".
std::string median_text(const SummaryRow& row) {
  if (row.stats.count == 0) {
    return fmt::format("- ({} valid)", row.valid);
  }
  if (row.below_resolution) {
    return fmt::format("<{} ({} runs)", human_seconds(kResolutionSteps * row.time_step),
                       row.stats.count);
  }
  std::string s = human_seconds(row.stats.median);
  if (const Estimate& m = row.sample.median; m.ci) {
    s += " (" + human_interval(m.ci->low, m.ci->high) + level_note(m.confidence) + ")";
  }
  return s + fmt::format(", {} run{}", row.stats.count, row.stats.count == 1 ? "" : "s");
}

// The summary table without its note on reading it: the report gives that note once.
std::string table_only(const std::string& summary) {
  const std::size_t end = summary.find("\n\n");
  return end == std::string::npos ? summary : summary.substr(0, end + 1);
}

}  // namespace

std::string nodes_markdown(const ResultSet& results) {
  if (results.nodes.empty()) {
    return "";
  }
  // The hosts come from the store: each is escaped wherever it goes.
  std::string names;
  for (const NodeResults& n : results.nodes) {
    names += (names.empty() ? "" : ", ") + markdown_text(n.host);
  }
  const std::string first = markdown_text(results.nodes.front().host);
  std::string md =
      results.nodes.size() == 1
          ? fmt::format(
                "## Nodes\n\nThe whole plan was to run on each node; only {} did, so "
                "there is nothing to compare it with.\n\n",
                first)
          : fmt::format(
                "## Nodes\n\nThe whole plan ran on each of {} nodes: {}. The tables "
                "above pool every node's runs; here each node's runs stand alone, with "
                "its machine, and every other node is compared with {}.\n\n",
                results.nodes.size(), names, first);
  for (const NodeResults& n : results.nodes) {
    md += fmt::format("### {}\n\n| | |\n|---|---|\n", markdown_text(n.host));
    for (const auto& [name, value] : context_facts(machine_of(n.results))) {
      md += "| " + name + " | " + markdown_text(value) + " |\n";
    }
    md += fmt::format("| runs | {} |\n\n", runs_of(n.results)->totals().runs);
    md += table_only(summary_markdown(n.results.configs, n.results.summary)) + "\n";
  }
  if (results.nodes.size() == 1) {
    return md;
  }
  md += "### Across nodes\n\n";
  md += fmt::format(
      "Each configuration's median on a node over its median on {} (above 1: slower than on "
      "{}), with its 95 % bootstrap interval (fixed seed). The verdict is faster or slower when "
      "the two-sided Mann-Whitney U test of the two nodes' runs gives p < {:g} and the interval "
      "lies wholly on that side of 1, else no significant change; too few runs when no "
      "arrangement of that many runs could reach it; below resolution when either median is "
      "mostly rounding.\n\n",
      first, first, kAlpha);
  for (const NodeComparison& c : compare_nodes(results.nodes)) {
    const std::string other = markdown_text(c.other.path);
    md += fmt::format("#### {} against {}\n\n{}.\n\n", other, first, verdict_tally(c.result));
    md += fmt::format("| configuration | {0} median | {1} median | {1}/{0} | p | verdict |\n",
                      first, other);
    md += "|---|---:|---:|---:|---:|---|\n";
    for (const ComparedConfig& k : c.result.configs) {
      const auto& test = k.comparison.test;
      md += fmt::format("| {} | {} | {} | {} | {} | {} |\n", markdown_text(k.label),
                        median_text(c.base.results.summary[k.base]),
                        median_text(c.other.results.summary[k.fresh]),
                        k.below_resolution ? "-" : ratio_estimate_text(k.comparison.ratio),
                        test && !k.below_resolution ? fmt::format("{:.2g}", test->p) : "-",
                        k.verdict());
    }
    for (const auto& [side, labels] :
         {std::pair{&first, &c.result.only_base}, std::pair{&other, &c.result.only_new}}) {
      if (!labels->empty()) {
        std::string list;
        for (const std::string& l : *labels) {
          list += (list.empty() ? "" : ", ") + markdown_text(l);
        }
        md += fmt::format("\nOnly on {}: {}.\n", *side, list);
      }
    }
    md += "\n";
  }
  return md;
}

}  // namespace ks::driver
