// The runner's interleaving: every round runs each configuration once, in a rotated order.
#include <gtest/gtest.h>
#include <unistd.h>

#include "driver/run/runner.h"
#include "driver/tests/support/configs.h"

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

// The runner follows the plan it is given: only the planned runs asked for, in their order;
// a configuration that timed out earlier has its runs skipped; a readable stop descriptor ends
// the runs before the next one starts, without recording it.
TEST(Interleaving, RunsWhatThePlanLacksInItsOrder) {
  std::vector<ks::driver::Config> configs = {config("plus-static", 10, 0),
                                             config("plus-heap", 10, 0)};
  const ks::driver::Plan plan = ks::driver::interleaved_plan(configs);
  ASSERT_EQ(plan.runs.size(), 6u);
  struct Case {
    const char* what;
    std::vector<std::size_t> todo;
    std::vector<bool> timed_out;
    bool stop;
    std::vector<std::size_t> recorded;
    std::size_t skipped;
  };
  const Case cases[] = {
      {"everything", {0, 1, 2, 3, 4, 5}, {}, false, {0, 1, 2, 3, 4, 5}, 0},
      {"what is missing", {1, 4, 5}, {}, false, {1, 4, 5}, 0},
      {"after a timeout", {2, 3, 4, 5}, {false, true}, false, {2, 3, 4, 5}, 2},
      {"stopped", {0, 1, 2}, {}, true, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    if (c.stop) {
      ASSERT_EQ(write(stop[1], "", 1), 1);
    }
    ks::driver::RunnerOptions options;
    options.bin_dir = "/nonexistent";
    options.stop_fd = stop[0];
    std::vector<std::size_t> recorded;
    std::size_t skipped = 0;
    options.on_record = [&](std::size_t seq, const ks::driver::RunRecord& r, const ks::Counters&) {
      recorded.push_back(seq);
      EXPECT_EQ(r.config, plan.runs[seq].config);
      EXPECT_EQ(r.round, plan.runs[seq].round);
      skipped += r.outcome == ks::driver::Outcome::kSkipped ? 1 : 0;
      // A run that failed keeps what the program gave, for the store.
      EXPECT_EQ(r.result.has_value(), r.outcome != ks::driver::Outcome::kSkipped);
    };
    EXPECT_EQ(ks::driver::run_plan(plan, c.todo, c.timed_out, options), !c.stop);
    EXPECT_EQ(recorded, c.recorded);
    EXPECT_EQ(skipped, c.skipped);
    close(stop[0]);
    close(stop[1]);
  }
}

}  // namespace
