// The command that resumes a folder measured here: the store's own words, into the folder as
// it is named now, never deleting or merely planning.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/app/commands.h"
#include "driver/base/errors.h"

namespace kd = ks::driver;

TEST(LocalResume, TheStoresCommandIntoTheFolderAsNamedNow) {
  struct Case {
    const char* what;
    std::string kind;
    std::vector<std::string> stored;
    std::vector<std::string> resumed;
  };
  const std::string dir = "/data/runs/i3";
  const std::string bin = "/opt/ks/bin";
  const Case cases[] = {
      {"a relative --out",
       "sweep",
       {"build/bin/kernelscope", "sweep", "mprod-heap", "--sizes", "800", "--out", "i3"},
       {"kernelscope", "--bin", bin, "sweep", "mprod-heap", "--sizes", "800", "--out", dir,
        "--resume"}},
      {"--out=, --force and global options",
       "sweep",
       {"kernelscope", "--no-probe", "sweep", "plus-static", "--force", "--out=x", "--repeat", "3"},
       {"kernelscope", "--bin", bin, "--no-probe", "sweep", "plus-static", "--out", dir, "--repeat",
        "3", "--resume"}},
      {"no --out (the default folder)",
       "tour",
       {"kernelscope", "tour", "--scale", "0.2"},
       {"kernelscope", "--bin", bin, "tour", "--scale", "0.2", "--out", dir, "--resume"}},
      {"a resume resumed, a dry run",
       "map",
       {"kernelscope", "map", "chunk-dynamic", "20", "--resume", "--dry-run", "--out", "m"},
       {"kernelscope", "--bin", bin, "map", "chunk-dynamic", "20", "--out", dir, "--resume"}},
      // A value that reads as an option is a value still: "--out" takes the next word.
      {"a folder named --force",
       "sweep",
       {"kernelscope", "sweep", "plus-static", "--out", "--force"},
       {"kernelscope", "--bin", bin, "sweep", "plus-static", "--out", dir, "--resume"}},
      // What runs is never the store's to choose: its --bin is this kernelscope's.
      {"a --bin in the store",
       "sweep",
       {"kernelscope", "--bin", "/tmp/evil", "sweep", "plus-static", "--bin=/tmp/evil2", "--out",
        "x"},
       {"kernelscope", "--bin", bin, "sweep", "plus-static", "--out", dir, "--resume"}},
  };
  for (const Case& c : cases) {
    kd::StoreContents contents;
    contents.kind = c.kind;
    contents.command = c.stored;
    EXPECT_EQ(kd::local_resume_words(dir, contents, bin), c.resumed) << c.what;
  }
}

TEST(LocalResume, AStoreWhoseCommandIsNotItsKindIsRefused) {
  struct Case {
    std::string kind;
    std::vector<std::string> stored;
  };
  const Case cases[] = {
      {"sweep", {"kernelscope", "compare", "a", "b"}},    // not the command that made it
      {"sweep", {}},                                      // no command recorded
      {"report", {"kernelscope", "report", "dir"}},       // not a kind that measures
      {"tour", {"kernelscope", "sweep", "plus-static"}},  // another kind than the store's
  };
  for (const Case& c : cases) {
    kd::StoreContents contents;
    contents.kind = c.kind;
    contents.command = c.stored;
    EXPECT_THROW(kd::local_resume_words("d", contents, "/opt/ks/bin"), kd::UsageError) << c.kind;
  }
}
