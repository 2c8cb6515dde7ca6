// kernelscope list [-v]: the catalogue, family by family, with what the build holds.
#include <algorithm>
#include <cstdio>
#include <memory>

#include <fmt/format.h>

#include "driver/app/commands.h"
#include "driver/catalogue/catalogue.h"

namespace ks::driver {
namespace {

struct ListOptions {
  bool verbose = false;
};

const char* openmp_text(const ProgramInfo& p) {
  return p.openmp ? (p.reads_schedule ? "OpenMP+" : "OpenMP") : "-";
}

int run_list(const Common& common, const ListOptions& options) {
  // Every column as wide as its widest entry, so that the table stays aligned whatever the
  // catalogue holds.
  std::size_t name_w = std::string_view("program").size();
  std::size_t kind_w = std::string_view("kind").size();
  std::size_t omp_w = std::string_view("OpenMP").size();
  std::size_t opt_w = std::string_view("opt").size();
  const std::size_t build_w = std::string_view("MISSING").size();
  for (const ProgramInfo& p : catalogue()) {
    name_w = std::max(name_w, p.name.size());
    kind_w = std::max(kind_w, std::string_view(kind_name(p.kind)).size());
    omp_w = std::max(omp_w, std::string_view(openmp_text(p)).size());
    opt_w = std::max(opt_w, p.opt.size());
  }
  auto row = [&](std::string_view name, std::string_view kind, std::string_view omp,
                 std::string_view opt, std::string_view build, std::string_view arguments) {
    std::fputs(fmt::format("  {:<{}} {:<{}} {:<{}} {:<{}} {:<{}} {}\n", name, name_w, kind, kind_w,
                           omp, omp_w, opt, opt_w, build, build_w, arguments)
                   .c_str(),
               stdout);
  };
  row("program", "kind", "OpenMP", "opt", "build", "arguments");
  std::string family;
  for (const ProgramInfo& p : catalogue()) {
    if (p.family != family) {
      family = std::string(p.family);
      std::printf("\n%s\n", family.c_str());
    }
    row(p.name, kind_name(p.kind), openmp_text(p), p.opt,
        built(common, p.name) ? "built" : "MISSING", p.arguments);
    if (options.verbose) {
      if (!p.time_line.empty()) {
        std::printf("      time line:  %s\n", std::string(p.time_line).c_str());
      }
      std::printf("      checks:     %s\n", std::string(p.closed_form).c_str());
      if (p.kind == Kind::kBenchmark) {
        std::printf("      cost model: %s\n", cost_text(p).c_str());
        std::printf("      timed:      %s\n", interval_text(p).c_str());
      }
      std::string defaults;
      if (!p.default_sizes.empty()) {
        defaults = fmt::format("size {}", p.default_sizes);
      }
      if (!p.default_chunks.empty()) {
        defaults += fmt::format("{}chunk {}", defaults.empty() ? "" : ", ", p.default_chunks);
      }
      if (!defaults.empty()) {
        std::printf("      defaults:   %s\n", defaults.c_str());
      }
    }
  }
  std::printf(
      "\nOpenMP: the team size comes from OMP_NUM_THREADS (--threads); OpenMP+ also reads "
      "OMP_SCHEDULE (--schedules).\nPrograms are looked for in %s.%s\n",
      common.bin_dir.c_str(),
      options.verbose ? "" : " kernelscope list -v shows checks, cost models and defaults.");
  return 0;
}

}  // namespace

Subcommand setup_list(CLI::App& app, Common& common) {
  auto options = std::make_shared<ListOptions>();
  auto* list = app.add_subcommand("list", "the catalogue of programs");
  list->add_flag("-v,--verbose", options->verbose,
                 "also show time lines, checks, cost models and a sweep's default sizes");
  add_bin_option(*list, common);
  return {list, [&common, options] { return run_list(common, *options); }};
}

}  // namespace ks::driver
