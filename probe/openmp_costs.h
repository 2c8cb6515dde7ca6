// The costs of the OpenMP runtime's constructs, measured the classic way: a reference run
// does a number of short delays one after the other on one thread; the test runs the same
// delays on every thread of a team inside the construct; the difference, divided by the number
// of constructs each thread went through, is the cost of one. Measured for a parallel region
// (fork and join), a barrier, and a worksharing loop of each schedule (static, dynamic, guided)
// with no wait, per chunk a thread takes. A cost not above the noise of its repetitions is
// recorded as zero, below noise, with that noise (probe.h, cost_of).
#pragma once

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "probe/probe.h"

namespace probe {

// The unit of work: `length` dependent additions of 1, so it returns `length` exactly.
inline double delay(std::int64_t length) {
  double a = 0;
  for (std::int64_t i = 0; i < length; i++) {
    a += 1.0;
    asm("" : "+x"(a));
  }
  return a;
}

// Iterations of each timed loop per thread.
inline constexpr int kLoopIterationsPerThread = 128;

enum class Construct { kParallel, kBarrier, kStatic, kDynamic, kGuided };

// Chunks a guided loop of `iterations` hands out to a team: each chunk is the unassigned
// iterations divided by the team size, rounded up, but at least `chunk` (and at most what is
// left).
inline std::int64_t guided_chunks(std::int64_t iterations, int threads, std::int64_t chunk) {
  std::int64_t chunks = 0;
  for (std::int64_t left = iterations; left > 0; chunks++) {
    const std::int64_t size = std::min(left, std::max((left + threads - 1) / threads, chunk));
    left -= size;
  }
  return chunks;
}

// Per-thread sums of the delays' results, a cache line apart.
struct WorkSlots {
  explicit WorkSlots(int threads) : v(static_cast<std::size_t>(threads) * 8, 0.0) {}
  double& at(int thread) { return v[static_cast<std::size_t>(thread) * 8]; }
  double total() const {
    double sum = 0;
    for (std::size_t i = 0; i < v.size(); i += 8) {
      sum += v[i];
    }
    return sum;
  }
  std::vector<double> v;
};

// Runs `count` constructs of one kind on a team of `threads`, every thread adding the delays it
// does to its slot; returns the seconds.
inline double run_construct(Construct construct, int threads, std::int64_t chunk,
                            std::int64_t length, std::int64_t count, WorkSlots& slots) {
  const std::int64_t iterations = std::int64_t{kLoopIterationsPerThread} * threads;
  const double t0 = now();
  switch (construct) {
    case Construct::kParallel:
      for (std::int64_t k = 0; k < count; k++) {
#pragma omp parallel num_threads(threads)
        slots.at(omp_get_thread_num()) += delay(length);
      }
      break;
    case Construct::kBarrier:
#pragma omp parallel num_threads(threads)
    {
      double& slot = slots.at(omp_get_thread_num());
      for (std::int64_t k = 0; k < count; k++) {
        slot += delay(length);
#pragma omp barrier
      }
    } break;
    case Construct::kStatic:
#pragma omp parallel num_threads(threads)
    {
      double& slot = slots.at(omp_get_thread_num());
      for (std::int64_t k = 0; k < count; k++) {
#pragma omp for schedule(static, chunk) nowait
        for (std::int64_t i = 0; i < iterations; i++) {
          slot += delay(length);
        }
      }
    } break;
    case Construct::kDynamic:
#pragma omp parallel num_threads(threads)
    {
      double& slot = slots.at(omp_get_thread_num());
      for (std::int64_t k = 0; k < count; k++) {
#pragma omp for schedule(dynamic, chunk) nowait
        for (std::int64_t i = 0; i < iterations; i++) {
          slot += delay(length);
        }
      }
    } break;
    case Construct::kGuided:
#pragma omp parallel num_threads(threads)
    {
      double& slot = slots.at(omp_get_thread_num());
      for (std::int64_t k = 0; k < count; k++) {
#pragma omp for schedule(guided, chunk) nowait
        for (std::int64_t i = 0; i < iterations; i++) {
          slot += delay(length);
        }
      }
    } break;
  }
  return now() - t0;
}

// Delays one thread does per construct.
inline std::int64_t delays_per_construct(Construct construct) {
  return construct == Construct::kParallel || construct == Construct::kBarrier
             ? 1
             : kLoopIterationsPerThread;
}

inline json openmp_costs(const Options& options) {
  const int repetitions = options.quick ? 3 : 9;
  const double target = options.quick ? 5e-4 : 1e-2;
  // About 0.1 us of work per delay.
  const std::int64_t length = calibrate(1e-4, [](std::int64_t n) {
    double sum = 0;
    const double t0 = now();
    for (int k = 0; k < 1000; k++) {
      sum += delay(n);
    }
    asm volatile("" : : "x"(sum));
    return now() - t0;
  });
  auto reference = [&](std::int64_t delays) {
    double sum = 0;
    const double t0 = now();
    for (std::int64_t k = 0; k < delays; k++) {
      sum += delay(length);
    }
    const double seconds = now() - t0;
    if (sum != static_cast<double>(delays) * static_cast<double>(length)) {
      fail("delay loop: " + std::to_string(sum) + " instead of " + std::to_string(delays * length));
    }
    return seconds;
  };
  std::vector<double> per_delay;

  struct Test {
    Construct construct;
    const char* name;
    const char* schedule;
    std::int64_t chunk;
  };
  const Test tests[] = {
      {Construct::kParallel, "parallel", nullptr, 0}, {Construct::kBarrier, "barrier", nullptr, 0},
      {Construct::kStatic, "for", "static", 1},       {Construct::kStatic, "for", "static", 16},
      {Construct::kDynamic, "for", "dynamic", 1},     {Construct::kDynamic, "for", "dynamic", 16},
      {Construct::kGuided, "for", "guided", 1},       {Construct::kGuided, "for", "guided", 16},
  };

  json results = json::array();
  for (const int threads : options.threads) {
    std::string line;
    for (const Test& test : tests) {
      const std::int64_t delays = delays_per_construct(test.construct);
      // Constructs for about `target` seconds, from the reference alone: a busy machine delays
      // a team, not this.
      const std::int64_t count =
          calibrate(target, [&](std::int64_t n) { return reference(n * delays); });
      // Each repetition runs its own reference just before the test, so that both see the
      // machine in the same state.
      WorkSlots slots(threads);
      std::vector<double> costs;
      for (int r = 0; r < repetitions; r++) {
        const double reference_seconds = reference(count * delays);
        const double seconds =
            run_construct(test.construct, threads, test.chunk, length, count, slots);
        costs.push_back((seconds - reference_seconds) / static_cast<double>(count));
        per_delay.push_back(reference_seconds / static_cast<double>(count * delays));
      }
      // Every thread did every delay of its constructs (a loop's iterations in all).
      double done = slots.total();
      if (inject_fault(options, "openmp")) {
        done += 1;
      }
      const double expected = static_cast<double>(repetitions) * static_cast<double>(count) *
                              static_cast<double>(delays) * threads * static_cast<double>(length);
      if (done != expected) {
        fail(std::string("OpenMP ") + test.name +
             (test.schedule ? std::string(" ") + test.schedule : "") + " (" + team(threads) +
             "): the delays add up to " + std::to_string(done) + " instead of " +
             std::to_string(expected));
      }
      const Cost per_construct = cost_of(costs);
      json r;
      r["construct"] = test.name;
      r["threads"] = threads;
      if (test.construct == Construct::kParallel) {
        r["seconds_per_region"] = per_construct.seconds;
        r["noise_seconds_per_region"] = per_construct.noise;
        line += " parallel " + micro(per_construct);
      } else if (test.construct == Construct::kBarrier) {
        r["seconds_per_barrier"] = per_construct.seconds;
        r["noise_seconds_per_barrier"] = per_construct.noise;
        line += ", barrier " + micro(per_construct);
      } else {
        const std::int64_t iterations = std::int64_t{kLoopIterationsPerThread} * threads;
        const std::int64_t chunks = test.construct == Construct::kGuided
                                        ? guided_chunks(iterations, threads, test.chunk)
                                        : (iterations + test.chunk - 1) / test.chunk;
        const double chunks_per_thread = static_cast<double>(chunks) / threads;
        const Cost per_chunk{per_construct.seconds / chunks_per_thread,
                             per_construct.noise / chunks_per_thread, per_construct.below_noise};
        r["schedule"] = test.schedule;
        r["chunk"] = test.chunk;
        r["iterations"] = iterations;
        r["chunks_per_loop"] = chunks;
        r["seconds_per_loop"] = per_construct.seconds;
        r["noise_seconds_per_loop"] = per_construct.noise;
        r["seconds_per_chunk"] = per_chunk.seconds;
        r["noise_seconds_per_chunk"] = per_chunk.noise;
        line += ", " + std::string(test.schedule) + "," + std::to_string(test.chunk) + " " +
                micro(per_chunk);
      }
      r["below_noise"] = per_construct.below_noise;
      r["constructs_timed"] = count;
      results.push_back(std::move(r));
    }
    progress("OpenMP, %s, us:%s (per region, barrier, chunk)", team(threads).c_str(), line.c_str());
  }
  json section;
  section["delay_seconds"] = summarize(per_delay).median;
  section["delay_additions"] = length;
  section["loop_iterations_per_thread"] = kLoopIterationsPerThread;
  section["repetitions"] = repetitions;
  section["results"] = std::move(results);
  return section;
}

}  // namespace probe
