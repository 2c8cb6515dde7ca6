#include "driver/report/exporters.h"

#include <algorithm>

#include "driver/base/files.h"

namespace ks::driver {

// Each format's writer, defined in its own file.
Exported write_csv(const std::string& dir, const ResultSet& results,
                   const Exports& earlier);  // csv_export.cpp
Exported write_markdown(const std::string& dir, const ResultSet& results,
                        const Exports& earlier);  // markdown_export.cpp
Exported write_json(const std::string& dir, const ResultSet& results,
                    const Exports& earlier);  // json_export.cpp
Exported write_plots(const std::string& dir, const ResultSet& results,
                     const Exports& earlier);  // plots_draw.cpp
Exported write_maps(const std::string& dir, const ResultSet& results,
                    const Exports& earlier);  // map_files.cpp
Exported write_report(const std::string& dir, const ResultSet& results,
                      const Exports& earlier);  // report_pages.cpp
Exported write_map_command(const std::string& dir, const ResultSet& results,
                           const Exports& earlier);  // map_files.cpp

namespace {

// The report pages last: report.md links the plots drawn before it.
constexpr Exporter kExporters[] = {
    {"csv", write_csv},     {"markdown", write_markdown}, {"json", write_json},
    {"plots", write_plots}, {"maps", write_maps},         {"report", write_report},
};

// The map command's folder holds its map alone.
constexpr Exporter kMapExporters[] = {{"maps", write_map_command}};

}  // namespace

std::optional<std::string> subcommand_of(const ResultSet& results) {
  for (const std::string& word : results.command) {
    for (const char* subcommand : {"sweep", "tour", "map", "compare", "report", "merge"}) {
      if (word == subcommand) {
        return word;
      }
    }
  }
  return std::nullopt;
}

std::span<const Exporter> exporters() {
  return kExporters;
}

std::span<const Exporter> map_exporters() {
  return kMapExporters;
}

void Exported::write(const std::string& dir, const std::string& name, const std::string& content) {
  try {
    write_file_atomic(dir + "/" + name, content);
    files.push_back(name);
  } catch (const WriteError& e) {
    failed.emplace_back(e.what());
  }
}

void Exported::write_with(const std::string& dir, const std::string& name,
                          const std::function<void(const TextSink&)>& fill) {
  try {
    AtomicWriter w(dir + "/" + name);
    fill([&w](std::string_view text) { w.append(text); });
    w.commit();
    files.push_back(name);
  } catch (const WriteError& e) {
    failed.emplace_back(e.what());
  }
}

void Exported::add(const Exported& other, const std::string& prefix) {
  for (const std::string& f : other.files) {
    files.push_back(prefix + f);
  }
  if (notice.empty()) {
    notice = other.notice;
  }
  failed.insert(failed.end(), other.failed.begin(), other.failed.end());
}

std::vector<std::string> Exports::failed() const {
  std::vector<std::string> all;
  for (const auto& [format, exported] : by_format) {
    all.insert(all.end(), exported.failed.begin(), exported.failed.end());
  }
  return all;
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
  return export_with(exporters(), dir, results, skip);
}

}  // namespace ks::driver
