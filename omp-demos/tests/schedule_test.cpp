// The first/last-private sums: carry-inout over the static blocks, and the three chunked
// schedules. Every line is checked against the iteration it names, each thread's running sum,
// the schedule's rule, and the value written back by the thread of the last iteration.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "omp-demos/tests/demo_checks.h"
#include "tests/support/program_test.h"

namespace {

using demos::test::expect_carry;
using demos::test::run_demo;
using demos::test::Schedule;
using ks::test::ExitedWith;
using ks::test::kTeamSizes;

// The threads that printed at least one iteration line.
std::set<std::int64_t> active_threads(const std::string& out) {
  std::set<std::int64_t> threads;
  for (const std::string& line : ks::test::lines(out)) {
    if (line.rfind(" thread ", 0) == 0) {
      threads.insert(std::stoll(line.substr(8)));
    }
  }
  return threads;
}

TEST(CarryInout, EachThreadSumsItsBlockAndTheLastOneIsWrittenBack) {
  for (int T : kTeamSizes) {
    SCOPED_TRACE("threads=" + std::to_string(T));
    const ks::RunResult r = run_demo("carry-inout", {"9"}, T);
    ASSERT_FALSE(r.timed_out) << "hung: the remaining cases are skipped";
    expect_carry(r, {Schedule::kBlock, 7, 0}, T);
    EXPECT_EQ(r.err, "");
    // The documented outside values: 21, 15, 11, 6, and 6 again for 8 threads.
    const auto all = ks::test::lines(r.out);
    ASSERT_GE(all.size(), 2u);
    const char* expected[] = {"", "21", "15", "11", "6", "6", "6", "6", "6"};
    EXPECT_EQ(all[all.size() - 2], "");
    EXPECT_EQ(all.back(), std::string("Fuera de la construcción parallel suma=") + expected[T]);
  }
  EXPECT_EQ(run_demo("carry-inout", {}, 1).out,
            " thread 0 suma a[0] suma=0 \n thread 0 suma a[1] suma=1 \n"
            " thread 0 suma a[2] suma=3 \n thread 0 suma a[3] suma=6 \n"
            " thread 0 suma a[4] suma=10 \n thread 0 suma a[5] suma=15 \n"
            " thread 0 suma a[6] suma=21 \n\nFuera de la construcción parallel suma=21\n");
}

TEST(ChunkStatic, ChunksAreDealtOutInTurnForEveryChunkSize) {
  for (const std::int64_t chunk : {1, 2, 3, 4, 5, 7, 8, 15, 16, 17, 100}) {
    for (int T : kTeamSizes) {
      SCOPED_TRACE("chunk=" + std::to_string(chunk) + " threads=" + std::to_string(T));
      const ks::RunResult r = run_demo("chunk-static", {std::to_string(chunk), "x"}, T);
      ASSERT_FALSE(r.timed_out) << "hung: the remaining cases are skipped";
      expect_carry(r, {Schedule::kCyclic, 16, chunk}, T);
      EXPECT_EQ(r.err, "");
    }
  }
  // Documented: two threads, chunk 2.
  const auto all = ks::test::lines(run_demo("chunk-static", {"2"}, 2).out);
  std::vector<std::string> thread1;
  for (const std::string& line : all) {
    if (line.rfind(" thread 1 ", 0) == 0) {
      thread1.push_back(line.substr(line.rfind('=') + 1));
    }
  }
  EXPECT_EQ(thread1,
            (std::vector<std::string>{"2 ", "5 ", "11 ", "18 ", "28 ", "39 ", "53 ", "68 "}));
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.back(), "Fuera de 'parallel for' suma=68");
}

TEST(ChunkStatic, ChunksWhoseStartsOverflow32BitsStillRunEachIterationOnce) {
  // T * chunk (or t * chunk) beyond 2^31 - 1 for some team size from 2 to 8: one chunk of all
  // sixteen iterations, run by thread 0, and nothing else.
  for (const std::int64_t chunk : {2147483647LL, 2147483646LL, 1073741824LL, 1073741823LL,
                                   715827883LL, 536870912LL, 268435456LL, 65536LL}) {
    for (int T = 1; T <= 8; ++T) {
      SCOPED_TRACE("chunk=" + std::to_string(chunk) + " threads=" + std::to_string(T));
      const ks::RunResult r = run_demo("chunk-static", {std::to_string(chunk)}, T);
      ASSERT_FALSE(r.timed_out) << "hung: the remaining cases are skipped";
      expect_carry(r, {Schedule::kCyclic, 16, chunk}, T);
      EXPECT_EQ(active_threads(r.out), (std::set<std::int64_t>{0}));
      ASSERT_FALSE(r.out.empty());
      EXPECT_NE(r.out.find("Fuera de 'parallel for' suma=120\n"), std::string::npos);
    }
  }
}

TEST(ChunkDynamic, ChunksRunWholeAndTheLastIterationsThreadWritesBack) {
  struct Case {
    std::vector<std::string> args;
    std::int64_t n;
    std::int64_t chunk;
  };
  const Case cases[] = {
      {{"5", "1"}, 5, 1},           {{"10", "3"}, 10, 3},
      {{"16", "2"}, 16, 2},         {{"30", "4"}, 30, 4},
      {{"199", "7"}, 199, 7},       {{"200", "1"}, 200, 1},
      {{"201", "9"}, 200, 9},       {{"2147483647", "50"}, 200, 50},
      {{"7x", "2y"}, 7, 2},         {{"0", "3"}, 0, 3},
      {{"-1", "3"}, 0, 3},          {{"abc", "2"}, 0, 2},
      {{"-2147483648", "1"}, 0, 1}, {{"4294967297", "1"}, 1, 1},
  };
  for (const Case& c : cases) {
    for (int T : kTeamSizes) {
      SCOPED_TRACE("chunk-dynamic " + c.args[0] + " " + c.args[1] +
                   " threads=" + std::to_string(T));
      const ks::RunResult r = run_demo("chunk-dynamic", c.args, T);
      ASSERT_FALSE(r.timed_out) << "hung: the remaining cases are skipped";
      expect_carry(r, {Schedule::kDynamic, c.n, c.chunk}, T);
      EXPECT_EQ(r.err, "");
    }
  }
}

TEST(ChunkGuided, ChunksShrinkButNeverBelowTheChunkSize) {
  struct Case {
    std::vector<std::string> args;
    std::int64_t n;
    std::int64_t chunk;
  };
  const Case cases[] = {
      {{"5", "1"}, 5, 1},   {{"10", "1"}, 10, 1},         {{"20", "1"}, 20, 1},
      {{"20", "2"}, 20, 2}, {{"17", "3"}, 17, 3},         {{"20", "6"}, 20, 6},
      {{"21", "4"}, 20, 4}, {{"2147483647", "1"}, 20, 1}, {{"0", "1"}, 0, 1},
      {{"-7", "2"}, 0, 2},  {{"abc", "1"}, 0, 1},
  };
  for (const Case& c : cases) {
    for (int T : kTeamSizes) {
      SCOPED_TRACE("chunk-guided " + c.args[0] + " " + c.args[1] + " threads=" + std::to_string(T));
      const ks::RunResult r = run_demo("chunk-guided", c.args, T);
      ASSERT_FALSE(r.timed_out) << "hung: the remaining cases are skipped";
      expect_carry(r, {Schedule::kGuided, c.n, c.chunk}, T);
      EXPECT_EQ(r.err, "");
    }
  }
}

TEST(ChunkDynamic, AChunkOfAtLeastNIsOneChunkForTheWholeTeam) {
  struct Case {
    std::string program;
    Schedule schedule;
    std::string n_arg;
    std::int64_t n;
    std::string chunk;
  };
  const Case cases[] = {
      {"chunk-dynamic", Schedule::kDynamic, "200", 200, "200"},
      {"chunk-dynamic", Schedule::kDynamic, "500", 200, "300"},
      {"chunk-dynamic", Schedule::kDynamic, "5", 5, "2147483647"},
      {"chunk-dynamic", Schedule::kDynamic, "200", 200, "1073741824"},
      {"chunk-guided", Schedule::kGuided, "20", 20, "20"},
      {"chunk-guided", Schedule::kGuided, "25", 20, "2147483647"},
      {"chunk-guided", Schedule::kGuided, "10", 10, "715827883"},
  };
  for (const Case& c : cases) {
    for (int T : kTeamSizes) {
      SCOPED_TRACE(c.program + " " + c.n_arg + " " + c.chunk + " threads=" + std::to_string(T));
      const ks::RunResult r = run_demo(c.program, {c.n_arg, c.chunk}, T);
      ASSERT_FALSE(r.timed_out) << "hung: the remaining cases are skipped";
      expect_carry(r, {c.schedule, c.n, std::stoll(c.chunk)}, T);
      EXPECT_EQ(active_threads(r.out).size(), 1u);
      const auto all = ks::test::lines(r.out);
      ASSERT_FALSE(all.empty());
      EXPECT_EQ(all.back(), "Fuera de 'parallel for' suma=" + std::to_string(c.n * (c.n - 1) / 2));
    }
  }
}

TEST(ChunkPrograms, MissingArgumentsAndChunksBelowOneAreUsageErrors) {
  const std::string kStatic = "\nFalta chunk \n";
  const std::string kDynamic = "\nFalta iteraciones o chunk \n";
  const std::string kGuided = "\nFalta iteraciones y/o chunk \n";
  struct Case {
    std::string program;
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {"chunk-static", {}, kStatic},
      {"chunk-static", {"0"}, kStatic},
      {"chunk-static", {"-1"}, kStatic},
      {"chunk-static", {"abc"}, kStatic},
      {"chunk-static", {"-2147483648"}, kStatic},
      {"chunk-static", {"4294967296"}, kStatic},  // wraps to 0
      {"chunk-static", {"2147483648"}, kStatic},  // wraps to -2^31
      {"chunk-dynamic", {}, kDynamic},
      {"chunk-dynamic", {"10"}, kDynamic},
      {"chunk-dynamic", {"10", "0"}, kDynamic},
      {"chunk-dynamic", {"10", "-1"}, kDynamic},
      {"chunk-dynamic", {"10", "abc"}, kDynamic},
      {"chunk-dynamic", {"0", "0"}, kDynamic},
      {"chunk-guided", {}, kGuided},
      {"chunk-guided", {"10"}, kGuided},
      {"chunk-guided", {"10", "0"}, kGuided},
      {"chunk-guided", {"10", "-5"}, kGuided},
      {"chunk-guided", {"20", "x"}, kGuided},
  };
  // Standard output plays no part: the status stays 255 when it cannot be written.
  const ks::StdoutMode modes[] = {ks::StdoutMode::kCapture, ks::StdoutMode::kDevFull,
                                  ks::StdoutMode::kClosedPipe};
  for (const Case& c : cases) {
    for (int T : {1, 3}) {
      for (const auto mode : modes) {
        std::string trace = c.program;
        for (const auto& a : c.args) {
          trace += " '" + a + "'";
        }
        SCOPED_TRACE(trace + " threads=" + std::to_string(T) +
                     " stdout mode=" + std::to_string(static_cast<int>(mode)));
        ks::RunOptions options;
        options.stdout_mode = mode;
        const ks::RunResult r = run_demo(c.program, c.args, T, options);
        ASSERT_FALSE(r.timed_out) << "hung: the remaining cases are skipped";
        EXPECT_TRUE(ExitedWith(r, 255));
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out, "");
      }
    }
  }
}

}  // namespace
