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

// The facts of a machine context for people, one (name, value) row each: date, host, CPU,
// memory, kernel, build, revision, the OpenMP environment and the conditions at the start.
// A report's header shows them; a comparison shows two side by side.
std::vector<std::pair<std::string, std::string>> context_facts(const nlohmann::json& context);

// A command line as a shell would take it back: words quoted where they need it.
std::string command_text(const std::vector<std::string>& command);

}  // namespace ks::driver
