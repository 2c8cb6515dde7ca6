// The model on report.html: the machine's ceilings with the roofline (or the line saying there
// is no model), each configuration's share of its ceiling with the model's explanation, and
// what each run cost the machine (the counters), folded per family.
#include <algorithm>
#include <cmath>
#include <set>
#include <utility>

#include <fmt/format.h>

#include "driver/analysis/ceilings.h"
#include "driver/base/text.h"
#include "driver/report/html_page.h"
#include "driver/report/roofline.h"
#include "driver/report/svg_marks.h"
#include "driver/results/counters.h"

namespace ks::driver::html_page {
namespace {

std::string rate_text(double v, const std::string& unit) {
  return fmt::format("{:.3g} G{}/s", v / 1e9, unit);
}

// Where the ceilings came from, and when.
std::string source_text(const MachineContext& context, const Ceilings& c) {
  const MachineContext::CeilingsSource& known = context.ceilings;
  auto or_unknown = [](const std::string& s) { return s.empty() ? std::string("?") : s; };
  if (known.source == "file") {
    return "read from " + esc(or_unknown(known.file));
  }
  return fmt::format(
      "measured by <code>ks-probe</code> on {} at {}{}", esc(c.key.host),
      esc(or_unknown(known.probed_at)),
      known.source == "cache" ? " (cached in " + esc(or_unknown(known.file)) + ")" : std::string());
}

// The ceilings table as it is filled: a row per figure, a column per team size.
struct CeilingsTable {
  const Ceilings& c;
  Column what{"ceiling", "", {}};
  std::vector<Column> teams;

  explicit CeilingsTable(const Ceilings& ceilings) : c(ceilings) {
    for (const int t : c.threads) {
      teams.push_back(
          {fmt::format("T={}", t), fmt::format("{} thread{}", t, t == 1 ? "" : "s"), {}});
    }
  }

  template <typename Value, typename Text>
  void row(const std::string& name, Value&& value, Text&& text) {
    what.cells.push_back(text_cell(name));
    what.cells.back().prose = true;
    for (std::size_t k = 0; k < c.threads.size(); ++k) {
      const std::optional<double> v = value(c.threads[k]);
      teams[k].cells.push_back(v ? number_cell(*v, text(*v)) : number_cell(NAN, "-"));
    }
  }

  // An OpenMP cost: "below noise (±x)" when the probe could not tell it from zero.
  template <typename Value, typename Noise>
  void cost_row(const std::string& name, Value&& value, Noise&& noise) {
    what.cells.push_back(text_cell(name));
    what.cells.back().prose = true;
    for (std::size_t k = 0; k < c.threads.size(); ++k) {
      const std::optional<double> v = value(c.threads[k]);
      teams[k].cells.push_back(v ? number_cell(*v, cost_text(*v, noise(c.threads[k])))
                                 : number_cell(NAN, "-"));
    }
  }
};

// Memory and cache bandwidths, and what a fresh page adds.
void bandwidth_rows(CeilingsTable& table) {
  const Ceilings& c = table.c;
  const auto bandwidth = [](double v) { return rate_text(v, "B"); };
  table.row(
      "memory bandwidth: the addition, warm pages (24 named bytes per element)",
      [&](int t) { return c.add_bytes_per_second(0, t); }, bandwidth);
  table.row(
      "memory bandwidth: the best kernel and code",
      [&](int t) { return c.roof_bytes_per_second(0, t); }, bandwidth);
  for (const CacheLevel& level : c.caches) {
    table.row(
        fmt::format("L{} bandwidth: the addition ({} KiB{})", level.level, level.size_bytes / 1024,
                    level.instances > 1 ? " per core" : " shared"),
        [&](int t) { return c.add_bytes_per_second(level.level, t); }, bandwidth);
  }
  table.row(
      fmt::format("first touch: what a fresh {:.0f} KiB page adds", c.page_bytes / 1024),
      [&](int t) { return c.fault_seconds(t); }, [](double v) { return human_seconds(v); });
  if (!c.added_fault_seconds_per_page.empty()) {
    table.row(
        "first touch: what a fresh page adds to the addition writing it",
        [&](int t) { return c.added_fault_seconds(t); }, [](double v) { return human_seconds(v); });
  }
}

// The operation rates, one row per kernel and code.
void compute_rows(CeilingsTable& table) {
  const Ceilings& c = table.c;
  for (const auto& [key, by_team] : c.compute) {
    const std::size_t slash = key.find('/');
    const std::string kernel = key.substr(0, slash);
    const std::string code = slash == std::string::npos ? "" : key.substr(slash + 1);
    std::string name = kernel == "fp64_fma" ? "fp64 multiply-adds" : kernel;
    if (kernel == "fp64_add") {
      name = "fp64 adds";
    } else if (kernel == "int32_add") {
      name = "int32 adds";
    }
    table.row(
        fmt::format("compute: {}, {}", name, code),
        [&](int t) { return c.ops_per_second(kernel, code, t); },
        [](double v) { return rate_text(v, "op"); });
  }
}

// OpenMP's costs: a region, a barrier, and a chunk of each schedule and chunk size probed.
void openmp_rows(CeilingsTable& table) {
  const Ceilings& c = table.c;
  table.cost_row(
      "OpenMP: a parallel region's fork and join", [&](int t) { return c.region(t); },
      [&](int t) { return c.region_noise_at(t); });
  table.cost_row(
      "OpenMP: a barrier", [&](int t) { return c.barrier(t); },
      [&](int t) { return c.barrier_noise_at(t); });
  std::set<std::pair<std::string, long long>> chunks;
  for (const auto& [schedule, by_team] : c.chunk_seconds) {
    for (const auto& [team, by_chunk] : by_team) {
      for (const auto& [chunk, seconds_per_chunk] : by_chunk) {
        chunks.emplace(schedule, chunk);
      }
    }
  }
  for (const auto& entry : chunks) {
    // Named copies: clang 14 does not let a lambda capture a structured binding.
    const auto& schedule = entry.first;
    const auto& chunk = entry.second;
    table.cost_row(
        fmt::format("OpenMP: a chunk of schedule({}, {})", schedule, chunk),
        [&](int t) -> std::optional<double> {
          const auto& by_team = c.chunk_seconds.at(schedule);
          const auto at = by_team.find(t);
          if (at == by_team.end() || at->second.count(chunk) == 0) {
            return std::nullopt;
          }
          return at->second.at(chunk);
        },
        [&](int t) { return c.chunk_noise_at(schedule, chunk, t); });
  }
}

// The core clock and the latencies of dependent operations.
void core_rows(CeilingsTable& table) {
  const Ceilings& c = table.c;
  if (!c.core_hertz.empty()) {
    table.row(
        "core clock under load: a dependent add chain per thread",
        [&](int t) { return c.clock_hertz(t); },
        [](double v) { return fmt::format("{:.3g} GHz", v / 1e9); });
  }
  for (const auto& entry : c.latency_cycles) {
    const std::string& kernel = entry.first;
    table.row(
        fmt::format("latency of a dependent {} (one thread)", kernel),
        [&, t1 = c.threads.empty() ? 1 : c.threads.front()](int t) -> std::optional<double> {
          return t == t1 ? c.latency(kernel) : std::nullopt;
        },
        [](double v) { return fmt::format("{:.2f} cycles", v); });
  }
}

// One table: a row per figure, a column per team size.
std::string ceilings_table(const Ceilings& c) {
  CeilingsTable table(c);
  bandwidth_rows(table);
  compute_rows(table);
  openmp_rows(table);
  core_rows(table);
  std::vector<Column> columns{table.what};
  columns.insert(columns.end(), table.teams.begin(), table.teams.end());
  return table_html("ceilings-table",
                    "Bandwidths count the bytes the kernel names; the model scales them by 32/24 "
                    "into memory traffic (a store fetches its line first).",
                    columns, std::vector<bool>(table.what.cells.size(), false));
}

// The clock and the pages, from the probe's output as it is.
std::string clock_and_pages(const Ceilings& c) {
  std::string s;
  if (c.probe.contains("clock") && c.probe["clock"].contains("results")) {
    for (const nlohmann::json& r : c.probe["clock"]["results"]) {
      s +=
          fmt::format("<li><code>{}</code>: resolution {}, smallest step seen {}, {} per call</li>",
                      esc(r.value("clock", "?")), human_seconds(r.value("resolution_seconds", 0.0)),
                      human_seconds(r.value("smallest_step_seconds", 0.0)),
                      human_seconds(r.value("seconds_per_call", 0.0)));
    }
  }
  const std::string thp = context_text(c.probe, {"context", "transparent_hugepages", "enabled"});
  if (!thp.empty() || c.probe.contains("first_touch")) {
    const bool seen =
        c.probe.contains("first_touch") && c.probe["first_touch"].value("huge_pages_seen", false);
    s += fmt::format("<li>Transparent huge pages: {}; {} in the first-touch measurement.</li>",
                     thp.empty() ? "unknown" : esc(thp), seen ? "seen" : "not seen");
  }
  return s.empty() ? "" : "<ul>" + s + "</ul>\n";
}

std::string roofline_figure(const ResultSet& results) {
  const std::optional<Roofline> r = roofline_model(results);
  if (!r) {
    return "<p class=\"note\">No configuration was priced by the model, so there is no "
           "roofline.</p>\n";
  }
  std::string description =
      "Roofline: operations per second achieved against operations per "
      "byte of memory traffic, log scale;";
  for (std::size_t f = 0; f < r->families.size(); ++f) {
    description += fmt::format(" {}{}: {} configurations", f == 0 ? "" : "; ", r->families[f],
                               r->points[f].size());
  }
  description += "; under the roofs";
  for (const Roof& roof : r->roofs) {
    description +=
        fmt::format(" {} {};", roof.title, rate_text(roof.value, roof.bandwidth ? "B" : "op"));
  }
  description += " the summary tables hold each configuration's share of its ceiling.";
  std::string s = "<figure class=\"plot wide\" id=\"plot-roofline\">\n" +
                  roofline_svg(*r, description) +
                  "\n<figcaption><strong>Roofline: achieved operations per second against "
                  "operational intensity</strong><ul class=\"legend\">";
  for (std::size_t f = 0; f < r->families.size(); ++f) {
    s += "<li><svg class=\"swatch\" viewBox=\"0 0 34 14\" width=\"34\" height=\"14\" "
         "aria-hidden=\"true\">" +
         svg::marker(f, 17, 7, "", "") + "</svg>" + esc(r->families[f]) + "</li>";
  }
  for (std::size_t k = 0; k < r->roofs.size(); ++k) {
    s += fmt::format(
        "<li><svg class=\"swatch\" viewBox=\"0 0 34 14\" width=\"34\" height=\"14\" "
        "aria-hidden=\"true\"><path d=\"M1 7H33\" stroke=\"{}\" stroke-width=\"2\"{}/></svg>{}"
        "</li>",
        roof_colour(*r, k), roof_dash(k), esc(roof_name(r->roofs[k])));
  }
  s += "</ul><span class=\"hint\">Rising roofs are bandwidths (operations per byte times bytes "
       "per second), flat ones throughputs; a point below a rising roof, left of where it meets "
       "a flat one, is bound by memory. Hover a point for its configuration. Operations and bytes "
       "are the model's, the time is the measured "
       "median.</span></figcaption>\n</figure>\n";
  return s;
}

}  // namespace

std::string model_section(const ResultSet& results) {
  if (std::none_of(results.configs.begin(), results.configs.end(),
                   [](const Config& c) { return c.program->kind == Kind::kBenchmark; })) {
    return "";  // demonstrations alone: nothing to price
  }
  std::string s = "<section id=\"ceilings\">\n<h2>Machine ceilings and the model</h2>\n";
  const std::optional<Ceilings> c = ceilings_from_context(machine_of(results));
  if (!c) {
    return s +
           "<p id=\"no-model\">No ceilings of this machine were at hand, so there is no "
           "model here: <code>kernelscope probe</code> measures them (once per "
           "machine).</p>\n</section>\n";
  }
  s += "<p>Ceilings " + source_text(machine_of(results), *c) +
       (c->quick ? " (a quick probe: rough figures)" : "") +
       ". The model prices what each timed interval does with them: with the program's compiled "
       "loop, its cycles per iteration (throughput or loop-carried chain) overlapping with the "
       "transfers of its streams from the level serving each; else the larger of memory "
       "traffic over the bandwidth of the level that holds the data and operations over scalar "
       "throughput; plus each fresh page, plus OpenMP's forks, barriers and chunks. The summary "
       "tables give each configuration's share of its ceiling and the model's explanation.</p>\n";
  s += ceilings_table(*c);
  s += clock_and_pages(*c);
  s += roofline_figure(results);
  return s + "</section>\n";
}

std::vector<Column> model_columns(const std::vector<const SummaryRow*>& rows) {
  Column share{"% of ceiling", "the achieved rate as a share of the relevant measured ceiling", {}};
  Column ratio{"measured / predicted",
               "the measured median over the model's predicted time; ! outside 0.5 to 2",
               {}};
  Column why{"why", "the model's largest term, with its numbers", {}};
  for (const SummaryRow* row : rows) {
    if (!row->model) {
      share.cells.push_back(number_cell(NAN, "-"));
      ratio.cells.push_back(number_cell(NAN, "-"));
      why.cells.push_back(text_cell("-"));
      continue;
    }
    const Prediction& m = *row->model;
    TableCell pc = number_cell(m.percent_of_ceiling, fmt::format("{:.0f}%", m.percent_of_ceiling));
    pc.html = "<span title=\"of " + esc(m.ceiling) + "\">" + pc.html + "</span>";
    share.cells.push_back(pc);
    TableCell r = number_cell(m.ratio, fmt::format("{:.2f}", m.ratio));
    if (!m.explained) {
      r.html +=
          " <span class=\"flag\" title=\"outside 0.5 to 2: the model does not explain "
          "it\">!</span>";
    }
    r.html += " <span class=\"ci\">of " + esc(human_seconds(m.predicted_seconds)) + "</span>";
    ratio.cells.push_back(r);
    TableCell w = text_cell(m.line);
    w.html = "<span class=\"explain\">" + w.html + "</span>";
    if (m.ecm) {
      w.html += " <a href=\"#" + explain_id(row->config) + "\">the compiled loop</a>";
    }
    why.cells.push_back(w);
  }
  return {share, ratio, why};
}

std::string counters_details(const ResultSet& results, const std::string& family) {
  std::vector<const SummaryRow*> rows;
  for (const SummaryRow& row : results.summary) {
    if (results.configs[row.config].program->family == family) {
      rows.push_back(&row);
    }
  }
  std::vector<Column> columns{{"configuration", "", {}}};
  for (const SummaryRow* row : rows) {
    columns[0].cells.push_back(text_cell(results.configs[row->config].label()));
  }
  bool any = false;
  for (std::size_t k = 0; k < kCounterCount; ++k) {
    const CounterInfo& info = counter_table()[k];
    Column col{std::string(info.head), std::string(info.name), {}};
    for (const SummaryRow* row : rows) {
      const auto& v = row->counters[k];
      col.cells.push_back(v ? number_cell(*v, counter_text(info, *v)) : number_cell(NAN, "-"));
      any = any || v.has_value();
    }
    columns.push_back(std::move(col));
  }
  if (!any) {
    return "";
  }
  std::string s =
      "<details class=\"counters\"><summary>Counters per configuration: what each "
      "process cost the machine</summary>\n";
  const MachineContext::Counters& counters = machine_of(results).counters;
  std::string notice;
  if (!counters.events) {
    notice = "Performance events were not counted (--no-events).";
  } else if (const std::string& n = counters.notice; !n.empty()) {
    notice = n + ".";
  }
  s += "<p class=\"note\">Medians per run over the valid measured runs, for the whole process "
       "(the fill, the kernel and the report): the faults include the pages the fill touched. " +
       esc(notice) + "</p>\n";
  s += table_html("counters-" + anchor(family), "", columns, std::vector<bool>(rows.size(), false));
  return s + "</details>\n";
}

}  // namespace ks::driver::html_page
