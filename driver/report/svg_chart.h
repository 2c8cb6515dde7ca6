// The plots of report.html, drawn as SVG by the driver itself from the same models gnuplot
// draws (plot_models): lines with markers and whiskers on linear or logarithmic axes, and
// clustered bars. Series differ in colour (a palette colour-blind readers can tell apart), in
// marker shape and in dash pattern, so that they stay apart in grey print too.
#pragma once

#include <cstddef>
#include <string>

#include "driver/report/plots.h"

namespace ks::driver {

// The plot as an inline <svg> element: role="img" with `description` as its aria-label, the
// plot's title as its <title>, a viewBox and no fixed size (it takes the width of its box).
// Every value measured (a marker, a bar) has the class "mark" and a tooltip with its numbers;
// the element's data-marks attribute says how many there are. A series the model predicted
// (Series::predicted) is a thin dashed line in the colour of the series it follows, with no
// markers and no whiskers. The legend is left to the page
// (series_swatch), where it can wrap on a narrow screen.
std::string chart_svg(const Plot& plot, const std::string& description);

// The values chart_svg draws: the finite ones, and on a logarithmic axis the positive ones.
std::size_t drawable_values(const Plot& plot);

// A small picture of series `index` as the chart draws it (its line and marker, its bar, or
// the model's dashed line), for the legend.
std::string series_swatch(const Plot& plot, std::size_t index);

}  // namespace ks::driver
