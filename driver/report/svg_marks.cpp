#include "driver/report/svg_marks.h"

#include <iterator>

#include <fmt/format.h>

namespace ks::driver::svg {
namespace {

// Okabe and Ito's palette, without its yellow (too pale on white), and a grey.
constexpr const char* kColours[] = {"#0072B2", "#D55E00", "#009E73", "#CC79A7",
                                    "#E69F00", "#56B4E9", "#000000", "#7A7A7A"};
constexpr const char* kDashes[] = {"", "7 4", "2 3", "9 3 2 3", "4 4", "1 3", "12 4", "6 2 2 2"};
constexpr std::size_t kMarkerShapes = 7;  // coprime with the 8 dashes: 56 distinct series

}  // namespace

const char* colour(std::size_t i) {
  return kColours[i % std::size(kColours)];
}

std::string dash_attribute(std::size_t i) {
  const char* d = kDashes[i % std::size(kDashes)];
  return *d == '\0' ? "" : fmt::format(" stroke-dasharray=\"{}\"", d);
}

// Marker `i` centred on (x, y), filled with the series colour and ringed in white so that
// overlapping markers stay apart; `inside` (a tooltip) goes inside the element.
std::string marker(std::size_t i, double x, double y, const std::string& attrs,
                   const std::string& inside) {
  const double r = 4.6;
  std::string tag = "path";
  std::string shape;
  std::string paint = fmt::format("fill=\"{}\" stroke=\"white\" stroke-width=\"1\"", colour(i));
  switch (i % kMarkerShapes) {
    case 0:
      tag = "circle";
      shape = fmt::format("cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"{:.1f}\"", x, y, r);
      break;
    case 1:
      tag = "rect";
      shape = fmt::format("x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"{:.1f}\"",
                          x - r * 0.9, y - r * 0.9, r * 1.8, r * 1.8);
      break;
    case 2:  // a triangle pointing up
      shape = fmt::format("d=\"M{:.1f} {:.1f}L{:.1f} {:.1f}L{:.1f} {:.1f}Z\"", x, y - r * 1.2,
                          x + r * 1.1, y + r * 0.8, x - r * 1.1, y + r * 0.8);
      break;
    case 3:  // a diamond
      shape = fmt::format("d=\"M{:.1f} {:.1f}L{:.1f} {:.1f}L{:.1f} {:.1f}L{:.1f} {:.1f}Z\"", x,
                          y - r * 1.3, x + r * 1.3, y, x, y + r * 1.3, x - r * 1.3, y);
      break;
    case 4:  // a triangle pointing down
      shape = fmt::format("d=\"M{:.1f} {:.1f}L{:.1f} {:.1f}L{:.1f} {:.1f}Z\"", x, y + r * 1.2,
                          x + r * 1.1, y - r * 0.8, x - r * 1.1, y - r * 0.8);
      break;
    case 5:  // a cross, drawn thick in the series colour
      shape = fmt::format("d=\"M{0:.1f} {1:.1f}L{2:.1f} {3:.1f}M{0:.1f} {3:.1f}L{2:.1f} {1:.1f}\"",
                          x - r, y - r, x + r, y + r);
      paint = fmt::format("fill=\"none\" stroke=\"{}\" stroke-width=\"2.6\"", colour(i));
      break;
    default:  // a plus, likewise
      shape = fmt::format("d=\"M{0:.1f} {1:.1f}L{2:.1f} {1:.1f}M{3:.1f} {4:.1f}L{3:.1f} {5:.1f}\"",
                          x - r * 1.2, y, x + r * 1.2, x, y - r * 1.2, y + r * 1.2);
      paint = fmt::format("fill=\"none\" stroke=\"{}\" stroke-width=\"2.6\"", colour(i));
      break;
  }
  const std::string open = fmt::format("<{} {} {}{}", tag, shape, paint, attrs);
  return inside.empty() ? open + "/>" : fmt::format("{}>{}</{}>", open, inside, tag);
}

}  // namespace ks::driver::svg
