// The HTML format: report.html, the page people open, from the same result set as every other
// format. One self-contained file that opens from disk: its style, its pictures (SVG) and a
// little script (sorting and filtering tables, opening every section for print) are inline,
// and nothing is fetched.
//
// The page, top to bottom: the command, the verdict on the runs, the warnings, the machine and
// build; one section per family (its plots, its summary table, its demonstrations' maps with
// their verdicts); every run that was not valid with its configuration, reason and output.
// An optional part of a result set gets its section in html_report, shown only when the result
// set holds its data.
#pragma once

#include <string>

#include "driver/report/exporters.h"

namespace ks::driver {

std::string html_report(const ResultSet& results);

// report.html of a comparison of two stores (html_compare.cpp).
struct CompareSide;
struct CompareResult;
std::string compare_html(const CompareSide& base, const CompareSide& fresh,
                         const CompareResult& result);

}  // namespace ks::driver
