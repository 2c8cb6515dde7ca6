#include "driver/run/machine.h"

#include <sched.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "driver/base/build_info.h"
#include "driver/base/text.h"
#include "driver/results/inference.h"
#include "spawn/spawn.h"

namespace ks::driver {
namespace {

// A one-line file of /proc or /sys, without its trailing newline ("" when unreadable).
std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string s = ss.str();
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) {
    s.pop_back();
  }
  return s;
}

}  // namespace

int usable_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    return CPU_COUNT(&set);
  }
  return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
}

std::uint64_t physical_memory() {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) {
    return 0;
  }
  return static_cast<std::uint64_t>(info.totalram) * info.mem_unit;
}

std::string cpu_model_name() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos) {
      const std::size_t start = line.find_first_not_of(' ', line.find(':') + 1);
      return start == std::string::npos ? "" : line.substr(start);
    }
  }
  return "";
}

std::optional<double> load_average() {
  const char* file = std::getenv("KERNELSCOPE_LOADAVG_FILE");
  std::ifstream in(file != nullptr && *file != '\0' ? file : "/proc/loadavg");
  double load = 0;
  if (!(in >> load) || !std::isfinite(load) || load < 0) {
    return std::nullopt;
  }
  return load;
}

namespace {

// The largest team among the benchmarks, and every team size above `usable`.
int largest_team(const std::vector<Config>& configs) {
  int largest = 1;
  for (const Config& c : configs) {
    if (c.program->kind == Kind::kBenchmark) {
      largest = std::max(largest, c.threads);
    }
  }
  return largest;
}

}  // namespace

bool load_is_high(double load, int usable, const std::vector<Config>& configs) {
  const int needed = std::min(largest_team(configs), std::max(usable, 1));
  return load > static_cast<double>(usable - needed) + 0.5;
}

nlohmann::json measuring_conditions(const std::vector<Config>& configs, std::optional<double> load,
                                    int usable) {
  nlohmann::json j;
  j["load_average_1min"] = load ? nlohmann::json(*load) : nullptr;
  j["usable_cpus"] = usable;
  j["largest_team"] = largest_team(configs);
  nlohmann::json warnings = nlohmann::json::array();
  const bool timed = std::any_of(configs.begin(), configs.end(), [](const Config& c) {
    return c.program->kind == Kind::kBenchmark;
  });
  if (timed && load && load_is_high(*load, usable, configs)) {
    warnings.push_back(fmt::format(
        "the load average was {:.2f} on {} usable CPUs as the runs began: other work was "
        "running, and the times include waiting for a CPU (measure on an idle machine)",
        *load, usable));
  }
  std::vector<int> over;
  for (const Config& c : configs) {
    if (c.program->kind == Kind::kBenchmark && c.threads > usable &&
        std::find(over.begin(), over.end(), c.threads) == over.end()) {
      over.push_back(c.threads);
    }
  }
  if (!over.empty()) {
    std::sort(over.begin(), over.end());
    std::string list;
    for (int t : over) {
      list += (list.empty() ? "" : ",") + std::to_string(t);
    }
    const std::string who = over.size() == 1 ? fmt::format("a team of {} threads is", list)
                                             : fmt::format("teams of {} threads are", list);
    warnings.push_back(fmt::format(
        "{} larger than the {} usable CPUs: its threads take turns on them, and the times "
        "measure the sharing",
        who, usable));
  }
  j["warnings"] = warnings;
  return j;
}

nlohmann::json machine_context(const std::string& bin_dir) {
  nlohmann::json ctx;
  // CPU
  ctx["cpu"]["model"] = cpu_model_name();
  ctx["cpu"]["logical_cpus"] = sysconf(_SC_NPROCESSORS_ONLN);
  ctx["cpu"]["usable_cpus"] = usable_cpus();
  nlohmann::json caches = nlohmann::json::array();
  for (int i = 0; i < 8; ++i) {
    const std::string base = fmt::format("/sys/devices/system/cpu/cpu0/cache/index{}/", i);
    if (!std::filesystem::exists(base + "level")) {
      break;
    }
    caches.push_back({{"level", read_file(base + "level")},
                      {"type", read_file(base + "type")},
                      {"size", read_file(base + "size")},
                      {"shared_cpus", read_file(base + "shared_cpu_list")}});
  }
  ctx["cpu"]["caches"] = caches;
  const std::string governor = read_file("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor");
  ctx["cpu"]["scaling_governor"] =
      governor.empty() ? nlohmann::json(nullptr) : nlohmann::json(governor);
  struct sysinfo info {};
  if (sysinfo(&info) == 0) {
    ctx["memory"]["total_bytes"] = physical_memory();
    ctx["memory"]["swap_bytes"] = static_cast<std::uint64_t>(info.totalswap) * info.mem_unit;
    ctx["load_average"] = {info.loads[0] / 65536.0, info.loads[1] / 65536.0,
                           info.loads[2] / 65536.0};
  }
  // The clocks the programs read: clock_gettime(CLOCK_REALTIME) and omp_get_wtime, which
  // reads a monotonic clock. The coarser bounds what a time can resolve.
  std::optional<double> resolution;
  for (const clockid_t clock : {CLOCK_REALTIME, CLOCK_MONOTONIC}) {
    if (const std::optional<double> r = clock_resolution(clock)) {
      resolution = std::max(resolution.value_or(0), *r);
    }
  }
  ctx["clock"]["resolution_seconds"] = resolution ? nlohmann::json(*resolution) : nullptr;
  struct utsname u {};
  if (uname(&u) == 0) {
    ctx["kernel"] = fmt::format("{} {} {} {}", u.sysname, u.release, u.version, u.machine);
    ctx["host"] = u.nodename;
  }
  // Build
  ctx["build"]["compiler"] = build_compiler();
  ctx["build"]["type"] = build_type();
  ctx["build"]["bin_dir"] = bin_dir;
  nlohmann::json programs = nlohmann::json::object();
  for (const BuiltProgram& p : built_programs()) {
    programs[std::string(p.name)] = {{"options", p.options}, {"openmp", p.openmp}};
    programs[std::string(p.name)]["openmp_runtime"] =
        p.openmp ? nlohmann::json{{"name", p.openmp_runtime}, {"version", p.openmp_runtime_version}}
                 : nlohmann::json(nullptr);
  }
  ctx["build"]["programs"] = programs;
  // The revision the programs and the driver were built from (not what the tree holds now).
  ctx["source_revision"] = build_revision();
  ctx["date"] = iso_time(static_cast<double>(std::time(nullptr)));
  return ctx;
}

}  // namespace ks::driver
