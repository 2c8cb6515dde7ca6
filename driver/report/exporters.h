// The output formats, each written from the same result set by one exporter. A new format is
// one new file holding its write function and one line in the table of exporters.cpp.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

struct Exporter {
  std::string_view name;
  // Writes its files under `dir`; a file that cannot be written is named in `failed` and the
  // others are still written.
  Exported (*write)(const std::string& dir, const ResultSet& results);
};

// Every format, in the order they are written.
std::span<const Exporter> exporters();

// What the exporters wrote, by format.
struct Exports {
  std::vector<std::pair<std::string_view, Exported>> by_format;
  // What the format wrote; nothing when it was skipped.
  const Exported& of(std::string_view name) const;
  std::vector<std::string> failed() const;  // every format's failures
};

// The subcommand that made the results ("sweep", "tour", ...): the first word of its command
// that names one, after any option given before it; none when no word does.
std::optional<std::string> subcommand_of(const ResultSet& results);

// Writes every format but those named in `skip`.
Exports export_results(const std::string& dir, const ResultSet& results,
                       const std::vector<std::string_view>& skip = {});

}  // namespace ks::driver
