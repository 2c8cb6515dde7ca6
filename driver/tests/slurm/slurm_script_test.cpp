// Array layouts and batch scripts, run through bash to check their quoting.
#include "driver/slurm/slurm.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "driver/tests/slurm/slurm_requests.h"
#include "spawn/spawn.h"

namespace {

using ks::driver::ArrayLayout;
using ks::driver::SlurmMode;
using ks::driver::SlurmRequest;
using ks::driver::testing::basic_request;
using ks::driver::testing::directives;
using ks::driver::testing::has;

TEST(SlurmLayout, TasksThrottleAndPins) {
  struct Case {
    const char* name;
    SlurmMode mode;
    int tasks;
    int nodes;
    std::string nodelist;
    std::vector<std::string> expanded;
    ArrayLayout want;
  };
  const std::vector<Case> cases = {
      {"split, Slurm places the tasks", SlurmMode::kSplit, 4, 0, "", {}, {4, 0, {}, false}},
      {"split over at most 2 nodes at once", SlurmMode::kSplit, 5, 2, "", {}, {5, 2, {}, false}},
      {"split over listed nodes, round robin",
       SlurmMode::kSplit,
       5,
       0,
       "n[1-2]",
       {"n1", "n2"},
       {5, 0, {"n1", "n2", "n1", "n2", "n1"}, false}},
      {"per node over a list: one task each",
       SlurmMode::kPerNode,
       9,
       0,
       "n[1-3]",
       {"n1", "n2", "n3"},
       {3, 0, {"n1", "n2", "n3"}, false}},
      {"per node, N nodes Slurm offered",
       SlurmMode::kPerNode,
       1,
       2,
       "",
       {"a", "b"},
       {2, 0, {"a", "b"}, false}},
      {"per node, N nodes not known yet", SlurmMode::kPerNode, 1, 3, "", {}, {3, 0, {}, true}},
  };
  for (const Case& c : cases) {
    SlurmRequest r = basic_request();
    r.mode = c.mode;
    r.tasks = c.tasks;
    r.nodes = c.nodes;
    r.nodelist = c.nodelist;
    const ArrayLayout got = ks::driver::array_layout(r, c.expanded);
    EXPECT_EQ(got.tasks, c.want.tasks) << c.name;
    EXPECT_EQ(got.throttle, c.want.throttle) << c.name;
    EXPECT_EQ(got.task_nodes, c.want.task_nodes) << c.name;
    EXPECT_EQ(got.pins_pending, c.want.pins_pending) << c.name;
  }
}

TEST(SlurmScript, DirectivesFollowTheRequest) {
  SlurmRequest r = basic_request();
  r.partition = "fast";
  r.time = "30:00";
  r.account = "course";
  r.sbatch_args = {"--constraint=avx512", "--mem=0"};
  std::string script = ks::driver::batch_script(r, {4, 0, {}, false});
  ASSERT_EQ(script.rfind("#!/bin/bash\n", 0), 0u) << script;
  std::vector<std::string> d = directives(script);
  for (const char* want :
       {"--job-name=kernelscope", "--array=0-3", "--nodes=1", "--ntasks=1", "--exclusive",
        "--no-requeue", "--partition=fast", "--time=30:00", "--account=course",
        "--chdir=/shared/out", "--output=/shared/out/slurm-%A_%a.out",
        "--error=/shared/out/slurm-%A_%a.err"}) {
    EXPECT_TRUE(has(d, want)) << want << "\n" << script;
  }
  EXPECT_FALSE(has(d, "--hold")) << script;
  // The user's own arguments come last, so that they win over ours.
  ASSERT_GE(d.size(), 2u);
  EXPECT_EQ(d[d.size() - 2], "--constraint=avx512");
  EXPECT_EQ(d.back(), "--mem=0");
  // Directives after the first command line would be ignored by sbatch.
  EXPECT_LT(script.rfind("#SBATCH"), script.find("\nexec "));

  // Nothing optional when nothing is asked; a trailing slash in the folder is dropped.
  r = basic_request();
  r.output_dir = "/shared/out/";
  d = directives(ks::driver::batch_script(r, {1, 0, {}, false}));
  EXPECT_TRUE(has(d, "--array=0-0"));
  EXPECT_TRUE(has(d, "--output=/shared/out/slurm-%A_%a.out"));
  for (const std::string& line : d) {
    EXPECT_TRUE(line.rfind("--partition", 0) && line.rfind("--time", 0) &&
                line.rfind("--account", 0))
        << line;
  }

  // A throttle, and pinned tasks held until their pins are in place.
  d = directives(ks::driver::batch_script(basic_request(), {4, 2, {}, false}));
  EXPECT_TRUE(has(d, "--array=0-3%2"));
  script = ks::driver::batch_script(basic_request(), {2, 0, {"n7", "n9"}, false});
  EXPECT_TRUE(has(directives(script), "--hold"));
  EXPECT_NE(script.find("#   task 1: n9\n"), std::string::npos) << script;
  EXPECT_TRUE(
      has(directives(ks::driver::batch_script(basic_request(), {3, 0, {}, true})), "--hold"));
}

// The command line survives the shell exactly, whatever it holds, with the task's index in
// place of the argument kTaskIndex alone: braces of the user's own (a folder "/x{task}y") stay
// as they are.
TEST(SlurmScript, CommandReachesTheTaskIntact) {
  const std::string bash = "/bin/bash";
  const std::string index(ks::driver::kTaskIndex);
  SlurmRequest r = basic_request();
  const std::vector<std::string> args = {
      "%s|",      "it's",    "a  b",      "--task={task}", "{task}",
      "$HOME",    "`false`", "",          index,           "x{task}y{task}",
      "\\n\"q\"", "*",       "/x{task}y", "$(id)",         "a\nb",
      "\r",       "{",       "}",         "'\"'\"'\"",     "${SLURM_ARRAY_TASK_ID}"};
  r.command = {"/usr/bin/printf"};
  r.command.insert(r.command.end(), args.begin(), args.end());
  const std::string script = ks::driver::batch_script(r, {1, 0, {}, false});
  ks::RunOptions options;
  options.args = {"-c", script};
  options.env["SLURM_ARRAY_TASK_ID"] = "17";
  options.timeout_seconds = 30;
  const ks::RunResult run = ks::run_program(bash, options);
  ASSERT_TRUE(run.ok()) << run.describe() << run.err;
  EXPECT_EQ(
      run.out,
      "it's|a  b|--task={task}|{task}|$HOME|`false`||17|x{task}y{task}|\\n\"q\"|*|/x{task}y|$("
      "id)|a\nb|\r|{|}|'\"'\"'\"|${SLURM_ARRAY_TASK_ID}|");
  // The index placeholder only as a whole argument; a NUL anywhere else is refused.
  r.command = {"/bin/true", "a" + index};
  EXPECT_THROW(ks::driver::batch_script(r, {1, 0, {}, false}), std::invalid_argument);
}

TEST(SlurmScript, ValuesShownInMessagesStayOneLine) {
  struct Case {
    std::string value;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {"plain", "\"plain\""},
      {"a\nb", "\"a\\nb\""},
      {"a\rb\t", "\"a\\rb\\t\""},
      {std::string("x\0y", 3), "\"x\\x00y\""},
      {"\x1b[31m\x7f", "\"\\x1b[31m\\x7f\""},
      {"say \"hi\" \\ there", "\"say \\\"hi\\\" \\\\ there\""},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},  // UTF-8 as it is
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ks::driver::shown(c.value), c.shown) << c.shown;
  }
}

TEST(SlurmScript, RefusesWhatCannotBeWrittenSafely) {
  struct Case {
    const char* name;
    void (*change)(SlurmRequest&);
  };
  const std::vector<Case> cases = {
      {"relative folder", [](SlurmRequest& r) { r.output_dir = "out"; }},
      {"blank in folder", [](SlurmRequest& r) { r.output_dir = "/my results"; }},
      {"percent in folder", [](SlurmRequest& r) { r.output_dir = "/runs/100%"; }},
      {"line break in argument", [](SlurmRequest& r) { r.sbatch_args = {"--mem=1G\nrm -rf /"}; }},
      {"empty argument", [](SlurmRequest& r) { r.sbatch_args = {""}; }},
      {"blank in partition", [](SlurmRequest& r) { r.partition = "a b"; }},
      {"line break in time", [](SlurmRequest& r) { r.time = "10\n#SBATCH --x"; }},
      {"no command", [](SlurmRequest& r) { r.command.clear(); }},
  };
  for (const Case& c : cases) {
    SlurmRequest r = basic_request();
    c.change(r);
    try {
      (void)ks::driver::batch_script(r, {1, 0, {}, false});
      ADD_FAILURE() << c.name << ": accepted";
    } catch (const std::invalid_argument& e) {
      // One line whatever the value held: its line breaks shown as escapes.
      const std::string why = e.what();
      EXPECT_EQ(why.find_first_of("\n\r"), std::string::npos) << c.name << ": " << why;
    }
  }
  // The values are refused before any of them reaches Slurm, whose complaints would echo them.
  const std::vector<Case> values = {
      {"carriage return in partition", [](SlurmRequest& r) { r.partition = "a\rb"; }},
      {"line break in account", [](SlurmRequest& r) { r.account = "a\nb"; }},
      {"line break in node list", [](SlurmRequest& r) { r.nodelist = "n1\nn2"; }},
      {"carriage return in an sbatch argument", [](SlurmRequest& r) { r.sbatch_args = {"--x\r"}; }},
  };
  for (const Case& c : values) {
    SlurmRequest r = basic_request();
    c.change(r);
    ks::driver::SlurmClient client;
    client.env["PATH"] = "/nonexistent";  // a refusal that ran no command
    const auto result = client.submit(r);
    EXPECT_EQ(result.error.kind, ks::driver::SlurmErrorKind::kBadRequest) << c.name;
    EXPECT_EQ(result.error.message.find_first_of("\n\r"), std::string::npos)
        << result.error.message;
    EXPECT_NE(result.error.message.find('\\'), std::string::npos) << result.error.message;
  }
  const std::vector<Case> layouts = {
      {"nodes and nodelist", [](SlurmRequest& r) { r.nodes = 2, r.nodelist = "n1"; }},
      {"negative nodes", [](SlurmRequest& r) { r.nodes = -1; }},
      {"no tasks", [](SlurmRequest& r) { r.tasks = 0; }},
      {"per node without nodes", [](SlurmRequest& r) { r.mode = SlurmMode::kPerNode; }},
      {"list naming nothing", [](SlurmRequest& r) { r.nodelist = "n[1-0]"; }},
  };
  for (const Case& c : layouts) {
    SlurmRequest r = basic_request();
    c.change(r);
    EXPECT_THROW(ks::driver::array_layout(r, {}), std::invalid_argument) << c.name;
  }
}

}  // namespace
