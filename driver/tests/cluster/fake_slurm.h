// What the tests of the submission and the following share: a temporary folder, Slurm's
// commands as small shell scripts first on PATH (an answer written beforehand, the arguments
// they were called with kept), and what a command shows captured instead of printed.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/cluster/follow.h"

namespace ks::driver::test {

inline std::string temp_folder(const std::string& name) {
  std::string templ = ::testing::TempDir() + "ks-cluster-" + name + "-XXXXXX";
  EXPECT_NE(mkdtemp(templ.data()), nullptr);
  return templ;
}

// What a command showed: its standard output whole, its error lines, the tours it showed.
struct Shown {
  std::string out;
  std::vector<std::string> errors;
  int tours = 0;

  ClusterOutput output() {
    return {.on_output = [this](const std::string& text) { out += text; },
            .on_error = [this](const std::string& line) { errors.push_back(line); },
            .on_tour = [this](const ResultSet&) { ++tours; }};
  }
};

// A folder of fake Slurm commands put first on PATH (or alone on it, without the machine's
// own) for the test's time. Each command, when written, prints its answer file and keeps its
// arguments in NAME.args beside it.
class FakeSlurm {
 public:
  explicit FakeSlurm(bool alone = false) : dir_(temp_folder("fake-slurm")) {
    const char* path = std::getenv("PATH");
    saved_ = path != nullptr ? path : "";
    const std::string mine = alone ? dir_ : dir_ + ":" + saved_;
    setenv("PATH", mine.c_str(), 1);
  }
  ~FakeSlurm() {
    setenv("PATH", saved_.c_str(), 1);
    std::filesystem::remove_all(dir_);
  }
  FakeSlurm(const FakeSlurm&) = delete;
  FakeSlurm& operator=(const FakeSlurm&) = delete;

  // `name` answers `answer` on its standard output (shell builtins only: PATH may hold nothing
  // else).
  void command(const std::string& name, const std::string& answer) {
    const std::string script = dir_ + "/" + name;
    std::ofstream(dir_ + "/" + name + ".answer") << answer;
    std::ofstream(script) << "#!/bin/sh\n"
                          << "echo \"$@\" > '" << dir_ << "/" << name << ".args'\n"
                          << "while IFS= read -r line; do echo \"$line\"; done < '" << dir_ << "/"
                          << name << ".answer'\n";
    ::chmod(script.c_str(), 0755);
  }

  // The arguments `name` was last called with; empty when it was not called.
  std::string args(const std::string& name) const {
    std::ifstream in(dir_ + "/" + name + ".args");
    std::string line;
    std::getline(in, line);
    return line;
  }

 private:
  std::string dir_;
  std::string saved_;
};

}  // namespace ks::driver::test
