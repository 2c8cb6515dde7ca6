// The machine context a result set was measured in (machine_context.h), for people: its facts
// and the warnings it holds.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "driver/results/machine_context.h"

namespace ks::driver {

// The facts of a machine context for people, one (name, value) row each: date, host, CPU,
// memory, kernel, build, revision, the OpenMP environment and the conditions at the start.
// A report's header shows them; a comparison shows two side by side.
std::vector<std::pair<std::string, std::string>> context_facts(const MachineContext& context);

// The warnings a context's conditions hold, if any.
std::vector<std::string> condition_warnings(const MachineContext& context);

}  // namespace ks::driver
