// The roofline of a sweep or tour: each configuration the model priced, at its operational
// intensity (operations per byte of memory traffic, from the model) against the operations
// per second it achieved, under the machine's measured roofs: memory bandwidth (one thread and
// the whole machine, and each cache level on one thread) and arithmetic throughput (scalar on
// one thread, the widest vectors on every thread). gnuplot draws it (roofline_plot, plots.h)
// and so does report.html (roofline_svg), from this one model.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "driver/results/results.h"

namespace ks::driver {

struct RooflinePoint {
  double intensity = 0;  // operations per byte of traffic
  double rate = 0;       // operations per second achieved
  std::string label;     // the configuration
};

struct Roof {
  std::string title;  // "memory bandwidth, T=1"
  double value = 0;   // bytes per second (a bandwidth) or operations per second
  bool bandwidth = false;
};

struct Roofline {
  std::vector<std::string> families;               // in the order first priced
  std::vector<std::vector<RooflinePoint>> points;  // per family
  std::vector<Roof> roofs;
  double xmin = 0, xmax = 0, ymin = 0, ymax = 0;  // the ranges drawn
};

// Nothing without ceilings in the context or without a configuration the model priced.
std::optional<Roofline> roofline_model(const ResultSet& results);

// The roofline as an inline <svg> element, like chart_svg's: role="img" with `description` as
// its aria-label, every configuration a marker of class "mark" with a tooltip, data-marks the
// number of them; each roof a line in roof_colour and roof_dash, named in the page's legend.
std::string roofline_svg(const Roofline& r, const std::string& description);
std::string roof_name(const Roof& roof);  // "memory bandwidth, T=1 (16 GB/s)"
const char* roof_colour(const Roofline& r, std::size_t k);
std::string roof_dash(std::size_t k);

}  // namespace ks::driver
