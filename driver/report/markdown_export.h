// The Markdown format: summary.md, the summary table for people; and report.md, which gathers
// a sweep's or a tour's header (command, date, machine, build, revision), tables, plots, maps
// and verdicts in one page.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "driver/report/exporters.h"

namespace ks::driver {

// The model's section: the ceilings used, one explanation per configuration, what each
// program's interval does; then the counters per configuration.
std::string model_markdown(const ResultSet& results);

// report.md: `plots` is what the plots exporter wrote (or nothing when it did not run).
// Everything else comes from the result set, so a report rendered again from a store reads
// the same.
std::string report_markdown(const ResultSet& results, const Exported& plots);

}  // namespace ks::driver
