// What the drawings of a schedule map share: the threads' colours, the rows and columns, the
// runs of consecutive iterations of a wide map, and the cells' text and key. The rest of the
// driver includes map_view.h.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "driver/report/map_view.h"

namespace ks::driver::map_detail {

// Thread colours, as RGB for SVG and PNG fills and as the nearest of the terminal's 256: eight
// chosen ones, then hues spread by the golden angle, so that the threads of a team larger than
// eight still differ; all dark enough for white text. A negative thread (the program did not
// say which) is grey.
struct Rgb {
  int r, g, b;
};
Rgb thread_rgb(int thread);
std::string fill(int thread);  // "#rrggbb"
int ansi_background(int thread);

// The per-thread values after the loop, in thread order (the program prints them as the threads
// reach that line).
std::vector<std::pair<int, long long>> thread_values_in_order(const Trace& t);
// Column c's heading: its label, else its number.
std::string column_name(const Trace& t, long long c);
// Rows of the map: one per thread (or one "all" row when the program does not say).
std::vector<int> row_threads(const Trace& t);
long long column_count(const Trace& t);

// A run of consecutive columns one row's thread ran: [first, last].
struct Band {
  std::size_t row = 0;
  long long first = 0;
  long long last = 0;
};
// Every row's runs of consecutive columns, row by row, left to right.
std::vector<Band> bands(const Trace& t, const std::vector<int>& rows);

// A cell's text: its value, the item's place in the output, or nothing.
std::string cell_text(const Trace& t, const Cell& c);
// What the cells show, for the key under a map.
std::string cell_key(const Trace& t, const std::vector<int>& rows);
// The horizontal axis' name.
std::string x_label(const Trace& t);

}  // namespace ks::driver::map_detail
