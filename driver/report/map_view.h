// Schedule maps of the demonstrations: which thread ran which iteration and what it saw,
// drawn for a terminal (coloured cells when it is one) and as SVG, CSV, JSON and PNG files,
// with the verdict. The maps exporter (write_maps, in exporters.cpp's table) writes a tour's
// maps under maps/.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "driver/catalogue/catalogue.h"
#include "driver/catalogue/run_types.h"
#include "driver/results/results.h"

namespace ks::driver {

struct Exported;

// The most items a map is drawn from: a demonstration asked to print more is refused before it
// runs (kernelscope map), and a run that printed more is not traced.
inline constexpr long long kMapMaxItems = 100000;
// Maps wider than this many columns are drawn as bands: each thread's runs of consecutive
// iterations as one bar, without per-cell borders and labels.
inline constexpr long long kMapBandColumns = 200;

// `title` heads the map ("chunk-static, chunk = 3, 2 threads"); the text fits 80 columns. With
// `colour`, cells are ANSI-coloured.
std::string map_text(const Trace& trace, const std::string& title, bool colour);
// A `card` is drawn for a page that gives the title, the rule and the verdict itself: only the
// cells, in blocks as narrow as a phone's screen, with the values after the loop.
std::string map_svg(const Trace& trace, const std::string& title, bool card = false);
std::string map_csv(const Trace& trace);
// The map as gnuplot data and a script that draws it to `<stem>.png.part` (the caller renames
// it once gnuplot has finished).
std::string map_gnuplot_data(const Trace& trace);
std::string map_gnuplot_script(const Trace& trace, const std::string& title,
                               const std::string& stem);
nlohmann::json map_json(const Trace& trace, const std::string& program, const RunSpec& spec);
// What the cells show ("cells: the thread's suma after the iteration"); "" when none ran.
std::string map_key(const Trace& trace);
// "follows the rule" or "BREAKS THE RULE: ...", one line.
std::string verdict_line(const Trace& trace);

// The title of a run's map ("chunk-dynamic, n = 20, chunk = 4, 2 threads") and the stem of a tour's
// map files
// ("chunk-static-T2").
std::string map_title(const ProgramInfo& p, const RunSpec& spec);
std::string map_stem(const Config& c);

// The map as SVG, CSV and JSON, and as PNG when gnuplot is there, as <dir>/<stem>.*: what was
// written (relative to `dir`), a notice when the PNG could not be drawn for want of gnuplot,
// and each file that could not be written.
Exported write_map_files(const std::string& dir, const std::string& stem, const ProgramInfo& p,
                         const RunSpec& spec, const Trace& trace);

}  // namespace ks::driver
