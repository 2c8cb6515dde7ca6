#include "driver/html_export.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>

#include <fmt/format.h>

#include "driver/files.h"
#include "driver/html.h"
#include "driver/inference.h"
#include "driver/lists.h"
#include "driver/map_view.h"
#include "driver/plots.h"
#include "driver/svg_chart.h"
#include "driver/text.h"

namespace ks::driver {
namespace {

// The page's style: readable from a phone to a wide screen (tables scroll inside their box,
// figures flow into as many columns as fit) and printed without cutting a figure or a row.
constexpr std::string_view kStyle = R"css(
:root{--fg:#1b1b1b;--muted:#595959;--line:#d0d7de;--soft:#f4f6f8;--ok:#17692e;--bad:#b3261e;--warn:#7a4d00}
*{box-sizing:border-box}
body{margin:0;font:15px/1.5 system-ui,"Segoe UI",Roboto,"Noto Sans","DejaVu Sans",sans-serif;color:var(--fg);background:#fff}
header,nav,main,footer{max-width:1200px;margin:0 auto;padding:0 20px}
h1{font-size:1.6em;margin:.7em 0 .3em}
h2{font-size:1.3em;margin:1.8em 0 .5em;padding-bottom:.2em;border-bottom:2px solid var(--line)}
h3{font-size:1.1em;margin:1.2em 0 .4em}
a{color:#0b57a4}
code,pre,.mono{font-family:ui-monospace,"DejaVu Sans Mono",Menlo,Consolas,monospace;font-size:.88em}
.command{background:var(--soft);padding:.5em .8em;border-radius:6px;margin:.3em 0 .8em;white-space:pre-wrap;overflow-wrap:anywhere}
.verdict{display:inline-block;margin:.2em 0 .6em;padding:.35em .8em;border:2px solid;border-radius:6px;font-weight:600}
.ok{color:var(--ok)}.bad{color:var(--bad)}
.verdict.ok{background:#eaf6ed}.verdict.bad{background:#fcebea}
.warnings{margin:.2em 0 1em;padding:.5em .8em .5em 2em;border-left:4px solid var(--warn);background:#fff6e5}
.warnings li{margin:.2em 0}
dl.context{display:grid;grid-template-columns:max-content 1fr;gap:.15em 1.2em;margin:.5em 0}
dl.context dt{font-weight:600;color:var(--muted)}dl.context dd{margin:0;overflow-wrap:anywhere}
nav ul{list-style:none;display:flex;flex-wrap:wrap;gap:.2em 1.2em;padding:.4em 0;margin:0;border-top:1px solid var(--line);border-bottom:1px solid var(--line)}
.figures{display:grid;grid-template-columns:repeat(auto-fill,minmax(min(100%,470px),1fr));gap:16px;margin:.6em 0 1em}
figure{margin:0;padding:8px;border:1px solid var(--line);border-radius:6px;background:#fff;break-inside:avoid;page-break-inside:avoid}
figure svg.chart{display:block;width:100%;height:auto}
.maps{display:grid;grid-template-columns:repeat(auto-fill,minmax(min(100%,500px),1fr));gap:16px;margin:.6em 0 1em}
figure.map{min-width:0}
.map-box{overflow-x:auto}
svg.map{display:block;width:100%;height:auto}
svg.swatch{flex:none}
figcaption{font-size:.9em;margin-top:.3em}
.legend{list-style:none;display:flex;flex-wrap:wrap;gap:.1em 1.1em;padding:0;margin:.3em 0 0}
.legend li{display:flex;align-items:center;gap:.35em}
.hint,.note{color:var(--muted);font-size:.9em}
.table-wrap{overflow-x:auto;max-width:100%;border:1px solid var(--line);border-radius:6px;margin:.4em 0}
table{border-collapse:collapse;width:100%;font-size:.92em}
th,td{padding:.35em .6em;border-bottom:1px solid var(--line);text-align:left;vertical-align:top;white-space:nowrap}
thead th{background:var(--soft)}
th.num,td.num{text-align:right;font-variant-numeric:tabular-nums}
td.text{white-space:normal;min-width:14em;max-width:40em}
th button{font:inherit;font-weight:700;color:inherit;background:none;border:0;padding:0;cursor:pointer;text-align:inherit}
th[aria-sort=ascending] button::after{content:" \25B2"}th[aria-sort=descending] button::after{content:" \25BC"}
tr.failing td{background:#fcebea}
.ci{display:block;color:var(--muted);font-size:.85em}
.flag{font-weight:700;color:var(--warn);cursor:help}
pre.output{white-space:pre-wrap;overflow-wrap:anywhere;max-width:72ch;margin:.3em 0;padding:.5em;background:var(--soft);border-radius:4px}
.filter{margin:.4em 0}
.filter input{font:inherit;padding:.25em .5em;width:min(100%,24em)}
details>summary{cursor:pointer}
.problems{margin:.3em 0;padding-left:1.4em}
footer{margin:2.5em auto 2em;color:var(--muted);font-size:.9em;border-top:1px solid var(--line);padding-top:.6em}
@media (max-width:640px){svg.chart .ticks{font-size:19px}svg.chart .axis-title{font-size:16px}body{font-size:14px}header,nav,main,footer{padding:0 10px}dl.context{grid-template-columns:1fr}dl.context dd{margin-bottom:.3em}}
@media print{body{font-size:10pt}header,nav,main,footer{max-width:none;padding:0}nav,.filter{display:none}
.table-wrap{overflow:visible;border:0}th,td{white-space:normal}h2,h3{break-after:avoid}
tr,figure,.verdict{break-inside:avoid;page-break-inside:avoid}
.map-box{overflow:visible}svg.map{min-width:0!important}a{color:inherit;text-decoration:none}}
)css";

// Sorting a table by a click on a column's header (again: the other way), filtering the long
// ones, and opening every collapsed section before printing. The page reads the same without it.
constexpr std::string_view kScript = R"js(
(function () {
  'use strict';
  function key(cell) {
    var v = cell.getAttribute('data-v');
    if (v === null) { return cell.textContent.trim(); }
    return v === '' ? NaN : Number(v);
  }
  function sortBy(table, column, header) {
    var ascending = header.getAttribute('aria-sort') !== 'ascending';
    Array.prototype.forEach.call(table.tHead.rows[0].cells, function (th) {
      th.removeAttribute('aria-sort');
    });
    header.setAttribute('aria-sort', ascending ? 'ascending' : 'descending');
    var body = table.tBodies[0];
    var rows = Array.prototype.slice.call(body.rows);
    rows.sort(function (a, b) {
      var x = key(a.cells[column]), y = key(b.cells[column]);
      if (typeof x === 'number' && typeof y === 'number') {
        if (isNaN(x) || isNaN(y)) { return isNaN(x) - isNaN(y); }  /* empty cells last */
        return ascending ? x - y : y - x;
      }
      var c = String(x).localeCompare(String(y), undefined, {numeric: true});
      return ascending ? c : -c;
    });
    rows.forEach(function (row) { body.appendChild(row); });
  }
  document.querySelectorAll('table.sortable').forEach(function (table) {
    Array.prototype.forEach.call(table.tHead.rows[0].cells, function (th, column) {
      var button = document.createElement('button');
      button.type = 'button';
      button.title = 'Sort by this column';
      while (th.firstChild) { button.appendChild(th.firstChild); }
      th.appendChild(button);
      button.addEventListener('click', function () { sortBy(table, column, th); });
    });
  });
  document.querySelectorAll('input[data-filter]').forEach(function (input) {
    var table = document.getElementById(input.getAttribute('data-filter'));
    input.closest('.filter').hidden = false;
    input.addEventListener('input', function () {
      var words = input.value.trim().toLowerCase();
      Array.prototype.forEach.call(table.tBodies[0].rows, function (row) {
        row.hidden = words !== '' && row.textContent.toLowerCase().indexOf(words) < 0;
      });
    });
  });
  var closed = [];
  window.addEventListener('beforeprint', function () {
    document.querySelectorAll('details:not([open])').forEach(function (d) {
      d.open = true;
      closed.push(d);
    });
  });
  window.addEventListener('afterprint', function () {
    closed.forEach(function (d) { d.open = false; });
    closed = [];
  });
})();
)js";

// A table longer than this gets a filter box.
constexpr std::size_t kFilterRows = 12;
// How far a map may shrink to fit its box.
constexpr double kMapMinScale = 0.8;
// What a run's output excerpt keeps: its start and its end.
constexpr std::size_t kExcerptHead = 1600;
constexpr std::size_t kExcerptTail = 600;

std::string esc(std::string_view text) {
  return html_escape(text);
}

// An id for the page: letters, digits and '-', from any text.
std::string anchor(std::string_view text) {
  std::string id;
  for (char c : text) {
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (word) {
      id += c;
    } else if (!id.empty() && id.back() != '-') {
      id += '-';
    }
  }
  while (!id.empty() && id.back() == '-') {
    id.pop_back();
  }
  return id;
}

// The command line as a shell would take it back.
std::string shell_line(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& w : words) {
    const bool plain = !w.empty() && w.find_first_not_of(
                                         "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                         "0123456789-_./=,:+%@") == std::string::npos;
    std::string quoted = "'";
    for (char c : w) {
      quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    line += (line.empty() ? "" : " ") + (plain ? w : quoted + "'");
  }
  return line;
}

// A string field of the machine context, or "" when it is missing or of another type.
std::string context_text(const nlohmann::json& j, std::initializer_list<const char*> path) {
  const nlohmann::json* at = &j;
  for (const char* key : path) {
    if (!at->is_object() || !at->contains(key)) {
      return "";
    }
    at = &(*at)[key];
  }
  if (at->is_string()) {
    return at->get<std::string>();
  }
  if (at->is_number()) {
    return at->dump();
  }
  return "";
}

// The page's families, in the order their first configuration was planned.
std::vector<std::string> families(const ResultSet& results) {
  std::vector<std::string> out;
  for (const Config& c : results.configs) {
    const std::string f(c.program->family);
    if (std::find(out.begin(), out.end(), f) == out.end()) {
      out.push_back(f);
    }
  }
  return out;
}

// Each configuration's measured values that the summary's statistics are of.
std::vector<std::vector<double>> samples(const ResultSet& results) {
  std::vector<std::vector<double>> values(results.configs.size());
  std::vector<bool> printed(results.configs.size(), false);
  for (const SummaryRow& row : results.summary) {
    if (row.config < printed.size()) {
      printed[row.config] = row.printed_time;
    }
  }
  for (const RunRecord& r : results.runs) {
    if (r.warmup || r.outcome != Outcome::kValid || r.config >= values.size()) {
      continue;
    }
    const double v = printed[r.config] ? r.printed_seconds.value_or(NAN) : r.wall_seconds;
    if (std::isfinite(v)) {
      values[r.config].push_back(v);
    }
  }
  return values;
}

std::size_t invalid_count(const ResultSet& results) {
  return static_cast<std::size_t>(
      std::count_if(results.runs.begin(), results.runs.end(),
                    [](const RunRecord& r) { return r.outcome != Outcome::kValid; }));
}

// --- The top: command, verdict, warnings, machine and build ---

std::string verdict_section(const ResultSet& results) {
  const std::size_t bad = invalid_count(results);
  std::size_t broken = 0;
  for (const DemoMap& m : results.maps) {
    broken += m.trace.problems.empty() ? 0 : 1;
  }
  std::string s;
  if (results.runs.empty()) {
    s += "<p class=\"verdict bad\" id=\"verdict\">&#x2717; No run was made.</p>\n";
  } else if (bad == 0) {
    s += fmt::format(
        "<p class=\"verdict ok\" id=\"verdict\">&#x2713; All {} runs valid: every program's "
        "output passed its check.</p>\n",
        results.runs.size());
  } else {
    // Which configurations failed, with how many of their runs.
    std::map<std::size_t, std::size_t> per_config;
    for (const RunRecord& r : results.runs) {
      if (r.outcome != Outcome::kValid) {
        ++per_config[r.config];
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
        bad, results.runs.size(), which);
  }
  if (broken > 0) {
    s += fmt::format(
        "<p class=\"verdict bad\">&#x2717; {} demonstration map{} break{} the rule. "
        "<a href=\"#demonstrations\">See the maps</a></p>\n",
        broken, broken == 1 ? "" : "s", broken == 1 ? "s" : "");
  }
  return s;
}

std::string warnings_section(const ResultSet& results) {
  std::vector<std::string> items;
  if (!results.missing.empty()) {
    std::string names;
    for (const std::string& m : results.missing) {
      names += (names.empty() ? "" : ", ") + ("<code>" + esc(m) + "</code>");
    }
    items.push_back("Missing from the build, not measured: " + names + ".");
  }
  std::vector<std::string> noisy;
  for (const SummaryRow& row : results.summary) {
    if (row.noisy) {
      noisy.push_back(results.configs[row.config].label());
    }
  }
  if (!noisy.empty()) {
    std::string names;
    for (std::size_t k = 0; k < noisy.size() && k < 8; ++k) {
      names += (k == 0 ? "" : ", ") + esc(noisy[k]);
    }
    if (noisy.size() > 8) {
      names += fmt::format(" and {} more", noisy.size() - 8);
    }
    items.push_back(fmt::format(
        "{} configuration{} noisy (marked <span class=\"flag\">~</span>): the slowest run took "
        "more than twice the median, or the spread is above a quarter of it (a busy machine, "
        "frequency changes): {}.",
        noisy.size(), noisy.size() == 1 ? " is" : "s are", names));
  }
  if (items.empty()) {
    return "";
  }
  std::string s = "<ul class=\"warnings\" id=\"warnings\" aria-label=\"Warnings\">\n";
  for (const std::string& item : items) {
    s += "<li>" + item + "</li>\n";
  }
  return s + "</ul>\n";
}

std::string context_section(const ResultSet& results) {
  const nlohmann::json& ctx = results.context;
  std::vector<std::pair<std::string, std::string>> rows;
  auto add = [&](const std::string& name, const std::string& value) {
    if (!value.empty()) {
      rows.emplace_back(name, value);
    }
  };
  std::string when = context_text(ctx, {"date"});
  double first = INFINITY;
  double last = -INFINITY;
  for (const RunRecord& r : results.runs) {
    if (r.started_at > 0) {
      first = std::min(first, r.started_at);
      last = std::max(last, r.started_at + (std::isfinite(r.wall_seconds) ? r.wall_seconds : 0));
    }
  }
  if (std::isfinite(first)) {
    when += fmt::format("{}{} runs over {}", when.empty() ? "" : "; ", results.runs.size(),
                        human_seconds(last - first));
  }
  add("When", when);
  add("Host", context_text(ctx, {"host"}));
  std::string cpu = context_text(ctx, {"cpu", "model"});
  const std::string usable = context_text(ctx, {"cpu", "usable_cpus"});
  const std::string logical = context_text(ctx, {"cpu", "logical_cpus"});
  if (!usable.empty()) {
    cpu +=
        fmt::format("{}{} usable CPU{}", cpu.empty() ? "" : ", ", usable, usable == "1" ? "" : "s");
    if (!logical.empty() && logical != usable) {
      cpu += " of " + logical;
    }
  }
  add("CPU", cpu);
  if (ctx.contains("cpu") && ctx["cpu"].is_object() && ctx["cpu"].contains("caches") &&
      ctx["cpu"]["caches"].is_array()) {
    std::string caches;
    for (const nlohmann::json& c : ctx["cpu"]["caches"]) {
      caches += fmt::format("{}L{} {} {}", caches.empty() ? "" : ", ", context_text(c, {"level"}),
                            context_text(c, {"type"}), context_text(c, {"size"}));
    }
    add("Caches (per core)", caches);
  }
  add("Frequency governor", context_text(ctx, {"cpu", "scaling_governor"}));
  if (ctx.contains("memory") && ctx["memory"].is_object() &&
      ctx["memory"].value("total_bytes", std::uint64_t{0}) > 0) {
    add("Memory", fmt::format("{:.1f} GiB, swap {:.1f} GiB",
                              ctx["memory"].value("total_bytes", std::uint64_t{0}) / 1073741824.0,
                              ctx["memory"].value("swap_bytes", std::uint64_t{0}) / 1073741824.0));
  }
  if (ctx.contains("load_average") && ctx["load_average"].is_array() &&
      ctx["load_average"].size() == 3) {
    add("Load average before the runs",
        fmt::format("{:.2f}, {:.2f}, {:.2f} (1, 5, 15 min)", ctx["load_average"][0].get<double>(),
                    ctx["load_average"][1].get<double>(), ctx["load_average"][2].get<double>()));
  }
  add("Kernel", context_text(ctx, {"kernel"}));
  std::string build = context_text(ctx, {"build", "compiler"});
  if (const std::string type = context_text(ctx, {"build", "type"}); !type.empty()) {
    build += ", build type " + type;
  }
  add("Compiler", build);
  add("Source revision", context_text(ctx, {"source_revision"}));
  add("Programs from", context_text(ctx, {"build", "bin_dir"}));
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
  const nlohmann::json* programs = nullptr;
  if (ctx.contains("build") && ctx["build"].is_object() && ctx["build"].contains("programs") &&
      ctx["build"]["programs"].is_object()) {
    programs = &ctx["build"]["programs"];
  }
  if (programs != nullptr) {
    std::string table;
    for (const std::string& name : measured) {
      if (programs->contains(name)) {
        const nlohmann::json& p = (*programs)[name];
        std::string openmp = p.value("openmp", false) ? "yes" : "no";
        if (const std::string runtime = context_text(p, {"openmp_runtime", "name"});
            !runtime.empty()) {
          openmp = runtime + " " + context_text(p, {"openmp_runtime", "version"});
        }
        table += fmt::format(
            "<tr><td>{}</td><td class=\"mono text\">{}</td><td class=\"text\">{}</td></tr>\n",
            esc(name), esc(context_text(p, {"options"})), esc(openmp));
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

// --- A family: plots, summary table, maps ---

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
      if (std::isfinite(pt[1])) {
        lo = std::min(lo, pt[1]);
        hi = std::max(hi, pt[1]);
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
    return "Below the dashed line at 1 is faster than the first program.";
  }
  if (p.seconds) {
    return "Markers: medians; whiskers: the fastest and slowest runs. Both axes logarithmic.";
  }
  return "Above 1 is faster than the same program on one thread.";
}

std::string figure(const Plot& p) {
  std::string s = fmt::format("<figure class=\"plot\" id=\"plot-{}\">\n", anchor(p.name));
  s += chart_svg(p, describe(p)) + "\n<figcaption><strong>" + esc(p.title) + "</strong>";
  s += "<ul class=\"legend\">";
  for (std::size_t i = 0; i < p.series.size(); ++i) {
    s += "<li>" + series_swatch(i, p.bars) + esc(p.series[i].title) + "</li>";
  }
  s += "</ul><span class=\"hint\">" + esc(plot_hint(p)) + "</span></figcaption>\n</figure>\n";
  return s;
}

struct Cell {
  std::string html;                           // escaped already
  std::optional<double> sort = std::nullopt;  // numeric sort key; unset: sort by the text
  bool numeric = false;
  bool prose = false;  // wraps, unlike the other cells
};

Cell text_cell(const std::string& text) {
  return {esc(text)};
}

Cell number_cell(double v, const std::string& text) {
  return {esc(text), std::isfinite(v) ? std::optional<double>(v) : std::nullopt, true};
}

struct Column {
  std::string head;
  std::string title;  // the header's tooltip
  std::vector<Cell> cells;
};

// A sortable table of `columns` (those whose cells are all "-" are left out); rows whose
// `failing` flag is set are marked.
std::string table_html(const std::string& id, const std::string& caption,
                       const std::vector<Column>& columns, const std::vector<bool>& failing) {
  std::vector<const Column*> shown;
  for (const Column& c : columns) {
    if (std::any_of(c.cells.begin(), c.cells.end(),
                    [](const Cell& cell) { return cell.html != "-" && !cell.html.empty(); })) {
      shown.push_back(&c);
    }
  }
  const std::size_t rows = failing.size();
  std::string s;
  if (rows > kFilterRows) {
    s += fmt::format(
        "<p class=\"filter\" hidden><label>Show rows containing <input type=\"search\" "
        "data-filter=\"{}\"></label></p>\n",
        id);
  }
  s += fmt::format("<div class=\"table-wrap\"><table class=\"sortable\" id=\"{}\">\n<thead><tr>",
                   id);
  for (const Column* c : shown) {
    const bool numeric = std::any_of(c->cells.begin(), c->cells.end(),
                                     [](const Cell& cell) { return cell.numeric; });
    s += fmt::format("<th scope=\"col\"{}{}>{}</th>", numeric ? " class=\"num\"" : "",
                     c->title.empty() ? "" : " title=\"" + esc(c->title) + "\"", esc(c->head));
  }
  s += "</tr></thead>\n<tbody>\n";
  for (std::size_t r = 0; r < rows; ++r) {
    s += failing[r] ? "<tr class=\"failing\">" : "<tr>";
    for (const Column* c : shown) {
      const Cell& cell = c->cells[r];
      std::string attrs = cell.prose ? " class=\"text\"" : "";
      if (cell.numeric) {
        attrs += " class=\"num\"";
        attrs += cell.sort ? fmt::format(" data-v=\"{:.17g}\"", *cell.sort) : " data-v=\"\"";
      }
      s += "<td" + attrs + ">" + cell.html + "</td>";
    }
    s += "</tr>\n";
  }
  return s + "</tbody></table></div>\n<p class=\"note\">" + caption + "</p>\n";
}

std::string seconds_cell_text(double v) {
  return std::isfinite(v) ? human_seconds(v) : "-";
}

// The family's summary: one row per configuration, benchmarks and demonstrations alike.
std::string summary_table(const ResultSet& results, const std::string& family,
                          const std::vector<std::vector<double>>& values) {
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
  Column program{"program", "", {}};
  Column size{"size", "the size asked for (the program's own cap applies)", {}};
  Column args{"arguments", "what the program was given", {}};
  Column threads{"T", "OMP_NUM_THREADS", {}};
  Column schedule{"schedule", "OMP_SCHEDULE", {}};
  Column valid{"valid", "valid runs of the measured runs", {}};
  Column median{"median", "median time of the valid runs, with its confidence interval", {}};
  Column spread{"fastest – slowest", "", {}};
  Column gbs{"GB/s", "bytes the kernel moves (cost model) per second, at the median", {}};
  Column gops{"Gop/s", "operations of the kernel (cost model) per second, at the median", {}};
  Column speedup{"speedup", "against the same program on one thread, else the family baseline", {}};
  Column verdict{"map", "the demonstration's map against its rule", {}};
  std::vector<bool> failing;
  for (const SummaryRow* row : rows) {
    const Config& c = results.configs[row->config];
    const bool demo = c.program->kind == Kind::kDemonstration;
    program.cells.push_back(text_cell(std::string(c.program->name)));
    std::string size_text = "-";
    if (c.size && !demo) {
      size_text = size_label(*c.size);
      if (c.effective_size() != c.size) {
        size_text += " (runs " + size_label(*c.effective_size()) + ")";
      }
    }
    size.cells.push_back(c.size && !demo
                             ? number_cell(static_cast<double>(*c.effective_size()), size_text)
                             : number_cell(NAN, "-"));
    std::string arg_text;
    if (demo) {
      for (const std::string& a : c.spec().args) {
        arg_text += (arg_text.empty() ? "" : " ") + a;
      }
    }
    args.cells.push_back(text_cell(arg_text.empty() ? "-" : arg_text));
    threads.cells.push_back(c.threads > 0 ? number_cell(c.threads, std::to_string(c.threads))
                                          : number_cell(NAN, "-"));
    schedule.cells.push_back(text_cell(c.schedule.empty() ? "-" : c.schedule));
    Cell v = number_cell(row->runs > 0 ? static_cast<double>(row->valid) / row->runs : NAN,
                         fmt::format("{}/{}", row->valid, row->runs));
    if (row->valid < row->runs) {
      v.html = "<span class=\"bad\">&#x2717; " + v.html + "</span>";
    }
    valid.cells.push_back(v);
    failing.push_back(row->valid < row->runs);
    const bool stats = row->stats.count > 0;
    Cell m = number_cell(stats ? row->stats.median : NAN,
                         stats ? human_seconds(row->stats.median) : "-");
    if (stats) {
      if (!row->printed_time) {
        m.html +=
            " <abbr title=\"the whole process, start to end: the program prints no "
            "time\">(wall)</abbr>";
      }
      if (row->noisy) {
        m.html += " <span class=\"flag\" title=\"noisy: a large spread between the runs\">~</span>";
      }
      const Estimate e = median_interval(values[row->config]);
      if (e.ci) {
        m.html += fmt::format(
            "<span class=\"ci\" title=\"{:.0f}% confidence interval of the median\">{} – {} "
            "({:.0f}%)</span>",
            e.confidence * 100, human_seconds(e.ci->low), human_seconds(e.ci->high),
            e.confidence * 100);
      }
    }
    median.cells.push_back(m);
    spread.cells.push_back(number_cell(
        stats ? row->stats.max - row->stats.min : NAN,
        stats && row->stats.count > 1
            ? seconds_cell_text(row->stats.min) + " – " + seconds_cell_text(row->stats.max)
            : "-"));
    gbs.cells.push_back(number_cell(
        row->gb_per_s, std::isnan(row->gb_per_s) ? "-" : fmt::format("{:.3g}", row->gb_per_s)));
    std::string ops_text = "-";
    if (!std::isnan(row->gops_per_s)) {
      ops_text = fmt::format("{:.3g}", row->gops_per_s);
      if (!c.program->op_unit.empty() && c.program->op_unit != "flop") {
        ops_text += " (" + std::string(c.program->op_unit) + ")";
      }
    }
    gops.cells.push_back(number_cell(row->gops_per_s, ops_text));
    Cell sp = number_cell(row->speedup,
                          std::isnan(row->speedup) ? "-" : fmt::format("{:.2f}", row->speedup));
    if (!std::isnan(row->speedup)) {
      sp.html = "<span title=\"against " + esc(row->speedup_vs) + "\">" + sp.html + "</span>";
    }
    speedup.cells.push_back(sp);
    if (const auto it = maps.find(row->config); it != maps.end()) {
      const bool ok = it->second->trace.problems.empty();
      verdict.cells.push_back({fmt::format(
          "<a href=\"#map-{}\" class=\"{}\">{} {}</a>", anchor(map_stem(c)), ok ? "ok" : "bad",
          ok ? "&#x2713;" : "&#x2717;", ok ? "follows the rule" : "breaks the rule")});
      failing.back() = failing.back() || !ok;
    } else {
      verdict.cells.push_back(text_cell("-"));
    }
  }
  const std::string caption =
      "Times are medians of the valid measured runs: the time each program prints for its "
      "kernel alone, or the whole process where marked (wall). Under each median, its "
      "confidence interval with its level (fewer runs give a lower level). Click a column's "
      "heading to sort.";
  return table_html(
      "summary-" + anchor(family), caption,
      {program, size, args, threads, schedule, valid, median, spread, gbs, gops, speedup, verdict},
      failing);
}

// An SVG drawn elsewhere (a map) made ready for the page: a role, a text alternative and a
// title, and a viewBox so that it can shrink with its box, down to kMapMinScale of its size,
// where its text is still read (a narrower box scrolls it sideways; print shrinks it further).
std::string inline_svg(const std::string& svg, const std::string& label, const std::string& cls) {
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
  std::string attrs = fmt::format(" class=\"{}\" role=\"img\" aria-label=\"{}\"", cls, esc(label));
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
    s += "<p>Rule: " + esc(maps.front()->trace.rule) + "</p>\n<div class=\"maps\">\n";
    for (const DemoMap* m : maps) {
      const Config& c = results.configs[m->config];
      const std::string title = map_title(*c.program, c.spec());
      const bool ok = m->trace.problems.empty();
      s += fmt::format("<figure class=\"map\" id=\"map-{}\">\n<div class=\"map-box\">",
                       anchor(map_stem(c)));
      s += inline_svg(map_svg(m->trace, title),
                      fmt::format("Map of {}: which thread ran each iteration. Verdict: {}", title,
                                  verdict_line(m->trace)),
                      "map");
      s +=
          fmt::format("</div>\n<figcaption>T={}: <span class=\"{}\">{} {}</span>", c.threads,
                      ok ? "ok" : "bad", ok ? "&#x2713;" : "&#x2717;", esc(verdict_line(m->trace)));
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
      s += "</figcaption>\n</figure>\n";
    }
    s += "</div>\n</details>\n";
  }
  return s;
}

std::string family_section(const ResultSet& results, const std::string& family,
                           const std::vector<Plot>& plots,
                           const std::vector<std::vector<double>>& values) {
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
  s += summary_table(results, family, values);
  s += maps_section(results, family);
  return s + "</section>\n";
}

// --- The runs that were not valid ---

// A program's output cut to its start and its end, at character boundaries.
std::string excerpt(const std::string& text) {
  if (text.size() <= kExcerptHead + kExcerptTail + 64) {
    return esc(text);
  }
  auto boundary = [&](std::size_t at) {
    while (at > 0 && at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) {
      --at;
    }
    return at;
  };
  const std::size_t head = boundary(kExcerptHead);
  const std::size_t tail = boundary(text.size() - kExcerptTail);
  return esc(text.substr(0, head)) +
         fmt::format("\n<span class=\"note\">[… {} bytes left out …]</span>\n", tail - head) +
         esc(text.substr(tail));
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
  for (std::size_t i = 0; i < results.runs.size(); ++i) {
    const RunRecord& r = results.runs[i];
    if (r.outcome == Outcome::kValid) {
      continue;
    }
    failing.push_back(true);
    run.cells.push_back(number_cell(static_cast<double>(i + 1), fmt::format("{}", i + 1)));
    run.cells.back().html =
        fmt::format("<span id=\"run-{}\">{}</span>", i + 1, run.cells.back().html);
    config.cells.push_back(text_cell(results.configs[r.config].label()));
    round.cells.push_back(
        number_cell(r.round + 1, fmt::format("{}{}", r.round + 1, r.warmup ? " (warm-up)" : "")));
    outcome.cells.push_back(text_cell(outcome_name(r.outcome)));
    Cell why = text_cell(r.why.empty() ? "-" : r.why);
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
      continue;
    }
    const auto key = std::make_pair(r.result->out, r.result->err);
    if (const auto it = shown.find(key); it != shown.end()) {
      output.cells.push_back({fmt::format("as <a href=\"#run-{0}\">run {0}</a>", it->second)});
      continue;
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
  }
  std::string s = fmt::format(
      "<section id=\"invalid-runs\">\n<h2>Runs that were not valid ({} of {})</h2>\n"
      "<p class=\"note\">Invalid: the program printed a value that differs from its closed "
      "form, or no report at all; failed: it did not end well (a status, a signal); timeout: it "
      "was stopped; skipped: not run after an earlier timeout. Open a row's output to see what "
      "the program printed.</p>\n",
      bad, results.runs.size());
  s += table_html("invalid-table", "Runs are numbered in the order they ran.",
                  {run, config, round, outcome, reason, ended, output}, failing);
  return s + "</section>\n";
}

// "kernelscope sweep": the subcommand that made the results, when the command line names one.
std::string page_title(const ResultSet& results) {
  for (const std::string& word : results.command) {
    for (const char* subcommand : {"sweep", "tour", "map", "compare", "report", "merge"}) {
      if (word == subcommand) {
        return "kernelscope " + word;
      }
    }
  }
  return "kernelscope";
}

}  // namespace

std::string html_report(const ResultSet& results) {
  const std::vector<Plot> plots = plot_models(results.configs, results.summary);
  const std::vector<std::vector<double>> values = samples(results);
  const std::vector<std::string> family_list = families(results);
  const std::string title = page_title(results);
  std::string date = context_text(results.context, {"date"});

  std::string s =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<meta "
      "name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  s += "<title>" + esc(title + (date.empty() ? "" : ", " + date)) + "</title>\n";
  s += "<style>" + std::string(kStyle) + "</style>\n</head>\n<body>\n<header>\n";
  s += "<h1>" + esc(title) + "</h1>\n";
  s += "<pre class=\"command\" aria-label=\"command line\">" + esc(shell_line(results.command)) +
       "</pre>\n";
  s += verdict_section(results);
  s += warnings_section(results);
  s += context_section(results);
  s += "</header>\n";

  s += "<nav aria-label=\"Sections\"><ul>";
  for (const std::string& f : family_list) {
    s += fmt::format("<li><a href=\"#family-{}\">{}</a></li>", anchor(f), esc(f));
  }
  if (invalid_count(results) > 0) {
    s += "<li><a href=\"#invalid-runs\">runs not valid</a></li>";
  }
  s += "</ul></nav>\n<main>\n";
  for (const std::string& f : family_list) {
    s += family_section(results, f, plots, values);
  }
  s += invalid_section(results);
  s += "</main>\n<footer>\n<p>Every run with its time: <a href=\"runs.csv\">runs.csv</a>; the "
       "statistics: <a href=\"summary.csv\">summary.csv</a>; everything with the machine "
       "context: <a href=\"results.json\">results.json</a>. Made by kernelscope.</p>\n</footer>\n";
  s += "<script>" + std::string(kScript) + "</script>\n</body>\n</html>\n";
  return s;
}

Exported write_html(const std::string& dir, const ResultSet& results) {
  write_file_atomic(dir + "/report.html", html_report(results));
  return {{"report.html"}, ""};
}

}  // namespace ks::driver
