// What the demonstrations' tests share: splitting an interleaved output into its items, the
// two work-distribution rules computed independently of the runtime, the actual team size under
// an environment, and one checker per kind of program. The checkers report through EXPECT_*,
// so a caller adds its own SCOPED_TRACE.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "spawn/spawn.h"

namespace demos::test {

// Every run of a demonstration is bounded well below the suite's own limit: a hang in a
// schedule fails fast instead of stalling CI.
inline constexpr double kDemoTimeout = 20.0;

ks::RunResult run_demo(const std::string& name, const std::vector<std::string>& args, int threads,
                       ks::RunOptions options = {});

// One item of an output: the index of the format it matched and the integers it carries.
struct Item {
  std::size_t format = 0;
  std::vector<std::int64_t> values;
};

// Cuts `out` into consecutive items, each matching one of `formats` byte for byte, where "%d"
// stands for an optionally negative decimal integer. Fails, saying where, when some text
// matches no format.
::testing::AssertionResult SplitItems(const std::string& out,
                                      const std::vector<std::string>& formats,
                                      std::vector<Item>& items);

// The iterations that thread t runs, in order, when n iterations are divided among T threads
// in contiguous blocks of sizes differing by at most one, larger blocks first.
std::vector<std::int64_t> block_of(std::int64_t n, int T, int t);

// The iterations that thread t runs, in order, when chunk k (iterations k*chunk onward) goes
// to thread k mod T.
std::vector<std::int64_t> cyclic_chunks_of(std::int64_t n, std::int64_t chunk, int T, int t);

// The size of the team that the runtime forms under `options` (its environment): the number of
// greetings of the first region of greet-team.
int team_size(const ks::RunOptions& options);

// Checkers: `r` is a finished run under a team of T threads.
void expect_greet_team(const ks::RunResult& r, int T);
void expect_iter_owner(const ks::RunResult& r, std::int64_t n, int T);
void expect_inplace_add(const ks::RunResult& r);

// own-copy, own-copy-outer and common-sum.
enum class Sharing { kOwnCopy, kOwnCopyOuter, kCommonSum };
void expect_sharing(const ks::RunResult& r, Sharing program, int T);

// carry-inout and the three chunk programs.
enum class Schedule { kBlock, kStaticChunk, kDynamic, kGuided };
struct Carry {
  Schedule schedule;
  std::int64_t n;      // iterations actually run (after the cap)
  std::int64_t chunk;  // chunk size (for kBlock unused)
};
void expect_carry(const ks::RunResult& r, const Carry& loop, int T);

// How each program is checked under an environment: its arguments and its checker.
struct DemoCase {
  std::string program;
  std::vector<std::string> args;
  void (*check)(const ks::RunResult&, int T);
};
const std::vector<DemoCase>& all_demos();

}  // namespace demos::test
