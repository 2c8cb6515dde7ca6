// The summary as a table of people: on the terminal, and in Markdown for the reports.
#pragma once

#include <string>
#include <vector>

#include "driver/results/results.h"

namespace ks::driver {

// A ratio with two or three significant digits: "1.93", "12.5", "0.0042".
std::string ratio_text(double v);
// A ratio with its interval: "1.93 (1.85–2.01)", the level added when below 95 %:
// "1.93 (1.80–2.10, 88%)"; "-" without a value.
std::string ratio_estimate_text(const Estimate& e);

// One line per configuration whose median is below resolution, with what to change.
std::vector<std::string> resolution_notes(const std::vector<Config>& configs,
                                          const std::vector<SummaryRow>& rows);

// One line per group of variants measured at the same size: which ran fastest, and how many
// times faster than each of the others, with the interval of that ratio.
std::vector<std::string> ranking_lines(const std::vector<Config>& configs,
                                       const std::vector<SummaryRow>& rows);

// The short form for the terminal: one line per group, the fastest variant against the next
// one, "inconclusive" with the --repeat to rerun with when that ratio's interval includes 1 or
// spans more than a factor of two.
std::vector<std::string> fastest_lines(const std::vector<Config>& configs,
                                       const std::vector<SummaryRow>& rows);

// A variant within its group, as the reader picks it: the program, its team and its schedule
// ("mprod-team T=2 guided").
std::string variant_name(const Config& c);

// How wide the terminal's table may be: `width` columns, or every column with `wide`.
struct TerminalLayout {
  std::size_t width = 100;
  bool wide = false;
};

// The table printed on the terminal: the core columns (program, size, T, schedule, valid,
// median, its interval, speedup), then the others while the line fits `layout.width`, all of
// them with `layout.wide`; a legend under it for the columns and marks shown; the notes on
// resolution and one line per group on which variant is fastest.
std::string summary_text(const std::vector<Config>& configs, const std::vector<SummaryRow>& rows,
                         const TerminalLayout& layout = {});

// The same table in Markdown, with a note on how to read it.
std::string summary_markdown(const std::vector<Config>& configs,
                             const std::vector<SummaryRow>& rows);

}  // namespace ks::driver
