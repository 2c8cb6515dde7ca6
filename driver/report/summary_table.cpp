#include "driver/report/summary_table.h"

#include <cmath>

#include <fmt/format.h>

#include "driver/analysis/summary.h"
#include "driver/base/text.h"
#include "driver/plan/lists.h"
#include "driver/results/counters.h"

namespace ks::driver {
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

enum class Layout { kTerminal, kMarkdown };

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
    cells.insert(
        cells.end(),
        {outliers_text(row), row.printed_time ? human_seconds(row.process_median) : "-",
         rate_text(row.gb_per_s), rate_text(row.gops_per_s), ratio_estimate_text(row.speedup)});
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

// A variant within its group: the program with what sets it apart from the others there.
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

}  // namespace

std::vector<std::string> ranking_lines(const std::vector<Config>& configs,
                                       const std::vector<SummaryRow>& rows) {
  std::vector<std::string> lines;
  for (const Ranking& r : rank_variants(configs, rows)) {
    std::string line =
        fmt::format("{}: {} ran", r.group, variant_name(configs[rows[r.fastest].config]));
    for (std::size_t k = 0; k < r.others.size(); ++k) {
      const auto& [row, e] = r.others[k];
      line += k == 0 ? " " : "; ";
      line += ratio_estimate_text(e);
      line += fmt::format(" times faster than {}", variant_name(configs[rows[row].config]));
      if (!e.ci) {
        line += " (too few runs for an interval)";
      } else if (e.ci->low <= 1) {
        line += " (no clear difference)";
      }
    }
    lines.push_back(std::move(line));
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

std::string summary_text(const std::vector<Config>& configs, const std::vector<SummaryRow>& rows) {
  const auto table = table_cells(configs, rows, Layout::kTerminal);
  std::vector<std::size_t> widths(table[0].size(), 0);
  for (const auto& row : table) {
    for (std::size_t k = 0; k < row.size(); ++k) {
      widths[k] = std::max(widths[k], display_width(row[k]));
    }
  }
  std::string out;
  for (const auto& row : table) {
    std::string line;
    for (std::size_t k = 0; k < row.size(); ++k) {
      const std::string pad(widths[k] - display_width(row[k]), ' ');
      line += k < kTextColumns ? row[k] + pad : pad + row[k];
      line += k + 1 < row.size() ? "  " : "";
    }
    while (!line.empty() && line.back() == ' ') {
      line.pop_back();
    }
    out += line + "\n";
  }
  for (const std::string& n : resolution_notes(configs, rows)) {
    out += "< " + n + "\n";
  }
  const std::vector<std::string> ranking = ranking_lines(configs, rows);
  if (!ranking.empty()) {
    out += "Fastest at each size:\n";
    for (const std::string& line : ranking) {
      out += "  " + line + "\n";
    }
  }
  return out;
}

}  // namespace ks::driver
