// The plots for gnuplot: each plot's data file and the commands that draw it to SVG and PNG.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <set>

#include <fmt/format.h>

#include "driver/base/text.h"
#include "driver/plan/lists.h"
#include "driver/report/plots.h"

namespace ks::driver {
namespace {

// Eight colours told apart with every common colour-vision deficiency, strong enough for lines
// on white; with the markers and dash patterns below, series that overlap stay distinguishable.
constexpr const char* kPalette[] = {"#0072B2", "#D55E00", "#009E73", "#CC79A7",
                                    "#E69F00", "#56B4E9", "#000000", "#8C6D31"};
constexpr int kPoints[] = {7, 5, 9, 11, 13, 6, 4, 8, 10, 12, 1, 2, 3};  // gnuplot point types
constexpr int kDashes = 4;  // gnuplot's solid, dashed, dotted, dash-dotted

// The open point type of series i's filled one (gnuplot's odd types 5 to 13 are filled, the even
// type below each is the same shape open).
int hollow_point(std::size_t i) {
  const int point = kPoints[i % std::size(kPoints)];
  return point % 2 == 1 && point >= 5 ? point - 1 : point;
}

// Series i of n: the first drawn widest and largest, so that a later one drawn over it leaves
// its edges (and its own marker) visible.
std::string series_style(std::size_t i, std::size_t n) {
  const double rank = n > 1 ? static_cast<double>(n - 1 - i) / static_cast<double>(n - 1) : 0;
  return fmt::format("lc rgb '{}' pt {} dt {} lw {:.2f} ps {:.2f}",
                     kPalette[i % std::size(kPalette)], kPoints[i % std::size(kPoints)],
                     1 + i % kDashes, 1.2 + 1.2 * rank, 0.8 + 0.6 * rank);
}

std::string number(double v) {
  return std::isfinite(v) ? fmt::format("{:.9g}", v) : std::string("NaN");
}

std::string data_text(const Plot& p) {
  std::string out;
  if (p.bars) {
    // Per category: each series' value, low and high.
    out += "category";
    for (const Series& s : p.series) {
      out += " " + gnuplot_string(s.title, GnuplotField::kData) + " low high";
    }
    out += "\n";
    for (std::size_t k = 0; k < p.categories.size(); ++k) {
      out += gnuplot_string(p.categories[k], GnuplotField::kData);
      for (const Series& s : p.series) {
        const Point& pt = s.points[k];
        out += " " + number(pt.y) + " " + number(pt.low) + " " + number(pt.high);
      }
      out += "\n";
    }
    return out;
  }
  out += "# x, median, interval low, interval high\n";
  for (const Series& s : p.series) {
    out += "# " + one_line(s.title) + "\n";
    for (const Point& pt : s.points) {
      out +=
          fmt::format("{} {} {} {}\n", number(pt.x), number(pt.y), number(pt.low), number(pt.high));
    }
    out += "\n\n";
  }
  return out;
}

// The top of the y range: the highest whisker with room above it, so that no bar or whisker
// touches the frame.
double bars_top(const Plot& p) {
  double top = 1;
  for (const Series& s : p.series) {
    for (const Point& pt : s.points) {
      for (double v : {pt.y, pt.high}) {
        if (std::isfinite(v)) {
          top = std::max(top, v);
        }
      }
    }
  }
  return top * 1.12;
}

// A histogram's settings and plot line: each variant's bars with their error bars.
std::string bars_plot(const Plot& p, const std::string& data) {
  std::string body;
  body += "set style data histogram\nset style histogram errorbars gap 1 lw 1.5\n";
  body += "set style fill solid 0.85 border -1\nset xtics nomirror\n";
  body += fmt::format("set yrange [0:{:.6g}]\n", bars_top(p));
  if (p.series.size() == 1) {
    body += "unset key\n";
  }
  body += "plot ";
  for (std::size_t i = 0; i < p.series.size(); ++i) {
    const std::size_t column = 2 + 3 * i;
    body += fmt::format("{}{} using {}:{}:{}:xtic(1) title columnheader({}) lc rgb '{}'",
                        i == 0 ? "" : ", \\\n     ", data, column, column + 1, column + 2, column,
                        kPalette[i % std::size(kPalette)]);
  }
  // The reference line where every bar of the first variant ends.
  body += ", \\\n     1 with lines lc rgb '#444444' dt 2 lw 1 title " +
          gnuplot_string(p.reference) + "\n";
  return body;
}

std::string script_body(const Plot& p) {
  std::string body;
  body += "set title " + gnuplot_string(p.title) + "\n";
  body +=
      "set xlabel " + gnuplot_string(p.xlabel) + "\nset ylabel " + gnuplot_string(p.ylabel) + "\n";
  body += p.logx ? "set logscale x 2\n" : "unset logscale x\n";
  std::set<double> xs;
  for (const Series& s : p.series) {
    for (const Point& pt : s.points) {
      xs.insert(pt.x);
    }
  }
  if (p.logx) {
    std::string tics;
    for (double x : xs) {
      tics += fmt::format("{}{} {:.0f}", tics.empty() ? "" : ", ",
                          gnuplot_string(size_label(static_cast<std::uint64_t>(x)),
                                         GnuplotField::kTicLabel, GnuplotQuotes::kDouble),
                          x);
    }
    body += "set xtics (" + tics + ")\nset offsets graph 0.05, graph 0.05, 0, 0\n";
  }
  body += p.logy ? "set logscale y 10\n" : "unset logscale y\n";
  body += "set key outside right top\nset grid\nset format y '%g'\n";
  const std::string data = gnuplot_string(p.name + ".dat");
  if (p.bars) {
    return body + bars_plot(p, data);
  }
  if (!p.logx && !xs.empty()) {
    // Thread counts: a tic at each one measured, half a step of room on either side.
    const double first = *xs.begin();
    const double last = *xs.rbegin();
    body += fmt::format("set xrange [{:.6g}:{:.6g}]\n", std::max(0.0, first - 0.5), last + 0.5);
    if (xs.size() <= 16) {
      std::string tics;
      for (double x : xs) {
        tics += fmt::format("{}{:.6g}", tics.empty() ? "" : ", ", x);
      }
      body += "set xtics (" + tics + ")\n";
    }
  }
  if (p.ideal) {
    body += "set yrange [0:*]\n";
  }
  body += "plot ";
  bool model_named = false;
  for (std::size_t i = 0; i < p.series.size(); ++i) {
    const Series& s = p.series[i];
    // The model's lines: grey and dotted, unlike every measured series, named once in the key.
    const std::string model_title =
        model_named ? "notitle" : "title " + gnuplot_string("the model's predicted times");
    model_named = model_named || s.predicted;
    body += s.predicted
                ? fmt::format(
                      "{}{} index {} using 1:2 with linespoints lc rgb '#8c8c8c' dt (2,6) "
                      "lw 1.2 pt {} ps 0.8 {}",
                      i == 0 ? "" : ", \\\n     ", data, i, hollow_point(s.follows), model_title)
                : fmt::format("{}{} index {} using 1:2:3:4 with yerrorlines {} title {}",
                              i == 0 ? "" : ", \\\n     ", data, i,
                              series_style(i, p.series.size()), gnuplot_string(s.title));
  }
  if (p.ideal) {
    body += ", \\\n     x with lines lc rgb '#777777' dt 1 lw 3 title 'ideal: speedup = threads'";
  }
  return body + "\n";
}

std::string script_text(const Plot& p) {
  const std::string body = script_body(p);
  std::string out;
  out += "set terminal svg size 960,600 dynamic noenhanced font 'sans,12'\n";
  out += "set output " + gnuplot_string(p.name + ".svg.part") + "\n" + body + "unset output\n";
  out += "set terminal pngcairo size 960,600 noenhanced font 'sans,10'\n";
  out +=
      "set output " + gnuplot_string(p.name + ".png.part") + "\n" + "replot\nunset output\nreset\n";
  return out;
}

}  // namespace

std::vector<PlotText> plot_texts(const ResultSet& results) {
  std::vector<PlotText> texts;
  for (const Plot& p : plot_models(results)) {
    texts.push_back({p.name, data_text(p), script_text(p)});
  }
  if (std::optional<PlotText> roof = roofline_plot(results)) {
    texts.push_back(std::move(*roof));
  }
  return texts;
}

}  // namespace ks::driver
