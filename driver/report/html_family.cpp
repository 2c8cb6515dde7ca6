#include "driver/report/html_page.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include <fmt/format.h>
#include <cstdlib>

#include "driver/base/text.h"
#include "driver/plan/lists.h"
#include "driver/report/map_view.h"
#include "driver/report/plots.h"
#include "driver/report/summary_table.h"
#include "driver/report/svg_chart.h"
#include "driver/results/inference.h"

namespace ks::driver::html_page {
namespace {

// How far a map may shrink to fit its box.
constexpr double kMapMinScale = 0.8;

// What a plot shows, for readers who cannot see it.
std::string describe(const Plot& p) {
  std::string s = p.title + ". ";
  if (p.bars) {
    s += fmt::format(
        "Bars for {} at {}; ", p.series.size() == 1 ? "one program" : "each program",
        p.categories.size() == 1 ? p.categories[0] : fmt::format("{} sizes", p.categories.size()));
  } else {
    s +=
        fmt::format("{} against {}{}; ", p.ylabel, p.xlabel, p.logx || p.logy ? ", log scale" : "");
  }
  s += fmt::format("{} series:", p.series.size());
  for (std::size_t i = 0; i < p.series.size(); ++i) {
    const Series& series = p.series[i];
    double lo = INFINITY;
    double hi = -INFINITY;
    for (const auto& pt : series.points) {
      if (std::isfinite(pt.y)) {
        lo = std::min(lo, pt.y);
        hi = std::max(hi, pt.y);
      }
    }
    const auto value = [&](double v) {
      return p.seconds ? human_seconds(v) : fmt::format("{:.3g}", v);
    };
    s += fmt::format("{} {}", i == 0 ? "" : ";", series.title);
    if (std::isfinite(lo)) {
      s += lo == hi ? " " + value(lo) : fmt::format(" from {} to {}", value(lo), value(hi));
    }
  }
  return s + ". The table below holds the numbers.";
}

// How to read each kind of plot, under it.
std::string plot_hint(const Plot& p) {
  if (p.bars) {
    return "Below the dashed line at 1 is faster than the first program; whiskers: the "
           "ratio's confidence interval.";
  }
  if (p.seconds) {
    return "Markers: medians; whiskers: their confidence intervals. Both axes logarithmic. A "
           "median below the timer's resolution is left out.";
  }
  if (p.ideal) {
    return "Above 1 is faster than the same program on one thread; the thick grey line is the "
           "ideal, speedup = threads; whiskers: confidence intervals.";
  }
  return "Whiskers: confidence intervals.";
}

std::string figure(const Plot& p) {
  std::string s = fmt::format("<figure class=\"plot\" id=\"plot-{}\">\n", anchor(p.name));
  s += chart_svg(p, describe(p)) + "\n<figcaption><strong>" + esc(p.title) + "</strong>";
  s += "<ul class=\"legend\">";
  std::optional<std::size_t> model;
  for (std::size_t i = 0; i < p.series.size(); ++i) {
    if (p.series[i].predicted) {
      model = model.value_or(i);
      continue;
    }
    s += "<li>" + series_swatch(p, i) + esc(p.series[i].title) + "</li>";
  }
  // The model's lines share one entry, shown with them.
  if (model) {
    s += "<li class=\"model-key\">" + series_swatch(p, *model) +
         "the model's predicted time (hollow markers: the series it predicts)</li>";
  }
  s += "</ul><span class=\"hint\">" + esc(plot_hint(p)) + "</span></figcaption>\n</figure>\n";
  return s;
}

// The summary's columns, in the order they are filled.
struct SummaryColumns {
  Column program{"program", "", {}};
  Column size{"size", "the size asked for (the program's own cap applies)", {}};
  Column args{"arguments", "what the program was given", {}};
  Column threads{"T", "OMP_NUM_THREADS", {}};
  Column schedule{"schedule", "OMP_SCHEDULE", {}};
  Column valid{"valid", "valid runs of the measured runs", {}};
  Column median{
      "median (95% interval)", "median time of the valid runs, with its confidence interval", {}};
  Column outliers{
      "outliers", "runs beyond Tukey's fences (1.5 and 3 interquartile ranges): mild, severe", {}};
  Column gbs{"GB/s", "bytes the kernel moves (cost model) per second, at the median", {}};
  Column gops{"Gop/s", "operations of the kernel (cost model) per second, at the median", {}};
  Column speedup{"speedup", "against the same program on one thread, else the family baseline", {}};
  Column verdict{"map", "the demonstration's map against its rule", {}};
};

constexpr std::string_view kSummaryCaption =
    "Times are medians of the valid measured runs: the time each program prints for its "
    "kernel alone, or the whole process where marked (wall). Beside each median, its 95% "
    "confidence interval (its level where fewer runs give a lower one); ~ marks a noisy "
    "configuration, &lt; a median below the resolution of its time (mostly rounding: no rate "
    "or speedup is derived from it). Speedups carry their interval. Click a column's heading "
    "to sort.";

// The size asked for, and the one run where the program's cap lowered it; "-" for a
// demonstration or a program without a size.
TableCell size_cell(const Config& c, bool demo) {
  if (!c.size || demo) {
    return number_cell(NAN, "-");
  }
  std::string size_text = size_label(*c.size);
  if (c.effective_size() != c.size) {
    size_text += " (runs " + size_label(*c.effective_size()) + ")";
  }
  return number_cell(static_cast<double>(*c.effective_size()), size_text);
}

// A demonstration's arguments, separated by spaces.
std::string args_text(const Config& c, bool demo) {
  std::string arg_text;
  if (demo) {
    for (const std::string& a : c.spec().args) {
      arg_text += (arg_text.empty() ? "" : " ") + a;
    }
  }
  return arg_text.empty() ? "-" : arg_text;
}

TableCell valid_cell(const SummaryRow& row) {
  TableCell v = number_cell(row.runs > 0 ? static_cast<double>(row.valid) / row.runs : NAN,
                            fmt::format("{}/{}", row.valid, row.runs));
  if (row.valid < row.runs) {
    v.html = "<span class=\"bad\">&#x2717; " + v.html + "</span>";
  }
  return v;
}

// A median below the resolution: not given, only its bound.
std::string below_resolution_html(const SummaryRow& row) {
  return fmt::format(
      "<span class=\"flag\" title=\"below the resolution: fewer than {:.0f} steps of {} "
      "(the printed time's last digit or the clock)\">&lt; {}</span>",
      kResolutionSteps, esc(human_seconds(row.time_step)),
      esc(human_seconds(kResolutionSteps * row.time_step)));
}

// What follows a measured median: (wall), the noisy flag and the confidence interval.
std::string median_marks_html(const SummaryRow& row) {
  std::string s;
  if (!row.printed_time) {
    s += " <abbr title=\"the whole process, start to end: the program prints no "
         "time\">(wall)</abbr>";
  }
  if (row.noisy) {
    s += fmt::format(
        " <span class=\"flag\" title=\"noisy: the interval is wider than ±{:.0f}% of the "
        "median, or a run is a severe outlier\">~</span>",
        kNoisyHalfWidth * 100);
  }
  const Estimate& e = row.sample.median;
  if (e.ci) {
    // The level only where it is not the heading's.
    s += fmt::format(
        " <span class=\"ci\" title=\"{:.0f}% confidence interval of the median\">{}{}</span>",
        e.confidence * 100, esc(human_interval(e.ci->low, e.ci->high)),
        e.confidence < 0.945 ? fmt::format(", {:.0f}%", e.confidence * 100) : "");
  }
  return s;
}

// The median's cell; `detail` receives the hint of a median below the resolution.
TableCell median_cell(const SummaryRow& row, std::string& detail) {
  const bool stats = row.stats.count > 0;
  TableCell m =
      number_cell(stats ? row.stats.median : NAN, stats ? human_seconds(row.stats.median) : "-");
  if (stats && row.below_resolution) {
    // Mostly rounding: the figure is not given, only its bound and what to do about it.
    m.html = below_resolution_html(row);
    if (!row.hint.empty()) {
      detail = "<span class=\"hint\">" + esc(row.hint) + "</span>";
    }
  } else if (stats) {
    m.html += median_marks_html(row);
  }
  if (stats && row.stats.count > 1) {
    m.html = fmt::format("<span title=\"fastest {}, slowest {}\">{}</span>",
                         esc(seconds_cell_text(row.stats.min)),
                         esc(seconds_cell_text(row.stats.max)), m.html);
  }
  return m;
}

// Mild and severe outliers; severe ones flagged.
TableCell outliers_cell(const SummaryRow& row) {
  const bool stats = row.stats.count > 0;
  const Outliers& o = row.sample.outliers;
  std::string outlier_text = "-";
  if (stats) {
    outlier_text = o.mild() + o.severe() == 0 ? "0" : "";
    if (o.mild() > 0) {
      outlier_text = fmt::format("{} mild", o.mild());
    }
    if (o.severe() > 0) {
      outlier_text += fmt::format("{}{} severe", o.mild() > 0 ? ", " : "", o.severe());
    }
  }
  TableCell cell =
      number_cell(stats ? static_cast<double>(o.mild() + o.severe()) : NAN, outlier_text);
  if (o.severe() > 0) {
    cell.html = "<span class=\"flag\">" + cell.html + "</span>";
  }
  return cell;
}

// The operation rate, with its unit where it is not flops.
TableCell ops_cell(const SummaryRow& row, const Config& c) {
  std::string ops_text = "-";
  if (!std::isnan(row.gops_per_s)) {
    ops_text = fmt::format("{:.3g}", row.gops_per_s);
    if (!c.program->op_unit.empty() && c.program->op_unit != "flop") {
      ops_text += " (" + std::string(c.program->op_unit) + ")";
    }
  }
  return number_cell(row.gops_per_s, ops_text);
}

TableCell speedup_cell(const SummaryRow& row) {
  TableCell sp = number_cell(row.speedup.value.value_or(NAN), ratio_estimate_text(row.speedup));
  if (row.speedup.value) {
    sp.html = "<span title=\"against " + esc(row.speedup_vs) + "\">" + sp.html + "</span>";
  }
  return sp;
}

// A demonstration's verdict against its rule, linked to its map.
TableCell verdict_cell(const DemoMap& map, const Config& c) {
  const bool ok = map.trace.problems.empty();
  return {fmt::format("<a href=\"#map-{}\" class=\"{}\">{} {}</a>", anchor(map_stem(c)),
                      ok ? "ok" : "bad", ok ? "&#x2713;" : "&#x2717;",
                      ok ? "follows the rule" : "breaks the rule")};
}

// One row's cells; `failing` and `detail` are its flag and its line under it.
void add_summary_row(const ResultSet& results, const SummaryRow& row,
                     const std::map<std::size_t, const DemoMap*>& maps, SummaryColumns& cols,
                     std::vector<bool>& failing, std::string& detail) {
  const Config& c = results.configs[row.config];
  const bool demo = c.program->kind == Kind::kDemonstration;
  cols.program.cells.push_back(text_cell(std::string(c.program->name)));
  cols.size.cells.push_back(size_cell(c, demo));
  cols.args.cells.push_back(text_cell(args_text(c, demo)));
  cols.threads.cells.push_back(c.threads > 0 ? number_cell(c.threads, std::to_string(c.threads))
                                             : number_cell(NAN, "-"));
  cols.schedule.cells.push_back(text_cell(c.schedule.empty() ? "-" : c.schedule));
  cols.valid.cells.push_back(valid_cell(row));
  failing.push_back(row.valid < row.runs);
  cols.median.cells.push_back(median_cell(row, detail));
  cols.outliers.cells.push_back(outliers_cell(row));
  cols.gbs.cells.push_back(number_cell(
      row.gb_per_s, std::isnan(row.gb_per_s) ? "-" : fmt::format("{:.3g}", row.gb_per_s)));
  cols.gops.cells.push_back(ops_cell(row, c));
  cols.speedup.cells.push_back(speedup_cell(row));
  if (const auto it = maps.find(row.config); it != maps.end()) {
    cols.verdict.cells.push_back(verdict_cell(*it->second, c));
    failing.back() = failing.back() || !it->second->trace.problems.empty();
  } else {
    cols.verdict.cells.push_back(text_cell("-"));
  }
}

// The family's summary: one row per configuration, benchmarks and demonstrations alike.
std::string summary_table(const ResultSet& results, const std::string& family) {
  std::vector<const SummaryRow*> rows;
  for (const SummaryRow& row : results.summary) {
    if (results.configs[row.config].program->family == family) {
      rows.push_back(&row);
    }
  }
  std::map<std::size_t, const DemoMap*> maps;
  for (const DemoMap& m : results.maps) {
    maps[m.config] = &m;
  }
  SummaryColumns cols;
  std::vector<std::string> details;
  std::vector<bool> failing;
  for (const SummaryRow* row : rows) {
    details.emplace_back();
    add_summary_row(results, *row, maps, cols, failing, details.back());
  }
  // The model's explanation goes on its own line under its row; its share of the ceiling and
  // its ratio of measured to predicted beside the speedup.
  std::vector<Column> model = model_columns(rows);
  const Column why = std::move(model.back());
  model.pop_back();
  for (std::size_t r = 0; r < why.cells.size() && r < details.size(); ++r) {
    if (why.cells[r].html != "-") {
      details[r] = (details[r].empty() ? "" : details[r] + " ") + why.cells[r].html;
    }
  }
  std::vector<Column> columns{cols.program,  cols.size,   cols.args,  cols.threads,
                              cols.schedule, cols.median, cols.valid, cols.speedup};
  for (Column& column : model) {
    columns.push_back(std::move(column));
  }
  cols.gbs.minor = cols.gops.minor = cols.outliers.minor = true;
  for (Column* column : {&cols.gbs, &cols.gops, &cols.outliers, &cols.verdict}) {
    columns.push_back(std::move(*column));
  }
  return table_html("summary-" + anchor(family), std::string(kSummaryCaption), columns, failing,
                    details);
}

// An SVG drawn elsewhere (a map) made ready for the page: a role, a text alternative and a
// title, and a viewBox so that it can shrink with its box, down to kMapMinScale of its size,
// where its text is still read (a narrower box scrolls it sideways; print shrinks it further).
std::string inline_svg(const std::string& svg, const std::string& label, const std::string& cls,
                       const std::string& extra = "") {
  const std::size_t open = svg.find("<svg");
  const std::size_t end = open == std::string::npos ? open : svg.find('>', open);
  if (end == std::string::npos) {
    return "";
  }
  const std::string tag = svg.substr(open, end - open);
  auto attribute = [&](const std::string& name) -> std::string {
    const std::string key = " " + name + "=\"";
    const std::size_t at = tag.find(key);
    if (at == std::string::npos) {
      return "";
    }
    const std::size_t close = tag.find('"', at + key.size());
    return close == std::string::npos ? "" : tag.substr(at + key.size(), close - at - key.size());
  };
  std::string attrs =
      fmt::format(" class=\"{}\" role=\"img\" aria-label=\"{}\"{}", cls, esc(label), extra);
  const std::string width = attribute("width");
  const std::string height = attribute("height");
  const double w = std::atof(width.c_str());
  if (w > 0 && !height.empty() && attribute("viewBox").empty()) {
    attrs += fmt::format(" viewBox=\"0 0 {} {}\" style=\"max-width:{}px;min-width:{:.0f}px\"",
                         width, height, width, w * kMapMinScale);
  }
  return tag + attrs + "><title>" + esc(label) + "</title>" + svg.substr(end + 1);
}

std::string maps_section(const ResultSet& results, const std::string& family) {
  std::vector<std::string_view> programs;
  std::map<std::string_view, std::vector<const DemoMap*>> by_program;
  for (const DemoMap& m : results.maps) {
    const ProgramInfo& p = *results.configs[m.config].program;
    if (p.family != family) {
      continue;
    }
    if (by_program[p.name].empty()) {
      programs.push_back(p.name);
    }
    by_program[p.name].push_back(&m);
  }
  if (programs.empty()) {
    return "";
  }
  std::string s =
      "<h3 id=\"demonstrations\">Demonstrations: who ran what</h3>\n<p class=\"note\">Each map "
      "is the last run of a configuration: a row per thread, a cell per iteration (or item) it "
      "ran, with what it saw there; the verdict compares it with the rule the demonstration "
      "exists to show.</p>\n";
  for (const std::string_view program : programs) {
    const std::vector<const DemoMap*>& maps = by_program[program];
    const bool broken = std::any_of(maps.begin(), maps.end(),
                                    [](const DemoMap* m) { return !m->trace.problems.empty(); });
    s += fmt::format(
        "<details open class=\"demo\" id=\"demo-{}\"><summary><strong>{}</strong> <span "
        "class=\"{}\">{}</span></summary>\n",
        anchor(program), esc(program), broken ? "bad" : "ok",
        broken ? "&#x2717; breaks its rule" : "&#x2713; follows its rule");
    s +=
        "<p class=\"rule\">Rule: " + esc(maps.front()->trace.rule) + "</p>\n<div class=\"maps\">\n";
    for (const DemoMap* m : maps) {
      const Config& c = results.configs[m->config];
      const std::string title = map_title(*c.program, c.spec());
      const bool ok = m->trace.problems.empty();
      s += fmt::format(
          "<figure class=\"map\" id=\"map-{}\">\n<figcaption><strong>{}</strong>: <span "
          "class=\"{}\">{} {}</span>",
          anchor(map_stem(c)), esc(title), ok ? "ok" : "bad", ok ? "&#x2713;" : "&#x2717;",
          esc(verdict_line(m->trace)));
      if (m->trace.problems.size() > 1) {
        s += "<ul class=\"problems\">";
        for (std::size_t k = 0; k < m->trace.problems.size() && k < 20; ++k) {
          s += "<li>" + esc(m->trace.problems[k]) + "</li>";
        }
        if (m->trace.problems.size() > 20) {
          s += fmt::format("<li>and {} more</li>", m->trace.problems.size() - 20);
        }
        s += "</ul>";
      }
      s += "</figcaption>\n<div class=\"map-box\">";
      // The cells drawn, for a check that a reader sees every one of them.
      const std::string svg = map_svg(m->trace, title, true);
      std::size_t cells = 0;
      for (std::size_t at = svg.find("class=\"cell\""); at != std::string::npos;
           at = svg.find("class=\"cell\"", at + 1)) {
        ++cells;
      }
      s += inline_svg(svg, fmt::format("Map of {}: which thread ran each iteration", title), "map",
                      fmt::format(" data-cells=\"{}\"", cells));
      s += "</div>\n";
      if (const std::string key = map_key(m->trace); !key.empty()) {
        s += "<p class=\"note\">" + esc(key) + "</p>\n";
      }
      s += "</figure>\n";
    }
    s += "</div>\n</details>\n";
  }
  return s;
}

}  // namespace

std::string family_section(const ResultSet& results, const std::string& family,
                           const std::vector<Plot>& plots) {
  std::vector<std::string> programs;
  for (const Config& c : results.configs) {
    if (c.program->family == family &&
        std::find(programs.begin(), programs.end(), c.program->name) == programs.end()) {
      programs.emplace_back(c.program->name);
    }
  }
  std::string s =
      fmt::format("<section id=\"family-{}\">\n<h2>{}</h2>\n", anchor(family), esc(family));
  std::string list;
  for (const std::string& p : programs) {
    const ProgramInfo* info = find_program(p);
    list += fmt::format("{}<code>{}</code>", list.empty() ? "" : ", ", esc(p));
    if (info != nullptr && info->kind == Kind::kBenchmark) {
      list += " (" + esc(cost_text(*info)) + ")";
    }
  }
  s += "<p>Programs: " + list + ".</p>\n";
  std::string figures;
  for (const Plot& p : plots) {
    if (p.family == family) {
      figures += figure(p);
    }
  }
  if (!figures.empty()) {
    s += "<div class=\"figures\">\n" + figures + "</div>\n";
  }
  s += summary_table(results, family);
  s += counters_details(results, family);
  s += maps_section(results, family);
  return s + "</section>\n";
}

}  // namespace ks::driver::html_page
