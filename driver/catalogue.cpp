#include "driver/catalogue.h"

#include <algorithm>
#include <cstring>
#include <map>

#include <fmt/format.h>

#include "common/count_arg.h"
#include "driver/rules.h"
#include "textmatch/output_match.h"

namespace ks::driver {

using ks::Item;
using ks::match_template;
using ks::MatchResult;
using ks::scan_items;
using ks::ScanResult;
using ks::strprintf;
using ks::visible;
namespace {

constexpr std::uint32_t kVectorMax = 33554432;
constexpr std::uint32_t kMatrixMax = 10000;

// ---------------------------------------------------------------------------------------
// Shared pieces of the checks

std::uint32_t unsigned_arg(const RunSpec& spec, std::size_t i) {
  return i < spec.args.size() ? ks::count_arg(spec.args[i].c_str()).u : 0;
}

std::int32_t signed_arg(const RunSpec& spec, std::size_t i) {
  return i < spec.args.size() ? ks::count_arg(spec.args[i].c_str()).s : 0;
}

// A benchmark's run: it ended well, wrote nothing to standard error, and its report is the
// expected one up to the time field.
Check check_report(const ks::RunResult& r, const std::string& templ) {
  if (auto failure = process_failure(r)) {
    return {false, *failure, std::nullopt};
  }
  if (!r.err.empty()) {
    return {false, "unexpected standard error: " + visible(r.err), std::nullopt};
  }
  const MatchResult m = match_template(r.out, templ);
  if (!m.ok) {
    return {false, m.why, std::nullopt};
  }
  return {true, "", m.first_double};
}

// A benchmark given no argument must print its usage message and end with status 255.
Check check_usage(const ks::RunResult& r, std::string_view out, std::string_view err) {
  if (!r.started || r.timed_out || !r.exited || r.exit_status != 255) {
    return {false, "a missing argument must end with status 255, got " + r.describe(),
            std::nullopt};
  }
  if (r.out != out || r.err != err) {
    return {false,
            fmt::format("usage message: expected \"{}\" / \"{}\", got \"{}\" / \"{}\"",
                        visible(out), visible(err), visible(r.out), visible(r.err)),
            std::nullopt};
  }
  return {true, "", std::nullopt};
}

std::string element(double v1, double v2, double v3) {
  return strprintf("(%8.6f+%8.6f=%8.6f)", v1, v2, v3);
}

// ---------------------------------------------------------------------------------------
// Vector addition: v1[i] = N·0.1 + i·0.1, v2[i] = N·0.1 - i·0.1, so v3[i] = 2·N·0.1 up to
// rounding; each product rounded on its own.

Check check_vector_static(const RunSpec& spec, const ks::RunResult& r) {
  if (spec.args.empty()) {
    return check_usage(r, "Faltan nº componentes del vector\n", "");
  }
  return check_report(r, vector_add_report(std::min(unsigned_arg(spec, 0), kVectorMax), false));
}

Check check_vector_heap(const RunSpec& spec, const ks::RunResult& r) {
  if (spec.args.empty()) {
    return check_usage(r, "Faltan numero componentes del vector\n", "");
  }
  return check_report(r, vector_add_report(unsigned_arg(spec, 0), true));
}

// ---------------------------------------------------------------------------------------
// Matrix product: B[i][j] = C[i][j] = j + 1, so A[i][j] = (j + 1)·N(N + 1)/2, exact.

Check check_matrix(const RunSpec& spec, const ks::RunResult& r, std::uint32_t n,
                   const char* time_format, bool thread_line) {
  if (spec.args.empty()) {
    return check_usage(r, "[ERROR]-Debe insertar tamaño matriz\n", "");
  }
  std::string templ = matrix_report(n, time_format);
  if (thread_line) {
    templ = (spec.threads > 0 ? fmt::format("Nthreads: {}\n", spec.threads)
                              : std::string("Nthreads: {%d}\n")) +
            templ;
  }
  return check_report(r, templ);
}

Check check_matrix_heap(const RunSpec& spec, const ks::RunResult& r) {
  return check_matrix(spec, r, unsigned_arg(spec, 0), "Tiempo (seg): {%f}\n", false);
}

Check check_matrix_team(const RunSpec& spec, const ks::RunResult& r) {
  return check_matrix(spec, r, unsigned_arg(spec, 0), "Tiempo (seg): {%f}\n", true);
}

Check check_matrix_static(const RunSpec& spec, const ks::RunResult& r) {
  return check_matrix(spec, r, std::min(unsigned_arg(spec, 0), kMatrixMax),
                      "Tiempo (seg): {%11.9f}\n", false);
}

// ---------------------------------------------------------------------------------------
// Scaled update: x[i] = y[i] = i, y = 47x + y, so y[N-1] = 48(N-1), wrapping in 32 bits.

Check check_update(const RunSpec& spec, const ks::RunResult& r) {
  if (spec.args.empty()) {
    return check_usage(r, "", "Falta num\n");
  }
  const std::int32_t n = signed_arg(spec, 0);
  if (n < 1) {
    return {false, fmt::format("size {} is below 1: there is no y[N-1] to check", n), std::nullopt};
  }
  const auto last = static_cast<std::int32_t>(48u * static_cast<std::uint32_t>(n - 1));
  return check_report(r, fmt::format("Tiempo(seg): {{%f}}\ny[0]=0, y[N-1]={} \n", last));
}

// ---------------------------------------------------------------------------------------
// Record-array minimum: S1 = 24995000 + 5000k, S2 = 37492500 - 5000k with the records filled
// (a = b = i), S1 = 5000k, S2 = -5000k without; R[k] = min(S1, S2).

std::string record_report(long long r0, long long r39999) {
  return fmt::format(
      "Tiempo (seg): {{%f}}\n\n__________\nResultados:\n\nVector R: \nR[0]={} R[39999]={}\n", r0,
      r39999);
}

Check check_records_filled(const RunSpec&, const ks::RunResult& r) {
  const long long k = 39999;
  return check_report(r,
                      record_report(24995000, std::min(24995000 + 5000 * k, 37492500 - 5000 * k)));
}

Check check_records_zero(const RunSpec&, const ks::RunResult& r) {
  return check_report(r, record_report(0, -5000LL * 39999));
}

// ---------------------------------------------------------------------------------------
// Demonstrations: parse the items, then hold them against the work-sharing rule.

// Starts a trace: the team from the run's OMP_NUM_THREADS (or from the threads seen).
Trace begin_trace(const RunSpec& spec, std::string rule) {
  Trace t;
  t.team = spec.threads;
  t.rule = std::move(rule);
  return t;
}

void infer_team(Trace& t) {
  if (t.team > 0) {
    return;
  }
  int most = 0;
  for (const Cell& c : t.cells) {
    most = std::max(most, c.thread + 1);
  }
  for (const auto& [thread, value] : t.thread_values) {
    most = std::max(most, thread + 1);
  }
  t.team = std::max(most, 1);
}

// The run must have ended well and written nothing to standard error; then its items.
std::optional<ScanResult> scan_run(Trace& t, const ks::RunResult& r,
                                   const std::vector<std::string>& patterns) {
  if (auto failure = process_failure(r)) {
    t.problems.push_back(*failure);
    return std::nullopt;
  }
  if (!r.err.empty()) {
    t.problems.push_back("unexpected standard error: " + visible(r.err));
  }
  ScanResult scan = scan_items(r.out, patterns);
  if (!scan.ok) {
    t.problems.push_back(scan.why);
    return std::nullopt;
  }
  return scan;
}

// A demonstration given too few arguments (or an argument it refuses) ends with status 255,
// its usage message on standard error and nothing on standard output.
Trace refusal_trace(const RunSpec& spec, const ks::RunResult& r, std::string_view message,
                    std::string rule) {
  Trace t = begin_trace(spec, std::move(rule));
  t.refused = true;
  t.refusal = std::string(message);
  if (!r.started || r.timed_out || !r.exited || r.exit_status != 255) {
    t.problems.push_back("a refused command line must end with status 255, got " + r.describe());
  }
  if (!r.out.empty()) {
    t.problems.push_back("standard output must stay empty: \"" + visible(r.out) + "\"");
  }
  if (r.err != message) {
    t.problems.push_back(fmt::format("usage message: expected \"{}\", got \"{}\"", visible(message),
                                     visible(r.err)));
  }
  if (t.team <= 0) {
    t.team = 1;
  }
  return t;
}

// The outside line must be the last item and come once.
void take_outside(Trace& t, const ScanResult& scan, int pattern, std::size_t value_index) {
  int seen = 0;
  for (std::size_t k = 0; k < scan.items.size(); ++k) {
    if (scan.items[k].pattern != pattern) {
      continue;
    }
    ++seen;
    t.outside = scan.items[k].values[value_index];
    if (k + 1 != scan.items.size()) {
      t.problems.push_back("the line printed after the region is not the last one");
    }
  }
  if (seen != 1) {
    t.problems.push_back(fmt::format("the line printed after the region appears {} times", seen));
  }
}

Trace trace_greeting(const RunSpec& spec, const ks::RunResult& r) {
  Trace t = begin_trace(spec,
                        "every thread greets once in each of two regions; the second region "
                        "starts after the first ends");
  t.column_labels = {"Hello", "world"};
  t.columns = 2;
  const auto scan = scan_run(t, r, {"(%d:!Hello!)", "(%d:!world!)"});
  if (!scan) {
    infer_team(t);
    return t;
  }
  for (std::size_t k = 0; k < scan->items.size(); ++k) {
    const Item& item = scan->items[k];
    t.cells.push_back(
        {static_cast<int>(item.values[0]), item.pattern, std::nullopt, static_cast<int>(k)});
  }
  infer_team(t);
  check_team(t);
  for (int region = 0; region < 2; ++region) {
    std::map<int, int> count;
    for (const Cell& c : t.cells) {
      if (c.column == region) {
        ++count[c.thread];
      }
    }
    for (int thread = 0; thread < t.team; ++thread) {
      if (count[thread] != 1) {
        t.problems.push_back(fmt::format("thread {} greets {} times in region {}", thread,
                                         count[thread], region + 1));
      }
    }
  }
  int last_first = -1;
  int first_second = -1;
  for (const Cell& c : t.cells) {
    if (c.column == 0) {
      last_first = c.order;
    } else if (first_second < 0) {
      first_second = c.order;
    }
  }
  if (first_second >= 0 && last_first > first_second) {
    t.problems.push_back("a greeting of the second region comes before one of the first");
  }
  return t;
}

Trace trace_owner(const RunSpec& spec, const ks::RunResult& r) {
  const std::string rule =
      "static block partition: contiguous blocks in thread order, the "
      "first n mod T threads one iteration more";
  if (spec.args.empty()) {
    return refusal_trace(spec, r, "\n[ERROR] - Falta no iteraciones \n", rule);
  }
  Trace t = begin_trace(spec, rule);
  const std::int32_t n = signed_arg(spec, 0);
  t.columns = std::max(n, 0);
  const auto scan = scan_run(t, r, {"thread %d ejecuta la iteración %d del bucle\n"});
  if (scan) {
    for (std::size_t k = 0; k < scan->items.size(); ++k) {
      const Item& item = scan->items[k];
      t.cells.push_back(
          {static_cast<int>(item.values[0]), item.values[1], std::nullopt, static_cast<int>(k)});
    }
  }
  infer_team(t);
  if (scan) {
    check_team(t);
    check_coverage(t, n);
    check_exact(t, static_block(n, t.team), "static block partition");
  }
  return t;
}

Trace trace_inplace(const RunSpec& spec, const ks::RunResult& r) {
  Trace t = begin_trace(spec, "each a[i] updated once in place by its owner: a[i] = 2i + 1");
  t.columns = 7;
  t.value_label = "a[i]";
  const auto scan = scan_run(t, r, {"Después de parallel for:\n", "a[%d] = %d\n"});
  if (scan) {
    std::string expected = "Después de parallel for:\n";
    for (int i = 0; i < 7; ++i) {
      expected += fmt::format("a[{}] = {}\n", i, 2 * i + 1);
    }
    if (r.out != expected) {
      t.problems.push_back(match_template(r.out, expected).why);
    }
    for (std::size_t k = 0; k < scan->items.size(); ++k) {
      const Item& item = scan->items[k];
      if (item.pattern == 1) {
        t.cells.push_back({-1, item.values[0], item.values[1], static_cast<int>(k)});
      }
    }
  }
  infer_team(t);
  return t;
}

// own-copy, own-copy-outer and common-sum: one loop over a[i] = i, i = 0..6, then a
// per-thread line after the loop's barrier, then main's line.
Trace trace_sums(const RunSpec& spec, const ks::RunResult& r, const char* outside_pattern,
                 bool shared, long long main_value) {
  Trace t = begin_trace(
      spec, shared ? "static block partition of 7 iterations; one suma shared by the team: "
                     "every thread and main report the same total, between 0 and 21 (21 "
                     "with one thread)"
                   : fmt::format("static block partition of 7 iterations; private sumas start "
                                 "at 7; main's suma stays {}",
                                 main_value));
  t.columns = 7;
  t.thread_value_label = "suma";
  t.outside_label = "suma fuera";
  const auto scan =
      scan_run(t, r, {"thread %d suma a[%d] / ", "\n* thread %d suma= %d", outside_pattern});
  if (!scan) {
    infer_team(t);
    return t;
  }
  int first_thread_item = -1;
  for (std::size_t k = 0; k < scan->items.size(); ++k) {
    const Item& item = scan->items[k];
    if (item.pattern == 0) {
      if (first_thread_item >= 0) {
        t.problems.push_back(
            fmt::format("iteration {} is reported after the loop's barrier", item.values[1]));
      }
      t.cells.push_back(
          {static_cast<int>(item.values[0]), item.values[1], std::nullopt, static_cast<int>(k)});
    } else if (item.pattern == 1) {
      if (first_thread_item < 0) {
        first_thread_item = static_cast<int>(k);
      }
      t.thread_values.emplace_back(static_cast<int>(item.values[0]), item.values[1]);
    }
  }
  take_outside(t, *scan, 2, 0);
  infer_team(t);
  check_team(t);
  check_coverage(t, 7);
  const Assignment blocks = static_block(7, t.team);
  check_exact(t, blocks, "static block partition");
  std::map<int, int> lines;
  for (const auto& [thread, value] : t.thread_values) {
    ++lines[thread];
    if (thread < 0 || thread >= t.team) {
      continue;
    }
    if (!shared) {
      long long expected = 7;
      for (long long i : blocks[static_cast<std::size_t>(thread)]) {
        expected += i;
      }
      if (value != expected) {
        t.problems.push_back(fmt::format("thread {} reports suma= {}; its private sum is {}",
                                         thread, value, expected));
      }
    } else if (t.outside && value != *t.outside) {
      t.problems.push_back(fmt::format(
          "thread {} reports suma= {}, main reports {}: one shared suma must read the same", thread,
          value, *t.outside));
    }
  }
  for (int thread = 0; thread < t.team; ++thread) {
    if (lines[thread] != 1) {
      t.problems.push_back(
          fmt::format("thread {} prints its sum {} times after the loop", thread, lines[thread]));
    }
  }
  if (t.outside) {
    if (!shared && *t.outside != main_value) {
      t.problems.push_back(fmt::format("main's suma reads {} after the region; it must stay {}",
                                       *t.outside, main_value));
    }
    if (shared && (*t.outside < 0 || *t.outside > 21)) {
      t.problems.push_back(
          fmt::format("the shared total {} is not a sum of elements 0..6", *t.outside));
    }
    if (shared && t.team == 1 && *t.outside != 21) {
      t.problems.push_back(fmt::format("one thread must total 21, not {}", *t.outside));
    }
  }
  return t;
}

Trace trace_private_sum(const RunSpec& spec, const ks::RunResult& r) {
  return trace_sums(spec, r, "Valor de suma fuera de parallel = %d\n", false, 0);
}
Trace trace_private_sum_outer(const RunSpec& spec, const ks::RunResult& r) {
  return trace_sums(spec, r, "\nValor de suma fuera de parallel = %d\n", false, 122);
}
Trace trace_shared_sum(const RunSpec& spec, const ks::RunResult& r) {
  return trace_sums(spec, r, "\nValor de suma fuera de parallel = %d\n", true, 0);
}

// The first/last-private loops: a[i] = i summed into a copy of main's suma (0); the copy of
// the thread that ran iteration n-1 comes back to main.
enum class Schedule { kBlock, kCyclic, kDynamic, kGuided };

Trace trace_carry(const RunSpec& spec, const ks::RunResult& r, Schedule schedule, long long n,
                  long long chunk, bool prints_element, const char* outside_pattern) {
  std::string rule;
  switch (schedule) {
    case Schedule::kBlock:
      rule = fmt::format("static block partition of {} iterations", n);
      break;
    case Schedule::kCyclic:
      rule = fmt::format("static chunks of {}: chunk k to thread k mod T", chunk);
      break;
    case Schedule::kDynamic:
      rule = fmt::format(
          "dynamic chunks of {}: every iteration once, each chunk whole on one thread, each "
          "thread in increasing order",
          chunk);
      break;
    case Schedule::kGuided:
      rule = fmt::format(
          "guided, minimum chunk {}: every iteration once, runs of at least {} but the last, "
          "each thread in increasing order",
          chunk, chunk);
      break;
  }
  rule +=
      "; running sums of a[i] = i from 0; the thread that ran the last iteration carries "
      "its sum out";
  Trace t = begin_trace(spec, rule);
  t.columns = std::max(n, 0LL);
  t.value_label = "suma";
  t.outside_label = "suma fuera";
  const std::string line =
      prints_element ? " thread %d suma a[%d]=%d suma=%d \n" : " thread %d suma a[%d] suma=%d \n";
  const auto scan = scan_run(t, r, {line, outside_pattern});
  if (!scan) {
    infer_team(t);
    return t;
  }
  for (std::size_t k = 0; k < scan->items.size(); ++k) {
    const Item& item = scan->items[k];
    if (item.pattern != 0) {
      continue;
    }
    if (prints_element && item.values[2] != item.values[1]) {
      t.problems.push_back(fmt::format("a[{}] is printed as {}; it holds {}", item.values[1],
                                       item.values[2], item.values[1]));
    }
    t.cells.push_back({static_cast<int>(item.values[0]), item.values[1], item.values.back(),
                       static_cast<int>(k)});
  }
  take_outside(t, *scan, 1, 0);
  infer_team(t);
  check_team(t);
  check_coverage(t, n);
  switch (schedule) {
    case Schedule::kBlock:
      check_exact(t, static_block(n, t.team), "static block partition");
      break;
    case Schedule::kCyclic:
      check_exact(t, cyclic_chunks(n, chunk, t.team), "cyclic chunk assignment");
      break;
    case Schedule::kDynamic:
      check_increasing(t);
      check_whole_chunks(t, n, chunk);
      break;
    case Schedule::kGuided:
      check_increasing(t);
      check_guided_runs(t, n, chunk);
      break;
  }
  check_running_sums(t, 0);
  const long long expected = last_iteration_sum(t, n, 0);
  if (t.outside && *t.outside != expected) {
    t.problems.push_back(
        fmt::format("main's suma reads {} after the loop; the last iteration's thread ended at {}",
                    *t.outside, expected));
  }
  return t;
}

Trace trace_carry_inout(const RunSpec& spec, const ks::RunResult& r) {
  return trace_carry(spec, r, Schedule::kBlock, 7, 0, false,
                     "\nFuera de la construcción parallel suma=%d\n");
}

// A chunk below 1 may be refused with the usage message, or run as a chunk of 1.
Trace trace_chunked(const RunSpec& spec, const ks::RunResult& r, Schedule schedule,
                    std::size_t needed, const char* usage, long long n, std::size_t chunk_arg) {
  const std::string rule = "a chunk below 1 is refused (usage message, status 255) or run as 1";
  if (spec.args.size() < needed) {
    return refusal_trace(spec, r, usage, "too few arguments: the usage message, status 255");
  }
  long long chunk = signed_arg(spec, chunk_arg);
  if (chunk < 1) {
    if (r.exited && r.exit_status == 255) {
      return refusal_trace(spec, r, usage, rule);
    }
    chunk = 1;
  }
  return trace_carry(spec, r, schedule, n, chunk, schedule != Schedule::kCyclic,
                     "Fuera de 'parallel for' suma=%d\n");
}

Trace trace_chunk_static(const RunSpec& spec, const ks::RunResult& r) {
  return trace_chunked(spec, r, Schedule::kCyclic, 1, "\nFalta chunk \n", 16, 0);
}
Trace trace_chunk_dynamic(const RunSpec& spec, const ks::RunResult& r) {
  return trace_chunked(spec, r, Schedule::kDynamic, 2, "\nFalta iteraciones o chunk \n",
                       std::min<std::int32_t>(signed_arg(spec, 0), 200), 1);
}
Trace trace_chunk_guided(const RunSpec& spec, const ks::RunResult& r) {
  return trace_chunked(spec, r, Schedule::kGuided, 2, "\nFalta iteraciones y/o chunk \n",
                       std::min<std::int32_t>(signed_arg(spec, 0), 20), 1);
}

template <Trace (*Fn)(const RunSpec&, const ks::RunResult&)>
Check check_demo(const RunSpec& spec, const ks::RunResult& r) {
  return check_from_trace(Fn(spec, r));
}

// ---------------------------------------------------------------------------------------
// Cost models. n is the size the program runs after its cap.

double vector_bytes(double n) {
  return 24 * n;
}  // read v1, v2; write v3
double vector_ops(double n) {
  return n;
}
double matrix_bytes(double n) {
  return 24 * n * n;
}  // B and C read, A written, once each
double matrix_ops(double n) {
  return 2 * n * n * n;
}
double matrix_rows_footprint(double n) {
  return 24 * n * (n + 1);
}
double matrix_static_footprint(double n) {
  return 24 * n * 10000;
}  // rows of stride MAX
double update_bytes(double n) {
  return 12 * n;
}  // read x, y; write y
double update_ops(double n) {
  return 2 * n;
}
double update_footprint(double n) {
  return 8 * n;
}
double records_ops(double) {
  return 40000.0 * 5000 * 6;
}
double records_two_passes(double) {
  return 40000.0 * 5000 * 8 * 2;
}
double records_one_pass(double) {
  return 40000.0 * 5000 * 8;
}
double nothing(double) {
  return 0;
}

constexpr std::string_view kVectorCheck =
    "v1[i] = N*0.1 + i*0.1, v2[i] = N*0.1 - i*0.1, v3[i] = 2N*0.1 up to printing; every "
    "printed element and N";
constexpr std::string_view kMatrixCheck =
    "B = C = rows 1..N; A[i][j] = (j+1)N(N+1)/2: corners for N > 9, every element below";

// clang-format off
// The five scaled-update builds: one source, the same entry but for the name and the level.
constexpr ProgramInfo update_build(std::string_view name, std::string_view opt) {
  return {.name = name, .family = "vector-update", .kind = Kind::kBenchmark,
          .openmp = false, .reads_schedule = false, .opt = opt, .arg = ArgKind::kSignedSize,
          .arguments = "N (signed, at least 1; 8N bytes of stack)", .cap = 0,
          .max_size = 2147483647u, .time_line = "Tiempo(seg): %f",
          .closed_form = "y[0] = 0, y[N-1] = 48(N-1) wrapped to 32 bits",
          .cost = "12N B, 2N int op", .bytes = update_bytes, .ops = update_ops,
          .op_unit = "int op", .footprint = update_footprint, .baseline = "yupd-o0",
          .default_sizes = "1000000", .tour_sizes = "10000,100000,1000000", .tour_repeat = 7,
          .check = check_update};
}

constexpr std::array<ProgramInfo, 27> kPrograms = {{
    {.name = "plus-static", .family = "vector-add", .kind = Kind::kBenchmark,
     .openmp = false, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kSize,
     .arguments = "N (capped at 33554432, unsigned)", .cap = kVectorMax, .max_size = 4294967295u,
     .time_line = "Tiempo(seg.):%11.9f\\t / Tamaño Vectores:%u",
     .closed_form = kVectorCheck,
     .cost = "24N B, N flop", .bytes = vector_bytes, .ops = vector_ops, .op_unit = "flop",
     .footprint = vector_bytes, .baseline = "plus-static",
     .default_sizes = "1M",
     .tour_sizes = "64K,1M,8M", .tour_repeat = 5,
     .check = check_vector_static},
    {.name = "plus-heap", .family = "vector-add", .kind = Kind::kBenchmark,
     .openmp = false, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kSize,
     .arguments = "N (no cap; 24N bytes of heap)", .cap = 0, .max_size = 4294967295u,
     .time_line = "Tiempo:%11.9f\\t / Tamanio Vectores:%u",
     .closed_form = kVectorCheck,
     .cost = "24N B, N flop", .bytes = vector_bytes, .ops = vector_ops, .op_unit = "flop",
     .footprint = vector_bytes, .baseline = "plus-static",
     .default_sizes = "1M",
     .tour_sizes = "64K,1M,8M", .tour_repeat = 5,
     .check = check_vector_heap},
    {.name = "plus-parloop", .family = "vector-add", .kind = Kind::kBenchmark,
     .openmp = true, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kSize,
     .arguments = "N (capped at 33554432, unsigned)", .cap = kVectorMax, .max_size = 4294967295u,
     .time_line = "Tiempo(seg.):%11.9f\\t / Tamaño Vectores:%u",
     .closed_form = kVectorCheck,
     .cost = "24N B, N flop", .bytes = vector_bytes, .ops = vector_ops, .op_unit = "flop",
     .footprint = vector_bytes, .baseline = "plus-static",
     .default_sizes = "1M",
     .tour_sizes = "64K,1M,8M", .tour_threads = "1,2", .tour_repeat = 5,
     .check = check_vector_static},
    {.name = "plus-quarters", .family = "vector-add", .kind = Kind::kBenchmark,
     .openmp = true, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kSize,
     .arguments = "N (capped at 33554432, unsigned)", .cap = kVectorMax, .max_size = 4294967295u,
     .time_line = "Tiempo(seg.):%11.9f\\t / Tamaño Vectores:%u",
     .closed_form = kVectorCheck,
     .cost = "24N B, N flop", .bytes = vector_bytes, .ops = vector_ops, .op_unit = "flop",
     .footprint = vector_bytes, .baseline = "plus-static",
     .default_sizes = "1M",
     .tour_sizes = "64K,1M,8M", .tour_threads = "1,2", .tour_repeat = 5,
     .check = check_vector_static},
    {.name = "mprod-heap", .family = "matrix-product", .kind = Kind::kBenchmark,
     .openmp = false, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kSize,
     .arguments = "N (no cap; 24N(N+1) bytes of heap)", .cap = 0, .max_size = 4294967295u,
     .time_line = "Tiempo (seg): %f",
     .closed_form = kMatrixCheck,
     .cost = "24N^2 B, 2N^3 flop", .bytes = matrix_bytes, .ops = matrix_ops, .op_unit = "flop",
     .footprint = matrix_rows_footprint, .baseline = "mprod-heap",
     .default_sizes = "200",
     .tour_sizes = "100,200,400,600", .tour_repeat = 5,
     .check = check_matrix_heap},
    {.name = "mprod-team", .family = "matrix-product", .kind = Kind::kBenchmark,
     .openmp = true, .reads_schedule = true, .opt = "O2", .arg = ArgKind::kSize,
     .arguments = "N (no cap); OMP_SCHEDULE", .cap = 0, .max_size = 4294967295u,
     .time_line = "Nthreads: %d, then Tiempo (seg): %f",
     .closed_form = kMatrixCheck,
     .cost = "24N^2 B, 2N^3 flop", .bytes = matrix_bytes, .ops = matrix_ops, .op_unit = "flop",
     .footprint = matrix_rows_footprint, .baseline = "mprod-heap",
     .default_sizes = "200",
     .tour_sizes = "100,200,400,600", .tour_threads = "1,2",
     .tour_schedules = "static;dynamic,4;guided", .tour_repeat = 3,
     .check = check_matrix_team},
    {.name = "mprod-static", .family = "matrix-product", .kind = Kind::kBenchmark,
     .openmp = false, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kSize,
     .arguments = "N (capped at 10000, unsigned)", .cap = kMatrixMax, .max_size = 4294967295u,
     .time_line = "Tiempo (seg): %11.9f",
     .closed_form = kMatrixCheck,
     .cost = "24N^2 B, 2N^3 flop", .bytes = matrix_bytes, .ops = matrix_ops, .op_unit = "flop",
     .footprint = matrix_static_footprint, .baseline = "mprod-heap",
     .default_sizes = "200",
     .tour_sizes = "100,200,400,600", .tour_repeat = 5,
     .check = check_matrix_static},
    {.name = "mprod-unroll4", .family = "matrix-product", .kind = Kind::kBenchmark,
     .openmp = false, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kSize,
     .arguments = "N (capped at 10000, unsigned)", .cap = kMatrixMax, .max_size = 4294967295u,
     .time_line = "Tiempo (seg): %11.9f",
     .closed_form = kMatrixCheck,
     .cost = "24N^2 B, 2N^3 flop", .bytes = matrix_bytes, .ops = matrix_ops, .op_unit = "flop",
     .footprint = matrix_static_footprint, .baseline = "mprod-heap",
     .default_sizes = "200",
     .tour_sizes = "100,200,400,600", .tour_repeat = 5,
     .check = check_matrix_static},
    {.name = "mprod-colwise", .family = "matrix-product", .kind = Kind::kBenchmark,
     .openmp = false, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kSize,
     .arguments = "N (capped at 10000, unsigned)", .cap = kMatrixMax, .max_size = 4294967295u,
     .time_line = "Tiempo (seg): %11.9f",
     .closed_form = kMatrixCheck,
     .cost = "24N^2 B, 2N^3 flop", .bytes = matrix_bytes, .ops = matrix_ops, .op_unit = "flop",
     .footprint = matrix_static_footprint, .baseline = "mprod-heap",
     .default_sizes = "200",
     .tour_sizes = "100,200,400,600", .tour_repeat = 5,
     .check = check_matrix_static},
    update_build("yupd-o0", "O0"),
    update_build("yupd-o1", "O1"),
    update_build("yupd-o2", "O2"),
    update_build("yupd-o3", "O3"),
    update_build("yupd-os", "Os"),
    {.name = "recmin-base", .family = "struct-kernel", .kind = Kind::kBenchmark,
     .openmp = false, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kNone,
     .arguments = "none", .cap = 0, .max_size = 0,
     .time_line = "Tiempo (seg): %f",
     .closed_form = "R[0] = 24995000, R[39999] = -162502500 (S1 = 24995000+5000k, S2 = "
                    "37492500-5000k)",
     .cost = "3.2e9 B (s read twice per step), 1.2e9 int op",
     .bytes = records_two_passes, .ops = records_ops, .op_unit = "int op",
     .footprint = nothing, .baseline = "recmin-base",
     .tour_repeat = 7,
     .check = check_records_filled},
    {.name = "recmin-fused", .family = "struct-kernel", .kind = Kind::kBenchmark,
     .openmp = false, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kNone,
     .arguments = "none", .cap = 0, .max_size = 0,
     .time_line = "Tiempo (seg): %f",
     .closed_form = "R[0] = 24995000, R[39999] = -162502500 (S1 = 24995000+5000k, S2 = "
                    "37492500-5000k)",
     .cost = "1.6e9 B (s read once per step), 1.2e9 int op",
     .bytes = records_one_pass, .ops = records_ops, .op_unit = "int op",
     .footprint = nothing, .baseline = "recmin-base",
     .tour_repeat = 7,
     .check = check_records_filled},
    {.name = "recmin-unroll4", .family = "struct-kernel", .kind = Kind::kBenchmark,
     .openmp = false, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kNone,
     .arguments = "none", .cap = 0, .max_size = 0,
     .time_line = "Tiempo (seg): %f",
     .closed_form = "R[0] = 0, R[39999] = -199995000 (records left zero: S1 = 5000k, S2 = -5000k)",
     .cost = "3.2e9 B (s read twice per step), 1.2e9 int op",
     .bytes = records_two_passes, .ops = records_ops, .op_unit = "int op",
     .footprint = nothing, .baseline = "recmin-base",
     .tour_repeat = 7,
     .check = check_records_zero},
    {.name = "greet-team", .family = "omp-demos", .kind = Kind::kDemonstration,
     .openmp = true, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kNone,
     .arguments = "none", .cap = 0, .max_size = 0,
     .closed_form = "each thread once per region, first region before the second",
     .cost = "none", .bytes = nothing, .ops = nothing, .footprint = nothing,
     .tour_threads = "1,2,4", .tour_repeat = 1,
     .check = check_demo<trace_greeting>, .trace = trace_greeting},
    {.name = "iter-owner", .family = "omp-demos", .kind = Kind::kDemonstration,
     .openmp = true, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kCount,
     .arguments = "n (signed iteration count)", .cap = 0, .max_size = 2147483647u,
     .closed_form = "static block partition of n iterations",
     .cost = "none", .bytes = nothing, .ops = nothing, .footprint = nothing,
     .default_sizes = "10",
     .tour_sizes = "10", .tour_threads = "1,2,4", .tour_repeat = 1,
     .check = check_demo<trace_owner>, .trace = trace_owner},
    {.name = "inplace-add", .family = "omp-demos", .kind = Kind::kDemonstration,
     .openmp = true, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kNone,
     .arguments = "none", .cap = 0, .max_size = 0,
     .closed_form = "a[i] = 2i+1 for i = 0..6, any team",
     .cost = "none", .bytes = nothing, .ops = nothing, .footprint = nothing,
     .tour_threads = "1,2,4", .tour_repeat = 1,
     .check = check_demo<trace_inplace>, .trace = trace_inplace},
    {.name = "own-copy", .family = "omp-demos", .kind = Kind::kDemonstration,
     .openmp = true, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kNone,
     .arguments = "none", .cap = 0, .max_size = 0,
     .closed_form = "static blocks of 7; private sums 7 + block; main's suma stays 0",
     .cost = "none", .bytes = nothing, .ops = nothing, .footprint = nothing,
     .tour_threads = "1,2,4", .tour_repeat = 1,
     .check = check_demo<trace_private_sum>, .trace = trace_private_sum},
    {.name = "own-copy-outer", .family = "omp-demos", .kind = Kind::kDemonstration,
     .openmp = true, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kNone,
     .arguments = "none", .cap = 0, .max_size = 0,
     .closed_form = "static blocks of 7; private sums 7 + block; main's suma stays 122",
     .cost = "none", .bytes = nothing, .ops = nothing, .footprint = nothing,
     .tour_threads = "1,2,4", .tour_repeat = 1,
     .check = check_demo<trace_private_sum_outer>, .trace = trace_private_sum_outer},
    {.name = "common-sum", .family = "omp-demos", .kind = Kind::kDemonstration,
     .openmp = true, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kNone,
     .arguments = "none", .cap = 0, .max_size = 0,
     .closed_form = "static blocks of 7; one shared total, the same for all, 0..21 (21 with one "
                    "thread)",
     .cost = "none", .bytes = nothing, .ops = nothing, .footprint = nothing,
     .tour_threads = "1,2,4", .tour_repeat = 1,
     .check = check_demo<trace_shared_sum>, .trace = trace_shared_sum},
    {.name = "carry-inout", .family = "omp-demos", .kind = Kind::kDemonstration,
     .openmp = true, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kNone,
     .arguments = "none", .cap = 0, .max_size = 0,
     .closed_form = "static blocks of 7; running sums from 0; the last iteration's sum comes out",
     .cost = "none", .bytes = nothing, .ops = nothing, .footprint = nothing,
     .tour_threads = "1,2,4", .tour_repeat = 1,
     .check = check_demo<trace_carry_inout>, .trace = trace_carry_inout},
    {.name = "chunk-static", .family = "omp-demos", .kind = Kind::kDemonstration,
     .openmp = true, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kChunk,
     .arguments = "chunk (n = 16)", .cap = 0, .max_size = 0,
     .closed_form = "cyclic chunks: chunk k to thread k mod T; running sums; last iteration's sum "
                    "out",
     .cost = "none", .bytes = nothing, .ops = nothing, .footprint = nothing,
     .default_chunks = "2",
     .tour_threads = "1,2,4", .tour_chunks = "3", .tour_repeat = 1,
     .check = check_demo<trace_chunk_static>, .trace = trace_chunk_static},
    {.name = "chunk-dynamic", .family = "omp-demos", .kind = Kind::kDemonstration,
     .openmp = true, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kCountChunk,
     .arguments = "n (capped at 200, signed), chunk", .cap = 200, .max_size = 2147483647u,
     .closed_form = "every iteration once, whole chunks, each thread increasing; last iteration's "
                    "sum out",
     .cost = "none", .bytes = nothing, .ops = nothing, .footprint = nothing,
     .default_sizes = "20", .default_chunks = "2",
     .tour_sizes = "20", .tour_threads = "1,2,4", .tour_chunks = "2", .tour_repeat = 1,
     .check = check_demo<trace_chunk_dynamic>, .trace = trace_chunk_dynamic},
    {.name = "chunk-guided", .family = "omp-demos", .kind = Kind::kDemonstration,
     .openmp = true, .reads_schedule = false, .opt = "O2", .arg = ArgKind::kCountChunk,
     .arguments = "n (capped at 20, signed), chunk", .cap = 20, .max_size = 2147483647u,
     .closed_form = "every iteration once, runs of at least chunk but the last; last iteration's "
                    "sum out",
     .cost = "none", .bytes = nothing, .ops = nothing, .footprint = nothing,
     .default_sizes = "20", .default_chunks = "2",
     .tour_sizes = "20", .tour_threads = "1,2,4", .tour_chunks = "2", .tour_repeat = 1,
     .check = check_demo<trace_chunk_guided>, .trace = trace_chunk_guided},
}};
// clang-format on

}  // namespace

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

std::optional<std::string> process_failure(const ks::RunResult& r) {
  if (r.ok()) {
    return std::nullopt;
  }
  std::string why = r.describe();
  if (r.started && !r.err.empty()) {
    why += ": " + visible(r.err);
  }
  return why;
}

Check check_from_trace(const Trace& trace) {
  Check c;
  c.valid = trace.problems.empty();
  if (!c.valid) {
    c.why = trace.problems.front();
    if (trace.problems.size() > 1) {
      c.why += fmt::format(" (and {} more)", trace.problems.size() - 1);
    }
  }
  return c;
}

std::string vector_add_report(std::uint32_t n, bool heap_wording) {
  const std::string head = heap_wording ? "Tiempo:{%11.9f}\t / Tamanio Vectores:"
                                        : "Tiempo(seg.):{%11.9f}\t / Tamaño Vectores:";
  const double a = n * 0.1;
  auto values = [&](std::uint32_t i) {
    const double b = static_cast<std::int32_t>(i) * 0.1;
    const double v1 = a + b;
    const double v2 = a - b;
    return element(v1, v2, v1 + v2);
  };
  std::string out = heap_wording ? fmt::format("Tamanio Vectores:{} (4 B)\n", n) : "";
  if (n < 10) {
    out += head + std::to_string(n) + "\n";
    for (std::uint32_t i = 0; i < n; ++i) {
      out += fmt::format("/ V1[{0}]+V2[{0}]=V3[{0}]{1} /\n", i, values(i));
    }
  } else {
    const auto last = static_cast<std::int32_t>(n - 1);
    out += fmt::format("{}{}\t/ V1[0]+V2[0]=V3[0]{} / / V1[{}]+V2[{}]=V3[{}]{} /\n", head, n,
                       values(0), last, last, last, values(n - 1));
  }
  return out;
}

std::string matrix_report(std::uint32_t n, const char* time_format) {
  std::string out = time_format;
  out += "\n__________\nResultados:\n\nMatriz B: \n";
  const double sum = static_cast<double>(n) * (static_cast<double>(n) + 1) / 2;
  const auto last = static_cast<std::int32_t>(n - 1);
  if (n > 9) {
    out += strprintf("B[0][0]=%f B[%d][%d]=%f\n", 1.0, last, last, static_cast<double>(n));
    out += "\nMatriz C: \n";
    out += strprintf("C[0][0]=%f C[%d][%d]=%f\n", 1.0, last, last, static_cast<double>(n));
    out += "\nMatriz A=B*C: \n";
    out += strprintf("A[0][0]=%f A[%d][%d]=%f\n", sum, last, last, sum * n);
  } else {
    auto rows = [&](double scale) {
      std::string block;
      for (std::uint32_t i = 0; i < n; ++i) {
        for (std::uint32_t j = 0; j < n; ++j) {
          block += strprintf("%f ", (j + 1) * scale);
        }
        block += "\n";
      }
      return block;
    };
    out += rows(1);
    out += "\nMatriz C: \n" + rows(1);
    out += "\nMatriz A=B*C: \n" + rows(sum);
  }
  return out + "\n";
}

}  // namespace ks::driver
