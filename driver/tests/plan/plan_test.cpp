// Planning a sweep: bad requests refused before anything runs, configurations crossed.
#include <gtest/gtest.h>

#include "driver/plan/plan.h"

namespace {

TEST(Planning, BadRequestsAreRefusedBeforeAnythingRuns) {
  struct Case {
    std::vector<std::string> programs;
    std::optional<std::string> sizes;
    std::optional<std::string> threads;
    const char* why_part;
    int repeat = 5;
    int warmup = 1;
  };
  const Case cases[] = {
      {{"plus-nothing"}, std::nullopt, std::nullopt, "unknown program 'plus-nothing'"},
      // "--sizes 1M 8M": the second size taken for a program.
      {{"plus-static", "8M"},
       "1M",
       std::nullopt,
       "'8M': it reads as a size, and a size list is comma-separated"},
      {{"plus-static", "8x"}, "1M", std::nullopt, "unknown program '8x' (kernelscope list"},
      {{}, std::nullopt, std::nullopt, "no program"},
      {{"plus-static"}, "1K..", std::nullopt, "malformed size list"},
      {{"plus-static"}, "64M", std::nullopt, "above its cap of 33554432"},
      {{"plus-heap"}, "4294967295", std::nullopt, "needs 96.0 GiB"},
      {{"yupd-o2"}, "0,10", std::nullopt, "at least 1"},
      {{"yupd-o2"}, "3G", std::nullopt, "wraps"},
      {{"plus-parloop"}, "1K", "0", "malformed thread list"},
      // Bounds, checked before anything is made.
      {{"plus-static"}, "1..4294967295+1", std::nullopt, "4294967295 values; a list holds at most"},
      {{"plus-static"}, "0..200000+1", std::nullopt, "the plan holds 1200006 runs (200001 conf"},
      {{"plus-parloop"}, "1..1000001+1", "1..1024+1", "1000001 values"},
      {{"plus-parloop"}, "1..500000+1", "1..1024+1", "the plan holds 3072000000 runs"},
      {{"plus-static"},
       "10",
       std::nullopt,
       "--repeat 2147483647: must be between 1 and",
       2147483647},
      {{"plus-static"}, "10", std::nullopt, "--repeat 0", 0},
      {{"plus-static"}, "10", std::nullopt, "--warmup -1", 5, -1},
      {{"plus-static", "plus-heap"}, "1..250001+1", std::nullopt, "the plan holds 1000004", 1, 1},
      // An empty or malformed list is refused even for a program it does not apply to.
      {{"plus-static"}, "1K", "", "malformed thread list \"\": empty list"},
      {{"plus-static"}, "", std::nullopt, "malformed size list \"\": empty list"},
      {{"greet-team"}, "x", std::nullopt, "malformed size list"},
      {{"plus-static"}, "1K", "1..x", "malformed thread list"},
  };
  for (const Case& c : cases) {
    ks::driver::SweepRequest request;
    request.programs = c.programs;
    request.sizes = c.sizes;
    request.threads = c.threads;
    request.repeat = c.repeat;
    request.warmup = c.warmup;
    request.memory_limit = std::uint64_t{24} << 30;
    std::vector<std::string> notices;
    try {
      ks::driver::plan_sweep(request, notices);
      ADD_FAILURE() << "accepted: " << c.why_part;
    } catch (const ks::driver::UsageError& e) {
      EXPECT_NE(std::string(e.what()).find(c.why_part), std::string::npos) << e.what();
    }
  }
}

TEST(Planning, ConfigurationsCrossSizesThreadsSchedulesAndChunks) {
  ks::driver::SweepRequest request;
  request.programs = {"plus-static", "mprod-team", "chunk-dynamic", "greet-team"};
  request.sizes = "10,20";
  request.threads = "1,2";
  request.schedules = "static;guided,2";
  request.chunks = "1,4";
  std::vector<std::string> notices;
  const auto configs = ks::driver::plan_sweep(request, notices);
  // plus-static: 2 sizes; mprod-team: 2 sizes x 2 threads x 2 schedules; chunk-dynamic:
  // 2 counts x 2 chunks x 2 threads; greet-team: 2 threads.
  EXPECT_EQ(configs.size(), 2u + 8u + 8u + 2u);
  EXPECT_EQ(configs[0].threads, 0);
  EXPECT_EQ(configs[2].spec().schedule, "static");
  EXPECT_EQ(configs[10].spec().args, (std::vector<std::string>{"10", "1"}));
  // Each option that cannot apply to a program named gets one notice.
  const std::vector<std::string> expected = {
      "plus-static takes no chunk: --chunks does not apply to it",
      "plus-static runs without OpenMP: --threads does not apply to it",
      "plus-static does not read OMP_SCHEDULE: --schedules does not apply to it",
      "mprod-team takes no chunk: --chunks does not apply to it",
      "chunk-dynamic does not read OMP_SCHEDULE: --schedules does not apply to it",
      "greet-team takes no size: --sizes does not apply to it",
      "greet-team takes no chunk: --chunks does not apply to it",
      "greet-team does not read OMP_SCHEDULE: --schedules does not apply to it",
  };
  EXPECT_EQ(notices, expected);

  request = {};
  request.programs = {"plus-static"};
  request.sizes = "32M,64M,-0";
  EXPECT_THROW(ks::driver::plan_sweep(request, notices), ks::driver::UsageError);
  request.sizes = "32M,64M";
  request.allow_cap = true;
  notices.clear();
  // Both run as 32M: one configuration, and a notice that 64M is capped.
  EXPECT_EQ(ks::driver::plan_sweep(request, notices).size(), 1u);
  EXPECT_EQ(notices.size(), 1u);
}

// A plan at the limit is made, and every size makes one configuration: repeats of a size
// (after a program's cap) are dropped whatever their number.
TEST(Planning, ALargePlanUpToTheLimit) {
  ks::driver::SweepRequest request;
  request.programs = {"plus-static"};
  request.sizes = "1..499999+1,1..10";
  request.repeat = 1;
  request.warmup = 1;
  std::vector<std::string> notices;
  const auto configs = ks::driver::plan_sweep(request, notices);
  ASSERT_EQ(configs.size(), 499999u);
  EXPECT_EQ(*configs.front().size, 1u);
  EXPECT_EQ(*configs.back().size, 499999u);
  EXPECT_EQ(ks::driver::interleaved_plan(configs).runs.size(), 999998u);

  // 433 sizes up to the cap of 33554432, 45568 above it that all run as the cap.
  request.sizes = "33554000..33600000+1";
  request.allow_cap = true;
  notices.clear();
  EXPECT_EQ(ks::driver::plan_sweep(request, notices).size(), 433u);
  // A notice for the first few sizes capped and one for the rest, not one per size.
  ASSERT_EQ(notices.size(), 4u);
  EXPECT_NE(notices.back().find("45565 more sizes will be capped"), std::string::npos)
      << notices.back();
}

TEST(Planning, AProgramNamedTwiceRunsOnceWithANotice) {
  ks::driver::SweepRequest request;
  request.programs = {"plus-static", "yupd-o2", "plus-static", "plus-static"};
  request.sizes = "10,20";
  std::vector<std::string> notices;
  const auto configs = ks::driver::plan_sweep(request, notices);
  ASSERT_EQ(configs.size(), 4u);  // two programs at two sizes
  EXPECT_EQ(configs[0].program->name, "plus-static");
  EXPECT_EQ(configs[2].program->name, "yupd-o2");
  EXPECT_EQ(notices, std::vector<std::string>{"plus-static is named more than once: it runs once"});
}

// A benchmark at size 0 runs, but times nothing: said once per program.
TEST(Planning, ASizeOfZeroIsToldToTimeNothing) {
  ks::driver::SweepRequest request;
  request.programs = {"plus-static", "mprod-heap"};
  request.sizes = "0,10";
  std::vector<std::string> notices;
  ASSERT_EQ(ks::driver::plan_sweep(request, notices).size(), 4u);
  EXPECT_EQ(notices,
            (std::vector<std::string>{
                "plus-static: at size 0 its kernel has nothing to do, so nothing is timed but the "
                "clock itself",
                "mprod-heap: at size 0 its kernel has nothing to do, so nothing is timed but the "
                "clock itself"}));
}

// The tour at full scale reaches 95 % intervals for every benchmark; a quick look keeps at
// least three runs of each (an interval still), and every demonstration keeps one.
TEST(Planning, TheTourKeepsIntervalsAtAnyScale) {
  for (const double scale : {1.0, 0.2, 0.01}) {
    std::vector<std::string> notices;
    const std::vector<ks::driver::Config> configs =
        ks::driver::plan_tour(notices, std::uint64_t{64} << 30, scale, {});
    ASSERT_FALSE(configs.empty());
    for (const ks::driver::Config& c : configs) {
      const bool benchmark = c.program->kind == ks::driver::Kind::kBenchmark;
      const int least = !benchmark ? 1 : scale == 1.0 ? ks::driver::kDefaultRepeat : 3;
      EXPECT_GE(c.repeat, least) << c.label() << " at scale " << scale;
    }
  }
}

}  // namespace
