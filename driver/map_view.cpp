#include "driver/map_view.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>

#include <fmt/format.h>

#include "driver/exporters.h"
#include "driver/files.h"
#include "driver/plots.h"
#include "textmatch/output_match.h"

namespace ks::driver {

using ks::visible;
namespace {

// Thread colours, as RGB for SVG and PNG fills and as the nearest of the terminal's 256: eight
// chosen ones, then hues spread by the golden angle, so that the threads of a team larger than
// eight still differ; all dark enough for white text.
struct Rgb {
  int r, g, b;
};
constexpr Rgb kFirst[] = {{0x2f, 0x6f, 0xdf}, {0xe0, 0x70, 0x20}, {0x2a, 0x9a, 0x3a},
                          {0xa0, 0x3a, 0x9a}, {0xb8, 0xa0, 0x20}, {0x20, 0x8a, 0x8a},
                          {0xd0, 0x2a, 0x2a}, {0x5a, 0x5a, 0xcf}};
constexpr int kAnsi[] = {33, 166, 34, 127, 136, 30, 160, 61};
constexpr Rgb kNoThread = {0x88, 0x88, 0x88};

Rgb thread_rgb(int thread) {
  if (thread < 0) {
    return kNoThread;
  }
  if (thread < static_cast<int>(std::size(kFirst))) {
    return kFirst[thread];
  }
  // HSL with saturation 0.65 and lightness alternating 0.34 and 0.42.
  const double hue = std::fmod(15.0 + 137.507764 * (thread - 8), 360.0) / 60.0;
  const double lightness = thread % 2 == 0 ? 0.34 : 0.42;
  const double chroma = (1 - std::fabs(2 * lightness - 1)) * 0.65;
  const double second = chroma * (1 - std::fabs(std::fmod(hue, 2.0) - 1));
  const double base = lightness - chroma / 2;
  double r = 0, g = 0, b = 0;
  switch (static_cast<int>(hue)) {
    case 0:
      r = chroma, g = second;
      break;
    case 1:
      r = second, g = chroma;
      break;
    case 2:
      g = chroma, b = second;
      break;
    case 3:
      g = second, b = chroma;
      break;
    case 4:
      r = second, b = chroma;
      break;
    default:
      r = chroma, b = second;
      break;
  }
  auto byte = [base](double v) { return static_cast<int>(std::lround((v + base) * 255)); };
  return {byte(r), byte(g), byte(b)};
}

std::string fill(int thread) {
  const Rgb c = thread_rgb(thread);
  return fmt::format("#{:02x}{:02x}{:02x}", c.r, c.g, c.b);
}

int ansi_background(int thread) {
  if (thread >= 0 && thread < static_cast<int>(std::size(kAnsi))) {
    return kAnsi[thread];
  }
  const Rgb c = thread_rgb(thread);
  auto level = [](int v) { return static_cast<int>(std::lround(v / 255.0 * 5)); };
  return 16 + 36 * level(c.r) + 6 * level(c.g) + level(c.b);
}

// The per-thread values after the loop, in thread order (the program prints them as the threads
// reach that line).
std::vector<std::pair<int, long long>> thread_values_in_order(const Trace& t) {
  std::vector<std::pair<int, long long>> values = t.thread_values;
  std::stable_sort(values.begin(), values.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return values;
}

std::string column_name(const Trace& t, long long c) {
  if (!t.column_labels.empty() && c >= 0 && c < static_cast<long long>(t.column_labels.size())) {
    return t.column_labels[static_cast<std::size_t>(c)];
  }
  return std::to_string(c);
}

// Rows of the map: one per thread (or one "all" row when the program does not say).
std::vector<int> row_threads(const Trace& t) {
  bool unknown =
      std::any_of(t.cells.begin(), t.cells.end(), [](const Cell& c) { return c.thread < 0; });
  if (unknown) {
    return {-1};
  }
  std::vector<int> rows;
  for (int i = 0; i < std::max(t.team, 1); ++i) {
    rows.push_back(i);
  }
  for (const Cell& c : t.cells) {
    if (std::find(rows.begin(), rows.end(), c.thread) == rows.end()) {
      rows.push_back(c.thread);
    }
  }
  return rows;
}

long long column_count(const Trace& t) {
  long long columns = std::max(t.columns, 1LL);
  for (const Cell& c : t.cells) {
    columns = std::max(columns, c.column + 1);
  }
  return columns;
}

// A run of consecutive columns one row's thread ran: [first, last].
struct Band {
  std::size_t row = 0;
  long long first = 0;
  long long last = 0;
};

// Every row's runs of consecutive columns, row by row, left to right.
std::vector<Band> bands(const Trace& t, const std::vector<int>& rows) {
  std::map<int, std::size_t> row_of;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    row_of.emplace(rows[r], r);
  }
  std::vector<std::vector<long long>> columns(rows.size());
  for (const Cell& c : t.cells) {
    if (const auto it = row_of.find(c.thread); it != row_of.end()) {
      columns[it->second].push_back(c.column);
    }
  }
  std::vector<Band> out;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    std::sort(columns[r].begin(), columns[r].end());
    for (long long c : columns[r]) {
      if (!out.empty() && out.back().row == r && c <= out.back().last + 1) {
        out.back().last = std::max(out.back().last, c);
      } else {
        out.push_back({r, c, c});
      }
    }
  }
  return out;
}

std::string range_text(const Band& b) {
  return b.first == b.last ? std::to_string(b.first) : fmt::format("{}-{}", b.first, b.last);
}

std::string cell_text(const Trace& t, const Cell& c) {
  if (c.value) {
    return std::to_string(*c.value);
  }
  if (!t.column_labels.empty()) {
    return "#" + std::to_string(c.order + 1);  // the item's place in the output
  }
  return "";
}

// What the cells show, for the key under a map.
std::string cell_key(const Trace& t, const std::vector<int>& rows) {
  const bool values = std::any_of(t.cells.begin(), t.cells.end(),
                                  [](const Cell& c) { return c.value.has_value(); });
  if (values && !rows.empty() && rows.front() < 0) {
    return fmt::format("cells: {} as the program printed it, by iteration", t.value_label);
  }
  if (values) {
    return fmt::format("cells: the thread's {} after the iteration", t.value_label);
  }
  if (!t.column_labels.empty()) {
    return "cells: #k is the item's place in the output (#1 was printed first)";
  }
  return "a filled cell: the thread ran that iteration";
}

std::string x_label(const Trace& t) {
  return t.column_labels.empty() ? "iteration" : "what each thread printed";
}

}  // namespace

std::string verdict_line(const Trace& t) {
  if (t.problems.empty()) {
    return t.refused ? "refused its command line, as it should (" + visible(t.refusal) + ")"
                     : "follows the rule";
  }
  std::string line = "BREAKS THE RULE: " + t.problems.front();
  if (t.problems.size() > 1) {
    line += fmt::format(" (and {} more)", t.problems.size() - 1);
  }
  return line;
}

namespace {

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

namespace {

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

// A wide map: a fixed width, each row's runs of consecutive iterations as bars without
// borders, an axis with a few iteration numbers.
std::string banded_svg(const Trace& t, const std::string& title) {
  const std::vector<int> rows = row_threads(t);
  const long long columns = column_count(t);
  const int left = 90;
  const int top = 60;
  const int row_height = 28;
  const int plot_width = 1200;
  const double scale = static_cast<double>(plot_width) / static_cast<double>(columns);
  const int extra = static_cast<int>(t.thread_values.size()) + (t.outside ? 1 : 0) + 2;
  const auto text_width =
      static_cast<long long>(7 * std::max(t.rule.size() + 6, verdict_line(t).size() + 9) + 20);
  const long long width = std::max<long long>(left + plot_width + 40, text_width);
  const long long height = top + static_cast<long long>(rows.size()) * row_height + 50 + extra * 18;
  std::string s = fmt::format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{}\" height=\"{}\" "
      "font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"100%\" height=\"100%\" "
      "fill=\"white\"/>\n",
      width, height);
  s += fmt::format("<text x=\"10\" y=\"20\" font-size=\"15\" font-weight=\"bold\">{}</text>\n",
                   xml_escape(title));
  s += fmt::format("<text x=\"10\" y=\"40\">rule: {}</text>\n", xml_escape(t.rule));
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
  long long y = axis + 24;
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
  s += fmt::format("<text x=\"10\" y=\"{}\" font-weight=\"bold\" fill=\"{}\">verdict: {}</text>\n",
                   y, t.problems.empty() ? "#1a7a1a" : "#c01010", xml_escape(verdict_line(t)));
  return s + "</svg>\n";
}

}  // namespace

std::string map_svg(const Trace& t, const std::string& title) {
  if (column_count(t) > kMapBandColumns) {
    return banded_svg(t, title);
  }
  const auto& esc = xml_escape;
  long long columns = std::max(t.columns, 1LL);
  for (const Cell& c : t.cells) {
    columns = std::max(columns, c.column + 1);
  }
  const std::vector<int> rows = row_threads(t);
  const int cell = columns > 100 ? 8 : (t.column_labels.empty() ? 34 : 64);
  const int left = 90;
  const int top = 70;
  const int extra = static_cast<int>(t.thread_values.size()) + (t.outside ? 1 : 0) + 3;
  const auto text_width = static_cast<long long>(
      7 * std::max({t.rule.size() + 6, verdict_line(t).size() + 9, cell_key(t, rows).size()}) + 20);
  const long long width = std::max<long long>({left + columns * cell + 20, 640, text_width});
  const long long height = top + static_cast<long long>(rows.size()) * cell + 40 + extra * 18;
  std::string s = fmt::format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{}\" height=\"{}\" "
      "font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"100%\" height=\"100%\" "
      "fill=\"white\"/>\n",
      width, height);
  s += fmt::format("<text x=\"10\" y=\"20\" font-size=\"15\" font-weight=\"bold\">{}</text>\n",
                   esc(title));
  s += fmt::format("<text x=\"10\" y=\"40\">rule: {}</text>\n", esc(t.rule));
  if (t.column_labels.empty()) {
    s += fmt::format("<text x=\"10\" y=\"{}\" font-style=\"italic\">{}</text>\n", top - 6,
                     esc(x_label(t)));
  }
  if (cell >= 20) {
    for (long long c = 0; c < columns; ++c) {
      s += fmt::format("<text x=\"{}\" y=\"{}\" text-anchor=\"middle\">{}</text>\n",
                       left + c * cell + cell / 2, top - 6, esc(column_name(t, c)));
    }
  }
  std::map<std::pair<int, long long>, const Cell*> at;
  for (const Cell& c : t.cells) {
    at[{c.thread, c.column}] = &c;
  }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const long long y = top + static_cast<long long>(r) * cell;
    s += fmt::format("<text x=\"10\" y=\"{}\">{}</text>\n", y + cell / 2 + 4,
                     rows[r] < 0 ? esc(t.value_label) : fmt::format("thread {}", rows[r]));
    for (long long c = 0; c < columns; ++c) {
      const auto it = at.find({rows[r], c});
      const long long x = left + c * cell;
      if (it == at.end()) {
        s += fmt::format(
            "<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"#f2f2f2\" "
            "stroke=\"#dddddd\"/>\n",
            x, y, cell, cell);
        continue;
      }
      s += fmt::format(
          "<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"{}\" stroke=\"white\"/>\n", x,
          y, cell, cell, fill(rows[r]));
      const std::string text = cell_text(t, *it->second);
      if (!text.empty() && cell >= 20) {
        s +=
            fmt::format("<text x=\"{}\" y=\"{}\" text-anchor=\"middle\" fill=\"white\">{}</text>\n",
                        x + cell / 2, y + cell / 2 + 4, esc(text));
      }
    }
  }
  long long y = top + static_cast<long long>(rows.size()) * cell + 24;
  if (!t.cells.empty()) {
    s += fmt::format("<text x=\"10\" y=\"{}\" font-style=\"italic\">{}</text>\n", y,
                     esc(cell_key(t, rows)));
    y += 18;
  }
  for (const auto& [thread, value] : thread_values_in_order(t)) {
    s +=
        fmt::format("<text x=\"10\" y=\"{}\" fill=\"{}\">thread {} after the loop: {}= {}</text>\n",
                    y, fill(thread), thread, esc(t.thread_value_label), value);
    y += 18;
  }
  if (t.outside) {
    s += fmt::format("<text x=\"10\" y=\"{}\">main after the region: {} = {}</text>\n", y,
                     esc(t.outside_label), *t.outside);
    y += 18;
  }
  s += fmt::format("<text x=\"10\" y=\"{}\" font-weight=\"bold\" fill=\"{}\">verdict: {}</text>\n",
                   y, t.problems.empty() ? "#1a7a1a" : "#c01010", esc(verdict_line(t)));
  return s + "</svg>\n";
}

std::string map_csv(const Trace& t) {
  std::string out = "order,thread,column,label,value\n";
  for (const Cell& c : t.cells) {
    out +=
        fmt::format("{},{},{},{},{}\n", c.order + 1, c.thread < 0 ? "" : std::to_string(c.thread),
                    c.column, column_name(t, c.column), c.value ? std::to_string(*c.value) : "");
  }
  return out;
}

std::string map_gnuplot_data(const Trace& t) {
  const std::vector<int> rows = row_threads(t);
  if (column_count(t) > kMapBandColumns) {
    std::string out = "# centre row half-width colour\n";
    for (const Band& b : bands(t, rows)) {
      const Rgb rgb = thread_rgb(rows[b.row]);
      out += fmt::format("{} {} {} {}\n", static_cast<double>(b.first + b.last) / 2, b.row,
                         static_cast<double>(b.last - b.first + 1) / 2,
                         (rgb.r << 16) | (rgb.g << 8) | rgb.b);
    }
    return out;
  }
  std::string out = "# column row colour label\n";
  for (const Cell& c : t.cells) {
    const auto row = std::find(rows.begin(), rows.end(), c.thread) - rows.begin();
    std::string label = cell_text(t, c);
    const Rgb rgb = thread_rgb(c.thread);
    out += fmt::format("{} {} {} \"{}\"\n", c.column, row, (rgb.r << 16) | (rgb.g << 8) | rgb.b,
                       label.empty() ? " " : label);
  }
  return out;
}

std::string map_gnuplot_script(const Trace& t, const std::string& title, const std::string& stem) {
  auto quote = [](const std::string& s) {
    std::string q = "'";
    for (char c : s) {
      q += c == '\'' ? std::string("''") : std::string(1, c);
    }
    return q + "'";
  };
  // A double-quoted gnuplot string takes \\n for the line break.
  auto double_quote = [](const std::string& text) {
    std::string q = "\"";
    for (char c : text) {
      q += c == '\n'                 ? std::string("\\n")
           : (c == '"' || c == '\\') ? std::string("\\") + c
                                     : std::string(1, c);
    }
    return q + "\"";
  };
  const std::vector<int> rows = row_threads(t);
  long long columns = std::max(t.columns, 1LL);
  for (const Cell& c : t.cells) {
    columns = std::max(columns, c.column + 1);
  }
  std::string ytics;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    ytics += fmt::format("{}{} {}", r == 0 ? "" : ", ",
                         quote(rows[r] < 0 ? t.value_label : fmt::format("thread {}", rows[r])), r);
  }
  std::string xtics;
  if (!t.column_labels.empty()) {
    for (std::size_t c = 0; c < t.column_labels.size(); ++c) {
      xtics += fmt::format("{}{} {}", c == 0 ? "" : ", ", quote(t.column_labels[c]), c);
    }
  }
  // Under the map: the key to the cells, each thread's value after the loop in thread order
  // (in its colour), and main's value after the region, which is what the demonstration shows.
  struct Line {
    std::string text;
    std::string colour;
    bool bold = false;
  };
  std::vector<Line> lines = {{cell_key(t, rows), "#333333"}};
  for (const auto& [thread, value] : thread_values_in_order(t)) {
    lines.push_back(
        {fmt::format("thread {} after the loop: {}= {}", thread, t.thread_value_label, value),
         fill(thread)});
  }
  if (t.outside) {
    lines.push_back({fmt::format("main after the region: {} = {}", t.outside_label, *t.outside),
                     "#000000", true});
  }
  const bool banded = columns > kMapBandColumns;
  constexpr double kLineStep = 1.3;  // in character heights
  const long long width = std::clamp<long long>(120 + columns * 36, 520, 1600);
  const auto height = static_cast<long long>(170 + static_cast<double>(rows.size()) * 36 +
                                             static_cast<double>(lines.size()) * kLineStep * 15);
  std::string s;
  s += fmt::format("set terminal pngcairo size {},{} noenhanced font 'sans,9'\n", width, height);
  s += "set output " + quote(stem + ".png.part") + "\n";
  s += "set title " + double_quote(title + "\n" + verdict_line(t)) + "\n";
  s +=
      fmt::format("set xrange [-0.5:{}.5]\nset yrange [{}.5:-0.5]\n", columns - 1, rows.size() - 1);
  s += "set xlabel " + quote(x_label(t)) + "\n";
  s += "set ylabel " + quote(rows.front() < 0 ? "" : "thread") + "\n";
  s += "set ytics (" + ytics + ")\n";
  s += xtics.empty() ? (columns <= 40 ? "set xtics 1\n" : "set xtics autofreq\n")
                     : "set xtics (" + xtics + ")\n";
  s += "set xtics scale 0\nset ytics scale 0\nunset key\n";
  s += fmt::format("set bmargin {:.1f}\n", 4.5 + kLineStep * static_cast<double>(lines.size()));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    s += fmt::format(
        "set label {} {} at graph 0, graph 0 offset character -6, character {:.1f} left tc rgb "
        "'{}'{}\n",
        i + 1, double_quote(lines[i].text), -4.0 - kLineStep * static_cast<double>(i),
        lines[i].colour, lines[i].bold ? " font 'sans:Bold,9'" : "");
  }
  const std::string data = quote(stem + ".dat");
  if (banded) {
    // Bars without borders: at this width a border would cover the bar.
    s += "set style fill solid 1.0 noborder\n";
    s += "plot " + data + " using 1:2:3:(0.4):4 with boxxyerror lc rgb variable\n";
  } else {
    s += "set style fill solid 0.95 border rgb 'white'\n";
    s += "plot " + data + " using 1:2:(0.5):(0.5):3 with boxxyerror lc rgb variable, \\\n     " +
         data + " using 1:2:4 with labels tc rgb 'white'\n";
  }
  return s + "unset output\n";
}

nlohmann::json map_json(const Trace& t, const std::string& program, const RunSpec& spec) {
  nlohmann::json j;
  j["program"] = program;
  j["args"] = spec.args;
  j["threads"] = t.team;
  j["rule"] = t.rule;
  j["follows_rule"] = t.problems.empty();
  j["problems"] = t.problems;
  j["refused"] = t.refused;
  j["columns"] = t.columns;
  j["column_labels"] = t.column_labels;
  nlohmann::json cells = nlohmann::json::array();
  for (const Cell& c : t.cells) {
    cells.push_back({{"order", c.order + 1},
                     {"thread", c.thread < 0 ? nlohmann::json(nullptr) : nlohmann::json(c.thread)},
                     {"column", c.column},
                     {"value", c.value ? nlohmann::json(*c.value) : nlohmann::json(nullptr)}});
  }
  j["cells"] = cells;
  // Per thread: its iterations in the order it ran them.
  nlohmann::json per = nlohmann::json::object();
  for (const Cell& c : t.cells) {
    if (c.thread >= 0) {
      per[std::to_string(c.thread)].push_back(c.column);
    }
  }
  j["per_thread"] = per;
  nlohmann::json tv = nlohmann::json::array();
  for (const auto& [thread, value] : t.thread_values) {
    tv.push_back({{"thread", thread}, {"value", value}});
  }
  j["thread_values"] = tv;
  j["outside"] = t.outside ? nlohmann::json(*t.outside) : nlohmann::json(nullptr);
  return j;
}

std::string map_title(const ProgramInfo& p, const RunSpec& spec) {
  std::string title(p.name);
  for (const std::string& a : spec.args) {
    title += " " + a;
  }
  return title + fmt::format(", T={}", spec.threads);
}

std::string map_stem(const Config& c) {
  return fmt::format("{}-T{}", c.program->name, c.threads);
}

Exported write_map_files(const std::string& dir, const std::string& stem, const ProgramInfo& p,
                         const RunSpec& spec, const Trace& trace) {
  Exported e;
  const std::string title = map_title(p, spec);
  e.write(dir, stem + ".svg", map_svg(trace, title));
  e.write(dir, stem + ".csv", map_csv(trace));
  e.write(dir, stem + ".json",
          map_json(trace, std::string(p.name), spec)
                  .dump(2, ' ', false, nlohmann::json::error_handler_t::replace) +
              "\n");
  if (trace.refused || trace.cells.empty()) {
    return e;
  }
  const std::string gnuplot = find_gnuplot();
  if (gnuplot.empty()) {
    e.notice = "gnuplot not found: maps drawn as SVG only (install gnuplot-nox for PNG)";
    return e;
  }
  const std::string abs_dir = std::filesystem::absolute(dir).string();
  const std::size_t failures = e.failed.size();
  e.write(abs_dir, stem + ".dat", map_gnuplot_data(trace));
  e.write(abs_dir, stem + ".gp", map_gnuplot_script(trace, title, stem));
  if (e.failed.size() != failures) {
    return e;
  }
  const std::string problem = run_gnuplot(gnuplot, abs_dir + "/" + stem + ".gp", abs_dir);
  std::error_code ec;
  if (problem.empty()) {
    std::filesystem::rename(abs_dir + "/" + stem + ".png.part", abs_dir + "/" + stem + ".png", ec);
  }
  if (!problem.empty() || ec) {
    std::filesystem::remove(abs_dir + "/" + stem + ".png.part", ec);
    e.failed.push_back(fmt::format("cannot draw {}/{}.png: {}", dir, stem,
                                   problem.empty() ? ec.message() : problem));
  } else {
    e.files.push_back(stem + ".png");
  }
  return e;
}

// A tour's maps: one per demonstration configuration, from its last run. The first notice
// stands for all.
Exported write_maps(const std::string& dir, const ResultSet& results) {
  Exported exported;
  if (results.maps.empty()) {
    return exported;
  }
  create_folder(dir + "/maps");
  for (const DemoMap& m : results.maps) {
    const Config& c = results.configs[m.config];
    exported.add(write_map_files(dir + "/maps", map_stem(c), *c.program, c.spec(), m.trace),
                 "maps/");
  }
  return exported;
}

}  // namespace ks::driver
