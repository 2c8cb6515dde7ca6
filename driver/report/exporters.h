// The output formats, each written from the same result set by one exporter. A new format is
// one new file holding its write function and one line in the table of exporters.cpp (a
// comparison's formats: compare_exporters.cpp). Every file a command writes in its output
// folder comes from one of these tables.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "driver/base/files.h"
#include "driver/results/results.h"

namespace ks::driver {

class RunSource;

// Where a file's text goes as it is made, piece by piece.
using TextSink = std::function<void(std::string_view)>;

struct Exported {
  std::vector<std::string> files;        // what was written, relative to the output folder
  std::string notice;                    // one line when part of it could not be made (no gnuplot)
  std::vector<std::string> failed = {};  // one line per file that could not be written

  // Writes `dir`/`name` whole and records it as written, or records the failure.
  void write(const std::string& dir, const std::string& name, const std::string& content);
  // The same for a file whose text `fill` gives its sink in pieces (a file of every run), so
  // that it is never held whole.
  void write_with(const std::string& dir, const std::string& name,
                  const std::function<void(const TextSink&)>& fill);
  void add(const Exported& other, const std::string& prefix = "");
};

// What the exporters wrote, by format.
struct Exports {
  std::vector<std::pair<std::string_view, Exported>> by_format;
  // What the format wrote; nothing when it was skipped.
  const Exported& of(std::string_view name) const;
  std::vector<std::string> failed() const;  // every format's failures
};

// One output format of an input (a result set, a comparison): its name and its writer.
template <typename Input>
struct ExporterOf {
  std::string_view name;
  // Writes its files under `dir`; a file that cannot be written is named in `failed` and the
  // others are still written. `earlier` holds what the formats before it in the table wrote
  // (a page links the plots that were drawn).
  Exported (*write)(const std::string& dir, const Input& input, const Exports& earlier);
};
using Exporter = ExporterOf<ResultSet>;

// Every format of a result set, in the order they are written (exporters.cpp).
std::span<const Exporter> exporters();
// What the map command writes: its map's files (exporters.cpp).
std::span<const Exporter> map_exporters();

// Writes every format of `table` but those named in `skip`, in the table's order.
template <typename Input>
Exports export_with(std::span<const ExporterOf<Input>> table, const std::string& dir,
                    const Input& input, const std::vector<std::string_view>& skip = {}) {
  Exports exports;
  for (const ExporterOf<Input>& e : table) {
    bool skipped = false;
    for (const std::string_view s : skip) {
      skipped = skipped || s == e.name;
    }
    if (skipped) {
      continue;
    }
    try {
      Exported done = e.write(dir, input, exports);
      exports.by_format.emplace_back(e.name, std::move(done));
    } catch (const WriteError& error) {  // a folder of its own that cannot be made
      Exported failed;
      failed.failed.emplace_back(error.what());
      exports.by_format.emplace_back(e.name, std::move(failed));
    }
  }
  return exports;
}

// The subcommand that made the results ("sweep", "tour", ...): the first word of its command
// that names one, after any option given before it; none when no word does.
std::optional<std::string> subcommand_of(const ResultSet& results);

// Writes every format but those named in `skip`.
Exports export_results(const std::string& dir, const ResultSet& results,
                       const std::vector<std::string_view>& skip = {});

}  // namespace ks::driver
