// The core clock and the latencies that turn a loop's cycles into seconds.
//
// The clock: every thread of a team runs one chain of dependent 64-bit integer adds, an
// operation every x86-64 core completes in one cycle, so adds per second of the slowest
// thread is the clock its cores keep while all of them are busy.
//
// The latencies, on one thread, each one chain of a dependent operation: a double-precision
// add, a double-precision multiply, a 32-bit integer add, and the round trip of a value that
// is stored and loaded again every time (x = x + 1 on x in memory, as unoptimised code keeps a
// loop's index): a load, an add and a store. Each is given in seconds and in cycles of the
// one-thread clock.
//
// Every chain ends in a value its closed form gives; a different one ends the probe.
#pragma once

#include <omp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "probe/probe.h"
#include "probe/team.h"

namespace probe {

// Dependent operations in one step of a chain: enough that the loop's own counting runs
// beside the chain and never sets the pace.
inline constexpr int kChainLength = 16;

// n steps of kChainLength dependent additions of in[0] to x: x + kChainLength n in[0], modulo
// 2^64 or 2^32. The empty asm pins x to a register after every add, so that the compiler can
// neither merge the additions nor replace the chain by its closed form.
template <class U>
inline U add_chain(U x, const volatile U* in, std::int64_t n) {
  const U d = in[0];
  for (std::int64_t i = 0; i < n; i++) {
#pragma GCC unroll 16
    for (int k = 0; k < kChainLength; k++) {
      x += d;
      asm("" : "+r"(x));
    }
  }
  return x;
}

// n steps of kChainLength dependent double additions of in[0].
inline double fp64_add_chain(double x, const volatile double* in, std::int64_t n) {
  const double d = in[0];
  for (std::int64_t i = 0; i < n; i++) {
#pragma GCC unroll 16
    for (int k = 0; k < kChainLength; k++) {
      x += d;
      asm("" : "+x"(x));
    }
  }
  return x;
}

// The factors of one step of the multiply chain: -2 once, then 0.5 and 2 in turn, then 0.5:
// every product is exact (powers of two), and a whole step multiplies by -1.
inline constexpr double kMulFactors[2] = {-2.0, 0.5};

// n steps of kChainLength dependent double multiplications: x (-1)^n exactly.
inline double fp64_mul_chain(double x, const volatile double* in, std::int64_t n) {
  const double first = in[0];  // -2
  const double half = in[1];   // 0.5
  const double two = -first;   // 2
  for (std::int64_t i = 0; i < n; i++) {
    x *= first;
    asm("" : "+x"(x));
#pragma GCC unroll 16
    for (int k = 1; k < kChainLength; k++) {
      x *= (k % 2 == 1 ? half : two);
      asm("" : "+x"(x));
    }
  }
  return x;
}

// n steps of kChainLength round trips through one memory word: *slot = *slot + 1, each load
// waiting for the store before it. Leaves *slot + kChainLength n (modulo 2^32) there.
inline void store_load_chain(volatile std::uint32_t* slot, std::int64_t n) {
  for (std::int64_t i = 0; i < n; i++) {
#pragma GCC unroll 16
    for (int k = 0; k < kChainLength; k++) {
      *slot = *slot + 1;
    }
  }
}

// Closed forms of the chains after n steps.
inline std::uint64_t add_chain_u64_value(std::uint64_t x, std::uint64_t d, std::int64_t n) {
  return x + static_cast<std::uint64_t>(kChainLength) * static_cast<std::uint64_t>(n) * d;
}
inline std::uint32_t add_chain_u32_value(std::uint32_t x, std::uint32_t d, std::int64_t n) {
  return static_cast<std::uint32_t>(add_chain_u64_value(x, d, n));
}
inline double fp64_add_chain_value(double x, double d, std::int64_t n) {
  return x + static_cast<double>(kChainLength) * static_cast<double>(n) * d;
}
inline double fp64_mul_chain_value(double x, std::int64_t n) {
  return n % 2 == 0 ? x : -x;
}

// The clock at one team size: adds per second of the slowest thread.
inline json core_clock_at(int threads, int repetitions, double target, const Options& options) {
  static const volatile std::uint64_t kStep[1] = {3};
  std::vector<std::uint64_t> values(static_cast<std::size_t>(threads) * 8, 0);
  // Steps for about `target` seconds, from this thread alone.
  const std::int64_t steps = calibrate(target, [&](std::int64_t n) {
    const double t0 = now();
    values[0] = add_chain<std::uint64_t>(0, kStep, n);
    return now() - t0;
  });
  const Summary s = summarize(team_repetitions(threads, repetitions, 1, [&] {
    const auto slot = static_cast<std::size_t>(omp_get_thread_num()) * 8;
    values[slot] = add_chain<std::uint64_t>(slot, kStep, steps);
  }));
  if (inject_fault(options, "core-clock")) {
    values[0] += 1;
  }
  for (int t = 0; t < threads; t++) {
    const auto slot = static_cast<std::size_t>(t) * 8;
    const std::uint64_t expected = add_chain_u64_value(slot, kStep[0], steps);
    if (values[slot] != expected) {
      fail("core clock (" + team(threads) + "): the add chain of thread " + std::to_string(t) +
           " ends at " + std::to_string(values[slot]) + " instead of " + std::to_string(expected));
    }
  }
  const double adds = static_cast<double>(steps) * kChainLength;
  json r;
  r["threads"] = threads;
  r["hertz"] = adds / s.best;
  r["median_hertz"] = adds / s.median;
  r["adds"] = adds;
  r["best_seconds"] = s.best;
  r["median_seconds"] = s.median;
  return r;
}

// Many short repetitions: on a busy machine the best of them is the one no other process
// interrupted.
inline constexpr int kClockRepetitions = 15;
inline constexpr double kClockTarget = 2e-3;

inline json core_clock(const Options& options) {
  const int repetitions = options.quick ? 3 : kClockRepetitions;
  const double target = options.quick ? 5e-4 : kClockTarget;
  json results = json::array();
  std::string line;
  for (const int threads : options.threads) {
    json r = core_clock_at(threads, repetitions, target, options);
    char text[64];
    std::snprintf(text, sizeof text, " %s %.2f GHz", team(threads).c_str(),
                  r["hertz"].get<double>() / 1e9);
    line += text;
    results.push_back(std::move(r));
  }
  progress("core clock under load (dependent integer adds):%s", line.c_str());
  json section;
  section["chain"] = "dependent 64-bit integer adds, one cycle each";
  section["repetitions"] = repetitions;
  section["results"] = std::move(results);
  return section;
}

// The latencies, in seconds and in cycles of the one-thread clock: each repetition of a chain
// follows one of the clock's add chain, and the cycles are the chain's best time per
// operation over the clock's best time per add in the same repetitions, so that both come
// from the same moments of the machine.
inline json latencies(const Options& options) {
  const int repetitions = options.quick ? 3 : kClockRepetitions;
  const double target = options.quick ? 5e-4 : kClockTarget;
  static const volatile std::uint64_t kClockStep[1] = {3};
  std::uint64_t clock_value = 0;
  auto clock_run = [&](std::int64_t n) {
    const double t0 = now();
    clock_value = add_chain<std::uint64_t>(0, kClockStep, n);
    return now() - t0;
  };
  const std::int64_t clock_steps = calibrate(target, clock_run);
  static const volatile double kFpStep[1] = {1.0};
  static const volatile double kFactors[2] = {kMulFactors[0], kMulFactors[1]};
  static const volatile std::uint32_t kIntStep[1] = {3};
  const bool fault = inject_fault(options, "latency");

  struct Kernel {
    const char* name;
    const char* what;
    // Runs n steps from a fresh start; returns whether the value is its closed form, and
    // writes it as text for the message.
    bool (*run)(std::int64_t n, bool fault, std::string& value);
  };
  static const Kernel kKernels[] = {
      {"fp64_add", "a dependent double-precision add",
       [](std::int64_t n, bool f, std::string& value) {
         double x = fp64_add_chain(0.5, kFpStep, n);
         x += f ? 1 : 0;
         value = std::to_string(x);
         return x == fp64_add_chain_value(0.5, kFpStep[0], n);
       }},
      {"fp64_mul", "a dependent double-precision multiply",
       [](std::int64_t n, bool, std::string& value) {
         const double x = fp64_mul_chain(0.75, kFactors, n);
         value = std::to_string(x);
         return x == fp64_mul_chain_value(0.75, n);
       }},
      {"int32_add", "a dependent 32-bit integer add",
       [](std::int64_t n, bool, std::string& value) {
         const std::uint32_t x = add_chain<std::uint32_t>(7, kIntStep, n);
         value = std::to_string(x);
         return x == add_chain_u32_value(7, kIntStep[0], n);
       }},
      {"store_load", "a store and the load of the same word after it, with an add between",
       [](std::int64_t n, bool, std::string& value) {
         volatile std::uint32_t slot = 11;
         store_load_chain(&slot, n);
         const std::uint32_t x = slot;
         value = std::to_string(x);
         return x == add_chain_u32_value(11, 1, n);
       }},
  };

  json results = json::array();
  std::string line;
  double hertz = 0;
  for (const Kernel& k : kKernels) {
    std::string value;
    const std::int64_t steps = calibrate(target, [&](std::int64_t n) {
      const double t0 = now();
      const bool ok = k.run(n, false, value);
      const double seconds = now() - t0;
      if (!ok) {
        fail(std::string("latency of ") + k.name + ": the chain ends at " + value + " after " +
             std::to_string(n) + " steps");
      }
      return seconds;
    });
    const double operations = static_cast<double>(steps) * kChainLength;
    const double adds = static_cast<double>(clock_steps) * kChainLength;
    std::vector<double> seconds;
    std::vector<double> clock_seconds;
    std::vector<double> cycles;
    for (int r = 0; r < repetitions; r++) {
      clock_seconds.push_back(clock_run(clock_steps));
      if (clock_value != add_chain_u64_value(0, kClockStep[0], clock_steps)) {
        fail("latencies: the clock's add chain ends at " + std::to_string(clock_value));
      }
      const double t0 = now();
      const bool ok = k.run(steps, fault && r == 0 && &k == &kKernels[0], value);
      seconds.push_back(now() - t0);
      if (!ok) {
        fail(std::string("latency of ") + k.name + ": the chain ends at " + value + " after " +
             std::to_string(steps) + " steps");
      }
      cycles.push_back(seconds.back() / operations / (clock_seconds.back() / adds));
    }
    const Summary s = summarize(seconds);
    const double per_add = summarize(clock_seconds).best / adds;
    hertz = std::max(hertz, 1 / per_add);
    json r;
    r["kernel"] = k.name;
    r["what"] = k.what;
    r["operations"] = operations;
    r["latency_seconds"] = s.best / operations;
    r["median_latency_seconds"] = s.median / operations;
    r["latency_cycles"] = s.best / operations / per_add;
    r["median_latency_cycles"] = summarize(cycles).median;
    r["hertz"] = 1 / per_add;
    char text[64];
    std::snprintf(text, sizeof text, " %s %.2f", k.name, r["latency_cycles"].get<double>());
    line += text;
    results.push_back(std::move(r));
  }
  progress("latencies, cycles:%s", line.c_str());
  json section;
  section["hertz"] = hertz;
  section["repetitions"] = repetitions;
  section["results"] = std::move(results);
  return section;
}

}  // namespace probe
