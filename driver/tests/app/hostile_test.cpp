// The driver run on hostile input as a careless or hostile user would give it: a ceilings file
// whose ISA name holds gnuplot commands, a store whose schedule does, a program whose output and
// an environment whose values hold HTML. Nothing of it runs, and report.md shows it as text.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "driver/report/plots.h"
#include "driver/store/sqlite.h"
#include "driver/tests/app/driver_runs.h"
#include "tests/support/program_test.h"

namespace {

namespace fs = std::filesystem;
namespace kd = ks::driver;
using kd::test::kernelscope;
using kd::test::kFakes;
using kd::test::kProbeData;
using kd::test::scratch;
using kd::test::slurp;
using ks::test::ExitedWith;

// A test's folder, removed at its end, pass or fail.
struct Scratch {
  explicit Scratch(const std::string& name) : dir(scratch(name)) {}
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::string dir;
};

// A sweep's environment in the scratch folder: its own HOME (no gnuplot start-up file of the
// user's) and TMPDIR.
ks::RunOptions scratch_home(const std::string& dir) {
  ks::RunOptions options;
  options.env["HOME"] = dir;
  options.env["TMPDIR"] = dir;
  return options;
}

// plus-parloop on one and two threads (fakes that print a correct report): a speedup plot, the
// model and the roofline.
std::vector<std::string> small_sweep(const std::string& out, const std::vector<std::string>& more) {
  std::vector<std::string> args = {
      "--bin", kFakes + "/timed", "sweep", "plus-parloop", "--sizes", "10",    "--threads",
      "1,2",   "--repeat",        "2",     "--warmup",     "0",       "--out", out};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// The ISA name of a ceilings file, written into plots.gp, and then into the store that every
// later report reads.
TEST(Hostile, ACeilingsFilesIsaNameRunsNothing) {
  if (kd::find_gnuplot().empty()) {
    GTEST_SKIP() << "gnuplot is not installed";
  }
  const Scratch folder("hostile-isa");
  const std::string& dir = folder.dir;
  const std::string marker = dir + "/PWNED";
  std::ifstream in(kProbeData);
  nlohmann::json probe = nlohmann::json::parse(in);
  for (nlohmann::json& r : probe["compute"]["results"]) {
    if (r["code"] != "scalar") {
      r["code"] = "avx\nsystem(\"touch " + marker + "\")\nprint \"`touch " + marker + "`";
    }
  }
  std::ofstream(dir + "/ceilings.json") << probe.dump();
  const std::string out = dir + "/out";

  const ks::RunResult sweep =
      kernelscope(small_sweep(out, {"--ceilings", dir + "/ceilings.json"}), scratch_home(dir));
  EXPECT_TRUE(ExitedWith(sweep, 0));
  EXPECT_TRUE(fs::exists(out + "/plots/roofline.svg"));
  EXPECT_NE(slurp(out + "/plots/plots.gp").find("system(\\\"touch"), std::string::npos);
  EXPECT_FALSE(fs::exists(marker));

  EXPECT_TRUE(ExitedWith(kernelscope({"report", out}, scratch_home(dir)), 0));
  EXPECT_TRUE(fs::exists(out + "/plots/roofline.svg"));
  EXPECT_FALSE(fs::exists(marker));
}

// Whether a file named `name` is anywhere under `dir`.
bool found_under(const std::string& dir, const std::string& name) {
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir)) {
    if (e.path().filename() == name) {
      return true;
    }
  }
  return false;
}

// A store someone sent: its schedules hold gnuplot commands and a backquote, then a way out of
// the folder.
TEST(Hostile, AStoresScheduleRunsNothingAndNamesNoFolder) {
  if (kd::find_gnuplot().empty()) {
    GTEST_SKIP() << "gnuplot is not installed";
  }
  const Scratch folder("hostile-schedule");
  const std::string& dir = folder.dir;
  const std::string out = dir + "/out";
  ASSERT_TRUE(ExitedWith(kernelscope(small_sweep(out, {}), scratch_home(dir)), 0));
  // gnuplot runs in plots/: a command it ran would leave PWNED there.
  for (const char* schedule :
       {"'static' || char(10) || 'system(\"touch PWNED\")' || char(10) || '`touch PWNED` print \"'",
        "'../../x' || char(10) || '..'"}) {
    SCOPED_TRACE(schedule);
    kd::sqlite::Db(out + "/results.db", kd::sqlite::Mode::kReadWrite)
        .exec(std::string("UPDATE configs SET schedule = ") + schedule);
    fs::remove_all(out + "/plots");
    EXPECT_TRUE(ExitedWith(kernelscope({"report", out}, scratch_home(dir)), 0));
    EXPECT_FALSE(found_under(dir, "PWNED"));
    std::size_t pictures = 0;
    for (const fs::directory_entry& e : fs::directory_iterator(out + "/plots")) {
      const std::string name = e.path().filename().string();
      EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                       "0123456789-._+"),
                std::string::npos)
          << name;
      pictures += name == "speedup-vector-add.svg";  // a schedule names a series, not a file
    }
    EXPECT_EQ(pictures, 1u);
    // Nothing was written beside the output folder.
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
      EXPECT_EQ(e.path().filename(), "out");
    }
  }
}

// A store whose schedule holds a line break, terminal escapes and a byte that is not UTF-8:
// the terminal shows them spelled out, every line of the table whole, and none of it reaches the
// terminal as a control character.
TEST(Hostile, AStoresScheduleReachesTheTerminalSpelledOut) {
  const Scratch folder("hostile-terminal");
  const std::string out = folder.dir + "/out";
  ASSERT_TRUE(ExitedWith(
      kernelscope(small_sweep(out, {"--no-plots", "--no-probe"}), scratch_home(folder.dir)), 0));
  kd::sqlite::Db(out + "/results.db", kd::sqlite::Mode::kReadWrite)
      .exec(
          "UPDATE configs SET schedule = 'static' || char(10) || 'FAKE LINE' || char(27) || "
          "'[2J' || char(155) || 'x' || cast(x'ff' as text) || 'end'");
  const ks::RunResult r = kernelscope({"report", out, "--no-plots"}, scratch_home(folder.dir));
  EXPECT_TRUE(ExitedWith(r, 0)) << r.err;
  for (const std::string* stream : {&r.out, &r.err}) {
    for (char ch : *stream) {
      const auto c = static_cast<unsigned char>(ch);
      EXPECT_FALSE((c < 0x20 && c != '\n') || c == 0x7f) << "control " << int(c) << " in\n"
                                                         << *stream;
    }
    EXPECT_EQ(stream->find("\nFAKE LINE"), std::string::npos) << *stream;
    EXPECT_EQ(stream->find("\xff"), std::string::npos) << *stream;
  }
  EXPECT_NE(r.out.find("static\\nFAKE LINE\\x1b[2J\\u009bx\\xffend"), std::string::npos) << r.out;
}

// A program's standard error and output and the caller's OpenMP variables hold HTML and a
// column separator: report.md shows them as text, escaped, each table row whole.
TEST(Hostile, ProgramOutputAndTheEnvironmentAreTextInReportMd) {
  const Scratch folder("hostile-markdown");
  const std::string& dir = folder.dir;
  const std::string out = dir + "/out";
  ks::RunOptions options = scratch_home(dir);
  options.clean_omp_env = false;
  options.env["OMP_DISPLAY_ENV"] = "<img src=x onerror=alert(1)>";
  options.env["OMP_WAIT_POLICY"] = "a|b";
  const ks::RunResult r =
      kernelscope({"--bin", kFakes + "/html", "sweep", "plus-heap", "--sizes", "10", "--repeat",
                   "1", "--warmup", "0", "--no-plots", "--out", out},
                  options);
  EXPECT_TRUE(ExitedWith(r, 1));  // the fake's report is wrong
  const std::string md = slurp(out + "/report.md");
  EXPECT_NE(md.find("| OpenMP, from the caller | OMP_DISPLAY_ENV=\\<img src=x onerror=alert(1)> "
                    "OMP_WAIT_POLICY=a\\|b |"),
            std::string::npos)
      << md;
  EXPECT_NE(md.find("unexpected standard error: \\<script>document.title = \"obeyed\"\\</script>"),
            std::string::npos)
      << md;
  for (const char* tag : {"<img", "<script", "</script"}) {
    for (std::size_t at = md.find(tag); at != std::string::npos; at = md.find(tag, at + 1)) {
      EXPECT_TRUE(at > 0 && md[at - 1] == '\\') << tag << " unescaped at " << at;
    }
  }
}

}  // namespace
