// kernelscope map PROGRAM [ARGS] [--threads T]: which thread ran which iteration of one run of
// a demonstration, drawn on the terminal and as files, and judged against its rule.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include <fmt/format.h>

#include "common/count_arg.h"
#include "driver/catalogue.h"
#include "driver/commands.h"
#include "driver/files.h"
#include "driver/lists.h"
#include "driver/map_view.h"
#include "driver/measure.h"

namespace ks::driver {
namespace {

struct MapOptions {
  std::string program;
  std::vector<std::string> args;
  int threads = 4;
  std::string out = "kernelscope-report-map";
  bool force = false;
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

// The iterations a demonstration's run would print, from its count argument as the program
// reads it (after its cap); 0 for those that take none.
long long items_asked(const ProgramInfo& p, const RunSpec& spec) {
  if ((p.arg != ArgKind::kCount && p.arg != ArgKind::kCountChunk) || spec.args.empty()) {
    return 0;
  }
  const long long n = ks::count_arg(spec.args[0].c_str()).s;
  return p.cap != 0 ? std::min(n, static_cast<long long>(p.cap)) : n;
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
  const RunSpec spec = map_spec(*p, options);
  if (const long long items = items_asked(*p, spec); items > kMapMaxItems) {
    throw UsageError(fmt::format("{} {} would print {} iterations; a map draws at most {}", name,
                                 spec.args[0], items, kMapMaxItems));
  }
  Config c;
  c.program = p;
  c.threads = spec.threads;
  if (!spec.args.empty()) {
    c.args = spec.args;
  }
  c.repeat = 1;
  const Measurement m = measure(interleaved_plan({c}), {.kind = "map",
                                                        .out = options.out,
                                                        .bin_dir = common.bin_dir,
                                                        .timeout_seconds = common.timeout,
                                                        .force = options.force,
                                                        .command = common.command});
  if (const std::string& notice = m.exports.of("maps").notice; !notice.empty()) {
    error_line(notice);
  }
  bool broken = false;
  for (const DemoMap& map : m.results.maps) {
    std::fputs(map_text(map.trace, map_title(*p, spec), isatty(STDOUT_FILENO) == 1).c_str(),
               stdout);
    broken = broken || !map.trace.problems.empty();
  }
  for (const RunRecord& r : m.results.runs) {
    if (r.outcome != Outcome::kValid && r.outcome != Outcome::kInvalid) {
      error_line(fmt::format("{} run of {}: {}", outcome_name(r.outcome), c.label(), r.why));
      broken = true;
    }
  }
  const std::vector<std::string>& files = m.exports.of("maps").files;
  if (!files.empty()) {
    std::string list;
    for (const std::string& f : files) {
      if (!f.ends_with(".dat") && !f.ends_with(".gp")) {
        list += (list.empty() ? "" : ", ") + f;
      }
    }
    std::printf("map written to %s/ (%s)\n", options.out.c_str(), list.c_str());
  }
  return finish(m, options.out, common, broken);
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
  map->add_flag("--force", o->force,
                "replace a sweep's or tour's results in the output folder (a map's are replaced "
                "anyway)");
  return {map, [&common, o] { return run_map(common, *o); }};
}

}  // namespace ks::driver
