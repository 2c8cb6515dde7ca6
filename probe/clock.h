// The clocks the suite times with: clock_gettime(CLOCK_REALTIME) (the benchmarks without
// OpenMP), omp_get_wtime (the OpenMP ones) and, for comparison, CLOCK_MONOTONIC. For each: the
// resolution it declares, the smallest and the median step seen between two different
// readings, and the cost of one reading.
#pragma once

#include <omp.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "common/barrier.h"
#include "probe/probe.h"

namespace probe {

template <clockid_t id>
std::int64_t read_nanoseconds() {
  timespec t{};
  clock_gettime(id, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

inline double resolution(clockid_t id) {
  timespec t{};
  clock_getres(id, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Measures one clock. `read` returns a reading; `seconds(later, earlier)` the seconds between
// two. A clock that does not advance within many readings, or a monotonic one that goes
// backwards, ends the probe.
template <class Read, class Seconds>
json measure_clock(const char* name, bool monotonic, double declared, Read read, Seconds seconds,
                   const Options& options) {
  const int samples = options.quick ? 100 : 2000;
  constexpr std::int64_t kSpinLimit = 100'000'000;
  std::vector<double> steps;
  for (int s = 0; s < samples; s++) {
    const auto t0 = read();
    auto t1 = read();
    std::int64_t spins = 0;
    while (t1 == t0 && ++spins < kSpinLimit) {
      t1 = read();
    }
    if (t1 == t0) {
      fail(std::string(name) + " did not advance in " + std::to_string(kSpinLimit) + " readings");
    }
    double step = seconds(t1, t0);
    if (monotonic && s == 0 && inject_fault(options, "clock")) {
      step = -step;
    }
    if (monotonic && step < 0) {
      fail(std::string(name) + " went backwards by " + std::to_string(-step) + " s");
    }
    steps.push_back(step);
  }
  const Summary step = summarize(steps);

  auto calls = [&](std::int64_t count) {
    const double t0 = now();
    for (std::int64_t k = 0; k < count; k++) {
      auto value = read();
      ks::keep(value);
    }
    return now() - t0;
  };
  const std::int64_t count = calibrate(options.quick ? 5e-4 : 1e-2, calls);
  std::vector<double> per_call;
  for (int r = 0; r < (options.quick ? 2 : 5); r++) {
    per_call.push_back(calls(count) / static_cast<double>(count));
  }
  const Summary cost = summarize(per_call);

  json r;
  r["clock"] = name;
  r["resolution_seconds"] = declared;
  r["smallest_step_seconds"] = step.best;
  r["median_step_seconds"] = step.median;
  r["seconds_per_call"] = cost.best;
  r["median_seconds_per_call"] = cost.median;
  progress("clock %s: resolution %.3g s, smallest step %.3g s, %.1f ns per call", name, declared,
           step.best, cost.best * 1e9);
  return r;
}

inline json clocks(const Options& options) {
  auto from_ns = [](std::int64_t later, std::int64_t earlier) {
    return static_cast<double>(later - earlier) * 1e-9;
  };
  auto from_s = [](double later, double earlier) { return later - earlier; };
  json results = json::array();
  results.push_back(measure_clock("clock_gettime(CLOCK_REALTIME)", false,
                                  resolution(CLOCK_REALTIME), read_nanoseconds<CLOCK_REALTIME>,
                                  from_ns, options));
  results.push_back(measure_clock("clock_gettime(CLOCK_MONOTONIC)", true,
                                  resolution(CLOCK_MONOTONIC), read_nanoseconds<CLOCK_MONOTONIC>,
                                  from_ns, options));
  results.push_back(
      measure_clock("omp_get_wtime", true, omp_get_wtick(), omp_get_wtime, from_s, options));
  json section;
  section["results"] = std::move(results);
  return section;
}

}  // namespace probe
