// What ks-probe reads about the machine: the usable CPUs, the cache hierarchy from sysfs (or,
// where a virtual machine's sysfs has none, from the CPU's own report), the
// transparent huge page setting, the huge pages a mapping actually got, the memory available,
// and the context object of the output. The readers take their file or folder as a parameter
// so that the tests can give them a made-up machine.
#pragma once

#include <cpuid.h>
#include <sched.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "probe/probe.h"

namespace probe {

// The first line of a file without its newline; empty when it cannot be read.
inline std::string read_first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
    line.pop_back();
  }
  return line;
}

// A sysfs cache size ("32K", "1024K", "32M", "512"): bytes, or 0 when it is not a size.
inline std::uint64_t parse_size(std::string_view text) {
  std::uint64_t value = 0;
  std::size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  if (i == 0) {
    return 0;
  }
  const std::string_view unit = text.substr(i);
  if (unit.empty()) {
    return value;
  }
  if (unit == "K") {
    return value << 10;
  }
  if (unit == "M") {
    return value << 20;
  }
  if (unit == "G") {
    return value << 30;
  }
  return 0;
}

// A kernel CPU list ("0-3,8,10-11"): the CPU numbers in order; empty when malformed.
inline std::vector<int> parse_cpu_list(std::string_view text) {
  std::vector<int> cpus;
  auto number = [&](std::size_t& i, int& out) {
    const std::size_t first = i;
    long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && value < 1'000'000; ++i) {
      value = value * 10 + (text[i] - '0');
    }
    out = static_cast<int>(value);
    return i > first && value < 1'000'000;
  };
  std::size_t i = 0;
  while (i < text.size()) {
    int low = 0;
    int high = 0;
    if (!number(i, low)) {
      return {};
    }
    high = low;
    if (i < text.size() && text[i] == '-') {
      ++i;
      if (!number(i, high) || high < low) {
        return {};
      }
    }
    for (int cpu = low; cpu <= high; ++cpu) {
      cpus.push_back(cpu);
    }
    if (i < text.size()) {
      if (text[i] != ',') {
        return {};
      }
      ++i;
      if (i == text.size()) {
        return {};
      }
    }
  }
  return cpus;
}

// The selected value of a kernel choice file ("always [madvise] never" gives "madvise"); the
// whole text when nothing is bracketed.
inline std::string selected_choice(std::string_view text) {
  const std::size_t open = text.find('[');
  const std::size_t close = text.find(']', open);
  if (open == std::string_view::npos || close == std::string_view::npos) {
    return std::string(text);
  }
  return std::string(text.substr(open + 1, close - open - 1));
}

// One cache of the machine: a level and type, its size, and the CPUs that share it.
struct CacheInstance {
  int level = 0;
  std::string type;  // "Data" or "Unified" (instruction caches are left out)
  std::uint64_t size_bytes = 0;
  std::string cpu_list;  // as sysfs writes it, the instance's identity
  std::vector<int> cpus;
};

// Every data or unified cache seen by `cpus`, each instance once, from a folder laid out like
// /sys/devices/system/cpu (cpuN/cache/indexK/{level,type,size,shared_cpu_list}).
inline std::vector<CacheInstance> read_caches(const std::string& cpu_root,
                                              const std::vector<int>& cpus) {
  std::vector<CacheInstance> caches;
  for (const int cpu : cpus) {
    for (int index = 0;; ++index) {
      const std::string base =
          cpu_root + "/cpu" + std::to_string(cpu) + "/cache/index" + std::to_string(index) + "/";
      const std::string level = read_first_line(base + "level");
      if (level.empty()) {
        break;
      }
      CacheInstance c;
      c.level = std::atoi(level.c_str());
      c.type = read_first_line(base + "type");
      c.size_bytes = parse_size(read_first_line(base + "size"));
      c.cpu_list = read_first_line(base + "shared_cpu_list");
      c.cpus = parse_cpu_list(c.cpu_list);
      if (c.type == "Instruction" || c.level <= 0 || c.size_bytes == 0) {
        continue;
      }
      if (c.cpus.empty()) {
        c.cpus = {cpu};
      }
      const bool seen = std::any_of(caches.begin(), caches.end(), [&](const CacheInstance& o) {
        return o.level == c.level && o.type == c.type && o.cpu_list == c.cpu_list;
      });
      if (!seen) {
        caches.push_back(std::move(c));
      }
    }
  }
  std::stable_sort(
      caches.begin(), caches.end(),
      [](const CacheInstance& a, const CacheInstance& b) { return a.level < b.level; });
  return caches;
}

// What an AMD CPU says of its caches in its extended leaves, for a machine whose sysfs has no
// cache folders (some virtual machines): 0x80000005's ECX (L1 data, KiB in bits 31:24) and
// 0x80000006's ECX (L2, KiB in bits 31:16) and EDX (L3, 512 KiB units in bits 31:18).
struct CacheRegisters {
  std::uint32_t l1 = 0;  // 0x80000005 ECX
  std::uint32_t l2 = 0;  // 0x80000006 ECX
  std::uint32_t l3 = 0;  // 0x80000006 EDX
};

// The registers of this CPU; nothing on another vendor's (its extended leaves hold no L1) or
// when the leaves are absent.
inline std::optional<CacheRegisters> amd_cache_registers() {
  unsigned a = 0;
  unsigned b = 0;
  unsigned c = 0;
  unsigned d = 0;
  // "AuthenticAMD", as EBX, EDX, ECX of leaf 0.
  if (__get_cpuid(0, &a, &b, &c, &d) == 0 || b != 0x68747541 || d != 0x69746e65 ||
      c != 0x444d4163 ||
      static_cast<unsigned>(__get_cpuid_max(0x80000000, nullptr)) < 0x80000006u) {
    return std::nullopt;
  }
  CacheRegisters r;
  __get_cpuid(0x80000005, &a, &b, &c, &d);
  r.l1 = c;
  __get_cpuid(0x80000006, &a, &b, &c, &d);
  r.l2 = c;
  r.l3 = d;
  return r;
}

// The caches of those registers as instances for `cpus`: L1 data and L2 private to a core (the
// CPUs of its cpuN/topology/thread_siblings_list under `cpu_root`, else the CPU alone), one L3
// for all of them (the leaves say nothing of how it is shared: on a virtual machine it may be
// the host's whole socket's). A size of 0 is no cache.
inline std::vector<CacheInstance> caches_from_registers(const CacheRegisters& r,
                                                        const std::string& cpu_root,
                                                        const std::vector<int>& cpus) {
  std::vector<CacheInstance> caches;
  auto add = [&](int level, std::uint64_t bytes, const std::string& list,
                 const std::vector<int>& members) {
    const bool seen = std::any_of(caches.begin(), caches.end(), [&](const CacheInstance& o) {
      return o.level == level && o.cpu_list == list;
    });
    if (bytes > 0 && !seen) {
      caches.push_back({level, level == 1 ? "Data" : "Unified", bytes, list, members});
    }
  };
  std::string all;
  for (const int cpu : cpus) {
    std::string list =
        read_first_line(cpu_root + "/cpu" + std::to_string(cpu) + "/topology/thread_siblings_list");
    std::vector<int> members = parse_cpu_list(list);
    if (members.empty()) {
      list = std::to_string(cpu);
      members = {cpu};
    }
    add(1, std::uint64_t{r.l1 >> 24} << 10, list, members);
    add(2, std::uint64_t{r.l2 >> 16} << 10, list, members);
    all += (all.empty() ? "" : ",") + std::to_string(cpu);
  }
  add(3, std::uint64_t{r.l3 >> 18} << 19, all, cpus);
  std::stable_sort(
      caches.begin(), caches.end(),
      [](const CacheInstance& a, const CacheInstance& b) { return a.level < b.level; });
  return caches;
}

// The cache levels present, in order (1, 2, 3 on most machines).
inline std::vector<int> cache_levels(const std::vector<CacheInstance>& caches) {
  std::vector<int> levels;
  for (const CacheInstance& c : caches) {
    if (std::find(levels.begin(), levels.end(), c.level) == levels.end()) {
      levels.push_back(c.level);
    }
  }
  return levels;
}

// Bytes of `level` that a team running on `cpus` has between its members: every instance of
// that level that serves at least one of them, counted once.
inline std::uint64_t cache_capacity(const std::vector<CacheInstance>& caches, int level,
                                    const std::vector<int>& cpus) {
  std::uint64_t bytes = 0;
  for (const CacheInstance& c : caches) {
    if (c.level != level) {
      continue;
    }
    const bool serves = std::any_of(c.cpus.begin(), c.cpus.end(), [&](int cpu) {
      return std::find(cpus.begin(), cpus.end(), cpu) != cpus.end();
    });
    bytes += serves ? c.size_bytes : 0;
  }
  return bytes;
}

// The AnonHugePages of the mapping that holds `address`, in bytes, from a file laid out like
// /proc/self/smaps; -1 when no mapping holds it.
inline std::int64_t huge_page_bytes(const std::string& smaps_path, std::uintptr_t address) {
  std::ifstream in(smaps_path);
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    unsigned long long low = 0;
    unsigned long long high = 0;
    char dash = 0;
    // A mapping's first line: "low-high perms offset dev inode path", addresses in hex.
    if (std::sscanf(line.c_str(), "%llx%c%llx", &low, &dash, &high) == 3 && dash == '-' &&
        line.find(':') > line.find(' ')) {
      inside = address >= low && address < high;
      continue;
    }
    long long kib = 0;
    if (inside && std::sscanf(line.c_str(), "AnonHugePages: %lld kB", &kib) == 1) {
      return kib * 1024;
    }
  }
  return -1;
}

// MemAvailable of a file laid out like /proc/meminfo, in bytes; 0 when absent.
inline std::uint64_t memory_available(const std::string& meminfo_path) {
  std::ifstream in(meminfo_path);
  std::string line;
  while (std::getline(in, line)) {
    unsigned long long kib = 0;
    if (std::sscanf(line.c_str(), "MemAvailable: %llu kB", &kib) == 1) {
      return kib * 1024;
    }
  }
  return 0;
}

// The CPUs this process may run on, in order.
inline std::vector<int> usable_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> cpus;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &set)) {
        cpus.push_back(cpu);
      }
    }
  }
  if (cpus.empty()) {
    cpus.push_back(0);
  }
  return cpus;
}

// The first `threads` usable CPUs (all of them when there are fewer): where a team of that size
// is assumed to run for the cache capacity it has.
inline std::vector<int> first_cpus(const std::vector<int>& usable, int threads) {
  const auto n = std::min<std::size_t>(usable.size(), static_cast<std::size_t>(threads));
  return {usable.begin(), usable.begin() + static_cast<std::ptrdiff_t>(n)};
}

// What the measurements need to know of the machine.
struct Machine {
  std::vector<int> cpus;  // usable CPUs
  std::vector<CacheInstance> caches;
  std::string caches_from = "sysfs";  // or "cpuid", where sysfs has none; "" when neither
  std::uint64_t page_bytes = 4096;
  std::uint64_t memory_available = 0;  // bytes, 0 when unknown
};

inline Machine this_machine() {
  Machine m;
  m.cpus = usable_cpus();
  m.caches = read_caches("/sys/devices/system/cpu", m.cpus);
  if (m.caches.empty()) {
    const std::optional<CacheRegisters> r = amd_cache_registers();
    m.caches = r ? caches_from_registers(*r, "/sys/devices/system/cpu", m.cpus)
                 : std::vector<CacheInstance>{};
    m.caches_from = m.caches.empty() ? "" : "cpuid";
  }
  const long page = sysconf(_SC_PAGESIZE);
  m.page_bytes = page > 0 ? static_cast<std::uint64_t>(page) : 4096;
  m.memory_available = memory_available("/proc/meminfo");
  return m;
}

inline std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) {
      const std::size_t colon = line.find(':');
      return colon == std::string::npos ? "" : line.substr(colon + 2);
    }
  }
  return "";
}

inline json caches_json(const std::vector<CacheInstance>& caches) {
  json levels = json::array();
  for (const int level : cache_levels(caches)) {
    json entry;
    std::uint64_t total = 0;
    json lists = json::array();
    for (const CacheInstance& c : caches) {
      if (c.level == level) {
        if (entry.empty()) {
          entry["level"] = level;
          entry["type"] = c.type;
          entry["size_bytes"] = c.size_bytes;
        }
        total += c.size_bytes;
        lists.push_back(c.cpu_list);
      }
    }
    entry["instances"] = lists.size();
    entry["total_bytes"] = total;
    entry["shared_cpu_lists"] = lists;
    levels.push_back(entry);
  }
  return levels;
}

}  // namespace probe
