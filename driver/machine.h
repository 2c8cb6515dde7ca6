// Facts about the machine the driver runs on: what a sweep may use, and the context written
// with every result set.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace ks::driver {

// The CPUs this process may run on (its affinity), the default team sizes of a sweep.
int usable_cpus();

// The machine's memory in bytes (0 when unknown): sizes whose footprint exceeds it are refused.
std::uint64_t physical_memory();

// The CPU's model name as /proc/cpuinfo gives it ("" when it does not).
std::string cpu_model_name();

// The machine and build context: CPU, caches, memory, kernel, compiler and flags of each
// program, OpenMP environment, date, source revision.
nlohmann::json machine_context(const std::string& bin_dir);

}  // namespace ks::driver
