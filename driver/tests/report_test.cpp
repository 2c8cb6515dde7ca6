// The files a sweep writes: CSV fields and rows, and files written whole or not at all.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "driver/report.h"
#include "driver/tests/configs.h"

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

}  // namespace
