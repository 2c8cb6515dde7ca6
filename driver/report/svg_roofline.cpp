// The roofline drawn for report.html: logarithmic axes in powers of ten, the roofs as grey
// lines (dashed: a bandwidth, operations per byte times bytes per second; dotted: a
// throughput), each family's configurations as markers in its colour.
#include <algorithm>
#include <cmath>
#include <iterator>

#include <fmt/format.h>

#include "driver/report/html.h"
#include "driver/report/roofline.h"
#include "driver/report/svg_marks.h"

namespace ks::driver {
namespace {

constexpr double kWidth = 560;
constexpr double kHeight = 380;
constexpr double kLeft = 70;
constexpr double kRight = 14;
constexpr double kTop = 14;
constexpr double kBottom = 52;

// A logarithmic axis from lo to hi (values), onto pixels from..to.
struct LogAxis {
  double lo, hi, from, to;
  double pixel(double v) const {
    return from +
           (std::log10(v) - std::log10(lo)) / (std::log10(hi) - std::log10(lo)) * (to - from);
  }
};

std::string text(double x, double y, const std::string& content, const std::string& attrs) {
  return fmt::format("<text x=\"{:.1f}\" y=\"{:.1f}\"{}>{}</text>", x, y, attrs,
                     html_escape(content));
}

// A power of ten at a tick, both axes alike: "10" with its exponent raised ("10⁻²", "10¹⁰").
std::string tick_text(double x, double y, double v, const std::string& attrs) {
  const int e = static_cast<int>(std::lround(std::log10(v)));
  return fmt::format(
      "<text x=\"{:.1f}\" y=\"{:.1f}\"{}>10<tspan dy=\"-6\" font-size=\"0.75em\">{}</tspan></text>",
      x, y, attrs, e);
}

// 13.2e9 as "13.2 G": a rate for people.
std::string si_text(double v) {
  static const char* const kPrefix[] = {"", "k", "M", "G", "T", "P"};
  std::size_t k = 0;
  while (k + 1 < std::size(kPrefix) && std::abs(v) >= 1000) {
    v /= 1000;
    ++k;
  }
  return fmt::format("{:.3g} {}", v, kPrefix[k]);
}

}  // namespace

std::string roof_name(const Roof& roof) {
  return fmt::format("{} ({} {}/s)", roof.title, si_text(roof.value), roof.bandwidth ? "B" : "op");
}

const char* roof_colour(const Roofline& r, std::size_t k) {
  return svg::colour(r.families.size() + k);
}

std::string roof_dash(std::size_t k) {
  return svg::dash_attribute(k + 1);  // never solid
}

std::string roofline_svg(const Roofline& r, const std::string& description) {
  const double bottom = kHeight - kBottom;
  const LogAxis x{r.xmin, r.xmax, kLeft, kWidth - kRight};
  const LogAxis y{r.ymin, r.ymax, bottom, kTop};
  std::size_t marks = 0;
  for (const auto& points : r.points) {
    marks += points.size();
  }
  std::string s = fmt::format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" viewBox=\"0 0 {} {}\" "
      "role=\"img\" aria-label=\"{}\" data-marks=\"{}\" font-family=\"sans-serif\" "
      "font-size=\"13\">\n<title>roofline</title>\n",
      kWidth, kHeight, html_escape(description), marks);
  s += fmt::format(
      "<defs><clipPath id=\"roofline-box\"><rect x=\"{}\" y=\"{}\" width=\"{}\" "
      "height=\"{}\"/></clipPath></defs>\n",
      kLeft, kTop, kWidth - kLeft - kRight, bottom - kTop);
  // The grid at every power of ten, labelled.
  s += "<g class=\"grid\" stroke=\"#d9d9d9\" stroke-width=\"1\">";
  std::string labels;
  for (int e = static_cast<int>(std::ceil(std::log10(r.xmin)));
       e <= static_cast<int>(std::floor(std::log10(r.xmax))); ++e) {
    const double px = x.pixel(std::pow(10.0, e));
    s += fmt::format("<line x1=\"{0:.1f}\" y1=\"{1:.1f}\" x2=\"{0:.1f}\" y2=\"{2:.1f}\"/>", px,
                     kTop, bottom);
    labels += tick_text(px, bottom + 17, std::pow(10.0, e), " text-anchor=\"middle\"");
  }
  for (int e = static_cast<int>(std::ceil(std::log10(r.ymin)));
       e <= static_cast<int>(std::floor(std::log10(r.ymax))); ++e) {
    const double py = y.pixel(std::pow(10.0, e));
    s += fmt::format("<line x1=\"{0:.1f}\" y1=\"{1:.1f}\" x2=\"{2:.1f}\" y2=\"{1:.1f}\"/>", kLeft,
                     py, kWidth - kRight);
    labels += tick_text(kLeft - 6, py + 4, std::pow(10.0, e), " text-anchor=\"end\"");
  }
  s += "</g>\n<g class=\"ticks\" fill=\"#222\">" + labels + "</g>\n";
  s += fmt::format(
      "<rect x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"{:.1f}\" fill=\"none\" "
      "stroke=\"#555\"/>\n",
      kLeft, kTop, kWidth - kLeft - kRight, bottom - kTop);
  s += text((kLeft + kWidth - kRight) / 2, kHeight - 10,
            "operations per byte of memory traffic (model)",
            " text-anchor=\"middle\" class=\"axis-title\"");
  s += fmt::format(
      "<text transform=\"translate(15 {:.1f}) rotate(-90)\" text-anchor=\"middle\" "
      "class=\"axis-title\">operations per second</text>\n",
      (kTop + bottom) / 2);
  // The roofs, in colours and dashes after the families' (the page's legend names them).
  s += "<g class=\"roofs\" clip-path=\"url(#roofline-box)\">";
  for (std::size_t k = 0; k < r.roofs.size(); ++k) {
    const Roof& roof = r.roofs[k];
    double x0 = r.xmin;
    double x1 = r.xmax;
    if (roof.bandwidth) {  // rate = intensity x bandwidth, inside the y range
      x0 = std::max(x0, r.ymin / roof.value);
      x1 = std::min(x1, r.ymax / roof.value);
    }
    if (!(x0 < x1)) {
      continue;
    }
    const auto rate = [&](double at) { return roof.bandwidth ? at * roof.value : roof.value; };
    s += fmt::format(
        "<path d=\"M{:.1f} {:.1f}L{:.1f} {:.1f}\" stroke=\"{}\" stroke-width=\"1.6\"{} "
        "class=\"roof\"><title>{}</title></path>",
        x.pixel(x0), y.pixel(rate(x0)), x.pixel(x1), y.pixel(rate(x1)), roof_colour(r, k),
        roof_dash(k), html_escape(roof_name(roof)));
  }
  s += "</g>\n";
  for (std::size_t f = 0; f < r.families.size(); ++f) {
    s += fmt::format("<g class=\"series\" data-series=\"{}\">", f);
    for (const RooflinePoint& p : r.points[f]) {
      const std::string tip =
          fmt::format("{}: {:.3g} op/B, {} op/s", p.label, p.intensity, si_text(p.rate));
      s += svg::marker(f, x.pixel(p.intensity), y.pixel(p.rate), " class=\"mark\"",
                       "<title>" + html_escape(tip) + "</title>");
    }
    s += "</g>\n";
  }
  return s + "</svg>";
}

}  // namespace ks::driver
