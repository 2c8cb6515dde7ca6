// The checks that hold a demonstration's parsed run against the work-sharing rules it makes
// visible (the rules themselves come from schedrules/).
#pragma once

#include <vector>

#include "driver/run_types.h"
#include "schedrules/schedule_rules.h"

namespace ks::driver {

using ks::sched::Assignment;
using ks::sched::cyclic_chunks;
using ks::sched::static_block;

// The iterations of each thread in the order the thread printed them (cells with a thread).
Assignment per_thread(const Trace& trace);

// Each check appends a one-line problem to trace.problems when the run breaks the rule.
void check_team(Trace& trace);  // every thread number in 0 .. T-1
void check_exact(Trace& trace, const Assignment& expected, const char* rule_name);
void check_coverage(Trace& trace, long long n);  // 0 .. n-1 each exactly once, nothing else
void check_increasing(Trace& trace);             // each thread's iterations in increasing order
// Dynamic: every chunk [k·chunk, ...) run whole by one thread.
void check_whole_chunks(Trace& trace, long long n, long long chunk);
// Guided: each maximal run of consecutive iterations on one thread holds at least `chunk`
// iterations, except the one that ends the loop.
void check_guided_runs(Trace& trace, long long n, long long chunk);
// Every thread's cell values are its running sums of a[i] = i, starting from `start`.
void check_running_sums(Trace& trace, long long start);
// The running sum that the thread which ran iteration n-1 reached; `none` if no iteration ran.
long long last_iteration_sum(const Trace& trace, long long n, long long none);

}  // namespace ks::driver
