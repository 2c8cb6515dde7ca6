#include "driver/markdown_export.h"

#include <filesystem>

#include <fmt/format.h>

#include "driver/files.h"
#include "driver/map_view.h"
#include "driver/progress.h"
#include "driver/summary_table.h"

namespace ks::driver {

Exported write_markdown(const std::string& dir, const ResultSet& results) {
  Exported e;
  e.write(dir, "summary.md", summary_markdown(results.configs, results.summary));
  return e;
}

std::string tour_report(const ResultSet& results, const Exported& plots, double elapsed_seconds) {
  const nlohmann::json& context = results.context;
  std::string md = "# kernelscope tour\n\n";
  md += fmt::format("{} on {} ({} CPUs, {:.1f} GiB), {}, revision {}. {} runs in {}.\n\n",
                    context.value("date", ""), context["cpu"].value("model", "?"),
                    context["cpu"].value("usable_cpus", 0),
                    context["memory"].value("total_bytes", std::uint64_t{0}) / 1073741824.0,
                    context.value("kernel", ""), context.value("source_revision", "unknown"),
                    results.runs.size(), duration_text(elapsed_seconds));
  md +=
      "Every run's printed values were checked against their closed forms; raw runs are in "
      "[runs.csv](runs.csv), statistics in [summary.csv](summary.csv), everything with the "
      "machine context in [results.json](results.json).\n\n";
  if (!results.missing.empty()) {
    md += "**Missing from the build:**";
    for (const std::string& m : results.missing) {
      md += " `" + m + "`";
    }
    md += "\n\n";
  }
  md += "## Measurements\n\n" + summary_markdown(results.configs, results.summary) + "\n";
  std::vector<std::string> images;
  for (const std::string& file : plots.files) {
    if (file.ends_with(".svg")) {
      images.push_back(file);
    }
  }
  if (!images.empty()) {
    md += "## Plots\n\n";
    for (const std::string& img : images) {
      md += fmt::format("![{}]({})\n\n", std::filesystem::path(img).stem().string(), img);
    }
  } else if (!plots.notice.empty()) {
    md += "## Plots\n\nNot drawn: " + plots.notice + "\n\n";
  }
  if (!results.maps.empty()) {
    md += "## Demonstrations\n\n| program | T | verdict |\n|---|---:|---|\n";
    for (const DemoMap& m : results.maps) {
      const Config& c = results.configs[m.config];
      md += fmt::format("| {} | {} | {} |\n", c.program->name, c.threads, verdict_line(m.trace));
    }
    md += "\n";
    for (const DemoMap& m : results.maps) {
      const Config& c = results.configs[m.config];
      md += fmt::format("![{} T={}](maps/{}.svg)\n\n", c.program->name, c.threads, map_stem(c));
    }
  }
  int bad = 0;
  for (const RunRecord& r : results.runs) {
    bad += r.outcome == Outcome::kValid ? 0 : 1;
  }
  if (bad > 0) {
    md += fmt::format("## Runs that were not valid ({})\n\n", bad);
    for (const RunRecord& r : results.runs) {
      if (r.outcome != Outcome::kValid) {
        md += fmt::format("- {} ({}): {}\n", results.configs[r.config].label(),
                          outcome_name(r.outcome), r.why);
      }
    }
  }
  return md;
}

}  // namespace ks::driver
