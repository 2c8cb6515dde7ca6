// Planning a sweep: bad requests refused before anything runs, configurations crossed.
#include <gtest/gtest.h>

#include "driver/plan.h"

namespace {

TEST(Planning, BadRequestsAreRefusedBeforeAnythingRuns) {
  struct Case {
    std::vector<std::string> programs;
    std::optional<std::string> sizes;
    std::optional<std::string> threads;
    const char* why_part;
  };
  const Case cases[] = {
      {{"plus-nothing"}, std::nullopt, std::nullopt, "unknown program 'plus-nothing'"},
      {{}, std::nullopt, std::nullopt, "no program"},
      {{"plus-static"}, "1K..", std::nullopt, "malformed size list"},
      {{"plus-static"}, "64M", std::nullopt, "above its cap of 33554432"},
      {{"plus-heap"}, "4294967295", std::nullopt, "needs 96.0 GiB"},
      {{"yupd-o2"}, "0,10", std::nullopt, "at least 1"},
      {{"yupd-o2"}, "3G", std::nullopt, "wraps"},
      {{"plus-parloop"}, "1K", "0", "malformed thread list"},
  };
  for (const Case& c : cases) {
    ks::driver::SweepRequest request;
    request.programs = c.programs;
    request.sizes = c.sizes;
    request.threads = c.threads;
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
  ASSERT_EQ(notices.size(), 1u);  // greet-team takes no size
  EXPECT_NE(notices[0].find("greet-team"), std::string::npos);

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

}  // namespace
