// Running kernelscope in the tests as a user runs it: a fresh folder per test, the driver run
// to its end, its files read back.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "spawn/spawn.h"
#include "tests/support/program_test.h"

namespace ks::driver::test {

namespace fs = std::filesystem;

inline const std::string kFakes = KS_DRIVER_FAKES;
inline const std::string kProbeData = std::string(KS_DRIVER_TEST_DATA) + "/probe.json";

// A cache folder for the machine's ceilings that is never the user's.
inline std::string cache_home() {
  return ::testing::TempDir() + "kernelscope-cache-" + std::to_string(getpid());
}

// A fresh folder for one test's output.
inline std::string scratch(const std::string& name) {
  const std::string dir =
      ::testing::TempDir() + "kernelscope-" + name + "-" + std::to_string(getpid());
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// A load average file of an idle machine: the driver's warnings about the load must not
// depend on what else runs on the machine that runs the tests.
inline std::string loadavg_file(const std::string& load) {
  const std::string path =
      ::testing::TempDir() + "kernelscope-loadavg-" + load + "-" + std::to_string(getpid());
  std::ofstream(path) << load << " " << load << " " << load << " 1/100 4242\n";
  return path;
}

inline ks::RunResult kernelscope(std::vector<std::string> args, ks::RunOptions options = {}) {
  options.args = std::move(args);
  if (options.env.count("KERNELSCOPE_LOADAVG_FILE") == 0) {
    static const std::string idle = loadavg_file("0.00");
    options.env["KERNELSCOPE_LOADAVG_FILE"] = idle;
  }
  // The fixed ceilings of driver/tests/data (no probe runs, the model works on known figures)
  // and a cache folder of the tests' own, unless the test says otherwise.
  options.env.try_emplace("KERNELSCOPE_CEILINGS", kProbeData);
  options.env.try_emplace("XDG_CACHE_HOME", cache_home());
  options.timeout_seconds = 120;
  return ks::run_program(ks::test::program_path("kernelscope"), options);
}

inline std::string slurp(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Rows of a CSV file as maps from the header's names to the fields.
inline std::vector<std::map<std::string, std::string>> read_csv(const std::string& path) {
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

inline bool built(const std::string& program) {
  return access(ks::test::program_path(program).c_str(), X_OK) == 0;
}

}  // namespace ks::driver::test
