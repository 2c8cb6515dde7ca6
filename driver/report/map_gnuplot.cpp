// A schedule map for gnuplot: the data and the script that draws it as PNG.
#include <algorithm>

#include <fmt/format.h>

#include "driver/base/text.h"
#include "driver/report/map_detail.h"
#include "driver/report/map_view.h"

namespace ks::driver {
using namespace map_detail;

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
    const std::string label = cell_text(t, c);
    const Rgb rgb = thread_rgb(c.thread);
    out += fmt::format("{} {} {} {}\n", c.column, row, (rgb.r << 16) | (rgb.g << 8) | rgb.b,
                       gnuplot_string(label.empty() ? " " : label, GnuplotField::kData));
  }
  return out;
}

std::string map_gnuplot_script(const Trace& t, const std::string& title, const std::string& stem) {
  const std::vector<int> rows = row_threads(t);
  long long columns = std::max(t.columns, 1LL);
  for (const Cell& c : t.cells) {
    columns = std::max(columns, c.column + 1);
  }
  std::string ytics;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    ytics +=
        fmt::format("{}{} {}", r == 0 ? "" : ", ",
                    gnuplot_string(rows[r] < 0 ? t.value_label : fmt::format("thread {}", rows[r]),
                                   GnuplotField::kTicLabel),
                    r);
  }
  std::string xtics;
  if (!t.column_labels.empty()) {
    for (std::size_t c = 0; c < t.column_labels.size(); ++c) {
      xtics += fmt::format("{}{} {}", c == 0 ? "" : ", ",
                           gnuplot_string(t.column_labels[c], GnuplotField::kTicLabel), c);
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
  s += "set output " + gnuplot_string(stem + ".png.part") + "\n";
  s += "set title " +
       gnuplot_string(title + "\n" + verdict_line(t), GnuplotField::kText, GnuplotQuotes::kDouble) +
       "\n";
  s +=
      fmt::format("set xrange [-0.5:{}.5]\nset yrange [{}.5:-0.5]\n", columns - 1, rows.size() - 1);
  s += "set xlabel " + gnuplot_string(x_label(t)) + "\n";
  s += "set ylabel " + gnuplot_string(rows.front() < 0 ? "" : "thread") + "\n";
  s += "set ytics (" + ytics + ")\n";
  s += xtics.empty() ? (columns <= 40 ? "set xtics 1\n" : "set xtics autofreq\n")
                     : "set xtics (" + xtics + ")\n";
  s += "set xtics scale 0\nset ytics scale 0\nunset key\n";
  s += fmt::format("set bmargin {:.1f}\n", 4.5 + kLineStep * static_cast<double>(lines.size()));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    s += fmt::format(
        "set label {} {} at graph 0, graph 0 offset character -6, character {:.1f} left tc rgb "
        "'{}'{}\n",
        i + 1, gnuplot_string(lines[i].text, GnuplotField::kText, GnuplotQuotes::kDouble),
        -4.0 - kLineStep * static_cast<double>(i), lines[i].colour,
        lines[i].bold ? " font 'sans:Bold,9'" : "");
  }
  const std::string data = gnuplot_string(stem + ".dat");
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

}  // namespace ks::driver
