// Output files: written whole or not at all, in a folder proven writable first.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "driver/files.h"

namespace {

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
