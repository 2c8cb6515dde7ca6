// Plots of a sweep: time against size (log-log) per program and thread count, speedup against
// threads, the variants of one kernel side by side. plot_models chooses them and their data;
// the plots exporter (write_plots, in exporters.cpp's table) writes them as plots/*.dat and
// plots/plots.gp and runs gnuplot on them, and report.html draws the same models itself.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "driver/results.h"

namespace ks::driver {

struct Series {
  std::string title;
  std::vector<std::array<double, 4>> points;  // x, median, min, max
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
  bool bars = false;     // clustered bars: categories x series
  std::vector<Series> series = {};
  std::vector<std::string> categories = {};  // bars: one per row
};

// The plots a sweep's summary makes, family by family, in the order they are drawn. A bar
// plot's series hold one point per category: (category index, value, 0, 0), NaN when the
// variant was not measured there.
std::vector<Plot> plot_models(const std::vector<Config>& configs,
                              const std::vector<SummaryRow>& rows);

// The gnuplot executable on PATH, or "" when there is none.
std::string find_gnuplot();

// Runs a gnuplot script (used for schedule maps too); returns a one-line problem or "".
std::string run_gnuplot(const std::string& gnuplot, const std::string& script_path,
                        const std::string& workdir);

}  // namespace ks::driver
