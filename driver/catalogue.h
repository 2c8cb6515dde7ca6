// The catalogue: every program of the suite in one table, with what the driver needs to
// run it, check what it printed and turn its time into rates. Nothing else in the driver
// knows a program by name.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "driver/run_types.h"
#include "spawn/spawn.h"

namespace ks::driver {

enum class Kind { kBenchmark, kDemonstration };

// What the program's arguments are, as far as a sweep is concerned.
enum class ArgKind {
  kNone,        // takes none
  kSize,        // one size, an unsigned 32-bit count argument
  kSignedSize,  // one size, a signed 32-bit count argument (must be at least 1)
  kCount,       // an iteration count n (signed)
  kChunk,       // a chunk size (signed, at least 1)
  kCountChunk,  // an iteration count n, then a chunk size
};

struct ProgramInfo {
  std::string_view name;
  std::string_view family;  // the folder of the source
  Kind kind;
  bool openmp;           // OMP_NUM_THREADS matters
  bool reads_schedule;   // OMP_SCHEDULE matters
  std::string_view opt;  // the optimisation level it is built at
  ArgKind arg;
  std::string_view arguments;            // its command line, for people
  std::uint64_t cap = 0;                 // the program caps its size or count here; 0: no cap
  std::uint64_t max_size = 0;            // the largest size the driver passes (beyond: wraps)
  std::string_view time_line = {};       // the format of its time line ("" when it prints none)
  std::string_view closed_form;          // how its printed values are checked, for people
  std::string_view cost;                 // the cost model, for people
  double (*bytes)(double n);             // bytes moved by the timed kernel, n the effective size
  double (*ops)(double n);               // arithmetic operations of the timed kernel
  std::string_view op_unit = {};         // what an operation is ("flop", "int op")
  double (*footprint)(double n);         // memory a run touches, to refuse what the machine lacks
  std::string_view baseline = {};        // the family's sequential baseline, for speedups
  std::string_view default_sizes = {};   // sweep without --sizes (sizes or iteration counts)
  std::string_view default_chunks = {};  // sweep without --chunks
  // The main job's share of this program.
  std::string_view tour_sizes = {};
  std::string_view tour_threads = {};
  std::string_view tour_schedules = {};
  std::string_view tour_chunks = {};
  int tour_repeat;
  // The output check. Demonstrations also produce a trace (who ran what) for maps.
  Check (*check)(const RunSpec& spec, const ks::RunResult& result);
  Trace (*trace)(const RunSpec& spec, const ks::RunResult& result) = nullptr;
};

std::span<const ProgramInfo> catalogue();
const ProgramInfo* find_program(std::string_view name);

// The size the program actually runs for a requested one (after its cap).
std::uint64_t effective_size(const ProgramInfo& p, std::uint64_t requested);

// The arguments that make the program run `size` (when it takes one) with `chunk` (when it
// takes one).
std::vector<std::string> program_args(const ProgramInfo& p, std::optional<std::uint64_t> size,
                                      std::optional<long long> chunk);

// Checks of a finished run that hold for every program: it started, was not killed, did not
// time out and exited with status 0. Returns the reason when it did not.
std::optional<std::string> process_failure(const ks::RunResult& result);

// Verdict of a demonstration trace as a Check.
Check check_from_trace(const Trace& trace);

// The reports the benchmarks print, from their closed forms (exposed for the tests).
std::string vector_add_report(std::uint32_t n, bool heap_wording);
std::string matrix_report(std::uint32_t n, const char* time_format);

}  // namespace ks::driver
