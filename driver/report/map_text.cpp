// A schedule map on the terminal: a table of cells (coloured on a terminal), or each row's runs
// of consecutive iterations when the map is wide.
#include <algorithm>
#include <map>

#include <fmt/format.h>

#include "driver/report/map_detail.h"
#include "driver/report/map_view.h"

namespace ks::driver {
using namespace map_detail;

namespace {

std::string range_text(const Band& b) {
  return b.first == b.last ? std::to_string(b.first) : fmt::format("{}-{}", b.first, b.last);
}

// A wide map on the terminal: each row's runs of consecutive iterations.
std::string banded_text(const Trace& t) {
  const std::vector<int> rows = row_threads(t);
  const std::vector<Band> all = bands(t, rows);
  std::string out = fmt::format("{} iterations in {} runs of consecutive iterations:\n",
                                column_count(t), all.size());
  constexpr std::size_t kShown = 8;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    std::string line = rows[r] < 0 ? fmt::format("{:>10}", t.value_label)
                                   : fmt::format("{:>10}", fmt::format("thread {}", rows[r]));
    std::size_t shown = 0, runs = 0;
    long long items = 0;
    for (const Band& b : all) {
      if (b.row != r) {
        continue;
      }
      ++runs;
      items += b.last - b.first + 1;
      if (++shown <= kShown) {
        line += " " + range_text(b);
      }
    }
    if (runs > kShown) {
      line += fmt::format(" ... ({} runs in all)", runs);
    }
    out += fmt::format("{}  ({} iterations)\n", line, items);
  }
  return out;
}

// What follows the cells: values after the loop, main's value, the verdict.
std::string map_footer(const Trace& t) {
  std::string out;
  for (const auto& [thread, value] : thread_values_in_order(t)) {
    out += fmt::format("thread {} after the loop: {}= {}\n", thread, t.thread_value_label, value);
  }
  if (t.outside) {
    out += fmt::format("main after the region: {} = {}\n", t.outside_label, *t.outside);
  }
  out += "verdict: " + verdict_line(t) + "\n";
  for (std::size_t i = 1; i < t.problems.size() && i < 8; ++i) {
    out += "  also: " + t.problems[i] + "\n";
  }
  return out;
}

}  // namespace

std::string map_text(const Trace& t, const std::string& title, bool colour) {
  std::string out = title + "\nrule: " + t.rule + "\n";
  if (t.refused) {
    return out + "verdict: " + verdict_line(t) + "\n";
  }
  if (column_count(t) > kMapBandColumns) {
    return out + banded_text(t) + map_footer(t);
  }
  std::map<std::pair<int, long long>, const Cell*> at;
  long long columns = t.columns;
  for (const Cell& c : t.cells) {
    at[{c.thread, c.column}] = &c;
    columns = std::max(columns, c.column + 1);
  }
  std::size_t width = 2;
  for (long long c = 0; c < columns; ++c) {
    width = std::max(width, column_name(t, c).size());
  }
  for (const Cell& c : t.cells) {
    width = std::max(width, cell_text(t, c).size());
  }
  const std::vector<int> rows = row_threads(t);
  if (t.cells.empty()) {
    out += "(no iteration ran)\n";
  }
  const std::size_t per_line = std::max<std::size_t>(1, 96 / (width + 1));
  for (long long from = 0; from < columns; from += static_cast<long long>(per_line)) {
    const long long to = std::min(columns, from + static_cast<long long>(per_line));
    out += fmt::format("{:>10}", t.column_labels.empty() ? "iteration" : "");
    for (long long c = from; c < to; ++c) {
      out += fmt::format(" {:>{}}", column_name(t, c), width);
    }
    out += "\n";
    for (int thread : rows) {
      out += thread < 0 ? fmt::format("{:>10}", t.value_label)
                        : fmt::format("{:>10}", fmt::format("thread {}", thread));
      for (long long c = from; c < to; ++c) {
        const auto it = at.find({thread, c});
        if (it == at.end()) {
          out += fmt::format(" {:>{}}", colour ? "" : ".", width);
          continue;
        }
        std::string text = cell_text(t, *it->second);
        if (!colour && text.empty()) {
          text = std::string(width, '#');
        }
        if (colour) {
          out += fmt::format(" \033[48;5;{}m\033[97m{:>{}}\033[0m", ansi_background(thread), text,
                             width);
        } else {
          out += fmt::format(" {:>{}}", text, width);
        }
      }
      out += "\n";
    }
  }
  if (!t.cells.empty()) {
    out += "(" + cell_key(t, rows) + ")\n";
  }
  return out + map_footer(t);
}

}  // namespace ks::driver
