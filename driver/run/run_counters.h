// What each run cost the machine beyond its time, from spawn's counters (wait4 for every run,
// performance events where the machine has them): per run, and per configuration as the
// median over its valid measured runs. The counters cover the whole process (fill, kernel,
// report), not the timed interval alone.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/analysis/results.h"
#include "spawn/counters.h"

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

// A run's counters from spawn's. The peak resident memory is left out when spawn could not
// tell it from the driver's own.
RunCounters counters_from(const ks::Counters& c);

// Each configuration's medians.
void summarize_counters(const std::vector<RunRecord>& runs, std::vector<SummaryRow>& rows);

// The one line to say, or "" when every event counts: "hardware counters: not available on
// this machine", "performance counters: not permitted (...)".
std::string counters_notice(const ks::EventSupport& support);

}  // namespace ks::driver
