// The bandwidth measurements: warm pages beyond the last-level cache, inside each cache level,
// and the first touch of pages that do not exist yet.
//
// The kernels are the suite's addition a[i] = b[i] + c[i], the copy a[i] = b[i] and the triad
// a[i] = b[i] + 3 * c[i], each in two forms: "plain", the loop compiled with the suite's flags
// (-O2, the baseline instruction set: what the suite's programs run), and "widest", explicit
// vectors of the widest set (simd.h). Bytes are counted as the kernel names them, 24 per
// element for the addition and the triad (two loads, one store), 16 for the copy; the extra
// read of a destination line the cache fetches before writing it is not counted.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "probe/machine.h"
#include "probe/probe.h"
#include "probe/simd.h"
#include "probe/team.h"

namespace probe {

inline constexpr const char* kStreamNames[] = {"add", "copy", "triad"};
inline constexpr int kStreamBytes[] = {24, 16, 24};
inline constexpr double kTriadScale = 3.0;
inline constexpr Stream kStreams[] = {Stream::kAdd, Stream::kCopy, Stream::kTriad};

// The plain form: the loops as the suite writes them, one orphaned static worksharing loop.
inline void stream_plain(Stream kernel, double* a, const double* b, const double* c,
                         std::int64_t n) {
  switch (kernel) {
    case Stream::kAdd:
#pragma omp for schedule(static) nowait
      for (std::int64_t i = 0; i < n; i++) {
        a[i] = b[i] + c[i];
      }
      break;
    case Stream::kCopy:
#pragma omp for schedule(static) nowait
      for (std::int64_t i = 0; i < n; i++) {
        a[i] = b[i];
      }
      break;
    case Stream::kTriad:
#pragma omp for schedule(static) nowait
      for (std::int64_t i = 0; i < n; i++) {
        a[i] = b[i] + kTriadScale * c[i];
      }
      break;
  }
}

// b[i] = i mod 1024, c[i] = 1 + i mod 512 and a[i] = 0, every element first written by the
// thread that the kernels' static partition gives it to: whole numbers, so that every sum of
// the arrays is exact in any order.
inline void first_touch_arrays(double* a, double* b, double* c, std::int64_t n, int threads) {
#pragma omp parallel for schedule(static) num_threads(threads)
  for (std::int64_t i = 0; i < n; i++) {
    a[i] = 0;
    b[i] = static_cast<double>(i % 1024);
    c[i] = static_cast<double>(1 + i % 512);
  }
}

// The sum of a after a kernel over the arrays of first_touch_arrays.
inline double expected_sum(Stream kernel, std::int64_t n) {
  const auto un = static_cast<std::uint64_t>(n);
  const std::uint64_t sb = sum_mod(un, 1024);
  const std::uint64_t sc = un + sum_mod(un, 512);
  switch (kernel) {
    case Stream::kAdd:
      return static_cast<double>(sb + sc);
    case Stream::kCopy:
      return static_cast<double>(sb);
    case Stream::kTriad:
      break;
  }
  return static_cast<double>(sb + 3 * sc);
}

// Ends the probe unless a[0..n) sums to `expected`. The hidden test switch `fault` corrupts one
// element first.
inline void check_sum(double* a, std::int64_t n, int threads, double expected,
                      const Options& options, const char* fault, const std::string& what) {
  if (inject_fault(options, fault)) {
    a[n / 2] += 1;
  }
  const double sum = team_sum(a, n, threads);
  if (sum != expected) {
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "%.17g, expected %.17g", sum, expected);
    fail(what + ": the destination sums to " + numbers);
  }
}

// Times `kernel` in one form over arrays first touched by the team, then checks the result.
// Returns the record of the measurement.
inline json time_stream(Stream kernel, const VectorCode* widest, double* a, double* b, double* c,
                        std::int64_t n, int threads, int repetitions, std::int64_t passes,
                        const Options& options, const char* fault, const std::string& where) {
  const auto k = static_cast<int>(kernel);
  const std::vector<double> seconds = team_repetitions(threads, repetitions, passes, [&] {
    if (widest == nullptr) {
      stream_plain(kernel, a, b, c, n);
    } else {
      widest->stream[k](a, b, c, kTriadScale, n);
    }
  });
  const std::string what = where + ", " + kStreamNames[k] + " (" +
                           (widest == nullptr ? "plain" : "widest") + ", " + team(threads) + ")";
  check_sum(a, n, threads, expected_sum(kernel, n), options, fault, what);
  const Summary s = summarize(seconds);
  const double bytes =
      static_cast<double>(kStreamBytes[k]) * static_cast<double>(n) * static_cast<double>(passes);
  json record;
  record["kernel"] = kStreamNames[k];
  record["code"] = widest == nullptr ? "plain" : "widest";
  record["threads"] = threads;
  record["bytes_per_second"] = bytes / s.best;
  record["median_bytes_per_second"] = bytes / s.median;
  record["best_seconds"] = s.best / static_cast<double>(passes);
  record["median_seconds"] = s.median / static_cast<double>(passes);
  return record;
}

// " add 12.3" for the plain form, "/45.6" for the widest: the rates of a progress line in GB/s.
inline std::string rate_text(Stream kernel, const VectorCode* code, const json& record) {
  const std::string rate = giga(record["bytes_per_second"].get<double>());
  return code == nullptr ? std::string(" ") + kStreamNames[static_cast<int>(kernel)] + " " + rate
                         : "/" + rate;
}

// Bytes per array beyond the last-level cache: four times all of it (the caches of every
// usable CPU), at least 64 MiB, rounded to 2 MiB, at most an eighth of the memory available.
inline std::uint64_t memory_array_bytes(const Machine& machine, bool quick) {
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  if (quick) {
    return 2 * kMiB;
  }
  const std::vector<int> levels = cache_levels(machine.caches);
  const std::uint64_t last =
      levels.empty() ? 0 : cache_capacity(machine.caches, levels.back(), machine.cpus);
  constexpr std::uint64_t kUnit = 2 * kMiB;
  std::uint64_t units = (std::max(4 * last, 64 * kMiB) + kUnit - 1) / kUnit;
  if (machine.memory_available > 0) {
    units = std::min(units, std::max<std::uint64_t>(machine.memory_available / 8 / kUnit, 1));
  }
  return units * kUnit;
}

inline json memory_bandwidth(const Options& options, const Machine& machine) {
  const std::uint64_t bytes = memory_array_bytes(machine, options.quick);
  const auto n = static_cast<std::int64_t>(bytes / sizeof(double));
  const int repetitions = options.quick ? 2 : 10;
  const VectorCode* const forms[] = {nullptr, &vector_code(options.vector_isa)};  // plain, widest
  json results = json::array();
  for (const int threads : options.threads) {
    Mapping a(bytes);
    Mapping b(bytes);
    Mapping c(bytes);
    first_touch_arrays(a.data(), b.data(), c.data(), n, threads);
    std::string line;
    for (const Stream kernel : kStreams) {
      for (const VectorCode* code : forms) {
        json r = time_stream(kernel, code, a.data(), b.data(), c.data(), n, threads, repetitions, 1,
                             options, "memory", "memory bandwidth");
        line += rate_text(kernel, code, r);
        results.push_back(std::move(r));
      }
    }
    progress("memory bandwidth, %s, GB/s plain/widest:%s", team(threads).c_str(), line.c_str());
  }
  json section;
  section["bytes_per_array"] = bytes;
  section["repetitions"] = repetitions;
  section["results"] = std::move(results);
  return section;
}

inline json cache_bandwidth(const Options& options, const Machine& machine) {
  const int repetitions = options.quick ? 3 : 10;
  const double target = options.quick ? 2e-4 : 2e-3;  // seconds per repetition
  const VectorCode* const forms[] = {nullptr, &vector_code(options.vector_isa)};  // plain, widest
  json results = json::array();
  for (const int threads : options.threads) {
    const std::vector<int> cpus = first_cpus(machine.cpus, threads);
    for (const int level : cache_levels(machine.caches)) {
      // Half the capacity the team has at this level, over the three arrays, in whole blocks of
      // 64 elements.
      const std::uint64_t capacity = cache_capacity(machine.caches, level, cpus);
      const auto n = static_cast<std::int64_t>(capacity / 2 / 3 / sizeof(double) / 64 * 64);
      if (n < 64 * threads) {
        continue;
      }
      const std::size_t bytes = static_cast<std::size_t>(n) * sizeof(double);
      Mapping a(bytes);
      Mapping b(bytes);
      Mapping c(bytes);
      first_touch_arrays(a.data(), b.data(), c.data(), n, threads);
      std::string line;
      for (const Stream kernel : kStreams) {
        for (const VectorCode* code : forms) {
          // Passes for a repetition of about `target` seconds, from one thread alone over its
          // share (outside a team the worksharing loop runs whole on the caller): a busy
          // machine delays a team's barriers, not this.
          const std::int64_t share = n / threads / 64 * 64;
          auto once = [&](std::int64_t passes) {
            const double t0 = now();
            for (std::int64_t p = 0; p < passes; p++) {
              if (code == nullptr) {
                stream_plain(kernel, a.data(), b.data(), c.data(), share);
              } else {
                code->stream[static_cast<int>(kernel)](a.data(), b.data(), c.data(), kTriadScale,
                                                       share);
              }
              ks::clobber();
            }
            return now() - t0;
          };
          const std::int64_t passes = calibrate(target, once);
          json r =
              time_stream(kernel, code, a.data(), b.data(), c.data(), n, threads, repetitions,
                          passes, options, "cache", "L" + std::to_string(level) + " bandwidth");
          line += rate_text(kernel, code, r);
          json record;
          record["level"] = level;
          record["bytes_per_array"] = bytes;
          record.update(r);
          results.push_back(std::move(record));
        }
      }
      progress("L%d bandwidth, %s, GB/s plain/widest:%s", level, team(threads).c_str(),
               line.c_str());
    }
  }
  json section;
  section["working_set"] = "half of the capacity the team has at the level, over three arrays";
  section["repetitions"] = repetitions;
  section["results"] = std::move(results);
  return section;
}

inline json first_touch(const Options& options, const Machine& machine) {
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  const std::uint64_t bytes = (options.quick ? 2 : 64) * kMiB;
  const auto n = static_cast<std::int64_t>(bytes / sizeof(double));
  const double pages = static_cast<double>(bytes) / static_cast<double>(machine.page_bytes);
  const int repetitions = options.quick ? 2 : 5;
  json results = json::array();
  bool huge_pages_seen = false;
  for (const int threads : options.threads) {
    Mapping b(bytes);
    Mapping c(bytes);
    {
      Mapping scratch(bytes);
      first_touch_arrays(scratch.data(), b.data(), c.data(), n, threads);
    }
    std::vector<double> fresh;
    std::vector<double> warm;
    std::vector<double> fresh_add;
    std::int64_t huge = 0;
    const std::string where = "first touch (" + team(threads) + ")";
    for (int r = 0; r < repetitions; r++) {
      {
        Mapping a(bytes);
        double* const p = a.data();
        auto store = [&] {
#pragma omp for schedule(static) nowait
          for (std::int64_t i = 0; i < n; i++) {
            p[i] = 1.0;
          }
        };
        fresh.push_back(team_repetitions(threads, 1, 1, store)[0]);
        warm.push_back(team_repetitions(threads, 1, 1, store)[0]);
        huge = std::max(huge,
                        huge_page_bytes("/proc/self/smaps", reinterpret_cast<std::uintptr_t>(p)));
        check_sum(p, n, threads, static_cast<double>(n), options, "first-touch", where + ", store");
      }
      {
        Mapping a(bytes);
        double* const p = a.data();
        fresh_add.push_back(team_repetitions(
            threads, 1, 1, [&] { stream_plain(Stream::kAdd, p, b.data(), c.data(), n); })[0]);
        check_sum(p, n, threads, expected_sum(Stream::kAdd, n), options, "first-touch",
                  where + ", add");
      }
    }
    const Summary f = summarize(fresh);
    const Summary w = summarize(warm);
    const Summary add = summarize(fresh_add);
    huge_pages_seen = huge_pages_seen || huge > 0;
    json record;
    record["threads"] = threads;
    record["seconds_per_page"] = f.best / pages;
    record["median_seconds_per_page"] = f.median / pages;
    record["bytes_per_second"] = static_cast<double>(bytes) / f.best;
    record["warm_bytes_per_second"] = static_cast<double>(bytes) / w.best;
    record["fault_seconds_per_page"] = std::max(0.0, f.best - w.best) / pages;
    record["add_bytes_per_second"] = 3.0 * static_cast<double>(bytes) / add.best;
    record["add_seconds_per_page"] = add.best / pages;
    record["huge_page_bytes"] = huge;
    progress(
        "first touch, %s: %.2f us per fresh page, %s GB/s fresh, %s GB/s warm, "
        "addition into fresh pages %s GB/s",
        team(threads).c_str(), f.best / pages * 1e6,
        giga(static_cast<double>(bytes) / f.best).c_str(),
        giga(static_cast<double>(bytes) / w.best).c_str(),
        giga(3.0 * static_cast<double>(bytes) / add.best).c_str());
    results.push_back(std::move(record));
  }
  json section;
  section["bytes"] = bytes;
  section["pages"] = static_cast<std::uint64_t>(pages);
  section["page_bytes"] = machine.page_bytes;
  section["repetitions"] = repetitions;
  section["huge_pages_seen"] = huge_pages_seen;
  section["results"] = std::move(results);
  return section;
}

}  // namespace probe
