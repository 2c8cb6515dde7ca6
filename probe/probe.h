// What every measurement of ks-probe shares: the options, the clock it measures with, the
// summary of repetitions, the calibration of repeat counts, progress lines and the way a failed
// check ends the program.
#pragma once

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace probe {

// Keys are written in the order the program sets them, so the output reads like the header
// comment of ks-probe.cpp describes it.
using json = nlohmann::ordered_json;

enum class Isa { kSse2, kAvx2, kAvx512 };

struct Options {
  bool quick = false;        // tiny sizes and short calibrations: a second or two in all
  std::vector<int> threads;  // team sizes, in the order given
  Isa vector_isa = Isa::kSse2;
  // Hidden test switch: the name of one check whose data is corrupted just before it is checked
  // ("memory", "cache", "first-touch", "compute", "openmp", "clock", "core-clock", "latency").
  std::string fault;
};

// Monotonic seconds: the probe's own timer, immune to steps of the wall clock.
inline double now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

inline double& start_time() {
  static double start = now();
  return start;
}

// One progress line on standard error, prefixed with the seconds since the start.
[[gnu::format(printf, 1, 2)]] inline void progress(const char* format, ...) {
  std::fprintf(stderr, "ks-probe: %5.1f s  ", now() - start_time());
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

// A result that is not what its closed form says ends the probe: one line, status 1.
[[noreturn]] inline void fail(const std::string& reason) {
  std::fprintf(stderr, "ks-probe: check failed: %s\n", reason.c_str());
  std::exit(1);
}

// Anything else that stops the probe (a mapping refused, a team smaller than asked): one line,
// status 1.
[[noreturn]] inline void die(const std::string& reason) {
  std::fprintf(stderr, "ks-probe: %s\n", reason.c_str());
  std::exit(1);
}

// True when the hidden test switch asks to corrupt the check called `name`.
inline bool inject_fault(const Options& options, std::string_view name) {
  return options.fault == name;
}

struct Summary {
  double best = 0;    // the smallest sample: the ceiling
  double median = 0;  // the typical sample: how noisy the ceiling is
};

inline Summary summarize(std::vector<double> samples) {
  if (samples.empty()) {
    return {};
  }
  std::sort(samples.begin(), samples.end());
  const std::size_t n = samples.size();
  const double median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
  return {samples.front(), median};
}

// A cost measured as a difference of two times: the median over the repetitions, and its
// noise, 1.96 standard errors of that median (the standard deviation estimated as 1.4826 times
// the median absolute deviation, the standard error of a median as 1.2533 sigma / sqrt(n)).
// A cost not above its noise (a negative one included) is below noise: it counts as zero,
// and its noise is at least its distance from zero, so that "below noise (±x)" always holds
// the difference measured.
struct Cost {
  double seconds = 0;  // the median, or 0 when below noise
  double noise = 0;
  bool below_noise = false;
};

inline Cost cost_of(const std::vector<double>& differences) {
  Cost c;
  if (differences.empty()) {
    c.below_noise = true;
    return c;
  }
  const double median = summarize(differences).median;
  std::vector<double> deviations;
  deviations.reserve(differences.size());
  for (const double d : differences) {
    deviations.push_back(std::abs(d - median));
  }
  const double mad = summarize(deviations).median;
  c.noise = 1.96 * 1.2533 * 1.4826 * mad / std::sqrt(static_cast<double>(differences.size()));
  if (median > c.noise) {
    c.seconds = median;
  } else {
    c.below_noise = true;
    c.noise = std::max(c.noise, std::abs(median));
  }
  return c;
}

// A repeat count at which `run(count)` (which returns the seconds it took) lasts about
// `target` seconds: doubling from 1 until a run takes a quarter of the target, then scaled.
template <class Run>
std::int64_t calibrate(double target, Run&& run) {
  constexpr std::int64_t kLimit = std::int64_t{1} << 40;
  std::int64_t count = 1;
  for (;;) {
    const double seconds = run(count);
    if (seconds >= target / 4 || count >= kLimit) {
      const double scaled = static_cast<double>(count) * target / std::max(seconds, 1e-9);
      return std::clamp<std::int64_t>(static_cast<std::int64_t>(scaled), 1, kLimit);
    }
    count *= 2;
  }
}

// Sum over i in [0, n) of (i mod m): whole periods, then the partial one.
inline std::uint64_t sum_mod(std::uint64_t n, std::uint64_t m) {
  const std::uint64_t r = n % m;
  return (n / m) * (m * (m - 1) / 2) + (r == 0 ? 0 : r * (r - 1) / 2);
}

// 12.3 GB/s, 45.6 Gflop/s: the progress lines' short form of a rate.
inline std::string giga(double per_second) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", per_second / 1e9);
  return text;
}

// A list of team sizes, "1,2,4": each from 1 to 1024, in the order given; empty when the text
// is not such a list.
inline std::vector<int> parse_threads(std::string_view text) {
  std::vector<int> threads;
  std::size_t i = 0;
  while (i < text.size()) {
    int value = 0;
    const std::size_t first = i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && value <= 1024; ++i) {
      value = value * 10 + (text[i] - '0');
    }
    if (i == first || value < 1 || value > 1024) {
      return {};
    }
    threads.push_back(value);
    if (i < text.size()) {
      if (text[i] != ',' || i + 1 == text.size()) {
        return {};
      }
      ++i;
    }
  }
  return threads;
}

// The team sizes measured by default: 1, 2, 4, ... below the usable CPUs, then all of them.
inline std::vector<int> default_threads(int usable) {
  std::vector<int> threads;
  for (int t = 1; t < usable; t *= 2) {
    threads.push_back(t);
  }
  threads.push_back(std::max(usable, 1));
  return threads;
}

// "1 thread", "2 threads": the team of a message.
inline std::string team(int threads) {
  return std::to_string(threads) + (threads == 1 ? " thread" : " threads");
}

// 0.123: the progress lines' short form of a time in microseconds.
inline std::string micro(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds * 1e6);
  return text;
}

// A cost in microseconds as the progress lines show it: "0.123", or "below noise (±0.012)".
inline std::string micro(const Cost& cost) {
  return cost.below_noise ? "below noise (±" + micro(cost.noise) + ")" : micro(cost.seconds);
}

}  // namespace probe
