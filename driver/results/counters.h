// What each run cost the machine beyond its time: per run, and per configuration as the median
// over its valid measured runs. The counters cover the whole process (fill, kernel, report), not
// the timed interval alone.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/results/results.h"

namespace ks::driver {

struct CounterInfo {
  std::string_view name;  // column name, as in the run store: "minor_faults", "perf_cycles"
  std::string_view head;  // a short table heading: "minor faults", "cycles"
  std::optional<double> (*value)(const RunCounters&);
};

// Every counter, in the store's column order.
const std::array<CounterInfo, kCounterCount>& counter_table();
inline constexpr std::size_t kMinorFaultsCounter = 3;  // its place in the table

// A counter's value for people: "28.7 ms" for times, "49 234" for counts.
std::string counter_text(const CounterInfo& counter, double value);

// One configuration's medians, over its valid measured runs.
CounterMedians counter_medians(std::span<const RunRecord> runs);
// Each configuration's medians.
void summarize_counters(const std::vector<RunRecord>& runs, std::vector<SummaryRow>& rows);

}  // namespace ks::driver
