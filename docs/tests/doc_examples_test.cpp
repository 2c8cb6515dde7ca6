// The reading of the documentation's examples: which blocks are examples, how their lines make
// commands, and what each command becomes at a small scale in the test's folders.
#include "docs/tests/doc_examples.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ks::docs::Command;
using ks::docs::Document;
using ks::docs::parse_document;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t nl = text.find('\n', start);
    out.push_back(text.substr(start, nl - start));
    if (nl == std::string::npos) {
      break;
    }
    start = nl + 1;
  }
  return out;
}

struct SplitCase {
  const char* name;
  const char* block;
  bool prompt;
  std::vector<Command> expected;  // line, code, comment, status
  bool error;                     // a command left open
};

TEST(DocSplit, LinesMakeCommands) {
  const std::vector<SplitCase> cases = {
      {"comments and blank lines are not commands",
       "# a heading comment\nkernelscope tour   # every family\n\nkernelscope list -v\n",
       false,
       {{1, "kernelscope tour", "every family", 0}, {3, "kernelscope list -v", "", 0}},
       false},
      {"a comment's status N is the command's status",
       "kernelscope sweep x --sizes 1,000   # refused: status 2\n",
       false,
       {{0, "kernelscope sweep x --sizes 1,000", "refused: status 2", 2}},
       false},
      {"a quoted string goes on over lines",
       "sqlite3 out/results.db \"SELECT a,\n  b FROM t\"   # two lines\nls\n",
       false,
       {{0, "sqlite3 out/results.db \"SELECT a,\n  b FROM t\"", "two lines", 0}, {2, "ls", "", 0}},
       false},
      {"a backslash at the end goes on",
       "kernelscope sweep a \\\n  --sizes 1K\n",
       false,
       {{0, "kernelscope sweep a \\\n  --sizes 1K", "", 0}},
       false},
      {"a hash inside quotes or a word is no comment",
       "echo '# not' \"#nor\" a#b # but this\n",
       false,
       {{0, "echo '# not' \"#nor\" a#b", "but this", 0}},
       false},
      {"an escaped quote does not open a string",
       "echo it\\'s \"a \\\" b\"\n",
       false,
       {{0, "echo it\\'s \"a \\\" b\"", "", 0}},
       false},
      {"a transcript's commands follow the prompt, its output is not run",
       "$ plus-static 3\nTiempo(seg.):0.000000150\n$ ls\n",
       true,
       {{0, "plus-static 3", "", 0}, {2, "ls", "", 0}},
       false},
      {"a quote left open is an error", "echo \"open\n", false, {}, true},
  };
  for (const SplitCase& c : cases) {
    std::vector<std::string> errors;
    const std::vector<Command> got =
        ks::docs::split_commands(lines_of(c.block), 10, c.prompt, 0, errors);
    EXPECT_EQ(!errors.empty(), c.error) << c.name;
    ASSERT_EQ(got.size(), c.expected.size()) << c.name;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].line, 10 + c.expected[i].line) << c.name;
      EXPECT_EQ(got[i].code, c.expected[i].code) << c.name;
      EXPECT_EQ(got[i].comment, c.expected[i].comment) << c.name;
      EXPECT_EQ(got[i].status, c.expected[i].status) << c.name;
    }
  }
}

TEST(DocParse, MarkedBlocksAndTheirAttributes) {
  const Document d = parse_document(
      "# Title\n"
      "\n"
      "```sh example\n"
      "kernelscope tour\n"
      "```\n"
      "```text\n"
      "kernelscope is not run here\n"
      "```\n"
      "~~~~sh example status=2 not-run=\"needs several nodes\" needs=sbatch,munge "
      "cleanup=\"scripts/slurm-cluster stop /tmp/c\" probe timeout=30\n"
      "kernelscope sweep a   # status 1\n"
      "kernelscope sweep b\n"
      "~~~~~\n"
      "```console example\n"
      "$ plus-static 3\n"
      "output\n"
      "```\n");
  EXPECT_TRUE(d.errors.empty()) << d.errors.front();
  ASSERT_EQ(d.examples.size(), 3u);
  EXPECT_EQ(d.examples[0].line, 3);
  EXPECT_EQ(d.examples[0].language, "sh");
  EXPECT_TRUE(d.examples[0].not_run.empty());
  EXPECT_FALSE(d.examples[0].probe);
  ASSERT_EQ(d.examples[0].commands.size(), 1u);
  EXPECT_EQ(d.examples[0].commands[0].line, 4);

  const ks::docs::Block& b = d.examples[1];
  EXPECT_EQ(b.not_run, "needs several nodes");
  EXPECT_EQ(b.needs, (std::vector<std::string>{"sbatch", "munge"}));
  EXPECT_EQ(b.cleanup, "scripts/slurm-cluster stop /tmp/c");
  EXPECT_TRUE(b.probe);
  EXPECT_EQ(b.timeout_seconds, 30);
  ASSERT_EQ(b.commands.size(), 2u);
  EXPECT_EQ(b.commands[0].status, 1);  // the comment's, over the block's
  EXPECT_EQ(b.commands[1].status, 2);

  ASSERT_EQ(d.examples[2].commands.size(), 1u);
  EXPECT_EQ(d.examples[2].commands[0].code, "plus-static 3");
}

TEST(DocParse, WhatCannotBeLeftUnrunIsAnError) {
  struct Case {
    const char* name;
    const char* markdown;
    const char* error;  // the start of the one error expected
  };
  const std::vector<Case> cases = {
      {"a shell block without example", "```sh\nkernelscope tour\n```\n", "1: a sh block"},
      {"a console block without example", "text\n\n```console\n$ ls\n```\n", "3: a console block"},
      {"an indented block", "Run it:\n\n    kernelscope tour\n", "3: an indented code block"},
      {"a block without an info string", "```\nkernelscope tour\n```\n", "1: a code block without"},
      {"an example that is not a shell's", "```text example\nx\n```\n", "1: only a shell block"},
      {"an unknown attribute", "```sh example stauts=2\nls\n```\n", "1: the example's attribute"},
      {"a status that is no status", "```sh example status=300\nls\n```\n",
       "1: the example's attribute"},
      {"an example without a command", "```sh example\n# nothing\n```\n", "1: an example without"},
      {"a fence never closed", "```sh example\nls\n", "1: a code block that is never closed"},
      {"a quote left open", "```sh example\necho \"a\n```\n", "2: the command is left open"},
  };
  for (const Case& c : cases) {
    const Document d = parse_document(c.markdown);
    ASSERT_EQ(d.errors.size(), 1u) << c.name;
    EXPECT_EQ(d.errors[0].rfind(c.error, 0), 0u) << c.name << ": " << d.errors[0];
  }
  // A list's continuation lines, a table and a closing fence's longer run are no code blocks.
  EXPECT_TRUE(parse_document("- item\n  goes on\n\n  more of it\n\n| a | b |\n|---|---|\n"
                             "```sh example\nls\n````\n")
                  .errors.empty());
}

TEST(DocPaths, TheDocsPathsMoveToTheTestsFolders) {
  const ks::docs::Place place{"/src", "/src/build/ci", "/w", "/t"};
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"build/default/bin/plus-static 3", "/src/build/ci/bin/plus-static 3"},
      {"export PATH=\"$PWD/build/default/bin:$PATH\"", "export PATH=\"/src/build/ci/bin:$PATH\""},
      {"scripts/valgrind-check build/ci/bin", "/src/scripts/valgrind-check /src/build/ci/bin"},
      {"KERNELSCOPE_BIN=build/clang/bin kernelscope list",
       "KERNELSCOPE_BIN=/src/build/ci/bin kernelscope list"},
      {"scripts/slurm-cluster start /tmp/ks-cluster",
       "/src/scripts/slurm-cluster start /t/ks-cluster"},
      {"kernelscope status /shared/p && .ci/run", "kernelscope status /w/shared/p && /src/.ci/run"},
      {"ls mybuild/default/x my/scripts/y a/tmp/b /tmpfoo",
       "ls mybuild/default/x my/scripts/y a/tmp/b /tmpfoo"},
  };
  for (const auto& [code, expected] : cases) {
    EXPECT_EQ(ks::docs::with_paths(code, place), expected) << code;
  }
  EXPECT_TRUE(ks::docs::plain_path("/work/wt/build-1/ci_x+y"));
  EXPECT_FALSE(ks::docs::plain_path("/work/my build"));
  EXPECT_FALSE(ks::docs::plain_path("/work/$HOME"));
  EXPECT_FALSE(ks::docs::plain_path(""));
}

TEST(DocSmallScale, SweepsToursAndProbesShrink) {
  struct Case {
    const char* code;
    int status;
    bool probe;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"kernelscope sweep plus-static --sizes 64K..32M --threads 1,2 --repeat 10", 0, false,
       "kernelscope sweep --warmup 0 --no-probe plus-static --sizes 16 --threads 1,2 --repeat 2"},
      {"kernelscope sweep recmin-base recmin-fused", 0, false,
       "kernelscope sweep --sizes 16 --repeat 2 --warmup 0 --no-probe recmin-base recmin-fused"},
      {"kernelscope sweep a --sizes=1M --warmup=3 --ceilings c.json", 0, false,
       "kernelscope sweep --repeat 2 a --sizes=16 --warmup=0 --ceilings c.json"},
      {"kernelscope tour", 0, false, "kernelscope tour --scale 0.01 --no-probe"},
      {"kernelscope tour --scale 0.2 --out t", 0, true, "kernelscope tour --scale 0.01 --out t"},
      {"kernelscope sweep a --reprobe", 0, false,
       "kernelscope sweep --sizes 16 --repeat 2 --warmup 0 --no-probe a "},
      {"kernelscope sweep a --sizes 1,000,000 --repeat 0", 2, false,
       "kernelscope sweep --no-probe a --sizes 1,000,000 --repeat 0"},
      {"kernelscope sweep a --dry-run --repeat 20", 0, false,
       "kernelscope sweep --no-probe a --dry-run --repeat 20"},
      {"/b/bin/kernelscope probe && ks-probe --threads 1,2 > c.json", 0, false,
       "/b/bin/kernelscope probe --quick && ks-probe --quick --threads 1,2 > c.json"},
      {"kernelscope probe --quick", 0, true, "kernelscope probe --quick"},
      {"kernelscope sweep --help; kernelscope report d | kernelscope compare a b", 0, false,
       "kernelscope sweep --help; kernelscope report d | kernelscope compare a b"},
      {"kernelscope map chunk-static 3 --threads 4", 0, false,
       "kernelscope map chunk-static 3 --threads 4"},
      {"mykernelscope sweep a; echo kernelscope tour", 0, false,
       "mykernelscope sweep a; echo kernelscope tour"},
      {"OMP_PROC_BIND=close kernelscope tour --out \"my out\"\nkernelscope tour", 0, false,
       "OMP_PROC_BIND=close kernelscope tour --scale 0.01 --no-probe --out \"my out\"\n"
       "kernelscope tour --scale 0.01 --no-probe"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ks::docs::small_scale(c.code, c.status, c.probe), c.expected) << c.code;
  }
}

TEST(DocDryRun, TheCommandAsWrittenIsPlannedOnly) {
  const std::vector<std::tuple<std::string, int, std::string>> cases = {
      {"kernelscope sweep a --sizes 1M --repeat 10 --out d", 0,
       "kernelscope sweep --dry-run --no-probe a --sizes 1M --repeat 10 --out d"},
      {"OMP_PROC_BIND=close kernelscope tour --reprobe && kernelscope report kernelscope-report", 0,
       "OMP_PROC_BIND=close kernelscope tour --dry-run --no-probe "},
      {"kernelscope sweep a --out b; kernelscope sweep a --ceilings c --out c", 0,
       "kernelscope sweep --dry-run --no-probe a --out b &&\n"
       "kernelscope sweep --dry-run a --ceilings c --out c"},
      {"kernelscope sweep a --out d --resume", 0, ""},
      {"kernelscope sweep a --out d --force", 0, ""},
      {"kernelscope sweep a --out /s/p --slurm --no-wait", 0, ""},
      {"kernelscope sweep a --sizes 1,000", 2, ""},
      {"kernelscope compare a b && kernelscope map chunk-static 3", 0, ""},
  };
  for (const auto& [code, status, expected] : cases) {
    EXPECT_EQ(ks::docs::dry_run(code, status), expected) << code;
  }
}

TEST(DocNotRun, ProgramsAndPresetsNamed) {
  EXPECT_EQ(
      ks::docs::programs_of("scripts/install-deps && cmake --preset default && "
                            "build/default/bin/kernelscope tour"),
      (std::vector<std::string>{"scripts/install-deps", "cmake", "build/default/bin/kernelscope"}));
  EXPECT_EQ(ks::docs::programs_of("sudo FOO=1 sbatch --wrap hostname | squeue; export X=1; cd d"),
            (std::vector<std::string>{"sbatch", "squeue"}));
  EXPECT_EQ(
      ks::docs::presets_of("cmake --preset default && cmake --build --preset ci && "
                           "cmake --workflow --preset=asan && ctest --preset clang -R x"),
      (std::vector<std::string>{"configure default", "build ci", "workflow asan", "test clang"}));
  EXPECT_TRUE(ks::docs::presets_of("kernelscope tour").empty());
}

}  // namespace
