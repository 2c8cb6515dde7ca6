#include "driver/exporters.h"

#include <algorithm>

namespace ks::driver {

// Each format's writer, defined in its own file.
Exported write_csv(const std::string& dir, const ResultSet& results);       // csv_export.cpp
Exported write_markdown(const std::string& dir, const ResultSet& results);  // markdown_export.cpp
Exported write_json(const std::string& dir, const ResultSet& results);      // json_export.cpp
Exported write_plots(const std::string& dir, const ResultSet& results);     // plots.cpp
Exported write_maps(const std::string& dir, const ResultSet& results);      // map_view.cpp
Exported write_html(const std::string& dir, const ResultSet& results);      // html_export.cpp

namespace {

constexpr Exporter kExporters[] = {
    {"csv", write_csv},     {"markdown", write_markdown}, {"json", write_json},
    {"plots", write_plots}, {"maps", write_maps},         {"html", write_html},
};

}  // namespace

std::span<const Exporter> exporters() {
  return kExporters;
}

const Exported& Exports::of(std::string_view name) const {
  static const Exported kNothing;
  for (const auto& [format, exported] : by_format) {
    if (format == name) {
      return exported;
    }
  }
  return kNothing;
}

Exports export_results(const std::string& dir, const ResultSet& results,
                       const std::vector<std::string_view>& skip) {
  Exports exports;
  for (const Exporter& e : exporters()) {
    if (std::find(skip.begin(), skip.end(), e.name) == skip.end()) {
      exports.by_format.emplace_back(e.name, e.write(dir, results));
    }
  }
  return exports;
}

}  // namespace ks::driver
