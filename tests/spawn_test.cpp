// The spawn helper, on system programs whose behaviour is known: exit statuses, signals,
// timeouts, environment, both pipes, limits and the special standard outputs.
#include <gtest/gtest.h>

#include "spawn/spawn.h"
#include "tests/support/program_test.h"

namespace {

ks::RunResult sh(const std::string& script, ks::RunOptions options = {}) {
  options.args = {"-c", script};
  if (options.timeout_seconds == 0) {
    options.timeout_seconds = 20;
  }
  return ks::run_program("/bin/sh", options);
}

TEST(Spawn, ReportsHowTheChildEnded) {
  struct Case {
    const char* script;
    bool exited;
    int status;
    int signal;
  };
  const Case cases[] = {
      {"exit 0", true, 0, 0},
      {"exit 3", true, 3, 0},
      {"exit 255", true, 255, 0},
      {"kill -SEGV $$", false, -1, SIGSEGV},
      {"kill -KILL $$", false, -1, SIGKILL},
  };
  for (const auto& c : cases) {
    const ks::RunResult r = sh(c.script);
    ASSERT_TRUE(r.started) << r.error;
    EXPECT_EQ(r.exited, c.exited) << c.script << ": " << r.describe();
    if (c.exited) {
      EXPECT_EQ(r.exit_status, c.status) << c.script;
    } else {
      EXPECT_EQ(r.term_signal, c.signal) << c.script << ": " << r.describe();
      EXPECT_NE(r.describe().find("signal"), std::string::npos);
    }
  }
}

TEST(Spawn, SeparatesBothStreamsAndDrainsLargeOutput) {
  const ks::RunResult r = sh("echo out; echo err >&2; head -c 1000000 /dev/zero; echo tail >&2");
  ASSERT_TRUE(r.ok()) << r.describe();
  EXPECT_EQ(r.out.size(), 4 + 1000000u);
  EXPECT_EQ(r.out.substr(0, 4), "out\n");
  EXPECT_EQ(r.err, "err\ntail\n");
}

TEST(Spawn, SetsAndCleansTheEnvironment) {
  // Every runtime's own variables go with the standard ones; a look-alike name stays.
  const char* inherited[] = {"OMP_SCHEDULE",       "GOMP_SPINCOUNT",
                             "KMP_BLOCKTIME",      "LIBOMP_NUM_HIDDEN_HELPER_THREADS",
                             "KS_SPAWN_TEST_KEEP", "XOMP_SPAWN_TEST"};
  for (const char* name : inherited) {
    setenv(name, "7", 1);
  }
  ks::RunOptions options;
  options.env["OMP_NUM_THREADS"] = "3";
  options.env["KS_SPAWN_TEST_KEEP"] = std::nullopt;
  const ks::RunResult r =
      sh("echo \"[$OMP_NUM_THREADS][${OMP_SCHEDULE-unset}][${GOMP_SPINCOUNT-unset}]"
         "[${KMP_BLOCKTIME-unset}][${LIBOMP_NUM_HIDDEN_HELPER_THREADS-unset}]"
         "[${KS_SPAWN_TEST_KEEP-unset}][${XOMP_SPAWN_TEST-unset}]\"",
         options);
  for (const char* name : inherited) {
    unsetenv(name);
  }
  EXPECT_EQ(r.out, "[3][unset][unset][unset][unset][unset][7]\n");
}

TEST(Spawn, KillsAtTheTimeoutAndSaysSo) {
  ks::RunOptions options;
  options.timeout_seconds = 0.3;
  const ks::RunResult r = sh("sleep 30", options);
  EXPECT_TRUE(r.timed_out);
  EXPECT_FALSE(r.exited);
  EXPECT_FALSE(r.ok());
  EXPECT_LT(r.wall_seconds, 10.0);
  EXPECT_NE(r.describe().find("timed out"), std::string::npos);
}

TEST(Spawn, InstallsLimitsForTheChildOnly) {
  if (ks::test::kUnderAddressSanitizer) {
    GTEST_SKIP() << "ASan's shadow memory cannot live under an address-space limit";
  }
  rlimit as_before{}, stack_before{};
  getrlimit(RLIMIT_AS, &as_before);
  getrlimit(RLIMIT_STACK, &stack_before);
  ks::RunOptions options;
  options.address_space_limit = 300u << 20;
  options.stack_limit = 4u << 20;
  options.stack_hard_limit = 6u << 20;
  const ks::RunResult r =
      sh("ulimit -v; ulimit -S -s; ulimit -H -s; echo out; echo err >&2", options);
  EXPECT_EQ(r.out, "307200\n4096\n6144\nout\n");
  EXPECT_EQ(r.err, "err\n");
  EXPECT_TRUE(r.ok()) << r.describe();
  rlimit as_after{}, stack_after{};
  getrlimit(RLIMIT_AS, &as_after);
  getrlimit(RLIMIT_STACK, &stack_after);
  EXPECT_EQ(as_after.rlim_cur, as_before.rlim_cur);
  EXPECT_EQ(stack_after.rlim_cur, stack_before.rlim_cur);
  EXPECT_EQ(stack_after.rlim_max, stack_before.rlim_max);  // the hard limit is never lowered here

  // The same path reports programs that cannot be started, and full devices.
  EXPECT_FALSE(ks::run_program("/nonexistent/program", options).started);
  options.stdout_mode = ks::StdoutMode::kDevFull;
  EXPECT_EQ(sh("echo x || exit 7", options).exit_status, 7);
}

TEST(Spawn, FeedsStandardInput) {
  ks::RunOptions options;
  options.stdin_data = "hello\n";
  EXPECT_EQ(sh("cat", options).out, "hello\n");
}

TEST(Spawn, OffersAFullDeviceAndAClosedPipeAsStandardOutput) {
  ks::RunOptions full;
  full.stdout_mode = ks::StdoutMode::kDevFull;
  const ks::RunResult r1 = sh("echo x || exit 7", full);
  EXPECT_EQ(r1.exit_status, 7) << r1.describe();

  ks::RunOptions closed;
  closed.stdout_mode = ks::StdoutMode::kClosedPipe;
  const ks::RunResult r2 = ks::run_program("/usr/bin/yes", closed);
  EXPECT_FALSE(r2.exited) << r2.describe();
  EXPECT_EQ(r2.term_signal, SIGPIPE);
}

TEST(Spawn, SaysWhenAProgramCannotBeStarted) {
  const ks::RunResult r = ks::run_program("/nonexistent/program");
  EXPECT_FALSE(r.started);
  EXPECT_NE(r.describe().find("not started"), std::string::npos);
}

}  // namespace
