// A schedule map as SVG: a grid of cells, or bars of consecutive iterations when it is wide.
#include <algorithm>
#include <map>

#include <fmt/format.h>

#include "driver/report/map_detail.h"
#include "driver/report/map_view.h"

namespace ks::driver {
using namespace map_detail;

namespace {

// A card's grid of cells is at most this wide (px), so that it fits a phone's screen.
constexpr long long kCardGrid = 340;

std::string xml_escape(const std::string& s) {
  std::string o;
  for (char c : s) {
    switch (c) {
      case '<':
        o += "&lt;";
        break;
      case '>':
        o += "&gt;";
        break;
      case '&':
        o += "&amp;";
        break;
      case '"':
        o += "&quot;";
        break;
      default:
        o += c;
    }
  }
  return o;
}

// The picture's frame and, outside a card, its title and rule.
std::string svg_head(const Trace& t, const std::string& title, bool card, long long width,
                     long long height) {
  std::string s = fmt::format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{}\" height=\"{}\" "
      "font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"100%\" height=\"100%\" "
      "fill=\"white\"/>\n",
      width, height);
  if (!card) {
    s += fmt::format("<text x=\"10\" y=\"20\" font-size=\"15\" font-weight=\"bold\">{}</text>\n",
                     xml_escape(title));
    s += fmt::format("<text x=\"10\" y=\"40\">rule: {}</text>\n", xml_escape(t.rule));
  }
  return s;
}

// Under the map from `y` down: each thread's value after the loop, main's after the region
// and, outside a card, the verdict; the picture closed.
std::string svg_tail(const Trace& t, bool card, long long y) {
  std::string s;
  for (const auto& [thread, value] : thread_values_in_order(t)) {
    s +=
        fmt::format("<text x=\"10\" y=\"{}\" fill=\"{}\">thread {} after the loop: {}= {}</text>\n",
                    y, fill(thread), thread, xml_escape(t.thread_value_label), value);
    y += 18;
  }
  if (t.outside) {
    s += fmt::format("<text x=\"10\" y=\"{}\">main after the region: {} = {}</text>\n", y,
                     xml_escape(t.outside_label), *t.outside);
    y += 18;
  }
  if (!card) {
    s +=
        fmt::format("<text x=\"10\" y=\"{}\" font-weight=\"bold\" fill=\"{}\">verdict: {}</text>\n",
                    y, t.problems.empty() ? "#1a7a1a" : "#c01010", xml_escape(verdict_line(t)));
  }
  return s + "</svg>\n";
}

// A wide map: a fixed width, each row's runs of consecutive iterations as bars without
// borders, an axis with a few iteration numbers.
std::string banded_svg(const Trace& t, const std::string& title, bool card) {
  const std::vector<int> rows = row_threads(t);
  const long long columns = column_count(t);
  const int left = card ? 70 : 90;
  const int top = card ? 16 : 60;
  const int row_height = 28;
  const int plot_width = card ? 320 : 1200;
  const double scale = static_cast<double>(plot_width) / static_cast<double>(columns);
  const int extra = static_cast<int>(t.thread_values.size()) + (t.outside ? 1 : 0) + 2;
  const auto text_width =
      card ? 0
           : static_cast<long long>(7 * std::max(t.rule.size() + 6, verdict_line(t).size() + 9) +
                                    20);
  const long long width = std::max<long long>(left + plot_width + 40, text_width);
  const long long height = top + static_cast<long long>(rows.size()) * row_height + 50 +
                           (extra - (card ? 1 : 0)) * 18 - (card ? 24 : 0);
  std::string s = svg_head(t, title, card, width, height);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const long long y = top + static_cast<long long>(r) * row_height;
    s += fmt::format("<text x=\"10\" y=\"{}\">{}</text>\n", y + row_height / 2 + 4,
                     rows[r] < 0 ? xml_escape(t.value_label) : fmt::format("thread {}", rows[r]));
    s += fmt::format("<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"#f2f2f2\"/>\n",
                     left, y + 2, plot_width, row_height - 4);
  }
  for (const Band& b : bands(t, rows)) {
    const double x = left + static_cast<double>(b.first) * scale;
    const double w = std::max(static_cast<double>(b.last - b.first + 1) * scale, 0.5);
    s += fmt::format("<rect x=\"{:.2f}\" y=\"{}\" width=\"{:.2f}\" height=\"{}\" fill=\"{}\"/>\n",
                     x, top + static_cast<long long>(b.row) * row_height + 2, w, row_height - 4,
                     fill(rows[b.row]));
  }
  const long long axis = top + static_cast<long long>(rows.size()) * row_height + 14;
  for (int k = 0; k <= 4; ++k) {
    const long long c = k == 4 ? columns - 1 : columns * k / 4;
    s += fmt::format("<text x=\"{:.2f}\" y=\"{}\" text-anchor=\"middle\">{}</text>\n",
                     left + (static_cast<double>(c) + 0.5) * scale, axis, c);
  }
  s += fmt::format("<text x=\"{}\" y=\"{}\" text-anchor=\"end\">iteration</text>\n", left - 14,
                   axis);
  return s + svg_tail(t, card, axis + 24);
}

// Where a block of the grid goes and how large its cells are.
struct BlockPlace {
  long long left;
  long long top;
  int cell;
};

// The columns [from, to) of the grid as one block: their names (when a cell has room for
// them), and for each row its name and a cell per column, coloured by its thread where it ran.
std::string grid_block(const Trace& t, const std::vector<int>& rows,
                       const std::map<std::pair<int, long long>, const Cell*>& at,
                       const BlockPlace& place, long long from, long long to) {
  const auto& esc = xml_escape;
  const int cell = place.cell;
  std::string s;
  if (cell >= 20) {
    for (long long c = from; c < to; ++c) {
      s += fmt::format("<text x=\"{}\" y=\"{}\" text-anchor=\"middle\">{}</text>\n",
                       place.left + (c - from) * cell + cell / 2, place.top - 6,
                       esc(column_name(t, c)));
    }
  }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const long long y = place.top + static_cast<long long>(r) * cell;
    s += fmt::format("<text x=\"10\" y=\"{}\">{}</text>\n", y + cell / 2 + 4,
                     rows[r] < 0 ? esc(t.value_label) : fmt::format("thread {}", rows[r]));
    for (long long c = from; c < to; ++c) {
      const auto it = at.find({rows[r], c});
      const long long x = place.left + (c - from) * cell;
      if (it == at.end()) {
        s += fmt::format(
            "<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"#f2f2f2\" "
            "stroke=\"#dddddd\"/>\n",
            x, y, cell, cell);
        continue;
      }
      s += fmt::format(
          "<rect class=\"cell\" x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"{}\" "
          "stroke=\"white\"/>\n",
          x, y, cell, cell, fill(rows[r]));
      const std::string text = cell_text(t, *it->second);
      if (!text.empty() && cell >= 20) {
        s +=
            fmt::format("<text x=\"{}\" y=\"{}\" text-anchor=\"middle\" fill=\"white\">{}</text>\n",
                        x + cell / 2, y + cell / 2 + 4, esc(text));
      }
    }
  }
  return s;
}

}  // namespace

std::string map_svg(const Trace& t, const std::string& title, bool card) {
  if (column_count(t) > kMapBandColumns) {
    return banded_svg(t, title, card);
  }
  const auto& esc = xml_escape;
  long long columns = std::max(t.columns, 1LL);
  for (const Cell& c : t.cells) {
    columns = std::max(columns, c.column + 1);
  }
  const std::vector<int> rows = row_threads(t);
  const int cell = columns > 100 ? 8 : (t.column_labels.empty() ? 34 : 64);
  // A card for a page: no title, rule or verdict (the page gives them once), and the columns in
  // blocks under each other, of equal length, as many as fit its width.
  const long long fit = card ? std::max<long long>(1, kCardGrid / cell) : columns;
  const long long blocks = (columns + fit - 1) / fit;
  const long long per_block = (columns + blocks - 1) / blocks;
  const int left = card ? 70 : 90;
  const int top = card ? 24 : 70;
  const long long block_height = static_cast<long long>(rows.size()) * cell + (cell >= 20 ? 22 : 6);
  const int extra = static_cast<int>(t.thread_values.size()) + (t.outside ? 1 : 0) + (card ? 0 : 3);
  const auto text_width =
      card ? 0
           : static_cast<long long>(7 * std::max({t.rule.size() + 6, verdict_line(t).size() + 9,
                                                  cell_key(t, rows).size()}) +
                                    20);
  const long long width =
      std::max<long long>({left + per_block * cell + 20, card ? 0 : 640, text_width});
  const long long height =
      top + blocks * block_height - (cell >= 20 ? 22 : 6) + (card ? 12 : 40) + extra * 18;
  std::string s = svg_head(t, title, card, width, height);
  if (t.column_labels.empty()) {
    s += fmt::format("<text x=\"10\" y=\"{}\" font-style=\"italic\">{}</text>\n", top - 6,
                     esc(x_label(t)));
  }
  std::map<std::pair<int, long long>, const Cell*> at;
  for (const Cell& c : t.cells) {
    at[{c.thread, c.column}] = &c;
  }
  for (long long b = 0; b < blocks; ++b) {
    const long long from = b * per_block;
    s += grid_block(t, rows, at, {.left = left, .top = top + b * block_height, .cell = cell}, from,
                    std::min(columns, from + per_block));
  }
  long long y = top + blocks * block_height - (cell >= 20 ? 22 : 6) + 24;
  if (!t.cells.empty() && !card) {
    s += fmt::format("<text x=\"10\" y=\"{}\" font-style=\"italic\">{}</text>\n", y,
                     esc(cell_key(t, rows)));
    y += 18;
  }
  return s + svg_tail(t, card, y);
}

}  // namespace ks::driver
