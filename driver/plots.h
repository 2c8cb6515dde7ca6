// Plots of a sweep, drawn by gnuplot to SVG and PNG, each median with its confidence interval:
// time against size (log-log) per program and thread count, speedup against threads with the
// ideal line, the variants of one kernel side by side; one picture per OpenMP schedule. The
// plots exporter (write_plots, in exporters.cpp's table) writes plots/*.dat and plots/plots.gp
// and runs gnuplot on them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "driver/results.h"

namespace ks::driver {

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
