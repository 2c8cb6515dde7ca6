// Drawing the plots: gnuplot found and run, the images written under temporary names and
// renamed once complete.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include <fmt/format.h>

#include "driver/base/files.h"
#include "driver/base/text.h"
#include "driver/report/exporters.h"
#include "driver/report/plots.h"
#include "spawn/spawn.h"

namespace ks::driver {

std::string find_gnuplot() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/gnuplot";
    if (access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return "";
}

std::string run_gnuplot(const std::string& gnuplot, const std::string& script_path,
                        const std::string& workdir) {
  // An argument vector, no shell; the folder's name is a string literal of gnuplot's.
  ks::RunOptions options;
  options.args = {"-e", "cd " + gnuplot_string(workdir, GnuplotField::kPath), script_path};
  options.timeout_seconds = 60;
  const ks::RunResult r = ks::run_program(gnuplot, options);
  if (!r.ok()) {
    // gnuplot names the problem on the last line of its message.
    std::string last = r.err;
    while (!last.empty() && (last.back() == '\n' || last.back() == ' ')) {
      last.pop_back();
    }
    last = last.substr(last.rfind('\n') == std::string::npos ? 0 : last.rfind('\n') + 1);
    return fmt::format("gnuplot failed ({}){}", r.describe(), last.empty() ? "" : ": " + last);
  }
  return "";
}

Exported write_plots(const std::string& dir, const ResultSet& results, const Exports& /*earlier*/) {
  Exported result;
  const std::vector<PlotText> all = plot_texts(results);
  if (all.empty()) {
    return result;
  }
  const std::string plot_dir = dir + "/plots";
  create_folder(plot_dir);
  // Only the plots whose data could be written are drawn.
  std::vector<PlotText> plots;
  std::string script;
  for (const PlotText& p : all) {
    const std::size_t failures = result.failed.size();
    result.write(dir, "plots/" + p.name + ".dat", p.data);
    if (result.failed.size() == failures) {
      plots.push_back(p);
      script += p.script;
    }
  }
  const std::size_t failures = result.failed.size();
  result.write(dir, "plots/plots.gp", script);
  if (result.failed.size() != failures || plots.empty()) {
    return result;
  }
  const std::string script_path = std::filesystem::absolute(plot_dir + "/plots.gp").string();
  const std::string gnuplot = find_gnuplot();
  if (gnuplot.empty()) {
    result.notice = fmt::format(
        "gnuplot not found: plots not drawn (install gnuplot-nox; the data and the script are "
        "in {})",
        plot_dir);
    return result;
  }
  // gnuplot writes into files the driver made (never through a link put in their place) under
  // temporary names: the images appear only once both are complete.
  std::vector<std::pair<std::string, ProgramOutput>> outputs;
  try {
    for (const PlotText& p : plots) {
      for (const char* ext : {".svg", ".png"}) {
        outputs.emplace_back("plots/" + p.name + ext, ProgramOutput(plot_dir + "/" + p.name + ext));
      }
    }
  } catch (const WriteError& e) {
    result.failed.emplace_back(e.what());
    return result;
  }
  const std::string problem =
      run_gnuplot(gnuplot, script_path, std::filesystem::absolute(plot_dir).string());
  if (!problem.empty()) {
    std::string names;
    for (const PlotText& p : plots) {
      for (const char* ext : {".svg", ".png"}) {
        names += (names.empty() ? "" : ", ") + p.name + ext;
      }
    }
    result.failed.push_back(fmt::format("cannot draw {}/{{{}}}: {}", plot_dir, names, problem));
    return result;
  }
  for (auto& [name, output] : outputs) {
    try {
      output.keep();
      result.files.push_back(name);
    } catch (const WriteError& e) {
      result.failed.emplace_back(e.what());
    }
  }
  return result;
}

}  // namespace ks::driver
