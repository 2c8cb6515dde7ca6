#include "driver/run/run_counters.h"

#include <algorithm>
#include <cstdint>

#include <fmt/format.h>

namespace ks::driver {
namespace {

std::optional<std::int64_t> event(const ks::Counters& c, ks::Event e) {
  const auto v = c.event(e);
  if (!v) {
    return std::nullopt;
  }
  // A count beyond what the store's integers hold is kept at their largest.
  return static_cast<std::int64_t>(std::min<std::uint64_t>(*v, INT64_MAX));
}

// "cycles: not available on this machine" -> "not available on this machine"
std::string reason(const std::string& note) {
  const auto colon = note.find(": ");
  return colon == std::string::npos ? note : note.substr(colon + 2);
}

}  // namespace

RunCounters counters_from(const ks::Counters& c) {
  RunCounters r;
  r.user_seconds = c.user_seconds;
  r.system_seconds = c.system_seconds;
  if (c.max_rss_own) {
    r.peak_rss_kib = c.max_rss_kib;
  }
  r.minor_faults = c.minor_faults;
  r.major_faults = c.major_faults;
  r.voluntary_switches = c.voluntary_switches;
  r.involuntary_switches = c.involuntary_switches;
  r.task_clock_ns = event(c, ks::Event::kTaskClock);
  r.page_faults = event(c, ks::Event::kPageFaults);
  r.context_switches = event(c, ks::Event::kContextSwitches);
  r.migrations = event(c, ks::Event::kCpuMigrations);
  r.cycles = event(c, ks::Event::kCycles);
  r.instructions = event(c, ks::Event::kInstructions);
  r.cache_references = event(c, ks::Event::kCacheReferences);
  r.cache_misses = event(c, ks::Event::kCacheMisses);
  r.branch_misses = event(c, ks::Event::kBranchMisses);
  return r;
}

std::string counters_notice(const ks::EventSupport& support) {
  if (!support.any()) {
    return "performance counters: " +
           reason(support.software_note.empty() ? support.hardware_note : support.software_note);
  }
  if (!support.hardware_note.empty()) {
    return "hardware counters: " + reason(support.hardware_note);
  }
  return "";
}

}  // namespace ks::driver
