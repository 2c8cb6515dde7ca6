// report.html of kernelscope compare: both sides' commands and machines, the verdicts, the
// ratio of every configuration in both with its interval (drawn, and in a sortable table), and
// the configurations found on one side only.
#include <algorithm>
#include <cmath>
#include <optional>

#include <fmt/format.h>

#include "driver/analysis/compare.h"
#include "driver/analysis/context.h"
#include "driver/base/text.h"
#include "driver/report/compare_report.h"
#include "driver/report/html_export.h"
#include "driver/report/html_page.h"
#include "driver/report/summary_table.h"

namespace ks::driver {
namespace {

using namespace html_page;

// The ratio plot: a row per configuration, its ratio as a marker on a logarithmic axis with
// its interval as a whisker, and the line at 1 (no change). Slower is drawn to the right.
constexpr double kChartWidth = 760;
constexpr double kRowHeight = 22;
constexpr double kLabelWidth = 250;
constexpr double kRight = 20;
constexpr double kTop = 12;
constexpr double kBottom = 44;

struct Style {
  const char* colour;
  const char* shape;  // an SVG path around (0, 0)
};

// Orange triangles right for slower, blue triangles left for faster, grey circles otherwise:
// told apart by shape as well as by colour.
Style style_of(const ComparedConfig& c) {
  const char* colour = verdict_colour(c).data();  // a literal: ends in a NUL
  switch (shown_as(c)) {
    case Shown::kSlower:
      return {colour, "M-5 -6L6 0L-5 6Z"};
    case Shown::kFaster:
      return {colour, "M5 -6L-6 0L5 6Z"};
    case Shown::kNeither:
      break;
  }
  return {colour, "M-4.5 0A4.5 4.5 0 1 0 4.5 0A4.5 4.5 0 1 0 -4.5 0"};
}

bool drawable(const ComparedConfig& c) {
  return !c.below_resolution && c.comparison.ratio.value && *c.comparison.ratio.value > 0 &&
         std::isfinite(*c.comparison.ratio.value);
}

// The chart's horizontal scale: log10 of the ratio, symmetric around 1 so that "twice as slow"
// and "twice as fast" look alike, wide enough for every ratio and interval drawn.
struct RatioScale {
  double span = 0;
  double left = kLabelWidth;
  double right = kChartWidth - kRight;
  double px(double v) const { return left + (std::log10(v) + span) / (2 * span) * (right - left); }
};

std::optional<RatioScale> ratio_scale(const CompareResult& result) {
  double lo = 1;
  double hi = 1;
  std::size_t marks = 0;
  for (const ComparedConfig& c : result.configs) {
    if (!drawable(c)) {
      continue;
    }
    ++marks;
    const Estimate& r = c.comparison.ratio;
    for (double v : {*r.value, r.ci ? r.ci->low : *r.value, r.ci ? r.ci->high : *r.value}) {
      if (v > 0 && std::isfinite(v)) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
      }
    }
  }
  if (marks == 0) {
    return std::nullopt;
  }
  RatioScale scale;
  scale.span = std::max({std::log10(hi), -std::log10(lo), std::log10(1.1)}) * 1.08;
  return scale;
}

// The grid: ticks outwards from 1, each far enough from the one before to be read, the line
// at 1 and the axis's title.
std::string ratio_axis(const RatioScale& x, double height, const SideNames& names) {
  const double bottom = height - kBottom;
  std::string s = "<g stroke=\"#d9d9d9\" fill=\"#222\">";
  for (const double direction : {1.0, -1.0}) {
    double last = x.px(1);
    for (double t : {1.25, 2.0, 5.0, 10.0, 20.0, 50.0, 100.0, 1000.0}) {
      const double at = x.px(direction > 0 ? t : 1 / t);
      if (std::log10(t) > x.span || std::abs(at - last) < 34) {
        continue;
      }
      last = at;
      s += fmt::format(
          "<line x1=\"{0:.1f}\" y1=\"{1:.1f}\" x2=\"{0:.1f}\" y2=\"{2:.1f}\"/><text x=\"{0:.1f}\" "
          "y=\"{3:.1f}\" text-anchor=\"middle\" stroke=\"none\">{4:g}</text>",
          at, kTop, bottom, bottom + 16, direction > 0 ? t : 1 / t);
    }
  }
  s += fmt::format(
      "</g>\n<line x1=\"{0:.1f}\" y1=\"{1:.1f}\" x2=\"{0:.1f}\" y2=\"{2:.1f}\" stroke=\"#222\" "
      "stroke-width=\"1.5\" stroke-dasharray=\"5 3\" class=\"reference\"/>\n"
      "<text x=\"{0:.1f}\" y=\"{3:.1f}\" text-anchor=\"middle\">1</text>\n"
      "<text x=\"{4:.1f}\" y=\"{5:.1f}\" text-anchor=\"middle\" class=\"axis-title\">{6} / {7} "
      "(log scale): left is faster, right is slower</text>\n",
      x.px(1), kTop, bottom, bottom + 16, (x.left + x.right) / 2, height - 6, esc(names.fresh),
      esc(names.base));
  return s;
}

// One configuration's row: its label, and its mark with its whiskers or its verdict in words.
std::string ratio_row(const ComparedConfig& c, const RatioScale& x, double y) {
  const std::string label = shortened(c.label, 34);
  std::string s = fmt::format("<text x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"end\">{}</text>",
                              x.left - 8, y + 4, esc(label));
  if (!drawable(c)) {
    return s + fmt::format("<text x=\"{:.1f}\" y=\"{:.1f}\" fill=\"#555\">{}</text>\n", x.left + 6,
                           y + 4, esc(c.verdict()));
  }
  const Style st = style_of(c);
  const Estimate& r = c.comparison.ratio;
  if (r.ci && r.ci->low > 0) {
    s += fmt::format(
        "<path d=\"M{0:.1f} {2:.1f}H{1:.1f}M{0:.1f} {3:.1f}V{4:.1f}M{1:.1f} {3:.1f}V{4:.1f}\" "
        "stroke=\"{5}\" stroke-width=\"1.5\" class=\"whisker\"/>",
        x.px(std::max(r.ci->low, std::pow(10, -x.span))),
        x.px(std::min(r.ci->high, std::pow(10, x.span))), y, y - 4, y + 4, st.colour);
  }
  s += fmt::format(
      "<path class=\"mark\" transform=\"translate({:.1f} {:.1f})\" d=\"{}\" fill=\"{}\" "
      "stroke=\"#fff\"><title>{}</title></path>\n",
      x.px(*r.value), y, st.shape, st.colour,
      esc(c.label + ": " + ratio_estimate_text(r) + ", " + c.verdict()));
  return s;
}

std::string ratio_chart(const CompareResult& result, const SideNames& names) {
  const std::optional<RatioScale> x = ratio_scale(result);
  if (!x) {
    return "";
  }
  std::size_t marks = 0;
  for (const ComparedConfig& c : result.configs) {
    marks += drawable(c) ? 1 : 0;
  }
  const double height = kTop + kRowHeight * static_cast<double>(result.configs.size()) + kBottom;
  std::string s = fmt::format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" viewBox=\"0 0 {} {:.0f}\" "
      "role=\"img\" aria-label=\"{}\" data-marks=\"{}\" font-family=\"sans-serif\" "
      "font-size=\"12\">\n<title>{} median / {} median per configuration</title>\n",
      kChartWidth, height,
      esc(fmt::format("The {} median over the {}'s for {} configurations, on a logarithmic "
                      "axis around 1; the table below holds the numbers.",
                      names.fresh, names.base, result.configs.size())),
      marks, esc(names.fresh), esc(names.base));
  s += ratio_axis(*x, height, names);
  for (std::size_t k = 0; k < result.configs.size(); ++k) {
    s += ratio_row(result.configs[k], *x, kTop + kRowHeight * (static_cast<double>(k) + 0.5));
  }
  return s + "</svg>";
}

std::string side_median(const SummaryRow& row) {
  if (row.stats.count == 0) {
    return "-";
  }
  if (row.below_resolution) {
    return "<span class=\"flag\" title=\"below the resolution of its time\">&lt; " +
           esc(human_seconds(kResolutionSteps * row.time_step)) + "</span>";
  }
  std::string s =
      esc(human_seconds(row.stats.median)) + (row.noisy ? " <span class=\"flag\">~</span>" : "");
  if (const Estimate& m = row.sample.median; m.ci) {
    s += fmt::format("<span class=\"ci\">{} – {} ({:.0f}%)</span>", esc(human_seconds(m.ci->low)),
                     esc(human_seconds(m.ci->high)), m.confidence * 100);
  }
  return s;
}

std::string compare_table(const CompareSide& base, const CompareSide& fresh,
                          const CompareResult& result, const std::string& id,
                          const SideNames& names) {
  Column config{"configuration", "", {}};
  Column base_median{names.base + " median", "with its confidence interval", {}};
  Column new_median{names.fresh + " median", "with its confidence interval", {}};
  Column ratio{names.fresh + " / " + names.base,
               "above 1: slower than " + names.base + "; with its interval",
               {}};
  Column p{"p", "two-sided Mann-Whitney U test of the two sides' runs", {}};
  Column delta{"δ", "Cliff's delta: -1 every new run faster, +1 every one slower", {}};
  Column verdict{"verdict", "", {}};
  std::vector<bool> failing;
  for (const ComparedConfig& c : result.configs) {
    const SummaryRow& a = base.results.summary[c.base];
    const SummaryRow& b = fresh.results.summary[c.fresh];
    config.cells.push_back(text_cell(c.label));
    base_median.cells.push_back(
        {side_median(a), a.stats.count > 0 ? std::optional(a.stats.median) : std::nullopt, true});
    new_median.cells.push_back(
        {side_median(b), b.stats.count > 0 ? std::optional(b.stats.median) : std::nullopt, true});
    const double value = c.comparison.ratio.value.value_or(NAN);
    ratio.cells.push_back(
        number_cell(c.below_resolution ? NAN : value,
                    c.below_resolution ? "-" : ratio_estimate_text(c.comparison.ratio)));
    const auto& test = c.comparison.test;
    p.cells.push_back(
        number_cell(test && !c.below_resolution ? test->p : NAN,
                    test && !c.below_resolution ? fmt::format("{:.2g}", test->p) : "-"));
    delta.cells.push_back(
        number_cell(c.delta && !c.below_resolution ? *c.delta : NAN, delta_text(c)));
    std::string v = c.verdict();
    if (c.beyond_threshold && result.threshold) {
      v += fmt::format(", beyond {:g}%", *result.threshold * 100);
    }
    const Style st = style_of(c);
    verdict.cells.push_back({fmt::format("<span style=\"color:{}\">{}</span>", st.colour, esc(v))});
    failing.push_back(c.beyond_threshold);
  }
  return table_html(
      id,
      "The " + esc(names.fresh) + " median over the " + esc(names.base) +
          "'s, with its 95% bootstrap interval (a lower level in "
          "parentheses with few runs). Faster or slower when the U test's p is below 0.05 and the "
          "interval lies wholly on that side of 1; else no significant change. " +
          esc(effect_note(result)) + " Click a heading to sort.",
      {config, base_median, new_median, ratio, p, delta, verdict}, failing);
}

std::string sides_section(const CompareSide& base, const CompareSide& fresh) {
  const auto a = context_facts(machine_of(base.results));
  const auto b = context_facts(machine_of(fresh.results));
  std::vector<std::string> names;
  for (const auto* facts : {&a, &b}) {
    for (const auto& [name, value] : *facts) {
      if (std::find(names.begin(), names.end(), name) == names.end()) {
        names.push_back(name);
      }
    }
  }
  auto value_in = [](const auto& facts, const std::string& name) {
    for (const auto& [n, v] : facts) {
      if (n == name) {
        return v;
      }
    }
    return std::string("-");
  };
  std::string rows = fmt::format(
      "<tr><th scope=\"row\">store</th><td class=\"text\">{}</td><td "
      "class=\"text\">{}</td></tr>\n",
      esc(base.path), esc(fresh.path));
  rows += fmt::format(
      "<tr><th scope=\"row\">command</th><td class=\"mono text\">{}</td><td class=\"mono "
      "text\">{}</td></tr>\n",
      esc(command_text(base.results.command)), esc(command_text(fresh.results.command)));
  for (const std::string& name : names) {
    const std::string x = value_in(a, name);
    const std::string y = value_in(b, name);
    rows += fmt::format(
        "<tr{}><th scope=\"row\">{}</th><td class=\"text\">{}</td><td "
        "class=\"text\">{}</td></tr>\n",
        x != y && name != "date" ? " class=\"differs\"" : "", esc(name), esc(x), esc(y));
  }
  return "<div class=\"table-wrap\"><table id=\"sides\"><thead><tr><th></th><th>base</th><th>new"
         "</th></tr></thead><tbody>\n" +
         rows + "</tbody></table></div>\n";
}

}  // namespace

std::string html_page::compare_chart(const CompareResult& result, const SideNames& names) {
  return ratio_chart(result, names);
}

std::string html_page::compare_table_html(const CompareSide& base, const CompareSide& fresh,
                                          const CompareResult& result, const std::string& id,
                                          const SideNames& names) {
  return compare_table(base, fresh, result, id, names);
}

std::string compare_html(const CompareSide& base, const CompareSide& fresh,
                         const CompareResult& result) {
  // How many configurations got each verdict, in the order they first appear.
  std::vector<std::pair<std::string, std::size_t>> verdicts;
  for (const ComparedConfig& c : result.configs) {
    const std::string v = c.verdict();
    auto it = std::find_if(verdicts.begin(), verdicts.end(),
                           [&](const auto& entry) { return entry.first == v; });
    if (it == verdicts.end()) {
      verdicts.emplace_back(v, 1);
    } else {
      ++it->second;
    }
  }
  std::string tally;
  for (const auto& [v, n] : verdicts) {
    tally += fmt::format("{}{} {}", tally.empty() ? "" : ", ", n, v);
  }
  std::string s =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<meta "
      "name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>kernelscope "
      "compare</title>\n<style>" +
      std::string(style()) + "</style>\n</head>\n<body>\n<header>\n<h1>kernelscope compare</h1>\n";
  const bool bad = result.regressed;
  s += fmt::format(
      "<p class=\"verdict {}\" id=\"verdict\">{} {} configuration{} in both{}{}{}.</p>\n",
      bad ? "bad" : "ok", bad ? "&#x2717;" : "&#x2713;", result.configs.size(),
      result.configs.size() == 1 ? "" : "s", tally.empty() ? "" : ": ", esc(tally),
      result.threshold
          ? fmt::format("; {} slower beyond {:g}%", bad ? "some" : "none", *result.threshold * 100)
          : "");
  std::string warnings;
  if (const std::string drift = drift_note(base, fresh); !drift.empty()) {
    warnings += "<li>" + esc(drift) + "</li>";
  }
  for (const auto* side : {&base, &fresh}) {
    for (const std::string& w : condition_warnings(machine_of(side->results))) {
      warnings += fmt::format("<li>{}: {}</li>", side == &base ? "base" : "new", esc(w));
    }
  }
  if (!warnings.empty()) {
    s += "<ul class=\"warnings\" id=\"warnings\" aria-label=\"Warnings\">" + warnings + "</ul>\n";
  }
  s += sides_section(base, fresh) + "</header>\n<main>\n<section id=\"comparison\">\n";
  s += "<h2>Configurations in both</h2>\n";
  if (const std::string chart = ratio_chart(result, {}); !chart.empty()) {
    s += "<figure class=\"plot wide\" id=\"plot-compare\">\n" + chart +
         "\n<figcaption><strong>new median / base median</strong> <span class=\"hint\">Blue "
         "triangles pointing left: faster; orange pointing right: slower; grey circles: no "
         "significant change; whiskers: 95% intervals.</span></figcaption>\n</figure>\n";
  }
  s += compare_table(base, fresh, result, "compare-table", {});
  for (const auto& [name, labels] :
       {std::pair{"Only in base", &result.only_base}, std::pair{"Only in new", &result.only_new}}) {
    if (!labels->empty()) {
      std::string list;
      for (const std::string& l : *labels) {
        list += (list.empty() ? "" : ", ") + esc(l);
      }
      s += fmt::format("<p><strong>{}:</strong> {}.</p>\n", name, list);
    }
  }
  s += "</section>\n</main>\n<footer>\n<p>The same in <a href=\"compare.md\">compare.md</a>, "
       "<a href=\"compare.csv\">compare.csv</a> and <a href=\"compare.json\">compare.json</a>. "
       "Made by kernelscope.</p>\n</footer>\n<script>" +
       std::string(script()) + "</script>\n</body>\n</html>\n";
  return s;
}

}  // namespace ks::driver
