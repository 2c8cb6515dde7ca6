// kernelscope run as a user runs it: on the built programs, on fake programs that print a
// wrong value or hang, and on bad input. Results are read back from its CSV and JSON files.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "driver/catalogue.h"
#include "tests/support/program_test.h"

namespace {

namespace fs = std::filesystem;
using ks::test::ExitedWith;

const std::string kFakes = KS_DRIVER_FAKES;
const std::string kProbeData = std::string(KS_DRIVER_TEST_DATA) + "/probe.json";

// A fresh folder for one test's output.
std::string scratch(const std::string& name) {
  const std::string dir =
      ::testing::TempDir() + "kernelscope-" + name + "-" + std::to_string(getpid());
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// A cache folder for the machine's ceilings that is never the user's.
std::string cache_home() {
  return ::testing::TempDir() + "kernelscope-cache-" + std::to_string(getpid());
}

// kernelscope with the fixed ceilings of driver/tests/data (no probe runs, the model works on
// known figures) and a cache folder of the test's own, unless the test says otherwise.
ks::RunResult kernelscope(std::vector<std::string> args, ks::RunOptions options = {}) {
  options.args = std::move(args);
  options.timeout_seconds = 120;
  options.env.try_emplace("KERNELSCOPE_CEILINGS", kProbeData);
  options.env.try_emplace("XDG_CACHE_HOME", cache_home());
  return ks::run_program(ks::test::program_path("kernelscope"), options);
}

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Rows of a CSV file as maps from the header's names to the fields.
std::vector<std::map<std::string, std::string>> read_csv(const std::string& path) {
  const std::string text = slurp(path);
  std::vector<std::vector<std::string>> rows(1);
  std::string field;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      rows.back().push_back(field);
      field.clear();
    } else if (c == '\n') {
      rows.back().push_back(field);
      field.clear();
      rows.emplace_back();
    } else {
      field += c;
    }
  }
  rows.pop_back();  // after the last newline
  std::vector<std::map<std::string, std::string>> out;
  for (std::size_t r = 1; r < rows.size(); ++r) {
    EXPECT_EQ(rows[r].size(), rows[0].size()) << path << " row " << r;
    std::map<std::string, std::string> m;
    for (std::size_t k = 0; k < rows[0].size() && k < rows[r].size(); ++k) {
      m[rows[0][k]] = rows[r][k];
    }
    out.push_back(m);
  }
  return out;
}

bool built(const std::string& program) {
  return access(ks::test::program_path(program).c_str(), X_OK) == 0;
}

TEST(Sweep, TinySweepOnTheBuiltProgramsIsValidAndWritesEverything) {
  const std::string out = scratch("sweep");
  const ks::RunResult r =
      kernelscope({"sweep", "plus-static", "plus-parloop", "--sizes", "9,1K", "--threads", "1,2",
                   "--repeat", "2", "--warmup", "1", "--out", out});
  ASSERT_TRUE(ExitedWith(r, 0));
  const auto runs = read_csv(out + "/runs.csv");
  // plus-static at 2 sizes, plus-parloop at 2 sizes x 2 team sizes; 1 warm-up + 2 runs each.
  ASSERT_EQ(runs.size(), 6u * 3u);
  std::set<std::string> configs;
  for (const auto& run : runs) {
    EXPECT_EQ(run.at("outcome"), "valid") << run.at("reason");
    EXPECT_FALSE(run.at("printed_seconds").empty());
    configs.insert(run.at("program") + run.at("size") + "T" + run.at("threads"));
  }
  EXPECT_EQ(configs.size(), 6u);
  // Interleaved: the first six runs are one of each configuration.
  std::set<std::string> first_round;
  for (std::size_t i = 0; i < 6; ++i) {
    first_round.insert(runs[i].at("program") + runs[i].at("size") + "T" + runs[i].at("threads"));
    EXPECT_EQ(runs[i].at("warmup"), "1");
  }
  EXPECT_EQ(first_round.size(), 6u);

  const auto summary = read_csv(out + "/summary.csv");
  ASSERT_EQ(summary.size(), 6u);
  for (const auto& row : summary) {
    EXPECT_EQ(row.at("valid"), "2");
    EXPECT_FALSE(row.at("median").empty());
    EXPECT_FALSE(row.at("gb_per_s").empty());
  }
  const auto json = nlohmann::json::parse(slurp(out + "/results.json"));
  EXPECT_EQ(json["runs"].size(), 18u);
  EXPECT_EQ(json["summary"].size(), 6u);
  EXPECT_FALSE(json["context"]["cpu"]["model"].get<std::string>().empty());
  EXPECT_GE(json["context"]["cpu"]["logical_cpus"].get<int>(), 1);
  EXPECT_TRUE(json["context"]["build"]["programs"].contains("plus-parloop"));
  EXPECT_TRUE(json["context"]["build"]["programs"]["plus-parloop"]["openmp"].get<bool>());
  // Which OpenMP runtime, and which version of it, the OpenMP programs ran on; none for the
  // others.
  const auto& runtime = json["context"]["build"]["programs"]["plus-parloop"]["openmp_runtime"];
  EXPECT_NE(runtime["name"].get<std::string>().find("OpenMP runtime"), std::string::npos);
  EXPECT_FALSE(runtime["version"].get<std::string>().empty());
  EXPECT_NE(runtime["version"].get<std::string>(), "unknown");
  EXPECT_TRUE(json["context"]["build"]["programs"]["plus-static"]["openmp_runtime"].is_null());
  EXPECT_NE(slurp(out + "/summary.md").find("| plus-parloop |"), std::string::npos);
  for (const auto& entry : fs::directory_iterator(out)) {
    EXPECT_EQ(entry.path().string().find(".tmp-"), std::string::npos) << entry.path();
  }
  if (!r.err.empty()) {
    // Without gnuplot the sweep says so and still succeeds.
    EXPECT_NE(r.err.find("gnuplot"), std::string::npos) << r.err;
  } else {
    EXPECT_TRUE(fs::exists(out + "/plots/time-vector-add.svg"));
    EXPECT_TRUE(fs::exists(out + "/plots/speedup-vector-add.png"));
  }
  fs::remove_all(out);
}

TEST(Sweep, WithoutGnuplotEverythingElseIsWritten) {
  const std::string out = scratch("noplot");
  ks::RunOptions options;
  options.env["PATH"] = "/nonexistent";
  const ks::RunResult r = kernelscope(
      {"sweep", "plus-static", "--sizes", "16,32", "--repeat", "1", "--out", out}, options);
  ASSERT_TRUE(ExitedWith(r, 0));
  EXPECT_NE(r.err.find("gnuplot not found"), std::string::npos) << r.err;
  EXPECT_EQ(ks::test::lines(r.err).size(), 1u) << r.err;
  EXPECT_EQ(read_csv(out + "/runs.csv").size(), 4u);
  EXPECT_TRUE(fs::exists(out + "/results.json"));
  EXPECT_TRUE(fs::exists(out + "/plots/plots.gp"));
  EXPECT_FALSE(fs::exists(out + "/plots/time-vector-add.svg"));
  fs::remove_all(out);
}

TEST(Sweep, AWrongValueIsFlaggedInvalidWithANonZeroStatus) {
  const std::string out = scratch("wrong");
  const ks::RunResult r =
      kernelscope({"--bin", kFakes + "/wrong", "sweep", "plus-static", "--sizes", "10", "--repeat",
                   "2", "--warmup", "0", "--no-plots", "--out", out});
  ASSERT_TRUE(ExitedWith(r, 1));
  EXPECT_NE(r.err.find("invalid run of plus-static N=10"), std::string::npos) << r.err;
  const auto runs = read_csv(out + "/runs.csv");
  ASSERT_EQ(runs.size(), 2u);
  for (const auto& run : runs) {
    EXPECT_EQ(run.at("outcome"), "invalid");
    EXPECT_NE(run.at("reason").find("2.100000"), std::string::npos) << run.at("reason");
  }
  const auto summary = read_csv(out + "/summary.csv");
  EXPECT_EQ(summary.at(0).at("valid"), "0");
  EXPECT_EQ(summary.at(0).at("median"), "");
  fs::remove_all(out);
}

TEST(Sweep, AReasonCutInsideACharacterStillLeavesValidJson) {
  const std::string out = scratch("split-char");
  const ks::RunResult r =
      kernelscope({"--bin", kFakes + "/split-char", "sweep", "plus-static", "--sizes", "10",
                   "--repeat", "1", "--warmup", "0", "--no-plots", "--out", out});
  ASSERT_TRUE(ExitedWith(r, 1));
  EXPECT_NE(r.err.find("invalid run of plus-static N=10"), std::string::npos) << r.err;
  const auto json = nlohmann::json::parse(slurp(out + "/results.json"));
  const std::string reason = json["runs"][0]["reason"];
  EXPECT_NE(reason.find("\xef\xbf\xbd"), std::string::npos) << reason;  // U+FFFD
  EXPECT_NE(reason.find("VX[0]"), std::string::npos) << reason;
  fs::remove_all(out);
}

TEST(Sweep, ACrashOrAFailingStatusIsRecordedAsAFailure) {
  struct Case {
    const char* fake;
    const char* reason;
  };
  const Case cases[] = {{"crash", "killed by signal 11"}, {"status", "exit 3"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fake);
    const std::string out = scratch(c.fake);
    const ks::RunResult r =
        kernelscope({"--bin", kFakes + "/" + c.fake, "sweep", "plus-static", "--sizes", "10",
                     "--repeat", "1", "--warmup", "0", "--no-plots", "--out", out});
    EXPECT_TRUE(ExitedWith(r, 1));
    const auto runs = read_csv(out + "/runs.csv");
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].at("outcome"), "failed");
    EXPECT_NE(runs[0].at("reason").find(c.reason), std::string::npos) << runs[0].at("reason");
    fs::remove_all(out);
  }
}

TEST(Sweep, AHangingProgramIsKilledAtItsTimeout) {
  const std::string out = scratch("hang");
  const auto start = std::chrono::steady_clock::now();
  const ks::RunResult r =
      kernelscope({"--bin", kFakes + "/hang", "--timeout", "0.5", "sweep", "plus-static", "--sizes",
                   "10", "--repeat", "3", "--no-plots", "--out", out});
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(ExitedWith(r, 1));
  const auto runs = read_csv(out + "/runs.csv");
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_EQ(runs[0].at("outcome"), "timeout");
  for (std::size_t i = 1; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i].at("outcome"), "skipped");  // not run again after a timeout
  }
  EXPECT_LT(seconds, 30.0) << "the hanging program was not killed";
  fs::remove_all(out);
}

TEST(BadInput, EachIsOneLineAndStatusTwo) {
  const std::string out = scratch("bad");
  const std::string file = out + "/a-file";
  std::ofstream(file) << "x";
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"sweep", "plus-nothing", "--out", out + "/1"}, "unknown program 'plus-nothing'"},
      {{"sweep", "plus-static", "--sizes", "1K..x", "--out", out + "/2"}, "malformed size list"},
      {{"sweep", "plus-parloop", "--threads", "0", "--out", out + "/3"}, "malformed thread list"},
      {{"sweep", "plus-static", "--sizes", "64M", "--out", out + "/4"}, "would cap it"},
      {{"sweep", "plus-static", "--sizes", "10", "--out", file + "/sub"}, "output folder"},
      {{"--bin", kFakes + "/wrong", "sweep", "plus-heap", "--out", out + "/5"},
       "missing from the build"},
      {{"map", "plus-static", "--out", out + "/6"}, "is a benchmark"},
      {{"sweep", "plus-static", "--repeat", "x"}, "--repeat"},
      {{"frobnicate"}, "kernelscope --help"},
      {{"--timeout", "-1", "list"}, "--timeout"},
      {{"--ceilings", file, "sweep", "plus-static", "--out", out + "/7"},
       "--ceilings: " + file + " is not JSON"},
  };
  for (const Case& c : cases) {
    const ks::RunResult r = kernelscope(c.args);
    EXPECT_TRUE(ExitedWith(r, 2)) << c.message;
    EXPECT_EQ(ks::test::lines(r.err).size(), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("kernelscope: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << c.message;
  }
  // Nothing was started, so nothing was written.
  for (const char* sub : {"/1", "/2", "/3", "/4", "/5", "/6", "/7"}) {
    EXPECT_FALSE(fs::exists(out + sub)) << sub;
  }
  fs::remove_all(out);
}

TEST(BadOutput, StandardOutputThatCannotBeWrittenIsAFailure) {
  for (const auto mode : {ks::StdoutMode::kDevFull, ks::StdoutMode::kClosedPipe}) {
    ks::RunOptions options;
    options.stdout_mode = mode;
    const ks::RunResult r = kernelscope({"list", "-v"}, options);
    EXPECT_TRUE(r.exited) << r.describe();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err.rfind("kernelscope: cannot write standard output: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

// A tmpfs of its own, mounted on a fresh folder and unmounted (and removed) however the test
// ends. mounted() is false when this process may not mount (no root, no CAP_SYS_ADMIN).
class SmallTmpfs {
 public:
  SmallTmpfs(const std::string& dir, const char* options) : dir_(dir) {
    fs::create_directories(dir_);
    mounted_ = mount("tmpfs", dir_.c_str(), "tmpfs", 0, options) == 0;
    why_ = mounted_ ? "" : std::strerror(errno);
  }
  ~SmallTmpfs() {
    if (mounted_) {
      umount2(dir_.c_str(), MNT_DETACH);
    }
    fs::remove_all(dir_);
  }
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }

 private:
  std::string dir_;
  bool mounted_ = false;
  std::string why_;
};

// The sweep's files fit but for results.json, the last and largest: no inode left for it
// (runs.csv, summary.csv and summary.md take three of four, the folder the fourth), or no page
// left for its second 4 KiB.
TEST(BadOutput, AFullDiskWhileWritingResultsIsAFailureNamingTheFile) {
  struct Case {
    const char* options;
    const char* reason;
  };
  const Case cases[] = {{"size=1m,nr_inodes=4", "No space left on device"},
                        {"size=16k", "No space left on device"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const std::string out = scratch("full");
    SmallTmpfs disk(out, c.options);
    if (!disk.mounted()) {
      GTEST_SKIP() << "cannot mount a tmpfs here (" << disk.why() << "): needs root";
    }
    const ks::RunResult r = kernelscope({"sweep", "plus-static", "--sizes", "16", "--repeat", "1",
                                         "--warmup", "0", "--no-plots", "--out", out});
    EXPECT_TRUE(ExitedWith(r, 1));
    EXPECT_EQ(r.err, "kernelscope: cannot write " + out + "/results.json: " + c.reason + "\n");
    EXPECT_FALSE(fs::exists(out + "/results.json"));
  }
}

TEST(BadOutput, AResultsFileThatCannotBeReplacedIsAFailureNamingIt) {
  const std::string out = scratch("unreplaceable");
  fs::create_directories(out + "/results.json/in-the-way");
  const ks::RunResult r = kernelscope({"sweep", "plus-static", "--sizes", "16", "--repeat", "1",
                                       "--warmup", "0", "--no-plots", "--out", out});
  EXPECT_TRUE(ExitedWith(r, 1));
  EXPECT_EQ(r.err, "kernelscope: cannot write " + out + "/results.json: Is a directory\n");
  EXPECT_TRUE(fs::exists(out + "/runs.csv"));
  fs::remove_all(out);
}

TEST(Map, DemonstrationDrawnFromItsItemsAndJudged) {
  if (!built("chunk-static")) {
    GTEST_SKIP() << "chunk-static is not in this build";
  }
  const std::string out = scratch("map");
  const ks::RunResult r = kernelscope({"map", "chunk-static", "3", "--threads", "2", "--out", out});
  ASSERT_TRUE(ExitedWith(r, 0));
  EXPECT_NE(r.out.find("verdict: follows the rule"), std::string::npos) << r.out;
  const auto json = nlohmann::json::parse(slurp(out + "/map.json"));
  EXPECT_TRUE(json["follows_rule"].get<bool>());
  EXPECT_EQ(json["per_thread"]["0"], (std::vector<int>{0, 1, 2, 6, 7, 8, 12, 13, 14}));
  EXPECT_EQ(json["per_thread"]["1"], (std::vector<int>{3, 4, 5, 9, 10, 11, 15}));
  EXPECT_EQ(json["outside"].get<int>(), 3 + 4 + 5 + 9 + 10 + 11 + 15);
  const auto cells = read_csv(out + "/map.csv");
  EXPECT_EQ(cells.size(), 16u);
  EXPECT_NE(slurp(out + "/map.svg").find("<svg"), std::string::npos);
  fs::remove_all(out);
}

TEST(Map, EveryBuiltDemonstrationFollowsItsRule) {
  const std::string out = scratch("maps");
  int drawn = 0;
  for (const ks::driver::ProgramInfo& p : ks::driver::catalogue()) {
    const std::string program(p.name);
    if (p.kind != ks::driver::Kind::kDemonstration || !built(program)) {
      continue;
    }
    for (const char* threads : {"1", "3"}) {
      SCOPED_TRACE(std::string(program) + " T=" + threads);
      const ks::RunResult r =
          kernelscope({"map", program, "--threads", threads, "--out", out + "/" + program});
      EXPECT_TRUE(ExitedWith(r, 0));
      EXPECT_NE(r.out.find("verdict: follows the rule"), std::string::npos) << r.out;
      const auto json = nlohmann::json::parse(slurp(out + "/" + program + "/map.json"));
      EXPECT_TRUE(json["follows_rule"].get<bool>());
      EXPECT_EQ(json["threads"].get<int>(), std::stoi(threads));
      ++drawn;
    }
  }
  if (drawn == 0) {
    GTEST_SKIP() << "no demonstration is in this build";
  }
  fs::remove_all(out);
}

TEST(Map, ARuleBrokenIsNamedWithANonZeroStatus) {
  const std::string out = scratch("map-wrong");
  const ks::RunResult r = kernelscope(
      {"--bin", kFakes + "/wrong", "map", "chunk-static", "2", "--threads", "2", "--out", out});
  ASSERT_TRUE(ExitedWith(r, 1));
  EXPECT_NE(r.out.find("BREAKS THE RULE: thread 0 ran 0,1,2,3,4,5,6,7; the cyclic chunk "
                       "assignment gives it 0,1,4,5,8,9,12,13"),
            std::string::npos)
      << r.out;
  const auto json = nlohmann::json::parse(slurp(out + "/map.json"));
  EXPECT_FALSE(json["follows_rule"].get<bool>());
  EXPECT_EQ(read_csv(out + "/map.csv").size(), 16u);
  fs::remove_all(out);
}

TEST(Tour, MissingProgramsAreNamedAndTheReportIsStillWritten) {
  // A build with a few quick programs: the tour measures them and names every other as
  // missing. Each brings its catalogued tour configurations (sizes, team sizes).
  const std::string bin = scratch("tour-bin");
  std::size_t expected_rows = 0;
  std::vector<std::string> linked;
  for (const auto& [program, rows] :
       {std::pair<std::string, std::size_t>{"yupd-o2", 3}, {"greet-team", 3}}) {
    if (built(program)) {
      fs::create_symlink(ks::test::program_path(program), bin + "/" + program);
      expected_rows += rows;
      linked.push_back(program);
    }
  }
  if (linked.empty()) {
    fs::create_symlink(ks::test::program_path("plus-static"), bin + "/plus-static");
    expected_rows = 3;
  }
  const std::string out = scratch("tour");
  const ks::RunResult r =
      kernelscope({"--bin", bin, "tour", "--scale", "0.2", "--no-plots", "--out", out});
  ASSERT_TRUE(ExitedWith(r, 1));
  EXPECT_NE(r.err.find("kernelscope: mprod-heap is in the catalogue but missing from the build"),
            std::string::npos)
      << r.err;
  const std::string report = slurp(out + "/report.md");
  EXPECT_NE(report.find("**Missing from the build:**"), std::string::npos);
  EXPECT_EQ(report.find("Runs that were not valid"), std::string::npos) << report;
  const auto summary = read_csv(out + "/summary.csv");
  EXPECT_EQ(summary.size(), expected_rows);
  for (const auto& row : summary) {
    EXPECT_EQ(row.at("valid"), row.at("runs")) << row.at("program");
  }
  if (std::find(linked.begin(), linked.end(), "greet-team") != linked.end()) {
    EXPECT_NE(report.find("| greet-team | 4 | follows the rule |"), std::string::npos) << report;
    EXPECT_TRUE(fs::exists(out + "/maps/greet-team-T4.svg"));
    EXPECT_NE(r.out.find("greet-team      T=1,2,4  follows the rule"), std::string::npos) << r.out;
  }
  fs::remove_all(bin);
  fs::remove_all(out);
}

// --- Counters and the model ----------------------------------------------------------------

TEST(Counters, EachRunsCostIsRecordedAndSummarised) {
  // The fake's worker faults 3000 fresh pages and runs 3 threads that sleep 4 times each.
  const std::string out = scratch("counters");
  ks::RunOptions options;
  options.env["KS_FAKE_WORKER"] = KS_TEST_WORKER;
  const ks::RunResult r =
      kernelscope({"--bin", kFakes + "/worker", "sweep", "plus-static", "--sizes", "10", "--repeat",
                   "3", "--warmup", "0", "--no-plots", "--out", out},
                  options);
  ASSERT_TRUE(ExitedWith(r, 0));
  const auto runs = read_csv(out + "/runs.csv");
  ASSERT_EQ(runs.size(), 3u);
  for (const auto& run : runs) {
    EXPECT_GE(std::stol(run.at("minor_faults")), 3000) << run.at("minor_faults");
    EXPECT_GE(std::stol(run.at("voluntary_switches")), 3 * 4);
    EXPECT_GE(std::stod(run.at("user_seconds")) + std::stod(run.at("system_seconds")), 0.99 * 0.06);
    // Software events count where the machine lets them, both or neither.
    EXPECT_EQ(run.at("perf_task_clock_ns").empty(), run.at("perf_page_faults").empty());
    if (!run.at("perf_page_faults").empty()) {
      EXPECT_GE(std::stol(run.at("perf_page_faults")), 3000);
    }
  }
  const auto summary = read_csv(out + "/summary.csv");
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_GE(std::stod(summary[0].at("median_minor_faults")), 3000);
  const auto json = nlohmann::json::parse(slurp(out + "/results.json"));
  EXPECT_GE(json["summary"][0]["counters_median_per_run"]["minor_faults"].get<double>(), 3000);
  EXPECT_GE(json["runs"][2]["counters"]["voluntary_switches"].get<double>(), 12);
  const std::string md = slurp(out + "/summary.md");
  EXPECT_NE(md.find("## Counters\n"), std::string::npos) << md;
  EXPECT_NE(md.find("| plus-static N=10 |"), std::string::npos) << md;
  fs::remove_all(out);
}

TEST(Model, EachConfigurationIsExplainedFromTheCeilings) {
  const std::string out = scratch("model");
  const ks::RunResult r =
      kernelscope({"sweep", "plus-static", "plus-parloop", "--sizes", "64K", "--threads", "2",
                   "--repeat", "2", "--no-plots", "--out", out});
  ASSERT_TRUE(ExitedWith(r, 0));
  EXPECT_NE(r.out.find("%ceil"), std::string::npos) << r.out;
  const auto summary = read_csv(out + "/summary.csv");
  ASSERT_EQ(summary.size(), 2u);
  for (const auto& row : summary) {
    SCOPED_TRACE(row.at("program"));
    // 64K doubles: v3's 128 pages are first touched inside; the fixed ceilings price them.
    EXPECT_EQ(row.at("fresh_pages"), "128");
    EXPECT_FALSE(row.at("predicted_seconds").empty());
    EXPECT_GT(std::stod(row.at("measured_over_predicted")), 0);
    EXPECT_FALSE(row.at("explanation").empty());
    EXPECT_FALSE(row.at("percent_of_ceiling").empty());
  }
  EXPECT_EQ(summary[1].at("team"), "2");
  const auto json = nlohmann::json::parse(slurp(out + "/results.json"));
  EXPECT_EQ(json["context"]["ceilings"]["source"], "file");
  EXPECT_EQ(json["context"]["ceilings"]["probe"]["context"]["hostname"], "fixture");
  EXPECT_EQ(json["summary"][0]["model"]["work"]["traffic_bytes"], 32 * 65536);
  EXPECT_NE(slurp(out + "/summary.md").find("## Why it takes that long"), std::string::npos);

  // Without ceilings, no model: the columns stay empty and the report says why.
  const std::string bare = scratch("model-none");
  ASSERT_TRUE(ExitedWith(kernelscope({"--no-probe", "sweep", "plus-static", "--sizes", "64K",
                                      "--repeat", "1", "--no-plots", "--out", bare}),
                         0));
  EXPECT_EQ(read_csv(bare + "/summary.csv").at(0).at("predicted_seconds"), "");
  EXPECT_NE(slurp(bare + "/summary.md").find("No ceilings of this machine"), std::string::npos);
  fs::remove_all(out);
  fs::remove_all(bare);
}

// --- The probe ------------------------------------------------------------------------------

// A build folder of links: plus-static and a fake ks-probe.
std::string probe_bin(const std::string& name, const std::string& fake) {
  const std::string bin = scratch(name);
  fs::create_symlink(ks::test::program_path("plus-static"), bin + "/plus-static");
  fs::create_symlink(kFakes + "/" + fake + "/ks-probe", bin + "/ks-probe");
  return bin;
}

std::size_t lines_in(const std::string& path) {
  return ks::test::lines(slurp(path)).size();
}

std::size_t files_in(const std::string& dir) {
  std::error_code ec;
  std::size_t n = 0;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); ++it) {
    ++n;
  }
  return n;
}

TEST(Probe, MeasuredOnceAndCachedForTheSweepsThatFollow) {
  const std::string bin = probe_bin("probe-bin", "probe-good");
  const std::string home = scratch("probe-cache");
  const std::string log = home + "/probe.log";
  ks::RunOptions options;
  options.env["KERNELSCOPE_CEILINGS"] = std::nullopt;
  options.env["XDG_CACHE_HOME"] = home;
  options.env["KS_FAKE_PROBE_LOG"] = log;
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--bin", bin});
    return kernelscope(args, options);
  };

  ks::RunResult r = run({"probe"});
  ASSERT_TRUE(ExitedWith(r, 0));
  EXPECT_EQ(lines_in(log), 1u);
  EXPECT_NE(r.out.find("Ceilings of fixture (Test CPU)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("12 GB/s (T=1), 18 GB/s (T=2)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Cached in " + home + "/kernelscope/ceilings-"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("ks-probe:   0.2 s  done"), std::string::npos) << "progress: " << r.err;
  EXPECT_EQ(files_in(home + "/kernelscope"), 1u);

  r = run({"probe"});  // cached: not measured again
  ASSERT_TRUE(ExitedWith(r, 0));
  EXPECT_NE(r.out.find("From the cache"), std::string::npos) << r.out;
  EXPECT_EQ(lines_in(log), 1u);

  const std::string out = scratch("probe-sweep");
  r = run({"sweep", "plus-static", "--sizes", "1K", "--repeat", "1", "--no-plots", "--out", out});
  ASSERT_TRUE(ExitedWith(r, 0));
  EXPECT_EQ(lines_in(log), 1u) << "the sweep used the cache";
  EXPECT_FALSE(read_csv(out + "/summary.csv").at(0).at("predicted_seconds").empty());
  EXPECT_EQ(nlohmann::json::parse(slurp(out + "/results.json"))["context"]["ceilings"]["source"],
            "cache");

  r = run({"--reprobe", "probe"});
  ASSERT_TRUE(ExitedWith(r, 0));
  EXPECT_EQ(lines_in(log), 2u);

  // An empty cache: the sweep measures first, says so, and caches.
  fs::remove_all(home + "/kernelscope");
  fs::remove_all(out);
  r = run({"sweep", "plus-static", "--sizes", "1K", "--repeat", "1", "--no-plots", "--out", out});
  ASSERT_TRUE(ExitedWith(r, 0));
  EXPECT_EQ(lines_in(log), 3u);
  EXPECT_NE(r.err.find("measuring this machine's ceilings first"), std::string::npos) << r.err;
  EXPECT_EQ(files_in(home + "/kernelscope"), 1u);
  EXPECT_EQ(nlohmann::json::parse(slurp(out + "/results.json"))["context"]["ceilings"]["source"],
            "probe");

  // --no-probe: none of it.
  fs::remove_all(home + "/kernelscope");
  fs::remove_all(out);
  r = run({"--no-probe", "sweep", "plus-static", "--sizes", "1K", "--repeat", "1", "--no-plots",
           "--out", out});
  ASSERT_TRUE(ExitedWith(r, 0));
  EXPECT_EQ(lines_in(log), 3u);
  EXPECT_FALSE(fs::exists(home + "/kernelscope"));
  fs::remove_all(bin);
  fs::remove_all(home);
  fs::remove_all(out);
}

TEST(Probe, AProbeThatFailsIsOneLine) {
  struct Case {
    const char* fake;
    const char* line;
  };
  const Case cases[] = {
      {"probe-fails",
       "kernelscope: the probe failed (exit 1): ks-probe: check failed: memory bandwidth: the sum "
       "of a is 41, not 42\n"},
      {"probe-bad",
       "kernelscope: the probe's memory_bandwidth.results[].bytes_per_second is -5, not a "
       "positive figure\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fake);
    const std::string home = scratch("probe-fails-cache");
    ks::RunOptions options;
    options.env["KERNELSCOPE_CEILINGS"] = std::nullopt;
    options.env["XDG_CACHE_HOME"] = home;
    const ks::RunResult r = kernelscope({"--bin", kFakes + "/" + c.fake, "probe"}, options);
    EXPECT_TRUE(ExitedWith(r, 1));
    // The probe's progress as it came, then the failure in one line of ours.
    EXPECT_TRUE(r.err.ends_with(c.line)) << r.err;
    for (const std::string& line :
         ks::test::lines(r.err.substr(0, r.err.size() - std::strlen(c.line)))) {
      EXPECT_EQ(line.rfind("ks-probe: ", 0), 0u) << line;
    }
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(home + "/kernelscope")) << "nothing cached";

    // A sweep goes on without the model, after one line.
    const std::string bin = probe_bin("probe-fails-bin", c.fake);
    const std::string out = scratch("probe-fails-sweep");
    const ks::RunResult s = kernelscope({"--bin", bin, "sweep", "plus-static", "--sizes", "1K",
                                         "--repeat", "1", "--no-plots", "--out", out},
                                        options);
    EXPECT_TRUE(ExitedWith(s, 0));
    EXPECT_NE(s.err.find("kernelscope: no ceilings, so no model: the probe"), std::string::npos)
        << s.err;
    EXPECT_EQ(read_csv(out + "/summary.csv").at(0).at("predicted_seconds"), "");
    fs::remove_all(bin);
    fs::remove_all(out);
    fs::remove_all(home);
  }
  // No probe in the build: bad input, one line.
  ks::RunOptions options;
  options.env["KERNELSCOPE_CEILINGS"] = std::nullopt;
  const ks::RunResult r = kernelscope({"--bin", kFakes + "/wrong", "--reprobe", "probe"}, options);
  EXPECT_TRUE(ExitedWith(r, 2));
  EXPECT_EQ(r.err, "kernelscope: ks-probe is missing from the build (no executable " + kFakes +
                       "/wrong/ks-probe)\n");
}

}  // namespace
