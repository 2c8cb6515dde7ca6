// The model's section of summary.md and report.md: the ceilings used, one explanation per
// configuration, what each program's timed interval does, and the counters per configuration.
#include <algorithm>

#include <fmt/format.h>

#include "driver/analysis/ceilings.h"
#include "driver/base/text.h"
#include "driver/report/markdown_export.h"
#include "driver/results/counters.h"

namespace ks::driver {

namespace {

// The ceilings the model used, in one paragraph.
std::string ceilings_paragraph(const MachineContext& context, const Ceilings& c) {
  const MachineContext::CeilingsSource& known = context.ceilings;
  auto or_unknown = [](const std::string& s) { return s.empty() ? std::string("?") : s; };
  std::string from =
      known.source == "file"
          ? fmt::format("read from {}", markdown_text(or_unknown(known.file)))
          : fmt::format("measured by ks-probe on {} at {}{}", markdown_text(c.key.host),
                        markdown_text(or_unknown(known.probed_at)),
                        known.source == "cache"
                            ? fmt::format(" (cached in {})", markdown_text(or_unknown(known.file)))
                            : std::string());
  std::string bw, touch, region;
  for (const int t : c.threads) {
    const std::string sep = bw.empty() ? "" : ", ";
    bw += fmt::format("{}{:.3g} GB/s at T={}", sep, c.add_bytes_per_second(0, t).value_or(0) / 1e9,
                      t);
    touch += fmt::format("{}{} at T={}", sep, human_seconds(c.fault_seconds(t).value_or(0)), t);
    region += fmt::format("{}{} at T={}", sep,
                          cost_text(c.region(t).value_or(0), c.region_noise_at(t)), t);
  }
  return fmt::format(
      "Ceilings {}{}: the addition streams {} with warm pages (24 named bytes per element); a "
      "fresh page adds {}; scalar double-precision adds run at {:.3g} G/s on one thread; "
      "a parallel region costs {}.\n\n",
      from, c.quick ? " (a quick probe: rough figures)" : "", bw, touch,
      c.ops_per_second("fp64_add", "scalar", 1).value_or(0) / 1e9, region);
}

// The model's explanation of each configuration, after the ceilings it used.
std::string explanations_markdown(const ResultSet& results, const Ceilings& ceilings) {
  std::string md = ceilings_paragraph(machine_of(results), ceilings);
  md +=
      "Each line prices what the timed interval does (below) with those ceilings: the "
      "larger of memory traffic over the bandwidth of the level that holds the data and "
      "operations over scalar throughput, plus each fresh page, plus OpenMP's forks, "
      "barriers and chunks. Where the measured median is more than twice the prediction or "
      "less than half of it, the line says that the model does not explain it.\n\n";
  bool any = false;
  for (const SummaryRow& row : results.summary) {
    if (!row.model) {
      continue;
    }
    const Prediction& m = *row.model;
    md +=
        fmt::format("- **{}** (measured {}, predicted {}, ratio {:.2f}; {:.0f}% of {}): {}\n",
                    markdown_text(results.configs[row.config].label()),
                    human_seconds(m.measured_seconds), human_seconds(m.predicted_seconds), m.ratio,
                    m.percent_of_ceiling, markdown_text(m.ceiling), markdown_text(m.line));
    any = true;
  }
  md += any ? "\n" : "No configuration was measured with a model.\n\n";
  return md;
}

// What each benchmark's timed interval does, one line per program ("" when none ran).
std::string intervals_markdown(const ResultSet& results) {
  std::vector<const ProgramInfo*> programs;
  for (const Config& c : results.configs) {
    if (c.program->kind == Kind::kBenchmark &&
        std::find(programs.begin(), programs.end(), c.program) == programs.end()) {
      programs.push_back(c.program);
    }
  }
  if (programs.empty()) {
    return "";
  }
  std::string md = "What each timed interval does:\n\n";
  for (const ProgramInfo* p : programs) {
    md += fmt::format("- {}: {}\n", markdown_code(p->name, false), interval_text(*p));
  }
  return md + "\n";
}

// The counters' table: a column for each counter some configuration has, a row per
// configuration.
std::string counters_table_markdown(const ResultSet& results,
                                    const std::vector<std::size_t>& shown) {
  std::string md = "| configuration |";
  std::string rule = "|---|";
  for (const std::size_t k : shown) {
    md += fmt::format(" {} |", counter_table()[k].head);
    rule += "---:|";
  }
  md += "\n" + rule + "\n";
  for (const SummaryRow& row : results.summary) {
    md += "| " + markdown_text(results.configs[row.config].label()) + " |";
    for (const std::size_t k : shown) {
      const auto& v = row.counters[k];
      md += v ? " " + counter_text(counter_table()[k], *v) + " |" : std::string(" - |");
    }
    md += "\n";
  }
  return md;
}

// The counters' section: why none were counted, or their table.
std::string counters_markdown(const ResultSet& results) {
  std::string md = "## Counters\n\n";
  const MachineContext::Counters& counters = machine_of(results).counters;
  if (!counters.events) {
    md += "Performance events were not counted (--no-events).\n\n";
  } else if (const std::string& notice = counters.notice; !notice.empty()) {
    md += markdown_text(notice) + ".\n\n";
  }
  std::vector<std::size_t> shown;
  for (std::size_t k = 0; k < kCounterCount; ++k) {
    for (const SummaryRow& row : results.summary) {
      if (row.counters[k]) {
        shown.push_back(k);
        break;
      }
    }
  }
  if (shown.empty()) {
    return md + "No run was counted.\n\n";
  }
  md += counters_table_markdown(results, shown);
  md +=
      "\nMedians per run over the valid measured runs. The counters cover the whole process "
      "(the fill, the kernel and the report), so the faults include the pages the fill touched "
      "as well as those the kernel touched first.\n\n";
  return md;
}

}  // namespace

std::string model_markdown(const ResultSet& results) {
  std::string md = "## Why it takes that long\n\n";
  const std::optional<Ceilings> ceilings = ceilings_from_context(machine_of(results));
  if (!ceilings) {
    md +=
        "No ceilings of this machine were at hand, so there is no model here (`kernelscope "
        "probe` measures them once per machine).\n\n";
  } else {
    md += explanations_markdown(results, *ceilings);
  }
  md += intervals_markdown(results);
  return md + counters_markdown(results);
}

}  // namespace ks::driver
