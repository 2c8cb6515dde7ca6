// The model's in-core and data terms from a benchmark's compiled loop (loopmodel/ finds and
// prices it in the binary) and from its loop nest in the catalogue, priced with the probe's
// clock, latencies, cache sizes and bandwidths.
//
// In-core: each kernel loop's cycles per compiled iteration, by throughput (llvm-mca: issue,
// ports) and by its loop-carried critical path (the probe's latencies of a dependent fp64 add
// and multiply, int32 add and store-to-load round trip in place of the model's), over the
// nest's iterations that one compiled iteration does (unrolling and vector width: how far its
// loads move per iteration against the nest's step).
//
// Data: the layer conditions of the nest (loopmodel/layers.h) with each cache's share of one
// thread (a private level whole, a shared one over the team), the bytes per iteration each
// link brings priced at the probe's best bandwidth of the level they come from (its share for
// one thread of the team), in traffic (the probe's kernel moves 32 bytes per 24 it names).
//
// The combination is the ECM model's: the in-core time (the larger of throughput and chain)
// overlaps with the data transfers, the transfers between levels add up:
//   T = max(T_core, T_L2->L1 + T_L3->L2 + T_mem->L3)
// A link's cost is what its level's measured bandwidth adds to the level nearer the core
// (loopmodel/ecm.h, link_cycles): the probe measures each level with every transfer below it
// included, so that data all from one level costs what its measurement says rather than the
// sum of every level's full time. The max-based bound (each level's bytes at its measured rate,
// the largest part alone) is kept beside it. Measured with two idle tours of each build on this
// machine (2 vCPUs of an AMD EPYC that llvm-mca models as znver3, the same ceilings), of the
// 304 benchmark configurations 225 are within 30 % with the links priced this way, 216 with
// every level's full time added (the g++ vector additions into fresh pages fit that better,
// the vectorised updates from memory fit this), and 225 with the max-based bound.
#pragma once

#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "driver/analysis/ceilings.h"
#include "driver/results/model_types.h"
#include "driver/results/results.h"
#include "loopmodel/analysis.h"

namespace ks::driver {

// The analyses a result set's context holds under "loops" (one per program; a program whose
// analysis failed holds {"error": why} and is left out, its reason in `errors` when given).
std::map<std::string, ks::loopmodel::BinaryAnalysis> context_loops(
    const MachineContext& context, std::map<std::string, std::string>* errors = nullptr);

// The probe's latencies as the critical path takes them (cycles; the store-to-load
// forwarding is the round trip less an int32 add).
ks::loopmodel::Latencies probe_latencies(const Ceilings& ceilings);

// How many of the nest's iterations one compiled iteration of `loop` does: the shortest
// distance a load moves per iteration over `step_bytes`; when that is 1 (or no load moves),
// its vector_lanes (an outer loop vectorised: each lane another iteration of it); at least 1.
double iterations_per_compiled(const ks::loopmodel::Loop& loop, double step_bytes,
                               double element_bytes);

// The lanes of `element_bytes` in the widest packed add, subtract or multiply of a loop that
// broadcasts a scalar into a vector (xmm 16 bytes, ymm 32, zmm 64): an outer loop vectorised
// across its iterations; 1 when it broadcasts nothing or has no packed arithmetic.
double vector_lanes(const ks::loopmodel::Loop& loop, double element_bytes);

// The ECM figures of a configuration of `team` threads from its program's analysis; nothing
// when the program has no nest, the analysis no priced kernel loop, or the ceilings lack the
// clock, a cache size or a level's bandwidth.
std::optional<EcmFigures> ecm_figures(const Config& c, const Ceilings& ceilings,
                                      const ks::loopmodel::BinaryAnalysis& analysis, int team);

}  // namespace ks::driver
