// Plots of a sweep, drawn by gnuplot to SVG and PNG: time against size (log-log) per program
// and thread count, speedup against threads, the variants of one kernel side by side.
#pragma once

#include <string>
#include <vector>

#include "driver/sweep.h"

namespace ks::driver {

struct PlotResult {
  std::vector<std::string> images;  // SVG files written, relative to the output folder
  std::string notice;               // one line when plots could not be drawn
};

// The gnuplot executable on PATH, or "" when there is none.
std::string find_gnuplot();

// Writes plots/*.dat and plots/plots.gp under `dir` and runs gnuplot on them.
PlotResult draw_plots(const std::string& dir, const std::vector<Config>& configs,
                      const std::vector<SummaryRow>& rows);

// Runs a gnuplot script (used for schedule maps too); returns a one-line problem or "".
std::string run_gnuplot(const std::string& gnuplot, const std::string& script_path,
                        const std::string& workdir);

}  // namespace ks::driver
