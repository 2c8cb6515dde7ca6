// The model's figures for one configuration (model.h computes them); a summary row carries
// them.
#pragma once

#include <string>

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

struct Prediction {
  Work work;
  Bound bound = Bound::kMemory;
  std::string ceiling;       // the relevant ceiling, for people: "memory bandwidth, T=1"
  double ceiling_rate = 0;   // bytes of traffic or operations per second
  std::string ceiling_unit;  // "B/s", "flop/s", "int op/s"
  std::string level;         // the level that holds the working set: "memory", "L2", ...
  Term memory, compute, fresh, openmp;
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
