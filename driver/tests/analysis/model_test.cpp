// The model's arithmetic on fixed inputs: what each program's timed interval does (bytes,
// fresh pages, OpenMP constructs), priced with the fixed ceilings of driver/tests/data, and the
// explanation chosen from the terms.
#include <gtest/gtest.h>

#include <fstream>

#include "driver/analysis/model.h"
#include "driver/catalogue/catalogue.h"
#include "driver/tests/support/configs.h"

namespace {

using ks::driver::test::config;

const ks::driver::Ceilings& ceilings() {
  static const ks::driver::Ceilings c = [] {
    std::ifstream in(std::string(KS_DRIVER_TEST_DATA) + "/probe.json");
    return ks::driver::parse_ceilings(nlohmann::json::parse(in));
  }();
  return c;
}

TEST(Model, FreshPagesAsEachProgramTouchesThem) {
  struct Case {
    const char* program;
    double n;
    double pages;
  };
  const Case cases[] = {
      // v3 of 8N bytes, never written before the kernel: every page of it.
      {"plus-static", 8388608, 16384},
      {"plus-heap", 8388608, 16384},
      {"plus-parloop", 1000, 2},  // 8000 bytes
      {"plus-quarters", 65536, 128},
      // Static rows of 8N bytes, 80000 bytes apart. N = 512: rows of exactly one page; a row
      // starts 2176 bytes further into a page than the one before (80000 = 19 pages + 2176),
      // so only every 32nd starts on a page boundary: 16 rows of one page, 496 of two.
      {"mprod-static", 512, 16 + 496 * 2},
      // N = 10000: the rows are back to back, 8e8 bytes, 195312.5 pages.
      {"mprod-unroll4", 10000, 195313},
      // Heap rows between rows the fill wrote: the whole pages inside each. 8192-byte rows hold
      // one on average; rows from 128 KiB up are mappings of their own (33 pages each with the
      // allocator's header).
      {"mprod-heap", 1024, 1024},
      {"mprod-heap", 100, 0},
      {"mprod-heap", 16384, 16384.0 * 33},
      // mprod-team zeroes A in its fill; the update's vectors are both filled.
      {"mprod-team", 1024, 0},
      {"yupd-o3", 10000000, 0},
      // R, 40000 int32, untouched before the kernel: 160000 bytes, 40 pages.
      {"recmin-base", 0, 40},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(ks::driver::fresh_pages(*ks::driver::find_program(c.program), c.n, 4096),
                     c.pages)
        << c.program << " N=" << c.n;
  }
}

TEST(Model, ChunksOfTheRunTimeScheduleAndTheTeamThatRunsTheKernel) {
  struct Case {
    const char* schedule;
    double iterations;
    int team;
    double chunks;
    const char* kind;
  };
  const Case cases[] = {
      {"static", 600, 2, 2, "static"},  // the block partition: one chunk a thread
      {"static,4", 600, 2, 150, "static"},
      {"dynamic,4", 601, 2, 151, "dynamic"},
      {"", 600, 2, 600, "dynamic"},  // the GNU runtime's default: dynamic, 1
      // guided: ceil(left / T), never below the chunk: 50 25 13 6 3 2 1
      {"guided", 100, 2, 7, "guided"},
      {"guided,16", 100, 2, 4, "guided"},  // 50 25 16 9
      {"monotonic:DYNAMIC,3", 100, 2, 34, "dynamic"},
      {"auto", 10, 4, 4, "static"},
  };
  for (const Case& c : cases) {
    std::string kind;
    long long chunk = -1;
    EXPECT_DOUBLE_EQ(ks::driver::loop_chunks(c.schedule, c.iterations, c.team, kind, chunk),
                     c.chunks)
        << c.schedule;
    EXPECT_EQ(kind, c.kind) << c.schedule;
  }

  struct Team {
    const char* program;
    int threads;
    int team;
  };
  const Team teams[] = {
      {"plus-static", 0, 1},   {"plus-parloop", 2, 2}, {"plus-parloop", 0, 2},  // unset: all CPUs
      {"plus-quarters", 8, 4},                                                  // four sections
      {"mprod-team", 3, 3},
  };
  for (const Team& t : teams) {
    EXPECT_EQ(ks::driver::kernel_team(config(t.program, 1000, t.threads), 2), t.team)
        << t.program << " T=" << t.threads;
  }
}

TEST(Model, TheWorkOfAnInterval) {
  // plus-parloop at N = 1M on two threads: 16 MB read, 8 MB written and fetched first.
  ks::driver::Work w = ks::driver::interval_work(config("plus-parloop", 1 << 20, 2), 4096, 2);
  EXPECT_DOUBLE_EQ(w.read_bytes, 16.0 * (1 << 20));
  EXPECT_DOUBLE_EQ(w.written_bytes, 8.0 * (1 << 20));
  EXPECT_DOUBLE_EQ(w.fetched_bytes, 8.0 * (1 << 20));
  EXPECT_DOUBLE_EQ(w.traffic(), 32.0 * (1 << 20));
  EXPECT_DOUBLE_EQ(w.fresh_pages, 2048);
  EXPECT_EQ(w.regions, 1);
  EXPECT_EQ(w.team, 2);
  // The update reads y before writing it: nothing fetched beyond the 12 bytes.
  w = ks::driver::interval_work(config("yupd-o3", 1000, 0), 4096, 2);
  EXPECT_DOUBLE_EQ(w.traffic(), 12000);
  EXPECT_DOUBLE_EQ(w.ops, 2000);
  // mprod-team: two barriers and its rows as chunks, no fork inside the interval.
  ks::driver::Config team = config("mprod-team", 400, 2);
  team.schedule = "dynamic,16";
  w = ks::driver::interval_work(team, 4096, 2);
  EXPECT_EQ(w.regions, 0);
  EXPECT_EQ(w.barriers, 2);
  EXPECT_DOUBLE_EQ(w.chunks, 25);
  // A capped size counts as the program runs it.
  w = ks::driver::interval_work(config("mprod-static", 20000, 0), 4096, 2);
  EXPECT_DOUBLE_EQ(w.ops, 2e12);
}

// The fixed ceilings: memory 12 GB/s (T=1) and 18 GB/s (T=2) for the addition's 24 named
// bytes, so 16 and 24 GB/s of traffic; a fresh page 4 us (T=1), 2.5 us (T=2), and one the
// addition writes what its 6.4 us (T=1), 4.6 us (T=2) per page adds to the warm addition's
// three pages of named bytes; scalar fp64 adds 4e9/s per thread, int32 adds 12e9/s; a parallel
// region 1 us (T=1), 10 us (T=2); L2 36 GB/s.
TEST(Model, PredictedTimesFromTheCeilings) {
  struct Case {
    ks::driver::Config config;
    double memory, compute, fresh, openmp, predicted;
    const char* level;
    const char* dominant;
  };
  ks::driver::Config team = config("mprod-team", 400, 2);
  team.schedule = "dynamic,16";
  const double n8 = 8388608;
  const double added1 = 6.4e-6 - 3 * 4096 / 12e9;
  const double added2 = 4.6e-6 - 3 * 4096 / 18e9;
  const Case cases[] = {
      {config("plus-static", 8388608, 0), 32 * n8 / 16e9, n8 / 4e9, 16384 * added1, 0,
       32 * n8 / 16e9 + 16384 * added1, "memory", "first touch"},
      {config("plus-parloop", 8388608, 2), 32 * n8 / 24e9, n8 / 8e9, 16384 * added2, 10e-6,
       32 * n8 / 24e9 + 16384 * added2 + 10e-6, "memory", "first touch"},
      // 80 MB of y and x: beyond every cache.
      {config("yupd-o3", 10000000, 0), 12e7 / 16e9, 2e7 / 12e9, 0, 0, 12e7 / 16e9, "memory",
       "memory"},
      // 80 kB: beyond L1's 32 kB, inside L2: 36 GB/s named, 48 GB/s of traffic.
      {config("yupd-o2", 10000, 0), 12e4 / 48e9, 2e4 / 12e9, 0, 0, 12e4 / 48e9, "L2", "memory"},
      // The matrices: compute-bound; nothing else comes near.
      // 8.64 MB in L3 (24 GB/s named, 32 GB/s of traffic): B and C read, A written and
      // fetched.
      {config("mprod-heap", 600, 0), 32 * 36e4 / 32e9, 2 * 216e6 / 4e9,
       600 * (4800.0 / 4096 - 1) * 4e-6, 0, 2 * 216e6 / 4e9 + 600 * (4800.0 / 4096 - 1) * 4e-6,
       "L3", "compute"},
      // Two barriers at 5 us and 25 dynamic chunks of 16 at 2 us (T=2); 4.8 MB in L3 at
      // 40 GB/s named.
      {team, 24 * 16e4 / (40e9 * 4 / 3), 2 * 64e6 / 8e9, 0, 2 * 5e-6 + 25 * 2e-6,
       2 * 64e6 / 8e9 + 2 * 5e-6 + 25 * 2e-6, "L3", "compute"},
      // A tiny vector on two threads: the fork and join is the largest part.
      {config("plus-parloop", 1000, 2), 32000 / (96e9 * 4 / 3), 1000 / 8e9, 2 * added2, 10e-6,
       32000 / (96e9 * 4 / 3) + 2 * added2 + 10e-6, "L1", "OpenMP"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config.label());
    const auto p = ks::driver::predict(c.config, ceilings());
    ASSERT_TRUE(p);
    EXPECT_NEAR(p->memory.seconds, c.memory, 1e-9 * c.memory + 1e-15);
    EXPECT_NEAR(p->compute.seconds, c.compute, 1e-9 * c.compute);
    EXPECT_NEAR(p->fresh.seconds, c.fresh, 1e-9 * c.fresh + 1e-15);
    EXPECT_NEAR(p->openmp.seconds, c.openmp, 1e-9 * c.openmp + 1e-15);
    EXPECT_NEAR(p->predicted_seconds, c.predicted, 1e-9 * c.predicted);
    EXPECT_EQ(p->level, c.level);
    auto explained = *p;
    ks::driver::explain(explained, c.predicted);
    EXPECT_EQ(explained.dominant, c.dominant);
    EXPECT_DOUBLE_EQ(explained.ratio, 1.0);
  }
  // A probe that did not time the addition into fresh pages: v3's pages at the store's cost.
  {
    std::ifstream in(std::string(KS_DRIVER_TEST_DATA) + "/probe.json");
    nlohmann::json j = nlohmann::json::parse(in);
    for (nlohmann::json& r : j["first_touch"]["results"]) {
      r.erase("add_seconds_per_page");
    }
    const auto older =
        ks::driver::predict(config("plus-static", 8388608, 0), ks::driver::parse_ceilings(j));
    ASSERT_TRUE(older);
    EXPECT_NEAR(older->fresh.seconds, 16384 * 4e-6, 1e-15);
    EXPECT_EQ(older->fresh.what, "16 384 fresh pages at 4 us");
  }
  // Without a model: demonstrations, and a sized program without its size.
  EXPECT_FALSE(ks::driver::predict(config("chunk-static", std::nullopt, 2), ceilings()));
  EXPECT_FALSE(ks::driver::predict(config("plus-static", std::nullopt, 0), ceilings()));
  // The record kernels take no size: 40 fresh pages of R, s in L2.
  const auto records = ks::driver::predict(config("recmin-fused", std::nullopt, 0), ceilings());
  ASSERT_TRUE(records);
  EXPECT_DOUBLE_EQ(records->work.fresh_pages, 40);
  EXPECT_EQ(records->level, "L2");
}

TEST(Model, TheExplanationNamesTheLargestTermWithItsNumbers) {
  struct Case {
    ks::driver::Config config;
    double measured;
    const char* line;
  };
  const Case cases[] = {
      {config("plus-static", 8388608, 0), 0.089,
       "first touch of 16 384 fresh pages written by the addition at 5.38 us = 88.1 ms of 89 ms "
       "measured; warm pages would take 16.8 ms"},
      {config("yupd-o3", 10000000, 0), 0.009,
       "120 MB of traffic at 16 GB/s (memory, T=1) = 7.5 ms of 9 ms measured; the operations "
       "would take 1.67 ms"},
      {config("plus-parloop", 1000, 2), 0.000015,
       "1 parallel region at 10 us = 10 us of 15 us measured"},
      // Outside 0.5 to 2: said plainly, with what the model has.
      {config("mprod-heap", 600, 0), 0.4,
       "the model does not explain this time: measured 400 ms, predicted 108 ms (its largest "
       "term: 4.32e+08 flop at 4 Gflop/s (scalar, T=1) = 108 ms)"},
      {config("yupd-o0", 10000000, 0), 0.040,
       "the model does not explain this time: measured 40 ms, predicted 7.5 ms (its largest "
       "term: 120 MB of traffic at 16 GB/s (memory, T=1) = 7.5 ms)"},
  };
  for (const Case& c : cases) {
    auto p = ks::driver::predict(c.config, ceilings());
    ASSERT_TRUE(p) << c.config.label();
    ks::driver::explain(*p, c.measured);
    EXPECT_EQ(p->line, c.line) << c.config.label();
  }

  // The band is 0.5 to 2, both ends in it.
  auto p = ks::driver::predict(config("yupd-o3", 10000000, 0), ceilings());
  ASSERT_TRUE(p);
  const double predicted = p->predicted_seconds;
  for (const auto& [factor, explained] : std::vector<std::pair<double, bool>>{
           {0.49, false}, {0.5, true}, {1.0, true}, {2.0, true}, {2.01, false}}) {
    ks::driver::explain(*p, predicted * factor);
    EXPECT_EQ(p->explained, explained) << factor;
    EXPECT_EQ(p->line.rfind("the model does not explain", 0) == 0, !explained) << factor;
    EXPECT_NEAR(p->ratio, factor, 1e-12);
  }
  // The share of the ceiling: traffic over time against 16 GB/s; operations for the matrices.
  ks::driver::explain(*p, 0.015);
  EXPECT_NEAR(p->percent_of_ceiling, 100 * 12e7 / 0.015 / 16e9, 1e-9);
  auto m = ks::driver::predict(config("mprod-heap", 600, 0), ceilings());
  ASSERT_TRUE(m);
  ks::driver::explain(*m, 0.4);
  EXPECT_EQ(m->ceiling, "scalar fp64 throughput, T=1");
  EXPECT_NEAR(m->percent_of_ceiling, 100 * 4.32e8 / 0.4 / 4e9, 1e-9);
}

TEST(Model, OnlyMeasuredRowsGetAPrediction) {
  const std::vector<ks::driver::Config> configs = {config("plus-static", 8388608, 0),
                                                   config("chunk-static", std::nullopt, 2),
                                                   config("plus-heap", 1000, 0)};
  std::vector<ks::driver::SummaryRow> rows(3);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    rows[i].config = i;
    rows[i].printed_time = i != 1;
    rows[i].stats.count = 3;
    rows[i].stats.median = 0.089;
  }
  rows[2].stats.count = 0;  // no valid run
  ks::driver::apply_model(configs, rows, ceilings());
  ASSERT_TRUE(rows[0].model);
  EXPECT_DOUBLE_EQ(rows[0].model->measured_seconds, 0.089);
  EXPECT_FALSE(rows[1].model);
  EXPECT_FALSE(rows[2].model);
}

}  // namespace
