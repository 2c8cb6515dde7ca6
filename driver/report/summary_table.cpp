#include "driver/report/summary_table.h"

#include <cmath>

#include <fmt/format.h>

#include "driver/analysis/summary.h"
#include "driver/base/text.h"
#include "driver/plan/lists.h"
#include "driver/results/counters.h"

namespace ks::driver {

std::string variant_name(const Config& c) {
  std::string s(c.program->name);
  if (c.threads > 0) {
    s += fmt::format(" T={}", c.threads);
  }
  if (!c.schedule.empty()) {
    s += " " + c.schedule;
  }
  return s;
}

namespace {

// A count in a few characters: "812", "49.2K", "3.1M".
std::string count_text(const std::optional<double>& v) {
  if (!v) {
    return "-";
  }
  if (*v < 10000) {
    return fmt::format("{:.0f}", *v);
  }
  if (*v < 1e6) {
    return fmt::format("{:.3g}K", *v / 1e3);
  }
  return fmt::format("{:.3g}M", *v / 1e6);
}

enum class Layout { kTerminal, kTerminalWide, kMarkdown };

std::string outliers_text(const SummaryRow& row) {
  if (row.stats.count == 0) {
    return "-";
  }
  const Outliers& o = row.sample.outliers;
  if (o.mild() == 0 && o.severe() == 0) {
    return "0";
  }
  std::string s;
  if (o.mild() > 0) {
    s = fmt::format("{} mild", o.mild());
  }
  if (o.severe() > 0) {
    s += fmt::format("{}{} severe", s.empty() ? "" : ", ", o.severe());
  }
  return s;
}

std::string median_text(const SummaryRow& row) {
  if (row.stats.count == 0) {
    return "-";
  }
  if (row.below_resolution) {
    return "<" + human_seconds(kResolutionSteps * row.time_step);
  }
  return human_seconds(row.stats.median) + (row.printed_time ? "" : " (wall)") +
         (row.noisy ? " ~" : "");
}

std::string interval_text(const SummaryRow& row) {
  const Estimate& m = row.sample.median;
  if (row.below_resolution || !m.ci) {
    return "-";
  }
  return human_interval(m.ci->low, m.ci->high) + level_note(m.confidence);
}

}  // namespace

// A ratio with two or three significant digits, never in exponent form above 0.01.
std::string ratio_text(double v) {
  if (v >= 100) {
    return fmt::format("{:.0f}", v);
  }
  if (v >= 10) {
    return fmt::format("{:.1f}", v);
  }
  if (v >= 0.1) {
    return fmt::format("{:.2f}", v);
  }
  return fmt::format("{:.2g}", v);
}

// A ratio with its interval: "1.93 (1.85–2.01)", the level added when below 95 %.
std::string ratio_estimate_text(const Estimate& e) {
  if (!e.value) {
    return "-";
  }
  std::string text = ratio_text(*e.value);
  if (e.ci) {
    text += fmt::format(
        " ({}\u2013{}{})", ratio_text(e.ci->low), ratio_text(e.ci->high),
        level_note(e.confidence).empty() ? "" : fmt::format(", {:.0f}%", e.confidence * 100));
  }
  return text;
}

namespace {

std::string rate_text(double v) {
  return std::isnan(v) ? "-" : fmt::format("{:.3g}", v);
}

// The columns that read left-aligned; the rest are numbers, right-aligned.
constexpr std::size_t kTextColumns = 4;
constexpr std::size_t kScheduleColumn = 3;

std::vector<std::vector<std::string>> table_cells(const std::vector<Config>& configs,
                                                  const std::vector<SummaryRow>& rows,
                                                  Layout layout) {
  const bool full = layout == Layout::kMarkdown;
  // The counters' and the model's columns, where some configuration has them.
  const bool faults = std::any_of(rows.begin(), rows.end(), [](const SummaryRow& r) {
    return r.counters[kMinorFaultsCounter].has_value();
  });
  const bool modelled = std::any_of(rows.begin(), rows.end(),
                                    [](const SummaryRow& r) { return r.model.has_value(); });
  std::vector<std::vector<std::string>> table;
  std::vector<std::string> head = {"program", "size",   "T",           "schedule",
                                   "valid",   "median", "95% interval"};
  if (full) {
    head.insert(head.end(), {"min", "max", "sd"});
  }
  head.insert(head.end(), {"outliers", "process", "GB/s", "Gop/s", "speedup"});
  if (faults) {
    head.push_back("faults");
  }
  if (modelled) {
    head.insert(head.end(), {"%ceil", "meas/pred"});
  }
  table.push_back(head);
  for (const SummaryRow& row : rows) {
    const Config& c = configs[row.config];
    std::string size = c.size ? size_label(*c.size) : "-";
    if (c.chunk) {
      size += fmt::format(" c{}", *c.chunk);
    }
    const bool stats = row.stats.count > 0;
    std::vector<std::string> cells = {std::string(c.program->name),
                                      size,
                                      c.threads > 0 ? std::to_string(c.threads) : "-",
                                      c.schedule.empty() ? "-" : c.schedule,
                                      fmt::format("{}/{}", row.valid, row.runs),
                                      median_text(row),
                                      interval_text(row)};
    if (full) {
      // One run has no spread: its standard deviation is left empty, not 0.
      cells.insert(cells.end(), {stats ? human_seconds(row.stats.min) : "-",
                                 stats ? human_seconds(row.stats.max) : "-",
                                 row.stats.count > 1 ? human_seconds(row.stats.stddev) : "-"});
    }
    cells.insert(cells.end(),
                 {outliers_text(row), row.printed_time ? human_seconds(row.process_median) : "-",
                  rate_text(row.gb_per_s), rate_text(row.gops_per_s),
                  // The terminal keeps the estimate alone, so that the core columns fit 80 columns.
                  full || layout == Layout::kTerminalWide || !row.speedup.value
                      ? ratio_estimate_text(row.speedup)
                      : ratio_text(*row.speedup.value)});
    if (faults) {
      cells.push_back(count_text(row.counters[kMinorFaultsCounter]));
    }
    if (modelled) {
      cells.insert(
          cells.end(),
          {row.model ? fmt::format("{:.0f}%", row.model->percent_of_ceiling) : "-",
           row.model ? fmt::format("{:.2f}{}", row.model->ratio, row.model->explained ? "" : " !")
                     : "-"});
    }
    if (!full) {  // a schedule from a store may hold anything
      for (std::string& cell : cells) {
        cell = terminal_text(cell);
      }
    }
    table.push_back(std::move(cells));
  }
  return table;
}

std::size_t display_width(const std::string& s) {
  std::size_t w = 0;
  for (unsigned char c : s) {
    w += (c & 0xC0) != 0x80 ? 1 : 0;
  }
  return w;
}

}  // namespace

namespace {

// A ratio's interval too wide to rank by: none at all, one that includes 1, or one whose ends
// are more than a factor of two apart.
bool inconclusive(const Estimate& e) {
  return !e.ci || e.ci->low <= 1 || e.ci->high > 2 * e.ci->low;
}

// "1.92× (1.57–2.21)", the level added when below 95 %: "1.92× (1.57–2.21, 88%)"; "-" without
// a value.
std::string times_text(const Estimate& e) {
  if (!e.value) {
    return "-";
  }
  std::string text = ratio_text(*e.value) + "\u00d7";
  if (e.ci) {
    text += fmt::format(
        " ({}\u2013{}{})", ratio_text(e.ci->low), ratio_text(e.ci->high),
        level_note(e.confidence).empty() ? "" : fmt::format(", {:.0f}%", e.confidence * 100));
  }
  return text;
}

// What to rerun with when a ranking is inconclusive: 20 runs, or twice as many as were made.
std::string rerun_hint(const Config& a, const Config& b) {
  return fmt::format("rerun with --repeat {}", std::max({20, 2 * a.repeat, 2 * b.repeat}));
}

}  // namespace

std::vector<std::string> ranking_lines(const std::vector<Config>& configs,
                                       const std::vector<SummaryRow>& rows) {
  std::vector<std::string> lines;
  for (const Ranking& r : rank_variants(configs, rows)) {
    const Config& fastest = configs[rows[r.fastest].config];
    std::string line = fmt::format("{}: {} ran", r.group, variant_name(fastest));
    for (std::size_t k = 0; k < r.others.size(); ++k) {
      const auto& [row, e] = r.others[k];
      line += k == 0 ? " " : "; ";
      line += ratio_estimate_text(e);
      line += fmt::format(" times faster than {}", variant_name(configs[rows[row].config]));
      if (!e.ci) {
        line += " (too few runs for an interval)";
      } else if (e.ci->low <= 1) {
        line += " (no clear difference)";
      } else if (inconclusive(e)) {
        line += fmt::format(" (inconclusive: {})", rerun_hint(fastest, configs[rows[row].config]));
      }
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

std::vector<std::string> fastest_lines(const std::vector<Config>& configs,
                                       const std::vector<SummaryRow>& rows) {
  std::vector<std::string> lines;
  for (const Ranking& r : rank_variants(configs, rows)) {
    const Config& fastest = configs[rows[r.fastest].config];
    const auto& [row, e] = r.others.front();
    const Config& next = configs[rows[row].config];
    if (inconclusive(e)) {
      lines.push_back(fmt::format("{}: inconclusive between {} and {} ({}): {}", r.group,
                                  variant_name(fastest), variant_name(next), times_text(e),
                                  rerun_hint(fastest, next)));
    } else {
      lines.push_back(fmt::format("{}: {} is fastest, {} faster than {}{}", r.group,
                                  variant_name(fastest), times_text(e), variant_name(next),
                                  r.others.size() > 1 ? " (the next)" : ""));
    }
  }
  return lines;
}

std::vector<std::string> resolution_notes(const std::vector<Config>& configs,
                                          const std::vector<SummaryRow>& rows) {
  std::vector<std::string> notes;
  for (const SummaryRow& row : rows) {
    if (row.below_resolution) {
      notes.push_back(fmt::format("{}: median {}", configs[row.config].label(), row.hint));
    }
  }
  return notes;
}

std::string summary_markdown(const std::vector<Config>& configs,
                             const std::vector<SummaryRow>& rows) {
  const auto table = table_cells(configs, rows, Layout::kMarkdown);
  std::string out;
  for (std::size_t r = 0; r < table.size(); ++r) {
    out += "|";
    for (std::size_t k = 0; k < table[r].size(); ++k) {
      // The schedule comes from the store; the rest is the driver's own.
      out +=
          " " + (r > 0 && k == kScheduleColumn ? markdown_text(table[r][k]) : table[r][k]) + " |";
    }
    out += "\n";
    if (r == 0) {
      out += "|";
      for (std::size_t k = 0; k < table[r].size(); ++k) {
        out += k < kTextColumns ? "---|" : "---:|";
      }
      out += "\n";
    }
  }
  out += fmt::format(
      "\n**median** is the median of the valid runs of the time each program prints: its "
      "own clock around the kernel alone. **process** is the median of the whole process, "
      "start to end, as a runner that times the command sees it: it adds starting the "
      "program, allocating and filling its data and printing its report, so it is larger, by "
      "far for small sizes. Where a program prints no time, the median is of the whole "
      "process (wall). **95% interval**: the median's confidence interval from the order "
      "statistics; with fewer than six runs no interval reaches 95 %, and the range of the "
      "runs is given at its real level in parentheses. **outliers**: runs beyond Tukey's fences "
      "(mild: 1.5 to 3 interquartile ranges beyond a quartile; severe: beyond 3). **~** "
      "marks a noisy configuration: its interval is wider than ±{:.0f} % of the median, or a "
      "run is a severe outlier. **<** marks a median below {:.0f} steps of the printed time's "
      "last digit or of the clock: its digits are mostly rounding, and no rate or speedup is "
      "derived from it. **speedup**: the baseline's median over this one's (against the same "
      "program on one thread, else the family's sequential baseline at the same size), with "
      "its 95 % bootstrap interval (fixed seed); with fewer than six runs a side, every ratio "
      "of the two ranges, at its real level in parentheses.\n",
      kNoisyHalfWidth * 100, kResolutionSteps);
  out +=
      "\n**faults**: the median run's minor page faults (the whole process). **%ceil**: the "
      "kernel's rate against the machine's ceiling for it (bandwidth, or scalar throughput for "
      "the matrix products); **meas/pred**: the measured median over the model's predicted "
      "time, ! where it is outside 0.5 to 2.\n";
  const std::vector<std::string> ranking = ranking_lines(configs, rows);
  if (!ranking.empty()) {
    out +=
        "\nFastest at each size (the others' medians over the fastest's, with the "
        "interval of that ratio):\n\n";
    for (const std::string& line : ranking) {
      out += "- " + markdown_text(line) + "\n";
    }
  }
  const std::vector<std::string> notes = resolution_notes(configs, rows);
  if (!notes.empty()) {
    out += "\nBelow resolution:\n\n";
    for (const std::string& n : notes) {
      out += "- " + markdown_text(n) + "\n";
    }
  }
  return out;
}

namespace {

// The columns the terminal always shows, and the others in the order they are added while the
// width allows.
constexpr std::string_view kCoreColumns[] = {
    "program", "size", "T", "schedule", "valid", "median", "95% interval", "speedup"};
constexpr std::string_view kExtraColumns[] = {"process", "GB/s",      "Gop/s", "outliers",
                                              "%ceil",   "meas/pred", "faults"};

// `text` broken into lines of at most `width` columns at blanks, each after `indent`.
std::string wrapped(std::string_view text, std::size_t width, std::string_view indent) {
  std::string out;
  std::string line(indent);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(' ', start);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    const std::string_view word = text.substr(start, end - start);
    const bool first = line.size() == indent.size();
    if (!first && display_width(line) + 1 + display_width(std::string(word)) > width) {
      out += line + "\n";
      line = std::string(indent);
    }
    line += (line.size() == indent.size() ? "" : " ") + std::string(word);
    start = end + 1;
  }
  if (line.size() > indent.size()) {
    out += line + "\n";
  }
  return out;
}

// What each mark and column shown means, for the columns in `shown`.
std::string legend(const std::vector<std::string>& shown, bool noisy, bool below, bool off_model,
                   bool hidden, std::size_t width) {
  auto has = [&](std::string_view name) {
    return std::find(shown.begin(), shown.end(), name) != shown.end();
  };
  std::vector<std::string> parts;
  parts.push_back(
      "median: the middle of the valid runs' kernel times, as each program prints them (wall: "
      "the whole process, for a program that prints none)");
  if (has("95% interval")) {
    parts.push_back(
        "95% interval: where the true median lies, 19 times in 20 (a lower level in "
        "parentheses)");
  }
  if (has("T")) {
    parts.push_back("T: OpenMP threads");
  }
  parts.push_back("valid: valid runs of those made");
  if (has("speedup")) {
    parts.push_back(
        "speedup: against one thread, or the family's baseline, at the same size (its interval "
        "with --wide)");
  }
  if (has("process")) {
    parts.push_back("process: the whole process's median, start to end");
  }
  if (has("GB/s") || has("Gop/s")) {
    parts.push_back("GB/s, Gop/s: the cost model's bytes and operations over the median");
  }
  if (has("outliers")) {
    parts.push_back("outliers: runs beyond the quartiles' fences");
  }
  if (has("%ceil")) {
    parts.push_back("%ceil: the rate against this machine's ceiling");
  }
  if (has("meas/pred")) {
    parts.push_back("meas/pred: the median over the model's prediction");
  }
  if (has("faults")) {
    parts.push_back("faults: minor page faults of the median run");
  }
  if (noisy) {
    parts.push_back(fmt::format(
        "~ noisy: the interval is wider than \u00b1{:.0f} % of the median, or a run is a severe "
        "outlier",
        kNoisyHalfWidth * 100));
  }
  if (below) {
    parts.push_back("< below resolution: too short for the printed time's digits (see below)");
  }
  if (off_model) {
    parts.push_back("! more than twice off the model, either way");
  }
  if (hidden) {
    parts.push_back("more columns: --wide, and summary.md");
  }
  std::string text;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    text += parts[k] + (k + 1 < parts.size() ? "; " : ".");
  }
  return wrapped(text, width, "");
}

// The columns the terminal shows: the core ones, then each other one while the line fits
// (every one with --wide); a column that is "-" throughout says nothing. `hidden` tells
// whether a column with something to say was left out.
std::vector<bool> shown_columns(const std::vector<std::string>& head,
                                const std::vector<std::size_t>& widths,
                                const std::vector<bool>& empty, const TerminalLayout& layout,
                                bool& hidden) {
  auto index_of = [&](std::string_view name) {
    return static_cast<std::size_t>(std::find(head.begin(), head.end(), name) - head.begin());
  };
  std::vector<bool> show(head.size(), false);
  std::size_t used = 0;
  auto take = [&](std::size_t k) {
    used += (used == 0 ? 0 : 2) + widths[k];
    show[k] = true;
  };
  for (std::string_view name : kCoreColumns) {
    const bool always = name == "program" || name == "valid" || name == "median";
    if (const std::size_t k = index_of(name); k < head.size() && (always || !empty[k])) {
      take(k);
    }
  }
  hidden = false;
  for (std::string_view name : kExtraColumns) {
    if (const std::size_t k = index_of(name); k < head.size() && !empty[k]) {
      if (layout.wide || used + 2 + widths[k] <= layout.width) {
        take(k);
      } else {
        hidden = true;
      }
    }
  }
  return show;
}

// The shown columns of every row, text columns to the left and figures to the right.
std::string aligned_rows(const std::vector<std::vector<std::string>>& table,
                         const std::vector<bool>& show, const std::vector<std::size_t>& widths) {
  std::string out;
  for (const auto& row : table) {
    std::string line;
    for (std::size_t k = 0; k < row.size(); ++k) {
      if (!show[k]) {
        continue;
      }
      const std::string pad(widths[k] - display_width(row[k]), ' ');
      line += line.empty() ? "" : "  ";
      line += k < kTextColumns ? row[k] + pad : pad + row[k];
    }
    while (!line.empty() && line.back() == ' ') {
      line.pop_back();
    }
    out += line + "\n";
  }
  return out;
}

}  // namespace

std::string summary_text(const std::vector<Config>& configs, const std::vector<SummaryRow>& rows,
                         const TerminalLayout& layout) {
  const auto table =
      table_cells(configs, rows, layout.wide ? Layout::kTerminalWide : Layout::kTerminal);
  const std::vector<std::string>& head = table[0];
  std::vector<std::size_t> widths(head.size(), 0);
  std::vector<bool> empty(head.size(), true);  // "-" in every row
  for (std::size_t r = 0; r < table.size(); ++r) {
    for (std::size_t k = 0; k < table[r].size(); ++k) {
      widths[k] = std::max(widths[k], display_width(table[r][k]));
      if (r > 0 && table[r][k] != "-") {
        empty[k] = false;
      }
    }
  }
  bool hidden = false;
  const std::vector<bool> show = shown_columns(head, widths, empty, layout, hidden);
  auto index_of = [&](std::string_view name) {
    return static_cast<std::size_t>(std::find(head.begin(), head.end(), name) - head.begin());
  };
  std::string out;
  std::vector<std::string> shown;
  for (std::size_t k = 0; k < head.size(); ++k) {
    if (show[k]) {
      shown.push_back(head[k]);
    }
  }
  bool noisy = false;
  bool off_model = false;
  for (const SummaryRow& row : rows) {
    noisy = noisy || (row.noisy && row.stats.count > 0 && !row.below_resolution);
    off_model = off_model || (row.model && !row.model->explained && show[index_of("meas/pred")]);
  }
  const bool below =
      std::any_of(rows.begin(), rows.end(), [](const SummaryRow& r) { return r.below_resolution; });
  out += aligned_rows(table, show, widths);
  out += legend(shown, noisy, below, off_model, hidden, layout.width);
  for (const std::string& n : resolution_notes(configs, rows)) {
    out += "< " + terminal_text(n) + "\n";
  }
  const std::vector<std::string> fastest = fastest_lines(configs, rows);
  if (!fastest.empty()) {
    out += "Fastest at each size (the full ranking in report.md):\n";
    for (const std::string& line : fastest) {
      // Wrapped at blanks, its continuation indented under its first word.
      out += wrapped(terminal_text(line), layout.width, "    ").substr(2);
    }
  }
  return out;
}

}  // namespace ks::driver
