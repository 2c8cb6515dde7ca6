#include "driver/report/markdown_export.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include <fmt/format.h>

#include "driver/analysis/ceilings.h"
#include "driver/analysis/context.h"
#include "driver/base/files.h"
#include "driver/base/text.h"
#include "driver/report/map_view.h"
#include "driver/report/nodes_section.h"
#include "driver/report/summary_table.h"
#include "driver/results/counters.h"
#include "driver/results/run_source.h"

namespace ks::driver {
namespace {

// What the times are, with a figure of this report's own to show the difference.
std::string times_section(const ResultSet& results) {
  const SummaryRow* example = nullptr;
  bool any_wall = false;
  for (const SummaryRow& row : results.summary) {
    if (row.stats.count == 0) {
      continue;
    }
    any_wall = any_wall || !row.printed_time;
    if (example == nullptr && row.printed_time && !row.below_resolution &&
        std::isfinite(row.process_median)) {
      example = &row;
    }
  }
  std::string md = "## What the times are\n\n";
  md +=
      "Each benchmark reads the clock just before its kernel and just after it, and prints the "
      "difference: that printed time is what the tables call the median, the kernel alone. "
      "Starting the process, loading the OpenMP runtime, allocating and filling the data and "
      "printing the report are outside it. A runner that times the whole command, from start "
      "to exit, measures all of that too, so its figures are larger, by far for small sizes; "
      "the **process** column is that whole-process time, measured by kernelscope around each "
      "run.";
  if (example != nullptr) {
    md += fmt::format(" Here, {} took {} by its own clock and {} as a whole process.",
                      markdown_text(results.configs[example->config].label()),
                      human_seconds(example->stats.median), human_seconds(example->process_median));
  }
  if (any_wall) {
    md +=
        " Programs that print no time (the demonstrations) are timed as whole processes: their "
        "medians are marked (wall).";
  }
  return md + "\n\n";
}

}  // namespace

// The warnings about the machine as the runs began, one paragraph each.
std::string warnings_markdown(const MachineContext& context) {
  std::string md;
  for (const std::string& w : condition_warnings(context)) {
    md += "**Warning:** " + markdown_text(w) + ".\n\n";
  }
  return md;
}

Exported write_markdown(const std::string& dir, const ResultSet& results,
                        const Exports& /*earlier*/) {
  Exported e;
  e.write(dir, "summary.md",
          warnings_markdown(machine_of(results)) +
              summary_markdown(results.configs, results.summary) + "\n" + model_markdown(results));
  return e;
}

std::string report_markdown(const ResultSet& results, const Exported& plots) {
  // The subcommand by name, not the command's second word (which may be an option, --bin).
  const std::string subcommand = subcommand_of(results).value_or("report");
  std::string md = "# kernelscope " + markdown_text(subcommand) + "\n\n";
  md += "| | |\n|---|---|\n";
  md += "| command | " + markdown_code(command_text(results.command), true) + " |\n";
  for (const auto& [name, value] : context_facts(machine_of(results))) {
    md += "| " + name + " | " + markdown_text(value) + " |\n";
  }
  // From the first start to the last end of the runs: the same whether the report is written
  // as the runs end or rendered again later.
  const std::shared_ptr<const RunSource> runs = runs_of(results);
  md += fmt::format("| runs | {} in {} |\n\n", runs->totals().runs,
                    duration_text(runs->totals().span()));
  md += warnings_markdown(machine_of(results));
  md +=
      "Every run's printed values were checked against their closed forms; raw runs are in "
      "[runs.csv](runs.csv), statistics in [summary.csv](summary.csv), everything with the "
      "machine context in [results.json](results.json).\n\n";
  if (!results.missing.empty()) {
    md += "**Missing from the build:**";
    for (const std::string& m : results.missing) {
      md += " " + markdown_code(m, false);
    }
    md += "\n\n";
  }
  md += times_section(results);
  md += "## Measurements\n\n" + summary_markdown(results.configs, results.summary) + "\n";
  md += model_markdown(results);
  std::vector<std::string> images;
  for (const std::string& file : plots.files) {
    if (file.ends_with(".svg")) {
      images.push_back(file);
    }
  }
  if (!images.empty()) {
    md += "## Plots\n\n";
    for (const std::string& img : images) {
      // The plots' file names are letters, digits and - . _ + (plots.cpp).
      md += fmt::format("![{}]({})\n\n", markdown_text(std::filesystem::path(img).stem().string()),
                        img);
    }
  } else if (!plots.notice.empty()) {
    md += "## Plots\n\nNot drawn: " + markdown_text(plots.notice) + "\n\n";
  }
  if (!results.maps.empty()) {
    md += "## Demonstrations\n\n| program | T | verdict |\n|---|---:|---|\n";
    for (const DemoMap& m : results.maps) {
      const Config& c = results.configs[m.config];
      md += fmt::format("| {} | {} | {} |\n", c.program->name, c.threads,
                        markdown_text(verdict_line(m.trace)));
    }
    md += "\n";
    for (const DemoMap& m : results.maps) {
      const Config& c = results.configs[m.config];
      md += fmt::format("![{} T={}](maps/{}.svg)\n\n", c.program->name, c.threads, map_stem(c));
    }
  }
  md += nodes_markdown(results);
  if (const std::size_t bad = runs->totals().not_valid; bad > 0) {
    md += fmt::format("## Runs that were not valid ({})\n\n", bad);
    RunQuery not_valid;
    not_valid.not_valid_only = true;
    runs->each(not_valid, [&](std::size_t, const RunRecord& r) {
      md += fmt::format("- {} ({}): {}\n", markdown_text(results.configs[r.config].label()),
                        outcome_name(r.outcome), markdown_text(r.why));
    });
  }
  return md;
}

}  // namespace ks::driver
