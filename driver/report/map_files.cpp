// A schedule map's files: CSV, JSON, SVG and PNG under their stem, and a tour's maps.
#include <filesystem>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "driver/base/files.h"
#include "driver/report/exporters.h"
#include "driver/report/map_detail.h"
#include "driver/report/map_view.h"
#include "driver/report/plots.h"

namespace ks::driver {
using namespace map_detail;

std::string map_csv(const Trace& t) {
  std::string out = "order,thread,column,label,value\n";
  for (const Cell& c : t.cells) {
    out +=
        fmt::format("{},{},{},{},{}\n", c.order + 1, c.thread < 0 ? "" : std::to_string(c.thread),
                    c.column, column_name(t, c.column), c.value ? std::to_string(*c.value) : "");
  }
  return out;
}

nlohmann::json map_json(const Trace& t, const std::string& program, const RunSpec& spec) {
  nlohmann::json j;
  j["program"] = program;
  j["args"] = spec.args;
  j["threads"] = t.team;
  j["rule"] = t.rule;
  j["follows_rule"] = t.problems.empty();
  j["problems"] = t.problems;
  j["refused"] = t.refused;
  j["columns"] = t.columns;
  j["column_labels"] = t.column_labels;
  nlohmann::json cells = nlohmann::json::array();
  for (const Cell& c : t.cells) {
    cells.push_back({{"order", c.order + 1},
                     {"thread", c.thread < 0 ? nlohmann::json(nullptr) : nlohmann::json(c.thread)},
                     {"column", c.column},
                     {"value", c.value ? nlohmann::json(*c.value) : nlohmann::json(nullptr)}});
  }
  j["cells"] = cells;
  // Per thread: its iterations in the order it ran them.
  nlohmann::json per = nlohmann::json::object();
  for (const Cell& c : t.cells) {
    if (c.thread >= 0) {
      per[std::to_string(c.thread)].push_back(c.column);
    }
  }
  j["per_thread"] = per;
  nlohmann::json tv = nlohmann::json::array();
  for (const auto& [thread, value] : t.thread_values) {
    tv.push_back({{"thread", thread}, {"value", value}});
  }
  j["thread_values"] = tv;
  j["outside"] = t.outside ? nlohmann::json(*t.outside) : nlohmann::json(nullptr);
  return j;
}

std::string map_title(const ProgramInfo& p, const RunSpec& spec) {
  std::string title(p.name);
  // Each argument by its name: the count n, the chunk, a size N.
  std::vector<std::string_view> names;
  switch (p.arg) {
    case ArgKind::kCount:
      names = {"n"};
      break;
    case ArgKind::kChunk:
      names = {"chunk"};
      break;
    case ArgKind::kCountChunk:
      names = {"n", "chunk"};
      break;
    case ArgKind::kSize:
    case ArgKind::kSignedSize:
      names = {"N"};
      break;
    case ArgKind::kNone:
      break;
  }
  for (std::size_t k = 0; k < spec.args.size(); ++k) {
    title +=
        k < names.size() ? fmt::format(", {} = {}", names[k], spec.args[k]) : ", " + spec.args[k];
  }
  return title + fmt::format(", {} thread{}", spec.threads, spec.threads == 1 ? "" : "s");
}

std::string map_stem(const Config& c) {
  return fmt::format("{}-T{}", c.program->name, c.threads);
}

Exported write_map_files(const std::string& dir, const std::string& stem, const ProgramInfo& p,
                         const RunSpec& spec, const Trace& trace) {
  Exported e;
  const std::string title = map_title(p, spec);
  e.write(dir, stem + ".svg", map_svg(trace, title));
  e.write(dir, stem + ".csv", map_csv(trace));
  e.write(dir, stem + ".json",
          map_json(trace, std::string(p.name), spec)
                  .dump(2, ' ', false, nlohmann::json::error_handler_t::replace) +
              "\n");
  if (trace.refused || trace.cells.empty()) {
    return e;
  }
  const std::string gnuplot = find_gnuplot();
  if (gnuplot.empty()) {
    e.notice = "gnuplot not found: maps drawn as SVG only (install gnuplot-nox for PNG)";
    return e;
  }
  const std::string abs_dir = std::filesystem::absolute(dir).string();
  const std::size_t failures = e.failed.size();
  e.write(abs_dir, stem + ".dat", map_gnuplot_data(trace));
  e.write(abs_dir, stem + ".gp", map_gnuplot_script(trace, title, stem));
  if (e.failed.size() != failures) {
    return e;
  }
  // gnuplot writes into a file the driver made, renamed once complete.
  std::string problem;
  try {
    ProgramOutput png(abs_dir + "/" + stem + ".png");
    problem = run_gnuplot(gnuplot, abs_dir + "/" + stem + ".gp", abs_dir);
    if (problem.empty()) {
      png.keep();
    }
  } catch (const WriteError& error) {
    problem = error.what();
  }
  if (!problem.empty()) {
    e.failed.push_back(fmt::format("cannot draw {}/{}.png: {}", dir, stem, problem));
  } else {
    e.files.push_back(stem + ".png");
  }
  return e;
}

// A tour's maps: one per demonstration configuration, from its last run. The first notice
// stands for all.
Exported write_maps(const std::string& dir, const ResultSet& results, const Exports& /*earlier*/) {
  Exported exported;
  if (results.maps.empty()) {
    return exported;
  }
  create_folder(dir + "/maps");
  for (const DemoMap& m : results.maps) {
    const Config& c = results.configs[m.config];
    exported.add(write_map_files(dir + "/maps", map_stem(c), *c.program, c.spec(), m.trace),
                 "maps/");
  }
  return exported;
}

// The map command's files: its one map, named map.*, in the folder itself.
Exported write_map_command(const std::string& dir, const ResultSet& results,
                           const Exports& /*earlier*/) {
  if (results.maps.empty()) {
    return {};
  }
  const DemoMap& m = results.maps.front();
  const Config& c = results.configs[m.config];
  return write_map_files(dir, "map", *c.program, c.spec(), m.trace);
}

}  // namespace ks::driver
