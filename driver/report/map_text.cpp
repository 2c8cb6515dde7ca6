// A schedule map on the terminal: a table of cells (coloured on a terminal), or each row's runs
// of consecutive iterations when the map is wide.
#include <algorithm>
#include <map>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "driver/report/map_detail.h"
#include "driver/report/map_view.h"

namespace ks::driver {
using namespace map_detail;

namespace {

// A map fits a terminal of this many columns.
constexpr std::size_t kTextColumns = 80;

// `text` after `lead`, broken at spaces into lines of at most kTextColumns, the later ones
// indented under the first's text.
std::string wrapped(const std::string& lead, const std::string& text) {
  const std::string indent(lead.size(), ' ');
  std::string out;
  std::string line = lead;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find(' ', at);
    if (end == std::string::npos) {
      end = text.size();
    }
    const std::string word = text.substr(at, end - at);
    at = end + 1;
    if (line.size() > indent.size() && line.size() + 1 + word.size() > kTextColumns) {
      out += line + "\n";
      line = indent;
    }
    line += (line.size() > indent.size() ? " " : "") + word;
  }
  return out + line + "\n";
}

std::string range_text(const Band& b) {
  return b.first == b.last ? std::to_string(b.first) : fmt::format("{}-{}", b.first, b.last);
}

// A wide map on the terminal: each row's runs of consecutive iterations.
std::string banded_text(const Trace& t) {
  const std::vector<int> rows = row_threads(t);
  const std::vector<Band> all = bands(t, rows);
  std::string out = fmt::format("{} iterations in {} runs of consecutive iterations:\n",
                                column_count(t), all.size());
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::string name = rows[r] < 0 ? fmt::format("{:>10}", t.value_label)
                                         : fmt::format("{:>10}", fmt::format("thread {}", rows[r]));
    std::vector<std::string> ranges;
    long long items = 0;
    for (const Band& b : all) {
      if (b.row == r) {
        ranges.push_back(range_text(b));
        items += b.last - b.first + 1;
      }
    }
    // The first runs, as many as fit on the line with how many there are in all.
    const std::string end = fmt::format("  ({} iterations)", items);
    const std::string more = fmt::format(" ... ({} runs in all)", ranges.size());
    std::string line = name;
    std::size_t shown = 0;
    for (; shown < ranges.size(); ++shown) {
      const std::size_t rest = shown + 1 == ranges.size() ? end.size() : more.size() + end.size();
      if (shown > 0 && line.size() + 1 + ranges[shown].size() + rest > kTextColumns) {
        break;
      }
      line += " " + ranges[shown];
    }
    out += line + (shown < ranges.size() ? more : "") + end + "\n";
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
  out += wrapped("verdict: ", verdict_line(t));
  for (std::size_t i = 1; i < t.problems.size() && i < 8; ++i) {
    out += wrapped("  also: ", t.problems[i]);
  }
  return out;
}

}  // namespace

std::string map_text(const Trace& t, const std::string& title, bool colour) {
  std::string out = title + "\n" + wrapped("rule: ", t.rule);
  if (t.refused) {
    return out + wrapped("verdict: ", verdict_line(t));
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
  // The rows' names, then as many columns as fit; a longer map goes on in blocks of equal
  // length under each other.
  std::size_t label = t.column_labels.empty() ? std::string_view("iteration").size() : 0;
  for (int thread : rows) {
    label = std::max(label,
                     thread < 0 ? t.value_label.size() : fmt::format("thread {}", thread).size());
  }
  const std::size_t fit =
      std::max<std::size_t>(1, (kTextColumns - std::min(label, kTextColumns / 2)) / (width + 1));
  const auto total = static_cast<std::size_t>(columns);
  const std::size_t blocks = (total + fit - 1) / fit;
  const std::size_t per_line = blocks == 0 ? fit : (total + blocks - 1) / blocks;
  for (long long from = 0; from < columns; from += static_cast<long long>(per_line)) {
    const long long to = std::min(columns, from + static_cast<long long>(per_line));
    out += fmt::format("{:>{}}", t.column_labels.empty() ? "iteration" : "", label);
    for (long long c = from; c < to; ++c) {
      out += fmt::format(" {:>{}}", column_name(t, c), width);
    }
    out += "\n";
    for (int thread : rows) {
      out += thread < 0 ? fmt::format("{:>{}}", t.value_label, label)
                        : fmt::format("{:>{}}", fmt::format("thread {}", thread), label);
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
    out += wrapped("", "(" + cell_key(t, rows) + ")");
  }
  return out + map_footer(t);
}

}  // namespace ks::driver
