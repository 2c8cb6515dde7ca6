// The in-core figures of a built benchmark: its timed kernel found in the binary
// (timed_loop.h), every innermost loop of it priced by llvm-mca for this CPU (mca.h), kept in
// a per-user cache by the binary's build id so that a sweep pays for it once (cache.h), and
// the cycles per iteration of a loop by throughput, by llvm-mca's simulation and by its
// loop-carried critical path (dependencies.h), with the probe's measured latencies when the
// caller has them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "loopmodel/dependencies.h"
#include "loopmodel/mca.h"
#include "loopmodel/timed_loop.h"

namespace ks::loopmodel {

struct AnalysisOptions {
  std::string objdump;    // "" : objdump on PATH
  std::string llvm_mca;   // "" : llvm-mca-14, else llvm-mca, on PATH
  std::string cpu;        // "" : this host's (see mca.h)
  std::string cache_dir;  // "" : no cache
};

struct PricedLoop {
  std::size_t loop = 0;  // an index into TimedKernel::loops
  // llvm-mca's figures, one per instruction of the loop's body (an instruction llvm-mca
  // refused has latency 0 and is named in `dropped`).
  std::vector<McaInstruction> figures;
  std::vector<std::size_t> dropped;  // body indexes
  double block_reciprocal_throughput = 0;
  double simulated_cycles = 0;
};

struct BinaryAnalysis {
  std::string binary;
  std::string key;  // "build-id <hex>", or "file <size> <hash>" for a binary without one
  std::string cpu;  // the CPU llvm-mca modelled
  bool cpu_fell_back = false;
  std::string llvm_mca_version;
  TimedKernel kernel;
  std::vector<PricedLoop> priced;  // every innermost loop of the timed code
  Latencies model;                 // the model's latencies of loads
  bool from_cache = false;

  const PricedLoop* priced_loop(std::size_t loop) const;
};

// Analyses a binary, or takes its analysis from the cache. Throws LoopError when objdump or
// llvm-mca is missing or fails, or the binary has no timed loop.
BinaryAnalysis analyse_binary(const std::string& binary, const AnalysisOptions& options = {});

// The cache's form of an analysis, and back (LoopError when it is not one).
nlohmann::json to_json(const BinaryAnalysis& a);
BinaryAnalysis analysis_from_json(const nlohmann::json& j);

// One memory access of a loop: where, and how far its address moves per iteration.
struct Access {
  std::size_t instruction = 0;  // body index
  std::string operand;          // as printed
  bool load = false;
  bool store = false;
  std::optional<std::int64_t> advance;  // bytes per iteration, when an induction moves it
  bool fixed = false;                   // the same address every iteration
};

// The accesses of a loop body. An induction register is one the body changes once, by a
// constant (add, sub, inc, dec, lea of itself); an address moves by the base's step plus the
// index's step times the scale.
std::vector<Access> accesses(const Loop& loop);

struct InCore {
  double throughput_cycles = 0;  // llvm-mca's block reciprocal throughput
  double simulated_cycles = 0;   // llvm-mca's simulation (no memory dependencies)
  double latency_cycles = 0;     // the loop-carried critical path
  double cycles = 0;             // the largest of the three: the loop's cycles per iteration
  // "latency" when the critical path is at least the throughput bound, else "throughput" (the
  // simulation may add to either what neither counts: dispatch width, conflicts over ports).
  std::string bound;
  CriticalPath path;
  std::size_t instructions = 0;  // executed per iteration
};

// The in-core figures of a priced loop; `measured` holds the probe's latencies (the load
// latencies come from the analysis's model whatever it holds).
InCore in_core(const BinaryAnalysis& a, const PricedLoop& p, const Latencies& measured = {});

// The probe's latencies in cycles from its output ("latencies" section): fp64 add and
// multiply, int32 add, and the store-to-load forwarding (the round trip less an add).
Latencies measured_latencies(const nlohmann::json& probe);

}  // namespace ks::loopmodel
