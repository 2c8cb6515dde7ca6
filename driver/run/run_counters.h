// What each run cost the machine beyond its time, from spawn's counters (wait4 for every run,
// performance events where the machine has them). The table of counters and their medians per
// configuration are in results/counters.h.
#pragma once

#include <string>

#include "driver/results/counters.h"
#include "driver/results/results.h"
#include "spawn/counters.h"

namespace ks::driver {

// A run's counters from spawn's. The peak resident memory is left out when spawn could not
// tell it from the driver's own.
RunCounters counters_from(const ks::Counters& c);

// The one line to say, or "" when every event counts: "hardware counters: not available on
// this machine", "performance counters: not permitted (...)".
std::string counters_notice(const ks::EventSupport& support);

}  // namespace ks::driver
