// The driver's list arguments: sizes ("1K..32M", "1000,4000", "64K..16Mx4"), thread counts
// ("1,2,4", "1..8", "1..8x2") and OMP_SCHEDULE values ("static;dynamic,4;guided").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/base/text.h"

namespace ks::driver {

// What a range without a factor or a step does.
enum class PlainRange {
  kDoubling,  // A..B is A, 2A, 4A, ... (sizes, chunks: they span orders of magnitude)
  kEvery,     // A..B is A, A+1, ... B (thread counts)
};

// A list of non-negative integers, each item a value or a range:
//   VALUE      digits with an optional binary suffix K (2^10), M (2^20) or G (2^30)
//   A..B       doubling or every value from A to B, as `plain` says (B itself is added when
//              the steps miss it)
//   A..BxF     A, A*F, A*F^2, ... up to B (F >= 2; "*" works as "x")
//   A..B+S     A, A+S, A+2S, ... up to B (S >= 1)
// Items are separated by commas; the result keeps the order given, without repeats. A list
// holds at most kMaxListValues values, counted before any is made. Throws
// std::invalid_argument with a one-line reason on malformed input (an empty list included).
inline constexpr std::uint64_t kMaxListValues = 1000000;
std::vector<std::uint64_t> parse_list(std::string_view text, std::uint64_t max_value,
                                      PlainRange plain = PlainRange::kDoubling);

// Sizes: parse_list bounded by 2^32 - 1 (every size is a 32-bit count argument).
std::vector<std::uint64_t> parse_sizes(std::string_view text);

// What the first K, M or G suffix of a size list stands for: "1M = 1048576 (binary suffix; 1e6
// or 1000000 for a decimal million)", since a million is also written 1M; none without one.
std::optional<std::string> suffix_notice(std::string_view text);

// Thread counts: parse_list with every count in a plain range, each between 1 and
// kMaxThreads.
inline constexpr int kMaxThreads = 1024;
std::vector<int> parse_threads(std::string_view text);

// OMP_SCHEDULE values separated by ';' or blanks: [MODIFIER:]KIND[,CHUNK] with KIND one of
// static, dynamic, guided, auto, CHUNK from 1 to 2147483646 (not with auto; LLVM's OpenMP runtime
// takes no larger chunk from OMP_SCHEDULE: it warns and uses 2147483646) and at most one MODIFIER,
// monotonic (any kind) or nonmonotonic (dynamic and guided only). Returned in their canonical
// spelling ("dynamic,4").
std::vector<std::string> parse_schedules(std::string_view text);

}  // namespace ks::driver
