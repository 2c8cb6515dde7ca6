// What sweep, tour and map share around the store: the command that resumes, the estimate of a
// plan's time, and the result set a store's contents render to.
#include <gtest/gtest.h>

#include <fstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "driver/session/measure.h"
#include "driver/tests/support/configs.h"
#include "driver/tests/support/run_results.h"

namespace {

namespace kd = ks::driver;

TEST(Resume, TheCommandThatResumesReadsBackAsTheSameWords) {
  struct Case {
    std::vector<std::string> command;
    const char* resume;
  };
  const Case cases[] = {
      {{"kernelscope", "sweep", "plus-static", "--out", "d"},
       "kernelscope sweep plus-static --out d --resume"},
      {{"kernelscope", "sweep", "plus-static", "--force", "--out", "d"},
       "kernelscope sweep plus-static --out d --resume"},
      {{"bin/kernelscope", "tour", "--resume"}, "bin/kernelscope tour --resume"},
      {{"kernelscope", "sweep", "mprod-team", "--schedules", "static;dynamic,4", "--out", "my dir"},
       "kernelscope sweep mprod-team --schedules 'static;dynamic,4' --out 'my dir' --resume"},
      {{"kernelscope", "sweep", "plus-static", "--out", "it's", "--sizes", ""},
       "kernelscope sweep plus-static --out 'it'\\''s' --sizes '' --resume"},
      {{"kernelscope", "sweep", "plus-static", "--out", "$HOME/`x`"},
       "kernelscope sweep plus-static --out '$HOME/`x`' --resume"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kd::resume_command(c.command), c.resume);
  }
}

TEST(Estimate, FromEarlierRunsOrTheCatalogueCostModels) {
  kd::Config small = kd::test::config("plus-static", 1024, 0);
  small.repeat = 2;
  small.warmup = 1;
  kd::Config big = kd::test::config("mprod-heap", 1000, 0);  // 2e9 flop a run
  big.repeat = 1;
  const kd::Plan plan = kd::interleaved_plan({small, big});
  ASSERT_EQ(plan.runs.size(), 4u);
  const std::vector<std::size_t> all = {0, 1, 2, 3};
  EXPECT_EQ(kd::plan_line(plan, all, {}),
            "4 runs planned (2 configurations); about 2.0 s (from the catalogue's cost models)");
  EXPECT_EQ(kd::plan_line(plan, all, {{big.label(), 30.0}, {small.label(), 1.0}}),
            "4 runs planned (2 configurations); about 33.0 s (from earlier runs)");
  EXPECT_EQ(kd::plan_line(plan, {1, 2}, {{small.label(), 10.0}}),
            "2 of 4 planned runs to go (2 configurations); about 12.0 s (from earlier runs and the "
            "catalogue's cost models)");
}

TEST(Estimate, ByTheMachinesCeilingsWhenKnown) {
  const kd::Ceilings ceilings = [] {
    std::ifstream in(std::string(KS_DRIVER_TEST_DATA) + "/probe.json");
    return kd::parse_ceilings(nlohmann::json::parse(in));
  }();
  const kd::Config half = kd::test::config("mprod-heap", 500, 0);
  const kd::Config whole = kd::test::config("mprod-heap", 1000, 0);
  const kd::Config demo = kd::test::config("chunk-static", 16, 2);
  const double at_half = kd::expected_seconds(half, {}, &ceilings);
  const double at_whole = kd::expected_seconds(whole, {}, &ceilings);
  // The products' work grows as N^3: eight times the work, at least six times the time (the
  // run's own cost and its memory's first touch grow less).
  EXPECT_GT(at_whole, 6 * at_half) << at_half << " " << at_whole;
  EXPECT_LT(at_whole, 8.5 * at_half) << at_half << " " << at_whole;
  // Not the fixed modest rates: this machine's ceilings.
  EXPECT_NE(at_whole, kd::expected_seconds(whole, {}));
  // Earlier runs still come first, and what the model has no price for keeps its guess.
  EXPECT_EQ(kd::expected_seconds(whole, {{whole.label(), 30.0}}, &ceilings), 30.0);
  EXPECT_EQ(kd::expected_seconds(demo, {}, &ceilings), kd::expected_seconds(demo, {}));
  kd::Config one = whole;
  one.repeat = 1;
  const kd::Plan plan = kd::interleaved_plan({one});
  std::vector<std::size_t> todo(plan.runs.size());
  for (std::size_t i = 0; i < todo.size(); ++i) {
    todo[i] = i;
  }
  EXPECT_NE(
      kd::plan_line(plan, todo, {}, &ceilings).find("(from the model and this machine's ceilings)"),
      std::string::npos);
}

// chunk-static 2 on one thread: every iteration on thread 0, main's suma the last running sum.
std::string one_thread_chunks() {
  std::string out;
  int sum = 0;
  for (int i = 0; i < 16; ++i) {
    sum += i;
    out += fmt::format(" thread 0 suma a[{}] suma={} \n", i, sum);
  }
  return out + fmt::format("Fuera de 'parallel for' suma={}\n", sum);
}

TEST(ResultSet, MapsAndMissingProgramsComeFromTheStoreOfATourOrAMap) {
  kd::Config demo;
  demo.program = kd::find_program("chunk-static");
  demo.chunk = 2;
  demo.threads = 1;
  demo.repeat = 2;
  kd::StoreContents contents;
  contents.plan = kd::interleaved_plan({kd::test::config("plus-static", 10, 0), demo});
  contents.context = {{"build", {{"missing", {"mprod-heap", "yupd-o0"}}}}};
  for (std::size_t seq = 0; seq < contents.plan.runs.size(); ++seq) {
    kd::RunRecord r = kd::test::record(contents.plan.runs[seq].config, 0.001);
    r.round = contents.plan.runs[seq].round;
    if (r.config == 1) {
      r.result = kd::test::exited(one_thread_chunks());
    }
    contents.runs.push_back({seq, "here", r, {}});
  }
  for (const char* kind : {"sweep", "tour", "map"}) {
    SCOPED_TRACE(kind);
    contents.kind = kind;
    const kd::ResultSet results = kd::result_set(contents);
    EXPECT_EQ(results.runs.size(), 3u + 2u);
    EXPECT_EQ(results.summary.size(), 2u);
    EXPECT_EQ(results.missing, (std::vector<std::string>{"mprod-heap", "yupd-o0"}));
    if (contents.kind == "sweep") {
      EXPECT_TRUE(results.maps.empty());  // a sweep draws none
    } else {
      ASSERT_EQ(results.maps.size(), 1u);
      EXPECT_EQ(results.maps[0].config, 1u);
      EXPECT_TRUE(results.maps[0].trace.problems.empty()) << results.maps[0].trace.problems[0];
    }
  }
}

}  // namespace
