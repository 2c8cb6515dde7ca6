// The output folder as a careless or hostile user leaves it: the user's own files beside
// kernelscope's, links planted where kernelscope writes, a store of an older format. The driver
// removes only what its store lists as written by it, never follows a link it did not make,
// and refuses a folder that is the whole system or the user's home.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "driver/store/sqlite.h"
#include "driver/store/store.h"
#include "driver/tests/app/driver_runs.h"
#include "tests/support/program_test.h"

namespace {

namespace fs = std::filesystem;
namespace kd = ks::driver;
using ks::driver::test::kernelscope;
using ks::driver::test::scratch;
using ks::driver::test::slurp;
using ks::test::ExitedWith;

const std::vector<std::string> kQuick = {"--sizes", "1K", "--repeat", "1", "--warmup", "0"};

std::vector<std::string> sweep(const std::vector<std::string>& programs, const std::string& out,
                               const std::vector<std::string>& more = {}) {
  std::vector<std::string> args = {"sweep"};
  args.insert(args.end(), programs.begin(), programs.end());
  args.insert(args.end(), kQuick.begin(), kQuick.end());
  args.insert(args.end(), more.begin(), more.end());
  args.insert(args.end(), {"--out", out});
  return args;
}

// The user's files, each with what it holds.
const std::vector<std::pair<std::string, std::string>> kUsers = {
    {"notes.md", "my notes\n"},
    {"report.md", "my report, written before the first sweep\n"},
    {"plots/mine/a.png", "my picture\n"},
    {"photos.tmp-backup/p.jpg", "my photo\n"},
    {"slurm-99_0.out", "another job's output\n"},
    {"results.task-0-0.db", "not a task store of this folder\n"},
    {"maps/m.png", "my map\n"},
};

void plant_users(const std::string& out) {
  for (const auto& [name, text] : kUsers) {
    fs::create_directories(fs::path(out + "/" + name).parent_path());
    std::ofstream(out + "/" + name) << text;
  }
}

void expect_users(const std::string& out) {
  for (const auto& [name, text] : kUsers) {
    EXPECT_EQ(slurp(out + "/" + name), text) << name;
  }
}

TEST(FolderSafety, TheUsersFilesSurviveASweepAForceAndAReport) {
  const std::string out = scratch("users");
  plant_users(out);
  ks::RunResult r = kernelscope(sweep({"plus-static", "plus-parloop"}, out, {"--threads", "1,2"}));
  // The report.md of the user's stays: the one thing not written, named; all else written.
  EXPECT_TRUE(ExitedWith(r, 1));
  EXPECT_NE(r.err.find("kernelscope: warning: " + out +
                       " holds 7 files kernelscope did not write (maps, notes.md, "
                       "photos.tmp-backup, plots, report.md and 2 more); they are left as they "
                       "are\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("kernelscope: cannot write " + out +
                       "/report.md: a file kernelscope did not write is in its place, left as "
                       "it is\n"),
            std::string::npos)
      << r.err;
  expect_users(out);
  EXPECT_TRUE(fs::exists(out + "/plots/speedup-vector-add.dat"));
  EXPECT_TRUE(fs::exists(out + "/report.html"));

  // --force replaces the store and removes its files: a plot of the earlier plan does not
  // survive; the user's do.
  fs::remove(out + "/report.md");
  r = kernelscope(sweep({"plus-static"}, out, {"--force"}));
  EXPECT_TRUE(ExitedWith(r, 0)) << r.err;
  EXPECT_FALSE(fs::exists(out + "/plots/speedup-vector-add.dat"));
  EXPECT_TRUE(fs::exists(out + "/report.md"));
  for (const auto& [name, text] : kUsers) {
    if (name != "report.md") {
      EXPECT_EQ(slurp(out + "/" + name), text) << name;
    }
  }
  // A rendering the user has replaced by a link or a folder is neither followed nor removed,
  // by a report or a --force.
  std::ofstream(out + "/victim") << "the user's\n";
  fs::remove(out + "/runs.csv");
  fs::create_symlink(out + "/victim", out + "/runs.csv");
  fs::remove(out + "/summary.csv");
  fs::create_directories(out + "/summary.csv/inside");
  for (const std::vector<std::string>& again :
       {std::vector<std::string>{"report", out}, sweep({"plus-static"}, out, {"--force"})}) {
    r = kernelscope(again);
    EXPECT_TRUE(ExitedWith(r, 1)) << again[0];
    EXPECT_TRUE(fs::is_symlink(out + "/runs.csv"));
    EXPECT_TRUE(fs::is_directory(out + "/summary.csv/inside"));
    EXPECT_EQ(slurp(out + "/victim"), "the user's\n");
    EXPECT_NE(r.err.find("runs.csv: a symbolic link is in its place, left as it is"),
              std::string::npos)
        << r.err;
  }
  fs::remove_all(out);
}

TEST(FolderSafety, AResumeRendersEveryFileAgainAndAFolderWithoutAStoreLosesNothing) {
  const std::string out = scratch("resume-files");
  ks::RunResult r = kernelscope(sweep({"plus-static"}, out));
  ASSERT_TRUE(ExitedWith(r, 0)) << r.err;
  const std::string before = slurp(out + "/runs.csv");
  // A store of the previous format: its files are still known as kernelscope's (those made
  // after the store), and a report renders them again.
  {
    kd::sqlite::Db db(out + "/results.db", kd::sqlite::Mode::kReadWrite);
    db.exec("DROP TABLE files; PRAGMA user_version = 2");
  }
  r = kernelscope({"report", out});
  EXPECT_TRUE(ExitedWith(r, 0)) << r.err;
  EXPECT_EQ(slurp(out + "/runs.csv"), before);
  EXPECT_EQ(kd::sqlite::Db(out + "/results.db", kd::sqlite::Mode::kReadOnly)
                .query_int("SELECT count(*) FROM files WHERE path = 'runs.csv'"),
            1);
  // Resumed: every file written again (the plan complete, nothing to run).
  fs::remove(out + "/summary.md");
  r = kernelscope(sweep({"plus-static"}, out, {"--resume"}));
  EXPECT_TRUE(ExitedWith(r, 0)) << r.err;
  EXPECT_TRUE(fs::exists(out + "/summary.md"));

  // Without a store, nothing in the folder is kernelscope's: nothing is removed.
  const std::string bare = scratch("bare");
  fs::create_directories(bare + "/plots");
  std::ofstream(bare + "/plots/old.svg") << "kept\n";
  std::ofstream(bare + "/x.tmp-123") << "kept\n";
  r = kernelscope(sweep({"plus-static"}, bare, {"--force"}));
  EXPECT_TRUE(ExitedWith(r, 0)) << r.err;
  EXPECT_EQ(slurp(bare + "/plots/old.svg"), "kept\n");
  EXPECT_EQ(slurp(bare + "/x.tmp-123"), "kept\n");
  fs::remove_all(out);
  fs::remove_all(bare);
}

TEST(FolderSafety, TheRootTheHomeFolderAndALinkedLockAreRefused) {
  const std::string home = scratch("home");
  ks::RunOptions options;
  options.env["HOME"] = home;
  fs::create_directories(home + "/work");
  // "/" is refused by the same check (files_test.cpp), not tried here on the machine's root.
  for (const std::string& dir : {home, home + "/work/..", home + "/"}) {
    const ks::RunResult r = kernelscope(sweep({"plus-static"}, dir), options);
    EXPECT_TRUE(ExitedWith(r, 2)) << dir;
    EXPECT_EQ(ks::test::lines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find("give a folder of its own"), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(home + "/results.db"));

  const std::string out = home + "/work/linked";
  fs::create_directories(out);
  std::ofstream(home + "/victim") << "the user's\n";
  fs::create_symlink(home + "/victim", out + "/.kernelscope.lock");
  const ks::RunResult r = kernelscope(sweep({"plus-static"}, out), options);
  EXPECT_TRUE(ExitedWith(r, 2));
  EXPECT_EQ(ks::test::lines(r.err).size(), 1u) << r.err;
  EXPECT_NE(r.err.find(".kernelscope.lock is a symbolic link: refused"), std::string::npos)
      << r.err;
  EXPECT_EQ(slurp(home + "/victim"), "the user's\n");
  fs::remove_all(home);
}

}  // namespace
