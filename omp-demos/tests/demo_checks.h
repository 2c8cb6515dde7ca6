// What the demonstrations' tests share: splitting an interleaved output into its items, the
// actual team size under an environment, and one checker per kind of program (the
// work-distribution rules they hold the runs against come from schedrules/). The checkers
// report through EXPECT_*, so a caller adds its own SCOPED_TRACE.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "schedrules/schedule_rules.h"
#include "spawn/spawn.h"
#include "textmatch/output_match.h"

namespace demos::test {

// Every run of a demonstration is bounded well below the suite's own limit: a hang in a
// schedule fails fast instead of stalling CI.
inline constexpr double kDemoTimeout = 20.0;

ks::RunResult run_demo(const std::string& name, const std::vector<std::string>& args, int threads,
                       ks::RunOptions options = {});

// Cuts `out` into consecutive items, each matching one of `patterns` (textmatch's scan_items:
// "%d" stands for a signed decimal integer). Fails, saying where and showing the whole output,
// when some text matches no pattern.
::testing::AssertionResult ItemsOf(const std::string& out, const std::vector<std::string>& patterns,
                                   std::vector<ks::Item>& items);

// The size of the team that the runtime forms under `options` (its environment): the number of
// greetings of the first region of greet-team.
int team_size(const ks::RunOptions& options);

// Checkers: `r` is a finished run under a team of T threads.
void expect_greet_team(const ks::RunResult& r, int T);
void expect_iter_owner(const ks::RunResult& r, long long n, int T);
void expect_inplace_add(const ks::RunResult& r);

// own-copy, own-copy-outer and common-sum.
enum class Sharing { kOwnCopy, kOwnCopyOuter, kCommonSum };
void expect_sharing(const ks::RunResult& r, Sharing program, int T);

// carry-inout and the three chunk programs: the loop's n is the count actually run (after the
// cap).
using ks::sched::Schedule;
void expect_carry(const ks::RunResult& r, const ks::sched::Loop& loop, int T);

// How each program is checked under an environment: its arguments and its checker.
struct DemoCase {
  std::string program;
  std::vector<std::string> args;
  void (*check)(const ks::RunResult&, int T);
};
const std::vector<DemoCase>& all_demos();

}  // namespace demos::test
