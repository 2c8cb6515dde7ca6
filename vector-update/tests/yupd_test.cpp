// The five builds of the scaled update, run as built: the same report for the same N at every
// level, the usage error, the refusal of N below 1, and sizes that need more than the default
// stack (a raised limit and one re-execution, or a refusal where the hard limit or the
// address-space limit is too small).
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <optional>
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

TEST(Yupd, AnAddressSpaceLimitThatCannotHoldTheVectorsIsARefusal) {
  // The stack grows into the address space: under RLIMIT_AS a size the stack limits allow may
  // still not fit, and must be refused rather than crash in the fill. A size that fits must
  // still run, through the raised stack limit and the re-execution.
  if (ks::test::kUnderAddressSanitizer) {
    GTEST_SKIP() << "ASan's shadow memory cannot live under an address-space limit";
  }
  if (!hard_stack_limit_is_unlimited()) {
    GTEST_SKIP() << "the tests run under a hard stack limit";
  }
  struct Case {
    std::uint32_t N;
    rlim_t address_space;
    int status;
  };
  const Case cases[] = {
      {200000000, 1024 * kMiB, 254},  // 1.6 GB of vectors
      {40000000, 256 * kMiB, 254},    // 320 MB
      {25000000, 256 * kMiB, 0},      // 200 MB: fits
      {3000000, 16 * kMiB, 254},      // 24 MB: more than the stack limit and the space
      {1000000, 16 * kMiB, 0},        // 8 MB: the default stack, no raise
  };
  for (const auto& build : kBuilds) {
    for (const auto& c : cases) {
      SCOPED_TRACE(build + " " + std::to_string(c.N) + " RLIMIT_AS " +
                   std::to_string(c.address_space / kMiB) + " MiB");
      ks::RunOptions options;
      options.address_space_limit = c.address_space;
      options.stack_limit = 8 * kMiB;
      const ks::RunResult r = run(build, {std::to_string(c.N)}, 0, options);
      EXPECT_TRUE(ExitedWith(r, c.status));
      if (c.status == 0) {
        EXPECT_TRUE(MatchesPrintf(r.out, expected_report(c.N)));
        EXPECT_EQ(r.err, "");
      } else {
        EXPECT_EQ(r.out, "");
        ASSERT_EQ(lines(r.err).size(), 1u) << r.err;
        EXPECT_EQ(r.err.rfind(build + ": no caben x e y en la memoria: se necesitan ", 0), 0u)
            << r.err;
      }
    }
  }
}

TEST(Yupd, AReportThatCannotBeWrittenFailsWithTheRunsOwnStatus) {
  // Status 1 where the run would otherwise succeed, with one line that says so. The usage
  // error and the refusals keep their statuses and their one line: they print nothing on
  // standard output, so nothing of theirs is lost.
  struct Case {
    std::string arg;  // empty: no argument
    int status;
    std::string err_start;  // after "<build>: ", or the whole message for the usage error
    std::optional<rlim_t> address_space = std::nullopt;
  };
  const Case cases[] = {
      {"20", 1, "no se pudo escribir la salida estándar: "},
      {"", 255, "Falta num\n"},
      {"0", 255, "tamaño no válido: 0"},
      {"200000000", 254, "no caben x e y en la memoria: ", 1024 * kMiB},
  };
  for (const auto mode : {ks::StdoutMode::kDevFull, ks::StdoutMode::kClosedPipe}) {
    for (const auto& build : kBuilds) {
      for (const auto& c : cases) {
        SCOPED_TRACE(build + " '" + c.arg + "'");
        if (c.address_space && ks::test::kUnderAddressSanitizer) {
          continue;  // ASan's shadow memory cannot live under an address-space limit
        }
        ks::RunOptions options;
        options.stdout_mode = mode;
        options.address_space_limit = c.address_space;
        const std::vector<std::string> args =
            c.arg.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.arg};
        const ks::RunResult r = run(build, args, 0, options);
        EXPECT_TRUE(ExitedWith(r, c.status));
        EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
        const std::string start = c.arg.empty() ? c.err_start : build + ": " + c.err_start;
        EXPECT_EQ(r.err.rfind(start, 0), 0u) << r.err;
      }
    }
  }
}

}  // namespace
