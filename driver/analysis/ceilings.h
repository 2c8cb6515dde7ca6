// The machine's ceilings, as ks-probe measured them (its JSON is documented at the top of
// probe/ks-probe.cpp): memory and cache bandwidth, the cost of a fresh page, arithmetic
// throughput and OpenMP overheads, each per team size. Read from the probe's output, kept per
// machine in a per-user cache, and looked up by the model (model.h).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver/results/machine_context.h"

namespace ks::driver {

// A probe output that cannot be used: one line saying why.
class CeilingsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What makes ceilings belong to a machine: measured elsewhere, or under another kernel, they
// are not this machine's.
struct MachineKey {
  std::string cpu_model;
  std::string kernel;  // uname: system, release, version, machine
  std::string host;
  bool operator==(const MachineKey&) const = default;
};

MachineKey this_machine_key();

// The cache file's name for a machine: "ceilings-<host>-<16 hex digits>.json", the digits a
// hash of the whole key (the host name kept to letters, digits, '.', '-' and '_').
std::string cache_file_name(const MachineKey& key);

// A cache folder: $XDG_CACHE_HOME/kernelscope, else $HOME/.cache/kernelscope; "" when neither
// variable is set.
std::string default_cache_dir();

// One level of the cache hierarchy, as the probe found it.
struct CacheLevel {
  int level = 0;
  double size_bytes = 0;  // one instance
  int instances = 1;      // 1: shared by every CPU
};

// A cost the probe could not tell from zero: it counts as zero, and its noise says how far
// from zero it may be.
struct Noise {
  bool below = false;  // the cost is below its noise
  double seconds = 0;  // the noise (1.96 standard errors of the probe's median)
};

// A probe's cost for people: its time, or "below noise (±x)" when the probe could not tell it
// from zero; never negative.
std::string cost_text(double seconds, const Noise& noise);

// The probe's figures. Keys are team sizes; lookups take the largest team measured that is not
// larger than the one asked for (a team beyond the usable CPUs gets the machine's whole
// figure), else the smallest measured.
struct Ceilings {
  nlohmann::json probe;  // the probe's output, whole
  MachineKey key;        // from the probe's context
  double page_bytes = 4096;
  bool quick = false;              // a smoke-test probe: its figures mean little
  std::vector<CacheLevel> caches;  // data and unified levels, ascending
  std::vector<int> threads;        // the team sizes measured
  // The suite's addition a[i] = b[i] + c[i] as plain compiled code, bytes as the kernel names
  // them (24 per element), per level (0: memory, warm pages) and team size.
  std::map<int, std::map<int, double>> add_bandwidth;
  // The best of every kernel and code form (explicit vectors included), same units: the roof.
  std::map<int, std::map<int, double>> best_bandwidth;
  // First touch, per team size: the extra seconds a page costs when it does not exist yet
  // (fresh minus warm, per page).
  std::map<int, double> fault_seconds_per_page;
  // The same for an addition a[i] = b[i] + c[i] whose a is fresh: the probe's seconds per page
  // of a, less the addition's with warm pages at the level that holds the probe's arrays,
  // floored at 0. Empty: a probe that did not time it.
  std::map<int, double> added_fault_seconds_per_page;
  // Operations per second of the whole team: "fp64_add", "fp64_fma" (flops: 2 per fma),
  // "int32_add", per code ("scalar", or the vector instruction set) and team size.
  std::map<std::string, std::map<int, double>> compute;  // key: "kernel/code"
  std::string vector_isa;                                // the widest code measured
  // OpenMP: seconds per parallel region (fork and join), per barrier, per chunk of a loop by
  // schedule ("static", "dynamic", "guided") and chunk; per team size. A negative cost is
  // refused; one below the probe's noise is zero, its noise kept beside it.
  std::map<int, double> region_seconds;
  std::map<int, double> barrier_seconds;
  std::map<std::string, std::map<int, std::map<long long, double>>> chunk_seconds;
  std::map<int, Noise> region_noise;
  std::map<int, Noise> barrier_noise;
  std::map<std::string, std::map<int, std::map<long long, Noise>>> chunk_noise;
  // The core clock under load, hertz of the slowest thread per team size (empty: a probe
  // that did not measure it).
  std::map<int, double> core_hertz;
  // Latencies of one dependent operation in cycles, one thread: "fp64_add", "fp64_mul",
  // "int32_add", "store_load" (a load, an add and a store on one address); and the clock they
  // were counted at. Empty: not measured.
  std::map<std::string, double> latency_cycles;
  double latency_hertz = 0;

  // Lookups; nothing when the probe did not measure it.
  std::optional<double> add_bytes_per_second(int level, int threads) const;
  std::optional<double> roof_bytes_per_second(int level, int threads) const;
  std::optional<double> fault_seconds(int threads) const;
  std::optional<double> added_fault_seconds(int threads) const;
  // The smallest level that holds `bytes` with a measured addition (private levels pool over
  // the team); 0, the memory, when none does.
  int holding_level(double bytes, int threads) const;
  std::optional<double> ops_per_second(const std::string& kernel, const std::string& code,
                                       int threads) const;
  std::optional<double> region(int threads) const;
  std::optional<double> barrier(int threads) const;
  // The measured chunk nearest to `chunk` (by ratio) of that schedule.
  std::optional<double> per_chunk(const std::string& schedule, long long chunk, int threads) const;
  // The noise of the same lookups ({} when the cost is above its noise, or not measured).
  Noise region_noise_at(int threads) const;
  Noise barrier_noise_at(int threads) const;
  Noise chunk_noise_at(const std::string& schedule, long long chunk, int threads) const;
  std::optional<double> clock_hertz(int threads) const;
  std::optional<double> latency(const std::string& kernel) const;
  int max_threads() const { return threads.empty() ? 1 : threads.back(); }
};

// Reads the probe's output; throws CeilingsError naming what is missing or not a sound figure
// (a rate that is not a positive finite number).
Ceilings parse_ceilings(const nlohmann::json& probe);

// Ceilings and where they came from.
struct KnownCeilings {
  Ceilings ceilings;
  std::string source;     // "cache", "probe" (measured just now) or "file" (given by the user)
  std::string probed_at;  // ISO 8601, when known
  std::string path;       // the file they were read from or saved to, if any
};

// The per-user cache: one file per machine holding the key, when the probe ran and its
// output. load gives nothing when there is no file or it is not this key's (or not readable:
// a stale or damaged cache is measured again, never trusted), and for a probe's output without
// the core clock or the latencies (an older probe's: the model needs them).
std::optional<KnownCeilings> load_cached_ceilings(const std::string& dir, const MachineKey& key);
// Writes the cache file (the folder made if need be); returns its path. Throws WriteError.
std::string save_cached_ceilings(const std::string& dir, const MachineKey& key,
                                 const nlohmann::json& probe, const std::string& probed_at);

// The ceilings as they go into a result set's context (and so into results.json and the run
// store's machine context): where they came from and the probe's output.
nlohmann::json ceilings_context(const KnownCeilings& c);
// Back from a context; nothing when it holds none (or none that parse).
std::optional<Ceilings> ceilings_from_context(const MachineContext& context);

}  // namespace ks::driver
