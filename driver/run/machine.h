// Facts about the machine the driver runs on: what a sweep may use, and the context written
// with every result set.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver/results/results.h"

namespace ks::driver {

// The CPUs this process may run on (its affinity), the default team sizes of a sweep.
int usable_cpus();

// The machine's memory in bytes (0 when unknown): sizes whose footprint exceeds it are refused.
std::uint64_t physical_memory();

// The CPU's model name as /proc/cpuinfo gives it ("" when it does not).
std::string cpu_model_name();

// The machine and build context: CPU, caches, memory, clock resolution, kernel, compiler and
// flags of each program, date, source revision. (The measuring adds the OpenMP environment and
// the conditions as the runs began.)
nlohmann::json machine_context(const std::string& bin_dir);

// The machine's load average over the last minute, from /proc/loadavg, or from the file that
// KERNELSCOPE_LOADAVG_FILE names (same format; for tests); empty when it cannot be read.
std::optional<double> load_average();

// A load average this high leaves fewer idle CPUs than the largest team of `configs` needs
// (the usable CPUs less the load, with half a CPU of slack for the machine's own chores).
// Demonstrations are not timed and do not count.
bool load_is_high(double load, int usable, const std::vector<Config>& configs);

// What the machine was doing as the runs began: the load average, the usable CPUs, the
// largest team of a benchmark, and a warning for each condition that makes the times
// doubtful (a high load; a team larger than the usable CPUs). The machine context keeps it
// as "conditions", so every report rendered from it, now or later, shows the warnings.
nlohmann::json measuring_conditions(const std::vector<Config>& configs, std::optional<double> load,
                                    int usable);

}  // namespace ks::driver
