// The submission without a Slurm cluster: the batch script a dry run hands out, and the
// refusal when Slurm's commands are missing, both leaving the folder unmade.
#include "driver/cluster/submit.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "driver/base/errors.h"
#include "driver/tests/cluster/fake_slurm.h"
#include "driver/tests/support/configs.h"

namespace {

namespace fs = std::filesystem;
namespace kd = ks::driver;
using ks::driver::test::config;
using ks::driver::test::FakeSlurm;
using ks::driver::test::Shown;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

bool has_line(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(RunOnCluster, DryRunHandsOutTheScriptAndWritesNothing) {
  const std::string root = ks::driver::test::temp_folder("dry");
  const std::string out = root + "/out";
  const kd::Plan plan =
      kd::interleaved_plan({config("plus-static", 1000, 1), config("plus-parloop", 1000, 2)});
  struct Case {
    const char* name;
    std::string kind;
    bool per_node;
    int nodes;
    std::vector<std::string> lines;  // among the script's
    std::string absent;              // no line starts with it
  };
  const std::vector<Case> cases = {
      {"split, Slurm places one task",
       "sweep",
       false,
       0,
       {"#SBATCH --array=0-0", "# The plan is shared out over 1 task."},
       "#SBATCH --hold"},
      {"split over at most 3 nodes: one task per configuration",
       "sweep",
       false,
       3,
       {"#SBATCH --array=0-1%3",
        "# The plan is shared out over 2 tasks, at most 3 running at once."},
       "#SBATCH --hold"},
      {"per node on 2 nodes Slurm offers",
       "tour",
       true,
       2,
       {"#SBATCH --array=0-1", "#SBATCH --hold",
        "# Every task runs the whole plan on its own node."},
       "#SBATCH --array=0-1%"},
  };
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  const std::string bin = (fs::current_path() / "bin").lexically_normal().string();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kd::SlurmOptions slurm;
    slurm.slurm = true;
    slurm.nodes = c.nodes;
    slurm.per_node = c.per_node;
    slurm.time = "5";
    Shown shown;
    EXPECT_EQ(kd::run_on_cluster(plan, slurm,
                                 {.kind = c.kind,
                                  .out = out + "/",
                                  .dry_run = true,
                                  .bin_dir = "bin",
                                  .timeout_seconds = 2.5},
                                 shown.output()),
              0);
    const std::vector<std::string> lines = lines_of(shown.out);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "#!/bin/bash");
    EXPECT_TRUE(has_line(lines, "#SBATCH --job-name=kernelscope-" + c.kind));
    EXPECT_TRUE(has_line(lines, "#SBATCH --time=5"));
    EXPECT_TRUE(has_line(lines, "#SBATCH --output=" + out + "/slurm-%A_%a.out"));
    for (const std::string& line : c.lines) {
      EXPECT_TRUE(has_line(lines, line)) << line << "\n" << shown.out;
    }
    for (const std::string& line : lines) {
      EXPECT_NE(line.rfind(c.absent, 0), 0u) << line;
    }
    // The task's command: this program, the programs' folder made absolute, the folder without
    // its trailing slash, the index left to Slurm.
    EXPECT_EQ(lines[lines.size() - 2], "exec " + self + " --bin " + bin + " --timeout 2.5 task " +
                                           out +
                                           " --submission 0 --index \"$SLURM_ARRAY_TASK_ID\"");
    EXPECT_EQ(lines.back().rfind("# 6 runs planned (2 configurations); about ", 0), 0u)
        << lines.back();
    EXPECT_TRUE(shown.errors.empty());
    EXPECT_FALSE(fs::exists(out));
  }
  fs::remove_all(root);
}

TEST(RunOnCluster, RefusedWithoutSlurmsCommandsBeforeTheFolderIsMade) {
  const std::string root = ks::driver::test::temp_folder("no-sbatch");
  const std::string out = root + "/out";
  const kd::Plan plan = kd::interleaved_plan({config("plus-static", 1000, 1)});
  FakeSlurm slurm(/*alone=*/true);
  kd::SlurmOptions options;
  options.slurm = true;
  Shown shown;
  try {
    (void)kd::run_on_cluster(plan, options, {.kind = "sweep", .out = out}, shown.output());
    ADD_FAILURE() << "submitted without sbatch";
  } catch (const kd::UsageError& e) {
    EXPECT_EQ(std::string(e.what()),
              "sbatch not found on PATH: install Slurm's client commands (Debian package "
              "slurm-client)");
  }
  EXPECT_EQ(shown.out, "");
  EXPECT_FALSE(fs::exists(out));
  fs::remove_all(root);
}

}  // namespace
