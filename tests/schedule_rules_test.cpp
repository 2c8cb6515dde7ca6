// The work-sharing rules, against the assignments the demonstrations are documented to make.
#include <gtest/gtest.h>

#include "schedrules/schedule_rules.h"

namespace {

using ks::sched::Assignment;

TEST(ScheduleRules, StaticBlockPartitionMatchesTheDocumentedExamples) {
  struct Case {
    long long n;
    int team;
    Assignment expected;
  };
  const Case cases[] = {
      {10, 4, {{0, 1, 2}, {3, 4, 5}, {6, 7}, {8, 9}}},
      {7, 3, {{0, 1, 2}, {3, 4}, {5, 6}}},
      {7, 2, {{0, 1, 2, 3}, {4, 5, 6}}},
      {5, 2, {{0, 1, 2}, {3, 4}}},
      {6, 4, {{0, 1}, {2, 3}, {4}, {5}}},
      {3, 4, {{0}, {1}, {2}, {}}},
      {7, 8, {{0}, {1}, {2}, {3}, {4}, {5}, {6}, {}}},
      {0, 2, {{}, {}}},
      {0, 3, {{}, {}, {}}},
      {-4, 2, {{}, {}}},
      {-5, 3, {{}, {}, {}}},
      {7, 1, {{0, 1, 2, 3, 4, 5, 6}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ks::sched::static_block(c.n, c.team), c.expected) << c.n << " " << c.team;
  }
}

TEST(ScheduleRules, CyclicChunksMatchTheDocumentedTable) {
  struct Case {
    int team;
    long long chunk;
    Assignment expected;
  };
  const Case cases[] = {
      {2, 2, {{0, 1, 4, 5, 8, 9, 12, 13}, {2, 3, 6, 7, 10, 11, 14, 15}}},
      {2, 5, {{0, 1, 2, 3, 4, 10, 11, 12, 13, 14}, {5, 6, 7, 8, 9, 15}}},
      {3, 4, {{0, 1, 2, 3, 12, 13, 14, 15}, {4, 5, 6, 7}, {8, 9, 10, 11}}},
      {4, 3, {{0, 1, 2, 12, 13, 14}, {3, 4, 5, 15}, {6, 7, 8}, {9, 10, 11}}},
      {4, 8, {{0, 1, 2, 3, 4, 5, 6, 7}, {8, 9, 10, 11, 12, 13, 14, 15}, {}, {}}},
      {3, 2147483647, {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {}, {}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ks::sched::cyclic_chunks(16, c.chunk, c.team), c.expected)
        << c.team << " " << c.chunk;
  }
}

}  // namespace
