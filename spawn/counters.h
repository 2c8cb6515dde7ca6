// What a run cost, as the kernel counted it: resource usage from wait4 for every run, and
// performance events (software always, hardware where the machine exposes them) when asked.
//
// Performance events are opened on the thread that starts the program, disabled, inherited by
// every process and thread started from it, and enabled by the kernel in the child at its
// exec: they count the program and all its threads from its first instruction to its end, and
// nothing of the starting process or of the code between fork and exec. Their totals are read
// once the program has been reaped.
//
// Who may count: root (or CAP_PERFMON) counts everything. Otherwise
// /proc/sys/kernel/perf_event_paranoid decides: up to 1, everything; 2 (the usual default),
// only what the program does in user mode: task clock and page faults are counted, context
// switches and migrations (which happen in the kernel) are not, and events_user_only says so;
// 3 and above (some distributions' kernels), nothing. event_support() says which and why.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ks {

enum class Event {
  // Software events: counted by the kernel on every machine that has performance events.
  kTaskClock,        // nanoseconds on a CPU, summed over the program's threads
  kPageFaults,       // page faults, minor and major
  kContextSwitches,  // voluntary and involuntary
  kCpuMigrations,    // moves of a thread from one CPU to another
  // Hardware events: only where the processor's counters are exposed (not in most VMs).
  kCycles,
  kInstructions,
  kCacheReferences,
  kCacheMisses,
  kBranchMisses,
};
inline constexpr std::size_t kEventCount = 9;

// A name fit for a column header: "task_clock_ns", "page_faults", ..., "branch_misses".
std::string_view event_name(Event event);
bool is_hardware(Event event);

struct Counters {
  // From wait4, for every program that was started and reaped (threads and any children it
  // waited for included).
  double user_seconds = 0;
  double system_seconds = 0;
  long minor_faults = 0;
  long major_faults = 0;
  long voluntary_switches = 0;
  long involuntary_switches = 0;
  // Peak resident memory in KiB. The kernel carries the starting process's own peak over into
  // the child's figure at exec, so the program's peak is known only when it is larger than
  // ours: max_rss_own says so. Otherwise the program used at most max_rss_kib.
  long max_rss_kib = 0;
  bool max_rss_own = false;

  // From performance events, with RunOptions::count_events: one value per Event, empty when
  // that event could not be counted (event_support() says why, once per machine).
  std::array<std::optional<std::uint64_t>, kEventCount> events{};
  // Some event shared its hardware counter with others and was counted only part of the time:
  // its value is extrapolated to the whole run.
  bool events_scaled = false;
  // Only what the program did in user mode was counted (unprivileged, perf_event_paranoid 2).
  bool events_user_only = false;

  std::optional<std::uint64_t> event(Event e) const { return events[static_cast<std::size_t>(e)]; }
};

// One counter's reading: its count, and for how long it was enabled and actually counting.
struct EventReading {
  std::uint64_t value = 0;
  std::uint64_t time_enabled = 0;
  std::uint64_t time_running = 0;
};

// The count a reading stands for: exact when the counter ran all the time it was enabled,
// extrapolated (and `scaled` set) when it ran part of it, empty when it never ran.
std::optional<std::uint64_t> event_count(const EventReading& reading, bool& scaled);

// The kernel's interface to performance events, behind a class so that tests can stand in a
// machine that has hardware counters (or one that refuses everything).
class EventSource {
 public:
  virtual ~EventSource() = default;
  // Opens a counter of `event` on the calling thread: disabled, inherited by whatever the
  // thread starts from now on, enabled in a child when it execs. `user_only` leaves kernel
  // mode out. Returns a descriptor, or -errno.
  virtual int open(Event event, bool user_only) = 0;
  // The counter's totals, the inherited copies included; false if it cannot be read.
  virtual bool read(int fd, EventReading& reading) = 0;
  virtual void close(int fd) = 0;
};

// perf_event_open(2) on this machine.
EventSource& kernel_events();

// What a source can count, found by opening every event once.
struct EventSupport {
  std::array<bool, kEventCount> countable{};
  bool user_only = false;     // events can be counted in user mode only
  std::string software_note;  // empty when every software event counts; otherwise why not
  std::string hardware_note;  // empty when every hardware event counts; otherwise why not

  bool can_count(Event e) const { return countable[static_cast<std::size_t>(e)]; }
  bool any() const;
};
EventSupport probe_events(EventSource& source);

// This machine's support (kernel_events()), probed on first use and then kept: the place to
// say "hardware counters: not available on this machine" once.
const EventSupport& event_support();

// The events of the runs started from the calling thread, one at a time: opened on it, disabled,
// before the first run, and inherited by each program (enabled in it at its exec), so that
// their totals grow by what each run counts, its threads and children included, by the time
// the run is reaped. collect() gives the growth since the last collect (or since they were
// opened). One group can serve every run of a plan: opening and closing the events for each
// run would cost more than the program's own start on a small machine.
class EventGroup {
 public:
  EventGroup(EventSource& source, const EventSupport& support);
  ~EventGroup();
  EventGroup(const EventGroup&) = delete;
  EventGroup& operator=(const EventGroup&) = delete;
  void collect(Counters& counters);
  // Closes the events and opens them again. A process of the last run that outlives its
  // program (ended with the program's group, but after the program was reaped) adds its
  // counts when it ends: they go to the closed events, never to the next run.
  void renew();

 private:
  void open_all();
  void close_all();
  EventSource& source_;
  bool user_only_;
  std::array<bool, kEventCount> countable_;
  std::array<int, kEventCount> fds_;
  std::array<EventReading, kEventCount> last_{};  // the totals at the last collect
};

}  // namespace ks
