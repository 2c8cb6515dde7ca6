// Plots of a sweep, drawn by gnuplot to SVG and PNG, each median with its confidence interval:
// time against size (log-log) per program and thread count, speedup against threads with the
// ideal line, the variants of one kernel side by side; one picture per OpenMP schedule. The
// plots exporter (write_plots, in exporters.cpp's table) writes plots/*.dat and plots/plots.gp
// and runs gnuplot on them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "driver/results/results.h"

namespace ks::driver {

// One point: x, the estimate, and its confidence interval (low == high == y when there is
// none: a single run, an unbounded ratio).
struct Point {
  double x = 0;
  double y = 0;
  double low = 0;
  double high = 0;
};

struct Series {
  std::string title;
  std::vector<Point> points;
  bool predicted = false;   // the model's line (no interval)
  std::size_t follows = 0;  // a predicted line's: the measured series it goes with
};

struct Plot {
  std::string name;         // file stem
  std::string family = {};  // the family whose programs it shows
  std::string title;
  std::string xlabel = {};
  std::string ylabel = {};
  bool logx = false;
  bool logy = false;
  bool seconds = false;  // the values are seconds
  bool ideal = false;    // speedup: the line speedup = threads
  bool bars = false;     // clustered bars: categories x series, relative to a reference of 1
  std::vector<Series> series = {};
  std::vector<std::string> categories = {};  // bars: one per row
  std::string reference = {};                // bars: what 1 is
};

// The plots a sweep's summary makes, family by family, in the order they are drawn. A bar
// plot's series hold one point per category: (category index, value, interval), NaN when the
// variant was not measured there. The plots exporter draws them with gnuplot, report.html
// draws the same models itself.
std::vector<Plot> plot_models(const ResultSet& results);

// One plot: its file stem ("speedup-matrix-product-dynamic-4"), its data file and the gnuplot
// commands that draw it to <stem>.svg.part and <stem>.png.part.
struct PlotText {
  std::string name;
  std::string data;
  std::string script;
};
std::vector<PlotText> plot_texts(const ResultSet& results);

// The roofline (roofline.cpp): each configuration the model priced at its operational
// intensity against the operations per second it achieved, under the machine's measured roofs;
// nothing without ceilings in the context or without a priced configuration.
std::optional<PlotText> roofline_plot(const ResultSet& results);

// The gnuplot executable on PATH, or "" when there is none.
std::string find_gnuplot();

// Runs a gnuplot script (used for schedule maps too); returns a one-line problem or "".
std::string run_gnuplot(const std::string& gnuplot, const std::string& script_path,
                        const std::string& workdir);

}  // namespace ks::driver
