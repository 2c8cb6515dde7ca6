// compare's outputs: the terminal table, compare.md, compare.csv, compare.json and the plot of
// the ratios (compare_report.cpp, compare_plot.cpp).
#pragma once

#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "driver/analysis/compare.h"
#include "driver/report/exporters.h"

namespace ks::driver {

// The one colour key of every picture of a comparison: slower in vermillion, faster in blue,
// the rest (no significant or practical change, too few runs, below resolution) in grey,
// colours that stay apart for the colour-blind. "#D55E00".
enum class Shown { kFaster, kSlower, kNeither };
Shown shown_as(const ComparedConfig& c);
std::string_view verdict_colour(const ComparedConfig& c);

// Cliff's delta of a compared configuration as a cell: "+1.00", "-0.33"; "-" without one.
std::string delta_text(const ComparedConfig& c);

// The words under every table of a comparison on its effect size and its minimum effect.
std::string effect_note(const CompareResult& result);

// When both sides ran on one machine from one build less than an hour apart: that what
// differs between them is mostly the machine's drift, in one line; "" otherwise.
std::string drift_note(const CompareSide& base, const CompareSide& fresh);

// The outputs: the terminal table, compare.md, compare.csv and compare.json.
std::string compare_text(const CompareSide& base, const CompareSide& fresh,
                         const CompareResult& result);
std::string compare_markdown(const CompareSide& base, const CompareSide& fresh,
                             const CompareResult& result, const Exported& plot);
std::string compare_csv(const CompareSide& base, const CompareSide& fresh,
                        const CompareResult& result);
nlohmann::json compare_json(const CompareSide& base, const CompareSide& fresh,
                            const CompareResult& result);

// The plot of the ratios with their intervals: compare.dat, compare.gp, and compare.svg and
// compare.png when gnuplot is there (else a notice).
Exported write_compare_plot(const std::string& dir, const CompareSide& base,
                            const CompareSide& fresh, const CompareResult& result);

// What compare's formats are written from: both sides and the verdicts.
struct ComparedSides {
  const CompareSide& base;
  const CompareSide& fresh;
  const CompareResult& result;
};

// compare's formats, in the order they are written: the plot, compare.md (which shows it),
// report.html, compare.csv, compare.json (compare_exporters.cpp).
std::span<const ExporterOf<ComparedSides>> compare_exporters();

}  // namespace ks::driver
