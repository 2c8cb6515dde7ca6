// The demonstrations' traces: each run's interleaved items parsed into who ran what and what
// it saw, and held against the work-sharing rule the program shows. A trace's problems are its
// verdict; a demonstration's output check is its trace's verdict.
#pragma once

#include "driver/catalogue/run_types.h"
#include "spawn/spawn.h"

namespace ks::driver {

Trace trace_greeting(const RunSpec& spec, const ks::RunResult& r);           // greet-team
Trace trace_owner(const RunSpec& spec, const ks::RunResult& r);              // iter-owner
Trace trace_inplace(const RunSpec& spec, const ks::RunResult& r);            // inplace-add
Trace trace_private_sum(const RunSpec& spec, const ks::RunResult& r);        // own-copy
Trace trace_private_sum_outer(const RunSpec& spec, const ks::RunResult& r);  // own-copy-outer
Trace trace_shared_sum(const RunSpec& spec, const ks::RunResult& r);         // common-sum
Trace trace_carry_inout(const RunSpec& spec, const ks::RunResult& r);        // carry-inout
Trace trace_chunk_static(const RunSpec& spec, const ks::RunResult& r);       // chunk-static
Trace trace_chunk_dynamic(const RunSpec& spec, const ks::RunResult& r);      // chunk-dynamic
Trace trace_chunk_guided(const RunSpec& spec, const ks::RunResult& r);       // chunk-guided

// Verdict of a demonstration trace as a Check.
Check check_from_trace(const Trace& trace);

// The output check of the demonstration traced by Fn.
template <Trace (*Fn)(const RunSpec&, const ks::RunResult&)>
Check check_demo(const RunSpec& spec, const ks::RunResult& r) {
  return check_from_trace(Fn(spec, r));
}

}  // namespace ks::driver
