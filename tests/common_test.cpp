// The shared helpers: the count argument against strtol, the wall-clock interval's
// arithmetic, the allocation guard, and the test suite's own printf matcher.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <random>
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

// An independent reading of the rule: blanks, a sign, decimal digits, saturation at the range
// of long, then the low 32 bits.
std::uint32_t reference_low_bits(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  unsigned __int128 magnitude = 0;
  bool saturated = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + static_cast<unsigned>(text[i] - '0');
    if (magnitude > static_cast<unsigned __int128>(LONG_MAX) + 1) {
      saturated = true;
      magnitude = static_cast<unsigned __int128>(LONG_MAX) + 1;
    }
  }
  __int128 value = negative ? -static_cast<__int128>(magnitude) : static_cast<__int128>(magnitude);
  if (saturated || value > LONG_MAX) {
    value = negative ? LONG_MIN : LONG_MAX;
  }
  return static_cast<std::uint32_t>(static_cast<unsigned __int128>(value));
}

TEST(CountArg, AgreesWithStrtolOnGeneratedText) {
  std::mt19937 rng(20261208);
  const std::string alphabet = "0123456789012345678901234567890123456789 \t\n+-x.eabc";
  std::uniform_int_distribution<std::size_t> length(0, 30);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  int numeric = 0;
  for (int n = 0; n < 20000; ++n) {
    std::string text;
    const std::size_t len = length(rng);
    for (std::size_t k = 0; k < len; ++k) {
      text += alphabet[pick(rng)];
    }
    errno = 0;
    const long expected = std::strtol(text.c_str(), nullptr, 10);
    const ks::CountArg got = ks::count_arg(text.c_str());
    ASSERT_EQ(got.u, static_cast<std::uint32_t>(static_cast<unsigned long>(expected)))
        << "\"" << text << "\"";
    ASSERT_EQ(got.s, static_cast<std::int32_t>(got.u)) << "\"" << text << "\"";
    ASSERT_EQ(got.u, reference_low_bits(text)) << "\"" << text << "\"";
    numeric += expected != 0;
  }
  EXPECT_GT(numeric, 5000);  // the generator produced plenty of numbers, not only garbage
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
  EXPECT_NE(none, nullptr);  // zero bytes is an ordinary request, not a failure
  free(none);
  EXPECT_TRUE(ks::fits_in_memory(capacity / 2));
  // A plan that cannot fit makes every later request fail, however small.
  ks::plan_allocations(capacity + 1);
  EXPECT_EQ(ks::guarded_malloc(64), nullptr);
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
