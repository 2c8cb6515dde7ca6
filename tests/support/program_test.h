// Helpers for tests that run the suite's programs as a user would: by path, with arguments
// and OMP_NUM_THREADS, looking at standard output, standard error and how the process ended.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "spawn/spawn.h"

namespace ks::test {

// Team sizes every OpenMP program is tried with: one thread, the cores of a small machine,
// an odd size, and more threads than cores (and than most sizes).
inline constexpr std::array<int, 5> kTeamSizes = {1, 2, 3, 4, 8};

// Every run of a program in the tests is bounded, so a hang fails instead of stalling CI.
inline constexpr double kRunTimeout = 60.0;

// True when the tests and programs are built with AddressSanitizer, whose shadow memory
// cannot live under an address-space limit: tests that provoke allocation failures with
// RLIMIT_AS skip themselves there (GTEST_SKIP() when this is true).
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kUnderAddressSanitizer = true;
#else
inline constexpr bool kUnderAddressSanitizer = false;
#endif

// Full path of a built program.
std::string program_path(const std::string& name);

// Runs a built program. `threads` > 0 sets OMP_NUM_THREADS; OMP_* variables of the test's own
// environment are never passed on.
RunResult run(const std::string& name, const std::vector<std::string>& args, int threads = 0,
              RunOptions options = {});

// Passes when the process exited (no signal, no timeout) with `status`; on failure tells how
// it ended and shows its standard error.
::testing::AssertionResult ExitedWith(const RunResult& r, int status);

// Passes when standard error holds exactly one line and that line names `variable`: the one
// warning of a program about an environment variable it ignores or corrects, whatever the
// OpenMP runtime.
::testing::AssertionResult WarnedOnceAbout(const RunResult& r, const std::string& variable);

// Compares printf output with a template in which "{%W.Pf}" or "{%f}" stands for one
// non-negative double printed with that conversion (at least W characters, exactly P
// decimals, P = 6 by default) and "{%d}" for a signed integer; everything else must match
// byte for byte (textmatch/output_match.h). On a mismatch the message shows where and what
// differs.
::testing::AssertionResult MatchesPrintf(const std::string& actual, const std::string& templ);

// The value printed where the template has its first "{%...f}" marker (the time field), or a
// negative number if the output does not match.
double printed_time(const std::string& actual, const std::string& templ);

// Splits text into lines; a final line without a newline is kept.
std::vector<std::string> lines(const std::string& text);

}  // namespace ks::test
