// Size, thread and schedule lists as users type them.
#include <gtest/gtest.h>

#include <stdexcept>

#include "driver/lists.h"

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
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_sizes(c.text), c.sizes) << c.text;
  }
  const auto full = parse_sizes("1K..32M");
  ASSERT_EQ(full.size(), 16u);
  EXPECT_EQ(full.front(), 1024u);
  EXPECT_EQ(full.back(), 33554432u);
}

TEST(SizeSpec, MalformedListsAreRefusedWithAReason) {
  for (const char* text :
       {"", " ", "abc", "1K..", "..8", "8..1", "0..8", "1..8x1", "1..8x", "1..8+0", "K", "12Q",
        "-5", "1,,2", ",", "4294967296", "5G", "1..4294967296", "1.5K"}) {
    EXPECT_THROW(parse_sizes(text), std::invalid_argument) << '"' << text << '"';
  }
  try {
    parse_sizes("1K,x");
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("\"x\""), std::string::npos) << e.what();
  }
}

TEST(ThreadSpec, CountsBetweenOneAnd1024) {
  EXPECT_EQ(parse_threads("1..8"), (std::vector<int>{1, 2, 4, 8}));
  EXPECT_EQ(parse_threads("1,2,3"), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(parse_threads("1..4+1"), (std::vector<int>{1, 2, 3, 4}));
  for (const char* text : {"0", "0,1", "1025", "two", "1..2K"}) {
    EXPECT_THROW(parse_threads(text), std::invalid_argument) << text;
  }
}

TEST(ScheduleSpec, KindsChunksAndModifiers) {
  EXPECT_EQ(parse_schedules("static;dynamic,4 guided"),
            (std::vector<std::string>{"static", "dynamic,4", "guided"}));
  EXPECT_EQ(parse_schedules("static,1K;static,1024"), (std::vector<std::string>{"static,1024"}));
  EXPECT_EQ(parse_schedules("monotonic:dynamic,2;auto"),
            (std::vector<std::string>{"monotonic:dynamic,2", "auto"}));
  EXPECT_EQ(parse_schedules("guided,2147483646"), (std::vector<std::string>{"guided,2147483646"}));
  for (const char* text : {"", ";", "fast", "dynamic,0", "dynamic,-1", "guided,x", "auto,2",
                           "static,2147483647", "Static"}) {
    EXPECT_THROW(parse_schedules(text), std::invalid_argument) << text;
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
