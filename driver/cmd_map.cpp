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
#include "driver/plan.h"

namespace ks::driver {
namespace {

struct MapOptions {
  std::string program;
  std::vector<std::string> args;
  int threads = 4;
  bool allow_cap = false;
  std::string out = "kernelscope-report-map";
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
  if (options.threads < 1 || options.threads > kMaxThreads) {
    throw UsageError(fmt::format("--threads must be between 1 and {}", kMaxThreads));
  }
  std::vector<std::string> notices;
  const RunSpec spec = map_spec(*p, options, notices);
  if (!built(common, name)) {
    throw UsageError(missing_message(common, name));
  }
  prepare_output_dir(options.out);
  for (const std::string& n : notices) {
    error_line(n);
  }
  ks::RunOptions run;
  run.args = spec.args;
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
  add_bin_option(*map, common);
  add_timeout_option(*map, common);
  return {map, [&common, o] { return run_map(common, *o); }};
}

}  // namespace ks::driver
