// ks-probe: this machine's ceilings, measured and checked, as one JSON object on standard
// output; progress lines on standard error.
//
//   ks-probe [--quick] [--threads LIST] [--vector-isa sse2|avx2|avx512f]
//
// --threads   team sizes to measure at, "1,2,4" (default: 1, 2, 4, ... below the usable CPUs,
//             then all usable CPUs; on a two-CPU machine 1,2)
// --quick     tiny sizes and short calibrations, a second or two: for tests, not for figures
// --vector-isa  the instruction set of the "widest" code (default: the widest this CPU has)
//
// About half a minute on a two-core machine. Built like the suite's programs (-O2,
// -ffp-contract=off, OpenMP); the explicitly vectorised kernels carry their own target.
// Every measurement checks its result against a closed form (array sums, chain values, delays
// done, clock readings, the values the latency chains end at); a wrong result ends the probe with
// status 1 and one line on standard error, "ks-probe: check failed: <what>". A bad option:
// status 2. Anything else that stops it (memory refused, a team smaller than asked, standard output
// unwritable): status 1.
//
// Output. Every rate and time carries its unit in its key: *_bytes_per_second,
// *_seconds_per_page, *_per_second, *_seconds. "best" values are the fastest repetition (the
// ceiling), "median" values show the noise. Each section holds "results", an array of flat
// records, one per kernel, code form and team size.
//
// {
//   "format": "ks-probe 1",
//   "context": {
//     "hostname", "cpu_model", "kernel" (uname: system release version machine),
//     "usable_cpus": 2, "usable_cpu_list": [0, 1],
//     "caches": [{"level", "type", "size_bytes" (one instance), "instances", "total_bytes",
//                 "shared_cpu_lists": ["0", "1"]}, ...]      (data and unified caches, sysfs)
//     "caches_from": "sysfs", or "cpuid" where sysfs has none (some virtual machines), or ""
//     "transparent_hugepages": {"enabled": "madvise", "defrag": "madvise"},
//     "page_bytes", "memory_available_bytes",
//     "compiler", "compile_options", "openmp" (the _OPENMP date),
//     "vector_isa": "avx512f", "vector_bits": 512, "widest_isa": (what the CPU supports),
//     "scalar_fma": true, "environment": {OMP_* and GOMP_* variables set},
//     "threads": [1, 2], "quick": false, "load_average": [1 min, 5 min, 15 min] at the start,
//     "seconds": the probe's wall time
//   },
//   "memory_bandwidth": {         warm pages, arrays beyond the last-level cache
//     "bytes_per_array", "repetitions",
//     "results": [{"kernel": "add"|"copy"|"triad", "code": "plain"|"widest", "threads",
//                  "bytes_per_second", "median_bytes_per_second",
//                  "best_seconds", "median_seconds"}, ...]
//   },
//   "cache_bandwidth": {          the same kernels with a working set of half a cache level
//     "working_set", "repetitions",
//     "results": [{"level", "bytes_per_array", then as memory_bandwidth}, ...]
//   },
//   "first_touch": {              a loop writing pages that do not exist yet
//     "bytes", "pages", "page_bytes", "repetitions", "huge_pages_seen",
//     "results": [{"threads",
//                  "seconds_per_page"          storing into fresh pages, per page
//                  "median_seconds_per_page",
//                  "bytes_per_second"          the same store as a rate
//                  "warm_bytes_per_second"     the same store once the pages exist
//                  "fault_seconds_per_page"    fresh minus warm, per page
//                  "add_bytes_per_second"      the suite's addition into a fresh destination
//                                              (24 bytes per element)
//                  "add_seconds_per_page",
//                  "huge_page_bytes"           AnonHugePages of the mapping after the touch
//                 }, ...]
//   },
//   "compute": {
//     "accumulators", "repetitions",
//     "results": [{"kernel": "fp64_add"|"fp64_fma"|"int32_add", "code": "scalar"|<vector_isa>,
//                  "lanes", "threads",
//                  "operations_per_second"       adds or fused multiply-adds, all lanes, whole team
//                  "operations_per_second_per_thread",
//                  "flops_per_second", "flops_per_second_per_thread"  (floating point only;
//                                                  a fused multiply-add counts 2)
//                  "median_operations_per_second", "steps", "best_seconds"}, ...]
//   },                            (a kernel the instruction set lacks is left out)
//   "openmp_overheads": {         each cost: the median over the repetitions of (time of the
//                                 constructs - time of their delays alone) / constructs, and
//                                 its noise (1.96 standard errors of that median); a cost not
//                                 above its noise is 0 with "below_noise": true, and its noise
//                                 at least the difference measured: never a negative cost
//     "delay_seconds", "delay_additions", "loop_iterations_per_thread", "repetitions",
//     "results": [{"construct": "parallel", "threads", "seconds_per_region",
//                  "noise_seconds_per_region", "below_noise", "constructs_timed"},
//                 {"construct": "barrier", "threads", "seconds_per_barrier",
//                  "noise_seconds_per_barrier", "below_noise", "constructs_timed"},
//                 {"construct": "for", "threads", "schedule": "static"|"dynamic"|"guided",
//                  "chunk", "iterations", "chunks_per_loop", "seconds_per_loop",
//                  "noise_seconds_per_loop", "seconds_per_chunk", "noise_seconds_per_chunk",
//                  "below_noise", "constructs_timed"}, ...]
//   },
//   "clock": {
//     "results": [{"clock": "clock_gettime(CLOCK_REALTIME)"|"clock_gettime(CLOCK_MONOTONIC)"|
//                           "omp_get_wtime",
//                  "resolution_seconds", "smallest_step_seconds", "median_step_seconds",
//                  "seconds_per_call", "median_seconds_per_call"}, ...]
//   },
//   "core_clock": {               every thread of the team runs one chain of dependent 64-bit
//                                 integer adds (one cycle each): the clock under load
//     "chain", "repetitions",
//     "results": [{"threads", "hertz" (adds per second of the slowest thread, best repetition),
//                  "median_hertz", "adds", "best_seconds", "median_seconds"}, ...]
//   },
//   "latencies": {                one thread, one chain of dependent operations each, every
//                                 repetition after one of the clock's add chain: cycles are
//                                 the best time per operation over the best time per add
//     "hertz" (the best of the clock's), "repetitions",
//     "results": [{"kernel": "fp64_add"|"fp64_mul"|"int32_add"|"store_load", "what",
//                  "operations",
//                  "latency_seconds", "median_latency_seconds"   one operation
//                  "latency_cycles", "median_latency_cycles",
//                  "hertz"                       the clock beside this kernel's repetitions
//                 }, ...]
//   }                             (store_load: x = x + 1 on x in memory, a load, an add and a
//                                 store; the store-to-load forwarding is that less the add)
// }
#include <omp.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "probe/bandwidth.h"
#include "probe/clock.h"
#include "probe/compute.h"
#include "probe/latency.h"
#include "probe/machine.h"
#include "probe/openmp_costs.h"
#include "probe/probe.h"
#include "probe/simd.h"

#ifndef KS_PROBE_COMPILE_OPTIONS
#define KS_PROBE_COMPILE_OPTIONS "unknown"
#endif

extern char** environ;

namespace {

constexpr const char* kUsage =
    "usage: ks-probe [--quick] [--threads LIST] [--vector-isa sse2|avx2|avx512f]\n";

[[noreturn]] void usage_error(const std::string& what) {
  std::fprintf(stderr, "ks-probe: %s\n%s", what.c_str(), kUsage);
  std::exit(2);
}

const char* isa_name(probe::Isa isa) {
  return probe::vector_code(isa).isa;
}

probe::Options parse_options(int argc, char* argv[], const probe::Machine& machine) {
  probe::Options options;
  options.vector_isa = probe::widest_isa();
  options.threads = probe::default_threads(static_cast<int>(machine.cpus.size()));
  for (int i = 1; i < argc; i++) {
    const std::string_view arg = argv[i];
    auto value = [&](std::string_view name) -> std::string_view {
      if (arg.size() > name.size() && arg.substr(0, name.size()) == name &&
          arg[name.size()] == '=') {
        return arg.substr(name.size() + 1);
      }
      if (i + 1 >= argc) {
        usage_error(std::string(name) + " needs a value");
      }
      return argv[++i];
    };
    auto is = [&](std::string_view name) {
      return arg == name || (arg.substr(0, name.size()) == name && arg.size() > name.size() &&
                             arg[name.size()] == '=');
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--quick") {
      options.quick = true;
    } else if (is("--threads")) {
      const std::string_view text = value("--threads");
      options.threads = probe::parse_threads(text);
      if (options.threads.empty()) {
        usage_error("--threads wants team sizes from 1 to 1024 separated by commas, not '" +
                    std::string(text) + "'");
      }
    } else if (is("--vector-isa")) {
      const std::string_view text = value("--vector-isa");
      const probe::Isa widest = probe::widest_isa();
      bool known = false;
      for (const probe::Isa isa : {probe::Isa::kSse2, probe::Isa::kAvx2, probe::Isa::kAvx512}) {
        if (text == isa_name(isa)) {
          known = true;
          if (static_cast<int>(isa) > static_cast<int>(widest)) {
            usage_error(std::string("this CPU does not support ") + isa_name(isa) +
                        " (the widest it has is " + isa_name(widest) + ")");
          }
          options.vector_isa = isa;
        }
      }
      if (!known) {
        usage_error("--vector-isa wants sse2, avx2 or avx512f, not '" + std::string(text) + "'");
      }
    } else if (is("--inject-fault")) {
      // Hidden: for the tests of the checks.
      options.fault = value("--inject-fault");
      constexpr std::string_view kChecks[] = {"memory", "cache", "first-touch", "compute",
                                              "openmp", "clock", "core-clock",  "latency"};
      bool known = false;
      for (const std::string_view check : kChecks) {
        known = known || options.fault == check;
      }
      if (!known) {
        usage_error("unknown check '" + options.fault + "'");
      }
    } else {
      usage_error("unknown option '" + std::string(arg) + "'");
    }
  }
  return options;
}

probe::json context(const probe::Options& options, const probe::Machine& machine) {
  probe::json c;
  utsname u{};
  if (uname(&u) == 0) {
    c["hostname"] = u.nodename;
    c["kernel"] = std::string(u.sysname) + " " + u.release + " " + u.version + " " + u.machine;
  }
  c["cpu_model"] = probe::cpu_model();
  c["usable_cpus"] = machine.cpus.size();
  c["usable_cpu_list"] = machine.cpus;
  c["caches"] = probe::caches_json(machine.caches);
  c["caches_from"] = machine.caches_from;
  const std::string thp = "/sys/kernel/mm/transparent_hugepage/";
  c["transparent_hugepages"] = {
      {"enabled", probe::selected_choice(probe::read_first_line(thp + "enabled"))},
      {"defrag", probe::selected_choice(probe::read_first_line(thp + "defrag"))}};
  c["page_bytes"] = machine.page_bytes;
  c["memory_available_bytes"] = machine.memory_available;
#if defined(__clang__)
  c["compiler"] = std::string("Clang ") + __clang_version__;
#else
  c["compiler"] = std::string("GNU ") + __VERSION__;
#endif
  c["compile_options"] = KS_PROBE_COMPILE_OPTIONS;
  c["openmp"] = _OPENMP;
  const probe::VectorCode& code = probe::vector_code(options.vector_isa);
  c["vector_isa"] = code.isa;
  c["vector_bits"] = code.bits;
  c["widest_isa"] = isa_name(probe::widest_isa());
  c["scalar_fma"] = probe::has_scalar_fma();
  probe::json environment = probe::json::object();
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    if (entry.rfind("OMP_", 0) == 0 || entry.rfind("GOMP_", 0) == 0) {
      const std::size_t eq = entry.find('=');
      environment[entry.substr(0, eq)] = eq == std::string::npos ? "" : entry.substr(eq + 1);
    }
  }
  c["environment"] = environment;
  c["threads"] = options.threads;
  c["quick"] = options.quick;
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) == 3) {
    c["load_average"] = {load[0], load[1], load[2]};
  }
  return c;
}

}  // namespace

int main(int argc, char* argv[]) {
  probe::start_time();
  // A closed pipe is reported like any other failed write.
  std::signal(SIGPIPE, SIG_IGN);
  const probe::Machine machine = probe::this_machine();
  const probe::Options options = parse_options(argc, argv, machine);
  // Teams are exactly the sizes asked for.
  omp_set_dynamic(0);

  probe::json out;
  out["format"] = "ks-probe 1";
  out["context"] = context(options, machine);
  out["memory_bandwidth"] = probe::memory_bandwidth(options, machine);
  out["cache_bandwidth"] = probe::cache_bandwidth(options, machine);
  out["first_touch"] = probe::first_touch(options, machine);
  out["compute"] = probe::compute(options);
  out["openmp_overheads"] = probe::openmp_costs(options);
  out["clock"] = probe::clocks(options);
  out["core_clock"] = probe::core_clock(options);
  out["latencies"] = probe::latencies(options);
  const double seconds = probe::now() - probe::start_time();
  out["context"]["seconds"] = seconds;
  probe::progress("done");

  const std::string text = out.dump(2) + "\n";
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    const int error = errno;
    std::fprintf(stderr, "ks-probe: cannot write standard output: %s\n",
                 error != 0 ? std::strerror(error) : "write error");
    return 1;
  }
  return 0;
}
