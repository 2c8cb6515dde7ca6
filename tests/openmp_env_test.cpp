// The check of OMP_NUM_THREADS and OMP_SCHEDULE that every OpenMP program runs before its
// runtime reads them: the rules on their own, then what a program of this build (the probe,
// linked like the others) actually runs with under each value, whichever runtime it uses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/openmp_env.h"
#include "tests/support/program_test.h"

namespace {

using ks::openmp_env::schedule_kept_length;
using ks::openmp_env::team_list_is_valid;

TEST(OpenMPEnvRules, TeamListsArePositiveIntegersSeparatedByCommas) {
  const struct {
    const char* value;
    bool valid;
  } cases[] = {
      {"1", true},
      {"64", true},
      {"02", true},
      {" 2", true},
      {"2\t", true},
      {"4,3,2", true},
      {"2 , 3", true},
      {"2147483647", true},
      {"", false},
      {" ", false},
      {"0", false},
      {"00", false},
      {"-3", false},
      {"+2", false},
      {"abc", false},
      {"2abc", false},
      {"1 2", false},
      {"2,x", false},
      {"3,", false},
      {",2", false},
      {"1,,2", false},
      {"2,0", false},
      {"2\n", false},
      {"2147483648", false},
      {"99999999999", false},
      {"4294967298", false},
      {"1,2147483648", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(team_list_is_valid(c.value), c.valid) << "\"" << c.value << "\"";
  }
}

TEST(OpenMPEnvRules, OnlyAChunkBelowOneIsDropped) {
  const struct {
    const char* value;
    const char* kept;  // nullptr: left as it is
  } cases[] = {
      {"dynamic,-1", "dynamic"},
      {"dynamic,0", "dynamic"},
      {"dynamic,-0", "dynamic"},
      {"dynamic,-2147483648", "dynamic"},
      {"dynamic,-99999999999999999999", "dynamic"},
      {"guided, -5", "guided"},
      {" Guided , 0 ", " Guided"},
      {"static,-1", "static"},
      {"auto,0", "auto"},
      {"monotonic:dynamic,-3", "monotonic:dynamic"},
      {"nonmonotonic : dynamic,0", "nonmonotonic : dynamic"},
      {"dynamic", nullptr},
      {"dynamic,1", nullptr},
      {"static,2147483647", nullptr},
      {"dynamic,", nullptr},
      {"dynamic,-", nullptr},
      {"dynamic,-1x", nullptr},
      {"garbage,-1", nullptr},
      {"sometimes:dynamic,-1", nullptr},
      {",-1", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    const std::string value = c.value;
    const std::size_t kept = schedule_kept_length(value);
    if (c.kept == nullptr) {
      EXPECT_EQ(kept, 0u) << "\"" << value << "\"";
    } else {
      EXPECT_EQ(value.substr(0, kept), c.kept) << "\"" << value << "\"";
    }
  }
}

struct Probe {
  int team = -1;
  int kind = -1;
  int monotonic = -1;
  int chunk = -1;
};

// Runs the probe with `variable` set to `value` (or with no OpenMP variable at all when
// `variable` is empty).
Probe run_probe(const std::string& variable, const std::string& value, ks::RunResult& r) {
  ks::RunOptions options;
  options.timeout_seconds = 20;  // a runtime that hangs on a value fails fast
  if (!variable.empty()) {
    options.env[variable] = value;
  }
  r = ks::run_program(KS_OPENMP_ENV_PROBE, options);
  Probe p;
  if (std::sscanf(r.out.c_str(), "team=%d kind=%d monotonic=%d chunk=%d", &p.team, &p.kind,
                  &p.monotonic, &p.chunk) != 4) {
    ADD_FAILURE() << "unexpected probe output: " << r.out;
  }
  return p;
}

TEST(OpenMPEnv, AMalformedTeamSizeIsIgnoredWithOneWarningAndAValidOneIsKept) {
  ks::RunResult r;
  const int default_team = run_probe("", "", r).team;
  ASSERT_TRUE(ks::test::ExitedWith(r, 0));
  ASSERT_GE(default_team, 1);
  EXPECT_EQ(r.err, "");

  const struct {
    std::string value;
    int team;  // 0: the default team
  } cases[] = {
      {"3", 3},     {"1", 1},   {"64", 64}, {" 2 ", 2},        {"02", 2},          {"2,3", 2},
      {"4,\t3", 4}, {"", 0},    {" ", 0},   {"abc", 0},        {"-3", 0},          {"0", 0},
      {"2,x", 0},   {"3,", 0},  {",2", 0},  {"1,,2", 0},       {"2,0", 0},         {"+2", 0},
      {"2abc", 0},  {"1 2", 0}, {"2\n", 0}, {"2147483648", 0}, {"99999999999", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("OMP_NUM_THREADS=\"" + c.value + "\"");
    const Probe p = run_probe("OMP_NUM_THREADS", c.value, r);
    EXPECT_TRUE(ks::test::ExitedWith(r, 0));
    if (c.team == 0) {
      EXPECT_EQ(p.team, default_team);
      EXPECT_TRUE(ks::test::WarnedOnceAbout(r, "OMP_NUM_THREADS"));
    } else {
      EXPECT_EQ(p.team, c.team);
      EXPECT_EQ(r.err, "");
    }
  }
}

TEST(OpenMPEnv, AScheduleChunkBelowOneKeepsTheKindWithItsDefaultChunk) {
  enum { kStatic = 1, kDynamic = 2, kGuided = 3 };
  const struct {
    std::string value;
    int kind;
    int monotonic;  // -1: not compared (runtimes differ for static)
    int chunk;
    bool warned;
  } cases[] = {
      {"dynamic,-1", kDynamic, 0, 1, true},
      {"dynamic,0", kDynamic, 0, 1, true},
      {"dynamic,-2147483648", kDynamic, 0, 1, true},
      {"monotonic:dynamic,-3", kDynamic, 1, 1, true},
      {"guided,-5", kGuided, 0, 1, true},
      {" Guided , 0 ", kGuided, 0, 1, true},
      {"static,-1", kStatic, -1, 0, true},
      {"dynamic,4", kDynamic, 0, 4, false},
      {"monotonic:guided,2", kGuided, 1, 2, false},
      {"static,3", kStatic, -1, 3, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("OMP_SCHEDULE=\"" + c.value + "\"");
    ks::RunResult r;
    const Probe p = run_probe("OMP_SCHEDULE", c.value, r);
    EXPECT_TRUE(ks::test::ExitedWith(r, 0));
    EXPECT_EQ(p.kind, c.kind);
    EXPECT_EQ(p.chunk, c.chunk);
    if (c.monotonic >= 0) {
      EXPECT_EQ(p.monotonic, c.monotonic);
    }
    if (c.warned) {
      EXPECT_TRUE(ks::test::WarnedOnceAbout(r, "OMP_SCHEDULE"));
    } else {
      EXPECT_EQ(r.err, "");
    }
  }
}

}  // namespace
