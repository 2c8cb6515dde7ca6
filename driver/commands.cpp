#include "driver/commands.h"

#include <unistd.h>

#include <cstdio>

#include <fmt/format.h>

namespace ks::driver {

void error_line(const std::string& what) {
  std::fprintf(stderr, "kernelscope: %s\n", what.c_str());
}

void warning_line(const std::string& what) {
  error_line("warning: " + what);
}

void add_placement_options(CLI::App* app, Placement& placement) {
  app->add_option("--bind", placement.bind,
                  "OMP_PROC_BIND of the OpenMP programs: close, spread, primary, true, false "
                  "(default: the caller's OMP_PROC_BIND, else the runtime's)");
  app->add_option("--places", placement.places,
                  "OMP_PLACES of the OpenMP programs: threads, cores, sockets, ll_caches, "
                  "numa_domains, cores(4), {0,1},{2,3} (default: the caller's, else the "
                  "runtime's)");
}

OpenmpEnvironment openmp_environment(const Placement& asked) {
  if (!asked.bind.empty()) {
    check_bind(asked.bind);
  }
  if (!asked.places.empty()) {
    check_places(asked.places);
  }
  return resolve_openmp_environment(asked, caller_openmp_variables());
}

bool built(const Common& common, std::string_view name) {
  return access((common.bin_dir + "/" + std::string(name)).c_str(), X_OK) == 0;
}

std::string missing_message(const Common& common, std::string_view name) {
  return fmt::format("{} is in the catalogue but missing from the build (no executable {}/{})",
                     name, common.bin_dir, name);
}

bool report_bad_runs(const ResultSet& results) {
  int bad = 0;
  for (const RunRecord& r : results.runs) {
    if (r.outcome == Outcome::kValid) {
      continue;
    }
    if (++bad <= 8) {
      error_line(fmt::format("{} run of {}: {}", outcome_name(r.outcome),
                             results.configs[r.config].label(), r.why));
    }
  }
  if (bad > 8) {
    error_line(fmt::format("... {} runs in all were not valid (see runs.csv)", bad));
  }
  return bad > 0;
}

}  // namespace ks::driver
