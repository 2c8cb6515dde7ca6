// kernelscope map PROGRAM [ARGS] [--threads T]: which thread ran which iteration of one run of
// a demonstration, drawn on the terminal and as files, and judged against its rule.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include <fmt/format.h>

#include "driver/catalogue.h"
#include "driver/commands.h"
#include "driver/files.h"
#include "driver/lists.h"
#include "driver/map_view.h"

namespace ks::driver {
namespace {

struct MapOptions {
  std::string program;
  std::vector<std::string> args;
  int threads = 4;
  std::string out = "kernelscope-report-map";
  Placement placement;
};

// The program's arguments: as given, or the catalogue's usual ones rather than the usage
// message when none are given.
RunSpec map_spec(const ProgramInfo& p, const MapOptions& options) {
  RunSpec spec;
  spec.args = options.args;
  if (options.args.empty() && p.arg != ArgKind::kNone) {
    std::optional<std::uint64_t> size;
    std::optional<long long> chunk;
    if (!p.default_sizes.empty()) {
      size = parse_sizes(p.default_sizes).front();
    }
    if (!p.default_chunks.empty()) {
      chunk = static_cast<long long>(parse_list(p.default_chunks, 2147483647).front());
    }
    spec.args = program_args(p, size, chunk);
  }
  spec.threads = options.threads;
  return spec;
}

int run_map(const Common& common, const MapOptions& options) {
  const std::string& name = options.program;
  const ProgramInfo* p = find_program(name);
  if (p == nullptr) {
    throw UsageError(
        fmt::format("unknown program '{}' (kernelscope list shows the catalogue)", name));
  }
  if (p->kind != Kind::kDemonstration) {
    throw UsageError(fmt::format(
        "{} is a benchmark; map draws the demonstrations (kernelscope sweep measures it)", name));
  }
  if (options.threads < 1 || options.threads > 1024) {
    throw UsageError("--threads must be between 1 and 1024");
  }
  if (!built(common, name)) {
    throw UsageError(missing_message(common, name));
  }
  const OpenmpEnvironment openmp = openmp_environment(options.placement);
  prepare_output_dir(options.out);
  for (const std::string& n : openmp.notices) {
    error_line(n);
  }
  const RunSpec spec = map_spec(*p, options);
  ks::RunOptions run;
  run.args = spec.args;
  for (const auto& [variable, value] : openmp.passed) {
    run.env[variable] = value;
  }
  if (!openmp.placement.bind.empty()) {
    run.env["OMP_PROC_BIND"] = openmp.placement.bind;
  }
  if (!openmp.placement.places.empty()) {
    run.env["OMP_PLACES"] = openmp.placement.places;
  }
  run.env["OMP_NUM_THREADS"] = std::to_string(spec.threads);
  run.timeout_seconds = common.timeout;
  const ks::RunResult result = ks::run_program(common.bin_dir + "/" + name, run);
  const Trace trace = p->trace(spec, result);
  const std::string notice = write_map_files(options.out, "map", *p, spec, trace);
  if (!notice.empty()) {
    error_line(notice);
  }
  std::fputs(map_text(trace, map_title(*p, spec), isatty(STDOUT_FILENO) == 1).c_str(), stdout);
  std::printf("map written to %s/ (map.svg%s, map.csv, map.json)\n", options.out.c_str(),
              std::filesystem::exists(options.out + "/map.png") ? ", map.png" : "");
  return trace.problems.empty() ? 0 : kRunsFailed;
}

}  // namespace

Subcommand setup_map(CLI::App& app, const Common& common) {
  auto o = std::make_shared<MapOptions>();
  auto* map = app.add_subcommand("map", "who ran which iteration of a demonstration");
  map->add_option("program", o->program, "a demonstration")->required();
  map->add_option("args", o->args,
                  "its arguments (after -- when they start with -); the usual ones when none");
  map->add_option("--threads", o->threads, "team size")->default_val(4);
  map->add_option("--out", o->out, "output folder")->default_val(o->out);
  add_placement_options(map, o->placement);
  return {map, [&common, o] { return run_map(common, *o); }};
}

}  // namespace ks::driver
