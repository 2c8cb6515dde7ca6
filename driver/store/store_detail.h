// What the files of the run store share: the file's marks, the runs table's columns, and small
// helpers. The rest of the driver includes store.h.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver/store/store.h"

#ifndef KS_VERSION
#define KS_VERSION "unknown"
#endif

namespace ks::driver::store_detail {

// "kSco": marks the file as a kernelscope store (file(1) shows it as its application id).
inline constexpr std::int64_t kApplicationId = 0x6B53636F;

// The view of format 2, which format 1 stores get when they are upgraded.
inline constexpr const char* kRunDetails = R"sql(
CREATE VIEW run_details AS
  SELECT r.id, r.seq, c.id AS config, c.label, c.program, c.size, c.chunk, c.threads,
         c.schedule, c.proc_bind, c.places, p.round, p.repetition, p.warmup, r.host,
         r.started_at, r.outcome, r.reason, r.printed_seconds, r.wall_seconds, r.exit_status,
         r.signal
  FROM runs r JOIN plan p ON p.seq = r.seq JOIN configs c ON c.id = p.config;
)sql";

// The columns of a run but its id, in the order the statements that read and write runs use
// them.
inline constexpr const char* kRunColumns =
    "seq, host, started_at, outcome, reason, printed_seconds, wall_seconds, exit_status, "
    "signal, stdout, stderr, user_seconds, system_seconds, peak_rss_kib, minor_faults, "
    "major_faults, voluntary_switches, involuntary_switches, perf_task_clock_ns, "
    "perf_page_faults, perf_context_switches, perf_migrations, perf_cycles, perf_instructions, "
    "perf_cache_references, perf_cache_misses, perf_branch_misses";
inline constexpr int kRunColumnCount = 27;
inline constexpr int kFirstCounter = 11;  // user_seconds, as a 0-based column

// The integer counters, in column order after system_seconds.
inline constexpr std::optional<std::int64_t> RunCounters::*kIntCounters[] = {
    &RunCounters::peak_rss_kib,         &RunCounters::minor_faults,
    &RunCounters::major_faults,         &RunCounters::voluntary_switches,
    &RunCounters::involuntary_switches, &RunCounters::task_clock_ns,
    &RunCounters::page_faults,          &RunCounters::context_switches,
    &RunCounters::migrations,           &RunCounters::cycles,
    &RunCounters::instructions,         &RunCounters::cache_references,
    &RunCounters::cache_misses,         &RunCounters::branch_misses,
};
static_assert(kFirstCounter + 2 + std::size(kIntCounters) == kRunColumnCount);

inline double now_epoch() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// JSON text for the store: bytes that are not UTF-8 (a folder's name) become U+FFFD rather than
// an exception.
inline std::string json_text(const nlohmann::json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Whether anything (a symbolic link included) is at `path`.
bool file_exists(const std::string& path);

// A program's arguments as one text a person reads as a command line: words separated by
// blanks, a word that is empty or holds a blank, a quote or a backslash written in single
// quotes (a quote inside as '\''). split_args reads it back.
std::string args_text(const std::vector<std::string>& args);
std::vector<std::string> split_args(std::string_view text);

// One planned run as a person names it: its configuration, warm-up or repetition, and which.
std::string run_text(const Plan& plan, std::size_t i);

}  // namespace ks::driver::store_detail
