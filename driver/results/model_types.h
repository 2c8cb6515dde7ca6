// The model's figures for one configuration (model.h computes them); a summary row carries
// them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "driver/catalogue/catalogue.h"

namespace ks::driver {

// What one run's timed interval does, at the configuration's effective size.
struct Work {
  double read_bytes = 0;
  double written_bytes = 0;
  double fetched_bytes = 0;  // lines fetched before the stores that overwrite them
  double ops = 0;
  double working_set = 0;
  double fresh_pages = 0;
  int team = 1;  // threads that run the kernel
  int regions = 0;
  int barriers = 0;
  double chunks = 0;     // chunks handed out by a worksharing loop
  std::string schedule;  // their schedule kind: "static", "dynamic", "guided"
  long long chunk = 0;   // their chunk size (0: static's block partition)

  double traffic() const { return read_bytes + written_bytes + fetched_bytes; }
};

// One priced part of the work.
struct Term {
  std::string name;  // "memory", "compute", "first touch", "OpenMP"
  double seconds = 0;
  std::string what;  // the work and its price: "268 MB at 13.2 GB/s (memory, T=1)"
};

// One compiled loop of the kernel as the model priced it (loopmodel/ found and priced it).
struct LoopUse {
  std::string where;  // "main 0x1441..0x1453"
  std::size_t instructions = 0;
  double per_iteration = 1;      // the nest's iterations one compiled iteration does
  double throughput_cycles = 0;  // per compiled iteration: issue and units (llvm-mca)
  double chain_cycles = 0;       // per compiled iteration: the loop-carried critical path
  std::string bound;             // "latency", "throughput"
  std::string chain_via;         // what carries the chain: "v1", "memory -0x8(rbp)"
  double iterations = 0;         // compiled iterations per thread in the interval
};

// One stream of the loop nest: the level that serves it and what it brings.
struct StreamUse {
  std::string array;
  std::string level;  // "L1", "L2", "L3", "memory"
  double bytes = 0;   // per thread in the interval, from that level (L1: to the core)
};

// The Execution-Cache-Memory figures of a configuration, per iteration of its nest's
// innermost loop, one thread of the team.
struct EcmFigures {
  std::string cpu;  // what llvm-mca modelled
  bool cpu_fell_back = false;
  std::vector<LoopUse> loops;
  double chain_cycles = 0;          // the loop-carried chain
  double throughput_cycles = 0;     // issue and units; the larger of the two is in-core
  std::vector<std::string> links;   // the level each link brings data from: "L2", "L3", "memory"
  std::vector<double> link_bytes;   // per iteration
  std::vector<double> link_rates;   // bytes per second of one thread's share
  std::vector<double> link_cycles;  // per iteration: what each link adds to the one before
  std::vector<StreamUse> streams;
  std::string data_level;  // the farthest level data comes from ("L1": none beyond)
  double ecm_cycles = 0;   // max(in-core, the transfers added up)
  double max_cycles = 0;   // max(in-core, each transfer): the bound beside it
  double iterations = 0;   // per thread in the interval, every pass
  double hertz = 0;        // the team's core clock
};

struct Prediction {
  Work work;
  Bound bound = Bound::kMemory;
  std::string ceiling;       // the relevant ceiling, for people: "memory bandwidth, T=1"
  double ceiling_rate = 0;   // bytes of traffic or operations per second
  std::string ceiling_unit;  // "B/s", "flop/s", "int op/s"
  std::string level;         // the level that holds the working set: "memory", "L2", ...
  Term memory, compute, fresh, openmp;
  // The compiled loop's figures, when the model had them: then `compute` is the in-core term
  // and `memory` the transfers beyond the first cache, combined by ECM into `steady`.
  std::optional<EcmFigures> ecm;
  double steady_seconds = 0;  // what memory and compute take together
  double predicted_seconds = 0;
  // From the measured median:
  double measured_seconds = 0;
  double achieved_rate = 0;  // in the ceiling's unit
  double percent_of_ceiling = 0;
  double ratio = 0;        // measured / predicted
  bool explained = false;  // ratio within [0.5, 2]
  std::string dominant;    // the largest term's name
  std::string line;        // one line for people
};

}  // namespace ks::driver
