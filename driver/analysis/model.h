// Why a configuration takes the time it takes: what its timed interval does (the catalogue's
// TimedWork: bytes, operations, fresh pages, OpenMP constructs), priced with the machine's
// ceilings (ceilings.h) into a predicted time, set against the measured median.
//
// The predicted time is a sum of terms:
//   steady   the larger of memory traffic / bandwidth of the level that holds the working set
//            at the team size, and operations / the team's scalar throughput
//   fresh    pages first touched inside the interval x the extra seconds of a fresh page
//   openmp   parallel regions x their fork and join, barriers x a barrier, chunks x a chunk
// Memory traffic counts what the caches move: the bytes read and written, and the lines a
// store fetches before writing them when the kernel did not read them first. The probe's
// bandwidth counts the named 24 bytes of its addition, which moves 32 (its destination's lines
// are fetched too), so its figures are scaled by 32/24 into traffic.
//
// A measured time between half and twice the predicted one is explained by the model's
// largest term; outside that band the explanation says plainly that the model does not
// explain it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "driver/analysis/ceilings.h"
#include "driver/results/model_types.h"
#include "driver/results/results.h"
#include "loopmodel/analysis.h"

namespace ks::driver {

// The probe's addition names 24 bytes per element and moves 32: its destination's lines are
// fetched before they are written. Its bandwidth times this is memory traffic.
inline constexpr double kTrafficPerNamedByte = 32.0 / 24.0;

// The team a configuration's kernel runs with: OMP_NUM_THREADS (or `default_team` when it is
// unset) for OpenMP programs, never more than the pieces of work there are; 1 otherwise.
int kernel_team(const Config& c, int default_team);

// Pages first touched inside the interval, by the catalogue's description of them.
double fresh_pages(const ProgramInfo& p, double n, double page_bytes);

// Chunks a loop of `iterations` hands out to `team` threads under an OMP_SCHEDULE value ("" is
// the GNU runtime's default, dynamic with chunk 1); sets `kind` and `chunk` to what it used.
double loop_chunks(const std::string& schedule, double iterations, int team, std::string& kind,
                   long long& chunk);

Work interval_work(const Config& c, double page_bytes, int default_team);

// The model of one configuration, or nothing when it has none (a demonstration, a program
// without a size) or the ceilings lack what it needs.
// With the program's compiled loop (loop_model.h), the steady part is its in-core cycles and
// its transfers per level combined as ECM, in place of bytes over a bandwidth and operations
// over a throughput.
std::optional<Prediction> predict(const Config& c, const Ceilings& ceilings,
                                  const ks::loopmodel::BinaryAnalysis* loops = nullptr);

// Sets the measured parts and the explanation.
void explain(Prediction& p, double measured_seconds);

// Every summary row with a measured median and a model gets its prediction.
// `loops`: the programs' analyses (context_loops), by name.
void apply_model(const std::vector<Config>& configs, std::vector<SummaryRow>& rows,
                 const Ceilings& ceilings,
                 const std::map<std::string, ks::loopmodel::BinaryAnalysis>& loops = {});

}  // namespace ks::driver
