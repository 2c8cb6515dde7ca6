// The work-sharing rules the demonstrations make visible, computed independently of the
// OpenMP runtime: the kinds of loop schedule they use, and which thread owns which iteration
// when the schedule fixes it (static, with or without a chunk).
#pragma once

#include <optional>
#include <vector>

namespace ks::sched {

enum class Schedule {
  kBlock,    // static without a chunk: one contiguous block per thread
  kCyclic,   // static with a chunk: chunk k to thread k mod T
  kDynamic,  // dynamic: whole chunks to whichever thread asks
  kGuided,   // guided: shrinking chunks, never below the chunk size but the last
};

// A loop of n iterations (0 .. n-1) under a schedule; `chunk` is unused for kBlock.
struct Loop {
  Schedule schedule = Schedule::kBlock;
  long long n = 0;
  long long chunk = 0;
};

using Assignment = std::vector<std::vector<long long>>;  // per thread, its iterations in order

// Static schedule without a chunk: q = n / T, r = n mod T (32-bit signed); thread t < r runs
// q + 1 iterations from t(q + 1), any other q iterations from tq + r. n <= 0: nothing.
Assignment static_block(long long n, int team);

// Static schedule with a chunk (>= 1): chunk k covers [k·chunk, min((k+1)·chunk, n)) and
// belongs to thread k mod T.
Assignment cyclic_chunks(long long n, long long chunk, int team);

// The assignment a static loop fixes before it runs; none for dynamic and guided loops, whose
// assignment depends on the run.
std::optional<Assignment> fixed_assignment(const Loop& loop, int team);

}  // namespace ks::sched
