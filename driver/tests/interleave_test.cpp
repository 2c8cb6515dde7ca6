// The runner's interleaving: every round runs each configuration once, in a rotated order.
#include <gtest/gtest.h>

#include "driver/runner.h"
#include "driver/tests/configs.h"

namespace {

using ks::driver::test::config;

TEST(Interleaving, EveryRoundRunsEachConfigurationOnce) {
  // Programs that cannot be found fail to start; the order of the attempts is what matters.
  std::vector<ks::driver::Config> configs = {config("plus-static", 10, 0),
                                             config("plus-heap", 10, 0), config("yupd-o0", 10, 0)};
  configs[0].warmup = 1;
  configs[2].repeat = 1;
  ks::driver::RunnerOptions options;
  options.bin_dir = "/nonexistent";
  std::vector<std::string> order;
  options.on_run = [&](std::size_t, std::size_t, const std::string& label) {
    order.push_back(label.substr(0, label.find(' ')));
  };
  const auto runs = ks::driver::run_interleaved(configs, options);
  ASSERT_EQ(runs.size(), 4u + 3u + 1u);
  const std::vector<std::string> expected = {"plus-static", "plus-heap",   "yupd-o0",
                                             "plus-heap",   "plus-static", "plus-static",
                                             "plus-heap",   "plus-static"};
  EXPECT_EQ(order, expected);
  EXPECT_TRUE(runs[0].warmup);
  for (const auto& r : runs) {
    EXPECT_EQ(r.outcome, ks::driver::Outcome::kFailed);
    EXPECT_NE(r.why.find("not started"), std::string::npos) << r.why;
  }
}

}  // namespace
