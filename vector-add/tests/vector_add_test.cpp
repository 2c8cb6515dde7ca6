// The vector-addition programs, run as built: whole outputs with only the time field matched
// by its format, every argument form, team sizes, and the heap program's allocation paths.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/program_test.h"

namespace {

using ks::test::ExitedWith;
using ks::test::kTeamSizes;
using ks::test::MatchesPrintf;
using ks::test::run;

constexpr std::uint32_t kMax = 33554432;

// The three programs over static vectors share messages and report; plus-heap words it
// differently.
const std::vector<std::string> kStaticPrograms = {"plus-static", "plus-parloop", "plus-quarters"};

bool uses_openmp(const std::string& program) {
  return program != "plus-static";
}

std::string element(double v1, double v2, double v3, const char* fmt) {
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt, v1, v2, v3);
  return buf;
}

// The expected report, built from the data rule independently of the programs: a = N * 0.1,
// b = i * 0.1, v1 = a + b, v2 = a - b, v3 = v1 + v2.
std::string expected_report(bool heap, std::uint32_t N) {
  const std::string time = heap ? "Tiempo:{%11.9f}\t / Tamanio Vectores:" + std::to_string(N)
                                : "Tiempo(seg.):{%11.9f}\t / Tamaño Vectores:" + std::to_string(N);
  const double a = static_cast<double>(N) * 0.1;
  auto values = [&](std::int64_t i) {
    const double b = static_cast<double>(i) * 0.1;
    return element(a + b, a - b, (a + b) + (a - b), "(%8.6f+%8.6f=%8.6f)");
  };
  std::string out;
  if (N < 10) {
    out = time + "\n";
    for (std::uint32_t i = 0; i < N; i++) {
      const std::string k = std::to_string(i);
      out += "/ V1[" + k + "]+V2[" + k + "]=V3[" + k + "]" + values(i) + " /\n";
    }
  } else {
    const std::string k = std::to_string(N - 1);
    out = time + "\t/ V1[0]+V2[0]=V3[0]" + values(0) + " / / V1[" + k + "]+V2[" + k + "]=V3[" + k +
          "]" + values(N - 1) + " /\n";
  }
  return heap ? "Tamanio Vectores:" + std::to_string(N) + " (4 B)\n" + out : out;
}

// Team sizes to try a program with: all of them for OpenMP programs, none set otherwise.
std::vector<int> teams_for(const std::string& program) {
  if (!uses_openmp(program)) {
    return {0};
  }
  return {kTeamSizes.begin(), kTeamSizes.end()};
}

TEST(VectorAdd, ReportsFollowTheDataRuleForEveryArgumentForm) {
  struct Case {
    std::vector<std::string> args;
    std::uint32_t N;
  };
  const Case cases[] = {
      {{"0"}, 0},           {{"abc"}, 0},
      {{"4294967296"}, 0},  {{"1"}, 1},
      {{"2"}, 2},           {{"3"}, 3},
      {{"9"}, 9},           {{"10"}, 10},
      {{"4294967306"}, 10}, {{"12abc"}, 12},
      {{"  +7"}, 7},        {{"5", "extra", "9"}, 5},
      {{"1000"}, 1000},     {{"1000001"}, 1000001},
  };
  for (const auto& program : kStaticPrograms) {
    for (int threads : teams_for(program)) {
      for (const auto& c : cases) {
        SCOPED_TRACE(program + " " + c.args[0] + " threads=" + std::to_string(threads));
        const ks::RunResult r = run(program, c.args, threads);
        EXPECT_TRUE(ExitedWith(r, 0));
        EXPECT_TRUE(MatchesPrintf(r.out, expected_report(false, c.N)));
        EXPECT_EQ(r.err, "");
      }
    }
  }
}

TEST(VectorAdd, SpecimenLinesReadExactlyAsDocumented) {
  // The documented examples, written out, so that the expected-report builder is itself checked.
  const std::string three =
      "Tiempo(seg.):{%11.9f}\t / Tamaño Vectores:3\n"
      "/ V1[0]+V2[0]=V3[0](0.300000+0.300000=0.600000) /\n"
      "/ V1[1]+V2[1]=V3[1](0.400000+0.200000=0.600000) /\n"
      "/ V1[2]+V2[2]=V3[2](0.500000+0.100000=0.600000) /\n";
  const std::string ten =
      "Tiempo(seg.):{%11.9f}\t / Tamaño Vectores:10\t/ V1[0]+V2[0]=V3[0](1.000000+1.000000="
      "2.000000) / / V1[9]+V2[9]=V3[9](1.900000+0.100000=2.000000) /\n";
  const std::string one =
      "Tiempo(seg.):{%11.9f}\t / Tamaño Vectores:1\n/ V1[0]+V2[0]=V3[0](0.100000+0.100000="
      "0.200000) /\n";
  EXPECT_EQ(expected_report(false, 3), three);
  EXPECT_EQ(expected_report(false, 10), ten);
  for (const auto& program : kStaticPrograms) {
    SCOPED_TRACE(program);
    EXPECT_TRUE(MatchesPrintf(run(program, {"3"}, 2).out, three));
    EXPECT_TRUE(MatchesPrintf(run(program, {"10"}, 3).out, ten));
    EXPECT_TRUE(MatchesPrintf(run(program, {"1"}, 4).out, one));
  }
}

TEST(VectorAdd, SizesAboveTheCapAreCappedAsUnsigned) {
  const std::string capped =
      "Tiempo(seg.):{%11.9f}\t / Tamaño Vectores:33554432\t/ V1[0]+V2[0]=V3[0](3355443.200000+"
      "3355443.200000=6710886.400000) / / V1[33554431]+V2[33554431]=V3[33554431](6710886.300000+"
      "0.100000=6710886.400000) /\n";
  EXPECT_EQ(expected_report(false, kMax), capped);
  struct Case {
    std::string program;
    std::string arg;
    int threads;
  };
  const Case cases[] = {
      {"plus-static", "-1", 0},         {"plus-static", "33554433", 0},
      {"plus-parloop", "-1", 2},        {"plus-parloop", "4294967295", 3},
      {"plus-quarters", "33554433", 2}, {"plus-quarters", "-1", 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program + " " + c.arg);
    const ks::RunResult r = run(c.program, {c.arg}, c.threads);
    EXPECT_TRUE(ExitedWith(r, 0));
    EXPECT_TRUE(MatchesPrintf(r.out, capped));
  }
}

TEST(VectorAdd, QuarterSectionsCoverSmallSizesExactlyOnce) {
  // Sizes where some of the four sections are empty or uneven; every element must still be
  // filled and added once, whatever the team.
  for (std::uint32_t N : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 13u}) {
    for (int threads : kTeamSizes) {
      SCOPED_TRACE("N=" + std::to_string(N) + " threads=" + std::to_string(threads));
      const ks::RunResult r = run("plus-quarters", {std::to_string(N)}, threads);
      EXPECT_TRUE(ExitedWith(r, 0));
      EXPECT_TRUE(MatchesPrintf(r.out, expected_report(false, N)));
    }
  }
}

TEST(VectorAdd, MissingArgumentIsAUsageError) {
  for (const auto& program : kStaticPrograms) {
    const ks::RunResult r = run(program, {}, 2);
    EXPECT_TRUE(ExitedWith(r, 255)) << program;
    EXPECT_EQ(r.out, "Faltan nº componentes del vector\n") << program;
    EXPECT_EQ(r.err, "") << program;
  }
  const ks::RunResult r = run("plus-heap", {});
  EXPECT_TRUE(ExitedWith(r, 255));
  EXPECT_EQ(r.out, "Faltan numero componentes del vector\n");
}

TEST(VectorAdd, BadOpenMPEnvironmentsFallBackToDefaults) {
  // Under any runtime: a team size that is not a list of positive integers is ignored with one
  // warning line, and a schedule chunk below 1 is dropped with one; a value the runtime reads
  // as it is leaves standard error to the runtime (empty for a valid one). The report is the
  // same and the run ends normally.
  enum class Err { kEmpty, kOneWarning, kRuntimes };
  const struct {
    std::string name;
    std::string value;
    Err err;
  } environments[] = {
      {"OMP_NUM_THREADS", "0", Err::kOneWarning},
      {"OMP_NUM_THREADS", "abc", Err::kOneWarning},
      {"OMP_NUM_THREADS", "-3", Err::kOneWarning},
      {"OMP_NUM_THREADS", "", Err::kOneWarning},
      {"OMP_NUM_THREADS", "2,x", Err::kOneWarning},
      {"OMP_NUM_THREADS", "99999999999", Err::kOneWarning},
      {"OMP_NUM_THREADS", "64", Err::kEmpty},
      {"OMP_NUM_THREADS", "3,2", Err::kEmpty},
      {"OMP_SCHEDULE", "garbage", Err::kRuntimes},
      {"OMP_SCHEDULE", "dynamic,0", Err::kOneWarning},
      {"OMP_SCHEDULE", "dynamic,-1", Err::kOneWarning},
      {"OMP_SCHEDULE", "guided,-5", Err::kOneWarning},
      {"OMP_SCHEDULE", "static,2147483647", Err::kRuntimes},
  };
  for (const std::string program : {"plus-parloop", "plus-quarters"}) {
    for (const auto& [name, value, err] : environments) {
      SCOPED_TRACE(program + " " + name + "=" + value);
      ks::RunOptions options;
      options.env[name] = value;
      options.timeout_seconds = 20;
      const ks::RunResult r = ks::test::run(program, {"12"}, 0, options);
      EXPECT_TRUE(ks::test::ExitedWith(r, 0));
      EXPECT_TRUE(ks::test::MatchesPrintf(r.out, expected_report(false, 12)));
      if (err == Err::kEmpty) {
        EXPECT_EQ(r.err, "");
      } else if (err == Err::kOneWarning) {
        EXPECT_TRUE(ks::test::WarnedOnceAbout(r, name));
      }
    }
  }
}

TEST(VectorAdd, AReportThatCannotBeWrittenFailsWithTheRunsOwnStatus) {
  // Status 1 where the run would otherwise succeed; a usage error and an allocation failure
  // keep their statuses. Each also says on standard error that its output was lost.
  struct Case {
    std::string program;
    std::vector<std::string> args;
    int status;
    std::optional<rlim_t> address_space = std::nullopt;
  };
  const Case cases[] = {
      {"plus-static", {"20"}, 1},  {"plus-heap", {"20"}, 1},
      {"plus-parloop", {"20"}, 1}, {"plus-quarters", {"20"}, 1},
      {"plus-static", {}, 255},    {"plus-heap", {}, 255},
      {"plus-parloop", {}, 255},   {"plus-quarters", {}, 255},
      {"plus-heap", {"-1"}, 254},  {"plus-heap", {"100000000"}, 254, rlim_t{1} << 30},
  };
  for (const auto mode : {ks::StdoutMode::kDevFull, ks::StdoutMode::kClosedPipe}) {
    const std::string cause =
        mode == ks::StdoutMode::kDevFull ? "No space left on device" : "Broken pipe";
    for (const auto& c : cases) {
      SCOPED_TRACE(c.program + " " + (c.args.empty() ? "(no argument)" : c.args[0]) + ": " + cause);
      if (c.address_space && ks::test::kUnderAddressSanitizer) {
        continue;  // ASan's shadow memory cannot live under an address-space limit
      }
      ks::RunOptions options;
      options.stdout_mode = mode;
      options.address_space_limit = c.address_space;
      const ks::RunResult r = run(c.program, c.args, 2, options);
      EXPECT_TRUE(ExitedWith(r, c.status));
      EXPECT_EQ(r.err, c.program + ": no se pudo escribir la salida estándar: " + cause + "\n");
    }
  }
}

TEST(PlusHeap, ReportsWithItsOwnWordingAndNoCap) {
  for (const std::string arg :
       {"0", "abc", "1", "3", "9", "10", "12abc", "4294967306", "40000000"}) {
    SCOPED_TRACE(arg);
    const ks::RunResult r = run("plus-heap", {arg});
    EXPECT_TRUE(ExitedWith(r, 0));
    const std::uint32_t N = static_cast<std::uint32_t>(std::strtoul(arg.c_str(), nullptr, 10));
    EXPECT_TRUE(MatchesPrintf(r.out, expected_report(true, N)));
  }
  EXPECT_TRUE(MatchesPrintf(run("plus-heap", {"3"}).out,
                            "Tamanio Vectores:3 (4 B)\n"
                            "Tiempo:{%11.9f}\t / Tamanio Vectores:3\n"
                            "/ V1[0]+V2[0]=V3[0](0.300000+0.300000=0.600000) /\n"
                            "/ V1[1]+V2[1]=V3[1](0.400000+0.200000=0.600000) /\n"
                            "/ V1[2]+V2[2]=V3[2](0.500000+0.100000=0.600000) /\n"));
}

TEST(PlusHeap, AllocationFailurePrintsTheSizeLineThenTheMessage) {
  struct Case {
    std::string arg;
    std::optional<rlim_t> address_space;  // a real malloc failure under a limit, or none
  };
  const Case cases[] = {
      {"100000000", rlim_t{1} << 30},   // 800 MB each: the second block is refused
      {"40000000", rlim_t{512} << 20},  // 320 MB each: the second block is refused
      {"2000000000", std::nullopt},     // 48 GB: more than this machine holds, refused up front
      {"-1", std::nullopt},             // 3 x 32 GiB
      {"-1000", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arg);
    if (c.address_space && ks::test::kUnderAddressSanitizer) {
      continue;  // ASan's shadow memory cannot live under an address-space limit
    }
    ks::RunOptions options;
    options.address_space_limit = c.address_space;
    const ks::RunResult r = run("plus-heap", {c.arg}, 0, options);
    EXPECT_TRUE(ExitedWith(r, 254));
    const std::uint32_t N = static_cast<std::uint32_t>(std::strtol(c.arg.c_str(), nullptr, 10));
    EXPECT_EQ(r.out, "Tamanio Vectores:" + std::to_string(N) +
                         " (4 B)\nNo hay suficiente espacio para los vectores \n");
  }
}

}  // namespace
