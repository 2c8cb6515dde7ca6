// Summaries of a sweep's runs: rates from the cost model, speedups from the baselines with
// their intervals, outliers and noise, and times below what the printed time can resolve.
#include <gtest/gtest.h>

#include <cmath>

#include "driver/analysis/summary.h"
#include "driver/report/summary_table.h"
#include "driver/tests/support/configs.h"

namespace {

using ks::driver::Outcome;
using ks::driver::test::config;
using ks::driver::test::record;

constexpr double kNanoClock = 1e-9;

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
      record(2, 50, false, Outcome::kInvalid),  // invalid: counted, not measured
      record(3, 0.001),
      record(4, 100),
  };
  const auto rows = ks::driver::summarize_runs(configs, runs, kNanoClock);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0].runs, 3);
  EXPECT_EQ(rows[0].valid, 3);
  EXPECT_DOUBLE_EQ(rows[0].stats.median, 0.003);
  EXPECT_DOUBLE_EQ(rows[0].gb_per_s, 24e6 / 0.003 / 1e9);
  EXPECT_DOUBLE_EQ(rows[0].gops_per_s, 1e6 / 0.003 / 1e9);
  EXPECT_DOUBLE_EQ(rows[0].process_median, 0.004);  // the records' wall is printed + 1 ms
  EXPECT_EQ(rows[0].speedup.value, 1.0);            // the baseline against itself: no interval
  EXPECT_FALSE(rows[0].speedup.ci);
  EXPECT_EQ(rows[1].speedup.value, 1.0);
  EXPECT_EQ(rows[2].runs, 2);
  EXPECT_EQ(rows[2].valid, 1);
  EXPECT_EQ(rows[2].speedup.value, 2.0);  // against plus-parloop on one thread
  EXPECT_NE(rows[2].speedup_vs.find("plus-parloop"), std::string::npos);
  // Against plus-static's three runs, 2 to 4 ms: every ratio of the two ranges.
  EXPECT_EQ(rows[3].speedup.value, 3.0);
  ASSERT_TRUE(rows[3].speedup.ci);
  EXPECT_DOUBLE_EQ(rows[3].speedup.ci->low, 2.0);
  EXPECT_DOUBLE_EQ(rows[3].speedup.ci->high, 4.0);
  EXPECT_DOUBLE_EQ(rows[3].speedup.confidence, 0.75);  // the range of three covers 75 %
  EXPECT_NE(rows[3].speedup_vs.find("plus-static"), std::string::npos);
  EXPECT_DOUBLE_EQ(rows[4].gops_per_s, 2e12 / 100 / 1e9);  // the capped size counts
  EXPECT_FALSE(rows[4].speedup.value);
  // 2, 3 and 4 ms: the median's interval spans a third of it; one run says nothing.
  EXPECT_TRUE(rows[0].noisy);
  EXPECT_FALSE(rows[2].noisy);
}

// A time below kResolutionSteps of the printed digit (1 ns for plus-static's %11.9f, 1 us for
// the scaled update's %f) is marked, with no rate, no speedup and a size to try instead.
TEST(Summary, TimesBelowResolutionAtEitherPrintedPrecisionGiveNoRateNorSpeedup) {
  struct Case {
    const char* name;
    const char* program;
    std::uint64_t size;
    double printed;
    double clock;
    bool below;
    const char* hint;  // part of the hint when below
  };
  const Case cases[] = {
      {"%11.9f, 50 steps", "plus-static", 1000, 50e-9, kNanoClock, true, "try N >= 2K"},
      {"%11.9f, 150 steps", "plus-static", 1000, 150e-9, kNanoClock, false, ""},
      {"%f, 50 steps", "yupd-o3", 1000, 50e-6, kNanoClock, true, "try N >= 2K"},
      {"%f, 150 steps", "yupd-o3", 1000, 150e-6, kNanoClock, false, ""},
      {"%f, printed as 0", "yupd-o3", 100, 0, kNanoClock, true, "try N >= 32K"},
      {"a coarse clock rules", "plus-static", 1000, 50e-6, 1e-6, true, "100 steps of 1 us"},
      {"quadratic work", "mprod-static", 10, 25e-9, kNanoClock, true, "try N >= 16"},
      {"above the cap", "plus-static", 33554432, 1e-12, kNanoClock, true, "largest size"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<ks::driver::Config> configs = {config(c.program, c.size, 0)};
    const std::vector<ks::driver::RunRecord> runs = {record(0, c.printed), record(0, c.printed),
                                                     record(0, c.printed)};
    const auto rows = ks::driver::summarize_runs(configs, runs, c.clock);
    EXPECT_EQ(rows[0].below_resolution, c.below);
    EXPECT_EQ(std::isnan(rows[0].gb_per_s), c.below);
    EXPECT_EQ(std::isnan(rows[0].gops_per_s), c.below);
    if (c.below) {
      EXPECT_FALSE(rows[0].speedup.value);
    }
    EXPECT_NE(rows[0].hint.find(c.hint), std::string::npos) << rows[0].hint;
    const std::string table = ks::driver::summary_text(configs, rows);
    EXPECT_EQ(table.find("inf"), std::string::npos) << table;
    EXPECT_EQ(table.find("\n< ") != std::string::npos, c.below) << table;
  }
}

TEST(Summary, NoSpeedupAgainstABaselineBelowResolution) {
  const std::vector<ks::driver::Config> configs = {config("yupd-o0", 1000, 0),
                                                   config("yupd-o3", 1000, 0)};
  const std::vector<ks::driver::RunRecord> runs = {record(0, 2e-6), record(1, 1e-3),
                                                   record(0, 2e-6), record(1, 1e-3)};
  const auto rows = ks::driver::summarize_runs(configs, runs, kNanoClock);
  EXPECT_TRUE(rows[0].below_resolution);
  EXPECT_FALSE(rows[1].below_resolution);
  EXPECT_FALSE(rows[1].speedup.value);
  EXPECT_FALSE(std::isnan(rows[1].gb_per_s));
}

TEST(Summary, RunCountsSpreadAndOutliersAsTheTablesShowThem) {
  struct Case {
    const char* name;
    std::vector<double> printed;  // measured, valid
    int timeouts_then_skipped;    // a timeout and the skipped runs after it
    const char* valid;            // as the tables show it
    bool interval;                // the median has an interval
    std::size_t mild, severe;
    const char* outliers_cell;
  };
  const Case cases[] = {
      {"one run", {10}, 0, "1/1", false, 0, 0, "0"},
      {"all timed out", {}, 3, "0/3", false, 0, 0, "-"},
      {"ten steady runs",
       {10, 10.1, 10.2, 10.3, 10.4, 10.5, 10.6, 10.7, 10.8, 10.9},
       0,
       "10/10",
       true,
       0,
       0,
       "0"},
      {"a mild and a severe outlier",
       {10, 10.1, 10.2, 10.3, 10.4, 10.5, 10.6, 10.7, 11.8, 14},
       0,
       "10/10",
       true,
       1,
       1,
       "1 mild, 1 severe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<ks::driver::Config> configs = {config("plus-static", 1000000, 0)};
    std::vector<ks::driver::RunRecord> runs;
    for (double v : c.printed) {
      runs.push_back(record(0, v / 1000));
    }
    for (int i = 0; i < c.timeouts_then_skipped; ++i) {
      runs.push_back(record(0, NAN, false, i == 0 ? Outcome::kTimeout : Outcome::kSkipped));
    }
    const auto rows = ks::driver::summarize_runs(configs, runs, kNanoClock);
    EXPECT_EQ(rows[0].sample.median.ci.has_value(), c.interval);
    if (c.interval) {
      EXPECT_LE(rows[0].sample.median.ci->low, rows[0].stats.median);
      EXPECT_GE(rows[0].sample.median.ci->high, rows[0].stats.median);
      EXPECT_GE(rows[0].sample.median.confidence, 0.95);
    }
    EXPECT_EQ(rows[0].sample.outliers.mild(), c.mild);
    EXPECT_EQ(rows[0].sample.outliers.severe(), c.severe);
    EXPECT_EQ(rows[0].noisy, c.severe > 0);
    const std::string md = ks::driver::summary_markdown(configs, rows);
    const std::string row_md = md.substr(md.find("| plus-static |"));
    EXPECT_NE(row_md.find(" " + std::string(c.valid) + " |"), std::string::npos) << row_md;
    EXPECT_NE(row_md.find("| " + std::string(c.outliers_cell) + " |"), std::string::npos) << row_md;
    if (c.printed.size() == 1) {
      // The spread of one run is empty, not "0 ns": the sd cell follows min and max.
      EXPECT_NE(row_md.find("| 10 ms | 10 ms | - |"), std::string::npos) << row_md;
    }
  }
}

TEST(Summary, TheClockResolutionComesFromTheContextWhenRecorded) {
  EXPECT_EQ(ks::driver::context_clock_step(
                ks::driver::read_machine_context({{"clock", {{"resolution_seconds", 0.004}}}})),
            0.004);
  EXPECT_EQ(ks::driver::context_clock_step(ks::driver::read_machine_context({{"cpu", {}}})),
            ks::driver::clock_resolution());
}

}  // namespace

namespace {

// Six runs of each of two variants at one size: `spread` apart around `median` seconds.
std::vector<ks::driver::RunRecord> six_runs(std::size_t config, double median, double spread) {
  std::vector<ks::driver::RunRecord> runs;
  for (int k = 0; k < 6; ++k) {
    runs.push_back(record(config, median * (1 + spread * (k - 2.5) / 2.5)));
  }
  return runs;
}

std::size_t widest_line(const std::string& text) {
  std::size_t widest = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    std::size_t w = 0;
    for (std::size_t i = start; i < end; ++i) {
      w += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 ? 1 : 0;
    }
    widest = std::max(widest, w);
    start = end + 1;
  }
  return widest;
}

}  // namespace

// The terminal's table fits the width it is given, the core columns first; --wide shows them
// all. The legend explains what is shown; one short line per group says which is fastest, or
// that the difference is inconclusive.
TEST(SummaryText, FitsTheWidthAndSaysWhichIsFastestInOneLine) {
  struct Case {
    const char* name;
    double fast_spread, slow_median;
    bool conclusive;
  };
  const Case cases[] = {
      {"twice as fast, tight", 0.01, 0.004, true},
      {"within noise", 0.3, 0.0021, false},
      {"too wide to rank", 0.9, 0.006, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<ks::driver::Config> configs = {config("plus-static", 1048576, 0),
                                                     config("plus-heap", 1048576, 0)};
    std::vector<ks::driver::RunRecord> runs = six_runs(0, c.slow_median, 0.01);
    for (const auto& r : six_runs(1, 0.002, c.fast_spread)) {
      runs.push_back(r);
    }
    const auto rows = ks::driver::summarize_runs(configs, runs, kNanoClock);
    for (std::size_t width : {80u, 120u}) {
      SCOPED_TRACE(width);
      const std::string lines = ks::driver::summary_text(configs, rows, {.width = width});
      EXPECT_LE(widest_line(lines), width) << lines;  // the fastest lines wrapped too
      // The words as one text: a fastest line's continuation joined to it.
      std::string text = lines;
      for (std::size_t at; (at = text.find("\n    ")) != std::string::npos;) {
        text.replace(at, 5, " ");
      }
      const std::string table = text.substr(0, text.find("median:"));
      EXPECT_LE(widest_line(table), width) << table;
      EXPECT_NE(table.find("speedup"), std::string::npos) << table;
      EXPECT_EQ(table.find("schedule"), std::string::npos) << "a column of '-' only";
      EXPECT_NE(text.find("valid:"), std::string::npos) << text;
      const std::size_t legend_at = text.find("median:");
      const std::string legend = text.substr(legend_at, text.find("Fastest") - legend_at);
      EXPECT_LE(widest_line(legend), width) << legend;
      if (c.conclusive) {
        EXPECT_NE(text.find("vector-add N=1M: plus-heap is fastest, 2.00\u00d7 ("),
                  std::string::npos)
            << text;
      } else {
        EXPECT_NE(text.find("vector-add N=1M: inconclusive between plus-heap and plus-static"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("rerun with --repeat 20"), std::string::npos) << text;
        EXPECT_EQ(text.find("is fastest"), std::string::npos) << text;
      }
    }
    const std::string narrow = ks::driver::summary_text(configs, rows, {.width = 60});
    const std::string wide = ks::driver::summary_text(configs, rows, {.width = 60, .wide = true});
    EXPECT_NE(narrow.find("more columns: --wide"), std::string::npos) << narrow;
    EXPECT_EQ(wide.find("more columns: --wide"), std::string::npos) << wide;
    for (const char* column : {"process", "GB/s", "Gop/s", "outliers"}) {
      EXPECT_NE(wide.find(column), std::string::npos) << column;
    }
    EXPECT_GT(widest_line(wide), 60u);
  }
}
