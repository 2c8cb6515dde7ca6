// The folder lock: one driver at a time writes into a folder.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "driver/lock.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace kd = ks::driver;

// A fresh folder, removed with everything in it at the end of the test.
class TempDir {
 public:
  explicit TempDir(const std::string& name = "lock") {
    std::string templ = ::testing::TempDir() + "ks-" + name + "-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path_ = templ;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string sub(const std::string& name) const {
    const std::string dir = path_ + "/" + name;
    fs::create_directories(dir);
    return dir;
  }

 private:
  std::string path_;
};

::testing::AssertionResult Mentions(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "\"" << text << "\" does not mention \"" << part << "\"";
}

template <typename F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

// Runs `body` in a forked child that ends with _exit(status body returns), or 100 on an
// exception. Returns the child's pid.
template <typename F>
pid_t fork_child(F&& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    int status = 100;
    try {
      status = body();
    } catch (...) {
    }
    _exit(status);
  }
  return pid;
}

int wait_status(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// --- The folder lock ------------------------------------------------------------------------

TEST(FolderLock, ASecondHolderIsRefusedUntilTheFirstDies) {
  TempDir tmp;
  const std::string busy = tmp.sub("busy");
  const std::string idle = tmp.sub("idle");
  int ready[2], hold[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(hold), 0);
  const pid_t pid = fork_child([&] {
    kd::FolderLock lock(busy);
    char c = 1;
    if (write(ready[1], &c, 1) != 1) {
      return 2;
    }
    return read(hold[0], &c, 1) >= 0 ? 0 : 3;  // holds until killed
  });
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  const std::string refusal = error_of([&] { kd::FolderLock second(busy); });
  EXPECT_EQ(refusal, busy + " is in use by another kernelscope (pid " + std::to_string(pid) + ")");
  EXPECT_NO_THROW(kd::FolderLock other(idle));  // another folder is another lock

  kill(pid, SIGKILL);
  wait_status(pid);
  EXPECT_NO_THROW(kd::FolderLock after(busy));  // the kernel released it
  for (int fd : {ready[0], ready[1], hold[0], hold[1]}) {
    close(fd);
  }
}

TEST(FolderLock, HeldPerFolderWithinAProcessAndNotByItsPrograms) {
  TempDir tmp;
  const std::string dir = tmp.sub("out");
  {
    kd::FolderLock first(dir);
    EXPECT_TRUE(Mentions(error_of([&] { kd::FolderLock again(dir); }), "is in use"));
  }
  EXPECT_NO_THROW(kd::FolderLock released(dir));

  // A program started while the lock is held must not keep it after the driver is gone.
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t holder = fork_child([&] {
    kd::FolderLock lock(dir);
    pid_t program = 0;
    char arg0[] = "sleep", arg1[] = "30";
    char* argv[] = {arg0, arg1, nullptr};
    if (posix_spawnp(&program, "sleep", nullptr, nullptr, argv, environ) != 0) {
      return 2;
    }
    return write(report[1], &program, sizeof program) == sizeof program ? 0 : 3;
  });
  pid_t program = 0;
  ASSERT_EQ(read(report[0], &program, sizeof program), static_cast<ssize_t>(sizeof program));
  EXPECT_EQ(WEXITSTATUS(wait_status(holder)), 0);
  EXPECT_NO_THROW(kd::FolderLock next(dir));
  kill(program, SIGKILL);  // the orphan reparents to init, which reaps it
  close(report[0]);
  close(report[1]);
}

}  // namespace
