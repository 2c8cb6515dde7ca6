// A comparison rendered: for the terminal, in Markdown, as CSV and as JSON.
#include <algorithm>
#include <cmath>
#include <ctime>
#include <optional>
#include <tuple>

#include <fmt/format.h>

#include "driver/analysis/context.h"
#include "driver/base/text.h"
#include "driver/report/compare_report.h"
#include "driver/report/csv_export.h"
#include "driver/report/json_export.h"
#include "driver/report/summary_table.h"

namespace ks::driver {
namespace {

std::string percent(double fraction) {
  return fmt::format("{:g}%", fraction * 100);
}

std::string p_text(const std::optional<RankTest>& test) {
  if (!test) {
    return "-";
  }
  return test->p < 0.001 ? fmt::format("{:.1e}", test->p) : fmt::format("{:.2g}", test->p);
}

// A side's median with the number of valid runs: "10.1 ms (5)".
std::string side_text(const SummaryRow& row) {
  if (row.stats.count == 0) {
    return fmt::format("- ({})", row.valid);
  }
  return fmt::format(
      "{}{} ({})", row.below_resolution ? "<" : "",
      human_seconds(row.below_resolution ? kResolutionSteps * row.time_step : row.stats.median),
      row.stats.count);
}

std::string side_interval(const SummaryRow& row) {
  const Estimate& m = row.sample.median;
  if (row.below_resolution || !m.ci) {
    return "-";
  }
  return human_interval(m.ci->low, m.ci->high) + level_note(m.confidence);
}

std::string ratio_cell(const ComparedConfig& c) {
  if (c.below_resolution) {
    return "-";
  }
  return ratio_estimate_text(c.comparison.ratio);
}

std::string verdict_cell(const ComparedConfig& c, const std::optional<double>& threshold) {
  std::string v = c.verdict();
  if (c.beyond_threshold && threshold) {
    v += ", beyond " + percent(*threshold);
  }
  return v;
}

// The shortest description of a side: where it is, and the machine and build it ran on.
std::string side_line(const CompareSide& side) {
  const MachineContext& ctx = machine_of(side.results);
  auto or_unknown = [](const std::string& s, const char* unknown) {
    return s.empty() ? std::string(unknown) : s;
  };
  return fmt::format("{} ({}, {}, revision {}, {})", side.path, or_unknown(ctx.host, "?"),
                     or_unknown(ctx.cpu.model, "?"), or_unknown(ctx.source_revision, "unknown"),
                     or_unknown(ctx.date, "?"));
}

// The facts of both machines by name, in the order either lists them.
std::vector<std::tuple<std::string, std::string, std::string>> facts_side_by_side(
    const CompareSide& base, const CompareSide& fresh) {
  const auto a = context_facts(machine_of(base.results));
  const auto b = context_facts(machine_of(fresh.results));
  std::vector<std::tuple<std::string, std::string, std::string>> rows;
  auto value_in = [](const auto& facts, const std::string& name) {
    for (const auto& [n, v] : facts) {
      if (n == name) {
        return v;
      }
    }
    return std::string("-");
  };
  for (const auto& facts : {a, b}) {
    for (const auto& fact : facts) {
      const std::string& name = fact.first;  // a structured binding clang 14 cannot capture
      if (std::none_of(rows.begin(), rows.end(),
                       [&](const auto& r) { return std::get<0>(r) == name; })) {
        rows.emplace_back(name, value_in(a, name), value_in(b, name));
      }
    }
  }
  return rows;
}

// The facts (but the date and the load) that differ between the two machines and builds.
std::vector<std::string> differences(const CompareSide& base, const CompareSide& fresh) {
  std::vector<std::string> out;
  for (const auto& [name, a, b] : facts_side_by_side(base, fresh)) {
    if (a != b && name != "date" && name != "load at start") {
      out.push_back(name);
    }
  }
  return out;
}

std::string join(const std::vector<std::string>& items, const std::string& sep) {
  std::string s;
  for (std::size_t i = 0; i < items.size(); ++i) {
    s += (i == 0 ? "" : sep) + items[i];
  }
  return s;
}

// Texts from the stores, each escaped for Markdown, joined.
std::string markdown_join(const std::vector<std::string>& items, const std::string& sep) {
  std::string s;
  for (std::size_t i = 0; i < items.size(); ++i) {
    s += (i == 0 ? "" : sep) + markdown_text(items[i]);
  }
  return s;
}

}  // namespace

Shown shown_as(const ComparedConfig& c) {
  if (c.below_resolution || c.negligible) {
    return Shown::kNeither;
  }
  return c.comparison.change == Change::kSlower   ? Shown::kSlower
         : c.comparison.change == Change::kFaster ? Shown::kFaster
                                                  : Shown::kNeither;
}

std::string_view verdict_colour(const ComparedConfig& c) {
  const Shown shown = shown_as(c);
  return shown == Shown::kSlower ? "#D55E00" : shown == Shown::kFaster ? "#0072B2" : "#666666";
}

std::string delta_text(const ComparedConfig& c) {
  return c.delta && !c.below_resolution ? fmt::format("{:+.2f}", *c.delta) : "-";
}

std::string effect_note(const CompareResult& result) {
  return fmt::format(
      "δ is Cliff's delta, the effect size of the two sides' runs: the share of pairs (a base "
      "run, a new run) where the new one is slower, less the share where it is faster; +1 when "
      "every new run is slower, 0 when neither side tends to be slower. A significant "
      "difference of less than {} in the median is no practical change (--min-effect).",
      percent(result.min_effect));
}

namespace {

// Seconds since the epoch of an ISO 8601 date as the context writes it; none otherwise.
std::optional<double> epoch_of(const MachineContext& context) {
  const std::string& text = context.date;
  std::tm tm{};
  const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm);
  if (end == nullptr || *end != '\0') {
    return std::nullopt;
  }
  return static_cast<double>(timegm(&tm));
}

}  // namespace

std::string drift_note(const CompareSide& base, const CompareSide& fresh) {
  const MachineContext& a = machine_of(base.results);
  const MachineContext& b = machine_of(fresh.results);
  const std::string& host = a.host;
  const std::optional<double> ta = epoch_of(a);
  const std::optional<double> tb = epoch_of(b);
  // An unknown revision is never the same build.
  if (host.empty() || host != b.host || !ta || !tb || a.source_revision.empty() ||
      a.source_revision != b.source_revision || std::abs(*tb - *ta) >= 3600) {
    return "";
  }
  const double minutes = std::abs(*tb - *ta) / 60;
  return fmt::format(
      "both sides ran on {} from one build {}: a few percent between them may be the machine's "
      "drift",
      host,
      minutes < 1 ? std::string("within a minute") : fmt::format("{:.0f} min apart", minutes));
}

std::string compare_text(const CompareSide& base, const CompareSide& fresh,
                         const CompareResult& result) {
  std::string out = "base: " + side_line(base) + "\nnew:  " + side_line(fresh) + "\n";
  if (const auto differ = differences(base, fresh); !differ.empty()) {
    out += "the two differ in: " + join(differ, ", ") + " (compare.md has both side by side)\n";
  }
  if (const std::string drift = drift_note(base, fresh); !drift.empty()) {
    out += "note: " + drift + "\n";
  }
  for (const auto* side : {&base, &fresh}) {
    for (const std::string& w : condition_warnings(machine_of(side->results))) {
      out += fmt::format("warning ({}): {}\n", side == &base ? "base" : "new", w);
    }
  }
  std::vector<std::vector<std::string>> table = {
      {"configuration", "base", "new", "new/base", "p", "δ", "verdict"}};
  for (const ComparedConfig& c : result.configs) {
    table.push_back({c.label, side_text(base.results.summary[c.base]),
                     side_text(fresh.results.summary[c.fresh]), ratio_cell(c),
                     c.below_resolution ? "-" : p_text(c.comparison.test), delta_text(c),
                     verdict_cell(c, result.threshold)});
  }
  std::vector<std::size_t> widths(table[0].size(), 0);
  auto width = [](const std::string& s) {
    return static_cast<std::size_t>(
        std::count_if(s.begin(), s.end(), [](char ch) { return (ch & 0xC0) != 0x80; }));
  };
  for (const auto& row : table) {
    for (std::size_t k = 0; k < row.size(); ++k) {
      widths[k] = std::max(widths[k], width(row[k]));
    }
  }
  out += "\n";
  for (const auto& row : table) {
    std::string line;
    for (std::size_t k = 0; k < row.size(); ++k) {
      const std::string pad(widths[k] - width(row[k]), ' ');
      const bool left = k == 0 || k + 1 == row.size();
      line += left ? row[k] + pad : pad + row[k];
      line += k + 1 < row.size() ? "  " : "";
    }
    while (!line.empty() && line.back() == ' ') {
      line.pop_back();
    }
    out += line + "\n";
  }
  if (!result.only_base.empty()) {
    out += "only in base: " + join(result.only_base, ", ") + "\n";
  }
  if (!result.only_new.empty()) {
    out += "only in new: " + join(result.only_new, ", ") + "\n";
  }
  std::map<std::string, int> counts;
  int beyond = 0;
  for (const ComparedConfig& c : result.configs) {
    ++counts[c.verdict()];
    beyond += c.beyond_threshold ? 1 : 0;
  }
  std::string tally;
  for (const auto& [verdict, n] : counts) {
    tally += fmt::format("{}{} {}", tally.empty() ? "" : ", ", n, verdict);
  }
  out += fmt::format("{} configurations in both: {}", result.configs.size(),
                     tally.empty() ? "none" : tally);
  if (result.threshold) {
    out += fmt::format("; {} slower by more than {}", beyond, percent(*result.threshold));
  }
  return out + fmt::format(
                   "\nδ: effect size, -1 every new run faster to +1 every one slower; "
                   "below {} no practical change (--min-effect)\n",
                   percent(result.min_effect));
}

std::string compare_markdown(const CompareSide& base, const CompareSide& fresh,
                             const CompareResult& result, const Exported& plot) {
  std::string md = "# kernelscope compare\n\n| | base | new |\n|---|---|---|\n";
  md += fmt::format("| store | {} | {} |\n", markdown_text(base.path), markdown_text(fresh.path));
  md += fmt::format("| command | {} | {} |\n",
                    markdown_code(command_text(base.results.command), true),
                    markdown_code(command_text(fresh.results.command), true));
  for (const auto& [name, a, b] : facts_side_by_side(base, fresh)) {
    md += fmt::format("| {} | {} | {} |\n", name, markdown_text(a), markdown_text(b));
  }
  md += fmt::format("| hosts of the runs | {} | {} |\n\n", markdown_join(base.hosts, ", "),
                    markdown_join(fresh.hosts, ", "));
  if (const auto differ = differences(base, fresh); !differ.empty()) {
    md += "The two differ in: " + join(differ, ", ") +
          ". A difference in time may come from these as well as from the change under "
          "test.\n\n";
  }
  for (const auto* side : {&base, &fresh}) {
    for (const std::string& w : condition_warnings(machine_of(side->results))) {
      md += fmt::format("**Warning ({}):** {}.\n\n", side == &base ? "base" : "new",
                        markdown_text(w));
    }
  }
  if (const std::string drift = drift_note(base, fresh); !drift.empty()) {
    md += "**Note:** " + markdown_text(drift) + ".\n\n";
  }
  md += "## Configurations in both\n\n";
  md +=
      "| configuration | base median | base 95% interval | new median | new 95% interval | "
      "new/base | U | p | δ | verdict |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|---|\n";
  for (const ComparedConfig& c : result.configs) {
    const SummaryRow& a = base.results.summary[c.base];
    const SummaryRow& b = fresh.results.summary[c.fresh];
    const auto& test = c.comparison.test;
    md += fmt::format(
        "| {} | {} | {} | {} | {} | {} | {} | {} | {} | {} |\n", markdown_text(c.label),
        side_text(a), side_interval(a), side_text(b), side_interval(b), ratio_cell(c),
        test && !c.below_resolution ? fmt::format("{:g}", test->u) : "-",
        c.below_resolution ? "-" : p_text(test), delta_text(c), verdict_cell(c, result.threshold));
  }
  if (result.configs.empty()) {
    md += "| (none) | | | | | | | | | |\n";
  }
  md += "\n";
  if (!result.only_base.empty()) {
    md += "Only in base: " + markdown_join(result.only_base, ", ") + ".\n\n";
  }
  if (!result.only_new.empty()) {
    md += "Only in new: " + markdown_join(result.only_new, ", ") + ".\n\n";
  }
  md += fmt::format(
      "**new/base** is the new median over the base's (above 1: the new one is slower), with "
      "its 95 % percentile-bootstrap interval from 10000 resamples of each side (fixed seed, so "
      "the report reproduces); with fewer than six runs on a side, the interval joins the two "
      "ranges at the product of their levels, given in parentheses. **U** and **p** are the "
      "two-sided Mann-Whitney U test of the two sides' runs (exact without ties up to 50 runs a "
      "side). The verdict is faster or slower when p < {:g} and the interval lies wholly on "
      "that side of 1, else no significant change; too few runs when no arrangement of that "
      "many runs could reach p < {:g}; below resolution when either median is within {:g} "
      "steps of its printed time's last digit. ",
      kAlpha, kAlpha, kResolutionSteps);
  md += effect_note(result);
  if (result.threshold) {
    md += fmt::format(
        " **beyond {}**: slower with the whole interval above {:g}; any such configuration "
        "makes the command's status 1.",
        percent(*result.threshold), 1 + *result.threshold);
  }
  md += "\n\n";
  if (!plot.files.empty() &&
      std::any_of(plot.files.begin(), plot.files.end(),
                  [](const std::string& f) { return f.ends_with(".svg"); })) {
    md += "![new/base ratios](compare.svg)\n";
  } else if (!plot.notice.empty()) {
    md += "Plot not drawn: " + markdown_text(plot.notice) + "\n";
  }
  return md;
}

std::string compare_csv(const CompareSide& base, const CompareSide& fresh,
                        const CompareResult& result) {
  std::string out =
      "configuration,program,size,chunk,threads,schedule,base_runs,base_valid,base_median,"
      "base_low,base_high,new_runs,new_valid,new_median,new_low,new_high,ratio,ratio_low,"
      "ratio_high,ratio_confidence,u,p,p_exact,cliffs_delta,verdict,beyond_threshold\n";
  auto num = [](std::optional<double> v) {
    return v && std::isfinite(*v) ? fmt::format("{:.9g}", *v) : std::string();
  };
  auto side = [&](const SummaryRow& row) {
    const Estimate& m = row.sample.median;
    return fmt::format("{},{},{},{},{}", row.runs, row.valid,
                       row.stats.count > 0 ? num(row.stats.median) : "", m.ci ? num(m.ci->low) : "",
                       m.ci ? num(m.ci->high) : "");
  };
  auto config_fields = [](const Config& c) {
    return fmt::format("{},{},{},{},{}", c.program->name, c.size ? std::to_string(*c.size) : "",
                       c.chunk ? std::to_string(*c.chunk) : "",
                       c.threads > 0 ? std::to_string(c.threads) : "", csv_field(c.schedule));
  };
  for (const ComparedConfig& c : result.configs) {
    const Estimate& r = c.comparison.ratio;
    const auto& test = c.comparison.test;
    const bool judged = !c.below_resolution;
    out += fmt::format(
        "{},{},{},{},{},{},{},{},{},{},{},{},{},{}\n", csv_field(c.label),
        config_fields(base.results.configs[c.base]), side(base.results.summary[c.base]),
        side(fresh.results.summary[c.fresh]), judged ? num(r.value) : "",
        judged && r.ci ? num(r.ci->low) : "", judged && r.ci ? num(r.ci->high) : "",
        judged && r.ci ? num(r.confidence) : "", judged && test ? num(test->u) : "",
        judged && test ? num(test->p) : "", judged && test ? (test->exact ? "1" : "0") : "",
        judged ? num(c.delta) : "", csv_field(c.verdict()), c.beyond_threshold ? "1" : "0");
  }
  for (const auto& [labels, verdict] :
       {std::pair{&result.only_base, "only in base"}, std::pair{&result.only_new, "only in new"}}) {
    for (const std::string& label : *labels) {
      out += csv_field(label) + std::string(21, ',') + ",,," + verdict + ",0\n";
    }
  }
  return out;
}

nlohmann::json compare_json(const CompareSide& base, const CompareSide& fresh,
                            const CompareResult& result) {
  nlohmann::json j;
  auto side_json = [](const CompareSide& s) {
    return nlohmann::json{{"store", s.path},
                          {"command", s.results.command},
                          {"hosts", s.hosts},
                          {"context", s.results.context}};
  };
  j["base"] = side_json(base);
  j["new"] = side_json(fresh);
  j["threshold"] = result.threshold ? nlohmann::json(*result.threshold) : nullptr;
  j["min_effect"] = result.min_effect;
  j["regressed"] = result.regressed;
  auto row_json = [](const SummaryRow& row) {
    nlohmann::json s;
    s["runs"] = row.runs;
    s["valid"] = row.valid;
    s["median"] = row.stats.count > 0 ? nlohmann::json(row.stats.median) : nullptr;
    s["median_interval"] = estimate_json(row.sample.median)["interval"];
    s["below_resolution"] = row.below_resolution;
    return s;
  };
  j["configurations"] = nlohmann::json::array();
  for (const ComparedConfig& c : result.configs) {
    nlohmann::json cj;
    cj["configuration"] = c.label;
    cj["base"] = row_json(base.results.summary[c.base]);
    cj["new"] = row_json(fresh.results.summary[c.fresh]);
    const nlohmann::json ratio = estimate_json(c.comparison.ratio);
    cj["ratio"] = c.below_resolution ? nlohmann::json(nullptr) : ratio["value"];
    cj["ratio_interval"] = c.below_resolution ? nlohmann::json(nullptr) : ratio["interval"];
    const auto& test = c.comparison.test;
    cj["mann_whitney"] =
        test && !c.below_resolution
            ? nlohmann::json{{"u", test->u}, {"p", test->p}, {"exact", test->exact}}
            : nlohmann::json(nullptr);
    cj["cliffs_delta"] =
        c.delta && !c.below_resolution ? nlohmann::json(*c.delta) : nlohmann::json(nullptr);
    cj["verdict"] = c.verdict();
    cj["beyond_threshold"] = c.beyond_threshold;
    j["configurations"].push_back(cj);
  }
  j["only_in_base"] = result.only_base;
  j["only_in_new"] = result.only_new;
  return j;
}

}  // namespace ks::driver
