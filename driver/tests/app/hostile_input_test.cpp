// Input made to break the driver: JSON nested beyond reason, a path too long for the store, a
// FIFO where the store goes, ceilings no machine has; and compare, which reads its inputs
// without writing a byte beside them. Each is refused at once with one line and status 2.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include <nlohmann/json.hpp>

#include "driver/base/files.h"
#include "driver/base/json_input.h"
#include "driver/store/sqlite.h"
#include "driver/tests/app/driver_runs.h"
#include "tests/support/program_test.h"

namespace {

namespace fs = std::filesystem;
namespace kd = ks::driver;
using ks::driver::test::kernelscope;
using ks::driver::test::kProbeData;
using ks::driver::test::scratch;
using ks::driver::test::slurp;
using ks::test::ExitedWith;

std::vector<std::string> quick_sweep(const std::string& out) {
  return {"sweep", "plus-static", "--sizes", "1K", "--repeat", "1", "--warmup", "0", "--out", out};
}

// Refused at once: status 2, one line on stderr that holds `says`.
::testing::AssertionResult RefusedWith(const ks::RunResult& r, const std::string& says) {
  if (!ExitedWith(r, 2)) {
    return ::testing::AssertionFailure() << "status " << r.describe() << ": " << r.err;
  }
  if (ks::test::lines(r.err).size() != 1 || r.err.find(says) == std::string::npos) {
    return ::testing::AssertionFailure() << "stderr: " << r.err;
  }
  return ::testing::AssertionSuccess();
}

std::string nested(std::size_t depth, bool objects) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) {
    text += objects ? "{\"a\":" : "[";
  }
  text += "1";
  for (std::size_t i = 0; i < depth; ++i) {
    text += objects ? "}" : "]";
  }
  return text;
}

TEST(HostileInput, JsonNestedBeyondReasonIsRefusedWithOneLine) {
  const std::string dir = scratch("deep");
  for (const bool objects : {false, true}) {
    std::ofstream(dir + "/deep.json") << nested(100000, objects);
    const ks::RunResult r = kernelscope(
        {"sweep", "plus-static", "--ceilings", dir + "/deep.json", "--out", dir + "/out"});
    EXPECT_TRUE(RefusedWith(r, "deep.json is JSON nested deeper than 64 levels")) << objects;
  }
  // Nesting as deep as the bound is still JSON.
  EXPECT_NO_THROW(kd::parse_json(nested(64, true)));
  EXPECT_THROW(kd::parse_json(nested(65, false)), kd::JsonTooDeep);

  // A store whose machine context is nested that deep: refused by report and compare.
  const std::string out = dir + "/store";
  ASSERT_TRUE(ExitedWith(kernelscope(quick_sweep(out)), 0));
  kd::sqlite::Db(out + "/results.db", kd::sqlite::Mode::kReadWrite)
      .prepare("UPDATE machines SET context = ?")
      .bind_text(1, nested(100000, false))
      .run();
  EXPECT_TRUE(RefusedWith(kernelscope({"report", out}), "a machine context is JSON nested"));
  EXPECT_TRUE(RefusedWith(kernelscope({"compare", out, out, "--out", dir + "/cmp"}),
                          "a machine context is JSON nested"));
  // A Slurm job's record nested that deep.
  std::ofstream(out + "/cluster.json") << nested(100000, true);
  EXPECT_TRUE(RefusedWith(kernelscope({"status", out}), "nested deeper than 64 levels"));
  fs::remove_all(dir);
}

TEST(HostileInput, APathTooLongForTheStoreIsRefusedBeforeAnyRun) {
  const std::string base = fs::canonical(scratch("long")).string();
  // The longest folder whose store SQLite opens: its limit, less "-journal" and the name of
  // the store while it is made (results.db.tmp-PID).
  const std::size_t longest = kd::sqlite_path_limit() - 8 - kd::kLongestStoreName - 1;
  auto folder_of = [&](std::size_t length) {
    // Parts of at most 200 bytes below `base`, each at least one byte long.
    std::size_t need = length - base.size();
    std::vector<std::size_t> parts;
    while (need > 201) {
      parts.push_back(150);
      need -= 151;
    }
    if (need == 1) {
      ++parts.back();
    } else {
      parts.push_back(need - 1);
    }
    std::string path = base;
    for (const std::size_t part : parts) {
      path += "/" + std::string(part, 'd');
    }
    return path;
  };
  const std::string too_long = folder_of(longest + 1);
  ASSERT_EQ(too_long.size(), longest + 1);
  const ks::RunResult refused = kernelscope(quick_sweep(too_long));
  EXPECT_TRUE(RefusedWith(
      refused, "give a folder whose path is at most " + std::to_string(longest) + " bytes"));
  EXPECT_EQ(refused.out, "") << "nothing ran";
  EXPECT_FALSE(fs::exists(too_long));

  const std::string just = folder_of(longest);
  ASSERT_EQ(just.size(), longest);
  const ks::RunResult r = kernelscope(quick_sweep(just));
  EXPECT_TRUE(ExitedWith(r, 0)) << r.err;
  EXPECT_TRUE(fs::exists(just + "/results.db")) << "the store was made: the runs can resume";
  fs::remove_all(base);
}

TEST(HostileInput, AFifoInThePlaceOfTheStoreIsRefusedAtOnce) {
  const std::string dir = scratch("fifo");
  const std::string out = dir + "/out";
  ASSERT_TRUE(ExitedWith(kernelscope(quick_sweep(out)), 0));
  const std::string good = dir + "/good";
  ASSERT_TRUE(ExitedWith(kernelscope(quick_sweep(good)), 0));
  for (const char* name : {"results.db", "results.db-wal"}) {
    SCOPED_TRACE(name);
    const std::string path = out + "/" + name;
    if (fs::exists(path)) {
      fs::rename(path, dir + "/kept");
    }
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    const std::string says = std::string(name) + " is a FIFO, not a regular file: refused";
    EXPECT_TRUE(RefusedWith(kernelscope({"report", out}), says));
    std::vector<std::string> resume = quick_sweep(out);
    resume.push_back("--resume");
    EXPECT_TRUE(RefusedWith(kernelscope(resume), says));
    EXPECT_TRUE(RefusedWith(kernelscope({"compare", good, out, "--out", dir + "/cmp"}), says));
    fs::remove(path);
    if (fs::exists(dir + "/kept")) {
      fs::rename(dir + "/kept", path);
    }
  }
  fs::remove_all(dir);
}

TEST(HostileInput, CeilingsNoMachineHasAreRefusedNamingTheField) {
  const std::string dir = scratch("huge-ceilings");
  nlohmann::json probe = nlohmann::json::parse(slurp(kProbeData));
  for (const char* section : {"memory_bandwidth", "cache_bandwidth"}) {
    for (auto& r : probe[section]["results"]) {
      r["bytes_per_second"] = 1e308;
    }
  }
  std::ofstream(dir + "/huge.json") << probe.dump();
  const ks::RunResult r = kernelscope({"sweep", "plus-static", "--sizes", "1K", "--repeat", "1",
                                       "--ceilings", dir + "/huge.json", "--out", dir + "/out"});
  EXPECT_TRUE(RefusedWith(r,
                          "memory_bandwidth.results[].bytes_per_second is 1e+308: a real "
                          "machine's is between 1000 and 1e+15 B/s"));
  EXPECT_FALSE(fs::exists(dir + "/out/results.db"));
  fs::remove_all(dir);
}

TEST(HostileInput, CompareWritesNothingIntoItsInputs) {
  const std::string dir = scratch("compare-ro");
  auto listing = [](const std::string& folder) {
    std::map<std::string, std::uintmax_t> names;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
      names[e.path().string()] = e.is_regular_file() ? e.file_size() : 0;
    }
    return names;
  };
  for (const char* side : {"/a", "/b"}) {
    ASSERT_TRUE(ExitedWith(kernelscope(quick_sweep(dir + side)), 0));
  }
  const auto a = listing(dir + "/a");
  const auto b = listing(dir + "/b");
  const ks::RunResult r =
      kernelscope({"compare", dir + "/a", dir + "/b/results.db", "--out", dir + "/cmp"});
  EXPECT_TRUE(ExitedWith(r, 0)) << r.err;
  EXPECT_TRUE(fs::exists(dir + "/cmp/compare.md"));
  EXPECT_EQ(listing(dir + "/a"), a);
  EXPECT_EQ(listing(dir + "/b"), b);

  // A file that cannot be written is said, fails the command, and the others are still written.
  fs::create_directories(dir + "/blocked/compare.csv");
  const ks::RunResult blocked =
      kernelscope({"compare", dir + "/a", dir + "/b", "--out", dir + "/blocked", "--no-plots"});
  EXPECT_TRUE(ExitedWith(blocked, 1)) << blocked.err;
  EXPECT_NE(blocked.err.find("compare.csv"), std::string::npos) << blocked.err;
  for (const char* file : {"compare.md", "report.html", "compare.json"}) {
    EXPECT_TRUE(fs::is_regular_file(dir + "/blocked/" + file)) << file;
  }
  EXPECT_NE(blocked.out.find("comparison in"), std::string::npos) << blocked.out;
  fs::remove_all(dir);
}

}  // namespace
