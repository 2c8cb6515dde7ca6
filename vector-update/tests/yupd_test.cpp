// The five builds of the scaled update, run as built: the same report for the same N at every
// level, the usage error, the refusal of N below 1, and sizes that need more than the default
// stack (a raised limit and one re-execution, or a refusal where the hard limit is too small).
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/program_test.h"

namespace {

using ks::test::ExitedWith;
using ks::test::lines;
using ks::test::MatchesPrintf;
using ks::test::run;

const std::vector<std::string> kBuilds = {"yupd-o0", "yupd-o1", "yupd-o2", "yupd-o3", "yupd-os"};

constexpr rlim_t kMiB = rlim_t{1} << 20;

// x[i] = y[i] = i, then y[i] = 47 * x[i] + y[i] = 48 * i modulo 2^32, read as signed.
std::string expected_report(std::uint32_t N) {
  const auto last = static_cast<std::int32_t>(48u * (N - 1));
  return "Tiempo(seg): {%f}\ny[0]=0, y[N-1]=" + std::to_string(last) + " \n";
}

TEST(Yupd, EveryBuildPrintsTheSameUpdateForEveryArgumentForm) {
  // The documented values, written out, so that the builder above is itself checked.
  EXPECT_EQ(expected_report(1), "Tiempo(seg): {%f}\ny[0]=0, y[N-1]=0 \n");
  EXPECT_EQ(expected_report(2), "Tiempo(seg): {%f}\ny[0]=0, y[N-1]=48 \n");
  EXPECT_EQ(expected_report(100), "Tiempo(seg): {%f}\ny[0]=0, y[N-1]=4752 \n");
  EXPECT_EQ(expected_report(1000000), "Tiempo(seg): {%f}\ny[0]=0, y[N-1]=47999952 \n");
  EXPECT_EQ(expected_report(50000000), "Tiempo(seg): {%f}\ny[0]=0, y[N-1]=-1894967344 \n");

  struct Case {
    std::vector<std::string> args;
    std::uint32_t N;
  };
  const Case cases[] = {
      {{"1"}, 1},    {{"2"}, 2},    {{"8"}, 8},       {{"100"}, 100},      {{"1000000"}, 1000000},
      {{"8abc"}, 8}, {{"  +8"}, 8}, {{"8", "99"}, 8}, {{"4294967304"}, 8},
  };
  for (const auto& c : cases) {
    for (const auto& build : kBuilds) {
      SCOPED_TRACE(build + " " + c.args[0]);
      const ks::RunResult r = run(build, c.args);
      EXPECT_TRUE(ExitedWith(r, 0));
      EXPECT_TRUE(MatchesPrintf(r.out, expected_report(c.N)));
      EXPECT_EQ(r.err, "");
    }
  }
}

TEST(Yupd, MissingArgumentIsAUsageErrorOnStandardError) {
  for (const auto& build : kBuilds) {
    SCOPED_TRACE(build);
    const ks::RunResult r = run(build, {});
    EXPECT_TRUE(ExitedWith(r, 255));
    EXPECT_EQ(r.err, "Falta num\n");
    EXPECT_EQ(r.out, "");
  }
}

TEST(Yupd, SizesBelowOneAreRefused) {
  struct Case {
    std::string arg;
    std::int32_t N;
  };
  const Case cases[] = {
      {"0", 0},
      {"-5", -5},
      {"abc", 0},
      {"", 0},
      {"-2147483648", INT32_MIN},
      {"4294967296", 0},
      {"2147483648", INT32_MIN},
  };
  for (const auto& build : kBuilds) {
    for (const auto& c : cases) {
      SCOPED_TRACE(build + " '" + c.arg + "'");
      const ks::RunResult r = run(build, {c.arg});
      EXPECT_TRUE(ExitedWith(r, 255));
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, build + ": tamaño no válido: " + std::to_string(c.N) +
                           " (N debe ser al menos 1)\n");
    }
  }
}

// Runs a build under the given stack limits. A shell sets them in the child and then becomes
// the program (same path, so the same name in its messages): lowering a hard limit in the
// test process itself, as the spawn helper would, cannot be undone without CAP_SYS_RESOURCE,
// which even root may lack in a container.
ks::RunResult run_with_stack(const std::string& build, std::uint32_t N, rlim_t soft, rlim_t hard) {
  auto kib = [](rlim_t limit) {
    return limit == RLIM_INFINITY ? std::string("unlimited") : std::to_string(limit / 1024);
  };
  ks::RunOptions options;
  options.args = {
      "-c",
      "ulimit -S -s " + kib(soft) + " && ulimit -H -s " + kib(hard) + " && exec \"$0\" \"$@\"",
      ks::test::program_path(build), std::to_string(N)};
  options.timeout_seconds = ks::test::kRunTimeout;
  return ks::run_program("/bin/sh", options);
}

// The cases need a test process whose hard stack limit is unlimited, as it is by default.
bool hard_stack_limit_is_unlimited() {
  rlimit own{};
  return getrlimit(RLIMIT_STACK, &own) == 0 && own.rlim_max == RLIM_INFINITY;
}

struct StackCase {
  std::string build;
  std::uint32_t N;
  rlim_t soft;
  rlim_t hard;
};

std::string describe(const StackCase& c) {
  return c.build + " " + std::to_string(c.N) + " soft " + std::to_string(c.soft) + " hard " +
         std::to_string(c.hard);
}

TEST(Yupd, SizesBeyondTheStackLimitRaiseItAndGetTheResult) {
  if (!hard_stack_limit_is_unlimited()) {
    GTEST_SKIP() << "the tests run under a hard stack limit";
  }
  const StackCase cases[] = {
      // Fits the default 8 MiB as it stands, even with the hard limit there too.
      {"yupd-o0", 1000000, 8 * kMiB, 8 * kMiB},
      {"yupd-o3", 1000000, 8 * kMiB, 8 * kMiB},
      // 24 MB of vectors: a raised soft limit and one re-execution, at every level.
      {"yupd-o0", 3000000, 8 * kMiB, RLIM_INFINITY},
      {"yupd-o1", 3000000, 8 * kMiB, RLIM_INFINITY},
      {"yupd-o2", 3000000, 8 * kMiB, RLIM_INFINITY},
      {"yupd-o3", 3000000, 8 * kMiB, RLIM_INFINITY},
      {"yupd-os", 3000000, 8 * kMiB, RLIM_INFINITY},
      // Large sizes whose y[N-1] wraps: 44739244 is the first that does.
      {"yupd-o0", 50000000, 8 * kMiB, RLIM_INFINITY},
      {"yupd-o3", 44739244, 8 * kMiB, RLIM_INFINITY},
      // Raised up to a finite hard limit, from a small soft one, or not at all when unlimited.
      {"yupd-o2", 20000000, 8 * kMiB, 256 * kMiB},
      {"yupd-os", 2000000, 1 * kMiB, 64 * kMiB},
      {"yupd-o1", 20000000, RLIM_INFINITY, RLIM_INFINITY},
  };
  EXPECT_EQ(expected_report(44739244), "Tiempo(seg): {%f}\ny[0]=0, y[N-1]=-2147483632 \n");
  for (const auto& c : cases) {
    SCOPED_TRACE(describe(c));
    const ks::RunResult r = run_with_stack(c.build, c.N, c.soft, c.hard);
    EXPECT_TRUE(ExitedWith(r, 0));
    EXPECT_TRUE(MatchesPrintf(r.out, expected_report(c.N)));
    EXPECT_EQ(r.err, "");
  }
}

TEST(Yupd, SizesBeyondTheHardStackLimitAreRefused) {
  if (!hard_stack_limit_is_unlimited()) {
    GTEST_SKIP() << "the tests run under a hard stack limit";
  }
  const StackCase cases[] = {
      {"yupd-o0", 50000000, 8 * kMiB, 8 * kMiB},   {"yupd-o1", 50000000, 8 * kMiB, 8 * kMiB},
      {"yupd-o2", 50000000, 8 * kMiB, 8 * kMiB},   {"yupd-o3", 50000000, 8 * kMiB, 8 * kMiB},
      {"yupd-os", 50000000, 8 * kMiB, 8 * kMiB},   {"yupd-o2", 1100000, 8 * kMiB, 8 * kMiB},
      {"yupd-o3", 50000000, 8 * kMiB, 256 * kMiB}, {"yupd-o0", 2147483647, 1 * kMiB, 64 * kMiB},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(describe(c));
    const ks::RunResult r = run_with_stack(c.build, c.N, c.soft, c.hard);
    EXPECT_TRUE(ExitedWith(r, 254));
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(lines(r.err).size(), 1u) << r.err;
    EXPECT_EQ(r.err.rfind(c.build + ": no caben x e y en la ", 0), 0u) << r.err;
  }
}

TEST(Yupd, AStaleReexecutionMarkerDoesNotBlockTheRaise) {
  // The marker only counts when it holds the program's own process id.
  for (const std::string stale : {"1", "0", "yes", ""}) {
    SCOPED_TRACE("marker '" + stale + "'");
    ks::RunOptions options;
    options.stack_limit = 8 * kMiB;
    options.env["KS_YUPD_STACK_REEXEC"] = stale;
    const ks::RunResult r = run("yupd-o2", {"3000000"}, 0, options);
    EXPECT_TRUE(ExitedWith(r, 0));
    EXPECT_TRUE(MatchesPrintf(r.out, expected_report(3000000)));
  }
}

TEST(Yupd, AReportThatCannotBeWrittenIsAFailure) {
  for (const auto mode : {ks::StdoutMode::kDevFull, ks::StdoutMode::kClosedPipe}) {
    for (const auto& build : kBuilds) {
      SCOPED_TRACE(build);
      ks::RunOptions options;
      options.stdout_mode = mode;
      const ks::RunResult r = run(build, {"20"}, 0, options);
      EXPECT_TRUE(ExitedWith(r, 1));
      EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
      EXPECT_EQ(r.err.rfind(build + ": ", 0), 0u) << r.err;
    }
  }
}

}  // namespace
