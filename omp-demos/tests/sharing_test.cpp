// The data-sharing programs: the in-place array, private sums that start at 7 and leave main's
// suma alone, and the one shared suma whose total depends on the interleaving.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "omp-demos/tests/demo_checks.h"
#include "tests/support/program_test.h"

namespace {

using demos::test::expect_sharing;
using demos::test::run_demo;
using demos::test::Sharing;
using ks::test::kTeamSizes;

const std::string kOneThreadItems =
    "thread 0 suma a[0] / thread 0 suma a[1] / thread 0 suma a[2] / thread 0 suma a[3] / "
    "thread 0 suma a[4] / thread 0 suma a[5] / thread 0 suma a[6] / ";

TEST(InplaceAdd, EveryTeamLeavesTheSameArray) {
  for (int T : kTeamSizes) {
    SCOPED_TRACE("threads=" + std::to_string(T));
    const ks::RunResult r = run_demo("inplace-add", {"3"}, T);
    ASSERT_FALSE(r.timed_out) << "hung: the remaining cases are skipped";
    demos::test::expect_inplace_add(r);
    EXPECT_EQ(r.err, "");
  }
}

TEST(OwnCopy, OneThreadPrintsTheDocumentedLines) {
  EXPECT_EQ(run_demo("own-copy", {}, 1).out,
            kOneThreadItems + "\n* thread 0 suma= 28Valor de suma fuera de parallel = 0\n");
  EXPECT_EQ(run_demo("own-copy-outer", {}, 1).out,
            kOneThreadItems + "\n* thread 0 suma= 28\nValor de suma fuera de parallel = 122\n");
  EXPECT_EQ(run_demo("common-sum", {}, 1).out,
            kOneThreadItems + "\n* thread 0 suma= 21\nValor de suma fuera de parallel = 21\n");
}

TEST(OwnCopy, TheModelMatchesTheDocumentedPrivateSums) {
  // 7 plus the block's iteration numbers; T = 8 leaves thread 7 without an iteration.
  const std::int64_t sums[][8] = {
      {28}, {13, 22}, {10, 14, 18}, {8, 12, 16, 13}, {7, 8, 9, 10, 11, 12, 13, 7}};
  const int teams[] = {1, 2, 3, 4, 8};
  for (int k = 0; k < 5; ++k) {
    const ks::sched::Assignment blocks = ks::sched::static_block(7, teams[k]);
    for (int t = 0; t < teams[k]; ++t) {
      std::int64_t sum = 7;
      for (long long i : blocks[static_cast<std::size_t>(t)]) {
        sum += i;
      }
      EXPECT_EQ(sum, sums[k][t]) << "T=" << teams[k] << " t=" << t;
    }
  }
}

TEST(OwnCopy, PrivateSumsFollowTheBlocksAndBarrierOrdersTheOutput) {
  struct Case {
    std::string program;
    Sharing kind;
  };
  const Case cases[] = {{"own-copy", Sharing::kOwnCopy},
                        {"own-copy-outer", Sharing::kOwnCopyOuter}};
  for (const Case& c : cases) {
    for (int T : kTeamSizes) {
      SCOPED_TRACE(c.program + " threads=" + std::to_string(T));
      const ks::RunResult r = run_demo(c.program, {"ignored"}, T);
      ASSERT_FALSE(r.timed_out) << "hung: the remaining cases are skipped";
      expect_sharing(r, c.kind, T);
      EXPECT_EQ(r.err, "");
    }
  }
}

TEST(CommonSum, AllThreadsAndMainSeeOneTotalOfAtMost21) {
  // Repeated so that several interleavings of the resets and updates are seen.
  for (int T : kTeamSizes) {
    for (int repeat = 0; repeat < 8; ++repeat) {
      SCOPED_TRACE("threads=" + std::to_string(T) + " run " + std::to_string(repeat));
      const ks::RunResult r = run_demo("common-sum", {}, T);
      ASSERT_FALSE(r.timed_out) << "hung: the remaining cases are skipped";
      expect_sharing(r, Sharing::kCommonSum, T);
      EXPECT_EQ(r.err, "");
    }
  }
}

}  // namespace
