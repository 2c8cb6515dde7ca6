// The compute measurement: throughput of double-precision add and fused multiply-add and of
// 32-bit integer add, scalar and at the widest vector width, on every thread of a team, each
// thread running kAccumulators independent chains (simd.h) whose final values are checked
// against their closed form.
#pragma once

#include <omp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "probe/machine.h"
#include "probe/probe.h"
#include "probe/simd.h"
#include "probe/team.h"

namespace probe {

// Each step adds 1 to every double chain (a * 1 + 1 for the fused form), 3 to every integer
// chain: the final values are exact whole numbers, the integers modulo 2^32.
inline constexpr double kFpInputs[2] = {1.0, 1.0};
inline constexpr std::uint32_t kIntInputs[2] = {0, 3};

struct ComputeVariant {
  const char* kernel;  // "fp64_add", "fp64_fma", "int32_add"
  const char* code;    // "scalar" or the instruction set
  int lanes;
  ChainsF64 fp64 = nullptr;
  ChainsU32 int32 = nullptr;
  int flops = 0;  // floating-point operations per lane and step: 1 add, 2 for a fused one
};

// Runs one variant on a team: calibrated to about `target` seconds per repetition, every
// thread's chains checked after the last repetition.
inline json time_compute(const ComputeVariant& v, int threads, int repetitions, double target,
                         const Options& options) {
  constexpr int kMaxValues = kAccumulators * 16;
  std::vector<std::vector<double>> fp(static_cast<std::size_t>(threads),
                                      std::vector<double>(kMaxValues));
  std::vector<std::vector<std::uint32_t>> in(static_cast<std::size_t>(threads),
                                             std::vector<std::uint32_t>(kMaxValues));
  auto run = [&](std::int64_t count, int reps) {
    return team_repetitions(threads, reps, 1, [&] {
      const auto t = static_cast<std::size_t>(omp_get_thread_num());
      if (v.fp64 != nullptr) {
        v.fp64(fp[t].data(), kFpInputs, count);
      } else {
        v.int32(in[t].data(), kIntInputs, count);
      }
    });
  };
  // Steps for about `target` seconds, from this thread alone: a busy machine delays a team's
  // barriers, not this.
  const std::int64_t steps = calibrate(target, [&](std::int64_t n) {
    const double t0 = now();
    if (v.fp64 != nullptr) {
      v.fp64(fp[0].data(), kFpInputs, n);
    } else {
      v.int32(in[0].data(), kIntInputs, n);
    }
    return now() - t0;
  });
  const Summary s = summarize(run(steps, repetitions));

  const int values = kAccumulators * v.lanes;
  if (inject_fault(options, "compute")) {
    fp[0][0] += 1;
    in[0][0] += 1;
  }
  for (int t = 0; t < threads; t++) {
    for (int k = 0; k < values; k++) {
      const auto tk = static_cast<std::size_t>(t);
      const auto kk = static_cast<std::size_t>(k);
      const bool ok =
          v.fp64 != nullptr
              ? fp[tk][kk] == static_cast<double>(k) + static_cast<double>(steps) * kFpInputs[1]
              : in[tk][kk] ==
                    static_cast<std::uint32_t>(static_cast<std::uint64_t>(k) +
                                               static_cast<std::uint64_t>(steps) * kIntInputs[1]);
      if (!ok) {
        fail(std::string(v.kernel) + " (" + v.code + ", " + team(threads) + "): chain value " +
             std::to_string(k) + " of thread " + std::to_string(t) + " is " +
             (v.fp64 != nullptr ? std::to_string(fp[tk][kk]) : std::to_string(in[tk][kk])) +
             " after " + std::to_string(steps) + " steps");
      }
    }
  }

  const double operations = static_cast<double>(steps) * values * threads;
  json r;
  r["kernel"] = v.kernel;
  r["code"] = v.code;
  r["lanes"] = v.lanes;
  r["threads"] = threads;
  r["operations_per_second"] = operations / s.best;
  r["operations_per_second_per_thread"] = operations / s.best / threads;
  if (v.flops > 0) {
    r["flops_per_second"] = operations * v.flops / s.best;
    r["flops_per_second_per_thread"] = operations * v.flops / s.best / threads;
  }
  r["median_operations_per_second"] = operations / s.median;
  r["steps"] = steps;
  r["best_seconds"] = s.best;
  return r;
}

inline json compute(const Options& options) {
  const VectorCode& vc = vector_code(options.vector_isa);
  const int lanes = vc.bits / 64;
  std::vector<ComputeVariant> variants = {
      {"fp64_add", "scalar", 1, fp64_add_x1, nullptr, 1},
      {"fp64_add", vc.isa, lanes, vc.fp64_add, nullptr, 1},
  };
  if (has_scalar_fma()) {
    variants.push_back({"fp64_fma", "scalar", 1, fp64_fma_x1, nullptr, 2});
  }
  if (vc.fp64_fma != nullptr) {
    variants.push_back({"fp64_fma", vc.isa, lanes, vc.fp64_fma, nullptr, 2});
  }
  variants.push_back({"int32_add", "scalar", 1, nullptr, int32_add_x1, 0});
  variants.push_back({"int32_add", vc.isa, 2 * lanes, nullptr, vc.int32_add, 0});

  const int repetitions = options.quick ? 2 : 5;
  const double target = options.quick ? 1e-3 : 2e-2;
  json results = json::array();
  for (const int threads : options.threads) {
    std::string line;
    for (const ComputeVariant& v : variants) {
      json r = time_compute(v, threads, repetitions, target, options);
      line += std::string(" ") + v.kernel + "/" + v.code + " " +
              giga(r["operations_per_second"].get<double>());
      results.push_back(std::move(r));
    }
    progress("compute, %s, G operations/s:%s", team(threads).c_str(), line.c_str());
  }
  json section;
  section["accumulators"] = kAccumulators;
  section["repetitions"] = repetitions;
  section["results"] = std::move(results);
  return section;
}

}  // namespace probe
