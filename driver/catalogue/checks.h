// What every output check shares: the verdict on how a run ended, and the program's count
// arguments read the way the programs read them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "driver/catalogue/run_types.h"
#include "spawn/spawn.h"

namespace ks::driver {

// Checks of a finished run that hold for every program: it started, was not killed, did not
// time out and exited with status 0. Returns the reason when it did not.
std::optional<std::string> process_failure(const ks::RunResult& result);

// Argument i as the programs read a count (0 when it is missing): unsigned or signed 32 bits.
std::uint32_t unsigned_arg(const RunSpec& spec, std::size_t i);
std::int32_t signed_arg(const RunSpec& spec, std::size_t i);

}  // namespace ks::driver
