// The Markdown format: summary.md, the summary table for people; and the tour's report.md,
// which gathers the tour's tables, plots, maps and verdicts in one page.
#pragma once

#include <string>

#include "driver/exporters.h"

namespace ks::driver {

// report.md of a tour: `plots` is what the plots exporter wrote (or nothing when it did not
// run), `elapsed_seconds` the tour's time so far.
std::string tour_report(const ResultSet& results, const Exported& plots, double elapsed_seconds);

}  // namespace ks::driver
