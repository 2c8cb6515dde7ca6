#include "driver/catalogue/catalogue.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include <fmt/format.h>

#include "driver/base/text.h"
#include "driver/catalogue/benchmark_checks.h"
#include "driver/catalogue/demo_traces.h"

namespace ks::driver {
namespace {

// ---------------------------------------------------------------------------------------
// Memory a run touches, n the size the program runs after its cap.

double vector_footprint(double n) {
  return 24 * n;  // three vectors of n doubles
}
double matrix_rows_footprint(double n) {
  return 24 * n * (n + 1);  // three tables of n rows of n doubles, and their row pointers
}
double matrix_static_footprint(double n) {
  return 24 * n * kMatrixCap;  // n rows of stride kMatrixCap in each of three matrices
}
double update_footprint(double n) {
  return 8 * n;  // two stack vectors of n 32-bit integers
}
double nothing(double) {
  return 0;
}

// The record kernels do a fixed amount of work: 40000 steps over 5000 records of two 32-bit
// integers, six integer operations per record and step.
constexpr double kRecords = 5000;
constexpr double kSteps = 40000;
constexpr double kRecordSteps = kSteps * kRecords;

// ---------------------------------------------------------------------------------------
// The kernels' loop nests at the size n they run (after the cap). A stream's steps are in
// elements per iteration of each loop, outermost first; a static matrix's rows are
// kMatrixCap elements apart, a heap row's N (its allocator's header left out).

// v3[i] = v1[i] + v2[i]: v3 stored without being read.
KernelNest vector_nest(double n) {
  return {.loops = {{"i", n}},
          .streams = {{"v1", 8, {1}}, {"v2", 8, {1}}, {"v3", 8, {1}, -1, 1, false, true}}};
}
KernelNest vector_shared_nest(double n) {
  KernelNest k = vector_nest(n);
  k.shared = true;
  return k;
}

// i-j-k: A[i][j] = sum over k of B[i][k] * C[k][j], rows `row` elements apart; the sum is
// stored once per j. Heap rows add the load of C's row pointer for each k.
KernelNest ijk_nest(double n, double row, bool heap) {
  KernelNest k = {
      .loops = {{"i", n}, {"j", n}, {"k", n}},
      .streams = {
          {"B", 8, {row, 0, 1}}, {"C", 8, {0, 1, row}}, {"A", 8, {row, 1}, 1, 1, false, true}}};
  if (heap) {
    k.streams.push_back({"C's row pointers", 8, {0, 0, 1}});
  }
  return k;
}
KernelNest heap_product_nest(double n) {
  return ijk_nest(n, n, true);
}
KernelNest team_product_nest(double n) {
  KernelNest k = ijk_nest(n, n, true);
  k.shared = true;
  return k;
}
KernelNest static_product_nest(double n) {
  return ijk_nest(n, kMatrixCap, false);
}

// The k loop by fours: B[i][k..k+3] one stream of four elements, C[k..k+3][j] four rows
// (the N mod 4 remaining terms left out: they are at most three of N).
KernelNest unrolled_product_nest(double n) {
  const double row = kMatrixCap;
  KernelNest k = {.loops = {{"i", n}, {"j", n}, {"k", std::floor(n / 4)}},
                  .streams = {{"B", 8, {row, 0, 4}, -1, 4}, {"A", 8, {row, 1}, 1, 1, false, true}},
                  .step_bytes = 32};
  for (const char* c : {"C[k]", "C[k+1]", "C[k+2]", "C[k+3]"}) {
    k.streams.push_back({c, 8, {0, 1, 4 * row}});
  }
  return k;
}

// Column-wise: i walks the columns of A and C, j the rows of A and B, k the sum.
KernelNest column_product_nest(double n) {
  const double row = kMatrixCap;
  return {.loops = {{"i", n}, {"j", n}, {"k", n}},
          .streams = {
              {"B", 8, {0, row, 1}}, {"C", 8, {1, 0, row}}, {"A", 8, {1, row}, 1, 1, false, true}}};
}

// y[i] = 47 * x[i] + y[i] over 32-bit integers.
KernelNest update_nest(double n) {
  return {.loops = {{"i", n}},
          .streams = {{"x", 4, {1}}, {"y", 4, {1}, -1, 1, true, true}},
          .step_bytes = 4};
}

// The record kernels: 40000 steps over 5000 records of two int32 (8 bytes). Two loops, each
// reading one field of every record (and so every line), or one loop reading both.
KernelNest records_two_loops(double) {
  return {.loops = {{"k", kSteps}, {"i", kRecords}}, .streams = {{"s", 4, {0, 2}}}, .passes = 2};
}
KernelNest records_fused(double) {
  return {.loops = {{"k", kSteps}, {"i", kRecords}}, .streams = {{"s", 4, {0, 2}, -1, 2}}};
}
// Four records per iteration of each loop: one field of each, 28 bytes from the first to the
// last.
KernelNest records_unrolled(double) {
  return {.loops = {{"k", kSteps}, {"i", kRecords / 4}},
          .streams = {{"s", 4, {0, 8}, -1, 7}},
          .step_bytes = 32,
          .passes = 2};
}

constexpr ProgramInfo with_nest(ProgramInfo p, KernelNest (*nest)(double)) {
  p.nest = nest;
  return p;
}

constexpr std::string_view kVectorCheck =
    "v1[i] = N*0.1 + i*0.1, v2[i] = N*0.1 - i*0.1, v3[i] = 2N*0.1 up to printing; every "
    "printed element and N";
constexpr std::string_view kMatrixCheck =
    "B = C = rows 1..N; A[i][j] = (j+1)N(N+1)/2: corners for N > 9, every element below";
constexpr std::string_view kRecordsCheck =
    "R[0] = 24995000, R[39999] = -162502500 (S1 = 24995000+5000k, S2 = 37492500-5000k)";

enum class Storage { kStatic, kHeap };

// clang-format off
// The four vector additions: static vectors capped at their capacity, or heap vectors of
// exactly N; sequential or run by an OpenMP team. Read v1, v2 and write v3; one add each.
// The fill writes v1 and v2 only, so the addition is the first to touch v3 (static storage
// never written, or a fresh heap block). The parallel ones enter one region inside the
// interval; plus-quarters shares four sections among its team.
constexpr ProgramInfo vector_add(std::string_view name, Storage storage, bool openmp,
                                 int parts = 0) {
  const bool heap = storage == Storage::kHeap;
  return {.name = name, .family = "vector-add", .kind = Kind::kBenchmark,
          .openmp = openmp, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kSize,
          .arguments = heap ? "N (no cap; 24N bytes of heap)" : "N (capped at 33554432, unsigned)",
          .cap = heap ? 0 : kVectorCap, .max_size = 4294967295u,
          .time_line = heap ? "Tiempo:%11.9f\\t / Tamanio Vectores:%u"
                            : "Tiempo(seg.):%11.9f\\t / Tamaño Vectores:%u",
          .closed_form = kVectorCheck,
          .bytes = {24, 1}, .ops = {1, 1}, .op_unit = "flop",
          .interval = {.read = {16, 1, "v1, v2"}, .written = {8, 1, "v3"},
                       .stores_unread = true, .working_set = {24, 1},
                       .fresh = Fresh::kArray, .fresh_bytes = {8, 1}, .fresh_what = "v3",
                       .fresh_added = true,
                       .regions = openmp ? 1 : 0, .parts = parts},
          .footprint = vector_footprint, .baseline = "plus-static",
          .default_sizes = "1M",
          .tour_sizes = "64K,1M,8M", .tour_threads = openmp ? "1,2" : "", .tour_repeat = kDefaultRepeat,
          .check = heap ? check_vector_heap : check_vector_static};
}

// The sequential matrix products: heap row tables of exactly N, or static matrices capped at
// their order. B and C read, A written, once each; a multiply and an add per term. The fill
// writes B and C only: the product is the first to touch A, all of a static matrix's rows,
// and the pages inside each heap row (the ones at its ends hold the allocator's headers of
// A's row and the B row after it).
constexpr ProgramInfo matrix_product(std::string_view name, Storage storage) {
  const bool heap = storage == Storage::kHeap;
  return {.name = name, .family = "matrix-product", .kind = Kind::kBenchmark,
          .openmp = false, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kSize,
          .arguments = heap ? "N (no cap; 24N(N+1) bytes of heap)"
                            : "N (capped at 10000, unsigned)",
          .cap = heap ? 0 : kMatrixCap, .max_size = 4294967295u,
          .time_line = heap ? "Tiempo (seg): %f" : "Tiempo (seg): %11.9f",
          .closed_form = kMatrixCheck,
          .bytes = {24, 2}, .ops = {2, 3}, .op_unit = "flop",
          .interval = {.read = {16, 2, "B, C"}, .written = {8, 2, "A"},
                       .stores_unread = true, .working_set = {24, 2},
                       .fresh = heap ? Fresh::kHeapRows : Fresh::kStaticRows, .fresh_what = "A",
                       .bound = Bound::kCompute},
          .footprint = heap ? matrix_rows_footprint : matrix_static_footprint,
          .baseline = "mprod-heap",
          .default_sizes = "200",
          .tour_sizes = "100,200,400,600", .tour_repeat = kDefaultRepeat,
          .check = heap ? check_matrix_heap : check_matrix_static};
}
// clang-format on

// mprod-team: the heap product's storage and sums, run by an OpenMP team over rows with the
// run-time schedule. Its fill zeroes A, so nothing is fresh; both clock readings are taken in
// a single inside the region: the interval holds the single's barrier, the loop's chunks and
// the loop's closing barrier, no fork.
constexpr ProgramInfo matrix_team(std::string_view name) {
  ProgramInfo p = matrix_product(name, Storage::kHeap);
  p.interval.stores_unread = false;
  p.interval.fresh = Fresh::kNone;
  p.interval.fresh_what = {};
  p.interval.barriers = 2;
  p.interval.runtime_loop = true;
  p.openmp = true;
  p.reads_schedule = true;
  p.arguments = "N (no cap); OMP_SCHEDULE";
  p.time_line = "Nthreads: %d, then Tiempo (seg): %f";
  p.tour_threads = "1,2";
  p.tour_schedules = "static;dynamic,4;guided";
  p.check = check_matrix_team;
  return p;
}

// clang-format off
// The five scaled-update builds: one source, the same entry but for the name and the level.
// Read x, y and write y; a multiply and an add per element. The fill wrote both vectors.
constexpr ProgramInfo update_build(std::string_view name, std::string_view opt) {
  return {.name = name, .family = "vector-update", .kind = Kind::kBenchmark,
          .openmp = false, .reads_schedule = false, .opt = opt, .arg = ArgKind::kSignedSize,
          .arguments = "N (signed, at least 1; 8N bytes of stack)", .cap = 0,
          .max_size = 2147483647u, .time_line = "Tiempo(seg): %f",
          .closed_form = "y[0] = 0, y[N-1] = 48(N-1) wrapped to 32 bits",
          .bytes = {12, 1}, .ops = {2, 1}, .op_unit = "int op",
          .interval = {.read = {8, 1, "x, y"}, .written = {4, 1, "y"}, .working_set = {8, 1},
                       .integer = true},
          .footprint = update_footprint, .baseline = "yupd-o0",
          .default_sizes = "1000000", .tour_sizes = "2M,4M,8M", .tour_repeat = 7,
          .check = check_update};
}

// The three record kernels: the records are read once per step (fused) or twice (two loops).
// R (40000 int32, static) is first touched by the kernel; its 160 KB of stores are left out of
// the bytes, 0.005% of the reads.
constexpr ProgramInfo record_kernel(std::string_view name, int passes,
                                    std::string_view closed_form,
                                    Check (*check)(const RunSpec&, const ks::RunResult&)) {
  return {.name = name, .family = "struct-kernel", .kind = Kind::kBenchmark,
          .openmp = false, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kNone,
          .arguments = "none", .cap = 0, .max_size = 0,
          .time_line = "Tiempo (seg): %f",
          .closed_form = closed_form,
          .bytes = {kRecordSteps * 8 * passes, 0,
                    passes == 1 ? "s read once per step" : "s read twice per step"},
          .ops = {kRecordSteps * 6, 0}, .op_unit = "int op",
          .interval = {.read = {kRecordSteps * 8 * passes, 0, "s"},
                       .working_set = {kRecords * 8, 0}, .fresh = Fresh::kArray,
                       .fresh_bytes = {kSteps * 4, 0}, .fresh_what = "R",
                       .integer = true},
          .footprint = nothing, .baseline = "recmin-base",
          .tour_repeat = 7,
          .check = check};
}

// What a demonstration takes beyond its name: its arguments, caps and the sizes and chunks a
// sweep and the tour give it.
struct DemoArgs {
  ArgKind arg = ArgKind::kNone;
  std::string_view arguments = "none";
  std::uint64_t cap = 0;
  std::uint64_t max_size = 0;
  std::string_view sizes = {};        // by default and in the tour
  std::string_view chunks = {};       // by default
  std::string_view tour_chunks = {};
};

template <Trace (*Fn)(const RunSpec&, const ks::RunResult&)>
constexpr ProgramInfo demonstration(std::string_view name, std::string_view closed_form,
                                    const DemoArgs& a = {}) {
  return {.name = name, .family = "omp-demos", .kind = Kind::kDemonstration,
          .openmp = true, .reads_schedule = false, .opt = "O2", .arg = a.arg,
          .arguments = a.arguments, .cap = a.cap, .max_size = a.max_size,
          .closed_form = closed_form, .footprint = nothing,
          .default_sizes = a.sizes, .default_chunks = a.chunks,
          .tour_sizes = a.sizes, .tour_threads = "1,2,4", .tour_chunks = a.tour_chunks,
          .tour_repeat = 1,
          .check = check_demo<Fn>, .trace = Fn};
}

constexpr ProgramInfo kPrograms[] = {
    with_nest(vector_add("plus-static", Storage::kStatic, false), vector_nest),
    with_nest(vector_add("plus-heap", Storage::kHeap, false), vector_nest),
    with_nest(vector_add("plus-parloop", Storage::kStatic, true), vector_shared_nest),
    with_nest(vector_add("plus-quarters", Storage::kStatic, true, 4), vector_shared_nest),
    with_nest(matrix_product("mprod-heap", Storage::kHeap), heap_product_nest),
    with_nest(matrix_team("mprod-team"), team_product_nest),
    with_nest(matrix_product("mprod-static", Storage::kStatic), static_product_nest),
    with_nest(matrix_product("mprod-unroll4", Storage::kStatic), unrolled_product_nest),
    with_nest(matrix_product("mprod-colwise", Storage::kStatic), column_product_nest),
    with_nest(update_build("yupd-o0", "O0"), update_nest),
    with_nest(update_build("yupd-o1", "O1"), update_nest),
    with_nest(update_build("yupd-o2", "O2"), update_nest),
    with_nest(update_build("yupd-o3", "O3"), update_nest),
    with_nest(update_build("yupd-os", "Os"), update_nest),
    with_nest(record_kernel("recmin-base", 2, kRecordsCheck, check_records_filled),
              records_two_loops),
    with_nest(record_kernel("recmin-fused", 1, kRecordsCheck, check_records_filled),
              records_fused),
    with_nest(record_kernel("recmin-unroll4", 2,
                  "R[0] = 0, R[39999] = -199995000 (records left zero: S1 = 5000k, S2 = -5000k)",
                  check_records_zero), records_unrolled),
    demonstration<trace_greeting>("greet-team",
        "each thread once per region, first region before the second"),
    demonstration<trace_owner>("iter-owner", "static block partition of n iterations",
        {.arg = ArgKind::kCount, .arguments = "n (signed iteration count)",
         .max_size = 2147483647u, .sizes = "10"}),
    demonstration<trace_inplace>("inplace-add", "a[i] = 2i+1 for i = 0..6, any team"),
    demonstration<trace_private_sum>("own-copy",
        "static blocks of 7; private sums 7 + block; main's suma stays 0"),
    demonstration<trace_private_sum_outer>("own-copy-outer",
        "static blocks of 7; private sums 7 + block; main's suma stays 122"),
    demonstration<trace_shared_sum>("common-sum",
        "static blocks of 7; one shared total, the same for all, 0..21 (21 with one thread)"),
    demonstration<trace_carry_inout>("carry-inout",
        "static blocks of 7; running sums from 0; the last iteration's sum comes out"),
    demonstration<trace_chunk_static>("chunk-static",
        "cyclic chunks: chunk k to thread k mod T; running sums; last iteration's sum out",
        {.arg = ArgKind::kChunk, .arguments = "chunk (n = 16)", .chunks = "2",
         .tour_chunks = "3"}),
    demonstration<trace_chunk_dynamic>("chunk-dynamic",
        "every iteration once, whole chunks, each thread increasing; last iteration's sum out",
        {.arg = ArgKind::kCountChunk, .arguments = "n (capped at 200, signed), chunk",
         .cap = 200, .max_size = 2147483647u, .sizes = "20", .chunks = "2",
         .tour_chunks = "2"}),
    demonstration<trace_chunk_guided>("chunk-guided",
        "every iteration once, runs of at least chunk but the last; last iteration's sum out",
        {.arg = ArgKind::kCountChunk, .arguments = "n (capped at 20, signed), chunk",
         .cap = 20, .max_size = 2147483647u, .sizes = "20", .chunks = "2",
         .tour_chunks = "2"}),
};
// clang-format on

// What a benchmark's interval reads and writes adds up to what the catalogue says it moves.
constexpr bool bytes_add_up(const ProgramInfo& p) {
  const TimedWork& i = p.interval;
  const bool same_power = i.written.coefficient == 0 || i.written.power == i.read.power;
  return p.kind != Kind::kBenchmark ||
         (same_power && i.read.power == p.bytes.power &&
          i.read.coefficient + i.written.coefficient == p.bytes.coefficient);
}
static_assert([] {
  for (const ProgramInfo& p : kPrograms) {
    if (!bytes_add_up(p)) {
      return false;
    }
  }
  return true;
}());

// A coefficient as people write it: 24, 2, 3.2e9.
std::string coefficient_text(double c) {
  std::string s = fmt::format("{:g}", c);
  const auto e = s.find('e');
  if (e != std::string::npos) {
    std::string exponent = s.substr(e + 1);
    const bool negative = exponent[0] == '-';
    exponent.erase(0, exponent.find_first_not_of("+-0"));
    s = s.substr(0, e + 1) + (negative ? "-" : "") + exponent;
  }
  return s;
}

}  // namespace

std::string Cost::text(std::string_view unit) const {
  std::string s;
  if (power == 0) {
    s = coefficient_text(coefficient);
  } else {
    s = (coefficient == 1 ? "" : coefficient_text(coefficient)) + "N";
    if (power > 1) {
      s += fmt::format("^{}", power);
    }
  }
  s += fmt::format(" {}", unit);
  if (!note.empty()) {
    s += fmt::format(" ({})", note);
  }
  return s;
}

std::string cost_text(const ProgramInfo& p) {
  if (p.bytes.coefficient == 0 && p.ops.coefficient == 0) {
    return "none";
  }
  return p.bytes.text("B") + ", " + p.ops.text(p.op_unit);
}

std::string interval_text(const ProgramInfo& p) {
  const TimedWork& i = p.interval;
  if (p.kind != Kind::kBenchmark) {
    return "";
  }
  std::string s = "reads " + i.read.text("B");
  if (i.written.coefficient != 0) {
    s += ", writes " + i.written.text("B");
  }
  s += ", " + p.ops.text(p.op_unit);
  switch (i.fresh) {
    case Fresh::kNone:
      break;
    case Fresh::kArray:
      s += fmt::format("; first touch of {} ({})", i.fresh_what, i.fresh_bytes.text("B"));
      break;
    case Fresh::kStaticRows:
      s += fmt::format("; first touch of {} (N rows of 8N B, {} B apart)", i.fresh_what,
                       8 * kMatrixCap);
      break;
    case Fresh::kHeapRows:
      s += fmt::format("; first touch of the pages inside {}'s N heap rows of 8N B", i.fresh_what);
      break;
  }
  if (i.regions > 0) {
    s += fmt::format("; {} parallel region{}", i.regions, i.regions == 1 ? "" : "s");
    if (i.parts > 0) {
      s += fmt::format(" of {} sections", i.parts);
    }
  }
  if (i.barriers > 0) {
    s += fmt::format("; {} barrier{}", i.barriers, i.barriers == 1 ? "" : "s");
  }
  if (i.runtime_loop) {
    s += "; N rows shared out by the run-time schedule";
  }
  return s;
}

std::optional<double> printed_time_step(std::string_view format) {
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      continue;
    }
    ++i;
    if (i < format.size() && format[i] == '%') {
      continue;  // a literal percent sign
    }
    while (i < format.size() &&
           std::string_view("-+ #0").find(format[i]) != std::string_view::npos) {
      ++i;
    }
    bool star = false;
    while (i < format.size() &&
           (std::isdigit(static_cast<unsigned char>(format[i])) || format[i] == '*')) {
      star = star || format[i] == '*';
      ++i;
    }
    std::optional<int> precision;
    if (i < format.size() && format[i] == '.') {
      ++i;
      int digits = 0;
      while (i < format.size() &&
             (std::isdigit(static_cast<unsigned char>(format[i])) || format[i] == '*')) {
        star = star || format[i] == '*';
        digits = std::min(digits * 10 + (format[i] - '0'), 1000);
        ++i;
      }
      precision = digits;  // "%.f" is precision 0
    }
    while (i < format.size() &&
           std::string_view("hlLqjzt").find(format[i]) != std::string_view::npos) {
      ++i;
    }
    if (i >= format.size()) {
      return std::nullopt;
    }
    const char conversion = format[i];
    if (conversion == 'f' || conversion == 'F') {
      if (star) {
        return std::nullopt;  // the precision is an argument: unknown here
      }
      return std::pow(10.0, -precision.value_or(6));
    }
    if (std::string_view("eEgGaA").find(conversion) != std::string_view::npos) {
      return std::nullopt;  // relative precision: no fixed step
    }
  }
  return std::nullopt;
}

std::optional<double> printed_step(const ProgramInfo& p) {
  return printed_time_step(p.time_line);
}

const char* kind_name(Kind kind) {
  return kind == Kind::kBenchmark ? "benchmark" : "demonstration";
}

std::span<const ProgramInfo> catalogue() {
  return kPrograms;
}

const ProgramInfo* find_program(std::string_view name) {
  for (const ProgramInfo& p : kPrograms) {
    if (p.name == name) {
      return &p;
    }
  }
  return nullptr;
}

std::string unknown_program(std::string_view name) {
  std::vector<std::string> names;
  for (const ProgramInfo& p : kPrograms) {
    names.emplace_back(p.name);
  }
  return fmt::format("unknown program '{}'{} (kernelscope list shows the catalogue)", name,
                     did_you_mean(name, names));
}

std::uint64_t effective_size(const ProgramInfo& p, std::uint64_t requested) {
  return p.cap != 0 && requested > p.cap ? p.cap : requested;
}

std::vector<std::string> program_args(const ProgramInfo& p, std::optional<std::uint64_t> size,
                                      std::optional<long long> chunk) {
  std::vector<std::string> args;
  switch (p.arg) {
    case ArgKind::kNone:
      break;
    case ArgKind::kSize:
    case ArgKind::kSignedSize:
    case ArgKind::kCount:
      args.push_back(std::to_string(size.value_or(0)));
      break;
    case ArgKind::kChunk:
      args.push_back(std::to_string(chunk.value_or(1)));
      break;
    case ArgKind::kCountChunk:
      args.push_back(std::to_string(size.value_or(0)));
      args.push_back(std::to_string(chunk.value_or(1)));
      break;
  }
  return args;
}

}  // namespace ks::driver
