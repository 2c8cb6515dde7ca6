// What each run cost: spawn's counters taken into the run record, summarised per
// configuration, and the one line about what the machine cannot count; through the runner on
// a fake program whose faults and threads are known, on this machine and on machines of our
// choosing (hardware counters there or not) through a fake event source.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>

#include "driver/run/run_counters.h"
#include "driver/run/runner.h"
#include "driver/tests/support/configs.h"

namespace {

using ks::Event;
using ks::driver::test::config;
using ks::driver::test::record;

constexpr Event kHardware[] = {Event::kCycles, Event::kInstructions, Event::kCacheReferences,
                               Event::kCacheMisses, Event::kBranchMisses};

// Each event refused with an errno or counted: `count` more for every run, read as the growing
// totals of inherited counters (real descriptors, of /dev/null).
class FakeEvents final : public ks::EventSource {
 public:
  std::map<Event, int> refuse;  // event -> errno
  bool refuse_kernel_mode = false;
  std::uint64_t count = 7;

  int open(Event event, bool user_only) override {
    if (refuse_kernel_mode && !user_only) {
      return -EACCES;
    }
    if (const auto it = refuse.find(event); it != refuse.end()) {
      return -it->second;
    }
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    fds_[fd] = event;
    return fd;
  }
  bool read(int fd, ks::EventReading& reading) override {
    const auto it = fds_.find(fd);
    if (it == fds_.end()) {
      return false;
    }
    ++reads_[fd];
    reading = {count * reads_[fd], 100 * reads_[fd], 100 * reads_[fd]};
    return true;
  }
  void close(int fd) override {
    fds_.erase(fd);
    reads_.erase(fd);
    ::close(fd);
  }

 private:
  std::map<int, Event> fds_;
  std::map<int, std::uint64_t> reads_;
};

FakeEvents without_hardware() {
  FakeEvents f;
  for (const Event e : kHardware) {
    f.refuse[e] = ENOENT;
  }
  return f;
}

TEST(RunCounters, TakenFromSpawnsCounters) {
  ks::Counters c;
  c.user_seconds = 0.25;
  c.system_seconds = 0.5;
  c.minor_faults = 49234;
  c.voluntary_switches = 3;
  c.max_rss_kib = 198000;
  c.max_rss_own = true;
  c.events[static_cast<std::size_t>(Event::kPageFaults)] = 49230;
  const ks::driver::RunCounters r = ks::driver::counters_from(c);
  EXPECT_EQ(r.user_seconds, 0.25);
  EXPECT_EQ(r.system_seconds, 0.5);
  EXPECT_EQ(r.minor_faults, 49234);
  EXPECT_EQ(r.major_faults, 0);
  EXPECT_EQ(r.voluntary_switches, 3);
  EXPECT_EQ(r.peak_rss_kib, 198000);
  EXPECT_EQ(r.page_faults, 49230);
  EXPECT_FALSE(r.cycles) << "an event not counted stays absent, never zero";
  EXPECT_FALSE(r.task_clock_ns);
  // A peak that may be the driver's own, carried over at exec, is not the program's.
  c.max_rss_own = false;
  EXPECT_FALSE(ks::driver::counters_from(c).peak_rss_kib);

  // The table and the columns agree.
  const auto& table = ks::driver::counter_table();
  EXPECT_EQ(table[ks::driver::kMinorFaultsCounter].value(r), 49234.0);
  EXPECT_EQ(ks::driver::counter_text(table[0], 0.0287), "28.7 ms");
  EXPECT_EQ(ks::driver::counter_text(table[ks::driver::kMinorFaultsCounter], 49234), "49 234");
}

TEST(RunCounters, MedianPerRunOfTheValidMeasuredRuns) {
  const std::vector<ks::driver::Config> configs = {config("plus-static", 1000, 0),
                                                   config("plus-heap", 1000, 0)};
  auto with_faults = [](ks::driver::RunRecord r, std::int64_t faults) {
    r.counters.minor_faults = faults;
    r.counters.system_seconds = static_cast<double>(faults) / 1000;
    return r;
  };
  const std::vector<ks::driver::RunRecord> runs = {
      with_faults(record(0, 0.1, true), 999999),  // warm-up: left out
      with_faults(record(0, 0.1), 100),
      with_faults(record(0, 0.1), 300),
      with_faults(record(0, 0.1), 200),
      with_faults(record(0, 0.1, false, ks::driver::Outcome::kInvalid), 5),  // left out
      record(1, 0.1),                                                        // counted nothing
  };
  std::vector<ks::driver::SummaryRow> rows(2);
  rows[0].config = 0;
  rows[1].config = 1;
  ks::driver::summarize_counters(runs, rows);
  EXPECT_EQ(rows[0].counters[ks::driver::kMinorFaultsCounter], 200.0);
  EXPECT_EQ(rows[0].counters[1], 0.2);  // system seconds
  EXPECT_FALSE(rows[0].counters[0]) << "no run had user seconds";
  EXPECT_FALSE(rows[1].counters[ks::driver::kMinorFaultsCounter]);
}

TEST(RunCounters, OneLineSaysWhatTheMachineCannotCount) {
  struct Case {
    const char* machine;
    FakeEvents source;
    const char* notice;  // its beginning
  };
  FakeEvents refuse_all;
  refuse_all.refuse_kernel_mode = true;
  for (int e = 0; e < static_cast<int>(ks::kEventCount); ++e) {
    refuse_all.refuse[static_cast<Event>(e)] = EACCES;
  }
  FakeEvents no_kernel;
  for (const Event e :
       {Event::kTaskClock, Event::kPageFaults, Event::kContextSwitches, Event::kCpuMigrations}) {
    no_kernel.refuse[e] = ENOSYS;
  }
  for (const Event e : kHardware) {
    no_kernel.refuse[e] = ENOSYS;
  }
  Case cases[] = {
      {"everything counts", FakeEvents(), ""},
      {"a virtual machine", without_hardware(), "hardware counters: not available on this machine"},
      {"nothing permitted", refuse_all, "performance counters: not permitted (perf_event_paranoid"},
      {"no events at all", no_kernel,
       "performance counters: this kernel has no performance events"},
  };
  for (Case& c : cases) {
    const std::string notice = ks::driver::counters_notice(ks::probe_events(c.source));
    EXPECT_EQ(notice.rfind(c.notice, 0), 0u) << c.machine << ": " << notice;
    EXPECT_EQ(notice.empty(), std::string(c.notice).empty()) << c.machine;
  }
}

TEST(RunCounters, TheRunnerRecordsEachRunsCounters) {
  const std::string worker = KS_TEST_WORKER;
  setenv("KS_FAKE_WORKER", worker.c_str(), 1);
  struct Case {
    const char* machine;
    FakeEvents source;
    bool count_events;
    bool hardware;  // cycles counted
  };
  Case cases[] = {
      {"hardware counters exposed", FakeEvents(), true, true},
      {"a virtual machine", without_hardware(), true, false},
      {"events off", FakeEvents(), false, false},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.machine);
    ks::driver::RunnerOptions options;
    options.bin_dir = std::string(KS_DRIVER_FAKES) + "/worker";
    options.count_events = c.count_events;
    options.event_source = &c.source;
    std::vector<ks::driver::Config> configs = {config("plus-static", 10, 0)};
    configs[0].repeat = 3;
    const auto runs = ks::driver::run_interleaved(configs, options);
    ASSERT_EQ(runs.size(), 3u);
    for (const ks::driver::RunRecord& r : runs) {
      EXPECT_EQ(r.outcome, ks::driver::Outcome::kValid) << r.why;
      // The kernel's accounting: the worker's 3000 pages and its threads' sleeps and spins,
      // whatever the event source.
      ASSERT_TRUE(r.counters.minor_faults);
      EXPECT_GE(*r.counters.minor_faults, 3000);
      EXPECT_GE(r.counters.voluntary_switches.value_or(0), 3 * 4);
      EXPECT_GE(r.counters.user_seconds.value_or(0) + r.counters.system_seconds.value_or(0),
                0.99 * 3 * 0.020);
      // The events: the fake's reading where it counts, nothing where it does not.
      EXPECT_EQ(r.counters.task_clock_ns.has_value(), c.count_events);
      EXPECT_EQ(r.counters.cycles.has_value(), c.hardware);
      if (c.hardware) {
        EXPECT_EQ(*r.counters.cycles, 7);
      }
    }
  }
  unsetenv("KS_FAKE_WORKER");
}

}  // namespace
