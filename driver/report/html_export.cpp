#include "driver/report/html_export.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>

#include <fmt/format.h>

#include "driver/analysis/context.h"
#include "driver/base/text.h"
#include "driver/report/html_page.h"
#include "driver/report/nodes_section.h"
#include "driver/report/plots.h"
#include "driver/results/inference.h"
#include "driver/results/run_source.h"

namespace ks::driver {
namespace {

using namespace html_page;

// --- The top: command, verdict, warnings, machine and build ---

std::string verdict_section(const ResultSet& results) {
  const std::size_t bad = invalid_count(results);
  std::size_t broken = 0;
  for (const DemoMap& m : results.maps) {
    broken += m.trace.problems.empty() ? 0 : 1;
  }
  std::string s;
  const RunTotals totals = runs_of(results)->totals();
  if (totals.runs == 0) {
    s += "<p class=\"verdict bad\" id=\"verdict\">&#x2717; No run was made.</p>\n";
  } else if (bad == 0) {
    s += fmt::format(
        "<p class=\"verdict ok\" id=\"verdict\">&#x2713; All {} runs valid: every program's "
        "output passed its check.</p>\n",
        totals.runs);
  } else {
    // Which configurations failed, with how many of their runs.
    std::map<std::size_t, std::size_t> per_config;
    for (std::size_t config = 0; config < totals.not_valid_of.size(); ++config) {
      if (totals.not_valid_of[config] > 0) {
        per_config[config] = totals.not_valid_of[config];
      }
    }
    std::string which;
    std::size_t listed = 0;
    for (const auto& [config, count] : per_config) {
      if (++listed > 6) {
        which += fmt::format(", and {} more", per_config.size() - 6);
        break;
      }
      which += fmt::format("{}{} ({})", which.empty() ? "" : ", ",
                           esc(results.configs[config].label()), count);
    }
    s += fmt::format(
        "<p class=\"verdict bad\" id=\"verdict\">&#x2717; {} of {} runs not valid: {}. "
        "<a href=\"#invalid-runs\">What went wrong</a></p>\n",
        bad, totals.runs, which);
  }
  if (broken > 0) {
    s += fmt::format(
        "<p class=\"verdict bad\">&#x2717; {} demonstration map{} break{} the rule. "
        "<a href=\"#demonstrations\">See the maps</a></p>\n",
        broken, broken == 1 ? "" : "s", broken == 1 ? "s" : "");
  }
  return s;
}

std::vector<std::string> warning_items(const ResultSet& results) {
  std::vector<std::string> items;
  if (!results.missing.empty()) {
    std::string names;
    for (const std::string& m : results.missing) {
      names += (names.empty() ? "" : ", ") + ("<code>" + esc(m) + "</code>");
    }
    items.push_back("Missing from the build, not measured: " + names + ".");
  }
  // The machine as the runs began: its load, a team larger than its CPUs.
  for (const std::string& w : condition_warnings(machine_of(results))) {
    items.push_back(esc(w));
  }
  auto names_of = [&](const std::vector<std::string>& labels) {
    std::string names;
    for (std::size_t k = 0; k < labels.size() && k < 8; ++k) {
      names += (k == 0 ? "" : ", ") + esc(labels[k]);
    }
    if (labels.size() > 8) {
      names += fmt::format(" and {} more", labels.size() - 8);
    }
    return names;
  };
  std::vector<std::string> noisy;
  std::vector<std::string> below;
  std::vector<std::string> severe;
  for (const SummaryRow& row : results.summary) {
    const std::string label = results.configs[row.config].label();
    if (row.below_resolution) {
      below.push_back(label);
    } else if (row.noisy) {
      noisy.push_back(label);
    }
    if (row.sample.outliers.severe() > 0) {
      severe.push_back(label);
    }
  }
  if (!below.empty()) {
    items.push_back(fmt::format(
        "{} median{} below the resolution of {} time (marked <span class=\"flag\">&lt;</span>): "
        "fewer than {:.0f} steps of the printed time's last digit or of the clock, mostly "
        "rounding; no rate or speedup is derived from {} (the table says which size would do): {}.",
        below.size(), below.size() == 1 ? " is" : "s are", below.size() == 1 ? "its" : "their",
        kResolutionSteps, below.size() == 1 ? "it" : "them", names_of(below)));
  }
  if (!noisy.empty()) {
    items.push_back(fmt::format(
        "{} configuration{} noisy (marked <span class=\"flag\">~</span>): the median's interval "
        "is wider than ±{:.0f}% of it, or a run is a severe outlier (a busy machine, frequency "
        "changes): {}.",
        noisy.size(), noisy.size() == 1 ? " is" : "s are", kNoisyHalfWidth * 100, names_of(noisy)));
  }
  if (!severe.empty()) {
    items.push_back(
        fmt::format("Severe outliers (beyond 3 interquartile ranges) in {}.", names_of(severe)));
  }
  return items;
}

std::string context_section(const ResultSet& results) {
  const MachineContext& ctx = machine_of(results);
  // The facts report.md gives, then what a reader of one page may also want.
  std::vector<std::pair<std::string, std::string>> rows = context_facts(ctx);
  auto add = [&](const std::string& name, const std::string& value) {
    if (!value.empty()) {
      rows.emplace_back(name, value);
    }
  };
  const RunTotals totals = runs_of(results)->totals();
  if (std::isfinite(totals.first_start)) {
    add("runs", fmt::format("{} over {}", totals.runs,
                            duration_text(totals.last_end - totals.first_start)));
  }
  std::string caches;
  for (const MachineContext::Cpu::Cache& c : ctx.cpu.caches) {
    caches += fmt::format("{}L{} {} {}", caches.empty() ? "" : ", ", c.level, c.type, c.size);
  }
  add("caches (per core)", caches);
  add("programs from", ctx.build.bin_dir);
  std::string s = "<dl class=\"context\" id=\"context\">\n";
  for (const auto& [name, value] : rows) {
    s += fmt::format("<dt>{}</dt><dd>{}</dd>\n", esc(name), esc(value));
  }
  s += "</dl>\n";
  // Each measured program's flags, folded: they matter when two builds are compared.
  std::set<std::string> measured;
  for (const Config& c : results.configs) {
    measured.emplace(c.program->name);
  }
  if (!ctx.build.programs.empty()) {
    std::string table;
    for (const std::string& name : measured) {
      for (const MachineContext::Build::Program& p : ctx.build.programs) {
        if (p.name != name) {
          continue;
        }
        std::string openmp = p.openmp ? "yes" : "no";
        if (!p.runtime_name.empty()) {
          openmp = p.runtime_name + " " + p.runtime_version;
        }
        table += fmt::format(
            "<tr><td>{}</td><td class=\"mono text\">{}</td><td class=\"text\">{}</td></tr>\n",
            esc(name), esc(p.options), esc(openmp));
      }
    }
    if (!table.empty()) {
      s += "<details><summary>How each program was compiled</summary>\n<div "
           "class=\"table-wrap\"><table><thead><tr><th>program</th><th>flags</th><th>OpenMP</th>"
           "</tr></thead><tbody>\n" +
           table + "</tbody></table></div></details>\n";
    }
  }
  return s;
}

std::string invalid_section(const ResultSet& results) {
  const std::size_t bad = invalid_count(results);
  if (bad == 0) {
    return "";
  }
  Column run{"run", "the run's place among all runs", {}};
  Column config{"configuration", "", {}};
  Column round{"round", "", {}};
  Column outcome{"outcome", "", {}};
  Column reason{"reason", "", {}};
  Column ended{"ended", "how the process ended", {}};
  Column output{"output", "what the program printed", {}};
  std::map<std::pair<std::string, std::string>, std::size_t> shown;  // output -> its first run
  std::vector<bool> failing;
  const std::shared_ptr<const RunSource> runs = runs_of(results);
  RunQuery not_valid;
  not_valid.not_valid_only = true;
  not_valid.with_output = true;
  runs->each(not_valid, [&](std::size_t i, const RunRecord& r) {
    failing.push_back(true);
    run.cells.push_back(number_cell(static_cast<double>(i + 1), fmt::format("{}", i + 1)));
    run.cells.back().html =
        fmt::format("<span id=\"run-{}\">{}</span>", i + 1, run.cells.back().html);
    config.cells.push_back(text_cell(results.configs[r.config].label()));
    round.cells.push_back(
        number_cell(r.round + 1, fmt::format("{}{}", r.round + 1, r.warmup ? " (warm-up)" : "")));
    outcome.cells.push_back(text_cell(outcome_name(r.outcome)));
    TableCell why = text_cell(r.why.empty() ? "-" : r.why);
    why.prose = true;
    reason.cells.push_back(why);
    std::string how = "-";
    if (r.signal != 0) {
      how = fmt::format("signal {}", r.signal);
    } else if (r.exit_status >= 0) {
      how = fmt::format("exit {}", r.exit_status);
    }
    ended.cells.push_back(text_cell(how));
    if (!r.result) {
      output.cells.push_back(text_cell(r.outcome == Outcome::kSkipped ? "not run" : "not kept"));
      return;
    }
    const auto key = std::make_pair(r.result->out, r.result->err);
    if (const auto it = shown.find(key); it != shown.end()) {
      output.cells.push_back({fmt::format("as <a href=\"#run-{0}\">run {0}</a>", it->second)});
      return;
    }
    shown.emplace(key, i + 1);
    std::string html = fmt::format("<details><summary>{} B out, {} B err</summary>",
                                   r.result->out.size(), r.result->err.size());
    if (!r.result->out.empty()) {
      html += "<pre class=\"output\" aria-label=\"standard output\">" + excerpt(r.result->out) +
              "</pre>";
    }
    if (!r.result->err.empty()) {
      html += "<pre class=\"output\" aria-label=\"standard error\">" + excerpt(r.result->err) +
              "</pre>";
    }
    if (r.result->out.empty() && r.result->err.empty()) {
      html += "<p class=\"note\">It printed nothing.</p>";
    }
    output.cells.push_back({html + "</details>"});
  });
  std::string s = fmt::format(
      "<section id=\"invalid-runs\">\n<h2>Runs that were not valid ({} of {})</h2>\n"
      "<p class=\"note\">Invalid: the program printed a value that differs from its closed "
      "form, or no report at all; failed: it did not end well (a status, a signal); timeout: it "
      "was stopped; skipped: not run after an earlier timeout. Open a row's output to see what "
      "the program printed.</p>\n",
      bad, runs->totals().runs);
  s += table_html("invalid-table", "Runs are numbered in the order they ran.",
                  {run, config, round, outcome, reason, ended, output}, failing);
  return s + "</section>\n";
}

// "kernelscope sweep": the subcommand that made the results, when the command line names one.
std::string page_title(const ResultSet& results) {
  const std::optional<std::string> subcommand = subcommand_of(results);
  return subcommand ? "kernelscope " + *subcommand : std::string("kernelscope");
}

}  // namespace

std::string html_report(const ResultSet& results) {
  const std::vector<Plot> plots = plot_models(results);
  const std::vector<std::string> family_list = families(results);
  const std::string title = page_title(results);
  const std::string& date = machine_of(results).date;

  std::string s =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<meta "
      "name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  s += "<title>" + esc(title + (date.empty() ? "" : ", " + date)) + "</title>\n";
  s += "<style>" + std::string(style()) + "</style>\n</head>\n<body>\n<header>\n";
  s += "<h1>" + esc(title) + "</h1>\n";
  s += findings_section(results, verdict_section(results), warning_items(results));
  s += "<pre class=\"command\" aria-label=\"command line\">" + esc(command_text(results.command)) +
       "</pre>\n";
  s += "<details class=\"machine\"><summary>Machine and build</summary>\n" +
       context_section(results) + "</details>\n";
  s += "</header>\n";

  s += "<nav aria-label=\"Sections\"><ul>";
  for (const std::string& f : family_list) {
    s += fmt::format("<li><a href=\"#family-{}\">{}</a></li>", anchor(f), esc(f));
  }
  const std::string model = model_section(results);
  if (!model.empty()) {
    s += "<li><a href=\"#ceilings\">ceilings and model</a></li>";
  }
  const std::string explained = explanations_section(results);
  if (!explained.empty()) {
    s += "<li><a href=\"#explanations\">explanations</a></li>";
  }
  if (!results.nodes.empty()) {
    s += "<li><a href=\"#nodes\">nodes</a></li>";
  }
  const bool predicted = std::any_of(plots.begin(), plots.end(), [](const Plot& p) {
    return std::any_of(p.series.begin(), p.series.end(),
                       [](const Series& series) { return series.predicted; });
  });
  if (predicted) {
    s += "<li class=\"model-toggle\" hidden><label><input type=\"checkbox\" id=\"show-model\"> "
         "show the model's predicted times in the plots</label></li>";
  }
  if (invalid_count(results) > 0) {
    s += "<li><a href=\"#invalid-runs\">runs not valid</a></li>";
  }
  s += "</ul></nav>\n<main>\n";
  for (const std::string& f : family_list) {
    s += family_section(results, f, plots);
  }
  s += model;
  s += explained;
  s += nodes_html(results);
  s += invalid_section(results);
  s += "</main>\n<footer>\n<p>Every run with its time: <a href=\"runs.csv\">runs.csv</a>; the "
       "statistics: <a href=\"summary.csv\">summary.csv</a>; everything with the machine "
       "context: <a href=\"results.json\">results.json</a>. Made by kernelscope.</p>\n</footer>\n";
  s += "<script>" + std::string(script()) + "</script>\n</body>\n</html>\n";
  return s;
}

}  // namespace ks::driver
