// The box report.html opens with: per family, the fastest variant at the largest size with its
// ratio and interval, the speedup of each parallel program on its largest team against the
// ideal, and the model's one line about the fastest; the demonstrations' verdicts; the runs'
// validity; the warnings folded under it, counted.
#include <algorithm>
#include <cmath>
#include <map>

#include <fmt/format.h>

#include "driver/analysis/summary.h"
#include "driver/base/text.h"
#include "driver/plan/lists.h"
#include "driver/report/html_page.h"
#include "driver/report/map_view.h"
#include "driver/report/summary_table.h"

namespace ks::driver::html_page {
namespace {

// A ratio's interval too wide to rank by: it reaches 1, or spans more than a factor of two.
bool inconclusive(const Estimate& e) {
  return !e.value || !e.ci || e.ci->low <= 1 || e.ci->high > 2 * e.ci->low;
}

// A speedup against the same program on one thread ("plus-parloop N=1M T=1"), not against the
// family's baseline.
bool against_one_thread(const std::string& label) {
  const std::size_t at = label.rfind(" T=1");
  return at != std::string::npos && (at + 4 == label.size() || label[at + 4] == ' ');
}

std::string ratio_with_interval(const Estimate& e) {
  std::string s = fmt::format("{}&#xd7;", esc(ratio_text(*e.value)));
  if (e.ci) {
    s += fmt::format(" ({}&#x2013;{}{})", esc(ratio_text(e.ci->low)), esc(ratio_text(e.ci->high)),
                     e.confidence < 0.945 ? fmt::format(", {:.0f}%", e.confidence * 100) : "");
  }
  return s;
}

// "At N = 8M, plus-parloop T=2 is fastest: 1.92× (1.57–2.21) faster than plus-static."
std::string fastest_line(const ResultSet& results, const std::string& family,
                         const std::vector<Ranking>& rankings, const SummaryRow** fastest) {
  const Ranking* chosen = nullptr;
  std::uint64_t largest = 0;
  for (const Ranking& r : rankings) {
    const Config& c = results.configs[results.summary[r.fastest].config];
    const std::uint64_t n = c.effective_size().value_or(0);
    if (c.program->family == family && (chosen == nullptr || n > largest)) {
      chosen = &r;
      largest = n;
    }
  }
  if (chosen == nullptr) {
    return "";
  }
  const SummaryRow& best = results.summary[chosen->fastest];
  *fastest = &best;
  const Config& c = results.configs[best.config];
  // Against the family's sequential baseline, or the next fastest when the baseline wins.
  const std::pair<std::size_t, Estimate>* other = &chosen->others.front();
  for (const auto& o : chosen->others) {
    const Config& oc = results.configs[results.summary[o.first].config];
    if (oc.program->name == c.program->baseline && oc.threads <= 1 && oc.schedule.empty()) {
      other = &o;
    }
  }
  const Config& oc = results.configs[results.summary[other->first].config];
  const bool next = other == &chosen->others.front() && oc.program->name != c.program->baseline;
  std::string at = c.size ? fmt::format("At N = {}, ", esc(size_label(largest))) : "";
  const std::string than = esc(variant_name(oc)) + (next ? ", the next fastest" : "");
  if (inconclusive(other->second)) {
    return fmt::format(
        "{}<strong>{}</strong> ran fastest, but not clearly faster than {}: {}; inconclusive, "
        "rerun with <code>--repeat 20</code>.",
        at, esc(variant_name(c)), than,
        other->second.value ? ratio_with_interval(other->second) : "no interval");
  }
  return fmt::format("{}<strong>{}</strong> is fastest: {} faster than {}.", at,
                     esc(variant_name(c)), ratio_with_interval(other->second), than);
}

// "On 2 threads (ideal 2×): plus-parloop 1.62× (1.41–1.80), plus-quarters 1.40× (1.21–1.60)."
std::string team_line(const ResultSet& results, const std::string& family) {
  // Per parallel program, its row at the largest team, largest size, best schedule.
  std::map<std::string_view, const SummaryRow*> best;
  std::vector<std::string_view> order;
  int team = 0;
  for (const SummaryRow& row : results.summary) {
    const Config& c = results.configs[row.config];
    if (c.program->family == family && c.program->openmp && c.program->kind == Kind::kBenchmark) {
      team = std::max(team, c.threads);
    }
  }
  if (team < 2) {
    return "";
  }
  for (const SummaryRow& row : results.summary) {
    const Config& c = results.configs[row.config];
    if (c.program->family != family || !c.program->openmp || c.threads != team ||
        !row.speedup.value || !against_one_thread(row.speedup_vs)) {
      continue;
    }
    auto [it, fresh] = best.emplace(c.program->name, &row);
    if (fresh) {
      order.push_back(c.program->name);
      continue;
    }
    const Config& held = results.configs[it->second->config];
    const auto n = c.effective_size().value_or(0);
    const auto held_n = held.effective_size().value_or(0);
    if (n > held_n || (n == held_n && *row.speedup.value > *it->second->speedup.value)) {
      it->second = &row;
    }
  }
  if (order.empty()) {
    return "";
  }
  std::string s = fmt::format("On {} threads (ideal {}&#xd7;), against one thread: ", team, team);
  for (std::size_t k = 0; k < order.size(); ++k) {
    const SummaryRow& row = *best[order[k]];
    const Config& c = results.configs[row.config];
    s += fmt::format("{}{}{}{} {}", k == 0 ? "" : "; ", esc(std::string(c.program->name)),
                     c.schedule.empty() ? "" : " (" + esc(c.schedule) + ")",
                     c.size ? " at N = " + esc(size_label(*c.effective_size())) : "",
                     ratio_with_interval(row.speedup));
  }
  return s + ".";
}

// The demonstrations' maps: all follow their rules, or which break them.
std::string maps_line(const ResultSet& results, const std::string& family) {
  std::size_t maps = 0;
  std::vector<std::string> broken;
  for (const DemoMap& m : results.maps) {
    const Config& c = results.configs[m.config];
    if (c.program->family != family) {
      continue;
    }
    ++maps;
    if (!m.trace.problems.empty()) {
      broken.push_back(
          fmt::format("<a href=\"#map-{}\">{}</a>", anchor(map_stem(c)), esc(c.label())));
    }
  }
  if (maps == 0) {
    return "";
  }
  if (broken.empty()) {
    return fmt::format("<span class=\"ok\">&#x2713;</span> All {} maps follow their rules.", maps);
  }
  std::string list;
  for (std::size_t k = 0; k < broken.size() && k < 6; ++k) {
    list += (k == 0 ? "" : ", ") + broken[k];
  }
  if (broken.size() > 6) {
    list += fmt::format(" and {} more", broken.size() - 6);
  }
  return fmt::format("<span class=\"bad\">&#x2717;</span> {} of {} maps break their rules: {}.",
                     broken.size(), maps, list);
}

}  // namespace

std::string findings_section(const ResultSet& results, const std::string& status,
                             const std::vector<std::string>& warnings) {
  const std::vector<Ranking> rankings = rank_variants(results.configs, results.summary);
  std::string items;
  for (const std::string& family : families(results)) {
    std::vector<std::string> lines;
    const SummaryRow* fastest = nullptr;
    if (std::string line = fastest_line(results, family, rankings, &fastest); !line.empty()) {
      lines.push_back(std::move(line));
    }
    if (std::string line = team_line(results, family); !line.empty()) {
      lines.push_back(std::move(line));
    }
    if (fastest != nullptr && fastest->model && !fastest->model->line.empty()) {
      lines.push_back("Model: " + esc(fastest->model->line));
    }
    if (std::string line = maps_line(results, family); !line.empty()) {
      lines.push_back(std::move(line));
    }
    if (lines.empty()) {
      continue;
    }
    items += fmt::format("<li><a href=\"#family-{}\"><strong>{}</strong></a><ul>", anchor(family),
                         esc(family));
    for (const std::string& line : lines) {
      items += "<li>" + line + "</li>";
    }
    items += "</ul></li>\n";
  }
  std::string s = "<section class=\"findings\" id=\"findings\" aria-label=\"Findings\">\n";
  s += "<h2>Findings</h2>\n" + status;
  if (!items.empty()) {
    s += "<ul class=\"families\">\n" + items + "</ul>\n";
  }
  if (!warnings.empty()) {
    s += fmt::format(
        "<details class=\"warnings\" id=\"warnings\"><summary>{} warning{}</summary><ul>\n",
        warnings.size(), warnings.size() == 1 ? "" : "s");
    for (const std::string& w : warnings) {
      s += "<li>" + w + "</li>\n";
    }
    s += "</ul></details>\n";
  }
  return s + "</section>\n";
}

}  // namespace ks::driver::html_page
