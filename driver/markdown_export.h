// The Markdown format: summary.md, the summary table for people; and the tour's report.md,
// which gathers the tour's tables, plots, maps and verdicts in one page.
#pragma once

#include <string>

#include "driver/exporters.h"

namespace ks::driver {

// The model's section: the ceilings used, one explanation per configuration, what each
// program's interval does; then the counters per configuration.
std::string model_markdown(const ResultSet& results);

// report.md of a tour: `plots` is what the plots exporter wrote (or nothing when it did not
// run), `elapsed_seconds` the tour's time so far.
std::string tour_report(const ResultSet& results, const Exported& plots, double elapsed_seconds);

}  // namespace ks::driver
