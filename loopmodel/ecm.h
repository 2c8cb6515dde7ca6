// The Execution-Cache-Memory combination of a loop's in-core time and its data transfers, in
// cycles per iteration (of the innermost loop), and the max-based bound beside it.
//
// The in-core time has a part that overlaps with data transfers (the arithmetic, the
// loop-carried chains: T_OL) and a part that does not (the cycles the loads and stores keep
// the first cache busy: T_nOL). A transfer between two levels takes the bytes per iteration
// that cross it over that link's bytes per cycle (the measured bandwidth of the level the
// data comes from, over the core clock).
//
// With the data in level k (0: the first cache), the ECM prediction is
//   T(k) = max(T_OL, T_nOL + transfers of the links from level k down to the first cache)
// the transfers adding up (none overlaps with another or with T_nOL). The max-based bound
// takes every part as fully overlapping:
//   B(k) = max(T_OL, T_nOL, each of those transfers)
// Both are computed, so that measurements decide which describes a machine.
#pragma once

#include <string>
#include <vector>

namespace ks::loopmodel {

struct EcmInput {
  double overlapping = 0;      // T_OL, cycles per iteration
  double non_overlapping = 0;  // T_nOL
  // Cycles per iteration of each link, from the first cache out: [0] between the second level
  // and the first, [1] between the third and the second, ..., the last from memory.
  std::vector<double> transfers;
};

struct EcmResult {
  // Per level the data may come from (0: the first cache, transfers.size(): memory).
  std::vector<double> additive;   // T(k)
  std::vector<double> max_bound;  // B(k)
  // The part that decides T(k) at each level: "in-core" (T_OL), "non-overlapping" (T_nOL
  // alone), "transfers" (T_nOL and the transfers together).
  std::vector<std::string> additive_dominant;
  // The part that decides B(k): "in-core", "non-overlapping", or the link: "L2", "L3", ...,
  // "memory" (named from `levels`).
  std::vector<std::string> max_dominant;
};

// Cycles per iteration of a transfer: bytes per iteration over bytes per second, times the
// clock in hertz. 0 for no bytes; infinite for a link of no bandwidth.
double transfer_cycles(double bytes_per_iteration, double bytes_per_second, double hertz);

// `levels` names the level each link brings data from ("L2", "L3", "memory"): levels[i] for
// transfers[i]; missing names are "level i+2".
EcmResult ecm(const EcmInput& in, const std::vector<std::string>& levels = {});

// The cycles per iteration that each link adds, from the bandwidths measured with the data in
// each level (rates[i] for the level link i brings data from). A level's measured bandwidth is
// that of data served from it with every transfer nearer the core included, so it is not the
// link's own: the first link costs its bytes at the second level's rate, and each link beyond
// adds its bytes at the difference of the two levels' times per byte (nothing when the outer
// level measured as fast as the inner one). Bytes that all come from one level then cost, over
// all the links, exactly what that level's measurement says. A link of no bandwidth costs
// infinitely many cycles when it carries bytes.
std::vector<double> link_cycles(const std::vector<double>& bytes_per_iteration,
                                const std::vector<double>& bytes_per_second, double hertz);

// Seconds of `iterations` at `cycles` per iteration and `hertz`.
double cycles_to_seconds(double cycles_per_iteration, double iterations, double hertz);

}  // namespace ks::loopmodel
