// Output files: written whole or not at all, in a folder proven writable first, never through a
// link, and removed again only while they are still what kernelscope wrote.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "driver/base/files.h"
#include "driver/base/lock.h"

namespace {

namespace fs = std::filesystem;
namespace kd = ks::driver;
using Kind = kd::WrittenFile::Kind;

// A fresh folder, removed with everything in it at the end of the test.
class Scratch {
 public:
  Scratch() {
    std::string templ = ::testing::TempDir() + "ks-files-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path_ = templ;
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// The list as a store would keep it.
class MemoryLog : public kd::FileLog {
 public:
  void record(const kd::WrittenFile& f) override { files[f.path] = f; }
  void forget(const std::string& path) override { files.erase(path); }
  std::vector<kd::WrittenFile> list() const {
    std::vector<kd::WrittenFile> all;
    for (const auto& [path, f] : files) {
      all.push_back(f);
    }
    return all;
  }
  std::map<std::string, kd::WrittenFile> files;
};

TEST(Files, WrittenWholeOrNotAtAll) {
  Scratch tmp;
  const std::string dir = tmp.path();
  kd::prepare_output_dir(dir + "/a/b");
  kd::write_file_atomic(dir + "/a/b/x.txt", "contents\n");
  EXPECT_EQ(slurp(dir + "/a/b/x.txt"), "contents\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir + "/a/b"), {}), 1)
      << "no temporary file is left behind";
  // A folder below a plain file cannot be made; a file cannot be written where there is no
  // folder.
  EXPECT_THROW(kd::prepare_output_dir(dir + "/a/b/x.txt/c"), kd::UsageError);
  EXPECT_THROW(kd::write_file_atomic(dir + "/nowhere/y.txt", "z"), std::runtime_error);
  EXPECT_FALSE(fs::exists(dir + "/nowhere"));
}

TEST(Files, AFileWrittenInPiecesIsThereOnlyOnceCommitted) {
  Scratch tmp;
  const std::string dir = tmp.path();
  MemoryLog log;
  const kd::OutputFolder folder(dir, &log, {});
  // More than the writer's buffer, in pieces of every size.
  std::string expected;
  {
    kd::AtomicWriter w(dir + "/big.txt");
    for (std::size_t i = 0; expected.size() < (std::size_t{3} << 20); ++i) {
      const std::string piece(i % 5000, static_cast<char>('a' + i % 26));
      w.append(piece);
      expected += piece;
    }
    EXPECT_FALSE(fs::exists(dir + "/big.txt"));
    ASSERT_EQ(log.files.size(), 1u);
    EXPECT_EQ(log.files.begin()->second.kind, kd::WrittenFile::Kind::kTemporary);
    w.commit();
  }
  EXPECT_EQ(slurp(dir + "/big.txt"), expected);
  ASSERT_EQ(log.files.size(), 1u);
  EXPECT_EQ(log.files.begin()->first, "big.txt");
  EXPECT_EQ(log.files.begin()->second.size, static_cast<std::int64_t>(expected.size()));
  // One dropped before its commit leaves nothing, neither the file nor its temporary one.
  {
    kd::AtomicWriter w(dir + "/dropped.txt");
    w.append(std::string(std::size_t{2} << 20, 'x'));
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 1);
  EXPECT_EQ(log.files.size(), 1u);
}

TEST(Files, NothingIsWrittenThroughALinkOrOverAnotherFile) {
  Scratch tmp;
  const std::string dir = tmp.path() + "/out";
  const std::string elsewhere = tmp.path() + "/elsewhere";
  fs::create_directories(dir);
  fs::create_directories(elsewhere);
  std::ofstream(elsewhere + "/victim") << "the user's\n";
  std::ofstream(dir + "/notes.md") << "the user's notes\n";
  fs::create_symlink(elsewhere + "/victim", dir + "/report.md");
  fs::create_symlink(elsewhere, dir + "/plots");
  fs::create_directories(dir + "/runs.csv");
  // A temporary name planted as a link: the exclusive creation refuses it.
  fs::create_symlink(elsewhere + "/victim", dir + "/summary.md.tmp-" + std::to_string(getpid()));
  MemoryLog log;
  kd::OutputFolder folder(dir, &log, {});
  struct Case {
    std::string path;
    std::string says;
  };
  const Case cases[] = {
      {dir + "/report.md", "a symbolic link is in its place"},
      {dir + "/notes.md", "a file kernelscope did not write is in its place"},
      {dir + "/runs.csv", "a folder is in its place"},
      {dir + "/plots/x.dat", "it is a symbolic link, which kernelscope does not follow"},
      {dir + "/summary.md", "File exists"},
  };
  for (const Case& c : cases) {
    try {
      kd::write_file_atomic(c.path, "new\n");
      ADD_FAILURE() << c.path << " was written";
    } catch (const kd::WriteError& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(kd::create_folder(dir + "/plots"), kd::WriteError);
  EXPECT_THROW(kd::ProgramOutput(dir + "/plots/x.svg"), kd::WriteError);
  EXPECT_EQ(slurp(elsewhere + "/victim"), "the user's\n");
  EXPECT_EQ(slurp(dir + "/notes.md"), "the user's notes\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere), {}), 1);
  EXPECT_TRUE(log.files.empty()) << log.files.begin()->first;

  // What it wrote itself it replaces; the list follows.
  kd::write_file_atomic(dir + "/summary.csv", "one\n");
  kd::write_file_atomic(dir + "/summary.csv", "two\n");
  EXPECT_EQ(slurp(dir + "/summary.csv"), "two\n");
  ASSERT_EQ(log.files.size(), 1u);
  EXPECT_EQ(log.files.at("summary.csv").size, 4);
}

TEST(Files, AProgramsOutputIsAFileTheDriverMade) {
  Scratch tmp;
  const std::string dir = tmp.path();
  std::ofstream(dir + "/victim") << "the user's\n";
  MemoryLog log;
  kd::OutputFolder folder(dir, &log, {});
  kd::create_folder(dir + "/plots");
  {
    kd::ProgramOutput out(dir + "/plots/a.svg");
    EXPECT_TRUE(log.files.count("plots/a.svg.part")) << "a temporary file, on the list";
    std::ofstream(out.part()) << "<svg/>";  // as gnuplot writes it: through the name
    out.keep();
  }
  EXPECT_EQ(slurp(dir + "/plots/a.svg"), "<svg/>");
  EXPECT_EQ(log.files.at("plots/a.svg").kind, Kind::kFile);
  EXPECT_EQ(log.files.count("plots/a.svg.part"), 0u);
  // A part swapped for a link while the program ran is not renamed into place.
  {
    kd::ProgramOutput out(dir + "/plots/b.svg");
    fs::remove(out.part());
    fs::create_symlink(dir + "/victim", out.part());
    EXPECT_THROW(out.keep(), kd::WriteError);
    fs::remove(out.part());
  }
  EXPECT_FALSE(fs::exists(dir + "/plots/b.svg"));
  // One not kept is removed.
  { const kd::ProgramOutput unused(dir + "/plots/c.png"); }
  EXPECT_FALSE(fs::exists(dir + "/plots/c.png.part"));
  EXPECT_EQ(slurp(dir + "/victim"), "the user's\n");
}

TEST(Files, OnlyWhatIsStillKernelscopesIsRemoved) {
  Scratch tmp;
  const std::string dir = tmp.path();
  MemoryLog log;
  {
    kd::OutputFolder folder(dir, &log, {});
    kd::create_folder(dir + "/plots");
    for (const char* name :
         {"report.md", "plots/a.svg", "plots/b.svg", "plots/c.svg", "plots/d.svg", "runs.csv"}) {
      kd::write_file_atomic(dir + "/" + name, "kernelscope's\n");
    }
    kd::write_file_atomic(dir + "/cluster.json", "{}\n", Kind::kJob);
  }
  // The user's own, next to and among them, and what the user did to kernelscope's.
  fs::create_directories(dir + "/plots/mine");
  std::ofstream(dir + "/plots/mine/a.png") << "the user's\n";
  std::ofstream(dir + "/notes.md") << "the user's\n";
  fs::create_directories(dir + "/photos.tmp-backup");
  std::ofstream(dir + "/slurm-7_0.out") << "another job's\n";
  std::ofstream(dir + "/elsewhere") << "the user's\n";
  fs::remove(dir + "/plots/a.svg");
  fs::create_symlink(dir + "/elsewhere", dir + "/plots/a.svg");  // a link in its place
  fs::remove(dir + "/plots/b.svg");
  fs::create_directories(dir + "/plots/b.svg");                   // a folder in its place
  std::ofstream(dir + "/plots/c.svg") << "edited by the user\n";  // changed
  std::ofstream(dir + "/leftover.tmp-12") << "a killed driver's\n";
  log.record({"leftover.tmp-12", Kind::kTemporary});

  // What a crafted store might list: none of it is taken.
  std::vector<kd::WrittenFile> listed = log.list();
  for (const char* bad :
       {"../outside", "/etc/passwd", "plots/../notes.md", "./notes.md", "plots//a.svg", ""}) {
    listed.push_back({bad, Kind::kFolder});
  }
  listed.push_back({"notes.md", Kind::kTemporary});
  listed.push_back({"notes.md", Kind::kJob});
  listed.push_back({"plots/mine", Kind::kStore});

  const std::vector<kd::WrittenFile> renderings_left =
      kd::remove_written(dir, listed, /*keep_job=*/true, &log);
  for (const char* gone : {"report.md", "runs.csv", "plots/d.svg", "leftover.tmp-12"}) {
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir + "/" + gone))) << gone;
  }
  for (const char* kept : {"plots/mine/a.png", "notes.md", "photos.tmp-backup", "slurm-7_0.out",
                           "elsewhere", "plots/b.svg", "plots/c.svg", "cluster.json"}) {
    EXPECT_TRUE(fs::exists(dir + "/" + std::string(kept))) << kept;
  }
  EXPECT_TRUE(fs::is_symlink(dir + "/plots/a.svg"));
  EXPECT_EQ(slurp(dir + "/plots/c.svg"), "edited by the user\n");
  // plots/ holds the user's files: it stays, still listed; the job's file stays listed.
  EXPECT_TRUE(log.files.count("plots") && log.files.count("cluster.json"));
  EXPECT_EQ(log.files.size(), 2u);
  EXPECT_EQ(renderings_left.size(), 2u);
  // Without keep_job the job's file goes too.
  kd::remove_written(dir, log.list(), /*keep_job=*/false, &log);
  EXPECT_FALSE(fs::exists(dir + "/cluster.json"));
  // The user's are named in the warning, the lock and the store are not.
  std::ofstream(dir + "/.kernelscope.lock") << "1\n";
  std::ofstream(dir + "/results.db") << "";
  const std::vector<std::string> foreign = kd::foreign_entries(dir, log.list());
  EXPECT_EQ(foreign, (std::vector<std::string>{"elsewhere", "notes.md", "photos.tmp-backup",
                                               "plots/a.svg", "plots/b.svg", "plots/c.svg",
                                               "plots/mine", "slurm-7_0.out"}));
  EXPECT_EQ(kd::foreign_warning(dir, foreign),
            dir +
                " holds 8 files kernelscope did not write (elsewhere, notes.md, "
                "photos.tmp-backup, plots/a.svg, plots/b.svg and 3 more); they are left as they "
                "are");
}

TEST(Files, TheRootAndTheHomeFolderAreNoOutputFolders) {
  Scratch tmp;
  const std::string home = tmp.path() + "/home";
  fs::create_directories(home + "/sub");
  const char* saved = getenv("HOME");
  const std::string saved_home = saved != nullptr ? saved : "";
  setenv("HOME", home.c_str(), 1);
  for (const std::string& refused :
       {std::string("/"), std::string("/../"), home, home + "/sub/..", home + "/"}) {
    EXPECT_THROW(kd::prepare_output_dir(refused), kd::UsageError) << refused;
  }
  EXPECT_NO_THROW(kd::prepare_output_dir(home + "/sub"));
  fs::create_symlink(home, tmp.path() + "/link-to-home");
  EXPECT_THROW(kd::prepare_output_dir(tmp.path() + "/link-to-home"), kd::UsageError);
  if (saved != nullptr) {
    setenv("HOME", saved_home.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
}

TEST(FolderLock, ALinkOrAnythingButAFileInItsPlaceIsRefused) {
  Scratch tmp;
  const std::string victim = tmp.path() + "/victim";
  std::ofstream(victim) << "the user's\n";
  struct Case {
    const char* what;
    void (*plant)(const std::string& lock, const std::string& victim);
    const char* says;
  };
  const Case cases[] = {
      {"link", [](const std::string& l, const std::string& v) { fs::create_symlink(v, l); },
       "is a symbolic link: refused"},
      {"dangling link",
       [](const std::string& l, const std::string& v) { fs::create_symlink(v + "-none", l); },
       "is a symbolic link: refused"},
      {"fifo",
       [](const std::string& l, const std::string&) { ASSERT_EQ(mkfifo(l.c_str(), 0644), 0); },
       "is not a regular file: refused"},
      {"folder", [](const std::string& l, const std::string&) { fs::create_directories(l); },
       "cannot make the lock file"},
  };
  for (const Case& c : cases) {
    const std::string dir = tmp.path() + "/" + c.what;
    fs::create_directories(dir);
    c.plant(dir + "/" + std::string(kd::kLockFile), victim);
    try {
      kd::FolderLock lock(dir);
      ADD_FAILURE() << c.what << ": taken";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << c.what << e.what();
    }
  }
  EXPECT_EQ(slurp(victim), "the user's\n");
  EXPECT_FALSE(fs::exists(victim + "-none"));
}

}  // namespace
