// The CSV format: fields quoted when they must be, one row per run with every field.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "driver/report/csv_export.h"
#include "driver/tests/support/configs.h"

namespace {

using ks::driver::test::config;
using ks::driver::test::record;

TEST(Reports, CsvFieldsAreQuotedWhenTheyMustBe) {
  EXPECT_EQ(ks::driver::csv_field("plain"), "plain");
  EXPECT_EQ(ks::driver::csv_field("dynamic,4"), "\"dynamic,4\"");
  EXPECT_EQ(ks::driver::csv_field("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(ks::driver::csv_field("two\nlines"), "\"two\nlines\"");
}

TEST(Reports, CsvHasOneRowPerRunWithEveryField) {
  std::vector<ks::driver::Config> configs = {config("mprod-team", 100, 2)};
  configs[0].schedule = "dynamic,4";
  configs[0].bind = "spread";
  configs[0].places = "{0,1},{2,3}";
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
  EXPECT_NE(lines[1].find(",mprod-team,matrix-product,benchmark,100,100,2,\"dynamic,4\",,spread,"
                          "\"{0,1},{2,3}\",100,valid,"),
            std::string::npos)
      << lines[1];
  EXPECT_NE(lines[2].find(",invalid,\"line 1: wrong, \"\"really\"\"\",,"), std::string::npos)
      << lines[2];
}

}  // namespace
