// Allocation that fails instead of overcommitting.
//
// Linux grants malloc requests far beyond what the machine holds and kills the process later,
// part-way through filling, when the pages are touched. The heap benchmarks allocate through
// guarded_malloc, which keeps a running total of what this process has asked for and
// returns null (the benchmark's ordinary allocation-failure path) once that total would
// exceed the machine's physical memory plus swap. Below that, it is plain malloc.
#pragma once

#include <sys/sysinfo.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace ks {

// Physical memory plus swap, in bytes; 0 if the kernel will not say.
inline std::uint64_t memory_capacity() {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) {
    return 0;
  }
  const std::uint64_t unit = info.mem_unit == 0 ? 1 : info.mem_unit;
  return (static_cast<std::uint64_t>(info.totalram) + static_cast<std::uint64_t>(info.totalswap)) *
         unit;
}

inline void* guarded_malloc(std::uint64_t bytes) {
  static const std::uint64_t capacity = memory_capacity();
  static std::uint64_t granted = 0;
  if (capacity != 0 && (bytes > capacity || granted > capacity - bytes)) {
    return nullptr;
  }
  if (bytes > SIZE_MAX) {
    return nullptr;
  }
  void* p = std::malloc(static_cast<std::size_t>(bytes));
  if (p != nullptr) {
    granted += bytes;
  }
  return p;
}

}  // namespace ks
