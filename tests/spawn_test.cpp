// The spawn helper, on system programs whose behaviour is known: exit statuses, signals,
// timeouts, environment, both pipes, limits and the special standard outputs; and on the test
// worker (tests/fakes/worker.cpp): process groups ended whole, early stops, and no program
// outliving the process that started it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <thread>

#include "spawn/spawn.h"
#include "tests/support/program_test.h"

namespace {

const std::string kWorker = KS_TEST_WORKER;

std::string scratch_file(const std::string& name) {
  const std::string path =
      ::testing::TempDir() + "ks-spawn-" + name + "-" + std::to_string(getpid());
  std::remove(path.c_str());
  return path;
}

// Waits until something outside the test has happened, at most `limit` seconds so that a
// broken case fails instead of hanging; true if it happened.
template <typename Predicate>
bool eventually(Predicate happened, double limit = 30) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit);
  while (!happened()) {
    if (std::chrono::steady_clock::now() > until) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The contents of a file the worker writes whole, once it exists.
std::string wait_for_file(const std::string& path) {
  std::string text;
  eventually([&] {
    std::ifstream in(path);
    text.assign(std::istreambuf_iterator<char>(in), {});
    return !text.empty();
  });
  return text;
}

// True when `pid` no longer runs in process group `pgid`: it is gone, a zombie, or its number
// now belongs to a process elsewhere.
bool gone(pid_t pid, pid_t pgid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), {});
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) {
    return true;
  }
  std::istringstream fields(stat.substr(close + 1));
  char state = 0;
  long ppid = 0, group = 0;
  fields >> state >> ppid >> group;
  return state == 'Z' || state == 'X' || group != pgid;
}

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

TEST(Spawn, KeepsAtMostTheBoundOfEachStreamAndStillDrainsTheRest) {
  ks::RunOptions options;
  options.max_output_bytes = 1000;
  const ks::RunResult cut =
      sh("head -c 300000 /dev/zero; echo short >&2; head -c 5000 /dev/zero >&2", options);
  ASSERT_TRUE(cut.ok()) << cut.describe();  // never blocked on a full pipe
  EXPECT_TRUE(cut.output_cut);
  EXPECT_EQ(cut.out.size(), 1000u);
  EXPECT_EQ(cut.err.size(), 1000u);
  EXPECT_EQ(cut.err.substr(0, 6), "short\n");
  const ks::RunResult exact = sh("head -c 1000 /dev/zero", options);
  EXPECT_FALSE(exact.output_cut);
  EXPECT_EQ(exact.out.size(), 1000u);
}

TEST(Spawn, PassesStandardErrorOnAsItComes) {
  ks::RunOptions options;
  std::vector<std::string> pieces;
  options.on_stderr = [&](std::string_view piece) { pieces.emplace_back(piece); };
  // The first line must reach the caller while the program still runs: the second comes only
  // after a pause, which a collector that waits for the end would not show.
  const ks::RunResult r = sh("echo one >&2; sleep 0.3; echo two >&2", options);
  ASSERT_TRUE(r.ok()) << r.describe();
  ASSERT_GE(pieces.size(), 2u);
  EXPECT_EQ(pieces.front(), "one\n");
  std::string joined;
  for (const std::string& p : pieces) {
    joined += p;
  }
  EXPECT_EQ(joined, r.err);
  EXPECT_EQ(r.err, "one\ntwo\n");
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

TEST(Spawn, TakesAnyTimeoutAsNoneOrALongOne) {
  for (const double timeout : {-1.0, 1e300, std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN()}) {
    ks::RunOptions options;
    options.timeout_seconds = timeout;
    options.args = {"-c", "exit 4"};
    const ks::RunResult r = ks::run_program("/bin/sh", options);
    EXPECT_EQ(r.exit_status, 4) << timeout << ": " << r.describe();
    EXPECT_FALSE(r.timed_out) << timeout;
  }
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
  // Without input, reading ends at once rather than waiting for a writer.
  const ks::RunResult none = sh("cat; echo end", {});
  EXPECT_TRUE(none.ok()) << none.describe();
  EXPECT_EQ(none.out, "end\n");
}

// The CPUs this process may run on, as the kernel lists them ("0-1").
std::string allowed_cpus(const std::string& status) {
  const std::string key = "Cpus_allowed_list:";
  const std::size_t at = status.find(key);
  if (at == std::string::npos) {
    return "";
  }
  const std::size_t begin = status.find_first_not_of(" \t", at + key.size());
  return status.substr(begin, status.find('\n', begin) - begin);
}

TEST(Spawn, AProgramMayUseEveryCpuOfItsStarterEvenHeldOnOne) {
  cpu_set_t ours;
  ASSERT_EQ(sched_getaffinity(0, sizeof ours, &ours), 0);
  std::ifstream self("/proc/thread-self/status");
  const std::string expected = allowed_cpus(std::string(std::istreambuf_iterator<char>(self), {}));
  ASSERT_FALSE(expected.empty());
  int first_cpu = 0;
  while (first_cpu < CPU_SETSIZE - 1 && !CPU_ISSET(first_cpu, &ours)) {
    ++first_cpu;
  }
  cpu_set_t first;
  CPU_ZERO(&first);
  CPU_SET(first_cpu, &first);
  struct Case {
    const char* what;
    bool hold;                      // this thread held on its CPU meanwhile
    bool give_back;                 // RunOptions::cpus = what the hold took away
    std::optional<cpu_set_t> cpus;  // else this
    std::string allowed;            // what the program may use
  };
  const Case cases[] = {
      {"as this thread", false, false, std::nullopt, expected},
      {"this thread held on its CPU, the program given back every CPU", true, true, std::nullopt,
       expected},
      {"the CPUs asked for", false, false, first, std::to_string(first_cpu)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ks::RunResult r;
    {
      std::optional<ks::HoldOnThisCpu> hold;
      if (c.hold) {
        hold.emplace();
        cpu_set_t held;
        ASSERT_EQ(sched_getaffinity(0, sizeof held, &held), 0);
        EXPECT_EQ(CPU_COUNT(&held), hold->allowed() ? 1 : CPU_COUNT(&ours));
      }
      ks::RunOptions options;
      options.cpus = c.give_back ? hold->allowed() : c.cpus;
      r = sh("cat /proc/self/status", options);
    }
    cpu_set_t after;
    ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&after, &ours)) << "this thread's CPUs were not given back";
    ASSERT_TRUE(r.ok()) << r.describe();
    EXPECT_EQ(allowed_cpus(r.out), c.allowed);
  }
}

// A signal mask of /proc/PID/status ("SigIgn:\t0000000000001000"), by its name.
std::uint64_t signal_mask(const std::string& status, const std::string& name) {
  const std::size_t at = status.find(name + ":");
  return at == std::string::npos ? ~0ULL
                                 : std::stoull(status.substr(at + name.size() + 1), nullptr, 16);
}

extern "C" void ignore_signal(int) {}

TEST(Spawn, TheProgramStartsWithDefaultHandlersAndNothingBlocked) {
  // Ours: a handler for SIGUSR1, SIGUSR2 and SIGPIPE ignored, SIGHUP blocked.
  struct sigaction handler {
  }, ignore{}, old_usr1{}, old_usr2{}, old_pipe{};
  handler.sa_handler = ignore_signal;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGUSR1, &handler, &old_usr1);
  sigaction(SIGUSR2, &ignore, &old_usr2);
  sigaction(SIGPIPE, &ignore, &old_pipe);
  sigset_t hup, old_mask;
  sigemptyset(&hup);
  sigaddset(&hup, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &hup, &old_mask);
  ks::RunOptions options;
  options.args = {"/proc/self/status"};
  const ks::RunResult r = ks::run_program("/bin/cat", options);
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  sigaction(SIGUSR1, &old_usr1, nullptr);
  sigaction(SIGUSR2, &old_usr2, nullptr);
  sigaction(SIGPIPE, &old_pipe, nullptr);
  ASSERT_TRUE(r.ok()) << r.describe();
  auto bit = [](int sig) { return 1ULL << (sig - 1); };
  EXPECT_EQ(signal_mask(r.out, "SigBlk"), 0u) << "a signal stayed blocked";
  EXPECT_EQ(signal_mask(r.out, "SigCgt"), 0u) << "a handler of ours was passed on";
  // What we ignore stays ignored (as nohup expects), but for SIGPIPE.
  EXPECT_EQ(signal_mask(r.out, "SigIgn") & (bit(SIGUSR2) | bit(SIGPIPE)), bit(SIGUSR2));
}

// Which pipe a descriptor is: its inode.
ino_t pipe_inode(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

TEST(Spawn, PipesKeptFromRunToRunGiveEachRunItsOwnOutput) {
  const std::string pidfile = scratch_file("kept");
  struct Step {
    const char* what;
    std::string script;  // for /bin/sh -c
    std::size_t out_bytes;
    std::string out_start;
    std::string err;
    bool replaced;  // it leaves its pipes unfit for another run: they are made again
  };
  const Step steps[] = {
      {"first run", "echo one; echo err1 >&2", 4, "one\n", "err1\n", false},
      {"second run: nothing of the first", "echo two", 4, "two\n", "", false},
      {"more than a pipe holds", "head -c 1000000 /dev/zero; echo tail >&2", 1000000,
       std::string(4, '\0'), "tail\n", false},
      {"a program that makes its output non-blocking",
       "/usr/bin/perl -MFcntl -e 'fcntl(STDOUT, F_SETFL, O_NONBLOCK) or die; print qq(set\\n)'", 4,
       "set\n", "", true},
      {"the next one writes to a blocking pipe again", "head -c 300000 /dev/zero", 300000,
       std::string(4, '\0'), "", false},
      {"a program that leaves a process in its group, holding its output",
       kWorker + " group " + pidfile + " exit; echo left", 5, "left\n", "", true},
      {"the next one's pipes are new", "echo after", 6, "after\n", "", false},
  };
  ks::OutputPipes pipes;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    ASSERT_TRUE(pipes.ready());
    const ino_t before = pipe_inode(pipes.out_read());
    ks::RunOptions options;
    options.pipes = &pipes;
    options.kill_grace_seconds = 0.3;
    std::string live;
    options.on_stderr = [&](std::string_view piece) { live += piece; };
    const ks::RunResult r = sh(step.script, options);
    ASSERT_TRUE(r.ok()) << r.describe() << "\n" << r.err;
    EXPECT_EQ(r.out.size(), step.out_bytes);
    EXPECT_EQ(r.out.substr(0, step.out_start.size()), step.out_start);
    EXPECT_EQ(r.err, step.err);
    EXPECT_EQ(live, step.err);
    ASSERT_TRUE(pipes.ready());
    EXPECT_EQ(pipe_inode(pipes.out_read()) != before, step.replaced)
        << "pipes made afresh or kept wrongly";
  }
  // The program writes into the very pipe kept.
  ks::RunOptions options;
  options.pipes = &pipes;
  const ks::RunResult r = sh("readlink /proc/self/fd/1", options);
  EXPECT_EQ(r.out, "pipe:[" + std::to_string(pipe_inode(pipes.out_read())) + "]\n");
  pid_t leader = 0, grandchild = 0;
  std::istringstream(wait_for_file(pidfile)) >> leader >> grandchild;
  ASSERT_GT(grandchild, 0);
  EXPECT_TRUE(eventually([&] { return gone(grandchild, leader); }));
  if (!gone(grandchild, leader)) {
    kill(grandchild, SIGKILL);
  }
  std::remove(pidfile.c_str());
}

TEST(Spawn, StartsACommandMadeOnceAsOftenAsAsked) {
  ks::RunOptions options;
  options.args = {"-c", "echo \"$0:$1:$KS_SPAWN_TEST_COMMAND\"", "one", "two"};
  options.env["KS_SPAWN_TEST_COMMAND"] = "three";
  std::vector<ks::Command> commands;
  commands.emplace_back("/bin/sh", options);
  commands.emplace_back("/bin/sh", options);  // moves the first: its pointers must follow
  options.args.clear();
  options.env.clear();
  for (const ks::Command& command : commands) {
    for (int run = 0; run < 2; ++run) {
      const ks::RunResult r = ks::run_program(command, options);
      ASSERT_TRUE(r.ok()) << r.describe();
      EXPECT_EQ(r.out, "one:two:three\n");
    }
  }
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

// The stop pipe of the process-handling tests, written by a real signal handler.
int g_stop_pipe[2] = {-1, -1};
extern "C" void write_stop(int) {
  (void)!write(g_stop_pipe[1], "", 1);
}

TEST(Spawn, EndsTheWholeProcessGroup) {
  struct Case {
    const char* what;
    std::vector<std::string> worker_args;  // after "group PIDFILE"
    bool stop;                             // stop through the pipe (else: timeout or own exit)
    double timeout;
    bool timed_out;
    bool stopped;
    int signal;  // 0: exited with status 0
  };
  const Case cases[] = {
      {"timeout", {}, false, 3, true, false, SIGTERM},
      {"stop", {}, true, 120, false, true, SIGTERM},
      {"stop, SIGTERM ignored", {"ignore-term"}, true, 120, false, true, SIGKILL},
      {"leader exits, grandchild keeps the output open", {"exit"}, false, 120, false, false, 0},
  };
  ASSERT_EQ(pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK), 0);
  struct sigaction handler {
  }, previous{};
  handler.sa_handler = write_stop;
  sigaction(SIGUSR1, &handler, &previous);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string pidfile = scratch_file("group");
    ks::RunOptions options;
    options.args = {"group", pidfile};
    options.args.insert(options.args.end(), c.worker_args.begin(), c.worker_args.end());
    options.timeout_seconds = c.timeout;
    options.kill_grace_seconds = 0.3;
    options.stop_fd = g_stop_pipe[0];
    std::thread stopper;
    if (c.stop) {
      stopper = std::thread([&] {
        wait_for_file(pidfile);
        kill(getpid(), SIGUSR1);
      });
    }
    const ks::RunResult r = ks::run_program(kWorker, options);
    if (stopper.joinable()) {
      stopper.join();
    }
    char drained[16];
    while (read(g_stop_pipe[0], drained, sizeof drained) > 0) {
    }
    EXPECT_EQ(r.timed_out, c.timed_out) << r.describe();
    EXPECT_EQ(r.stopped, c.stopped) << r.describe();
    EXPECT_EQ(r.term_signal, c.signal) << r.describe();
    EXPECT_EQ(r.exited, c.signal == 0) << r.describe();
    EXPECT_EQ(r.ok(), c.signal == 0) << r.describe();

    pid_t leader = 0, grandchild = 0;
    std::istringstream(wait_for_file(pidfile)) >> leader >> grandchild;
    ASSERT_GT(grandchild, 0) << "the worker wrote no pids";
    EXPECT_TRUE(gone(leader, leader));  // reaped
    EXPECT_TRUE(eventually([&] { return gone(grandchild, leader); }))
        << "grandchild " << grandchild << " survived";
    if (!gone(grandchild, leader)) {
      kill(grandchild, SIGKILL);
    }
    std::remove(pidfile.c_str());
  }
  sigaction(SIGUSR1, &previous, nullptr);
  close(g_stop_pipe[0]);
  close(g_stop_pipe[1]);
}

TEST(Spawn, StartsNothingOnceStoppedUntilThePipeIsDrained) {
  int stop[2];
  ASSERT_EQ(pipe2(stop, O_CLOEXEC | O_NONBLOCK), 0);
  ks::RunOptions options;
  options.args = {"-c", "exit 0"};
  options.stop_fd = stop[0];
  ASSERT_EQ(write(stop[1], "", 1), 1);
  const ks::RunResult refused = ks::run_program("/bin/sh", options);
  EXPECT_FALSE(refused.started);
  EXPECT_TRUE(refused.stopped);
  EXPECT_NE(refused.describe().find("stopped"), std::string::npos) << refused.describe();

  char byte;
  ASSERT_EQ(read(stop[0], &byte, 1), 1);
  EXPECT_TRUE(ks::run_program("/bin/sh", options).ok());
  // A stop pipe whose write end is closed never stops anything (and is not polled in a loop).
  close(stop[1]);
  const ks::RunResult r = ks::run_program("/bin/sh", options);
  EXPECT_TRUE(r.ok()) << r.describe();
  close(stop[0]);
}

TEST(Spawn, TheProgramDiesWithTheProcessThatStartedIt) {
  const std::string pidfile = scratch_file("hold");
  const pid_t helper = fork();
  ASSERT_GE(helper, 0);
  if (helper == 0) {
    ks::RunOptions options;
    options.args = {"hold", pidfile};
    options.timeout_seconds = 300;
    ks::run_program(kWorker, options);
    _exit(0);
  }
  pid_t held = 0;
  std::istringstream(wait_for_file(pidfile)) >> held;
  ASSERT_GT(held, 0) << "the worker wrote no pid";
  EXPECT_FALSE(gone(held, held));
  kill(helper, SIGKILL);
  waitpid(helper, nullptr, 0);
  EXPECT_TRUE(eventually([&] { return gone(held, held); })) << held << " outlived its parent";
  if (!gone(held, held)) {
    kill(held, SIGKILL);
  }
  std::remove(pidfile.c_str());
}

TEST(Spawn, SaysWhenAProgramCannotBeStarted) {
  const ks::RunResult r = ks::run_program("/nonexistent/program");
  EXPECT_FALSE(r.started);
  EXPECT_NE(r.describe().find("not started"), std::string::npos);
}

}  // namespace
