#include "driver/summary_table.h"

#include <cmath>

#include <fmt/format.h>

#include "driver/lists.h"
#include "driver/run_counters.h"
#include "driver/text.h"

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

std::vector<std::vector<std::string>> table_cells(const std::vector<Config>& configs,
                                                  const std::vector<SummaryRow>& rows) {
  std::vector<std::vector<std::string>> table;
  table.push_back({"program", "size", "T", "schedule", "valid", "median", "min", "max", "sd",
                   "GB/s", "Gop/s", "speedup", "faults", "%ceil", "meas/pred"});
  for (const SummaryRow& row : rows) {
    const Config& c = configs[row.config];
    std::string size = c.size ? size_label(*c.size) : "-";
    if (c.chunk) {
      size += fmt::format(" c{}", *c.chunk);
    }
    const bool stats = row.stats.count > 0;
    table.push_back(
        {std::string(c.program->name), size, c.threads > 0 ? std::to_string(c.threads) : "-",
         c.schedule.empty() ? "-" : c.schedule, fmt::format("{}/{}", row.valid, row.runs),
         stats ? human_seconds(row.stats.median) + (row.printed_time ? "" : " (wall)") +
                     (row.noisy ? " ~" : "")
               : "-",
         stats ? human_seconds(row.stats.min) : "-", stats ? human_seconds(row.stats.max) : "-",
         stats ? human_seconds(row.stats.stddev) : "-",
         std::isnan(row.gb_per_s) ? "-" : fmt::format("{:.3g}", row.gb_per_s),
         std::isnan(row.gops_per_s) ? "-" : fmt::format("{:.3g}", row.gops_per_s),
         std::isnan(row.speedup) ? "-" : fmt::format("{:.2f}", row.speedup),
         count_text(row.counters[kMinorFaultsCounter]),
         row.model ? fmt::format("{:.0f}%", row.model->percent_of_ceiling) : "-",
         row.model ? fmt::format("{:.2f}{}", row.model->ratio, row.model->explained ? "" : " !")
                   : "-"});
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

std::string summary_markdown(const std::vector<Config>& configs,
                             const std::vector<SummaryRow>& rows) {
  const auto table = table_cells(configs, rows);
  std::string out;
  for (std::size_t r = 0; r < table.size(); ++r) {
    out += "|";
    for (const std::string& cell : table[r]) {
      out += " " + cell + " |";
    }
    out += "\n";
    if (r == 0) {
      out += "|";
      for (std::size_t k = 0; k < table[r].size(); ++k) {
        out += k < 4 ? "---|" : "---:|";
      }
      out += "\n";
    }
  }
  out +=
      "\nTimes are the medians of the valid runs of the time each program prints (its "
      "kernel alone), or of the whole process where marked (wall). Speedup: against the "
      "same program on one thread, else the family's sequential baseline at the same "
      "size. ~ marks a noisy configuration: its slowest run took more than twice the median, "
      "or its standard deviation is above a quarter of the median. Faults: the median run's "
      "minor page faults (the whole process). %ceil: the kernel's rate against the machine's "
      "ceiling for it (bandwidth, or scalar throughput for the matrix products); meas/pred: the "
      "measured median over the model's predicted time, ! where it is outside 0.5 to 2.\n";
  return out;
}

std::string summary_text(const std::vector<Config>& configs, const std::vector<SummaryRow>& rows) {
  const auto table = table_cells(configs, rows);
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
      line += k < 4 ? row[k] + pad : pad + row[k];
      line += k + 1 < row.size() ? "  " : "";
    }
    while (!line.empty() && line.back() == ' ') {
      line.pop_back();
    }
    out += line + "\n";
  }
  return out;
}

}  // namespace ks::driver
