// kernelscope run as a user runs it: on the built programs, on fake programs that print a
// wrong value or hang, and on bad input. Results are read back from its CSV and JSON files.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "driver/catalogue/catalogue.h"
#include "driver/store/store.h"
#include "driver/tests/app/driver_runs.h"
#include "tests/support/program_test.h"

namespace {

namespace fs = std::filesystem;
using ks::test::ExitedWith;

using ks::driver::test::built;
using ks::driver::test::cache_home;
using ks::driver::test::kernelscope;
using ks::driver::test::kFakes;
using ks::driver::test::kProbeData;
using ks::driver::test::loadavg_file;
using ks::driver::test::read_csv;
using ks::driver::test::scratch;
using ks::driver::test::slurp;

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
    // N = 9 may take under 100 ns, below what the printed nanoseconds resolve: no rate then.
    EXPECT_EQ(row.at("gb_per_s").empty(), row.at("below_resolution") == "1");
    // Two runs: the median's interval is their range, at the level two runs give.
    EXPECT_LE(std::stod(row.at("median_low")), std::stod(row.at("median")));
    EXPECT_GE(std::stod(row.at("median_high")), std::stod(row.at("median")));
    EXPECT_EQ(row.at("median_confidence"), "0.5");
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
  // Every sweep writes a report with its header, and says which variant ran fastest.
  const std::string report = slurp(out + "/report.md");
  EXPECT_EQ(report.rfind("# kernelscope sweep\n", 0), 0u) << report;
  EXPECT_NE(report.find("| command | `kernelscope sweep plus-static plus-parloop --sizes 9,1K"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("## What the times are"), std::string::npos);
  EXPECT_NE(r.out.find("Fastest at each size (the full ranking in report.md):\n  vector-add N="),
            std::string::npos)
      << r.out;
  for (const auto& entry : fs::directory_iterator(out)) {
    EXPECT_EQ(entry.path().string().find(".tmp-"), std::string::npos) << entry.path();
  }
  // The last line names the page to open.
  EXPECT_NE(r.out.find("; open " + out + "/report.html (or report.md)\n"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.back(), '\n');
  EXPECT_EQ(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1).find("18 runs in "), 0u) << r.out;
  // The binary suffix spelled out once, with the plan.
  EXPECT_EQ(r.out.find("1K = 1024 (binary suffix; 1e3 or 1000 for a decimal thousand)\n"), 0u)
      << r.out;
  const std::string notice =
      "kernelscope: plus-static runs without OpenMP: --threads does not apply to it\n";
  ASSERT_EQ(r.err.substr(0, notice.size()), notice);
  if (r.err != notice) {
    // Without gnuplot the sweep says so and still succeeds.
    EXPECT_NE(r.err.find("gnuplot", notice.size()), std::string::npos) << r.err;
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
  // The warm-up timed out and the three measured runs were skipped: none of three was valid.
  const auto summary = read_csv(out + "/summary.csv");
  EXPECT_EQ(summary.at(0).at("runs"), "3");
  EXPECT_EQ(summary.at(0).at("valid"), "0");
  EXPECT_NE(r.out.find(" 0/3 "), std::string::npos) << r.out;
  fs::remove_all(out);
}

// The fakes in tests/fakes/timed print whatever time KS_FAKE_NS asks for, at the precision of
// the program they stand for: nine decimals for plus-static, six for the scaled update.
TEST(Sweep, TimesBelowResolutionAreMarkedAtBothPrintedPrecisions) {
  struct Case {
    const char* program;
    const char* size;
    const char* ns;
    bool below;
  };
  const Case cases[] = {
      {"plus-static", "10", "50", true},     // 50 steps of 1 ns
      {"plus-static", "10", "150", false},   // 150 steps
      {"yupd-o0", "1000", "50000", true},    // 50 steps of 1 us
      {"yupd-o0", "1000", "150000", false},  // 150 steps
      {"yupd-o0", "1000", "900", true},      // printed as 0.000000
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.program) + " " + c.ns + " ns");
    const std::string out = scratch("resolution");
    ks::RunOptions options;
    options.env["KS_FAKE_NS"] = c.ns;
    const ks::RunResult r =
        kernelscope({"--bin", kFakes + "/timed", "sweep", c.program, "--sizes", c.size, "--repeat",
                     "3", "--warmup", "0", "--no-plots", "--out", out},
                    options);
    ASSERT_TRUE(ExitedWith(r, 0));
    const auto summary = read_csv(out + "/summary.csv");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0].at("below_resolution"), c.below ? "1" : "0");
    EXPECT_EQ(summary[0].at("gb_per_s").empty(), c.below);
    EXPECT_EQ(summary[0].at("speedup").empty(), c.below);  // else 1 against itself
    EXPECT_EQ(slurp(out + "/summary.csv").find("inf"), std::string::npos);
    const auto json = nlohmann::json::parse(slurp(out + "/results.json"));
    EXPECT_EQ(json["summary"][0]["below_resolution"].get<bool>(), c.below);
    EXPECT_EQ(json["summary"][0].contains("hint"), c.below);
    // On the terminal the median reads "<100 ns" or "<100 us", with a size to try.
    EXPECT_EQ(r.out.find("try N >= ") != std::string::npos, c.below) << r.out;
    EXPECT_EQ(r.out.find(" <100 ") != std::string::npos, c.below) << r.out;
    fs::remove_all(out);
  }
}

int usable_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
}

// A load average high for the usable CPUs, or a team larger than them, is a warning on the
// terminal, in the reports and in the machine context kept with the results.
TEST(Sweep, ALoadedOrOversubscribedMachineIsAWarningEverywhere) {
  const int cpus = usable_cpus();
  struct Case {
    const char* name;
    double load;
    int threads;
    const char* warning;  // empty: none
  };
  const Case cases[] = {
      {"idle, one thread", 0.0, 1, ""},
      {"idle, every CPU", 0.2, cpus, ""},
      {"loaded", cpus + 1.0, 1, "the load average was"},
      {"oversubscribed", 0.0, cpus + 1, "threads is larger than the"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = scratch("conditions");
    ks::RunOptions options;
    options.env["KERNELSCOPE_LOADAVG_FILE"] = loadavg_file(std::to_string(c.load));
    const ks::RunResult r = kernelscope(
        {"--bin", kFakes + "/timed", "sweep", "plus-parloop", "--sizes", "10", "--threads",
         std::to_string(c.threads), "--repeat", "1", "--warmup", "0", "--no-plots", "--out", out},
        options);
    ASSERT_TRUE(ExitedWith(r, 0));
    const std::string warning = c.warning;
    const auto json = nlohmann::json::parse(slurp(out + "/results.json"));
    const nlohmann::json& conditions = json["context"]["conditions"];
    EXPECT_DOUBLE_EQ(conditions["load_average_1min"].get<double>(), c.load);
    EXPECT_EQ(conditions["usable_cpus"].get<int>(), cpus);
    if (warning.empty()) {
      EXPECT_EQ(r.err, "");
      EXPECT_TRUE(conditions["warnings"].empty()) << conditions;
      EXPECT_EQ(slurp(out + "/report.md").find("**Warning:**"), std::string::npos);
    } else {
      EXPECT_EQ(r.err.rfind("kernelscope: warning: ", 0), 0u) << r.err;
      EXPECT_NE(r.err.find(warning), std::string::npos) << r.err;
      ASSERT_EQ(conditions["warnings"].size(), 1u) << conditions;
      EXPECT_NE(conditions["warnings"][0].get<std::string>().find(warning), std::string::npos);
      for (const char* report : {"/report.md", "/summary.md"}) {
        const std::string md = slurp(out + report);
        EXPECT_NE(md.find("**Warning:** " + conditions["warnings"][0].get<std::string>()),
                  std::string::npos)
            << report << md;
      }
    }
    fs::remove_all(out);
  }
}

// What each run of tests/fakes/env wrote to its log: per program, the set of OpenMP variables
// of each run.
std::map<std::string, std::vector<std::set<std::string>>> environments(const std::string& log) {
  std::map<std::string, std::vector<std::set<std::string>>> by_program;
  std::string program;
  std::set<std::string> vars;
  for (const std::string& line : ks::test::lines(slurp(log))) {
    if (line.rfind("program ", 0) == 0) {
      program = line.substr(8);
    } else if (line == "--") {
      by_program[program].push_back(vars);
      vars.clear();
    } else {
      vars.insert(line);
    }
  }
  return by_program;
}

// --bind and --places reach the OpenMP programs' environment; the caller's own OpenMP
// variables are passed on, taken as the placement or replaced, each with a notice.
TEST(Sweep, PlacementAndTheCallersOpenmpVariablesReachTheRunsWithANotice) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    std::map<std::string, std::string> caller;
    std::set<std::string> parallel;    // in every run of plus-parloop (T=2)
    std::set<std::string> sequential;  // in every run of plus-static
    std::vector<std::string> notices;  // each on standard error
    const char* proc_bind;             // as summary.csv records plus-parloop's
  };
  const Case cases[] = {
      {"options",
       {"--bind", "close", "--places", "cores"},
       {},
       {"OMP_NUM_THREADS=2", "OMP_PLACES=cores", "OMP_PROC_BIND=close"},
       {},
       {},
       "close"},
      {"the caller's placement",
       {},
       {{"OMP_PROC_BIND", "spread"}, {"OMP_PLACES", "threads"}},
       {"OMP_NUM_THREADS=2", "OMP_PLACES=threads", "OMP_PROC_BIND=spread"},
       {},
       {"OMP_PROC_BIND=spread from the environment is passed to the OpenMP programs, as --bind "
        "spread would",
        "OMP_PLACES=threads from the environment is passed to the OpenMP programs"},
       "spread"},
      {"the caller's placement replaced",
       {"--bind", "close"},
       {{"OMP_PROC_BIND", "spread"}},
       {"OMP_NUM_THREADS=2", "OMP_PROC_BIND=close"},
       {},
       {"OMP_PROC_BIND=spread from the environment is replaced by --bind close"},
       "close"},
      {"the caller's others",
       {},
       {{"OMP_NUM_THREADS", "7"}, {"OMP_WAIT_POLICY", "passive"}, {"OMP_SCHEDULE", "guided"}},
       {"OMP_NUM_THREADS=2", "OMP_WAIT_POLICY=passive"},
       {"OMP_WAIT_POLICY=passive"},
       {"OMP_NUM_THREADS=7 from the environment is not passed on",
        "OMP_SCHEDULE=guided from the environment is not passed on",
        "passed on from the environment to every run: OMP_WAIT_POLICY=passive"},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = scratch("placement");
    const std::string log = out + ".log";
    fs::remove(log);
    ks::RunOptions options;
    options.env["KS_FAKE_ENV_LOG"] = log;
    for (const auto& [name, value] : c.caller) {
      options.env[name] = value;
    }
    std::vector<std::string> args = {"--bin",
                                     kFakes + "/env",
                                     "sweep",
                                     "plus-static",
                                     "plus-parloop",
                                     "--sizes",
                                     "10",
                                     "--threads",
                                     "2",
                                     "--repeat",
                                     "2",
                                     "--warmup",
                                     "0",
                                     "--no-plots",
                                     "--out",
                                     out};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const ks::RunResult r = kernelscope(args, options);
    ASSERT_TRUE(ExitedWith(r, 0));
    const auto runs = environments(log);
    ASSERT_EQ(runs.at("plus-parloop").size(), 2u);
    ASSERT_EQ(runs.at("plus-static").size(), 2u);
    for (const auto& vars : runs.at("plus-parloop")) {
      EXPECT_EQ(vars, c.parallel);
    }
    for (const auto& vars : runs.at("plus-static")) {
      EXPECT_EQ(vars, c.sequential);
    }
    // and the notice that --threads does not apply to plus-static
    EXPECT_EQ(ks::test::lines(r.err).size(), c.notices.size() + 1) << r.err;
    for (const std::string& notice : c.notices) {
      EXPECT_NE(r.err.find("kernelscope: " + notice), std::string::npos) << r.err;
    }
    // Recorded with each configuration, and the caller's variables with the machine context.
    const auto summary = read_csv(out + "/summary.csv");
    EXPECT_EQ(summary.at(0).at("proc_bind"), "");  // plus-static has no team
    EXPECT_EQ(summary.at(1).at("proc_bind"), c.proc_bind);
    const auto json = nlohmann::json::parse(slurp(out + "/results.json"));
    for (const auto& [name, value] : c.caller) {
      const nlohmann::json& openmp = json["context"]["openmp"];
      EXPECT_TRUE(openmp["passed_from_caller"].contains(name) ||
                  openmp["caller_environment_not_passed"].contains(name) ||
                  (name == "OMP_PROC_BIND" && openmp["proc_bind"] == value) ||
                  (name == "OMP_PLACES" && openmp["places"] == value))
          << name << " " << openmp;
    }
    fs::remove(log);
    fs::remove_all(out);
  }
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
      {{"frobnicate"}, "unknown subcommand 'frobnicate'"},
      {{"--timeout", "-1", "list"}, "--timeout"},
      {{"sweep", "plus-parloop", "--bind", "tight", "--out", out + "/7"},
       "--bind 'tight' is not a binding"},
      {{"sweep", "plus-parloop", "--places", "{0,1", "--out", out + "/8"},
       "--places '{0,1' is not a list of places"},
      {{"--ceilings", file, "sweep", "plus-static", "--out", out + "/9"},
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
  for (const char* sub : {"/1", "/2", "/3", "/4", "/5", "/6", "/7", "/8", "/9"}) {
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

// The file a failure line names, relative to the output folder ("runs.csv", "results.db",
// "plots/"), or "" when the line names none.
std::string failed_file(const std::string& line, const std::string& out) {
  const std::size_t at = line.find(out + "/");
  if (at == std::string::npos) {
    return "";
  }
  const std::string rest = line.substr(at + out.size() + 1);
  return rest.substr(0, rest.find_first_of(":;{ ,"));
}

// A disk that fills up part-way (a small tmpfs as the output folder, short of room or of
// inodes): each file that could not be written is named on standard error and left no trace
// of a half-written self, every other file is complete, the store holds the runs it could
// take, the summary still prints and the status is 1. The sizes make it fail at different
// files.
TEST(BadOutput, AFullDiskNamesEachFileNotWrittenAndWritesTheRest) {
  const char* const options[] = {"size=16k",  // no room for the store
                                 "size=56k",  // a store, but no room to open it for writing
                                 "size=88k",  // room for a few runs in the store
                                 "size=1m,nr_inodes=5",
                                 "size=1m,nr_inodes=6",
                                 "size=1m,nr_inodes=8",
                                 "size=1m,nr_inodes=10"};
  std::set<std::string> first_failures;
  for (const char* o : options) {
    SCOPED_TRACE(o);
    const std::string out = scratch("full");
    SmallTmpfs disk(out, o);
    if (!disk.mounted()) {
      GTEST_SKIP() << "cannot mount a tmpfs here (" << disk.why() << "): needs root";
    }
    const ks::RunResult r = kernelscope({"sweep", "plus-static", "--sizes", "16,32", "--repeat",
                                         "2", "--warmup", "0", "--out", out});
    EXPECT_TRUE(ExitedWith(r, 1));
    EXPECT_NE(r.out.find("plus-static  16"), std::string::npos) << r.out;  // the summary
    EXPECT_NE(r.out.find("4 runs in"), std::string::npos) << r.out;
    std::set<std::string> failed;
    for (const std::string& line : ks::test::lines(r.err)) {
      EXPECT_EQ(line.rfind("kernelscope: ", 0), 0u) << line;
      const std::string file = failed_file(line, out);
      if (line.find("gnuplot not found") == std::string::npos) {
        EXPECT_NE(file, "") << line;
      }
      if (!file.empty()) {
        if (failed.empty()) {
          first_failures.insert(file);
        }
        failed.insert(file);
      }
    }
    EXPECT_FALSE(failed.empty()) << r.err;
    for (const char* file : {"runs.csv", "summary.csv", "summary.md", "results.json"}) {
      if (failed.count(file) != 0) {
        EXPECT_FALSE(fs::exists(out + "/" + file)) << file;
      } else {
        EXPECT_TRUE(fs::exists(out + "/" + file)) << file;
      }
    }
    if (failed.count("runs.csv") == 0) {
      EXPECT_EQ(read_csv(out + "/runs.csv").size(), 4u);
    }
    if (failed.count("results.json") == 0) {
      EXPECT_EQ(nlohmann::json::parse(slurp(out + "/results.json"))["runs"].size(), 4u);
    }
    for (const auto& entry : fs::directory_iterator(out)) {
      EXPECT_EQ(entry.path().string().find(".tmp-"), std::string::npos) << entry.path();
    }
    if (fs::exists(out + "/results.db")) {
      // What the store holds is complete, and all of it when it was not named. Read from a
      // copy: a reader needs room for the log's index, which the full disk does not have.
      const std::string copy = scratch("full-copy");
      for (const char* suffix : {"", "-wal"}) {
        if (fs::exists(out + "/results.db" + suffix)) {
          fs::copy_file(out + "/results.db" + suffix, copy + "/results.db" + suffix);
        }
      }
      const auto runs = ks::driver::Store::open_readonly(copy + "/results.db").load().runs;
      fs::remove_all(copy);
      EXPECT_LE(runs.size(), 4u);
      if (failed.count("results.db") == 0) {
        EXPECT_EQ(runs.size(), 4u);
      }
    } else {
      EXPECT_EQ(failed.count("results.db"), 1u);
    }
  }
  EXPECT_GE(first_failures.size(), 2u) << "every size failed at the same file";
}

TEST(BadOutput, AFileThatCannotBeReplacedIsNamedAndTheOthersAreWritten) {
  const std::string out = scratch("unreplaceable");
  ks::RunOptions options;
  // The fake program puts a folder where results.json goes, after the folder was cleared.
  options.env["KS_FAKE_BLOCK"] = out + "/results.json/in-the-way";
  const ks::RunResult r =
      kernelscope({"--bin", kFakes + "/blocker", "sweep", "plus-static", "--sizes", "10",
                   "--repeat", "1", "--warmup", "0", "--no-plots", "--out", out},
                  options);
  EXPECT_TRUE(ExitedWith(r, 1));
  EXPECT_EQ(r.err, "kernelscope: cannot write " + out +
                       "/results.json: a folder is in its place, left as it is\n");
  EXPECT_NE(r.out.find("plus-static  10"), std::string::npos) << r.out;
  EXPECT_EQ(read_csv(out + "/runs.csv").size(), 1u);
  EXPECT_TRUE(fs::exists(out + "/summary.md"));
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
  // The verdict is broken into lines of at most 80 columns.
  std::string words;
  for (char c : r.out) {
    if (c != '\n' && (c != ' ' || (!words.empty() && words.back() != ' '))) {
      words += c;
    } else if (c == '\n' && !words.empty() && words.back() != ' ') {
      words += ' ';
    }
  }
  EXPECT_NE(words.find("BREAKS THE RULE: thread 0 ran 0,1,2,3,4,5,6,7; the cyclic chunk "
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
                   "--repeat", "2", "--no-plots", "--wide", "--out", out});
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
       "kernelscope: the probe's memory_bandwidth.results[].bytes_per_second is -5: a real "
       "machine's is between 1000 and 1e+15 B/s\n"},
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
                       "/wrong/ks-probe) (kernelscope help probe)\n");
}

}  // namespace
