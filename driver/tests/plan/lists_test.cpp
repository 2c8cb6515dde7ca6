// Size, thread and schedule lists as users type them.
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "driver/plan/lists.h"

namespace {

using ks::driver::parse_schedules;
using ks::driver::parse_sizes;
using ks::driver::parse_threads;

TEST(SizeSpec, ListsAndRangesExpandInOrder) {
  struct Case {
    const char* text;
    std::vector<std::uint64_t> sizes;
  };
  const Case cases[] = {
      {"1000", {1000}},
      {"1000,4000,1000", {1000, 4000}},
      {" 7 , 3 ", {7, 3}},
      {"1K", {1024}},
      {"2m", {2097152}},
      {"1G", {1073741824}},
      {"1K..8K", {1024, 2048, 4096, 8192}},
      {"64K..16Mx4", {65536, 262144, 1048576, 4194304, 16777216}},
      {"100..500+100", {100, 200, 300, 400, 500}},
      {"3..10", {3, 6, 10}},  // the end is kept when the steps miss it
      {"5..5", {5}},
      {"0..3+1", {0, 1, 2, 3}},
      {"1,2..4,4", {1, 2, 4}},
      {"4294967295", {4294967295u}},
      {"2G..4294967295", {2147483648u, 4294967295u}},
      // A decimal power: 1e6 is the million that 1M is not.
      {"1e6", {1000000}},
      {"25E5,1e0,0e9", {2500000, 1, 0}},
      {"1e3..1e6x10", {1000, 10000, 100000, 1000000}},
      {"4e9", {4000000000u}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_sizes(c.text), c.sizes) << c.text;
  }
  const auto full = parse_sizes("1K..32M");
  ASSERT_EQ(full.size(), 16u);
  EXPECT_EQ(full.front(), 1024u);
  EXPECT_EQ(full.back(), 33554432u);
}

TEST(SizeSpec, TheFirstBinarySuffixIsSpelledOut) {
  struct Case {
    const char* text;
    std::optional<std::string> notice;
  };
  const Case cases[] = {
      {"1M", "1M = 1048576 (binary suffix; 1e6 or 1000000 for a decimal million)"},
      {"1000,8m", "8m = 8388608 (binary suffix; 1e6 or 1000000 for a decimal million)"},
      {"64K..16Mx4", "64K = 65536 (binary suffix; 1e3 or 1000 for a decimal thousand)"},
      {"100..2G+1", "2G = 2147483648 (binary suffix; 1e9 or 1000000000 for a decimal billion)"},
      {"1000000", std::nullopt},
      {"1e6,2e6", std::nullopt},
      {"100..500+100", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ks::driver::suffix_notice(c.text), c.notice) << c.text;
  }
}

TEST(SizeSpec, MalformedListsAreRefusedWithAReason) {
  for (const char* text :
       {"",       " ",   "abc", "1K..", "..8",  "8..1",  "0..8",       "1..8x1", "1..8x",
        "1..8+0", "K",   "12Q", "-5",   "1,,2", ",",     "4294967296", "5G",     "1..4294967296",
        "1.5K",   "5e9", "1e",  "e6",   "1e6K", "1.5e6", "1e-3",       "1e+3",   "1e100",
        "1ee6"}) {
    EXPECT_THROW(parse_sizes(text), std::invalid_argument) << '"' << text << '"';
  }
  try {
    parse_sizes("1K,x");
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("\"x\""), std::string::npos) << e.what();
  }
}

TEST(SizeSpec, ANumberWithThousandsSeparatorsIsRefusedWithTheSizeItMeant) {
  struct Case {
    const char* text;
    const char* meant;  // nullptr: a list, read as one
  };
  const Case cases[] = {
      {"1,000,000", "1000000"},
      {"1,000", "1000"},
      {"2,048", "2048"},
      {"64,000", "64000"},
      {"128,000,000", "128000000"},
      {"64,128,256", nullptr},
      {"1, 000", nullptr},
      {"0,100", nullptr},
      {"10,100", nullptr},
      {"1,20", nullptr},
      {"1K,000", nullptr},
  };
  for (const Case& c : cases) {
    if (c.meant == nullptr) {
      EXPECT_NO_THROW(parse_sizes(c.text)) << c.text;
      continue;
    }
    try {
      parse_sizes(c.text);
      ADD_FAILURE() << c.text << ": read as a list";
    } catch (const std::invalid_argument& e) {
      const std::string why = e.what();
      EXPECT_NE(why.find("comma-separated"), std::string::npos) << why;
      EXPECT_NE(why.find(std::string("write ") + c.meant + " "), std::string::npos) << why;
    }
  }
}

TEST(ThreadSpec, RangesAreEveryCountUnlessAFactorOrStepIsGiven) {
  struct Case {
    const char* text;
    std::vector<int> threads;
  };
  const Case cases[] = {
      {"1..6", {1, 2, 3, 4, 5, 6}},
      {"1..8x2", {1, 2, 4, 8}},
      {"1..8*2", {1, 2, 4, 8}},
      {"3..10x2", {3, 6, 10}},  // the end is kept when the factor misses it
      {"2..8+2", {2, 4, 6, 8}},
      {"1,2,3", {1, 2, 3}},
      {"4, 1..2", {4, 1, 2}},
      {"1020..1024", {1020, 1021, 1022, 1023, 1024}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_threads(c.text), c.threads) << c.text;
  }
  for (const char* text :
       {"", " ", "0", "0,1", "0..2", "1025", "1..1025", "two", "1..2K", "1..8x1", "1..8+0", ","}) {
    EXPECT_THROW(parse_threads(text), std::invalid_argument) << '"' << text << '"';
  }
}

TEST(ScheduleSpec, KindsChunksAndModifiers) {
  struct Case {
    const char* text;
    std::vector<std::string> schedules;
  };
  const Case cases[] = {
      {"static;dynamic,4 guided", {"static", "dynamic,4", "guided"}},
      {"static,1K;static,1024", {"static,1024"}},
      {"guided,2147483646", {"guided,2147483646"}},
      {"monotonic:dynamic,2;auto", {"monotonic:dynamic,2", "auto"}},
      {"monotonic:static,3;monotonic:auto", {"monotonic:static,3", "monotonic:auto"}},
      {"nonmonotonic:dynamic;nonmonotonic:guided,5",
       {"nonmonotonic:dynamic", "nonmonotonic:guided,5"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_schedules(c.text), c.schedules) << c.text;
  }
  struct Bad {
    const char* text;
    const char* why;
  };
  const Bad bad[] = {
      {"", "no schedule"},
      {";", "no schedule"},
      {"fast", "kind"},
      {"Static", "kind"},
      {"dynamic,0", "at least 1"},
      {"dynamic,-1", "not a number"},
      {"guided,x", "not a number"},
      {"auto,2", "auto takes no chunk"},
      {"static,2147483647", "larger than"},
      {"nonmonotonic:static", "dynamic and guided only"},
      {"nonmonotonic:static,4", "dynamic and guided only"},
      {"nonmonotonic:auto", "dynamic and guided only"},
      {"monotonic:nonmonotonic:dynamic", "at most one modifier"},
      {"monotonic:monotonic:static", "at most one modifier"},
      {"sometimes:dynamic", "monotonic or nonmonotonic"},
      {":dynamic", "monotonic or nonmonotonic"},
  };
  for (const Bad& b : bad) {
    try {
      parse_schedules(b.text);
      ADD_FAILURE() << "accepted \"" << b.text << '"';
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(b.why), std::string::npos) << b.text << ": " << e.what();
    }
  }
}

TEST(SizeLabel, ShortestExactSpelling) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "0"},          {1000, "1000"},     {1024, "1K"},
      {1536, "1536"},    {3072, "3K"},       {1048576, "1M"},
      {33554432, "32M"}, {1073741824, "1G"}, {4294967295u, "4294967295"},
  };
  for (const auto& [value, label] : cases) {
    EXPECT_EQ(ks::driver::size_label(value), label);
    EXPECT_EQ(parse_sizes(label), std::vector<std::uint64_t>{value}) << label;
  }
}

}  // namespace
