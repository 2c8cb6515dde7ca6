// The catalogue: every program of the suite in one table, with what the driver needs to
// run it, check what it printed (benchmark_checks, demo_traces) and turn its time into rates.
// Nothing else in the driver knows a program by name.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/catalogue/run_types.h"
#include "loopmodel/layers.h"
#include "spawn/spawn.h"

namespace ks::driver {

enum class Kind { kBenchmark, kDemonstration };
const char* kind_name(Kind kind);  // "benchmark", "demonstration"

// What the program's arguments are, as far as a sweep is concerned.
enum class ArgKind {
  kNone,        // takes none
  kSize,        // one size, an unsigned 32-bit count argument
  kSignedSize,  // one size, a signed 32-bit count argument (must be at least 1)
  kCount,       // an iteration count n (signed)
  kChunk,       // a chunk size (signed, at least 1)
  kCountChunk,  // an iteration count n, then a chunk size
};

// A cost of a timed kernel, coefficient · n^power for the effective size n, with an optional
// note. Its value and its text for people ("24N B", "2N^3 flop", "3.2e9 B (s read twice per
// step)") come from the same numbers, so they cannot disagree.
struct Cost {
  double coefficient = 0;
  int power = 0;
  std::string_view note = {};

  constexpr double operator()(double n) const {
    double value = coefficient;
    for (int i = 0; i < power; ++i) {
      value *= n;
    }
    return value;
  }
  std::string text(std::string_view unit) const;
};

// Where the timed interval is the first to touch its pages: each fresh page costs a fault
// (the kernel finds, zeroes and maps it) on top of the bytes stored into it.
enum class Fresh {
  kNone,
  kArray,       // one array of `fresh_bytes`, contiguous and untouched before: all its pages
  kStaticRows,  // N rows of 8N bytes, one static-matrix row stride apart, untouched before
  kHeapRows,    // N heap rows of 8N bytes, each between rows the fill wrote: the pages inside
};

// The ceiling that bounds a kernel: memory (or cache) bandwidth, or arithmetic throughput.
enum class Bound { kMemory, kCompute };

// What a benchmark's timed interval does, as its source is written: the model (model.h)
// prices each part with the machine's ceilings. `read` and `written` add up to the
// catalogue's `bytes`.
struct TimedWork {
  Cost read = {};                    // bytes loaded
  Cost written = {};                 // bytes stored
  bool stores_unread = false;        // stored lines were not read first: the cache fetches them
  Cost working_set = {};             // bytes the kernel goes over (which cache level holds them)
  Fresh fresh = Fresh::kNone;        // pages first touched inside the interval
  Cost fresh_bytes = {};             // kArray: the array's size
  std::string_view fresh_what = {};  // the array or matrix: "v3", "A", "R"
  bool fresh_added = false;          // kArray: first written by an addition of two arrays
  int regions = 0;                   // OpenMP parallel regions forked and joined inside
  int barriers = 0;                  // barriers inside a region (a single's, a loop's end)
  bool runtime_loop = false;         // a worksharing loop over N rows with the run-time schedule
  int parts = 0;                     // fixed pieces of work shared by the team (sections); 0: none
  Bound bound = Bound::kMemory;
  bool integer = false;  // the operations are 32-bit integer ones (else double precision)
};

// The loop nest of a benchmark's timed kernel as its source writes it, at a size n: its loops
// from the outermost in with their trips, and each array access as a stream (which elements
// it moves over per iteration of each loop): what the model's layer conditions and iteration
// counts read. One pass of it; a kernel of `passes` innermost loops, each over the whole nest
// with the same traffic (the record kernels' two sums), runs it that many times.
struct KernelNest {
  std::vector<ks::loopmodel::NestLoop> loops;
  std::vector<ks::loopmodel::Stream> streams;
  // Bytes the innermost loop's nearest stream moves per iteration of the nest as written:
  // set against how far the compiled loop's loads move per iteration, it tells how many of
  // the source's iterations one compiled iteration does (unrolled, vectorised).
  double step_bytes = 8;
  int passes = 1;
  bool shared = false;  // an OpenMP team shares out the outermost loop's iterations
};

// The fewest runs whose median has an interval at 95 %: the interval from the lowest to the
// highest of n runs covers the median with probability 1 - 2^(1-n), 93.75 % for 5 and 96.9 %
// for 6. A sweep's default --repeat, and the tour's least for a benchmark.
inline constexpr int kDefaultRepeat = 6;

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
  Cost bytes = {};                       // bytes moved by the timed kernel
  Cost ops = {};                         // arithmetic operations of the timed kernel
  std::string_view op_unit = {};         // what an operation is ("flop", "int op")
  TimedWork interval = {};               // what the timed interval does, for the model
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
  KernelNest (*nest)(double n) = nullptr;  // benchmarks with a loop nest
};

// The time step of a printed time: the first floating-point conversion of a printf format
// ("%f" or "Tiempo: %f" -> 1e-6, "%11.9f" -> 1e-9, "%.3f" -> 1e-3, "%.0f" -> 1). Empty when
// the format has no fixed-point conversion before any other floating one (%e, %g, %a, %.*f).
std::optional<double> printed_time_step(std::string_view format);

// The last digit of the time the program prints, in seconds: 1e-6 for "%f", 1e-9 for
// "%11.9f"; empty when it prints no time.
std::optional<double> printed_step(const ProgramInfo& p);

// The cost model for people: "24N B, N flop", or "none".
std::string cost_text(const ProgramInfo& p);

// What the timed interval does, for people: "reads 16N B (v1, v2), writes 8N B (v3), N flop;
// first touch of v3 (8N B)"; "" for a program without a cost model.
std::string interval_text(const ProgramInfo& p);

std::span<const ProgramInfo> catalogue();
const ProgramInfo* find_program(std::string_view name);

// "unknown program 'x' (kernelscope list shows the catalogue)", with the nearest name when one
// is within two edits of it.
std::string unknown_program(std::string_view name);

// The size the program actually runs for a requested one (after its cap).
std::uint64_t effective_size(const ProgramInfo& p, std::uint64_t requested);

// The arguments that make the program run `size` (when it takes one) with `chunk` (when it
// takes one).
std::vector<std::string> program_args(const ProgramInfo& p, std::optional<std::uint64_t> size,
                                      std::optional<long long> chunk);

}  // namespace ks::driver
