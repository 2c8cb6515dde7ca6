// The summary of a sweep: per configuration, statistics of its valid runs, rates from the
// cost model and speedups against one thread or the family's sequential baseline.
#pragma once

#include <vector>

#include "driver/results.h"

namespace ks::driver {

std::vector<SummaryRow> summarize_runs(const std::vector<Config>& configs,
                                       const std::vector<RunRecord>& runs);

}  // namespace ks::driver
