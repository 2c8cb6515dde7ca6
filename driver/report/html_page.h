// What the pages of report.html share: the style and script, escaping, ids, the context's
// fields, sortable tables and output excerpts. Only the html_*.cpp files include it.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver/report/plots.h"
#include "driver/results/results.h"

namespace ks::driver {
struct CompareSide;
struct CompareResult;
}  // namespace ks::driver

namespace ks::driver::html_page {

std::string_view style();
std::string_view script();

std::string esc(std::string_view text);
// An id for the page: letters, digits and '-', from any text.
std::string anchor(std::string_view text);
// A string (or number) field of the machine context, or "" when it is missing.
std::string context_text(const nlohmann::json& j, std::initializer_list<const char*> path);
// The page's families, in the order their first configuration was planned.
std::vector<std::string> families(const ResultSet& results);
std::size_t invalid_count(const ResultSet& results);

struct TableCell {
  std::string html;                           // escaped already
  std::optional<double> sort = std::nullopt;  // numeric sort key; unset: sort by the text
  bool numeric = false;
  bool prose = false;  // wraps, unlike the other cells
};

TableCell text_cell(const std::string& text);
TableCell number_cell(double v, const std::string& text);

struct Column {
  std::string head;
  std::string title;  // the header's tooltip
  std::vector<TableCell> cells;
  bool minor = false;  // left out of a narrow screen's cards (the files hold it)
};

// A sortable table of `columns` (those whose cells are all "-" are left out); rows whose
// `failing` flag is set are marked. A row's `details` (escaped HTML; "" for none) go on a line
// of their own under it, across the table, and move with it when it is sorted. On a narrow
// screen each row is a card of labelled cells.
std::string table_html(const std::string& id, const std::string& caption,
                       const std::vector<Column>& columns, const std::vector<bool>& failing,
                       const std::vector<std::string>& details = {});

std::string seconds_cell_text(double v);

// A program's output cut to its start and its end, at character boundaries, escaped.
std::string excerpt(const std::string& text);

// The box the page opens with (html_findings.cpp): per family what was fastest, by how much, the
// speedup of the largest team against the ideal and the model's line; `status` (the runs'
// validity, escaped) under its heading, then the `warnings` (escaped) folded and counted.
std::string findings_section(const ResultSet& results, const std::string& status,
                             const std::vector<std::string>& warnings);

// A family's section: its plots, its summary table, its demonstrations' maps (html_family.cpp).
std::string family_section(const ResultSet& results, const std::string& family,
                           const std::vector<Plot>& plots);

// What a comparison calls its two sides: "base" and "new" on compare's page, two nodes' names
// in a report.
struct SideNames {
  std::string base = "base";
  std::string fresh = "new";
};

// A comparison's ratios drawn with their intervals ("" when none can be drawn), and its
// sortable table (html_compare.cpp).
std::string compare_chart(const CompareResult& result, const SideNames& names);
std::string compare_table_html(const CompareSide& base, const CompareSide& fresh,
                               const CompareResult& result, const std::string& id,
                               const SideNames& names);
// The model's parts (html_model.cpp): the machine's ceilings and the roofline, or one line
// saying there is no model ("" when no benchmark was measured); a family's columns for the share of
// the ceiling, the ratio of measured to predicted and the explanation (all "-" without a model, so
// left out); the counters per configuration, folded ("" when no run was counted).
std::string model_section(const ResultSet& results);
// The section of the configurations priced from their compiled loops ("" when none is), and
// the id of one's explanation in it (html_explain.cpp).
std::string explanations_section(const ResultSet& results);
std::string explain_id(std::size_t config);
std::vector<Column> model_columns(const std::vector<const SummaryRow*>& rows);
std::string counters_details(const ResultSet& results, const std::string& family);

}  // namespace ks::driver::html_page
