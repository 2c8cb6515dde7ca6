// The summary of a sweep: per configuration, statistics of its valid runs with the median's
// interval and the outliers, whether the times are above what the program's printed time can
// resolve, rates from the cost model and speedups against one thread or the family's
// sequential baseline.
#pragma once

#include <optional>
#include <vector>

#include "driver/inference.h"
#include "driver/results.h"

namespace ks::driver {

// `clock_step` is the resolution of the clock the times were read with (the machine context's
// clock.resolution_seconds); empty: this machine's.
std::vector<SummaryRow> summarize_runs(const std::vector<Config>& configs,
                                       const std::vector<RunRecord>& runs,
                                       std::optional<double> clock_step = std::nullopt);

// The clock resolution a result set's context recorded, or this machine's.
std::optional<double> context_clock_step(const nlohmann::json& context);

}  // namespace ks::driver
