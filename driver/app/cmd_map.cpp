// kernelscope map PROGRAM [ARGS] [--threads T]: which thread ran which iteration of one run of
// a demonstration, drawn on the terminal and as files, and judged against its rule.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include <fmt/format.h>

#include "common/count_arg.h"
#include "driver/app/commands.h"
#include "driver/base/files.h"
#include "driver/catalogue/catalogue.h"
#include "driver/plan/lists.h"
#include "driver/plan/plan.h"
#include "driver/report/map_view.h"
#include "driver/session/measure.h"

namespace ks::driver {
namespace {

struct MapOptions {
  std::string program;
  std::vector<std::string> args;
  int threads = 4;
  bool allow_cap = false;
  std::string out = "kernelscope-report-map";
  bool force = false;
  Placement placement;
};

// One value of the program's command line, read as a sweep reads its lists (K, M, G
// included), but a single value: a map draws one run.
std::uint64_t single_value(const std::string& text, std::uint64_t max_value, const char* what) {
  std::vector<std::uint64_t> values;
  try {
    values = parse_list(text, max_value);
  } catch (const std::invalid_argument& e) {
    throw UsageError(fmt::format("malformed {} {}", what, e.what()));
  }
  if (values.size() != 1 || text.find_first_of(",.") != std::string::npos) {
    throw UsageError(fmt::format("a map draws one run: one {}, not '{}'", what, text));
  }
  return values.front();
}

// The program's arguments: the catalogue's usual ones when none are given, else exactly as
// many as it takes, checked as a sweep checks its sizes and chunks (caps included).
RunSpec map_spec(const ProgramInfo& p, const MapOptions& options,
                 std::vector<std::string>& notices) {
  const bool sized = p.arg == ArgKind::kSize || p.arg == ArgKind::kSignedSize ||
                     p.arg == ArgKind::kCount || p.arg == ArgKind::kCountChunk;
  const bool chunked = p.arg == ArgKind::kChunk || p.arg == ArgKind::kCountChunk;
  const std::size_t takes = (sized ? 1 : 0) + (chunked ? 1 : 0);
  const std::vector<std::string>& args = options.args;
  if (!args.empty() && args.size() != takes) {
    throw UsageError(takes == 0
                         ? fmt::format("{} takes no arguments, {} given", p.name, args.size())
                         : fmt::format("{} takes {} argument{} ({}), {} given", p.name, takes,
                                       takes == 1 ? "" : "s", p.arguments, args.size()));
  }
  std::optional<std::uint64_t> size;
  std::optional<long long> chunk;
  if (sized) {
    size = args.empty() ? parse_sizes(p.default_sizes).front()
                        : single_value(args[0], 4294967295u, "size");
    check_size(p, *size, options.allow_cap, 0, notices);
  }
  if (chunked) {
    chunk =
        static_cast<long long>(args.empty() ? parse_list(p.default_chunks, 2147483647).front()
                                            : single_value(args[takes - 1], 2147483647, "chunk"));
    if (*chunk < 1) {
      throw UsageError(fmt::format("{}: a chunk must be at least 1", p.name));
    }
  }
  RunSpec spec;
  spec.args = program_args(p, size, chunk);
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
    throw UsageError(unknown_program(name));
  }
  if (p->kind != Kind::kDemonstration) {
    throw UsageError(fmt::format(
        "{} is a benchmark; map draws the demonstrations (kernelscope sweep measures it)", name));
  }
  if (options.threads < 1 || options.threads > kMaxThreads) {
    throw UsageError(fmt::format("--threads must be between 1 and {}", kMaxThreads));
  }
  const OpenmpEnvironment openmp = openmp_environment(options.placement);
  std::vector<std::string> notices = openmp.notices;
  const RunSpec spec = map_spec(*p, options, notices);
  if (!built(common, name)) {
    throw UsageError(missing_message(common, name));
  }
  for (const std::string& n : notices) {
    error_line(n);
  }
  if (const long long items = items_asked(*p, spec); items > kMapMaxItems) {
    throw UsageError(fmt::format("{} {} would print {} iterations; a map draws at most {}", name,
                                 spec.args[0], items, kMapMaxItems));
  }
  Config c;
  c.program = p;
  c.threads = spec.threads;
  c.bind = openmp.placement.bind;
  c.places = openmp.placement.places;
  if (!spec.args.empty()) {
    c.args = spec.args;
  }
  c.repeat = 1;
  const Measurement m = measure(interleaved_plan({c}), {.kind = "map",
                                                        .out = options.out,
                                                        .bin_dir = common.bin_dir,
                                                        .timeout_seconds = common.timeout,
                                                        .force = options.force,
                                                        .command = common.command,
                                                        .openmp = openmp,
                                                        .on_plan = output_line});
  if (const std::string& notice = m.exports.of("maps").notice; !notice.empty()) {
    error_line(notice);
  }
  bool broken = false;
  for (const DemoMap& map : m.results.maps) {
    std::fputs(map_text(map.trace, map_title(*p, spec), isatty(STDOUT_FILENO) == 1).c_str(),
               stdout);
    broken = broken || !map.trace.problems.empty();
  }
  RunQuery not_valid;
  not_valid.not_valid_only = true;
  runs_of(m.results)->each(not_valid, [&](std::size_t, const RunRecord& r) {
    if (r.outcome != Outcome::kInvalid) {
      error_line(fmt::format("{} run of {}: {}", outcome_name(r.outcome), c.label(), r.why));
      broken = true;
    }
  });
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

Subcommand setup_map(CLI::App& app, Common& common) {
  auto o = std::make_shared<MapOptions>();
  auto* map = app.add_subcommand("map", "who ran which iteration of a demonstration");
  map->add_option("PROGRAM", o->program, "a demonstration (kernelscope list)")->required();
  map->add_option("ARGS", o->args,
                  "its arguments, as kernelscope list shows them (K, M, G are powers of two);\n"
                  "its usual ones when none; after -- when they start with -");
  map->add_option("--threads", o->threads, "team size (OMP_NUM_THREADS), from 1 to 1024")
      ->default_val(4);
  map->add_flag("--cap", o->allow_cap,
                "draw a count above the program's cap anyway (the program runs its cap)");
  map->add_option("--out", o->out, "output folder")->type_name("DIR")->default_val(o->out);
  map->add_flag("--force", o->force,
                "replace a sweep's or tour's results in the output folder (a map's are replaced "
                "anyway)");
  add_placement_options(map, o->placement);
  add_bin_option(*map, common);
  add_timeout_option(*map, common);
  return {map, [&common, o] { return run_map(common, *o); }};
}

}  // namespace ks::driver
