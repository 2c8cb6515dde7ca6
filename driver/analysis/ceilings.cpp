#include "driver/analysis/ceilings.h"

#include <sys/utsname.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "driver/base/files.h"
#include "driver/base/json_input.h"
#include "driver/base/text.h"
#include "driver/run/machine.h"

namespace ks::driver {
namespace {

constexpr const char* kProbeFormat = "ks-probe 1";
constexpr const char* kCacheFormat = "kernelscope ceilings 1";

using json = nlohmann::json;

const json& member(const json& j, const char* key, const std::string& where) {
  if (!j.is_object() || !j.contains(key)) {
    throw CeilingsError(fmt::format("the probe's output has no {}{}", where, key));
  }
  return j.at(key);
}

std::string text(const json& j, const char* key, const std::string& where) {
  const json& v = member(j, key, where);
  if (!v.is_string()) {
    throw CeilingsError(fmt::format("the probe's {}{} is not text", where, key));
  }
  return v.get<std::string>();
}

double number(const json& j, const char* key, const std::string& where) {
  const json& v = member(j, key, where);
  if (!v.is_number()) {
    throw CeilingsError(fmt::format("the probe's {}{} is not a number", where, key));
  }
  return v.get<double>();
}

// A figure within what a real machine can show: refused with the field named otherwise (a
// ceiling of 1e308 B/s would give infinite or zero times in every plot and report).
double bounded(const json& j, const char* key, const std::string& where, double low, double high,
               const char* unit) {
  const double v = number(j, key, where);
  if (!std::isfinite(v) || v < low || v > high) {
    throw CeilingsError(
        fmt::format("the probe's {}{} is {}: a real machine's is between {:g} and {:g}{}", where,
                    key, j.at(key).dump(), low, high, unit));
  }
  return v;
}

// The physical ranges: rates far beyond any machine's, sizes and costs beyond sense are refused.
constexpr double kMaxRate = 1e15;   // bytes or operations per second
constexpr double kMinRate = 1e3;    // a machine slower than this measures nothing useful
constexpr double kMaxCost = 1;      // seconds per page, region, barrier or chunk
constexpr double kMaxBytes = 1e13;  // a cache of 10 TB
constexpr double kMaxCount = 1e6;   // cache instances, cache levels well below
constexpr double kMaxChunk = 1e12;  // iterations per chunk

double rate(const json& j, const char* key, const std::string& where, const char* unit) {
  return bounded(j, key, where, kMinRate, kMaxRate, unit);
}

// A cost that noise may bring slightly below zero: within the bounds, kept at zero or above.
double cost(const json& j, const char* key, const std::string& where) {
  return std::max(0.0, bounded(j, key, where, -kMaxCost, kMaxCost, " s"));
}

// An OpenMP cost, which the probe separates from its noise: never negative (the probe marks a
// cost it cannot tell from zero, with its noise, rather than print one), at most a second.
double overhead(const json& j, const char* key, const std::string& where) {
  const double v = number(j, key, where);
  if (std::isfinite(v) && v < 0) {
    throw CeilingsError(fmt::format(
        "the probe's {}{} is {}: a cost is never negative (one below the probe's noise is 0, "
        "marked below_noise)",
        where, key, j.at(key).dump()));
  }
  return bounded(j, key, where, 0, kMaxCost, " s");
}

// The noise beside an OpenMP cost: marked by "below_noise" (a probe without noise figures
// marks none).
Noise noise_of(const json& j, const char* key, const std::string& where) {
  Noise n;
  if (!j.contains("below_noise")) {
    return n;
  }
  const json& below = j.at("below_noise");
  if (!below.is_boolean()) {
    throw CeilingsError(fmt::format("the probe's {}below_noise is not true or false", where));
  }
  n.below = below.get<bool>();
  if (n.below) {
    n.seconds = bounded(j, key, where, 0, kMaxCost, " s");
  }
  return n;
}

// The physical range of a core clock, and of a latency in cycles.
constexpr double kMinHertz = 1e7;
constexpr double kMaxHertz = 1e11;
constexpr double kMaxCycles = 1e4;

int team(const json& r, const std::string& where) {
  const double t = number(r, "threads", where);
  if (t < 1 || t > 100000 || t != std::floor(t)) {
    throw CeilingsError(fmt::format("the probe's {}threads is {}", where, r.at("threads").dump()));
  }
  return static_cast<int>(t);
}

const json& results_of(const json& probe, const char* section) {
  const json& r = member(member(probe, section, ""), "results", std::string(section) + ".");
  if (!r.is_array()) {
    throw CeilingsError(fmt::format("the probe's {}.results is not a list", section));
  }
  return r;
}

// The figure for the largest team not above `threads`, else the smallest team's.
template <class Map>
std::optional<typename Map::mapped_type> at_team(const Map& by_team, int threads) {
  if (by_team.empty()) {
    return std::nullopt;
  }
  auto it = by_team.upper_bound(threads);
  if (it == by_team.begin()) {
    return it->second;
  }
  return std::prev(it)->second;
}

std::uint64_t fnv1a(const std::string& s) {
  std::uint64_t h = 14695981039346656037ull;
  for (const unsigned char c : s) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

json key_json(const MachineKey& k) {
  return {{"cpu_model", k.cpu_model}, {"kernel", k.kernel}, {"host", k.host}};
}

}  // namespace

MachineKey this_machine_key() {
  MachineKey key;
  key.cpu_model = cpu_model_name();
  utsname u{};
  if (uname(&u) == 0) {
    key.kernel = fmt::format("{} {} {} {}", u.sysname, u.release, u.version, u.machine);
    key.host = u.nodename;
  }
  return key;
}

std::string cache_file_name(const MachineKey& key) {
  std::string host;
  for (const char c : key.host.substr(0, 64)) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    host += plain ? c : '_';
  }
  if (host.empty() || host[0] == '.') {
    host = "host" + host;
  }
  const std::uint64_t h = fnv1a(key.cpu_model + '\n' + key.kernel + '\n' + key.host);
  return fmt::format("ceilings-{}-{:016x}.json", host, h);
}

std::string default_cache_dir() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    return std::string(xdg) + "/kernelscope";
  }
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    return std::string(home) + "/.cache/kernelscope";
  }
  return "";
}

std::optional<double> Ceilings::add_bytes_per_second(int level, int threads) const {
  const auto it = add_bandwidth.find(level);
  return it == add_bandwidth.end() ? std::nullopt : at_team(it->second, threads);
}

std::optional<double> Ceilings::roof_bytes_per_second(int level, int threads) const {
  const auto it = best_bandwidth.find(level);
  return it == best_bandwidth.end() ? std::nullopt : at_team(it->second, threads);
}

std::optional<double> Ceilings::fault_seconds(int threads) const {
  return at_team(fault_seconds_per_page, threads);
}

std::optional<double> Ceilings::added_fault_seconds(int threads) const {
  return at_team(added_fault_seconds_per_page, threads);
}

int Ceilings::holding_level(double bytes, int threads) const {
  for (const CacheLevel& cache : caches) {
    const double capacity =
        cache.size_bytes * (cache.instances > 1 ? std::min(threads, cache.instances) : 1);
    if (bytes <= capacity && add_bytes_per_second(cache.level, threads)) {
      return cache.level;
    }
  }
  return 0;
}

std::optional<double> Ceilings::ops_per_second(const std::string& kernel, const std::string& code,
                                               int threads) const {
  const auto it = compute.find(kernel + "/" + code);
  return it == compute.end() ? std::nullopt : at_team(it->second, threads);
}

std::optional<double> Ceilings::region(int threads) const {
  return at_team(region_seconds, threads);
}

std::optional<double> Ceilings::barrier(int threads) const {
  return at_team(barrier_seconds, threads);
}

namespace {

// The entry of a schedule's figures for the team and the measured chunk nearest to `chunk`.
template <class Value>
std::optional<Value> nearest_chunk(
    const std::map<std::string, std::map<int, std::map<long long, Value>>>& figures,
    const std::string& schedule, long long chunk, int threads) {
  const auto it = figures.find(schedule);
  if (it == figures.end()) {
    return std::nullopt;
  }
  const auto by_chunk = at_team(it->second, threads);
  if (!by_chunk || by_chunk->empty()) {
    return std::nullopt;
  }
  const double want = std::log(static_cast<double>(std::max<long long>(chunk, 1)));
  std::optional<Value> best;
  double distance = 0;
  for (const auto& [c, value] : *by_chunk) {
    const double d = std::abs(std::log(static_cast<double>(c)) - want);
    if (!best || d < distance) {
      best = value;
      distance = d;
    }
  }
  return best;
}

}  // namespace

std::optional<double> Ceilings::per_chunk(const std::string& schedule, long long chunk,
                                          int threads) const {
  return nearest_chunk(chunk_seconds, schedule, chunk, threads);
}

Noise Ceilings::region_noise_at(int threads) const {
  return at_team(region_noise, threads).value_or(Noise{});
}

Noise Ceilings::barrier_noise_at(int threads) const {
  return at_team(barrier_noise, threads).value_or(Noise{});
}

Noise Ceilings::chunk_noise_at(const std::string& schedule, long long chunk, int threads) const {
  return nearest_chunk(chunk_noise, schedule, chunk, threads).value_or(Noise{});
}

std::optional<double> Ceilings::clock_hertz(int threads) const {
  return at_team(core_hertz, threads);
}

std::optional<double> Ceilings::latency(const std::string& kernel) const {
  const auto it = latency_cycles.find(kernel);
  return it == latency_cycles.end() ? std::nullopt : std::optional<double>(it->second);
}

std::string cost_text(double seconds, const Noise& noise) {
  if (noise.below) {
    return fmt::format("below noise (±{})", human_seconds(noise.seconds));
  }
  return human_seconds(std::max(0.0, seconds));
}

namespace {

// The machine the probe ran on, its page size and its data caches, lowest level first.
void parse_context(const json& probe, Ceilings& c) {
  const json& context = member(probe, "context", "");
  c.key = {text(context, "cpu_model", "context."), text(context, "kernel", "context."),
           text(context, "hostname", "context.")};
  c.page_bytes = bounded(context, "page_bytes", "context.", 512, 1 << 30, " bytes");
  c.quick = context.value("quick", false);
  for (const json& level : member(context, "caches", "context.")) {
    const std::string type = text(level, "type", "context.caches.");
    if (type != "Data" && type != "Unified") {
      continue;
    }
    c.caches.push_back(
        {static_cast<int>(bounded(level, "level", "context.caches.", 1, 8, "")),
         bounded(level, "size_bytes", "context.caches.", 1, kMaxBytes, " bytes"),
         static_cast<int>(bounded(level, "instances", "context.caches.", 1, kMaxCount, ""))});
  }
  std::sort(c.caches.begin(), c.caches.end(),
            [](const CacheLevel& a, const CacheLevel& b) { return a.level < b.level; });
}

// The memory's bandwidths (level 0) and the caches': the plain addition's, and the best of any
// kernel and code.
void parse_bandwidths(const json& probe, Ceilings& c) {
  auto bandwidth = [&](const json& r, int level, const std::string& where) {
    const int t = team(r, where);
    const double bps = rate(r, "bytes_per_second", where, " B/s");
    if (text(r, "kernel", where) == "add" && text(r, "code", where) == "plain") {
      c.add_bandwidth[level][t] = bps;
    }
    double& best = c.best_bandwidth[level][t];
    best = std::max(best, bps);
  };
  for (const json& r : results_of(probe, "memory_bandwidth")) {
    bandwidth(r, 0, "memory_bandwidth.results[].");
  }
  if (c.add_bandwidth.find(0) == c.add_bandwidth.end()) {
    throw CeilingsError("the probe's output has no memory bandwidth of the plain addition");
  }
  if (probe.contains("cache_bandwidth")) {
    for (const json& r : results_of(probe, "cache_bandwidth")) {
      const std::string where = "cache_bandwidth.results[].";
      bandwidth(r, static_cast<int>(bounded(r, "level", where, 1, 8, "")), where);
    }
  }
}

// The cost of a fresh page, and the operation rates per kernel and code.
void parse_pages_and_compute(const json& probe, Ceilings& c) {
  for (const json& r : results_of(probe, "first_touch")) {
    const std::string where = "first_touch.results[].";
    const int t = team(r, where);
    c.fault_seconds_per_page[t] = cost(r, "fault_seconds_per_page", where);
    if (r.contains("add_seconds_per_page")) {
      // The warm addition of the same arrays (three of the section's bytes), per page of a:
      // 24 named bytes per element of 8.
      const double bytes = bounded(probe.at("first_touch"), "bytes", "first_touch.", 1, 1e15, "");
      const double warm =
          3 * c.page_bytes / *c.add_bytes_per_second(c.holding_level(3 * bytes, t), t);
      c.added_fault_seconds_per_page[t] =
          std::max(0.0, cost(r, "add_seconds_per_page", where) - warm);
    }
  }
  if (c.fault_seconds_per_page.empty()) {
    throw CeilingsError("the probe's output has no first-touch figure");
  }
  for (const json& r : results_of(probe, "compute")) {
    const std::string where = "compute.results[].";
    const std::string code = text(r, "code", where);
    c.compute[text(r, "kernel", where) + "/" + code][team(r, where)] =
        rate(r, "operations_per_second", where, " op/s");
    if (code != "scalar") {
      c.vector_isa = code;
    }
  }
  for (const char* needed : {"fp64_add/scalar", "int32_add/scalar"}) {
    if (c.compute.find(needed) == c.compute.end()) {
      throw CeilingsError(fmt::format("the probe's output has no {} throughput", needed));
    }
  }
}

// OpenMP's costs with their noise: a region, a barrier, a chunk per schedule and chunk size.
void parse_openmp(const json& probe, Ceilings& c) {
  for (const json& r : results_of(probe, "openmp_overheads")) {
    const std::string where = "openmp_overheads.results[].";
    const std::string construct = text(r, "construct", where);
    const int t = team(r, where);
    if (construct == "parallel") {
      c.region_seconds[t] = overhead(r, "seconds_per_region", where);
      c.region_noise[t] = noise_of(r, "noise_seconds_per_region", where);
    } else if (construct == "barrier") {
      c.barrier_seconds[t] = overhead(r, "seconds_per_barrier", where);
      c.barrier_noise[t] = noise_of(r, "noise_seconds_per_barrier", where);
    } else if (construct == "for") {
      const auto chunk = static_cast<long long>(bounded(r, "chunk", where, 1, kMaxChunk, ""));
      const std::string schedule = text(r, "schedule", where);
      c.chunk_seconds[schedule][t][chunk] = overhead(r, "seconds_per_chunk", where);
      c.chunk_noise[schedule][t][chunk] = noise_of(r, "noise_seconds_per_chunk", where);
    }
  }
}

// The clock and the latencies: optional (a probe before them measured neither), checked when
// there.
void parse_clock_and_latencies(const json& probe, Ceilings& c) {
  if (probe.contains("core_clock")) {
    for (const json& r : results_of(probe, "core_clock")) {
      const std::string where = "core_clock.results[].";
      c.core_hertz[team(r, where)] = bounded(r, "hertz", where, kMinHertz, kMaxHertz, " Hz");
    }
  }
  if (probe.contains("latencies")) {
    const std::string where = "latencies.results[].";
    c.latency_hertz =
        bounded(member(probe, "latencies", ""), "hertz", "latencies.", kMinHertz, kMaxHertz, " Hz");
    for (const json& r : results_of(probe, "latencies")) {
      // The kernels the model knows; a dependent operation takes at least part of a cycle
      // (less is a wrong clock).
      const std::string kernel = text(r, "kernel", where);
      if (kernel == "fp64_add" || kernel == "fp64_mul" || kernel == "int32_add" ||
          kernel == "store_load") {
        c.latency_cycles[kernel] = bounded(r, "latency_cycles", where, 0.25, kMaxCycles, " cycles");
      }
    }
  }
}

}  // namespace

Ceilings parse_ceilings(const json& probe) {
  Ceilings c;
  c.probe = probe;
  if (!probe.is_object()) {
    throw CeilingsError("the probe's output is not a JSON object");
  }
  if (text(probe, "format", "") != kProbeFormat) {
    throw CeilingsError(fmt::format("the probe's output is in format '{}', not '{}'",
                                    probe.at("format").get<std::string>(), kProbeFormat));
  }
  parse_context(probe, c);
  parse_bandwidths(probe, c);
  parse_pages_and_compute(probe, c);
  parse_openmp(probe, c);
  parse_clock_and_latencies(probe, c);
  if (c.region_seconds.empty()) {
    throw CeilingsError("the probe's output has no cost of a parallel region");
  }
  for (const auto& [t, v] : c.add_bandwidth.at(0)) {
    c.threads.push_back(t);
  }
  return c;
}

std::optional<KnownCeilings> load_cached_ceilings(const std::string& dir, const MachineKey& key) {
  if (dir.empty()) {
    return std::nullopt;
  }
  const std::string path = dir + "/" + cache_file_name(key);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    return std::nullopt;
  }
  try {
    const json j = parse_json(read_text(path));
    if (j.value("format", "") != kCacheFormat || j.at("key") != key_json(key)) {
      return std::nullopt;
    }
    KnownCeilings known{parse_ceilings(j.at("probe")), "cache", j.value("probed_at", ""), path};
    // A probe from before the core clock and the latencies were measured: the model's in-core
    // term needs them, so it is measured again.
    if (!known.ceilings.quick &&
        (known.ceilings.core_hertz.empty() || known.ceilings.latency_cycles.empty())) {
      return std::nullopt;
    }
    return known;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::string save_cached_ceilings(const std::string& dir, const MachineKey& key, const json& probe,
                                 const std::string& probed_at) {
  create_folder(dir);
  const std::string path = dir + "/" + cache_file_name(key);
  const json j = {
      {"format", kCacheFormat}, {"key", key_json(key)}, {"probed_at", probed_at}, {"probe", probe}};
  write_file_atomic(path, j.dump(1, ' ', false, json::error_handler_t::replace) + "\n");
  return path;
}

json ceilings_context(const KnownCeilings& c) {
  return {{"source", c.source},
          {"probed_at", c.probed_at},
          {"file", c.path},
          {"probe", c.ceilings.probe}};
}

std::optional<Ceilings> ceilings_from_context(const MachineContext& context) {
  if (context.probe.is_null()) {
    return std::nullopt;
  }
  try {
    return parse_ceilings(context.probe);
  } catch (const CeilingsError&) {
    return std::nullopt;
  }
}

}  // namespace ks::driver
