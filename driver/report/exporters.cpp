#include "driver/report/exporters.h"

#include <algorithm>

#include "driver/base/files.h"

namespace ks::driver {

// Each format's writer, defined in its own file.
Exported write_csv(const std::string& dir, const ResultSet& results);       // csv_export.cpp
Exported write_markdown(const std::string& dir, const ResultSet& results);  // markdown_export.cpp
Exported write_json(const std::string& dir, const ResultSet& results);      // json_export.cpp
Exported write_plots(const std::string& dir, const ResultSet& results);     // plots.cpp
Exported write_maps(const std::string& dir, const ResultSet& results);      // map_view.cpp

namespace {

constexpr Exporter kExporters[] = {
    {"csv", write_csv},     {"markdown", write_markdown}, {"json", write_json},
    {"plots", write_plots}, {"maps", write_maps},
};

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
  Exports exports;
  for (const Exporter& e : exporters()) {
    if (std::find(skip.begin(), skip.end(), e.name) != skip.end()) {
      continue;
    }
    try {
      exports.by_format.emplace_back(e.name, e.write(dir, results));
    } catch (const WriteError& error) {  // a folder of its own that cannot be made
      Exported failed;
      failed.failed.emplace_back(error.what());
      exports.by_format.emplace_back(e.name, std::move(failed));
    }
  }
  return exports;
}

}  // namespace ks::driver
