#include "driver/report/svg_chart.h"

#include <algorithm>
#include <cmath>
#include <set>

#include <fmt/format.h>

#include "driver/base/text.h"
#include "driver/plan/lists.h"
#include "driver/report/html.h"
#include "driver/report/svg_marks.h"

namespace ks::driver {
namespace {

// The model's predicted lines: a grey and a dash no measured series uses.
constexpr const char* kModelColour = "#8c8c8c";
constexpr const char* kModelDash = "1 5";

using svg::colour;
using svg::dash_attribute;
using svg::marker;

// The drawing's own units; the page scales it to its box.
constexpr double kWidth = 560;
constexpr double kHeight = 350;
constexpr double kLeft = 86;
constexpr double kRight = 14;
constexpr double kTop = 14;
constexpr double kBottom = 52;

struct Axis {
  double lo = 0;  // in the axis's own space: log10 of the value on a logarithmic axis
  double hi = 1;
  bool log = false;
  double from = 0;  // pixels of lo and hi
  double to = 1;

  double space(double v) const { return log ? std::log10(v) : v; }
  double pixel(double v) const { return from + (space(v) - lo) / (hi - lo) * (to - from); }
  bool shows(double v) const { return std::isfinite(v) && (!log || v > 0); }
};

// An axis over `values` (already filtered to what it shows), padded a little; `from_zero`
// starts a linear axis of non-negative values at 0.
Axis make_axis(const std::vector<double>& values, bool log, bool from_zero, double from,
               double to) {
  Axis a;
  a.log = log;
  a.from = from;
  a.to = to;
  if (values.empty()) {
    a.lo = 0;
    a.hi = 1;
    return a;
  }
  const auto [mn, mx] = std::minmax_element(values.begin(), values.end());
  double lo = a.space(*mn);
  double hi = a.space(*mx);
  if (hi - lo < 1e-12) {
    const double half = log ? 0.3 : std::max(std::abs(lo) * 0.1, 0.5);
    lo -= half;
    hi += half;
  }
  const double pad = (hi - lo) * 0.06;
  a.lo = !log && from_zero && *mn >= 0 ? 0 : lo - pad;
  a.hi = hi + pad;
  return a;
}

// Round steps (1, 2, 5 times a power of ten) between lo and hi, about five of them.
std::vector<double> linear_ticks(double lo, double hi) {
  const double raw = (hi - lo) / 5;
  if (!(raw > 0) || !std::isfinite(raw)) {
    return {};
  }
  const double magnitude = std::pow(10, std::floor(std::log10(raw)));
  double step = magnitude;
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    if (m * magnitude >= raw) {
      step = m * magnitude;
      break;
    }
  }
  std::vector<double> ticks;
  for (double t = std::ceil(lo / step) * step; t <= hi + step * 1e-9; t += step) {
    ticks.push_back(std::abs(t) < step * 1e-9 ? 0 : t);
  }
  return ticks;
}

// Ticks of a value axis: powers of ten on a logarithmic one (with 2 and 5 times them when the
// range holds few), round steps otherwise.
std::vector<double> value_ticks(const Axis& a) {
  if (!a.log) {
    return linear_ticks(a.lo, a.hi);
  }
  std::vector<double> ticks;
  const auto first = static_cast<int>(std::floor(a.lo));
  const auto last = static_cast<int>(std::ceil(a.hi));
  const bool few = last - first <= 3;
  for (int k = first; k <= last; ++k) {
    for (double m : few ? std::vector<double>{1, 2, 5} : std::vector<double>{1}) {
      const double v = m * std::pow(10.0, k);
      if (std::log10(v) >= a.lo - 1e-9 && std::log10(v) <= a.hi + 1e-9) {
        ticks.push_back(v);
      }
    }
  }
  if (ticks.size() < 2) {  // a range within one step: round values inside it
    ticks.clear();
    for (double v : linear_ticks(std::pow(10.0, a.lo), std::pow(10.0, a.hi))) {
      if (v > 0) {
        ticks.push_back(v);
      }
    }
  }
  return ticks;
}

std::string value_label(double v, bool seconds) {
  return seconds ? human_seconds(v) : fmt::format("{:.4g}", v);
}

// A size on a logarithmic x axis reads as the sweep's lists write it ("64K"); others as numbers.
std::string x_label(const Plot& p, double v) {
  if (p.logx && v >= 1 && v < 1.8e19 && v == std::floor(v)) {
    return size_label(static_cast<std::uint64_t>(v));
  }
  return fmt::format("{:g}", v);
}

bool drawable(const Plot& p, const Point& pt) {
  if (p.bars) {
    return std::isfinite(pt.y);
  }
  return std::isfinite(pt.x) && std::isfinite(pt.y) && (!p.logx || pt.x > 0) &&
         (!p.logy || pt.y > 0);
}

std::string text(double x, double y, const std::string& content, const std::string& attrs = "") {
  return fmt::format("<text x=\"{:.1f}\" y=\"{:.1f}\"{}>{}</text>", x, y, attrs,
                     html_escape(content));
}

// Grid lines, tick labels and the axis titles.
std::string frame(const Plot& p, const Axis& x, const std::vector<double>& xticks,
                  const std::vector<std::string>& xlabels, const Axis& y) {
  std::string s;
  const double bottom = kHeight - kBottom;
  s += "<g class=\"grid\" stroke=\"#d9d9d9\" stroke-width=\"1\">";
  for (double v : value_ticks(y)) {
    s += fmt::format("<line x1=\"{:.1f}\" y1=\"{:.1f}\" x2=\"{:.1f}\" y2=\"{:.1f}\"/>", kLeft,
                     y.pixel(v), kWidth - kRight, y.pixel(v));
  }
  for (double v : xticks) {
    s += fmt::format("<line x1=\"{:.1f}\" y1=\"{:.1f}\" x2=\"{:.1f}\" y2=\"{:.1f}\"/>", x.pixel(v),
                     kTop, x.pixel(v), bottom);
  }
  s += "</g>\n";
  s += fmt::format(
      "<rect x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"{:.1f}\" fill=\"none\" "
      "stroke=\"#555\"/>\n",
      kLeft, kTop, kWidth - kLeft - kRight, bottom - kTop);
  s += "<g class=\"ticks\" fill=\"#222\">";
  for (double v : value_ticks(y)) {
    s += text(kLeft - 6, y.pixel(v) + 4, value_label(v, p.seconds), " text-anchor=\"end\"");
  }
  for (std::size_t k = 0; k < xticks.size(); ++k) {
    s += text(x.pixel(xticks[k]), bottom + 17, xlabels[k], " text-anchor=\"middle\"");
  }
  s += "</g>\n";
  s += text((kLeft + kWidth - kRight) / 2, kHeight - 10, p.xlabel,
            " text-anchor=\"middle\" class=\"axis-title\"");
  // A long title loses its parenthesis rather than run off the side (the caption says it all).
  std::string ylabel = p.ylabel;
  if (const std::size_t paren = ylabel.find(" (");
      ylabel.size() > 30 && paren != std::string::npos) {
    ylabel.erase(paren);
  }
  s += fmt::format(
      "<text transform=\"translate(15 {:.1f}) rotate(-90)\" text-anchor=\"middle\" "
      "class=\"axis-title\">{}</text>\n",
      (kTop + bottom) / 2, html_escape(ylabel));
  return s;
}

// The values a line plot must show: every drawable point's x, and its y with its interval.
void plotted_values(const Plot& p, std::vector<double>& xs, std::vector<double>& ys) {
  for (const Series& s : p.series) {
    for (const auto& pt : s.points) {
      if (!drawable(p, pt)) {
        continue;
      }
      xs.push_back(pt.x);
      for (double v : {pt.y, pt.low, pt.high}) {
        if (std::isfinite(v) && (!p.logy || v > 0)) {
          ys.push_back(v);
        }
      }
    }
  }
  if (p.ideal && !xs.empty()) {
    // Speedup: 0 and the ideal line's top (speedup = threads) in view.
    ys.push_back(0);
    ys.push_back(*std::max_element(xs.begin(), xs.end()));
  }
}

// The x ticks are the values measured (sizes, thread counts), thinned out when crowded.
std::vector<double> x_ticks(const std::vector<double>& xs) {
  const std::set<double> distinct(xs.begin(), xs.end());
  std::vector<double> xticks;
  const std::size_t every = distinct.size() / 9 + 1;
  std::size_t k = 0;
  for (double v : distinct) {
    if (k++ % every == 0) {
      xticks.push_back(v);
    }
  }
  return xticks;
}

// A series' line through its drawable points ("" when none is).
std::string series_path(const Plot& p, const Series& series, const Axis& x, const Axis& y) {
  std::string path;
  for (const auto& pt : series.points) {
    if (drawable(p, pt)) {
      path +=
          fmt::format("{}{:.1f} {:.1f}", path.empty() ? "M" : "L", x.pixel(pt.x), y.pixel(pt.y));
    }
  }
  return path;
}

// The model's line: grey and dotted, unlike every measured series, with hollow markers of the
// shape of the series it predicts; the page shows it on demand.
std::string predicted_line(const Plot& p, const Series& series, const std::string& path,
                           const Axis& x, const Axis& y) {
  std::string s = fmt::format(
      "<g class=\"predicted\"><title>{}</title><path d=\"{}\" fill=\"none\" "
      "stroke=\"{}\" stroke-width=\"1.5\" stroke-dasharray=\"{}\"/>",
      html_escape(series.title), path, kModelColour, kModelDash);
  const std::string solid =
      fmt::format("fill=\"{}\" stroke=\"white\" stroke-width=\"1\"", colour(series.follows));
  const std::string hollow =
      fmt::format("fill=\"white\" stroke=\"{}\" stroke-width=\"1.3\"", kModelColour);
  for (const auto& pt : series.points) {
    if (drawable(p, pt)) {
      std::string mark = marker(series.follows, x.pixel(pt.x), y.pixel(pt.y), "", "");
      if (const std::size_t at = mark.find(solid); at != std::string::npos) {
        mark.replace(at, solid.size(), hollow);
      }
      s += mark;
    }
  }
  return s + "</g>";
}

// The confidence intervals of series i, where they are in view and not a single value.
std::string whiskers(const Plot& p, std::size_t i, const Axis& x, const Axis& y) {
  std::string s;
  for (const auto& pt : p.series[i].points) {
    if (!drawable(p, pt) || !y.shows(pt.low) || !y.shows(pt.high) || pt.low == pt.high) {
      continue;
    }
    const double px = x.pixel(pt.x);
    const double y1 = y.pixel(pt.low);
    const double y2 = y.pixel(pt.high);
    s += fmt::format(
        "<path d=\"M{0:.1f} {1:.1f}V{2:.1f}M{3:.1f} {1:.1f}H{4:.1f}M{3:.1f} {2:.1f}H{4:.1f}\" "
        "stroke=\"{5}\" stroke-width=\"1.3\" class=\"whisker\"/>",
        px, y1, y2, px - 4, px + 4, colour(i));
  }
  return s;
}

// The markers of series i, each with its value (and interval) as its tooltip.
std::string marks(const Plot& p, std::size_t i, const Axis& x, const Axis& y) {
  const Series& series = p.series[i];
  std::string s;
  for (const auto& pt : series.points) {
    if (!drawable(p, pt)) {
      continue;
    }
    std::string tip = fmt::format("{}: {} = {}, {}", series.title, p.xlabel, x_label(p, pt.x),
                                  value_label(pt.y, p.seconds));
    if (std::isfinite(pt.low) && std::isfinite(pt.high) && pt.low != pt.high) {
      tip += fmt::format(" ({} to {})", value_label(pt.low, p.seconds),
                         value_label(pt.high, p.seconds));
    }
    s += marker(i, x.pixel(pt.x), y.pixel(pt.y), " class=\"mark\"",
                "<title>" + html_escape(tip) + "</title>");
  }
  return s;
}

std::string lines(const Plot& p) {
  std::vector<double> xs;
  std::vector<double> ys;
  plotted_values(p, xs, ys);
  const Axis x = make_axis(xs, p.logx, false, kLeft, kWidth - kRight);
  const Axis y = make_axis(ys, p.logy, true, kHeight - kBottom, kTop);
  const std::vector<double> xticks = x_ticks(xs);
  std::vector<std::string> xlabels;
  for (double v : xticks) {
    xlabels.push_back(x_label(p, v));
  }
  std::string s = frame(p, x, xticks, xlabels, y);
  if (p.ideal && !xs.empty()) {
    const auto [lo, hi] = std::minmax_element(xs.begin(), xs.end());
    s += fmt::format(
        "<path d=\"M{:.1f} {:.1f}L{:.1f} {:.1f}\" stroke=\"#777\" stroke-width=\"3\" "
        "class=\"ideal\"><title>ideal: speedup = threads</title></path>\n",
        x.pixel(*lo), y.pixel(*lo), x.pixel(*hi), y.pixel(*hi));
  }
  for (std::size_t i = 0; i < p.series.size(); ++i) {
    const Series& series = p.series[i];
    s += fmt::format("<g class=\"series\" data-series=\"{}\">", i);
    const std::string path = series_path(p, series, x, y);
    if (series.predicted) {
      if (!path.empty()) {
        s += predicted_line(p, series, path, x, y);
      }
      s += "</g>\n";
      continue;
    }
    if (!path.empty()) {
      s += fmt::format("<path d=\"{}\" fill=\"none\" stroke=\"{}\" stroke-width=\"2\"{}/>", path,
                       colour(i), dash_attribute(i));
    }
    s += whiskers(p, i, x, y) + marks(p, i, x, y) + "</g>\n";
  }
  return s;
}

std::string bars(const Plot& p) {
  std::vector<double> ys{1.0};  // the reference, 1, always in view
  for (const Series& s : p.series) {
    for (const auto& pt : s.points) {
      if (drawable(p, pt)) {
        ys.push_back(pt.y);
        if (std::isfinite(pt.high)) {
          ys.push_back(pt.high);
        }
      }
    }
  }
  const std::size_t n = std::max<std::size_t>(p.categories.size(), 1);
  Axis x;
  x.lo = -0.5;
  x.hi = static_cast<double>(n) - 0.5;
  x.from = kLeft;
  x.to = kWidth - kRight;
  const Axis y = make_axis(ys, false, true, kHeight - kBottom, kTop);
  std::string s = frame(p, x, {}, {}, y);
  s += "<g class=\"ticks\" fill=\"#222\">";
  for (std::size_t k = 0; k < p.categories.size(); ++k) {
    s += text(x.pixel(static_cast<double>(k)), kHeight - kBottom + 17, p.categories[k],
              " text-anchor=\"middle\"");
  }
  s += "</g>\n";
  const double band = (x.to - x.from) / static_cast<double>(n);
  const double group = band * 0.8;
  const double width = group / static_cast<double>(std::max<std::size_t>(p.series.size(), 1));
  const double zero = y.pixel(0);
  for (std::size_t i = 0; i < p.series.size(); ++i) {
    s += fmt::format("<g class=\"series\" data-series=\"{}\">", i);
    for (const auto& pt : p.series[i].points) {
      const double left = x.pixel(pt.x) - group / 2 + width * static_cast<double>(i);
      if (!drawable(p, pt)) {
        s += text(left + width / 2, zero - 4, "n/a",
                  " text-anchor=\"middle\" font-size=\"10\" fill=\"#555\"");
        continue;
      }
      const auto k = static_cast<std::size_t>(pt.x);
      const double top = y.pixel(std::max(pt.y, 0.0));
      s += fmt::format(
          "<rect class=\"mark\" x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"{:.1f}\" "
          "fill=\"{}\" stroke=\"white\"><title>{}</title></rect>",
          left, top, std::max(width - 1, 1.0), std::max(zero - top, 0.5), colour(i),
          html_escape(fmt::format("{}, {}: {:.3g}", p.series[i].title,
                                  k < p.categories.size() ? p.categories[k] : "", pt.y)));
      if (std::isfinite(pt.low) && std::isfinite(pt.high) && pt.low != pt.high) {
        const double mid = left + width / 2;
        s += fmt::format(
            "<path d=\"M{0:.1f} {1:.1f}V{2:.1f}M{3:.1f} {1:.1f}H{4:.1f}M{3:.1f} {2:.1f}H{4:.1f}\" "
            "stroke=\"#222\" stroke-width=\"1.2\" class=\"whisker\"/>",
            mid, y.pixel(std::max(pt.low, 0.0)), y.pixel(pt.high), mid - 3, mid + 3);
      }
      if (width >= 30) {  // room for its value above it (and above its whisker)
        const double label_at =
            std::isfinite(pt.high) && pt.high > pt.y ? std::min(top, y.pixel(pt.high)) : top;
        s += text(left + width / 2, label_at - 4, fmt::format("{:.2f}", pt.y),
                  " text-anchor=\"middle\" font-size=\"11\" fill=\"#222\"");
      }
    }
    s += "</g>\n";
  }
  s += fmt::format(
      "<line x1=\"{:.1f}\" y1=\"{:.1f}\" x2=\"{:.1f}\" y2=\"{:.1f}\" stroke=\"#222\" "
      "stroke-width=\"1.2\" stroke-dasharray=\"5 3\" class=\"reference\"/>\n",
      kLeft, y.pixel(1), kWidth - kRight, y.pixel(1));
  return s;
}

}  // namespace

std::size_t drawable_values(const Plot& plot) {
  std::size_t n = 0;
  for (const Series& s : plot.series) {
    for (const auto& pt : s.points) {
      n += drawable(plot, pt) && !s.predicted ? 1 : 0;
    }
  }
  return n;
}

std::string chart_svg(const Plot& plot, const std::string& description) {
  std::string s = fmt::format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" viewBox=\"0 0 {} {}\" "
      "role=\"img\" aria-label=\"{}\" data-marks=\"{}\" font-family=\"sans-serif\" "
      "font-size=\"13\">\n<title>{}</title>\n",
      kWidth, kHeight, html_escape(description), drawable_values(plot), html_escape(plot.title));
  s += plot.bars ? bars(plot) : lines(plot);
  return s + "</svg>";
}

std::string series_swatch(const Plot& plot, std::size_t index) {
  std::string s =
      "<svg class=\"swatch\" viewBox=\"0 0 34 14\" width=\"34\" height=\"14\" "
      "aria-hidden=\"true\">";
  if (index < plot.series.size() && plot.series[index].predicted) {
    s += fmt::format(
        "<path d=\"M1 7H33\" stroke=\"{}\" stroke-width=\"1.5\" stroke-dasharray=\"{}\"/>",
        kModelColour, kModelDash);
  } else if (plot.bars) {
    s += fmt::format("<rect x=\"9\" y=\"1\" width=\"16\" height=\"12\" fill=\"{}\"/>",
                     colour(index));
  } else {
    s += fmt::format("<path d=\"M1 7H33\" stroke=\"{}\" stroke-width=\"2\"{}/>", colour(index),
                     dash_attribute(index));
    s += marker(index, 17, 7, "", "");
  }
  return s + "</svg>";
}

}  // namespace ks::driver
