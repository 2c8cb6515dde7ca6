// Plots of a sweep, drawn by gnuplot to SVG and PNG: time against size (log-log) per program
// and thread count, speedup against threads, the variants of one kernel side by side. The
// plots exporter (write_plots, in exporters.cpp's table) writes plots/*.dat and plots/plots.gp
// and runs gnuplot on them.
#pragma once

#include <string>

namespace ks::driver {

// The gnuplot executable on PATH, or "" when there is none.
std::string find_gnuplot();

// Runs a gnuplot script (used for schedule maps too); returns a one-line problem or "".
std::string run_gnuplot(const std::string& gnuplot, const std::string& script_path,
                        const std::string& workdir);

}  // namespace ks::driver
