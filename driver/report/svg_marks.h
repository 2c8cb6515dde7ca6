// What the page's SVG pictures share: a palette colour-blind readers can tell apart, dash
// patterns and marker shapes, so that series stay apart in grey print too.
#pragma once

#include <cstddef>
#include <string>

namespace ks::driver::svg {

// Series `i`'s colour.
const char* colour(std::size_t i);
// Series `i`'s dash pattern as an attribute (" stroke-dasharray=..."), "" for a solid line.
std::string dash_attribute(std::size_t i);
// Marker `i` centred on (x, y), filled with the series colour and ringed in white so that
// overlapping markers stay apart; `attrs` go on the element, `inside` (a tooltip) inside it.
std::string marker(std::size_t i, double x, double y, const std::string& attrs,
                   const std::string& inside);

}  // namespace ks::driver::svg
