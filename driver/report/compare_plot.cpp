// A comparison drawn: each configuration's ratio of medians with its interval, by gnuplot.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>
#include <string>

#include <fmt/format.h>

#include "driver/base/files.h"
#include "driver/base/text.h"
#include "driver/report/compare_report.h"
#include "driver/report/plots.h"

namespace ks::driver {

namespace {

// The points drawn: one line of compare.dat per configuration with a ratio, and the range and
// the intervals' levels they span.
struct PlotData {
  std::string text;
  std::size_t rows = 0;
  double low = 1;
  double high = 1;
  std::set<int> levels;  // of the intervals drawn, in percent
};

PlotData plot_data(const CompareResult& result) {
  PlotData d;
  d.high = 1 + result.threshold.value_or(0);
  for (const ComparedConfig& c : result.configs) {
    const Estimate& r = c.comparison.ratio;
    if (c.below_resolution || !r.value || !std::isfinite(*r.value)) {
      continue;
    }
    const double lo = r.ci ? r.ci->low : *r.value;
    const double hi = r.ci ? r.ci->high : *r.value;
    // The comparison's one colour key, as gnuplot's number.
    const int colour = std::stoi(std::string(verdict_colour(c).substr(1)), nullptr, 16);
    d.levels.insert(static_cast<int>(std::lround(r.confidence * 100)));
    d.text += fmt::format("{} {} {:.9g} {:.9g} {:.9g} {}\n", d.rows,
                          gnuplot_string(c.label, GnuplotField::kData), *r.value, lo, hi, colour);
    ++d.rows;
    d.low = std::min(d.low, lo);
    d.high = std::max(d.high, hi);
  }
  return d;
}

// compare.gp: the SVG and then the PNG of the points, each into a .part file.
std::string plot_script(const PlotData& d, const CompareResult& result) {
  const double pad = (d.high - d.low) * 0.1 + 0.02;
  const int height = 160 + 26 * static_cast<int>(d.rows);
  std::string body;
  // The intervals' level as they are: 95 % with six runs a side or more, lower with fewer.
  const std::string level = d.levels.size() == 1
                                ? fmt::format("{}% intervals", *d.levels.begin())
                                : fmt::format("intervals at {}% to {}% (each in compare.md)",
                                              *d.levels.begin(), *d.levels.rbegin());
  body += fmt::format(
      "set title \"new / base: ratio of the median times, with {}\\n(slower in orange, faster "
      "in blue, no significant or practical change in grey)\"\n",
      level);
  body += "set xlabel 'new median / base median (above 1: the new one is slower)'\n";
  body += fmt::format("set xrange [{:.6g}:{:.6g}]\n", std::max(0.0, d.low - pad), d.high + pad);
  body += fmt::format("set yrange [{:.1f}:-0.6]\n", d.rows - 0.4);  // the first on top
  body += "set grid x\nset key off\nset lmargin 30\n";
  body += "set arrow 1 from 1, graph 0 to 1, graph 1 nohead lw 2 lc rgb '#444444'\n";
  if (result.threshold) {
    body += fmt::format(
        "set arrow 2 from {0:.6g}, graph 0 to {0:.6g}, graph 1 nohead dt 2 lw 1.5 lc rgb "
        "'#d55e00'\nset label 1 'threshold' at {0:.6g}, graph 1 right offset -0.5,-1 tc rgb "
        "'#d55e00'\n",
        1 + *result.threshold);
  }
  body +=
      "plot 'compare.dat' using 3:1:4:5:6:ytic(2) with xerrorbars pt 7 ps 1.2 lw 1.5 lc rgb "
      "variable\n";
  std::string script;
  script += fmt::format("set terminal svg size 900,{} dynamic noenhanced font 'sans,12'\n", height);
  script += "set output 'compare.svg.part'\n" + body + "unset output\n";
  script += fmt::format("set terminal pngcairo size 900,{} noenhanced font 'sans,10'\n", height);
  script += "set output 'compare.png.part'\nreplot\nunset output\n";
  return script;
}

// gnuplot run on the script, its SVG and PNG kept once both are complete; a notice when it is
// missing or fails.
void draw(const std::string& dir, const std::string& script_path, Exported& exported) {
  const std::string gnuplot = find_gnuplot();
  if (gnuplot.empty()) {
    exported.notice = fmt::format(
        "gnuplot not found: the plot is not drawn (install gnuplot-nox; its data and script "
        "are in {})",
        dir);
    return;
  }
  const std::string workdir = std::filesystem::absolute(dir).string();
  // gnuplot writes into files the driver made, renamed once complete.
  std::vector<ProgramOutput> outputs;
  try {
    for (const char* ext : {".svg", ".png"}) {
      outputs.emplace_back(dir + "/compare" + ext);
    }
  } catch (const WriteError& e) {
    exported.notice = e.what();
    return;
  }
  if (const std::string problem = run_gnuplot(gnuplot, script_path, workdir); !problem.empty()) {
    exported.notice = problem;
    return;
  }
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    try {
      outputs[i].keep();
    } catch (const WriteError& e) {
      exported.notice = e.what();
      return;
    }
    exported.files.push_back(std::string("compare") + (i == 0 ? ".svg" : ".png"));
  }
}

}  // namespace

Exported write_compare_plot(const std::string& dir, const CompareSide&, const CompareSide&,
                            const CompareResult& result) {
  Exported exported;
  const PlotData data = plot_data(result);
  if (data.rows == 0) {
    return exported;
  }
  write_file_atomic(dir + "/compare.dat", data.text);
  exported.files.push_back("compare.dat");
  const std::string script_path = std::filesystem::absolute(dir + "/compare.gp").string();
  write_file_atomic(script_path, plot_script(data, result));
  exported.files.push_back("compare.gp");
  draw(dir, script_path, exported);
  return exported;
}

}  // namespace ks::driver
