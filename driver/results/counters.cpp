#include "driver/results/counters.h"

#include <fmt/format.h>

#include "driver/base/text.h"
#include "driver/results/run_source.h"
#include "driver/results/stats.h"

namespace ks::driver {
namespace {

template <std::optional<double> RunCounters::*M>
std::optional<double> real(const RunCounters& c) {
  return c.*M;
}

template <std::optional<std::int64_t> RunCounters::*M>
std::optional<double> whole(const RunCounters& c) {
  if (!(c.*M)) {
    return std::nullopt;
  }
  return static_cast<double>(*(c.*M));
}

constexpr std::array<CounterInfo, kCounterCount> kCounters = {{
    {"user_seconds", "user", real<&RunCounters::user_seconds>},
    {"system_seconds", "system", real<&RunCounters::system_seconds>},
    {"peak_rss_kib", "peak RSS KiB", whole<&RunCounters::peak_rss_kib>},
    {"minor_faults", "minor faults", whole<&RunCounters::minor_faults>},
    {"major_faults", "major faults", whole<&RunCounters::major_faults>},
    {"voluntary_switches", "vol. switches", whole<&RunCounters::voluntary_switches>},
    {"involuntary_switches", "invol. switches", whole<&RunCounters::involuntary_switches>},
    {"perf_task_clock_ns", "task clock", whole<&RunCounters::task_clock_ns>},
    {"perf_page_faults", "page faults (ev.)", whole<&RunCounters::page_faults>},
    {"perf_context_switches", "switches (ev.)", whole<&RunCounters::context_switches>},
    {"perf_migrations", "migrations", whole<&RunCounters::migrations>},
    {"perf_cycles", "cycles", whole<&RunCounters::cycles>},
    {"perf_instructions", "instructions", whole<&RunCounters::instructions>},
    {"perf_cache_references", "cache refs", whole<&RunCounters::cache_references>},
    {"perf_cache_misses", "cache misses", whole<&RunCounters::cache_misses>},
    {"perf_branch_misses", "branch misses", whole<&RunCounters::branch_misses>},
}};

static_assert(kCounters[kMinorFaultsCounter].name == "minor_faults");

}  // namespace

const std::array<CounterInfo, kCounterCount>& counter_table() {
  return kCounters;
}

std::string counter_text(const CounterInfo& counter, double value) {
  if (counter.name.ends_with("_seconds")) {
    return human_seconds(value);
  }
  if (counter.name.ends_with("_ns")) {
    return human_seconds(value / 1e9);
  }
  return value < 1e9 ? grouped(value) : fmt::format("{:.3g}", value);
}

CounterMedians counter_medians(std::span<const RunRecord> runs) {
  std::array<std::vector<double>, kCounterCount> values;
  for (const RunRecord& r : runs) {
    if (r.warmup || r.outcome != Outcome::kValid) {
      continue;
    }
    for (std::size_t k = 0; k < kCounterCount; ++k) {
      if (const auto v = kCounters[k].value(r.counters)) {
        values[k].push_back(*v);
      }
    }
  }
  CounterMedians medians;
  for (std::size_t k = 0; k < kCounterCount; ++k) {
    const Stats s = summarize(values[k]);
    medians[k] = s.count > 0 ? std::optional<double>(s.median) : std::optional<double>();
  }
  return medians;
}

void summarize_counters(const std::vector<RunRecord>& runs, std::vector<SummaryRow>& rows) {
  std::vector<CounterMedians> of_config;
  MemoryRuns(runs).by_config([&](std::size_t config, std::span<const RunRecord> mine) {
    if (config >= of_config.size()) {
      of_config.resize(config + 1);
    }
    of_config[config] = counter_medians(mine);
  });
  for (SummaryRow& row : rows) {
    row.counters = row.config < of_config.size() ? of_config[row.config] : CounterMedians{};
  }
}

}  // namespace ks::driver
