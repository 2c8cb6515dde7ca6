// The layout every drawing of a schedule map shares: colours, rows, columns, bands, cells, and
// the verdict line.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <map>

#include <fmt/format.h>

#include "driver/report/map_detail.h"
#include "driver/report/map_view.h"
#include "textmatch/output_match.h"

namespace ks::driver {

using ks::visible;

namespace map_detail {
namespace {

constexpr Rgb kFirst[] = {{0x2f, 0x6f, 0xdf}, {0xe0, 0x70, 0x20}, {0x2a, 0x9a, 0x3a},
                          {0xa0, 0x3a, 0x9a}, {0xb8, 0xa0, 0x20}, {0x20, 0x8a, 0x8a},
                          {0xd0, 0x2a, 0x2a}, {0x5a, 0x5a, 0xcf}};
constexpr int kAnsi[] = {33, 166, 34, 127, 136, 30, 160, 61};
constexpr Rgb kNoThread = {0x88, 0x88, 0x88};

}  // namespace

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

}  // namespace map_detail

std::string map_key(const Trace& t) {
  return t.cells.empty() ? "" : map_detail::cell_key(t, map_detail::row_threads(t));
}

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

}  // namespace ks::driver
