// Schedule maps of the demonstrations: which thread ran which iteration and what it saw,
// drawn for a terminal (coloured cells when it is one) and as SVG, with the verdict.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "driver/run_types.h"

namespace ks::driver {

// `title` heads the map ("chunk-static 3, T=2"). With `colour`, cells are ANSI-coloured.
std::string map_text(const Trace& trace, const std::string& title, bool colour);
std::string map_svg(const Trace& trace, const std::string& title);
std::string map_csv(const Trace& trace);
// The map as gnuplot data and a script that draws it to `<stem>.png.part` (the caller renames
// it once gnuplot has finished).
std::string map_gnuplot_data(const Trace& trace);
std::string map_gnuplot_script(const Trace& trace, const std::string& title,
                               const std::string& stem);
nlohmann::json map_json(const Trace& trace, const std::string& program, const RunSpec& spec);
// "follows the rule" or "BREAKS THE RULE: ...", one line.
std::string verdict_line(const Trace& trace);

}  // namespace ks::driver
