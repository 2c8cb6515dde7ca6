// The wall-clock interval of the non-OpenMP benchmarks: two CLOCK_REALTIME readings, and the
// elapsed seconds as (end ns - start ns) / 1e9 + (end s - start s), the nanosecond
// difference divided first and the seconds added after, each difference a 64-bit integer.
#pragma once

#include <cstdint>
#include <ctime>

namespace ks {

inline timespec wall_now() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return t;
}

inline double wall_interval(const timespec& start, const timespec& end) {
  const auto dns =
      static_cast<std::int64_t>(end.tv_nsec) - static_cast<std::int64_t>(start.tv_nsec);
  const auto ds = static_cast<std::int64_t>(end.tv_sec) - static_cast<std::int64_t>(start.tv_sec);
  return static_cast<double>(dns) / 1e9 + static_cast<double>(ds);
}

}  // namespace ks
