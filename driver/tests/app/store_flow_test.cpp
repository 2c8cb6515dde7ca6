// kernelscope and its run store as a user meets them: a sweep interrupted or killed at any point
// keeps what it finished and leaves no program behind, --resume completes it, --force leaves
// nothing stale, a busy folder is refused, bytes that are not UTF-8 pass through, report renders
// the same files again, and plans and maps are bounded before anything runs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "driver/store/store.h"
#include "driver/tests/app/driver_runs.h"
#include "tests/support/program_test.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace kd = ks::driver;
using kd::test::built;
using kd::test::kernelscope;
using kd::test::kFakes;
using kd::test::read_csv;
using kd::test::scratch;
using kd::test::slurp;
using ks::test::ExitedWith;

// Waits until `happened`, at most `limit` seconds (a broken case fails instead of hanging).
template <typename Predicate>
bool eventually(Predicate happened, double limit = 30) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit);
  while (!happened()) {
    if (std::chrono::steady_clock::now() > until) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// kernelscope started in the background, its outputs in files; killed (and reaped) if the test
// leaves it running.
class Background {
 public:
  // With `own_group`, the driver leads a process group of its own, as a terminal's foreground
  // job does. With a `wrapper` (e.g. timeout and its arguments), that command runs the driver.
  Background(const std::vector<std::string>& args, const std::string& log,
             const std::vector<std::string>& env = {}, bool own_group = false,
             const std::vector<std::string>& wrapper = {})
      : log_(log) {
    const std::string driver = ks::test::program_path("kernelscope");
    const std::string program = wrapper.empty() ? driver : wrapper.front();
    std::vector<std::string> words = wrapper;
    words.push_back(driver);
    if (words.size() == 1) {
      words = {program};
    }
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) {
      argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> vars = env;
    for (char** e = environ; *e != nullptr; ++e) {
      vars.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& v : vars) {
      envp.push_back(v.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, (log + ".out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, (log + ".err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
      sigaddset(&defaults, s);
    }
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSIGDEF | (own_group ? POSIX_SPAWN_SETPGROUP : 0));
    if (posix_spawnp(&pid_, program.c_str(), &files, &attr, argv.data(), envp.data()) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
  }
  ~Background() {
    if (pid_ > 0 && !waited_) {
      kill(pid_, SIGKILL);
      wait();
    }
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  pid_t pid() const { return pid_; }
  int wait() {
    while (!waited_ && waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    waited_ = true;
    return status_;
  }
  std::string out() const { return slurp(log_ + ".out"); }
  std::string err() const { return slurp(log_ + ".err"); }
  void remove_logs() const {
    fs::remove(log_ + ".out");
    fs::remove(log_ + ".err");
  }

 private:
  std::string log_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool waited_ = false;
};

// True while `pid` runs (a zombie, waiting for whoever adopted it to reap it, does not).
bool alive(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), {});
  const std::size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z' &&
         stat[paren + 2] != 'X';
}

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    names.push_back(fs::relative(e.path(), dir).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::size_t count_lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// --- Interruption and resume ---------------------------------------------------------------

// A sweep of slow fake programs (0.1 s a run, 13 planned runs) signalled at a random point of
// its first second of runs: the store opens and holds every run that completed, the files show
// them, no program it started is still running, and a resume completes the plan with exactly
// the planned runs.
TEST(Interruption, AtARandomPointKeepsEveryCompletedRunAndResumeCompletesThePlan) {
  enum class How {
    kOnce,         // one signal to the driver
    kTwiceAtOnce,  // a second one 20 ms later: the same interruption
    kTwiceApart,   // a second one well after the first: the driver ends at once
    kToTheGroup,   // one signal to the driver's process group (a terminal's Ctrl-C)
  };
  struct Case {
    const char* what;
    int signal;
    How how;
  };
  const Case cases[] = {{"SIGINT", SIGINT, How::kOnce},
                        {"SIGTERM", SIGTERM, How::kOnce},
                        {"SIGHUP", SIGHUP, How::kOnce},
                        {"SIGKILL", SIGKILL, How::kOnce},
                        {"SIGINT twice at once", SIGINT, How::kTwiceAtOnce},
                        {"SIGTERM twice at once", SIGTERM, How::kTwiceAtOnce},
                        {"SIGINT twice apart", SIGINT, How::kTwiceApart},
                        {"SIGINT to the group", SIGINT, How::kToTheGroup}};
  std::random_device seed;
  std::mt19937 random(seed());
  std::uniform_real_distribution<double> when(0.0, 1.0);
  for (const Case& c : cases) {
    const double delay = when(random);
    SCOPED_TRACE(::testing::Message() << c.what << " after " << delay << " s");
    const std::string out = scratch("interrupted");
    const std::string pids = out + "-pids";
    fs::remove_all(pids);
    fs::create_directories(pids);
    const std::vector<std::string> sweep = {
        "--bin", kFakes + "/slow", "sweep", "plus-static", "--sizes", "10", "--repeat",
        "12",    "--out",          out,     "--no-plots"};
    const std::vector<std::string> env = {"KS_FAKE_PIDS=" + pids, "KS_FAKE_SLEEP=0.1"};
    Background driver(sweep, out + "-log", env, c.how == How::kToTheGroup);
    ASSERT_GT(driver.pid(), 0);
    // The random point is taken from the start of the first run, whatever the machine's load.
    ASSERT_TRUE(eventually([&] { return !fs::is_empty(pids); }));
    std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    kill(c.how == How::kToTheGroup ? -driver.pid() : driver.pid(), c.signal);
    if (c.how == How::kTwiceAtOnce || c.how == How::kTwiceApart) {
      std::this_thread::sleep_for(std::chrono::milliseconds(c.how == How::kTwiceApart ? 1300 : 20));
      kill(driver.pid(), c.signal);
    }
    const int status = driver.wait();
    const bool killed = c.signal == SIGKILL || c.how == How::kTwiceApart;
    if (killed) {
      // Killed outright, or (twice apart) either that or ended in order before the second came.
      EXPECT_TRUE(
          (WIFSIGNALED(status) && WTERMSIG(status) == c.signal) ||
          (c.how == How::kTwiceApart && WIFEXITED(status) && WEXITSTATUS(status) == 128 + c.signal))
          << status << "\n"
          << driver.err();
    } else {
      ASSERT_TRUE(WIFEXITED(status)) << status;
      EXPECT_EQ(WEXITSTATUS(status), 128 + c.signal) << driver.err();
      EXPECT_NE(driver.out().find("plus-static  10"), std::string::npos) << driver.out();
      EXPECT_NE(driver.err().find("resume with: "), std::string::npos) << driver.err();
      EXPECT_NE(driver.err().find(" --resume\n"), std::string::npos) << driver.err();
    }
    // No program it started outlives it; the pids are those the fake programs wrote down.
    std::vector<pid_t> started;
    for (const auto& e : fs::directory_iterator(pids)) {
      started.push_back(std::stoi(e.path().filename().string()));
    }
    EXPECT_FALSE(started.empty());
    for (pid_t pid : started) {
      EXPECT_TRUE(eventually([&] { return !alive(pid); }, 10)) << "pid " << pid << " survived";
    }
    if (!killed) {  // the store was closed (reading it below opens it again)
      EXPECT_FALSE(fs::exists(out + "/results.db-wal"));
    }
    // Every run the store holds is whole; at most the one running when the signal came is not
    // there (a program that had just finished may not have been recorded yet).
    const std::size_t stored = kd::Store::open_readonly(out + "/results.db").load().runs.size();
    EXPECT_LE(stored, 13u);
    EXPECT_GE(stored + 1, started.size()) << "a completed run was lost";
    EXPECT_LE(stored, started.size());
    if (!killed) {
      EXPECT_EQ(read_csv(out + "/runs.csv").size(), stored);
      // The last lines say what was kept and how to go on.
      EXPECT_NE(driver.err().find(std::to_string(stored) + " of 13 planned runs done"),
                std::string::npos)
          << driver.err();
    }
    driver.remove_logs();
    // The resume runs what is missing, and nothing twice.
    const ks::RunResult resumed = kernelscope(
        [&] {
          auto words = sweep;
          words.push_back("--resume");
          return words;
        }(),
        [&] {
          ks::RunOptions o;
          o.env["KS_FAKE_SLEEP"] = "0.01";
          return o;
        }());
    ASSERT_TRUE(ExitedWith(resumed, 0));
    EXPECT_NE(resumed.out.find(stored == 0 ? "13 runs planned"
                                           : std::to_string(13 - stored) + " of 13 planned runs"),
              std::string::npos)
        << resumed.out;
    const auto contents = kd::Store::open_readonly(out + "/results.db").load();
    ASSERT_EQ(contents.runs.size(), 13u);
    for (std::size_t i = 0; i < contents.runs.size(); ++i) {
      EXPECT_EQ(contents.runs[i].planned, i);
    }
    const auto rows = read_csv(out + "/runs.csv");
    ASSERT_EQ(rows.size(), 13u);
    EXPECT_EQ(rows[0].at("warmup"), "1");
    fs::remove_all(out);
    fs::remove_all(pids);
  }
}

// `timeout -s INT` signals the driver and then its own process group, the driver included:
// two signals microseconds apart, one interruption. The driver ends in order: its summary, the
// files, the runs kept and the command that resumes them, and the store closed.
TEST(Interruption, ByTimeoutIsOneInterruption) {
  if (std::system("timeout --version >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "timeout is not installed";
  }
  const std::string out = scratch("timeout");
  const std::vector<std::string> sweep = {
      "--bin", kFakes + "/slow", "sweep", "plus-static", "--sizes", "10", "--repeat",
      "30",    "--out",          out,     "--no-plots"};
  Background driver(sweep, out + "-log", {"KS_FAKE_SLEEP=0.1"}, false,
                    {"timeout", "--preserve-status", "-s", "INT", "1.5"});
  ASSERT_GT(driver.pid(), 0);
  const int status = driver.wait();
  ASSERT_TRUE(WIFEXITED(status)) << status << "\n" << driver.err();
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT) << driver.err();
  EXPECT_NE(driver.out().find("plus-static  10"), std::string::npos) << driver.out();
  EXPECT_FALSE(fs::exists(out + "/results.db-wal"));  // the store was closed
  EXPECT_FALSE(fs::exists(out + "/results.db-shm"));
  const std::size_t stored = kd::Store::open_readonly(out + "/results.db").load().runs.size();
  EXPECT_GT(stored, 0u);
  EXPECT_LT(stored, 31u);
  EXPECT_NE(driver.err().find("interrupted by SIGINT: " + std::to_string(stored) + " of 31"),
            std::string::npos)
      << driver.err();
  EXPECT_NE(driver.err().find(" --resume\n"), std::string::npos) << driver.err();
  EXPECT_EQ(read_csv(out + "/runs.csv").size(), stored);
  driver.remove_logs();
  // status and resume know the folder from its store: what it holds, and the rest run with
  // the store's own command.
  const ks::RunResult status_before = kernelscope({"status", out});
  ASSERT_TRUE(ExitedWith(status_before, 0)) << status_before.err;
  EXPECT_NE(status_before.out.find(": a sweep on "), std::string::npos) << status_before.out;
  EXPECT_NE(status_before.out.find(std::to_string(stored) + " of 31 planned runs stored (1 "
                                                            "configuration)"),
            std::string::npos)
      << status_before.out;
  EXPECT_NE(status_before.out.find("the rest runs with: kernelscope resume "), std::string::npos)
      << status_before.out;
  ks::RunOptions quick;
  quick.env["KS_FAKE_SLEEP"] = "0.01";
  // The programs are the resuming command's (here the same fakes), whatever the store says.
  const ks::RunResult resumed = kernelscope({"resume", out, "--bin", kFakes + "/slow"}, quick);
  ASSERT_TRUE(ExitedWith(resumed, 0)) << resumed.err;
  EXPECT_NE(resumed.out.find("resuming: kernelscope --bin " + kFakes + "/slow sweep "),
            std::string::npos)
      << resumed.out;
  EXPECT_NE(resumed.out.find(std::to_string(31 - stored) + " of 31 planned runs"),
            std::string::npos)
      << resumed.out;
  EXPECT_EQ(kd::Store::open_readonly(out + "/results.db").load().runs.size(), 31u);
  const ks::RunResult status_after = kernelscope({"status", out});
  EXPECT_NE(status_after.out.find("31 of 31 planned runs stored"), std::string::npos)
      << status_after.out;
  EXPECT_NE(status_after.out.find("the page to open: " + out + "/report.html"), std::string::npos)
      << status_after.out;
  const ks::RunResult again = kernelscope({"resume", out});
  ASSERT_TRUE(ExitedWith(again, 0)) << again.err;
  EXPECT_NE(again.out.find("holds every planned run: nothing to resume"), std::string::npos)
      << again.out;
  // A folder with neither a store nor a job is bad input for both.
  const std::string empty = scratch("no-store");
  for (const char* subcommand : {"status", "resume"}) {
    const ks::RunResult r = kernelscope({subcommand, empty});
    EXPECT_TRUE(ExitedWith(r, 2)) << subcommand << ": " << r.err;
    EXPECT_NE(r.err.find("no store and no Slurm job in " + empty), std::string::npos) << r.err;
  }
  fs::remove_all(empty);
  fs::remove_all(out);
}

// --- What a folder already holds ---------------------------------------------------------

TEST(Resume, ADifferentPlanOrAnOccupiedFolderIsRefusedInOneLine) {
  const std::string out = scratch("resume");
  const std::vector<std::string> sweep = {"sweep", "plus-static", "--no-plots", "--out", out};
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = sweep;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  ASSERT_TRUE(ExitedWith(kernelscope(with({"--sizes", "16,32", "--repeat", "2"})), 0));
  struct Case {
    std::vector<std::string> extra;
    std::string message;
  };
  const Case cases[] = {
      {{"--sizes", "16,32", "--repeat", "2"},
       out + " holds the results of an earlier sweep (results.db): --out NEWDIR measures into "
             "another folder, --resume continues it, --force replaces it"},
      {{"--resume", "--sizes", "16,32", "--repeat", "3"},
       "--resume: " + out +
           " holds another plan: plus-static --repeat: the store has 2, this command asks for 3"},
      {{"--resume", "--sizes", "16", "--repeat", "2"},
       "--resume: " + out +
           " holds another plan: plus-static --sizes: the store has 16,32, this command asks "
           "for 16"},
      {{"--resume", "--force"}, "excludes"},
  };
  for (const Case& c : cases) {
    const ks::RunResult r = kernelscope(with(c.extra));
    EXPECT_TRUE(ExitedWith(r, 2));
    EXPECT_EQ(ks::test::lines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  // What --resume cannot continue, its dry run refuses alike: another plan, another kind's store.
  for (const bool dry : {false, true}) {
    SCOPED_TRACE(dry ? "dry run" : "real run");
    std::vector<std::string> plan = with({"--resume", "--sizes", "16", "--repeat", "2"});
    std::vector<std::string> tour = {"tour", "--resume", "--no-plots", "--out", out};
    for (std::vector<std::string>* args : {&plan, &tour}) {
      if (dry) {
        args->push_back("--dry-run");
      }
    }
    const ks::RunResult other_plan = kernelscope(plan);
    EXPECT_TRUE(ExitedWith(other_plan, 2)) << other_plan.out;
    EXPECT_NE(other_plan.err.find("holds another plan"), std::string::npos) << other_plan.err;
    const ks::RunResult other_kind = kernelscope(tour);
    EXPECT_TRUE(ExitedWith(other_kind, 2)) << other_kind.out;
    EXPECT_NE(
        other_kind.err.find("--resume: " + out + " holds the store of a sweep, not of a tour"),
        std::string::npos)
        << other_kind.err;
  }
  // A dry run says what the real one would, and still shows the plan; with --resume or
  // --force it would be taken.
  const ks::RunResult dry = kernelscope(with({"--sizes", "16,32", "--repeat", "2", "--dry-run"}));
  ASSERT_TRUE(ExitedWith(dry, 0)) << dry.err;
  EXPECT_NE(dry.out.find("the real run would be refused: " + out +
                         " holds the results of an earlier sweep (results.db): --out NEWDIR"),
            std::string::npos)
      << dry.out;
  for (const char* taken : {"--resume", "--force"}) {
    const ks::RunResult r =
        kernelscope(with({"--sizes", "16,32", "--repeat", "2", "--dry-run", taken}));
    ASSERT_TRUE(ExitedWith(r, 0)) << r.err;
    EXPECT_EQ(r.out.find("would be refused"), std::string::npos) << taken << ": " << r.out;
  }
  // Nothing was touched, and a resume of the same plan runs nothing.
  EXPECT_EQ(kd::Store::open_readonly(out + "/results.db").load().runs.size(), 6u);
  const ks::RunResult again = kernelscope(with({"--sizes", "16,32", "--repeat", "2", "--resume"}));
  ASSERT_TRUE(ExitedWith(again, 0));
  EXPECT_NE(again.out.find("0 of 6 planned runs to go"), std::string::npos) << again.out;
  EXPECT_EQ(read_csv(out + "/runs.csv").size(), 6u);
  fs::remove_all(out);
}

// Whatever a folder held, the files there afterwards are exactly those the last command wrote
// (and the lock): a map replaces a map, a sweep with --force replaces a tour's maps and plots.
TEST(Force, LeavesNoStaleFile) {
  if (!built("chunk-static") || !built("iter-owner")) {
    GTEST_SKIP() << "chunk-static and iter-owner are not in this build";
  }
  const std::string out = scratch("force");
  ASSERT_TRUE(ExitedWith(kernelscope({"map", "chunk-static", "3", "--out", out}), 0));
  ASSERT_TRUE(fs::exists(out + "/map.svg"));
  // A map replaces a map without being asked.
  const ks::RunResult second = kernelscope({"map", "iter-owner", "10", "--out", out});
  ASSERT_TRUE(ExitedWith(second, 0));
  EXPECT_NE(slurp(out + "/map.svg").find("iter-owner, n = 10"), std::string::npos);
  EXPECT_EQ(kd::Store::open_readonly(out + "/results.db").plan().configs.at(0).program->name,
            "iter-owner");
  // Anything else is refused, then replaces it completely with --force.
  const std::vector<std::string> sweep = {"sweep", "plus-static", "--sizes", "16,1K", "--repeat",
                                          "1",     "--warmup",    "0",       "--out", out};
  const ks::RunResult refused = kernelscope(sweep);
  EXPECT_TRUE(ExitedWith(refused, 2));
  EXPECT_NE(refused.err.find("holds the results of an earlier map"), std::string::npos)
      << refused.err;
  auto forced = sweep;
  forced.push_back("--force");
  ASSERT_TRUE(ExitedWith(kernelscope(forced), 0));
  std::vector<std::string> expected = {".kernelscope.lock", "report.html",  "report.md",
                                       "results.db",        "results.json", "runs.csv",
                                       "summary.csv",       "summary.md"};
  if (fs::exists(out + "/plots")) {
    for (const std::string& p : names_in(out + "/plots")) {
      expected.push_back("plots/" + p);
    }
    expected.push_back("plots");
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names_in(out), expected);
  // The same sweep again without plots: no plot of the first survives.
  forced.push_back("--no-plots");
  ASSERT_TRUE(ExitedWith(kernelscope(forced), 0));
  EXPECT_EQ(names_in(out),
            (std::vector<std::string>{".kernelscope.lock", "report.html", "report.md", "results.db",
                                      "results.json", "runs.csv", "summary.csv", "summary.md"}));
  // A map does not replace a sweep's results unless told to.
  const ks::RunResult map = kernelscope({"map", "chunk-static", "3", "--out", out});
  EXPECT_TRUE(ExitedWith(map, 2));
  EXPECT_NE(map.err.find("holds the results of an earlier sweep (results.db): --out NEWDIR "
                         "measures into another folder, --force replaces it"),
            std::string::npos)
      << map.err;
  ASSERT_TRUE(ExitedWith(kernelscope({"map", "chunk-static", "3", "--force", "--out", out}), 0));
  for (const std::string& name : names_in(out)) {
    EXPECT_TRUE(name == ".kernelscope.lock" || name == "results.db" || name.rfind("map.", 0) == 0)
        << name;
  }
  fs::remove_all(out);
}

// --- One driver per folder ----------------------------------------------------------------

TEST(FolderLock, ASecondDriverOnABusyFolderIsRefusedAndOthersRunAlongside) {
  const std::string busy = scratch("busy");
  const std::string other = scratch("other");
  Background first({"--bin", kFakes + "/slow", "sweep", "plus-static", "--sizes", "10", "--repeat",
                    "8", "--no-plots", "--out", busy},
                   busy + "-log", {"KS_FAKE_SLEEP=0.2"});
  ASSERT_GT(first.pid(), 0);
  ASSERT_TRUE(eventually([&] { return fs::exists(busy + "/results.db"); }));
  for (const char* command : {"sweep", "report", "map"}) {
    SCOPED_TRACE(command);
    std::vector<std::string> args =
        std::string(command) == "sweep"
            ? std::vector<std::string>{"sweep",    "plus-static", "--sizes", "10",
                                       "--resume", "--out",       busy}
        : std::string(command) == "report"
            ? std::vector<std::string>{"report", busy}
            : std::vector<std::string>{"map", "greet-team", "--out", busy};
    const ks::RunResult r = kernelscope(args);
    EXPECT_TRUE(ExitedWith(r, 2));
    EXPECT_EQ(r.err, "kernelscope: " + busy + " is in use by another kernelscope (pid " +
                         std::to_string(first.pid()) + ") (kernelscope help " + command + ")\n");
  }
  // Another folder is no concern of the first's.
  const ks::RunResult alongside =
      kernelscope({"--bin", kFakes + "/slow", "sweep", "plus-static", "--sizes", "10", "--repeat",
                   "2", "--no-plots", "--out", other},
                  [] {
                    ks::RunOptions o;
                    o.env["KS_FAKE_SLEEP"] = "0.01";
                    return o;
                  }());
  EXPECT_TRUE(ExitedWith(alongside, 0));
  EXPECT_EQ(read_csv(other + "/runs.csv").size(), 3u);
  const int status = first.wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << first.err();
  EXPECT_EQ(read_csv(busy + "/runs.csv").size(), 9u);
  fs::remove_all(busy);
  fs::remove_all(other);
}

// --- Bytes ---------------------------------------------------------------------------------

TEST(Bytes, OutputAndFolderNamesThatAreNotUtf8PassThrough) {
  // Output: the run is invalid through its check, stored byte for byte, escaped in JSON.
  const std::string out = scratch("not-utf8");
  const ks::RunResult r =
      kernelscope({"--bin", kFakes + "/not-utf8", "sweep", "plus-static", "--sizes", "10",
                   "--repeat", "1", "--warmup", "0", "--no-plots", "--out", out});
  EXPECT_TRUE(ExitedWith(r, 1));
  EXPECT_NE(r.err.find("invalid run of plus-static N=10"), std::string::npos) << r.err;
  const auto json = nlohmann::json::parse(slurp(out + "/results.json"));
  EXPECT_EQ(json["runs"][0]["outcome"], "invalid");
  const auto runs = kd::Store::open_readonly(out + "/results.db").load().runs;
  ASSERT_EQ(runs.size(), 1u);
  ASSERT_TRUE(runs[0].record.result.has_value());
  EXPECT_NE(runs[0].record.result->out.find("Tama\xffo"), std::string::npos);
  fs::remove_all(out);

  // A folder's name: everything is written there, and named in JSON with U+FFFD.
  const std::string odd = scratch("odd") + "/caf\xe9-\xff";
  const ks::RunResult s = kernelscope({"sweep", "plus-static", "--sizes", "16", "--repeat", "1",
                                       "--warmup", "0", "--no-plots", "--out", odd});
  ASSERT_TRUE(ExitedWith(s, 0));
  const auto odd_json = nlohmann::json::parse(slurp(odd + "/results.json"));
  EXPECT_EQ(odd_json["kernelscope"]["command"].back(),
            odd.substr(0, odd.size() - 6) + "caf\xef\xbf\xbd-\xef\xbf\xbd");
  EXPECT_EQ(read_csv(odd + "/runs.csv").size(), 1u);
  EXPECT_TRUE(ExitedWith(kernelscope({"report", odd}), 0));
  fs::remove_all(fs::path(odd).parent_path());
}

// --- report --------------------------------------------------------------------------------

// Every file a sweep, a tour or a map wrote is written again by report from the store alone,
// byte for byte.
TEST(Report, RendersTheSameFilesAsTheCommandThatMadeTheStore) {
  const std::string bin = scratch("report-bin");
  for (const char* program : {"plus-static", "plus-parloop", "greet-team", "chunk-static"}) {
    if (built(program)) {
      fs::create_symlink(ks::test::program_path(program), bin + "/" + program);
    }
  }
  if (!built("greet-team") || !built("chunk-static") || !built("plus-parloop")) {
    GTEST_SKIP() << "the programs of this test are not in this build";
  }
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
  };
  const Case cases[] = {
      {"sweep",
       {"sweep", "plus-static", "plus-parloop", "--sizes", "9,1K", "--threads", "1,2", "--repeat",
        "2"},
       0},
      {"tour", {"tour", "--scale", "0.2"}, 1},  // most programs are missing from this build
      {"map", {"map", "chunk-static", "3", "--threads", "2"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string out = scratch(std::string("report-") + c.what);
    std::vector<std::string> args = {"--bin", bin};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.insert(args.end(), {"--out", out});
    ASSERT_TRUE(ExitedWith(kernelscope(args), c.status));
    std::map<std::string, std::string> wrote;
    for (const std::string& name : names_in(out)) {
      if (fs::is_regular_file(out + "/" + name) && name != ".kernelscope.lock") {
        wrote[name] = slurp(out + "/" + name);
      }
    }
    EXPECT_GT(wrote.size(), 3u);
    const ks::RunResult r = kernelscope({"report", out});
    EXPECT_TRUE(ExitedWith(r, c.status));
    std::map<std::string, std::string> rendered;
    for (const std::string& name : names_in(out)) {
      if (fs::is_regular_file(out + "/" + name) && name != ".kernelscope.lock") {
        rendered[name] = slurp(out + "/" + name);
      }
    }
    ASSERT_EQ(rendered.size(), wrote.size());
    for (const auto& [name, bytes] : wrote) {
      // The store itself changes: it records the files written anew.
      EXPECT_TRUE(name == "results.db" || rendered[name] == bytes) << name << " differs";
    }
    fs::remove_all(out);
  }
  fs::remove_all(bin);
}

// --- Bounds --------------------------------------------------------------------------------

TEST(Bounds, PlansAndMapsAreRefusedBeforeAnythingRunsAndDryRunWritesNothing) {
  const std::string out = scratch("bounds");
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"sweep", "plus-static", "--sizes", "1..4294967295+1"}, "4294967295 values"},
      {{"sweep", "plus-static", "--sizes", "0..200000+1"}, "the plan holds 1400007 runs"},
      {{"sweep", "plus-static", "--repeat", "2147483647"}, "--repeat 2147483647: must be"},
      {{"sweep", "plus-static", "--warmup", "-1"}, "--warmup -1"},
      {{"--timeout", "2", "map", "iter-owner", "2000000000"},
       "iter-owner 2000000000 would print 2000000000 iterations; a map draws at most 100000"},
  };
  for (const Case& c : cases) {
    auto args = c.args;
    args.insert(args.end(), {"--out", out + "/refused"});
    const ks::RunResult r = kernelscope(args);
    EXPECT_TRUE(ExitedWith(r, 2)) << c.message;
    EXPECT_EQ(ks::test::lines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(out + "/refused"));
  const ks::RunResult dry =
      kernelscope({"sweep", "plus-static", "plus-heap", "--sizes", "0..99999+1", "--repeat", "4",
                   "--dry-run", "--out", out + "/dry"});
  ASSERT_TRUE(ExitedWith(dry, 0));
  EXPECT_EQ(count_lines(dry.out), 200000u + 1u);
  EXPECT_NE(dry.out.find("plus-heap N=99999"), std::string::npos);
  EXPECT_NE(dry.out.find("\n1000000 runs planned (200000 configurations); about "),
            std::string::npos);
  EXPECT_FALSE(fs::exists(out + "/dry"));
  fs::remove_all(out);
}

TEST(Bounds, AWideMapIsDrawnAsBandsInSmallFiles) {
  if (!built("iter-owner")) {
    GTEST_SKIP() << "iter-owner is not in this build";
  }
  const std::string out = scratch("wide-map");
  const ks::RunResult r = kernelscope({"map", "iter-owner", "100000", "--out", out});
  ASSERT_TRUE(ExitedWith(r, 0));
  EXPECT_LT(count_lines(r.out), 20u) << "the terminal gets a summary";
  EXPECT_NE(r.out.find("thread 3 75000-99999  (25000 iterations)"), std::string::npos) << r.out;
  EXPECT_LT(fs::file_size(out + "/map.svg"), 10000u);
  EXPECT_EQ(nlohmann::json::parse(slurp(out + "/map.json"))["cells"].size(), 100000u);
  fs::remove_all(out);
}

}  // namespace
