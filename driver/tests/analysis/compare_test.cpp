// kernelscope compare on stores made from the fake programs of tests/fakes/timed, whose times
// are whatever KS_FAKE_NS says: a known factor between two stores must come out as the verdict,
// the status and the files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "driver/analysis/compare.h"
#include "driver/base/errors.h"
#include "driver/catalogue/catalogue.h"
#include "driver/run/machine.h"
#include "driver/run/runner.h"
#include "driver/store/store.h"
#include "tests/support/program_test.h"

namespace {

namespace fs = std::filesystem;
namespace kd = ks::driver;
using ks::test::ExitedWith;

const std::string kFakes = std::string(KS_DRIVER_FAKES) + "/timed";

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// A folder of the test's own, removed at the end.
class Folder {
 public:
  explicit Folder(const std::string& name)
      : path_(::testing::TempDir() + "ks-compare-" + name + "-" + std::to_string(getpid())) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~Folder() { fs::remove_all(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

kd::Config config(const char* program, std::uint64_t size, int threads, int repeat) {
  kd::Config c;
  c.program = kd::find_program(program);
  c.size = size;
  c.threads = threads;
  c.repeat = repeat;
  return c;
}

// Runs the fakes for `configs`, each taking about `ns` nanoseconds, and keeps their runs in
// DIR/results.db as a sweep would; `host` names the machine in its context.
void make_store(const std::string& dir, const std::vector<kd::Config>& configs, long ns,
                const std::string& host = "") {
  setenv("KS_FAKE_NS", std::to_string(ns).c_str(), 1);
  setenv("KS_FAKE_JITTER_NS", std::to_string(ns / 100).c_str(), 1);
  kd::RunnerOptions options;
  options.bin_dir = kFakes;
  const std::vector<kd::RunRecord> runs = kd::run_interleaved(configs, options);
  unsetenv("KS_FAKE_NS");
  unsetenv("KS_FAKE_JITTER_NS");
  nlohmann::json context = kd::machine_context(kFakes);
  if (!host.empty()) {
    context["host"] = host;
    context["cpu"]["model"] = "Another CPU";
  }
  kd::StoreOptions store_options;
  store_options.host = host;
  kd::Store store = kd::Store::create(dir, kd::interleaved_plan(configs), context,
                                      {"kernelscope", "sweep", "plus-static"}, store_options);
  for (const kd::RunRecord& r : runs) {
    ASSERT_EQ(r.outcome, kd::Outcome::kValid) << r.why;
    store.append_run(r);
  }
}

ks::RunResult kernelscope(std::vector<std::string> args) {
  ks::RunOptions options;
  options.args = std::move(args);
  options.timeout_seconds = 120;
  return ks::run_program(ks::test::program_path("kernelscope"), options);
}

TEST(Compare, AKnownFactorBetweenTwoStoresIsTheVerdictAndTheStatus) {
  Folder tmp("factor");
  const std::vector<kd::Config> configs = {config("plus-static", 10, 0, 6),
                                           config("yupd-o0", 1000, 0, 6)};
  const std::string base = tmp.path() + "/base";
  fs::create_directories(base);
  make_store(base, configs, 10'000'000);
  struct Case {
    const char* name;
    long ns;  // the new store's time; 0: the base itself
    std::vector<std::string> options;
    int status;
    const char* verdict;
    double ratio;
    double delta;       // Cliff's delta: every new run slower is +1
    const char* shown;  // the colour of its verdict in every picture
  };
  const char* orange = "#D55E00";
  const char* blue = "#0072B2";
  const char* grey = "#666666";
  const Case cases[] = {
      {"itself", 0, {"--threshold", "5%"}, 0, "no significant change", 1.0, 0.0, grey},
      {"twice as slow", 20'000'000, {"--threshold", "5%"}, 1, "slower", 2.0, 1.0, orange},
      {"twice as slow, no threshold", 20'000'000, {}, 0, "slower", 2.0, 1.0, orange},
      {"twice as slow, beyond the threshold only",
       20'000'000,
       {"--threshold", "150"},
       0,
       "slower",
       2.0,
       1.0,
       orange},
      {"twice as fast", 5'000'000, {"--threshold", "5"}, 0, "faster", 0.5, -1.0, blue},
      // Significant, but smaller than the least effect asked for.
      {"twice as slow, below the minimum effect",
       20'000'000,
       {"--min-effect", "150%"},
       0,
       "no practical change",
       2.0,
       1.0,
       grey},
      {"twice as fast, below the minimum effect",
       5'000'000,
       {"--min-effect", "60"},
       0,
       "no practical change",
       0.5,
       -1.0,
       grey},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string fresh = base + "/results.db";  // the store file itself is accepted too
    if (c.ns != 0) {
      fresh = tmp.path() + "/new-" + std::to_string(c.ns);
      if (!fs::exists(fresh)) {
        fs::create_directories(fresh);
        make_store(fresh, configs, c.ns);
      }
    }
    const std::string out = tmp.path() + "/out";
    std::vector<std::string> args = {"compare", base, fresh, "--out", out};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const ks::RunResult r = kernelscope(args);
    ASSERT_TRUE(ExitedWith(r, c.status)) << r.out << r.err;
    const auto json = nlohmann::json::parse(slurp(out + "/compare.json"));
    ASSERT_EQ(json["configurations"].size(), 2u) << json;
    for (const auto& row : json["configurations"]) {
      EXPECT_EQ(row["verdict"], c.verdict) << row;
      EXPECT_NEAR(row["ratio"].get<double>(), c.ratio, c.ratio * 0.03) << row;
      const auto& interval = row["ratio_interval"];
      ASSERT_FALSE(interval.is_null()) << row;
      EXPECT_LE(interval["low"].get<double>(), row["ratio"].get<double>());
      EXPECT_GE(interval["high"].get<double>(), row["ratio"].get<double>());
      EXPECT_GE(interval["confidence"].get<double>(), 0.95);
      EXPECT_LT(row["mann_whitney"]["p"].get<double>(), c.ratio == 1.0 ? 1.01 : 0.05);
      EXPECT_EQ(row["beyond_threshold"].get<bool>(), c.status == 1);
      EXPECT_DOUBLE_EQ(row["cliffs_delta"].get<double>(), c.delta) << row;
    }
    // One colour key: the page's verdict and the plot's points.
    const std::string html = slurp(out + "/report.html");
    EXPECT_NE(html.find(fmt::format("<span style=\"color:{}\">{}", c.shown, c.verdict)),
              std::string::npos);
    const std::string dat = slurp(out + "/compare.dat");
    EXPECT_NE(dat.find(fmt::format(" {}\n", std::stoi(c.shown + 1, nullptr, 16))),
              std::string::npos)
        << dat;
    // The intervals drawn are at the level they have: six runs a side reach 95 %.
    EXPECT_NE(slurp(out + "/compare.gp").find("with 95% intervals"), std::string::npos);
    EXPECT_EQ(json["regressed"].get<bool>(), c.status == 1);
    // One machine, one build, seconds apart: the drift is named beside the verdicts.
    EXPECT_NE(r.out.find("note: both sides ran on "), std::string::npos) << r.out;
    // The terminal, the Markdown and the CSV say the same.
    EXPECT_NE(r.out.find("plus-static N=10"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(c.verdict), std::string::npos) << r.out;
    const std::string md = slurp(out + "/compare.md");
    EXPECT_NE(md.find("| plus-static N=10 |"), std::string::npos) << md;
    const std::string csv = slurp(out + "/compare.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3) << csv;
    EXPECT_NE(csv.find("," + std::string(c.verdict) + ","), std::string::npos) << csv;
    if (!r.err.empty()) {
      EXPECT_NE(r.err.find("gnuplot"), std::string::npos) << r.err;
    } else {
      EXPECT_TRUE(fs::exists(out + "/compare.svg"));
      EXPECT_NE(md.find("![new/base ratios](compare.svg)"), std::string::npos);
    }
  }
}

TEST(Compare, ConfigurationsOnOneSideAndMachinesSideBySide) {
  Folder tmp("sides");
  const std::string base = tmp.path() + "/base";
  const std::string fresh = tmp.path() + "/new";
  fs::create_directories(base);
  fs::create_directories(fresh);
  make_store(base, {config("plus-static", 10, 0, 3), config("yupd-o0", 1000, 0, 3)}, 1'000'000);
  make_store(fresh, {config("plus-static", 10, 0, 3), config("plus-parloop", 10, 2, 3)}, 1'000'000,
             "node-b");
  const std::string out = tmp.path() + "/out";
  const ks::RunResult r =
      kernelscope({"compare", base, fresh, "--out", out, "--threshold", "5%", "--no-plots"});
  ASSERT_TRUE(ExitedWith(r, 0)) << r.out << r.err;
  const auto json = nlohmann::json::parse(slurp(out + "/compare.json"));
  ASSERT_EQ(json["configurations"].size(), 1u);
  // Three runs against three cannot reach significance whatever they are.
  EXPECT_EQ(json["configurations"][0]["verdict"], "too few runs");
  EXPECT_EQ(json["only_in_base"], std::vector<std::string>{"yupd-o0 N=1000"});
  EXPECT_EQ(json["only_in_new"], std::vector<std::string>{"plus-parloop N=10 T=2"});
  EXPECT_EQ(json["new"]["context"]["host"], "node-b");
  EXPECT_NE(r.out.find("only in base: yupd-o0 N=1000"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("only in new: plus-parloop N=10 T=2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("the two differ in: host, CPU"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("drift"), std::string::npos) << r.out;  // two machines: no drift
  const std::string md = slurp(out + "/compare.md");
  EXPECT_NE(md.find("| CPU | " + json["base"]["context"]["cpu"]["model"].get<std::string>()),
            std::string::npos)
      << md;
  EXPECT_NE(md.find(" | Another CPU"), std::string::npos) << md;
  EXPECT_NE(md.find("| hosts of the runs |"), std::string::npos) << md;
  EXPECT_NE(md.find("node-b"), std::string::npos);
  EXPECT_NE(md.find("Only in base: yupd-o0 N=1000."), std::string::npos) << md;
  const std::string csv = slurp(out + "/compare.csv");
  EXPECT_NE(csv.find("yupd-o0 N=1000,,,,,,,,,,,,,,,,,,,,,,,,only in base,0"), std::string::npos)
      << csv;
}

TEST(Compare, BadInputIsOneLineAndStatusTwo) {
  Folder tmp("bad");
  const std::string store = tmp.path() + "/store";
  fs::create_directories(store);
  make_store(store, {config("plus-static", 10, 0, 1)}, 1'000'000);
  std::ofstream(tmp.path() + "/not-a-store") << "x\n";
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"compare", store, tmp.path() + "/nothing"}, "no store at " + tmp.path() + "/nothing"},
      {{"compare", store, tmp.path()}, "no store at " + tmp.path() + "/results.db"},
      {{"compare", store, tmp.path() + "/not-a-store"}, "file is not a database"},
      {{"compare", store, store, "--threshold", "-5%"}, "is not a percentage"},
      {{"compare", store, store, "--threshold", "nan"}, "is not a percentage"},
      {{"compare", store, store, "--threshold", "5%%"}, "is not a percentage"},
      {{"compare", store}, "new"},
  };
  for (const Case& c : cases) {
    const ks::RunResult r = kernelscope(c.args);
    EXPECT_TRUE(ExitedWith(r, 2)) << c.message;
    EXPECT_EQ(ks::test::lines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST(Compare, ThresholdsReadAsPercentages) {
  EXPECT_DOUBLE_EQ(kd::parse_threshold("5%"), 0.05);
  EXPECT_DOUBLE_EQ(kd::parse_threshold("5"), 0.05);
  EXPECT_DOUBLE_EQ(kd::parse_threshold("0.5%"), 0.005);
  EXPECT_DOUBLE_EQ(kd::parse_threshold("0"), 0);
  for (const char* bad : {"", "%", "-1", "inf", "1e999", "5 %", "five", "0x10"}) {
    EXPECT_THROW(kd::parse_threshold(bad), kd::UsageError) << bad;
  }
}

}  // namespace
