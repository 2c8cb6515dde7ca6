// The OpenMP environment of the runs. kernelscope sets OMP_NUM_THREADS and OMP_SCHEDULE per
// run, and OMP_PROC_BIND and OMP_PLACES from --bind and --places; the caller's own OpenMP
// variables are passed on, taken as the placement, or replaced, each with a notice, never
// dropped without a word.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ks::driver {

// Where an OpenMP team's threads run: OMP_PROC_BIND and OMP_PLACES, empty when not set.
struct Placement {
  std::string bind;
  std::string places;
  bool operator==(const Placement&) const = default;
};

// Throws UsageError unless `bind` is a binding policy, or a comma-separated list of them for
// nested teams: true, false, primary, master, close, spread. `origin` says where it came from
// ("--bind 'x'", "OMP_PROC_BIND=x in the environment"); empty: --bind.
void check_bind(const std::string& bind, const std::string& origin = "");
// Throws UsageError unless `places` is an abstract name (threads, cores, sockets, ll_caches,
// numa_domains, optionally with a count: "cores(4)") or an explicit list of places
// ("{0,1},{2,3}", "{0:4}:2:4", with "!" to exclude). `origin` as for check_bind.
void check_places(const std::string& places, const std::string& origin = "");

// The caller's variables that an OpenMP runtime reads: OMP_*, GOMP_*, KMP_*.
std::map<std::string, std::string> caller_openmp_variables();

struct OpenmpEnvironment {
  Placement placement;                            // what the OpenMP programs get
  std::map<std::string, std::string> passed;      // the caller's others, set on every run
  std::map<std::string, std::string> not_passed;  // the caller's, replaced per run
  std::vector<std::string> notices;               // one line per decision about the caller's
};

// The placement asked for on the command line, and the caller's OpenMP variables: the
// caller's OMP_PROC_BIND and OMP_PLACES are the placement where --bind and --places are not
// given (and replaced by them where they are); OMP_NUM_THREADS and OMP_SCHEDULE are set per
// run and the caller's are not passed on; every other is passed on to every run. Throws
// UsageError when a caller's OMP_PROC_BIND or OMP_PLACES is not valid.
OpenmpEnvironment resolve_openmp_environment(const Placement& asked,
                                             const std::map<std::string, std::string>& caller);

// The environment as the machine context records it ("openmp").
nlohmann::json openmp_context(const OpenmpEnvironment& env);

}  // namespace ks::driver
