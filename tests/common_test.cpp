// The shared helpers: the count argument against strtol, the wall-clock interval's
// arithmetic, the allocation guard, and the test suite's own printf matcher.
#include <climits>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "common/count_arg.h"
#include "common/heap_guard.h"
#include "common/wall_clock.h"
#include "tests/support/program_test.h"

namespace {

struct CountCase {
  const char* text;
  std::uint32_t u;
  std::int32_t s;
};

TEST(CountArg, ParsesLikeStrtolAndKeepsTheLow32Bits) {
  const CountCase cases[] = {
      {"0", 0, 0},
      {"abc", 0, 0},
      {"", 0, 0},
      {"8", 8, 8},
      {"12abc", 12, 12},
      {"  +7", 7, 7},
      {"\t\n 9", 9, 9},
      {"-1", 4294967295u, -1},
      {"-5", 4294967291u, -5},
      {"2147483647", 2147483647u, 2147483647},
      {"2147483648", 2147483648u, INT32_MIN},
      {"4294967295", 4294967295u, -1},
      {"4294967296", 0, 0},
      {"4294967306", 10, 10},
      {"- 3", 0, 0},
      {"+-3", 0, 0},
      {"0x10", 0, 0},
      {"010", 10, 10},
      // Beyond the range of long, strtol saturates: LONG_MAX keeps 0xFFFFFFFF, LONG_MIN 0.
      {"99999999999999999999999", 4294967295u, -1},
      {"-99999999999999999999999", 0, 0},
  };
  for (const auto& c : cases) {
    const ks::CountArg got = ks::count_arg(c.text);
    EXPECT_EQ(got.u, c.u) << "\"" << c.text << "\"";
    EXPECT_EQ(got.s, c.s) << "\"" << c.text << "\"";
  }
}

TEST(WallInterval, DividesNanosecondsFirstThenAddsSeconds) {
  struct Case {
    timespec start, end;
    double expected;
  };
  const Case cases[] = {
      {{10, 0}, {10, 123}, 123 / 1e9},
      {{10, 999999999}, {11, 1}, -999999998 / 1e9 + 1.0},
      {{5, 500000000}, {7, 0}, -500000000 / 1e9 + 2.0},
      {{100, 0}, {100, 0}, 0.0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ks::wall_interval(c.start, c.end), c.expected);
  }
  // The order of the operations shows in the last bits: (1 - 0.9999...) is not 2e-9 exactly.
  EXPECT_EQ(ks::wall_interval({10, 999999999}, {11, 1}),
            static_cast<double>(-999999998) / 1e9 + 1.0);
}

TEST(HeapGuard, RefusesMoreThanTheMachineHoldsAndGrantsSmallBlocks) {
  const std::uint64_t capacity = ks::memory_capacity();
  ASSERT_GT(capacity, 0u);
  EXPECT_EQ(ks::guarded_malloc(capacity + 1), nullptr);
  void* small = ks::guarded_malloc(64);
  EXPECT_NE(small, nullptr);
  free(small);
  void* none = ks::guarded_malloc(0);
  EXPECT_NE(none, nullptr);  // glibc answers zero bytes with a valid block
  free(none);
}

struct MatchCase {
  std::string actual;
  std::string templ;
  bool matches;
};

TEST(MatchesPrintf, AcceptsExactlyWhatTheConversionPrints) {
  const MatchCase cases[] = {
      {"T:0.000000123\n", "T:{%11.9f}\n", true},
      {"T:12.500000000\n", "T:{%11.9f}\n", true},    // wider than the field: not cut
      {"T: 0.00000012\n", "T:{%11.9f}\n", false},    // eight decimals
      {"T:  0.000000123\n", "T:{%11.9f}\n", false},  // padded beyond the width
      {"T:0.000000123\n", "T:{%11.9f}", false},      // trailing newline not in template
      {"T: 1.500000\n", "T: {%f}\n", true},
      {"T: 1.5\n", "T: {%f}\n", false},
      {"T: -1.500000\n", "T: {%f}\n", false},  // times are never negative
      {"a\tb", "a\tb", true},
      {"a b", "a\tb", false},
      {"Tamaño", "Tamano", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<bool>(ks::test::MatchesPrintf(c.actual, c.templ)), c.matches)
        << "actual \"" << c.actual << "\" template \"" << c.templ << "\"";
  }
  EXPECT_DOUBLE_EQ(ks::test::printed_time("T:12.500000000\n", "T:{%11.9f}\n"), 12.5);
  EXPECT_LT(ks::test::printed_time("x", "T:{%11.9f}\n"), 0.0);
}

}  // namespace
