// kernelscope's command line as a user meets it: errors that name what was wrong and point to
// the help of the subcommand they came from, help and version, notices for options that do not
// apply, list ranges, the map's caps and arguments, and the catalogue's columns.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/program_test.h"

namespace {

namespace fs = std::filesystem;
using ks::test::ExitedWith;

ks::RunResult kernelscope(std::vector<std::string> args) {
  ks::RunOptions options;
  options.args = std::move(args);
  // An idle machine's load: no warning about the load of the machine running the tests.
  static const std::string idle = [] {
    const std::string path =
        ::testing::TempDir() + "kernelscope-cli-loadavg-" + std::to_string(getpid());
    std::ofstream(path) << "0.00 0.00 0.00 1/100 4242\n";
    return path;
  }();
  options.env["KERNELSCOPE_LOADAVG_FILE"] = idle;
  // Known ceilings and a cache of the tests' own: no probe runs before a sweep.
  options.env["KERNELSCOPE_CEILINGS"] = std::string(KS_DRIVER_TEST_DATA) + "/probe.json";
  options.env["XDG_CACHE_HOME"] = ::testing::TempDir() + "kernelscope-cli-cache";
  options.timeout_seconds = 120;
  return ks::run_program(ks::test::program_path("kernelscope"), options);
}

// A fresh folder for one test's output, removed when the test ends.
class Scratch {
 public:
  explicit Scratch(const std::string& name)
      : dir_(::testing::TempDir() + "kernelscope-cli-" + name + "-" + std::to_string(getpid())) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  ~Scratch() { fs::remove_all(dir_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  std::string operator/(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// The values of one column of a CSV file without quoted fields.
std::vector<std::string> csv_column(const std::string& path, const std::string& name) {
  const std::vector<std::string> rows = ks::test::lines(slurp(path));
  std::vector<std::string> values;
  if (rows.empty()) {
    return values;
  }
  auto fields = [](const std::string& row) {
    std::vector<std::string> f(1);
    for (char c : row) {
      if (c == ',') {
        f.emplace_back();
      } else {
        f.back().push_back(c);
      }
    }
    return f;
  };
  const std::vector<std::string> header = fields(rows[0]);
  const auto at = std::find(header.begin(), header.end(), name) - header.begin();
  for (std::size_t r = 1; r < rows.size(); ++r) {
    values.push_back(fields(rows[r]).at(static_cast<std::size_t>(at)));
  }
  return values;
}

TEST(CommandLine, BadInputIsOneLineNamingTheProblemAndTheHelpItCameFrom) {
  const Scratch out("bad");
  const std::string o = out / "out";
  struct Case {
    std::vector<std::string> args;
    std::string line;  // the whole line on standard error, after "kernelscope: "
  };
  const std::string subcommands =
      "the subcommands are list, sweep, map, tour, report, compare, probe, explain, status, "
      "resume, help";
  const std::string seconds = "is not a number of seconds above 0 and at most 86400, a day";
  const Case cases[] = {
      {{},
       "a subcommand is required: list, sweep, map, tour, report, compare, probe, explain, status, "
       "resume, help (kernelscope help)"},
      {{"--bogus"}, "unknown option '--bogus' (kernelscope help)"},
      {{"bogus"}, "unknown subcommand 'bogus': " + subcommands + " (kernelscope help)"},
      {{"help", "bogus"}, "unknown subcommand 'bogus': " + subcommands + " (kernelscope help)"},
      {{"help", "sweep", "map"}, "unexpected argument 'map' for help (kernelscope help)"},
      {{"sweep", "plus-static", "--bogus", "--out", o},
       "unknown option '--bogus' for sweep (kernelscope help sweep)"},
      // Near misses name what was meant.
      {{"sweeps"},
       "unknown subcommand 'sweeps' (did you mean 'sweep'?): " + subcommands +
           " (kernelscope help)"},
      {{"sweep", "plus-static", "--size", "1M", "--out", o},
       "unknown option '--size' for sweep (did you mean '--sizes'?) (kernelscope help sweep)"},
      {{"sweep", "plus-static", "--reepat=3", "--out", o},
       "unknown option '--reepat=3' for sweep (did you mean '--repeat'?) (kernelscope help "
       "sweep)"},
      {{"sweep", "plus-static", "--no-prob", "--out", o},
       "unknown option '--no-prob' for sweep (did you mean '--no-probe'?) (kernelscope help "
       "sweep)"},
      {{"sweep", "plus-statc", "--out", o},
       "unknown program 'plus-statc' (did you mean 'plus-static'?) (kernelscope list shows the "
       "catalogue) (kernelscope help sweep)"},
      {{"map", "chunk-dynamc", "20"},
       "unknown program 'chunk-dynamc' (did you mean 'chunk-dynamic'?) (kernelscope list shows "
       "the catalogue) (kernelscope help map)"},
      {{"list", "extra"}, "unexpected argument 'extra' for list (kernelscope help list)"},
      {{"list", "sweep"}, "unexpected argument 'sweep' for list (kernelscope help list)"},
      {{"sweep"}, "PROGRAM is required (kernelscope help sweep)"},
      {{"sweep", "plus-nothing", "--out", o},
       "unknown program 'plus-nothing' (kernelscope list shows the catalogue) (kernelscope help "
       "sweep)"},
      // Empty lists are bad input, given to a program they apply to or not.
      {{"sweep", "plus-static", "--sizes", "", "--out", o},
       "malformed size list \"\": empty list (kernelscope help sweep)"},
      {{"sweep", "plus-parloop", "--threads", "", "--out", o},
       "malformed thread list \"\": empty list (kernelscope help sweep)"},
      {{"sweep", "plus-static", "--threads", "", "--out", o},
       "malformed thread list \"\": empty list (kernelscope help sweep)"},
      {{"sweep", "chunk-static", "--chunks", "", "--out", o},
       "malformed chunk list \"\": empty list (kernelscope help sweep)"},
      {{"sweep", "mprod-team", "--schedules", "", "--out", o},
       "malformed schedule list \"\": no schedule given (kernelscope help sweep)"},
      {{"sweep", "mprod-team", "--schedules", "nonmonotonic:static", "--out", o},
       "malformed schedule list \"nonmonotonic:static\": nonmonotonic applies to dynamic and "
       "guided only (kernelscope help sweep)"},
      {{"sweep", "mprod-team", "--schedules", "monotonic:nonmonotonic:dynamic", "--out", o},
       "malformed schedule list \"monotonic:nonmonotonic:dynamic\": at most one modifier "
       "(kernelscope help sweep)"},
      // Timeouts: finite, above 0, at most a day, before or after the subcommand.
      {{"--timeout", "nan", "list"}, "--timeout: 'nan' " + seconds + " (kernelscope help list)"},
      {{"--timeout", "0", "sweep", "plus-static", "--out", o},
       "--timeout: '0' " + seconds + " (kernelscope help sweep)"},
      {{"sweep", "plus-static", "--timeout", "-1", "--out", o},
       "--timeout: '-1' " + seconds + " (kernelscope help sweep)"},
      {{"map", "greet-team", "--timeout", "inf", "--out", o},
       "--timeout: 'inf' " + seconds + " (kernelscope help map)"},
      {{"tour", "--timeout", "1e400", "--out", o},
       "--timeout: '1e400' " + seconds + " (kernelscope help tour)"},
      {{"tour", "--timeout", "86401", "--out", o},
       "--timeout: '86401' " + seconds + " (kernelscope help tour)"},
      {{"tour", "--scale", "nan", "--out", o},
       "--scale: 'nan' is not a factor from 0.01 to 100 (kernelscope help tour)"},
      // The map checks its arguments as a sweep checks its lists.
      {{"map", "chunk-dynamic", "500", "3", "--out", o},
       "chunk-dynamic: size 500 is above its cap of 200; the program would cap it and run 200 "
       "(pass --cap to run it capped) (kernelscope help map)"},
      {{"map", "chunk-guided", "21", "2", "--out", o},
       "chunk-guided: size 21 is above its cap of 20; the program would cap it and run 20 (pass "
       "--cap to run it capped) (kernelscope help map)"},
      {{"map", "chunk-dynamic", "5", "3", "4", "--out", o},
       "chunk-dynamic takes 2 arguments (n (capped at 200, signed), chunk), 3 given (kernelscope "
       "help map)"},
      {{"map", "greet-team", "4", "--out", o},
       "greet-team takes no arguments, 1 given (kernelscope help map)"},
      {{"map", "chunk-static", "1..4", "--out", o},
       "a map draws one run: one chunk, not '1..4' (kernelscope help map)"},
      {{"map", "chunk-static", "0", "--out", o},
       "chunk-static: a chunk must be at least 1 (kernelscope help map)"},
      {{"map", "chunk-dynamic", "x", "2", "--out", o},
       "malformed size \"x\": not a number (digits with an optional K, M or G, or 1e6) "
       "(kernelscope help "
       "map)"},
      {{"map", "greet-team", "--threads", "0", "--out", o},
       "--threads must be between 1 and 1024 (kernelscope help map)"},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) {
      shown += " " + a;
    }
    SCOPED_TRACE("kernelscope" + shown);
    const ks::RunResult r = kernelscope(c.args);
    EXPECT_TRUE(ExitedWith(r, 2));
    EXPECT_EQ(r.err, "kernelscope: " + c.line + "\n");
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(fs::exists(o)) << "bad input must not start anything";
}

TEST(CommandLine, EverySubcommandsHelpListsItsOptionsGlobalOnesIncluded) {
  struct Case {
    std::string subcommand;
    std::vector<std::string> shows;
  };
  const Case cases[] = {
      {"list", {"-v,--verbose", "--bin DIR="}},
      {"sweep",
       {"PROGRAM", "--sizes LIST", "K, M, G are powers of two: 1K = 1024",
        "1K..32M doubles: 1K, 2K, 4K, ... 32M", "--threads LIST",
        "1..6 is every count from 1 to 6; 1..8x2 multiplies by 2: 1, 2, 4, 8", "--schedules LIST",
        "nonmonotonic (dynamic and guided only)", "--chunks LIST", "--repeat INT=6",
        "--warmup INT=1", "--out DIR=kernelscope-report-sweep", "--cap", "--no-plots",
        "--bin DIR=", "--timeout SECONDS=60", "--sync"}},
      {"map",
       {"PROGRAM", "ARGS", "--threads INT=4", "--cap", "--out DIR=kernelscope-report-map",
        "--bin DIR=", "--timeout SECONDS=60"}},
      {"tour",
       {"--scale FACTOR=1", "--out DIR=kernelscope-report", "--no-plots",
        "--bin DIR=", "--timeout SECONDS=60", "--sync"}},
      {"help", {"SUBCOMMAND"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.subcommand);
    const ks::RunResult help = kernelscope({"help", c.subcommand});
    ASSERT_TRUE(ExitedWith(help, 0));
    EXPECT_NE(help.out.find("\nUsage: kernelscope " + c.subcommand + " [OPTIONS]"),
              std::string::npos)
        << help.out;
    for (const std::string& s : c.shows) {
      EXPECT_NE(help.out.find(s), std::string::npos) << s << " in\n" << help.out;
    }
    const ks::RunResult flag = kernelscope({c.subcommand, "--help"});
    ASSERT_TRUE(ExitedWith(flag, 0));
    EXPECT_EQ(flag.out, help.out) << "help " << c.subcommand << " and " << c.subcommand
                                  << " --help differ";
  }
  const ks::RunResult top = kernelscope({"help"});
  ASSERT_TRUE(ExitedWith(top, 0));
  EXPECT_EQ(top.out, kernelscope({"--help"}).out);
  for (const char* s : {"--version", "--bin DIR=", "--timeout SECONDS=60", "sweep", "map", "tour",
                        "kernelscope help SUBCOMMAND"}) {
    EXPECT_NE(top.out.find(s), std::string::npos) << s << " in\n" << top.out;
  }
}

TEST(CommandLine, VersionNamesTheProjectVersionAndTheSourceRevision) {
  const ks::RunResult r = kernelscope({"--version"});
  ASSERT_TRUE(ExitedWith(r, 0));
  const std::string prefix = std::string("kernelscope ") + KS_PROJECT_VERSION + " (revision ";
  ASSERT_EQ(r.out.rfind(prefix, 0), 0u) << r.out;
  const std::string revision = r.out.substr(prefix.size(), r.out.size() - prefix.size() - 2);
  EXPECT_EQ(r.out.substr(r.out.size() - 2), ")\n") << r.out;
  EXPECT_FALSE(revision.empty());
  EXPECT_EQ(revision.find_first_of(" \n()"), std::string::npos) << revision;
  EXPECT_EQ(r.err, "");
}

TEST(CommandLine, OptionsThatCannotApplyGetANoticeAndAProgramNamedTwiceRunsOnce) {
  const Scratch out("notices");
  const ks::RunResult r =
      kernelscope({"sweep", "plus-static", "yupd-o2", "plus-static", "--sizes", "16", "--threads",
                   "2", "--chunks", "3", "--schedules", "static", "--repeat", "1", "--warmup", "0",
                   "--no-plots", "--out", out / "o"});
  ASSERT_TRUE(ExitedWith(r, 0));
  std::set<std::string> notices;
  for (const std::string& line : ks::test::lines(r.err)) {
    notices.insert(line);
  }
  const std::set<std::string> expected = {
      "kernelscope: plus-static is named more than once: it runs once",
      "kernelscope: plus-static takes no chunk: --chunks does not apply to it",
      "kernelscope: plus-static runs without OpenMP: --threads does not apply to it",
      "kernelscope: plus-static does not read OMP_SCHEDULE: --schedules does not apply to it",
      "kernelscope: yupd-o2 takes no chunk: --chunks does not apply to it",
      "kernelscope: yupd-o2 runs without OpenMP: --threads does not apply to it",
      "kernelscope: yupd-o2 does not read OMP_SCHEDULE: --schedules does not apply to it",
  };
  EXPECT_EQ(notices, expected) << r.err;
  EXPECT_EQ(ks::test::lines(r.err).size(), expected.size()) << r.err;
  EXPECT_EQ(csv_column(out / "o/runs.csv", "program"),
            (std::vector<std::string>{"plus-static", "yupd-o2"}));
}

TEST(CommandLine, AThreadRangeRunsEveryCountUnlessAFactorIsGiven) {
  const Scratch out("threads");
  struct Case {
    const char* threads;
    std::vector<std::string> runs;
  };
  const Case cases[] = {{"1..3", {"1", "2", "3"}}, {"1..4x2", {"1", "2", "4"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.threads);
    const std::string o = out / c.threads;
    const ks::RunResult r =
        kernelscope({"sweep", "plus-parloop", "--sizes", "16", "--threads", c.threads, "--repeat",
                     "1", "--warmup", "0", "--no-plots", "--out", o});
    ASSERT_TRUE(ExitedWith(r, 0));
    EXPECT_EQ(csv_column(o + "/runs.csv", "threads"), c.runs);
  }
}

TEST(CommandLine, MapDrawsACountAboveTheCapOnlyWhenAskedAndSaysSo) {
  const Scratch out("map-cap");
  const ks::RunResult r = kernelscope(
      {"map", "chunk-dynamic", "500", "3", "--cap", "--threads", "2", "--out", out / "o"});
  ASSERT_TRUE(ExitedWith(r, 0));
  EXPECT_EQ(r.err, "kernelscope: chunk-dynamic: size 500 will be capped to 200\n");
  const auto json = nlohmann::json::parse(slurp(out / "o/map.json"));
  EXPECT_EQ(json["columns"].get<int>(), 200);
  EXPECT_EQ(json["args"], (std::vector<std::string>{"500", "3"}));
}

// Every row's fields start where the header's do, whatever the widest entry of a column.
TEST(CommandLine, ListColumnsStayAligned) {
  const ks::RunResult r = kernelscope({"list"});
  ASSERT_TRUE(ExitedWith(r, 0));
  const std::vector<std::string> rows = ks::test::lines(r.out);
  ASSERT_FALSE(rows.empty());
  const std::string& header = rows[0];
  std::vector<std::size_t> starts;
  for (std::size_t i = 1; i < header.size(); ++i) {
    if (header[i] != ' ' && header[i - 1] == ' ') {
      starts.push_back(i);
    }
  }
  ASSERT_EQ(starts.size(), 6u) << header;  // program kind OpenMP opt build arguments
  int checked = 0;
  for (std::size_t k = 1; k < rows.size(); ++k) {
    const std::string& row = rows[k];
    if (row.rfind("  ", 0) != 0) {
      continue;  // a family's name, a blank line, the closing notes
    }
    ++checked;
    for (std::size_t s : starts) {
      ASSERT_LT(s, row.size()) << row;
      EXPECT_TRUE(row[s - 1] == ' ' && row[s] != ' ') << "column at " << s << " in\n"
                                                      << header << "\n"
                                                      << row;
    }
  }
  EXPECT_EQ(checked, 27);
  EXPECT_NE(r.out.find(" OpenMP+ "), std::string::npos);
}

}  // namespace

namespace {

bool on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    if (access((dirs.substr(start, end - start) + "/" + name).c_str(), X_OK) == 0) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

// explain after a sweep: the timed source lines, the compiled loop with its chain marked, the
// figures side by side and the measured ratio from the folder's store, as text and JSON.
TEST(CommandLine, ExplainShowsTheCompiledLoopItsCyclesAndTheMeasuredRatio) {
  if (!on_path("objdump") || !(on_path("llvm-mca-14") || on_path("llvm-mca"))) {
    GTEST_SKIP() << "objdump or llvm-mca is not installed (binutils, Debian's llvm-14)";
  }
  const Scratch scratch("explain");
  const std::string out = scratch / "sweep";
  ASSERT_TRUE(ExitedWith(kernelscope({"sweep", "mprod-heap", "yupd-o0", "--sizes", "64", "--repeat",
                                      "2", "--no-plots", "--out", out}),
                         0));
  const auto context = nlohmann::json::parse(slurp(out + "/results.json"))["context"];
  EXPECT_TRUE(context["loops"]["mprod-heap"].contains("kernel")) << context["loops"].dump();

  const ks::RunResult r =
      kernelscope({"explain", "mprod-heap", "yupd-o0", "--size", "64", "--out", out});
  ASSERT_TRUE(ExitedWith(r, 0)) << r.err;
  for (const char* s : {"mprod-heap N=64", "yupd-o0 N=64", "cycles/it chain",
                        "source: matrix-product/mprod-heap.cpp", "source: vector-update/yupd.cpp",
                        "y[i] = a * x[i] + y[i];", "measured: median", "measured/predicted"}) {
    EXPECT_NE(r.out.find(s), std::string::npos) << s << " in\n" << r.out;
  }
  // Each loop has its chain marked: for a plain build, the product's add and yupd-o0's
  // increment of its index in memory (a sanitizer's checks make other loops of the same
  // source, its calls to report a fault among them).
  const std::string analysed = context["loops"]["yupd-o0"].dump();
  const bool instrumented = analysed.find("__asan_") != std::string::npos ||
                            analysed.find("__ubsan_") != std::string::npos;
  int marked = 0;
  bool add_marked = false;
  bool increment_marked = false;
  for (const std::string& line : ks::test::lines(r.out)) {
    EXPECT_LE(line.size(), 100u) << line;
    if (line.rfind("  * ", 0) == 0) {
      ++marked;
      add_marked = add_marked || line.find("addsd") != std::string::npos;
      increment_marked = increment_marked || line.find("addl") != std::string::npos;
    }
  }
  EXPECT_GE(marked, 2) << r.out;
  if (!instrumented) {
    EXPECT_TRUE(add_marked) << "the product's chain of adds\n" << r.out;
    EXPECT_TRUE(increment_marked) << "yupd-o0's index in memory\n" << r.out;
  }

  const ks::RunResult j =
      kernelscope({"explain", "mprod-heap", "--size", "64", "--out", out, "--json"});
  ASSERT_TRUE(ExitedWith(j, 0)) << j.err;
  const auto all = nlohmann::json::parse(j.out);
  ASSERT_EQ(all.size(), 1u);
  const auto& e = all[0];
  EXPECT_EQ(e["program"], "mprod-heap");
  // The fixed ceilings' fp64 add takes 3 cycles: one per term of the sum.
  EXPECT_DOUBLE_EQ(e["predicted"]["cycles_per_iteration"]["chain"].get<double>(), 3.0);
  EXPECT_EQ(e["predicted"]["iterations"], 64 * 64 * 64);
  EXPECT_EQ(e["measured"]["runs"], 2);
  EXPECT_GT(e["measured"]["ratio"].get<double>(), 0);

  const ks::RunResult bad = kernelscope({"explain", "greet-team"});
  EXPECT_TRUE(ExitedWith(bad, 2));
  EXPECT_NE(bad.err.find("greet-team is not a benchmark"), std::string::npos) << bad.err;
  EXPECT_NE(bad.err.find("(kernelscope help explain)"), std::string::npos) << bad.err;
}

}  // namespace
