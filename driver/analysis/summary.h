// The summary of a sweep: per configuration, statistics of its valid runs with the median's
// interval and the outliers, whether the times are above what the program's printed time can
// resolve, rates from the cost model and speedups against one thread or the family's
// sequential baseline.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "driver/results/inference.h"
#include "driver/results/machine_context.h"
#include "driver/results/results.h"

namespace ks::driver {

class RunSource;

// `clock_step` is the resolution of the clock the times were read with (the machine context's
// clock.resolution_seconds); empty: this machine's.
std::vector<SummaryRow> summarize_runs(const std::vector<Config>& configs,
                                       const std::vector<RunRecord>& runs,
                                       std::optional<double> clock_step = std::nullopt);
// The same from a source, in one pass by configuration: `also` is given each configuration's
// runs with its row (its statistics made) to add what else is taken from them.
std::vector<SummaryRow> summarize_runs(
    const std::vector<Config>& configs, const RunSource& runs, std::optional<double> clock_step,
    const std::function<void(std::size_t, std::span<const RunRecord>, SummaryRow&)>& also = {});

// The variants of one kernel measured at the same size (and chunk), fastest first: each other
// one's median over the fastest's, with its interval, so that "A ran 1.93 (1.85–2.01) times
// faster than B" can be said. Only benchmarks with a median above resolution take part.
struct Ranking {
  std::string group;                                     // "vector-add N=1M"
  std::size_t fastest;                                   // a row of the summary
  std::vector<std::pair<std::size_t, Estimate>> others;  // row, times slower than the fastest
};
std::vector<Ranking> rank_variants(const std::vector<Config>& configs,
                                   const std::vector<SummaryRow>& rows);

// The clock resolution a result set's context recorded, or this machine's.
std::optional<double> context_clock_step(const MachineContext& context);

}  // namespace ks::driver
