// kernelscope list [-v]: the catalogue, family by family, with what the build holds.
#include <cstdio>
#include <memory>

#include "driver/catalogue.h"
#include "driver/commands.h"

namespace ks::driver {
namespace {

struct ListOptions {
  bool verbose = false;
};

int run_list(const Common& common, const ListOptions& options) {
  std::printf("  %-15s %-13s %-6s %-3s %-9s %s\n", "program", "kind", "OpenMP", "opt", "build",
              "arguments");
  std::string family;
  for (const ProgramInfo& p : catalogue()) {
    if (p.family != family) {
      family = std::string(p.family);
      std::printf("\n%s\n", family.c_str());
    }
    std::printf("  %-15s %-13s %-6s %-3s %-9s %s\n", std::string(p.name).c_str(), kind_name(p.kind),
                p.openmp ? (p.reads_schedule ? "OpenMP+" : "OpenMP") : "-",
                std::string(p.opt).c_str(), built(common, p.name) ? "built" : "MISSING",
                std::string(p.arguments).c_str());
    if (options.verbose) {
      if (!p.time_line.empty()) {
        std::printf("      time line:  %s\n", std::string(p.time_line).c_str());
      }
      std::printf("      checks:     %s\n", std::string(p.closed_form).c_str());
      if (p.kind == Kind::kBenchmark) {
        std::printf("      cost model: %s\n", cost_text(p).c_str());
        std::printf("      timed:      %s\n", interval_text(p).c_str());
      }
    }
  }
  std::printf(
      "\nOpenMP: the team size comes from OMP_NUM_THREADS (--threads); OpenMP+ also reads "
      "OMP_SCHEDULE (--schedules).\nPrograms are looked for in %s.%s\n",
      common.bin_dir.c_str(),
      options.verbose ? "" : " kernelscope list -v shows checks and cost models.");
  return 0;
}

}  // namespace

Subcommand setup_list(CLI::App& app, const Common& common) {
  auto options = std::make_shared<ListOptions>();
  auto* list = app.add_subcommand("list", "the catalogue of programs");
  list->add_flag("-v,--verbose", options->verbose, "also show checks, time lines and cost models");
  return {list, [&common, options] { return run_list(common, *options); }};
}

}  // namespace ks::driver
