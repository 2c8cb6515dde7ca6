#include "driver/machine.h"

#include <sched.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "driver/build_info.h"
#include "driver/text.h"
#include "spawn/spawn.h"

extern char** environ;

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
  // Source revision, asked of git when the source tree is still there.
  ks::RunOptions git;
  git.args = {"-C",         std::string(build_source_dir()), "describe", "--always", "--dirty",
              "--abbrev=12"};
  git.timeout_seconds = 5;
  std::string revision = "unknown";
  for (const char* candidate : {"/usr/bin/git", "/usr/local/bin/git", "/bin/git"}) {
    if (access(candidate, X_OK) == 0) {
      const ks::RunResult r = ks::run_program(candidate, git);
      if (r.ok() && !r.out.empty()) {
        revision = r.out.substr(0, r.out.find('\n'));
      }
      break;
    }
  }
  ctx["source_revision"] = revision;
  // OpenMP: runs get OMP_NUM_THREADS and OMP_SCHEDULE from the driver; the caller's own OpenMP
  // variables (the standard ones and those of GCC's and LLVM's runtimes) are not passed on.
  nlohmann::json dropped = nlohmann::json::object();
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const auto eq = entry.find('=');
    if (ks::is_openmp_variable(entry.substr(0, eq))) {
      dropped[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
  }
  ctx["openmp"]["set_per_run"] = {"OMP_NUM_THREADS", "OMP_SCHEDULE"};
  ctx["openmp"]["caller_environment_not_passed"] = dropped;
  ctx["date"] = iso_time(static_cast<double>(std::time(nullptr)));
  return ctx;
}

}  // namespace ks::driver
