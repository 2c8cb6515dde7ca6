#include "driver/catalogue/demo_traces.h"

#include <algorithm>
#include <map>

#include <fmt/format.h>

#include "driver/catalogue/checks.h"
#include "driver/catalogue/rules.h"
#include "textmatch/output_match.h"

namespace ks::driver {

using ks::Item;
using ks::match_template;
using ks::sched::Loop;
using ks::sched::Schedule;

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

namespace {

// own-copy, own-copy-outer and common-sum: one loop over a[i] = i, i = 0..6, then a
// per-thread line after the loop's barrier, then main's line. Their suma is private to each
// thread (main's own stays `main_value`) or one shared by the team.
enum class Sharing { kPrivate, kShared };

// Each thread's line after the loop: once per thread, its private sum (7 plus its block's
// elements), or the shared total main reads too.
void check_thread_sums(Trace& t, const Assignment& blocks, bool shared) {
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
}

// Main's line after the region: its own suma untouched, or the shared total of some of the
// elements 0..6 (all of them with one thread).
void check_main_sum(Trace& t, bool shared, long long main_value) {
  if (!t.outside) {
    return;
  }
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

Trace trace_sums(const RunSpec& spec, const ks::RunResult& r, const char* outside_pattern,
                 Sharing sharing, long long main_value) {
  const bool shared = sharing == Sharing::kShared;
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
  check_thread_sums(t, blocks, shared);
  check_main_sum(t, shared, main_value);
  return t;
}

}  // namespace

Trace trace_private_sum(const RunSpec& spec, const ks::RunResult& r) {
  return trace_sums(spec, r, "Valor de suma fuera de parallel = %d\n", Sharing::kPrivate, 0);
}
Trace trace_private_sum_outer(const RunSpec& spec, const ks::RunResult& r) {
  return trace_sums(spec, r, "\nValor de suma fuera de parallel = %d\n", Sharing::kPrivate, 122);
}
Trace trace_shared_sum(const RunSpec& spec, const ks::RunResult& r) {
  return trace_sums(spec, r, "\nValor de suma fuera de parallel = %d\n", Sharing::kShared, 0);
}

namespace {

// The first/last-private loops: a[i] = i summed into a copy of main's suma (0); the copy of
// the thread that ran iteration n-1 comes back to main. How a program prints them: each
// iteration line with a[i] or without, and its own line after the loop.
struct CarryOutput {
  bool prints_element = false;
  const char* outside_pattern = "";
};

Trace trace_carry(const RunSpec& spec, const ks::RunResult& r, const Loop& loop,
                  const CarryOutput& output) {
  const long long n = loop.n;
  const long long chunk = loop.chunk;
  std::string rule;
  switch (loop.schedule) {
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
  const std::string line = output.prints_element ? " thread %d suma a[%d]=%d suma=%d \n"
                                                 : " thread %d suma a[%d] suma=%d \n";
  const auto scan = scan_run(t, r, {line, output.outside_pattern});
  if (!scan) {
    infer_team(t);
    return t;
  }
  for (std::size_t k = 0; k < scan->items.size(); ++k) {
    const Item& item = scan->items[k];
    if (item.pattern != 0) {
      continue;
    }
    if (output.prints_element && item.values[2] != item.values[1]) {
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
  switch (loop.schedule) {
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

// The three chunk programs: their usage message when given fewer than `needed` arguments,
// the iterations they run (after their cap) and which argument is the chunk.
struct ChunkProgram {
  Schedule schedule;
  std::size_t needed;
  const char* usage;
  long long n;
  std::size_t chunk_arg;
};

// A chunk below 1 may be refused with the usage message, or run as a chunk of 1.
Trace trace_chunked(const RunSpec& spec, const ks::RunResult& r, const ChunkProgram& program) {
  const std::string rule = "a chunk below 1 is refused (usage message, status 255) or run as 1";
  if (spec.args.size() < program.needed) {
    return refusal_trace(spec, r, program.usage,
                         "too few arguments: the usage message, status 255");
  }
  long long chunk = signed_arg(spec, program.chunk_arg);
  if (chunk < 1) {
    if (r.exited && r.exit_status == 255) {
      return refusal_trace(spec, r, program.usage, rule);
    }
    chunk = 1;
  }
  return trace_carry(spec, r, {program.schedule, program.n, chunk},
                     {program.schedule != Schedule::kCyclic, "Fuera de 'parallel for' suma=%d\n"});
}

}  // namespace

Trace trace_carry_inout(const RunSpec& spec, const ks::RunResult& r) {
  return trace_carry(spec, r, {Schedule::kBlock, 7, 0},
                     {false, "\nFuera de la construcción parallel suma=%d\n"});
}

Trace trace_chunk_static(const RunSpec& spec, const ks::RunResult& r) {
  return trace_chunked(spec, r, {Schedule::kCyclic, 1, "\nFalta chunk \n", 16, 0});
}
Trace trace_chunk_dynamic(const RunSpec& spec, const ks::RunResult& r) {
  return trace_chunked(spec, r,
                       {Schedule::kDynamic, 2, "\nFalta iteraciones o chunk \n",
                        std::min<std::int32_t>(signed_arg(spec, 0), 200), 1});
}
Trace trace_chunk_guided(const RunSpec& spec, const ks::RunResult& r) {
  return trace_chunked(spec, r,
                       {Schedule::kGuided, 2, "\nFalta iteraciones y/o chunk \n",
                        std::min<std::int32_t>(signed_arg(spec, 0), 20), 1});
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

}  // namespace ks::driver
