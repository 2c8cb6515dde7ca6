// compare's outputs: the terminal table, compare.md, compare.csv, compare.json and the plot of
// the ratios (compare_report.cpp, compare_plot.cpp).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "driver/analysis/compare.h"
#include "driver/report/exporters.h"

namespace ks::driver {

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

}  // namespace ks::driver
