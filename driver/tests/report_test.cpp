// Statistics, summaries with rates and speedups, and the files a sweep writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "driver/report.h"
#include "driver/stats.h"
#include "driver/sweep.h"

namespace {

TEST(Stats, MedianMeanSpreadOfMeasurements) {
  struct Case {
    std::vector<double> values;
    double min, median, mean, max, stddev;
  };
  const Case cases[] = {
      {{3}, 3, 3, 3, 3, 0},
      {{4, 1, 3, 2}, 1, 2.5, 2.5, 4, std::sqrt(5.0 / 3)},
      {{5, 1, 9}, 1, 5, 5, 9, 4},
      {{2, NAN, 2}, 2, 2, 2, 2, 0},  // unmeasured runs do not count
  };
  for (const Case& c : cases) {
    const ks::driver::Stats s = ks::driver::summarize(c.values);
    EXPECT_DOUBLE_EQ(s.min, c.min);
    EXPECT_DOUBLE_EQ(s.median, c.median);
    EXPECT_DOUBLE_EQ(s.mean, c.mean);
    EXPECT_DOUBLE_EQ(s.max, c.max);
    EXPECT_NEAR(s.stddev, c.stddev, 1e-12);
  }
  EXPECT_EQ(ks::driver::summarize({}).count, 0u);
  EXPECT_EQ(ks::driver::summarize({NAN}).count, 0u);
}

ks::driver::Config config(const char* program, std::optional<std::uint64_t> size, int threads) {
  ks::driver::Config c;
  c.program = ks::driver::find_program(program);
  c.size = size;
  c.threads = threads;
  c.repeat = 3;
  return c;
}

ks::driver::RunRecord record(std::size_t config, double printed, bool warmup = false,
                             ks::driver::Outcome outcome = ks::driver::Outcome::kValid) {
  ks::driver::RunRecord r;
  r.config = config;
  r.warmup = warmup;
  r.outcome = outcome;
  r.printed_seconds = printed;
  r.wall_seconds = printed + 0.001;
  return r;
}

TEST(Summary, RatesFromTheCostModelAndSpeedupsFromTheBaselines) {
  const std::vector<ks::driver::Config> configs = {
      config("plus-static", 1000000, 0),    // 0: the family's sequential baseline
      config("plus-parloop", 1000000, 1),   // 1
      config("plus-parloop", 1000000, 2),   // 2
      config("plus-quarters", 1000000, 2),  // 3: no one-thread run: against plus-static
      config("mprod-static", 20000, 0),     // 4: capped to 10000; no baseline measured
  };
  const std::vector<ks::driver::RunRecord> runs = {
      record(0, 0.004),
      record(0, 0.002),
      record(0, 99, true),  // warm-up: not counted
      record(0, 0.003),
      record(1, 0.006),
      record(2, 0.003),
      record(2, 50, false, ks::driver::Outcome::kInvalid),  // invalid: counted, not measured
      record(3, 0.001),
      record(4, 100),
  };
  const auto rows = ks::driver::summarize_runs(configs, runs);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0].runs, 3);
  EXPECT_EQ(rows[0].valid, 3);
  EXPECT_DOUBLE_EQ(rows[0].stats.median, 0.003);
  EXPECT_DOUBLE_EQ(rows[0].gb_per_s, 24e6 / 0.003 / 1e9);
  EXPECT_DOUBLE_EQ(rows[0].gops_per_s, 1e6 / 0.003 / 1e9);
  EXPECT_DOUBLE_EQ(rows[0].speedup, 1.0);
  EXPECT_DOUBLE_EQ(rows[1].speedup, 1.0);
  EXPECT_EQ(rows[2].runs, 2);
  EXPECT_EQ(rows[2].valid, 1);
  EXPECT_DOUBLE_EQ(rows[2].speedup, 2.0);  // against plus-parloop on one thread
  EXPECT_NE(rows[2].speedup_vs.find("plus-parloop"), std::string::npos);
  EXPECT_DOUBLE_EQ(rows[3].speedup, 3.0);  // against plus-static
  EXPECT_NE(rows[3].speedup_vs.find("plus-static"), std::string::npos);
  EXPECT_DOUBLE_EQ(rows[4].gops_per_s, 2e12 / 100 / 1e9);  // the capped size counts
  EXPECT_TRUE(std::isnan(rows[4].speedup));
  // 2, 3 and 4 ms: a standard deviation of a third of the median is noise; one run says none.
  EXPECT_TRUE(rows[0].noisy);
  EXPECT_FALSE(rows[2].noisy);
}

TEST(Reports, CsvFieldsAreQuotedWhenTheyMustBe) {
  EXPECT_EQ(ks::driver::csv_field("plain"), "plain");
  EXPECT_EQ(ks::driver::csv_field("dynamic,4"), "\"dynamic,4\"");
  EXPECT_EQ(ks::driver::csv_field("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(ks::driver::csv_field("two\nlines"), "\"two\nlines\"");
}

TEST(Reports, CsvHasOneRowPerRunWithEveryField) {
  std::vector<ks::driver::Config> configs = {config("mprod-team", 100, 2)};
  configs[0].schedule = "dynamic,4";
  ks::driver::RunRecord bad = record(0, NAN, false, ks::driver::Outcome::kInvalid);
  bad.printed_seconds.reset();
  bad.why = "line 1: wrong, \"really\"";
  const std::string csv = ks::driver::runs_csv(configs, {record(0, 0.5), bad});
  std::vector<std::string> lines;
  std::stringstream ss(csv);
  for (std::string line; std::getline(ss, line);) {
    lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].substr(0, 18), "run,round,warmup,p");
  EXPECT_NE(
      lines[1].find(",mprod-team,matrix-product,benchmark,100,100,2,\"dynamic,4\",,100,valid,"),
      std::string::npos)
      << lines[1];
  EXPECT_NE(lines[2].find(",invalid,\"line 1: wrong, \"\"really\"\"\",,"), std::string::npos)
      << lines[2];
}

TEST(Files, WrittenWholeOrNotAtAll) {
  const std::string dir = ::testing::TempDir() + "ks-files-" + std::to_string(getpid());
  std::filesystem::remove_all(dir);
  ks::driver::prepare_output_dir(dir + "/a/b");
  ks::driver::write_file_atomic(dir + "/a/b/x.txt", "contents\n");
  std::ifstream in(dir + "/a/b/x.txt");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(text, "contents\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir + "/a/b"), {}), 1)
      << "no temporary file is left behind";
  // A folder below a plain file cannot be made; a file cannot be written where there is no
  // folder.
  EXPECT_THROW(ks::driver::prepare_output_dir(dir + "/a/b/x.txt/c"), ks::driver::UsageError);
  EXPECT_THROW(ks::driver::write_file_atomic(dir + "/nowhere/y.txt", "z"), std::runtime_error);
  EXPECT_FALSE(std::filesystem::exists(dir + "/nowhere"));
  std::filesystem::remove_all(dir);
}

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
