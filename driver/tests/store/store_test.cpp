// The run store and the folder lock: what goes in comes out, a killed writer loses only what it
// had not committed, plans are compared in words, stores merge, and one driver at a time writes
// into a folder.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "driver/base/lock.h"
#include "driver/run/run_counters.h"
#include "driver/run/runner.h"
#include "driver/store/sqlite.h"
#include "driver/store/store.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace kd = ks::driver;

// A fresh folder, removed with everything in it at the end of the test.
class TempDir {
 public:
  explicit TempDir(const std::string& name = "store") {
    std::string templ = ::testing::TempDir() + "ks-" + name + "-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path_ = templ;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string sub(const std::string& name) const {
    const std::string dir = path_ + "/" + name;
    fs::create_directories(dir);
    return dir;
  }

 private:
  std::string path_;
};

kd::Config config(const char* program, std::optional<std::uint64_t> size,
                  std::optional<long long> chunk, int threads, int repeat, int warmup) {
  kd::Config c;
  c.program = kd::find_program(program);
  EXPECT_NE(c.program, nullptr) << program;
  c.size = size;
  c.chunk = chunk;
  c.threads = threads;
  c.repeat = repeat;
  c.warmup = warmup;
  return c;
}

// Four configurations with different repetitions: 3 + 3 + 1 + 2 = 9 planned runs.
kd::Plan small_plan() {
  return kd::interleaved_plan(
      {config("plus-static", 1000, {}, 0, 2, 1), config("plus-parloop", 4096, {}, 2, 2, 1),
       config("chunk-static", {}, 3, 2, 1, 0), config("greet-team", {}, {}, 4, 2, 0)});
}

const nlohmann::json kContext = {{"cpu", {{"model", "test CPU"}}}, {"host", "here"}};
const std::vector<std::string> kCommand = {"kernelscope", "sweep", "plus-static", "--out",
                                           "caf\xe9"};

// A valid run of planned run `i`.
kd::RunRecord record_for(const kd::Plan& plan, std::size_t i) {
  kd::RunRecord r;
  r.config = plan.runs[i].config;
  r.round = plan.runs[i].round;
  r.warmup = plan.runs[i].warmup;
  r.outcome = kd::Outcome::kValid;
  r.printed_seconds = 0.001 * static_cast<double>(i + 1);
  r.wall_seconds = 0.002 * static_cast<double>(i + 1);
  r.exit_status = 0;
  r.started_at = 1.7e9 + static_cast<double>(i);
  return r;
}

// What a stored run must give back, as comparable values (NaN, which equals nothing, as -1).
auto fields(const kd::RunRecord& r) {
  return std::make_tuple(r.config, r.round, r.warmup, outcome_name(r.outcome), r.why,
                         r.printed_seconds, std::isnan(r.wall_seconds) ? -1 : r.wall_seconds,
                         r.exit_status, r.signal, r.started_at, r.result.has_value());
}
auto fields(const ks::RunResult& r) {
  return std::make_tuple(r.out, r.err, r.started, r.error, r.exited, r.exit_status, r.term_signal,
                         r.timed_out);
}

void expect_same_run(const kd::RunRecord& a, const kd::RunRecord& b, const std::string& what) {
  EXPECT_EQ(fields(a), fields(b)) << what;
  if (a.result && b.result) {
    EXPECT_EQ(fields(*a.result), fields(*b.result)) << what;
  }
}

::testing::AssertionResult Mentions(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "\"" << text << "\" does not mention \"" << part << "\"";
}

template <typename F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

std::int64_t integrity_errors(const std::string& file) {
  ks::driver::sqlite::Db db(file, ks::driver::sqlite::Mode::kReadOnly);
  auto s = db.prepare("PRAGMA integrity_check");
  std::int64_t bad = 0;
  while (s.step()) {
    bad += s.text(0) == "ok" ? 0 : 1;
  }
  return bad;
}

// Runs `body` in a forked child that ends with _exit(status body returns), or 100 on an
// exception. Returns the child's pid.
template <typename F>
pid_t fork_child(F&& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    int status = 100;
    try {
      status = body();
    } catch (...) {
    }
    _exit(status);
  }
  return pid;
}

int wait_status(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// --- The plan -----------------------------------------------------------------------------

TEST(Plan, InterleavedOrderIsTheOrderTheRunnerRuns) {
  const std::vector<kd::Config> configs = {
      config("plus-static", 1000, {}, 0, 3, 2), config("plus-parloop", 4096, {}, 2, 1, 0),
      config("chunk-static", {}, 3, 2, 4, 1), config("greet-team", {}, {}, 4, 2, 0)};
  const kd::Plan plan = kd::interleaved_plan(configs);
  // Programs that cannot be started make the runner go through its order at once.
  kd::RunnerOptions options;
  options.bin_dir = "/nonexistent-kernelscope-bin";
  const std::vector<kd::RunRecord> ran = kd::run_interleaved(configs, options);
  ASSERT_EQ(plan.runs.size(), ran.size());
  std::vector<int> warmups(configs.size(), 0), measured(configs.size(), 0);
  for (std::size_t i = 0; i < ran.size(); ++i) {
    const kd::PlannedRun& p = plan.runs[i];
    EXPECT_EQ(p.config, ran[i].config) << i;
    EXPECT_EQ(p.round, ran[i].round) << i;
    EXPECT_EQ(p.warmup, ran[i].warmup) << i;
    EXPECT_EQ(p.repetition, p.warmup ? warmups[p.config]++ : measured[p.config]++) << i;
  }
  for (std::size_t c = 0; c < configs.size(); ++c) {
    EXPECT_EQ(warmups[c], configs[c].warmup);
    EXPECT_EQ(measured[c], configs[c].repeat);
  }
}

kd::Plan plan_of(kd::SweepRequest request) {
  std::vector<std::string> notices;
  return kd::interleaved_plan(kd::plan_sweep(request, notices));
}

TEST(Plan, DifferenceInOneLine) {
  kd::SweepRequest base;
  base.programs = {"plus-static", "mprod-team"};
  base.sizes = "1K,2K";
  base.threads = "1,2";
  base.schedules = "static;dynamic,4";
  base.repeat = 3;
  base.warmup = 1;
  const kd::Plan stored = plan_of(base);
  struct Case {
    const char* what;
    void (*change)(kd::SweepRequest&);
    const char* expected;  // empty: the same plan
  };
  const Case cases[] = {
      {"same", [](kd::SweepRequest&) {}, ""},
      {"repeat", [](kd::SweepRequest& r) { r.repeat = 5; },
       "plus-static --repeat: the store has 3, this command asks for 5"},
      {"warmup", [](kd::SweepRequest& r) { r.warmup = 0; },
       "plus-static --warmup: the store has 1, this command asks for 0"},
      {"sizes", [](kd::SweepRequest& r) { r.sizes = "1K,4K"; },
       "plus-static --sizes: the store has 1K,2K, this command asks for 1K,4K"},
      {"size order", [](kd::SweepRequest& r) { r.sizes = "2K,1K"; },
       "plus-static --sizes: the store has 1K,2K, this command asks for 2K,1K"},
      {"threads", [](kd::SweepRequest& r) { r.threads = "1,4"; },
       "mprod-team --threads: the store has 1,2, this command asks for 1,4"},
      {"schedules", [](kd::SweepRequest& r) { r.schedules = "static"; },
       "mprod-team --schedules: the store has static;dynamic,4, this command asks for static"},
      {"binding", [](kd::SweepRequest& r) { r.placement.bind = "close"; },
       "mprod-team --bind: the store has default, this command asks for close"},
      {"places", [](kd::SweepRequest& r) { r.placement.places = "cores"; },
       "mprod-team --places: the store has default, this command asks for cores"},
      {"fewer programs", [](kd::SweepRequest& r) { r.programs = {"plus-static"}; },
       "programs: the store has plus-static mprod-team, this command asks for plus-static"},
      {"program order",
       [](kd::SweepRequest& r) {
         r.programs = {"mprod-team", "plus-static"};
       },
       "programs: the store has plus-static mprod-team, this command asks for mprod-team "
       "plus-static"},
  };
  for (const Case& c : cases) {
    kd::SweepRequest request = base;
    c.change(request);
    const auto difference = kd::plan_difference(stored, plan_of(request));
    EXPECT_EQ(difference.value_or(""), c.expected) << c.what;
  }
  kd::SweepRequest chunks;
  chunks.programs = {"chunk-static"};
  chunks.chunks = "1,2";
  kd::SweepRequest other_chunks = chunks;
  other_chunks.chunks = "1,3";
  EXPECT_EQ(kd::plan_difference(plan_of(chunks), plan_of(other_chunks)).value_or(""),
            "chunk-static --chunks: the store has 1,2, this command asks for 1,3");
}

TEST(Plan, DifferenceBeyondTheOptions) {
  // The same values in other combinations.
  const kd::Plan crossed = kd::interleaved_plan({config("plus-parloop", 1024, {}, 1, 2, 0),
                                                 config("plus-parloop", 1024, {}, 2, 2, 0),
                                                 config("plus-parloop", 2048, {}, 2, 2, 0)});
  const kd::Plan other = kd::interleaved_plan({config("plus-parloop", 1024, {}, 1, 2, 0),
                                               config("plus-parloop", 2048, {}, 1, 2, 0),
                                               config("plus-parloop", 2048, {}, 2, 2, 0)});
  EXPECT_EQ(kd::plan_difference(crossed, other).value_or(""),
            "configuration 2: the store has plus-parloop N=1K T=2, this command asks for "
            "plus-parloop N=2K T=1");
  // The same configurations in another run order (a store from a version that ordered runs
  // differently).
  kd::Plan reordered = crossed;
  std::swap(reordered.runs[0], reordered.runs[1]);
  EXPECT_EQ(kd::plan_difference(reordered, crossed).value_or(""),
            "run 1 of the plan: the store has plus-parloop N=1K T=2 repetition 1, this command "
            "asks for plus-parloop N=1K T=1 repetition 1");
}

// --- Round trip -----------------------------------------------------------------------------

ks::RunResult output(std::string out, std::string err, int status, int signal = 0) {
  ks::RunResult r;
  r.started = true;
  r.out = std::move(out);
  r.err = std::move(err);
  r.exited = signal == 0;
  r.exit_status = signal == 0 ? status : -1;
  r.term_signal = signal;
  return r;
}

TEST(Store, RoundTripOfPlanRunsAndContext) {
  TempDir tmp;
  const kd::Plan plan = small_plan();
  const kd::RunCounters full{0.25,  0.5, 65536, 49234,        0,           3,    7,   88600000,
                             49230, 10,  1,     123456789012, 98765432109, 1000, 100, 42};
  kd::RunCounters software_only;  // a machine without hardware counters
  software_only.user_seconds = 0.01;
  software_only.task_clock_ns = 1000000;
  software_only.page_faults = 12;

  struct Case {
    const char* what;
    void (*shape)(kd::RunRecord&);
    kd::RunCounters counters;
  };
  const Case cases[] = {
      {"valid, printed time", [](kd::RunRecord&) {}, full},
      {"valid, no printed time",
       [](kd::RunRecord& r) {
         r.printed_seconds.reset();
         r.result = output("¡Hola Mundo! desde la hebra 0\n", "", 0);
       },
       software_only},
      {"invalid, output not UTF-8 and with NUL",
       [](kd::RunRecord& r) {
         r.outcome = kd::Outcome::kInvalid;
         r.why = "line 2: expected \"0.6\", got \"\\xff\"";
         r.printed_seconds.reset();
         r.result = output(std::string("Tiempo\xff\xfe\0\x01 v3\n", 14), "stderr \xc3\x28", 0);
       },
       {}},
      {"failed, killed by a signal",
       [](kd::RunRecord& r) {
         r.outcome = kd::Outcome::kFailed;
         r.why = "killed by signal 11 (Segmentation fault)";
         r.printed_seconds.reset();
         r.exit_status = -1;
         r.signal = 11;
         r.result = output("half a line", "", 0, 11);
       },
       {}},
      {"failed, exit status",
       [](kd::RunRecord& r) {
         r.outcome = kd::Outcome::kFailed;
         r.why = "exit 254";
         r.exit_status = 254;
         r.printed_seconds.reset();
         r.result = output("", "Error en la reserva de espacio para los vectores\n", 254);
       },
       {}},
      {"timeout",
       [](kd::RunRecord& r) {
         r.outcome = kd::Outcome::kTimeout;
         r.why = "timed out after 2 s";
         r.printed_seconds.reset();
         r.exit_status = -1;
         r.signal = SIGKILL;
         r.result = output("", "", 0, SIGKILL);
         r.result->timed_out = true;
       },
       {}},
      {"skipped",
       [](kd::RunRecord& r) {
         r.outcome = kd::Outcome::kSkipped;
         r.why = "skipped after an earlier run of this configuration timed out";
         r.printed_seconds.reset();
         r.wall_seconds = NAN;
         r.exit_status = -1;
       },
       {}},
      {"not started",
       [](kd::RunRecord& r) {
         r.outcome = kd::Outcome::kFailed;
         r.why = "not started: No such file or directory";
         r.printed_seconds.reset();
         r.exit_status = -1;
         r.result = ks::RunResult{};
         r.result->error = r.why;
       },
       {}},
      {"valid, zero time", [](kd::RunRecord& r) { r.printed_seconds = 0.0; }, {}},
  };
  static_assert(std::size(cases) == 9, "one case per planned run of small_plan()");
  ASSERT_EQ(plan.runs.size(), std::size(cases));

  std::vector<kd::RunRecord> appended;
  {
    kd::StoreOptions options;
    options.host = "node-1";
    kd::Store store = kd::Store::create(tmp.path(), plan, kContext, kCommand, options);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
      kd::RunRecord r = record_for(plan, i);
      cases[i].shape(r);
      if (r.result) {
        r.result->wall_seconds = r.wall_seconds;
      }
      store.append_run(r, cases[i].counters);
      appended.push_back(r);
    }
  }
  kd::Store store = kd::Store::open_readonly(tmp.path() + "/results.db");
  const kd::StoreContents got = store.load();
  ASSERT_EQ(got.plan.configs.size(), plan.configs.size());
  for (std::size_t i = 0; i < plan.configs.size(); ++i) {
    EXPECT_EQ(got.plan.configs[i].label(), plan.configs[i].label());
  }
  EXPECT_FALSE(kd::plan_difference(plan, got.plan)) << *kd::plan_difference(plan, got.plan);
  ASSERT_EQ(got.runs.size(), std::size(cases));
  for (std::size_t i = 0; i < got.runs.size(); ++i) {
    EXPECT_EQ(got.runs[i].planned, i);
    EXPECT_EQ(got.runs[i].host, "node-1");
    expect_same_run(got.runs[i].record, appended[i], cases[i].what);
    EXPECT_TRUE(got.runs[i].counters == cases[i].counters) << cases[i].what;
  }
  EXPECT_EQ(got.records().size(), got.runs.size());
  EXPECT_EQ(got.command, kCommand);
  EXPECT_EQ(got.context, kContext);
  EXPECT_EQ(got.host, "node-1");
  ASSERT_EQ(got.machines.size(), 1u);
  EXPECT_FALSE(got.version.empty());
  EXPECT_GT(got.created_at, 1.6e9);
  EXPECT_TRUE(store.missing_runs().empty());
}

TEST(Store, FolderAndContextThatAreNotUtf8) {
  TempDir tmp;
  const std::string dir = tmp.sub("r\xe9sultats-\xff");
  const kd::Plan plan = small_plan();
  nlohmann::json context = kContext;
  context["build"]["bin_dir"] = "/opt/b\xe9nch";  // JSON text cannot hold it as it is
  {
    kd::FolderLock lock(dir);
    kd::Store store = kd::Store::create(dir, plan, context, kCommand);
    store.append_run(record_for(plan, 0));
  }
  kd::Store store = kd::Store::open(dir);
  store.append_run(record_for(plan, 1));
  const kd::StoreContents got = store.load();
  EXPECT_EQ(got.runs.size(), 2u);
  EXPECT_EQ(got.context["build"]["bin_dir"], "/opt/b\xef\xbf\xbdnch");
  EXPECT_EQ(got.command.back(), "caf\xe9");
  EXPECT_TRUE(fs::exists(dir + "/results.db"));
}

TEST(Store, RefusesRunsOutsideThePlanAndRunsStoredTwice) {
  TempDir tmp;
  const kd::Plan plan = small_plan();
  kd::Store store = kd::Store::create(tmp.path(), plan, kContext, kCommand);
  store.append_run(record_for(plan, 0));
  struct Case {
    const char* what;
    void (*change)(kd::RunRecord&);
    const char* message;
  };
  const Case cases[] = {
      {"unknown configuration", [](kd::RunRecord& r) { r.config = 99; },
       "run of configuration 100 in round"},
      {"round past the plan", [](kd::RunRecord& r) { r.round = 7; }, "in round 8 is not in"},
      {"negative round", [](kd::RunRecord& r) { r.round = -1; }, "in round 0 is not in"},
      {"warm-up that is measured", [](kd::RunRecord& r) { r.warmup = false; },
       "a measured run of configuration 1 in round 1 is not in the plan"},
      {"stored twice", [](kd::RunRecord&) {}, "plus-static N=1000 warm-up 1 on "},
  };
  for (const Case& c : cases) {
    kd::RunRecord r = record_for(plan, 0);
    c.change(r);
    const std::string error = error_of([&] { store.append_run(r); });
    EXPECT_TRUE(Mentions(error, c.message)) << c.what;
  }
  EXPECT_EQ(store.load().runs.size(), 1u);
}

// --- Crashes --------------------------------------------------------------------------------

TEST(Store, AWriterKilledInATransactionLeavesItsCommittedRuns) {
  TempDir tmp;
  const kd::Plan plan = small_plan();
  const std::string file = tmp.path() + "/results.db";
  kd::Store::create(tmp.path(), plan, kContext, kCommand);
  constexpr std::size_t kCommitted = 5;
  const pid_t pid = fork_child([&] {
    kd::Store store = kd::Store::open(tmp.path());
    for (std::size_t i = 0; i < kCommitted; ++i) {
      store.append_run(record_for(plan, i));
    }
    // One more run, written but never committed.
    kd::sqlite::Db db(file, kd::sqlite::Mode::kReadWrite);
    db.exec("BEGIN IMMEDIATE");
    db.exec(
        "INSERT INTO runs (seq, host, started_at, outcome, reason) VALUES (5, 'x', 0, 'valid', "
        "'')");
    raise(SIGKILL);
    return 1;
  });
  const int status = wait_status(pid);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  ASSERT_TRUE(fs::exists(file + "-wal")) << "the runs were to be in the log";
  kd::Store store = kd::Store::open(tmp.path());
  const kd::StoreContents got = store.load();
  ASSERT_EQ(got.runs.size(), kCommitted);
  for (std::size_t i = 0; i < kCommitted; ++i) {
    expect_same_run(got.runs[i].record, record_for(plan, i), std::to_string(i));
  }
  EXPECT_EQ(store.missing_runs(), (std::vector<std::size_t>{5, 6, 7, 8}));
  EXPECT_EQ(integrity_errors(file), 0);
}

TEST(Store, AWriterKilledAtAnyPointLeavesAPrefixOfThePlan) {
  TempDir tmp;
  const kd::Plan plan = kd::interleaved_plan(
      {config("plus-static", 1000, {}, 0, 5000, 1), config("greet-team", {}, {}, 2, 5000, 0)});
  const std::string file = tmp.path() + "/results.db";
  kd::Store::create(tmp.path(), plan, kContext, kCommand);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t pid = fork_child([&] {
    close(pipe_fds[0]);
    kd::Store store = kd::Store::open(tmp.path());
    for (std::size_t i = 0; i < plan.runs.size(); ++i) {
      store.append_run(record_for(plan, i));
      const std::uint32_t done = static_cast<std::uint32_t>(i + 1);
      if (write(pipe_fds[1], &done, sizeof done) != sizeof done) {
        return 2;
      }
    }
    return 0;
  });
  close(pipe_fds[1]);
  std::uint32_t done = 0;
  while (done < 50 && read(pipe_fds[0], &done, sizeof done) == sizeof done) {
  }
  kill(pid, SIGKILL);
  close(pipe_fds[0]);
  const int status = wait_status(pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the writer finished before it was killed: " << status;
  ASSERT_GE(done, 50u);

  kd::Store store = kd::Store::open(tmp.path());
  const kd::StoreContents got = store.load();
  ASSERT_GE(got.runs.size(), done);
  for (std::size_t i = 0; i < got.runs.size(); ++i) {
    ASSERT_EQ(got.runs[i].planned, i);
  }
  const std::vector<std::size_t> missing = store.missing_runs();
  ASSERT_EQ(missing.size() + got.runs.size(), plan.runs.size());
  EXPECT_EQ(missing.front(), got.runs.size());
  EXPECT_EQ(integrity_errors(file), 0);
}

// --- Opening what is there ----------------------------------------------------------------

// A map's configuration keeps its arguments as they were given, whatever they hold, and a
// store says what made it; a sweep's configuration reads back as size and chunk.
TEST(Store, ArgumentsAsGivenAndTheMakerComeBack) {
  TempDir tmp;
  const std::vector<std::vector<std::string>> cases = {
      {"10", "3"}, {"10 3"}, {"", "it's", "a\\b", "\"q\""}, {"-5", "\t"}, {"caf\xe9"}};
  int i = 0;
  for (const auto& args : cases) {
    const std::string dir = tmp.sub(std::to_string(i++));
    kd::Config c = config("chunk-dynamic", {}, {}, 2, 1, 0);
    c.args = args;
    kd::StoreOptions options;
    options.kind = "map";
    kd::Store::create(dir, kd::interleaved_plan({c}), kContext, kCommand, options);
    kd::Store store = kd::Store::open(dir);
    EXPECT_EQ(store.kind(), "map");
    EXPECT_EQ(store.load().kind, "map");
    ASSERT_TRUE(store.plan().configs.at(0).args.has_value());
    EXPECT_EQ(*store.plan().configs[0].args, args);
    EXPECT_EQ(store.plan().configs[0].spec().args, args);
  }
  const std::string dir = tmp.sub("sweep");
  kd::Store::create(dir, small_plan(), kContext, kCommand);
  const kd::Store store = kd::Store::open(dir);
  EXPECT_EQ(store.kind(), "sweep");
  for (const kd::Config& c : store.plan().configs) {
    EXPECT_FALSE(c.args.has_value()) << c.label();
  }
}

TEST(Store, CountersAsTheKernelGaveThem) {
  ks::Counters c;
  c.user_seconds = 0.5;
  c.minor_faults = 300;
  c.max_rss_kib = 4000;
  c.max_rss_own = false;  // the starting process's own peak, carried over: not the program's
  c.events[static_cast<std::size_t>(ks::Event::kTaskClock)] = 1234;
  c.events[static_cast<std::size_t>(ks::Event::kCycles)] = UINT64_MAX;
  kd::RunCounters r = kd::counters_from(c);
  EXPECT_EQ(r.user_seconds, 0.5);
  EXPECT_EQ(r.minor_faults, 300);
  EXPECT_FALSE(r.peak_rss_kib.has_value());
  EXPECT_EQ(r.task_clock_ns, 1234);
  EXPECT_EQ(r.cycles, INT64_MAX);  // a column holds signed 64 bits
  EXPECT_FALSE(r.instructions.has_value());
  c.max_rss_own = true;
  EXPECT_EQ(kd::counters_from(c).peak_rss_kib, 4000);
}

TEST(Store, MissingRunsInPlanOrderPerHost) {
  TempDir tmp;
  const kd::Plan plan = small_plan();
  {
    kd::StoreOptions a;
    a.host = "node-a";
    kd::Store store = kd::Store::create(tmp.path(), plan, kContext, kCommand, a);
    for (std::size_t i : {0, 1, 2, 4, 8}) {
      store.append_run(record_for(plan, i));
    }
  }
  kd::StoreOptions b;
  b.host = "node-b";
  kd::Store store = kd::Store::open(tmp.path(), b);
  store.append_run(record_for(plan, 3));
  store.append_run(record_for(plan, 0));
  EXPECT_EQ(store.missing_runs(), (std::vector<std::size_t>{5, 6, 7}));
  EXPECT_EQ(store.missing_runs("node-a"), (std::vector<std::size_t>{3, 5, 6, 7}));
  EXPECT_EQ(store.missing_runs("node-b"), (std::vector<std::size_t>{1, 2, 4, 5, 6, 7, 8}));
  // Loaded in plan order, then by host.
  std::vector<std::pair<std::size_t, std::string>> order;
  for (const kd::StoredRun& r : store.load().runs) {
    order.emplace_back(r.planned, r.host);
  }
  EXPECT_EQ(order, (std::vector<std::pair<std::size_t, std::string>>{{0, "node-a"},
                                                                     {0, "node-b"},
                                                                     {1, "node-a"},
                                                                     {2, "node-a"},
                                                                     {3, "node-b"},
                                                                     {4, "node-a"},
                                                                     {8, "node-a"}}));
}

TEST(Store, RefusesNewerFormatsAndOtherFiles) {
  struct Case {
    const char* what;
    void (*make)(const std::string& file);
    const char* message;
  };
  const Case cases[] = {
      {"newer format",
       [](const std::string& file) {
         kd::sqlite::Db(file, kd::sqlite::Mode::kReadWrite).exec("PRAGMA user_version = 99");
       },
       "in store format 99; this kernelscope ("},
      {"newer format, other layout",
       [](const std::string& file) {
         kd::sqlite::Db db(file, kd::sqlite::Mode::kReadWrite);
         db.exec("DROP VIEW run_details; DROP TABLE store; PRAGMA user_version = 4");
       },
       "was written by a newer kernelscope in store format 4"},
      {"another application's database",
       [](const std::string& file) {
         kd::sqlite::Db(file, kd::sqlite::Mode::kReadWrite).exec("PRAGMA application_id = 7");
       },
       "is not a kernelscope store"},
      {"interrupted making",
       [](const std::string& file) {
         fs::remove(file);
         kd::sqlite::Db(file, kd::sqlite::Mode::kCreate).exec("PRAGMA journal_mode = WAL");
       },
       "is an empty store (the command that made it was interrupted)"},
      {"another application's tables",
       [](const std::string& file) {
         fs::remove(file);
         kd::sqlite::Db(file, kd::sqlite::Mode::kCreate).exec("CREATE TABLE runs (x)");
       },
       "is not a kernelscope store"},
      {"not a database",
       [](const std::string& file) {
         fs::remove(file);
         std::ofstream(file) << "runs.csv is elsewhere\n";
       },
       "file is not a database"},
  };
  for (const Case& c : cases) {
    TempDir tmp;
    const std::string file = tmp.path() + "/results.db";
    kd::Store::create(tmp.path(), small_plan(), kContext, kCommand);
    c.make(file);
    EXPECT_TRUE(Mentions(error_of([&] { kd::Store::open(tmp.path()); }), c.message)) << c.what;
    EXPECT_TRUE(Mentions(error_of([&] { kd::Store::open_readonly(file); }), c.message)) << c.what;
  }
  // The refusal names the version that wrote the store and the format this one reads.
  TempDir tmp;
  kd::Store::create(tmp.path(), small_plan(), kContext, kCommand);
  kd::sqlite::Db(tmp.path() + "/results.db", kd::sqlite::Mode::kReadWrite)
      .exec("UPDATE store SET kernelscope_version = '9.1.2'; PRAGMA user_version = 99");
  EXPECT_TRUE(Mentions(error_of([&] { kd::Store::open(tmp.path()); }),
                       "was written by kernelscope 9.1.2 in store format 99"));
  EXPECT_TRUE(
      Mentions(error_of([&] { kd::Store::open(tmp.path()); }), ") reads format 3 and older"));
  TempDir empty;
  EXPECT_TRUE(Mentions(error_of([&] { kd::Store::open(empty.path()); }), "no store at"));
}

// A store of format 1, as kernelscope wrote it before configurations had a placement.
void make_format_one(const std::string& file) {
  kd::sqlite::Db db(file, kd::sqlite::Mode::kReadWrite);
  db.exec(
      "DROP TABLE files; DROP VIEW run_details; ALTER TABLE configs DROP COLUMN proc_bind; "
      "ALTER TABLE configs DROP COLUMN places; "
      "CREATE VIEW run_details AS SELECT r.id, r.seq, c.id AS config, c.label, c.program, "
      "c.size, c.chunk, c.threads, c.schedule, p.round, p.repetition, p.warmup, r.host, "
      "r.started_at, r.outcome, r.reason, r.printed_seconds, r.wall_seconds, r.exit_status, "
      "r.signal FROM runs r JOIN plan p ON p.seq = r.seq JOIN configs c ON c.id = p.config; "
      "PRAGMA user_version = 1");
}

TEST(Store, PlacementRoundTripsAndAFormatOneStoreIsReadAndUpgraded) {
  TempDir tmp;
  std::vector<kd::Config> configs = {config("plus-static", 1000, {}, 0, 1, 0),
                                     config("plus-parloop", 1000, {}, 2, 1, 0)};
  configs[1].bind = "close";
  configs[1].places = "{0,1},{2,3}";
  const kd::Plan plan = kd::interleaved_plan(configs);
  {
    kd::Store store = kd::Store::create(tmp.path(), plan, kContext, kCommand);
    store.append_run(record_for(plan, 0));
    const kd::StoreContents contents = store.load();
    EXPECT_EQ(contents.plan.configs[1].bind, "close");
    EXPECT_EQ(contents.plan.configs[1].places, "{0,1},{2,3}");
    EXPECT_EQ(contents.plan.configs[0].bind, "");
  }
  const std::string file = tmp.path() + "/results.db";
  make_format_one(file);
  // Read as it is: no placement, and left at format 1.
  {
    kd::Store store = kd::Store::open_readonly(file);
    const kd::StoreContents contents = store.load();
    EXPECT_EQ(contents.plan.configs[1].bind, "");
    EXPECT_EQ(contents.runs.size(), 1u);
  }
  EXPECT_EQ(kd::sqlite::Db(file, kd::sqlite::Mode::kReadOnly).query_int("PRAGMA user_version"), 1);
  // Opened to add runs: upgraded, its runs kept, the view showing the new columns.
  {
    kd::Store store = kd::Store::open(tmp.path());
    const kd::Plan& upgraded = store.plan();
    store.append_run(record_for(upgraded, 1));
    EXPECT_EQ(store.load().runs.size(), 2u);
  }
  kd::sqlite::Db db(file, kd::sqlite::Mode::kReadOnly);
  EXPECT_EQ(db.query_int("PRAGMA user_version"), kd::kStoreFormat);
  EXPECT_EQ(db.query_int("SELECT count(*) FROM run_details WHERE proc_bind = '' AND places = ''"),
            2);
}

// A read-only view of a folder (a bind mount), removed at the end however the test ends.
class ReadOnlyView {
 public:
  ReadOnlyView(const std::string& dir, const std::string& view) : view_(view) {
    if (mount(dir.c_str(), view.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      error_ = std::strerror(errno);
      return;
    }
    mounted_ = true;
    if (mount(nullptr, view.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      error_ = std::strerror(errno);
    }
  }
  ~ReadOnlyView() {
    if (mounted_) {
      umount2(view_.c_str(), MNT_DETACH);
    }
  }
  const std::string& error() const { return error_; }  // empty when the view is there

 private:
  std::string view_;
  bool mounted_ = false;
  std::string error_;
};

TEST(Store, ReadsAStoreInAFolderItCannotWrite) {
  TempDir tmp;
  const std::string dir = tmp.sub("results");
  const kd::Plan plan = small_plan();
  {
    kd::Store store = kd::Store::create(dir, plan, kContext, kCommand);
    store.append_run(record_for(plan, 0));
  }
  const std::string view_dir = tmp.sub("view ?%\xe9");  // a name a URI must escape
  const ReadOnlyView view(dir, view_dir);
  if (!view.error().empty()) {
    GTEST_SKIP() << "a read-only bind mount needs root: " << view.error();
  }
  kd::Store store = kd::Store::open_readonly(view_dir + "/results.db");
  EXPECT_EQ(store.load().runs.size(), 1u);
  EXPECT_EQ(store.missing_runs().size(), plan.runs.size() - 1);
  EXPECT_TRUE(Mentions(error_of([&] { kd::Store::open(view_dir); }),
                       "results.db cannot be written: Read-only file system"));
}

TEST(Store, CreateRefusesAStoreAndStartsAfreshWhereOneWasRemoved) {
  TempDir tmp;
  const kd::Plan plan = small_plan();
  const std::string file = tmp.path() + "/results.db";
  kd::Store::create(tmp.path(), plan, kContext, kCommand);
  EXPECT_TRUE(Mentions(error_of([&] { kd::Store::create(tmp.path(), plan, kContext, kCommand); }),
                       "already holds a store"));
  // A plan that cannot be stored leaves no file behind.
  TempDir other;
  kd::Plan huge = small_plan();
  huge.configs[0].size = std::uint64_t{1} << 63;
  EXPECT_TRUE(Mentions(error_of([&] { kd::Store::create(other.path(), huge, kContext, kCommand); }),
                       "size 9223372036854775808 is too large to store"));
  EXPECT_FALSE(kd::Store::exists(other.path()));
  // A writer killed with runs in its log; then the database alone is removed by hand.
  const pid_t pid = fork_child([&] {
    kd::Store store = kd::Store::open(tmp.path());
    for (std::size_t i = 0; i < 4; ++i) {
      store.append_run(record_for(plan, i));
    }
    raise(SIGKILL);
    return 1;
  });
  wait_status(pid);
  ASSERT_TRUE(fs::exists(file + "-wal"));
  fs::remove(file);
  kd::Store::create(tmp.path(), plan, kContext, kCommand);
  kd::Store store = kd::Store::open(tmp.path());
  EXPECT_EQ(store.load().runs.size(), 0u);
  EXPECT_EQ(store.missing_runs().size(), plan.runs.size());
}

TEST(Store, MergeBringsInRunsNotAlreadyThere) {
  TempDir tmp;
  const kd::Plan plan = small_plan();
  auto make = [&](const std::string& name, const std::string& host,
                  std::initializer_list<std::size_t> runs) {
    kd::StoreOptions options;
    options.host = host;
    options.sync_each_run = name == "a";
    nlohmann::json context = kContext;
    context["host"] = host;
    const std::string dir = tmp.sub(name);
    kd::Store store = kd::Store::create(dir, plan, context, kCommand, options);
    for (std::size_t i : runs) {
      store.append_run(record_for(plan, i));
    }
    return dir;
  };
  const std::string a = make("a", "node-a", {0, 1, 2, 3});
  const std::string b = make("b", "node-b", {2, 3, 4, 5, 6, 7, 8});
  const std::string c = make("c", "node-a", {3, 4});  // another task of node-a: 3 is there
  kd::Store store = kd::Store::open(a);
  EXPECT_EQ(store.merge_from(b + "/results.db"), 7u);
  EXPECT_EQ(store.merge_from(c + "/results.db"), 1u);
  EXPECT_EQ(store.merge_from(b + "/results.db"), 0u);
  EXPECT_TRUE(store.missing_runs().empty());
  EXPECT_EQ(store.missing_runs("node-a"), (std::vector<std::size_t>{5, 6, 7, 8}));
  const kd::StoreContents got = store.load();
  EXPECT_EQ(got.runs.size(), 12u);
  for (const kd::StoredRun& r : got.runs) {
    expect_same_run(r.record, record_for(plan, r.planned), r.host);
  }
  ASSERT_EQ(got.machines.size(), 2u);
  EXPECT_EQ(got.machines[1].first, "node-b");
  EXPECT_EQ(got.machines[1].second["host"], "node-b");
  EXPECT_EQ(got.context["host"], "node-a");

  const std::string other = tmp.sub("other");
  kd::Plan different = small_plan();
  different.configs[0].repeat = 3;
  kd::Store::create(other, kd::interleaved_plan(different.configs), kContext, kCommand);
  EXPECT_TRUE(Mentions(error_of([&] { store.merge_from(other + "/results.db"); }),
                       "another plan (plus-static --repeat: the store has 2, the other has 3)"));
  EXPECT_EQ(store.load().runs.size(), 12u);
}

// --- Reading without writing, and what is not a store ---------------------------------------

// The folder's entries with their sizes: what "nothing written beside the store" is held to.
std::map<std::string, std::uintmax_t> listing(const std::string& dir) {
  std::map<std::string, std::uintmax_t> names;
  for (const auto& e : fs::directory_iterator(dir)) {
    std::error_code ec;
    const auto size = e.is_regular_file(ec) ? e.file_size(ec) : 0;
    names[e.path().filename().string()] = size;
  }
  return names;
}

TEST(Store, ReadUntouchedWritesNothingAndMissesNoCommittedRun) {
  const kd::Plan plan = small_plan();
  auto append = [&](const std::string& dir, std::size_t runs) {
    kd::Store store = kd::Store::open(dir);
    for (std::size_t i = 0; i < runs; ++i) {
      store.append_run(record_for(plan, i));
    }
  };
  // A finished store: its file alone.
  {
    TempDir tmp;
    kd::Store::create(tmp.path(), plan, kContext, kCommand);
    append(tmp.path(), 2);
    const auto before = listing(tmp.path());
    EXPECT_EQ(kd::Store::load_untouched(tmp.path() + "/results.db").runs.size(), 2u);
    EXPECT_EQ(listing(tmp.path()), before);
  }
  // A driver killed with runs committed in the log only: they count, and the log stays as it is.
  {
    TempDir tmp;
    kd::Store::create(tmp.path(), plan, kContext, kCommand);
    const pid_t pid = fork_child([&] {
      kd::FolderLock lock(tmp.path());
      kd::Store store = kd::Store::open(tmp.path());
      for (std::size_t i = 0; i < 5; ++i) {
        store.append_run(record_for(plan, i));
      }
      raise(SIGKILL);
      return 1;
    });
    wait_status(pid);
    ASSERT_TRUE(fs::file_size(tmp.path() + "/results.db-wal") > 0);
    const auto before = listing(tmp.path());
    EXPECT_EQ(kd::Store::load_untouched(tmp.path() + "/results.db").runs.size(), 5u);
    EXPECT_EQ(listing(tmp.path()), before);
  }
  // A driver adding runs now, holding the lock: its committed runs are read through its log.
  {
    TempDir tmp;
    kd::Store::create(tmp.path(), plan, kContext, kCommand);
    int ready[2], hold[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(hold), 0);
    const pid_t pid = fork_child([&] {
      kd::FolderLock lock(tmp.path());
      kd::Store store = kd::Store::open(tmp.path());
      for (std::size_t i = 0; i < 3; ++i) {
        store.append_run(record_for(plan, i));
      }
      char c = 1;
      if (write(ready[1], &c, 1) != 1) {
        return 2;
      }
      return read(hold[0], &c, 1) >= 0 ? 0 : 3;
    });
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    std::set<std::string> names;
    for (const auto& [name, size] : listing(tmp.path())) {
      names.insert(name);
    }
    EXPECT_EQ(names.count("results.db-wal"), 1u);
    EXPECT_EQ(kd::Store::load_untouched(tmp.path() + "/results.db").runs.size(), 3u);
    std::set<std::string> after;
    for (const auto& [name, size] : listing(tmp.path())) {
      after.insert(name);
    }
    EXPECT_EQ(after, names);
    kill(pid, SIGKILL);
    wait_status(pid);
    for (int fd : {ready[0], ready[1], hold[0], hold[1]}) {
      close(fd);
    }
  }
}

TEST(Store, AnythingButARegularFileIsRefusedBeforeItIsOpened) {
  struct Case {
    const char* what;
    const char* file;  // in the folder, put in the place of the store or its log
    bool fifo;         // else a link
    const char* says;
  };
  const Case cases[] = {
      {"store as a FIFO", "results.db", true, "results.db is a FIFO, not a regular file"},
      {"log as a FIFO", "results.db-wal", true, "results.db-wal is a FIFO, not a regular file"},
      {"index as a FIFO", "results.db-shm", true, "results.db-shm is a FIFO, not a regular file"},
      {"store as a link", "results.db", false, "is a symbolic link, not a regular file"},
  };
  for (const Case& c : cases) {
    TempDir tmp;
    kd::Store::create(tmp.path(), small_plan(), kContext, kCommand);
    const std::string path = tmp.path() + "/" + c.file;
    if (c.file == std::string("results.db")) {
      fs::rename(path, tmp.path() + "/real.db");
    }
    if (c.fifo) {
      ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    } else {
      fs::create_symlink(tmp.path() + "/real.db", path);
    }
    const std::string file = tmp.path() + "/results.db";
    EXPECT_TRUE(Mentions(error_of([&] { kd::Store::open(tmp.path()); }), c.says)) << c.what;
    EXPECT_TRUE(Mentions(error_of([&] { kd::Store::open_readonly(file); }), c.says)) << c.what;
    EXPECT_TRUE(Mentions(error_of([&] { kd::Store::load_untouched(file); }), c.says)) << c.what;
  }
}

// --- The folder lock ------------------------------------------------------------------------

TEST(FolderLock, ASecondHolderIsRefusedUntilTheFirstDies) {
  TempDir tmp;
  const std::string busy = tmp.sub("busy");
  const std::string idle = tmp.sub("idle");
  int ready[2], hold[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(hold), 0);
  const pid_t pid = fork_child([&] {
    kd::FolderLock lock(busy);
    char c = 1;
    if (write(ready[1], &c, 1) != 1) {
      return 2;
    }
    return read(hold[0], &c, 1) >= 0 ? 0 : 3;  // holds until killed
  });
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  const std::string refusal = error_of([&] { kd::FolderLock second(busy); });
  EXPECT_EQ(refusal, busy + " is in use by another kernelscope (pid " + std::to_string(pid) + ")");
  EXPECT_NO_THROW(kd::FolderLock other(idle));  // another folder is another lock

  kill(pid, SIGKILL);
  wait_status(pid);
  EXPECT_NO_THROW(kd::FolderLock after(busy));  // the kernel released it
  for (int fd : {ready[0], ready[1], hold[0], hold[1]}) {
    close(fd);
  }
}

TEST(FolderLock, HeldPerFolderWithinAProcessAndNotByItsPrograms) {
  TempDir tmp;
  const std::string dir = tmp.sub("out");
  {
    kd::FolderLock first(dir);
    EXPECT_TRUE(Mentions(error_of([&] { kd::FolderLock again(dir); }), "is in use"));
  }
  EXPECT_NO_THROW(kd::FolderLock released(dir));

  // A program started while the lock is held must not keep it after the driver is gone.
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t holder = fork_child([&] {
    kd::FolderLock lock(dir);
    pid_t program = 0;
    char arg0[] = "sleep", arg1[] = "30";
    char* argv[] = {arg0, arg1, nullptr};
    if (posix_spawnp(&program, "sleep", nullptr, nullptr, argv, environ) != 0) {
      return 2;
    }
    return write(report[1], &program, sizeof program) == sizeof program ? 0 : 3;
  });
  pid_t program = 0;
  ASSERT_EQ(read(report[0], &program, sizeof program), static_cast<ssize_t>(sizeof program));
  EXPECT_EQ(WEXITSTATUS(wait_status(holder)), 0);
  // The kernel lets the holder go on once the program's exec has replaced its memory, a moment
  // before it closes the program's close-on-exec descriptors: wait for that moment (a program
  // that inherited the lock for good keeps it, and the lock below fails).
  const std::string lock_file = fs::canonical(dir).string() + "/" + std::string(kd::kLockFile);
  for (int tries = 0; tries < 1000; ++tries) {
    bool open_there = false;
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(program) + "/fd", ec)) {
      open_there = open_there || fs::read_symlink(fd.path(), ec) == lock_file;
    }
    if (!open_there) {
      break;
    }
    usleep(10000);
  }
  EXPECT_NO_THROW(kd::FolderLock next(dir));
  kill(program, SIGKILL);  // the orphan reparents to init, which reaps it
  close(report[0]);
  close(report[1]);
}

}  // namespace
