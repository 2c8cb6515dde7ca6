#include "driver/session/loop_analyses.h"

#include <exception>

#include "loopmodel/analysis.h"

namespace ks::driver {

nlohmann::json loops_context(const std::vector<Config>& configs, const std::string& bin_dir,
                             const std::string& cache_dir) {
  nlohmann::json loops = nlohmann::json::object();
  for (const Config& c : configs) {
    const ProgramInfo& p = *c.program;
    const std::string name(p.name);
    if (p.kind != Kind::kBenchmark || p.nest == nullptr || loops.contains(name)) {
      continue;
    }
    ks::loopmodel::AnalysisOptions options;
    options.cache_dir = cache_dir;
    try {
      loops[name] =
          ks::loopmodel::to_json(ks::loopmodel::analyse_binary(bin_dir + "/" + name, options));
    } catch (const std::exception& e) {
      loops[name] = {{"error", e.what()}};
    }
  }
  return loops;
}

}  // namespace ks::driver
