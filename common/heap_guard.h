// Allocation that fails instead of overcommitting.
//
// Linux grants malloc requests far beyond what the machine holds and kills the process later,
// part-way through filling, when the pages are touched. The heap benchmarks allocate through
// guarded_malloc, which keeps a running total of what this process has asked for and
// returns null (the benchmark's ordinary allocation-failure path) once that total would
// exceed the machine's physical memory plus swap. Below that, it is plain malloc.
//
// A program that knows its whole need before its first request declares it with
// plan_allocations: if the plan cannot fit, every later request fails at once, so a run that
// could never finish fails on its first request rather than after taking gigabytes it will
// never use.
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

struct HeapGuardState {
  std::uint64_t capacity = memory_capacity();
  std::uint64_t granted = 0;  // bytes handed out so far
  bool refuse_all = false;    // a declared plan cannot fit
};

inline HeapGuardState& heap_guard_state() {
  static HeapGuardState state;
  return state;
}

// True when `bytes` more than what has been granted still fit in the machine.
inline bool fits_in_memory(std::uint64_t bytes) {
  const HeapGuardState& g = heap_guard_state();
  return g.capacity == 0 || (bytes <= g.capacity && g.granted <= g.capacity - bytes);
}

inline void plan_allocations(std::uint64_t bytes) {
  if (!fits_in_memory(bytes)) {
    heap_guard_state().refuse_all = true;
  }
}

inline void* guarded_malloc(std::uint64_t bytes) {
  HeapGuardState& g = heap_guard_state();
  if (g.refuse_all || !fits_in_memory(bytes) || bytes > SIZE_MAX) {
    return nullptr;
  }
  void* p = std::malloc(static_cast<std::size_t>(bytes));
  if (p != nullptr) {
    g.granted += bytes;
  }
  return p;
}

}  // namespace ks
