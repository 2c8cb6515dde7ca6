// The compiled kernel loops of the programs a plan runs, analysed (objdump, llvm-mca: see
// loopmodel/analysis.h) for the model, each kept in the per-user cache by its build id so
// that only a new build pays for it.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver/results/results.h"

namespace ks::driver {

// The context's "loops": per benchmark of `configs` with a loop nest, the analysis of
// `bin_dir`/its name, or {"error": why} when there is none (no objdump or llvm-mca, no timed
// loop found). `cache_dir` "" keeps nothing.
nlohmann::json loops_context(const std::vector<Config>& configs, const std::string& bin_dir,
                             const std::string& cache_dir);

}  // namespace ks::driver
