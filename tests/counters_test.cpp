// What a run cost: resource usage and performance events counted on the test worker, whose
// page faults, threads, CPU time and sleeps are known in advance; and the machines this one is
// not (hardware counters exposed, multiplexed, refused, unprivileged) through a fake source.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/perf_event.h>
#include <unistd.h>

#include <cerrno>
#include <map>

#include "spawn/spawn.h"

namespace {

using ks::Event;

const std::string kWorker = KS_TEST_WORKER;

constexpr Event kAllEvents[] = {
    Event::kTaskClock,       Event::kPageFaults,  Event::kContextSwitches,
    Event::kCpuMigrations,   Event::kCycles,      Event::kInstructions,
    Event::kCacheReferences, Event::kCacheMisses, Event::kBranchMisses,
};

TEST(Counters, CountTheProgramAndEveryThreadItStarts) {
  constexpr long kPages = 1000, kSpinMs = 40;
  constexpr int kThreads = 3, kSleeps = 5;
  for (const bool with_events : {true, false}) {
    SCOPED_TRACE(with_events ? "with events" : "without events");
    ks::RunOptions options;
    options.args = {"touch", std::to_string(kPages), std::to_string(kThreads),
                    std::to_string(kSpinMs), std::to_string(kSleeps)};
    options.timeout_seconds = 120;
    options.count_events = with_events;
    const ks::RunResult r = ks::run_program(kWorker, options);
    ASSERT_TRUE(r.ok()) << r.describe() << "\n" << r.err;
    const ks::Counters& c = r.counters;
    // The threads' CPU time is spent in the threads only: the totals must include them.
    const double spun = kThreads * kSpinMs / 1000.0;
    EXPECT_GE(c.minor_faults, kPages);
    EXPECT_GE(c.user_seconds + c.system_seconds, 0.99 * spun);
    EXPECT_GE(c.voluntary_switches, kThreads * kSleeps);
    EXPECT_GE(c.max_rss_kib, kPages * 4);

    const ks::EventSupport& support = ks::event_support();
    for (const Event e : kAllEvents) {
      EXPECT_EQ(c.event(e).has_value(), with_events && support.can_count(e))
          << ks::event_name(e) << ": " << support.software_note << " / " << support.hardware_note;
    }
    if (c.event(Event::kTaskClock)) {
      EXPECT_GE(static_cast<double>(*c.event(Event::kTaskClock)), 0.99 * spun * 1e9);
    }
    if (c.event(Event::kPageFaults)) {
      EXPECT_GE(*c.event(Event::kPageFaults), static_cast<std::uint64_t>(kPages));
    }
    if (c.event(Event::kContextSwitches)) {
      EXPECT_GE(*c.event(Event::kContextSwitches), static_cast<std::uint64_t>(kThreads * kSleeps));
    }
  }
}

TEST(Counters, EventsKeptOpenGiveEachRunItsOwnCounts) {
  const ks::EventSupport& support = ks::event_support();
  if (!support.can_count(Event::kPageFaults) || !support.can_count(Event::kTaskClock)) {
    GTEST_SKIP() << "no page-fault or task-clock events here: " << support.software_note;
  }
  ks::EventGroup events(ks::kernel_events(), support);
  ks::RunOptions options;
  options.timeout_seconds = 120;
  options.count_events = true;
  options.events = &events;
  // A large run between two small ones: counts that carried over from one run to the next
  // would show in the second small run.
  for (const long pages : {500L, 8000L, 500L}) {
    SCOPED_TRACE(pages);
    options.args = {"touch", std::to_string(pages), "1", std::to_string(pages / 100), "0"};
    const ks::RunResult r = ks::run_program(kWorker, options);
    ASSERT_TRUE(r.ok()) << r.describe() << "\n" << r.err;
    ASSERT_TRUE(r.counters.event(Event::kPageFaults));
    const auto faults = static_cast<double>(*r.counters.event(Event::kPageFaults));
    const auto accounted = static_cast<double>(r.counters.minor_faults + r.counters.major_faults);
    EXPECT_GE(faults, static_cast<double>(pages));
    // The kernel's accounting of the same process, which starts a little earlier (at the
    // fork rather than the exec).
    EXPECT_LE(faults, accounted + 50);
    ASSERT_TRUE(r.counters.event(Event::kTaskClock));
    const double cpu = r.counters.user_seconds + r.counters.system_seconds;
    EXPECT_LE(static_cast<double>(*r.counters.event(Event::kTaskClock)) / 1e9, 1.5 * cpu + 0.01);
  }
}

// A machine of our choosing: each event either refused with an errno or counted with a given
// reading. Descriptors are real (/dev/null) so that a leak shows as an imbalance.
class FakeEvents final : public ks::EventSource {
 public:
  std::map<Event, int> refuse;                 // event -> errno
  std::map<Event, ks::EventReading> readings;  // event -> what it counted
  bool kernel_mode_refused = false;            // unprivileged with perf_event_paranoid 2
  int opened = 0, closed = 0;
  // Totals that grow as inherited counters do: each read is one more run, worth its event's
  // reading, or the next of `growth` while it lasts.
  bool totals = false;
  std::vector<ks::EventReading> growth;

  int open(Event event, bool user_only) override {
    if (kernel_mode_refused && !user_only) {
      return -EACCES;
    }
    if (const auto it = refuse.find(event); it != refuse.end()) {
      return -it->second;
    }
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    fds_[fd] = event;
    ++opened;
    return fd;
  }
  bool read(int fd, ks::EventReading& reading) override {
    const auto it = fds_.find(fd);
    if (it == fds_.end()) {
      return false;
    }
    const auto r = readings.find(it->second);
    ks::EventReading once = r != readings.end() ? r->second : ks::EventReading{7, 100, 100};
    if (!totals) {
      reading = once;
      return true;
    }
    if (next_growth_ < growth.size()) {
      once = growth[next_growth_++];
    }
    ks::EventReading& total = totals_[fd];
    total = {total.value + once.value, total.time_enabled + once.time_enabled,
             total.time_running + once.time_running};
    reading = total;
    return true;
  }
  void close(int fd) override {
    fds_.erase(fd);
    totals_.erase(fd);
    ::close(fd);
    ++closed;
  }

 private:
  std::map<int, Event> fds_;
  std::map<int, ks::EventReading> totals_;
  std::size_t next_growth_ = 0;
};

TEST(Counters, ReportEachEventAsTheMachineAllowsIt) {
  struct Case {
    const char* machine;
    void (*set_up)(FakeEvents&);
    std::map<Event, std::uint64_t> expected;  // every event not listed is empty
    bool scaled;
    bool user_only;
    const char* software_note;  // a part of it, "" for none
    const char* hardware_note;
  };
  const std::map<Event, std::uint64_t> all_seven = {
      {Event::kTaskClock, 7},       {Event::kPageFaults, 7},  {Event::kContextSwitches, 7},
      {Event::kCpuMigrations, 7},   {Event::kCycles, 7},      {Event::kInstructions, 7},
      {Event::kCacheReferences, 7}, {Event::kCacheMisses, 7}, {Event::kBranchMisses, 7},
  };
  const Case cases[] = {
      {"hardware counters exposed", [](FakeEvents&) {}, all_seven, false, false, "", ""},
      {"hardware counters shared: scaled, or never scheduled",
       [](FakeEvents& f) {
         f.readings[Event::kCycles] = {1000, 300, 100};
         f.readings[Event::kInstructions] = {0, 300, 0};
       },
       [&] {
         auto m = all_seven;
         m[Event::kCycles] = 3000;
         m.erase(Event::kInstructions);
         return m;
       }(),
       true, false, "", ""},
      {"no hardware counters (a VM)",
       [](FakeEvents& f) {
         for (const Event e : kAllEvents) {
           if (ks::is_hardware(e)) {
             f.refuse[e] = ENOENT;
           }
         }
       },
       {{Event::kTaskClock, 7},
        {Event::kPageFaults, 7},
        {Event::kContextSwitches, 7},
        {Event::kCpuMigrations, 7}},
       false,
       false,
       "",
       "not available on this machine"},
      {"unprivileged, perf_event_paranoid 2", [](FakeEvents& f) { f.kernel_mode_refused = true; },
       [&] {
         auto m = all_seven;
         m.erase(Event::kContextSwitches);
         m.erase(Event::kCpuMigrations);
         return m;
       }(),
       false, true, "perf_event_paranoid", ""},
      {"perf_event_paranoid 3: everything refused",
       [](FakeEvents& f) {
         for (const Event e : kAllEvents) {
           f.refuse[e] = EACCES;
         }
       },
       {},
       false,
       false,
       "not permitted",
       "not permitted"},
      {"no performance events at all",
       [](FakeEvents& f) {
         for (const Event e : kAllEvents) {
           f.refuse[e] = ENOSYS;
         }
       },
       {},
       false,
       false,
       "no performance events",
       "no performance events"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.machine);
    FakeEvents fake;
    c.set_up(fake);
    const ks::EventSupport support = ks::probe_events(fake);
    EXPECT_EQ(support.user_only, c.user_only);
    EXPECT_EQ(support.any(), !c.expected.empty());
    EXPECT_EQ(support.software_note.empty(), *c.software_note == '\0') << support.software_note;
    EXPECT_NE(support.software_note.find(c.software_note), std::string::npos);
    EXPECT_EQ(support.hardware_note.empty(), *c.hardware_note == '\0') << support.hardware_note;
    EXPECT_NE(support.hardware_note.find(c.hardware_note), std::string::npos);

    ks::RunOptions options;
    options.args = {"-c", "exit 0"};
    options.count_events = true;
    options.event_source = &fake;
    const ks::RunResult r = ks::run_program("/bin/sh", options);
    ASSERT_TRUE(r.ok()) << r.describe();
    for (const Event e : kAllEvents) {
      const auto it = c.expected.find(e);
      EXPECT_EQ(r.counters.event(e),
                it == c.expected.end() ? std::nullopt : std::optional(it->second))
          << ks::event_name(e);
    }
    EXPECT_EQ(r.counters.events_scaled, c.scaled);
    EXPECT_EQ(r.counters.events_user_only, c.user_only);
    EXPECT_EQ(fake.opened, fake.closed) << "descriptors left open";
  }
}

TEST(Counters, AGroupKeptOpenGivesEachRunTheGrowthOfItsTotals) {
  // What each of three runs counted on a machine whose counters are shared (the share of time
  // each ran differs from run to run), and what the group must report for each.
  struct Case {
    const char* what;
    std::vector<ks::EventReading> runs;                  // each run's own reading of the task clock
    std::vector<std::optional<std::uint64_t>> expected;  // what each run is given
    std::vector<bool> scaled;
    bool renew_after_first;  // the group opened afresh after the first run
  };
  const Case cases[] = {
      {"counted all the time",
       {{7, 100, 100}, {12, 50, 50}, {1, 10, 10}},
       {7, 12, 1},
       {false, false, false},
       false},
      {"half of the second run counted",
       {{7, 100, 100}, {6, 50, 25}, {1, 10, 10}},
       {7, 12, 1},
       {false, true, false},
       false},
      {"the second run never counted",
       {{7, 100, 100}, {0, 50, 0}, {1, 10, 10}},
       {7, std::nullopt, 1},
       {false, false, false},
       false},
      {"opened afresh between runs",
       {{7, 100, 100}, {12, 50, 50}, {1, 10, 10}},
       {7, 12, 1},
       {false, false, false},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeEvents fake;
    fake.totals = true;
    for (const Event e : kAllEvents) {
      if (e != Event::kTaskClock) {
        fake.refuse[e] = ENOENT;
      }
    }
    const ks::EventSupport support = ks::probe_events(fake);
    fake.growth = c.runs;
    {
      ks::EventGroup group(fake, support);
      for (std::size_t run = 0; run < c.runs.size(); ++run) {
        SCOPED_TRACE(run);
        ks::Counters counters;
        group.collect(counters);
        EXPECT_EQ(counters.event(Event::kTaskClock), c.expected[run]);
        EXPECT_EQ(counters.events_scaled, c.scaled[run]);
        EXPECT_FALSE(counters.event(Event::kCycles));
        if (c.renew_after_first && run == 0) {
          group.renew();
        }
      }
    }
    EXPECT_EQ(fake.opened, fake.closed) << "descriptors left open";
    // Two by the probe, then the group's (a renewed group's counter is a new one).
    EXPECT_EQ(fake.opened, c.renew_after_first ? 4 : 3);
  }
}

}  // namespace
