// The machine as the runs begin: when its load or a team's size makes the times doubtful.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "driver/analysis/context.h"
#include "driver/run/machine.h"
#include "driver/tests/support/configs.h"

namespace {

using ks::driver::test::config;

TEST(Machine, TheLoadIsHighWhenTooFewCpusAreLeftForTheLargestTeam) {
  struct Case {
    double load;
    int usable;
    std::vector<int> teams;  // plus-parloop at these team sizes; 0: plus-static
    bool high;
  };
  const Case cases[] = {
      {0.4, 2, {1, 2}, false},  // two CPUs for a team of two: half a CPU of slack
      {0.6, 2, {1, 2}, true},
      {1.4, 2, {0}, false},  // one sequential program leaves a CPU to spare
      {1.6, 2, {0}, true},
      {0.6, 8, {16}, true},  // a team beyond the CPUs needs all of them
      {7.4, 64, {1, 2, 4}, false},
      {60.6, 64, {1, 2, 4}, true},
  };
  for (const Case& c : cases) {
    std::vector<ks::driver::Config> configs;
    for (int t : c.teams) {
      configs.push_back(config(t == 0 ? "plus-static" : "plus-parloop", 1000, t));
    }
    EXPECT_EQ(ks::driver::load_is_high(c.load, c.usable, configs), c.high)
        << c.load << " on " << c.usable << " CPUs";
  }
}

TEST(Machine, DemonstrationsAreNotTimedAndRaiseNoWarning) {
  const std::vector<ks::driver::Config> demos = {config("greet-team", std::nullopt, 8)};
  const nlohmann::json conditions = ks::driver::measuring_conditions(demos, 5.0, 2);
  EXPECT_TRUE(conditions["warnings"].empty()) << conditions;
  const std::vector<ks::driver::Config> timed = {config("plus-parloop", 1000, 3),
                                                 config("plus-parloop", 1000, 4),
                                                 config("plus-parloop", 2000, 4)};
  const nlohmann::json over = ks::driver::measuring_conditions(timed, 0.0, 2);
  ASSERT_EQ(over["warnings"].size(), 1u) << over;
  EXPECT_NE(over["warnings"][0].get<std::string>().find("teams of 3,4 threads are larger than "
                                                        "the 2 usable CPUs"),
            std::string::npos)
      << over;
  EXPECT_EQ(ks::driver::condition_warnings(ks::driver::read_machine_context({{"conditions", over}}))
                .size(),
            1u);
  EXPECT_TRUE(
      ks::driver::condition_warnings(ks::driver::read_machine_context({{"cpu", {}}})).empty());
}

TEST(Machine, TheLoadIsReadFromTheFileTheEnvironmentNames) {
  const std::string file = ::testing::TempDir() + "ks-loadavg-" + std::to_string(getpid());
  const char* before = std::getenv("KERNELSCOPE_LOADAVG_FILE");
  const std::string saved = before != nullptr ? before : "";
  struct Case {
    const char* text;
    std::optional<double> load;
  };
  const Case cases[] = {{"3.25 2.00 1.00 2/300 999\n", 3.25}, {"garbage\n", std::nullopt}};
  for (const Case& c : cases) {
    std::ofstream(file) << c.text;
    setenv("KERNELSCOPE_LOADAVG_FILE", file.c_str(), 1);
    EXPECT_EQ(ks::driver::load_average(), c.load) << c.text;
  }
  unsetenv("KERNELSCOPE_LOADAVG_FILE");
  EXPECT_TRUE(ks::driver::load_average().has_value());  // /proc/loadavg
  if (before != nullptr) {
    setenv("KERNELSCOPE_LOADAVG_FILE", saved.c_str(), 1);
  }
  std::remove(file.c_str());
}

}  // namespace
