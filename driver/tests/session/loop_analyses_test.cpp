// The loop analyses a measured sweep keeps in its context: one per benchmark with a loop nest,
// a program that cannot be analysed recorded with why, and the analysis cached by the binary.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "driver/session/loop_analyses.h"
#include "driver/tests/support/configs.h"
#include "loopmodel/mca.h"
#include "tests/support/program_test.h"

namespace {

namespace fs = std::filesystem;
using ks::driver::test::config;

class Folder {
 public:
  explicit Folder(const std::string& name)
      : path_(::testing::TempDir() + "kernelscope-loops-" + name + "-" + std::to_string(getpid())) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~Folder() { fs::remove_all(path_); }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(LoopAnalyses, EachBenchmarkOnceAndWhyOneHasNone) {
  const Folder bin("bin");
  // plus-static is a script here: no machine code to find a loop in; plus-heap is not built.
  std::ofstream(bin.path() + "/plus-static") << "#!/bin/sh\necho 'Tiempo(seg.):0.000001000'\n";
  fs::permissions(bin.path() + "/plus-static", fs::perms::owner_all);
  const nlohmann::json loops =
      ks::driver::loops_context({config("plus-static", 16, 0), config("plus-static", 32, 0),
                                 config("plus-heap", 16, 0), config("greet-team", std::nullopt, 2)},
                                bin.path(), "");
  ASSERT_EQ(loops.size(), 2u) << loops.dump();  // the demonstration has no nest
  for (const char* program : {"plus-static", "plus-heap"}) {
    ASSERT_TRUE(loops.contains(program)) << program;
    ASSERT_TRUE(loops[program].contains("error")) << loops[program].dump();
    EXPECT_FALSE(loops[program]["error"].get<std::string>().empty());
  }
}

TEST(LoopAnalyses, ABuiltProgramsLoopCachedByItsBinary) {
  if (!ks::loopmodel::find_mca() || ks::loopmodel::find_program("objdump").empty()) {
    GTEST_SKIP() << "objdump or llvm-mca is not installed (binutils, Debian's llvm-14)";
  }
  const Folder cache("cache");
  const std::string bin = fs::path(ks::test::program_path("yupd-o2")).parent_path().string();
  const nlohmann::json loops =
      ks::driver::loops_context({config("yupd-o2", 1000, 0)}, bin, cache.path());
  ASSERT_TRUE(loops["yupd-o2"].contains("kernel")) << loops.dump();
  std::size_t files = 0;
  for (const auto& entry : fs::directory_iterator(cache.path())) {
    files += entry.path().filename().string().rfind("loops-", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(files, 1u);
  // The second time from the cache, the same analysis.
  const nlohmann::json again =
      ks::driver::loops_context({config("yupd-o2", 1000, 0)}, bin, cache.path());
  EXPECT_EQ(again["yupd-o2"]["loops"], loops["yupd-o2"]["loops"]);
}

}  // namespace
