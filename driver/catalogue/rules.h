// What the demonstrations' trace parsers share: starting a trace from a run, scanning the run's
// items, and the checks that hold the parsed run against the work-sharing rule it makes
// visible (the rules themselves come from schedrules/).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/catalogue/run_types.h"
#include "schedrules/schedule_rules.h"
#include "spawn/spawn.h"
#include "textmatch/output_match.h"

namespace ks::driver {

using ks::sched::Assignment;
using ks::sched::cyclic_chunks;
using ks::sched::static_block;

// Starts a trace: the team from the run's OMP_NUM_THREADS (or, see infer_team, from the threads
// seen).
Trace begin_trace(const RunSpec& spec, std::string rule);
void infer_team(Trace& t);

// The run must have ended well and written nothing to standard error; then its items, each
// matching one of `patterns`. Whatever is wrong goes to t.problems.
std::optional<ks::ScanResult> scan_run(Trace& t, const ks::RunResult& r,
                                       const std::vector<std::string>& patterns);

// A demonstration given too few arguments (or an argument it refuses) ends with status 255,
// its usage message on standard error and nothing on standard output.
Trace refusal_trace(const RunSpec& spec, const ks::RunResult& r, std::string_view message,
                    std::string rule);

// The line main prints after the region (items of `pattern`, its value at `value_index`) must
// be the last item and come once.
void take_outside(Trace& t, const ks::ScanResult& scan, int pattern, std::size_t value_index);

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
