// report.html's section for a plan run whole on several nodes: each node's machine and its
// configurations, then every other node against the first, drawn and tabled as compare's page
// draws two stores.
#include <cmath>

#include <fmt/format.h>

#include "driver/analysis/context.h"
#include "driver/analysis/nodes_report.h"
#include "driver/base/text.h"
#include "driver/report/html_page.h"
#include "driver/report/nodes_section.h"
#include "driver/report/summary_table.h"
#include "driver/results/run_source.h"

namespace ks::driver {
namespace {

using namespace html_page;

std::string median_html(const SummaryRow& row) {
  if (row.stats.count == 0) {
    return "-";
  }
  if (row.below_resolution) {
    return "<span class=\"flag\" title=\"below the resolution of its time\">&lt; " +
           esc(human_seconds(kResolutionSteps * row.time_step)) + "</span>";
  }
  std::string s = esc(human_seconds(row.stats.median)) + (row.printed_time ? "" : " (wall)") +
                  (row.noisy ? " <span class=\"flag\">~</span>" : "");
  if (const Estimate& m = row.sample.median; m.ci) {
    s += fmt::format("<span class=\"ci\">{} – {} ({:.0f}%)</span>", esc(human_seconds(m.ci->low)),
                     esc(human_seconds(m.ci->high)), m.confidence * 100);
  }
  return s;
}

// One node's configurations: valid runs, median with its interval, rate and speedup.
std::string node_table(const NodeResults& node) {
  Column config{"configuration", "", {}};
  Column valid{"valid", "valid runs of the measured runs", {}};
  Column median{"median", "median time of the valid runs, with its confidence interval", {}};
  Column gbs{"GB/s", "bytes the kernel moves (cost model) per second, at the median", {}};
  Column speedup{"speedup", "against the same program on one thread, else the family baseline", {}};
  std::vector<bool> failing;
  for (const SummaryRow& row : node.results.summary) {
    config.cells.push_back(text_cell(node.results.configs[row.config].label()));
    valid.cells.push_back(number_cell(row.valid, fmt::format("{} of {}", row.valid, row.runs)));
    median.cells.push_back({median_html(row),
                            row.stats.count > 0 ? std::optional(row.stats.median) : std::nullopt,
                            true});
    gbs.cells.push_back(number_cell(
        row.gb_per_s, std::isfinite(row.gb_per_s) ? fmt::format("{:.3g}", row.gb_per_s) : "-"));
    speedup.cells.push_back(
        number_cell(row.speedup.value.value_or(NAN),
                    row.speedup.value ? ratio_estimate_text(row.speedup) : "-"));
    failing.push_back(row.valid < row.runs);
  }
  return table_html("node-summary-" + anchor(node.host),
                    "This node's valid measured runs alone; the tables above pool every node's.",
                    {config, valid, median, gbs, speedup}, failing);
}

}  // namespace

std::string nodes_html(const ResultSet& results) {
  if (results.nodes.empty()) {
    return "";
  }
  const std::string& first = results.nodes.front().host;
  std::string s = "<section id=\"nodes\">\n<h2>Nodes</h2>\n";
  s += results.nodes.size() == 1
           ? fmt::format(
                 "<p>The whole plan was to run on each node; only <strong>{}</strong> "
                 "did, so there is nothing to compare it with.</p>\n",
                 esc(first))
           : fmt::format(
                 "<p>The whole plan ran on each of {} nodes. The sections above pool "
                 "every node's runs; here each node's runs stand alone, with its "
                 "machine, and every other node is compared with "
                 "<strong>{}</strong>.</p>\n",
                 results.nodes.size(), esc(first));
  for (const NodeResults& node : results.nodes) {
    s += fmt::format("<section id=\"node-{}\">\n<h3>{}</h3>\n<dl class=\"context\">\n",
                     anchor(node.host), esc(node.host));
    for (const auto& [name, value] : context_facts(machine_of(node.results))) {
      s += fmt::format("<dt>{}</dt><dd>{}</dd>\n", esc(name), esc(value));
    }
    s += fmt::format("<dt>runs</dt><dd>{}</dd>\n</dl>\n", runs_of(node.results)->totals().runs);
    s += node_table(node) + "</section>\n";
  }
  for (const NodeComparison& c : compare_nodes(results.nodes)) {
    const SideNames names{first, c.other.path};
    const std::string id = anchor(c.other.path);
    s += fmt::format("<section id=\"across-{}\">\n<h3>{} against {}</h3>\n<p>{}.</p>\n", id,
                     esc(c.other.path), esc(first), esc(verdict_tally(c.result)));
    if (const std::string chart = compare_chart(c.result, names); !chart.empty()) {
      s += fmt::format(
          "<figure class=\"plot wide\" id=\"plot-across-{0}\">\n{1}\n<figcaption><strong>{2} "
          "median / {3} median</strong> <span class=\"hint\">Blue triangles pointing left: "
          "faster on {2}; orange pointing right: slower; grey circles: no significant change; "
          "whiskers: 95% intervals.</span></figcaption>\n</figure>\n",
          id, chart, esc(c.other.path), esc(first));
    }
    s += compare_table_html(c.base, c.other, c.result, "across-table-" + id, names);
    for (const auto& [side, labels] :
         {std::pair{&first, &c.result.only_base}, std::pair{&c.other.path, &c.result.only_new}}) {
      if (!labels->empty()) {
        std::string list;
        for (const std::string& l : *labels) {
          list += (list.empty() ? "" : ", ") + esc(l);
        }
        s += fmt::format("<p><strong>Only on {}:</strong> {}.</p>\n", esc(*side), list);
      }
    }
    s += "</section>\n";
  }
  return s + "</section>\n";
}

}  // namespace ks::driver
