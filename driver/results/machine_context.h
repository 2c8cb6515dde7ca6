// The machine context a result set was measured in, typed: read once from the JSON that the
// store keeps (that JSON stays the stored format, and is written back byte for byte), so that
// no report reads it by string keys. A missing or malformed member reads as unknown.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace ks::driver {

struct ResultSet;

struct MachineContext {
  std::string date;            // ISO 8601 in UTC; empty when unknown
  std::string host;            // several nodes' names joined by ", " for a plan run on them
  std::string submitted_from;  // the host that submitted a plan run on a cluster
  std::string kernel;
  std::string source_revision;  // empty when unknown
  struct Cpu {
    std::string model;
    std::optional<int> usable_cpus;
    std::optional<int> logical_cpus;
    std::string scaling_governor;
    struct Cache {
      std::string level, type, size;  // as the context gives them ("1", "Data", "32K")
    };
    std::vector<Cache> caches;
  } cpu;
  std::optional<double> memory_bytes;
  struct Build {
    std::string compiler;
    std::string type;
    std::vector<std::string> missing;  // catalogued programs missing from the build
    std::string bin_dir;               // where the programs were run from
    struct Program {
      std::string name;
      std::string options;  // the compiler's flags
      bool openmp = false;
      std::string runtime_name, runtime_version;  // the OpenMP runtime, when known
    };
    std::vector<Program> programs;  // by name
  } build;
  struct OpenMp {
    bool known = false;  // the context names the OpenMP environment at all
    std::optional<std::string> proc_bind;
    std::optional<std::string> places;
    std::vector<std::pair<std::string, std::string>> passed_from_caller;  // name, value
  } openmp;
  struct Conditions {
    std::optional<double> load_average_1min;
    std::optional<int> usable_cpus;
    std::vector<std::string> warnings;
  } conditions;
  struct Counters {
    bool events = true;  // false: --no-events
    std::string notice;  // why some or all could not be counted
  } counters;
  std::optional<double> clock_resolution_seconds;
  // Where the model's ceilings came from ("probe", "cache", "file"); empty without a model.
  struct CeilingsSource {
    std::string source;
    std::string file;
    std::string probed_at;
  } ceilings;
  nlohmann::json probe;  // the probe's output the ceilings are read from; null without one
  nlohmann::json loops;  // the programs' compiled loops, as analysed; null without them
};

// Every member that is there and of its type; the rest unknown.
MachineContext read_machine_context(const nlohmann::json& stored);

// The result set's context, read at the first call and kept with the result set until its
// `context` changes.
const MachineContext& machine_of(const ResultSet& results);

// A context as read, with the stored JSON it was read from.
struct ReadContext {
  nlohmann::json from;
  MachineContext machine;
};

}  // namespace ks::driver
