#include "spawn/counters.h"

#include <linux/perf_event.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace ks {
namespace {

struct EventInfo {
  Event event;
  std::string_view name;
  std::uint32_t type;
  std::uint64_t config;
};

constexpr std::array<EventInfo, kEventCount> kEvents = {{
    {Event::kTaskClock, "task_clock_ns", PERF_TYPE_SOFTWARE, PERF_COUNT_SW_TASK_CLOCK},
    {Event::kPageFaults, "page_faults", PERF_TYPE_SOFTWARE, PERF_COUNT_SW_PAGE_FAULTS},
    {Event::kContextSwitches, "context_switches", PERF_TYPE_SOFTWARE,
     PERF_COUNT_SW_CONTEXT_SWITCHES},
    {Event::kCpuMigrations, "cpu_migrations", PERF_TYPE_SOFTWARE, PERF_COUNT_SW_CPU_MIGRATIONS},
    {Event::kCycles, "cycles", PERF_TYPE_HARDWARE, PERF_COUNT_HW_CPU_CYCLES},
    {Event::kInstructions, "instructions", PERF_TYPE_HARDWARE, PERF_COUNT_HW_INSTRUCTIONS},
    {Event::kCacheReferences, "cache_references", PERF_TYPE_HARDWARE,
     PERF_COUNT_HW_CACHE_REFERENCES},
    {Event::kCacheMisses, "cache_misses", PERF_TYPE_HARDWARE, PERF_COUNT_HW_CACHE_MISSES},
    {Event::kBranchMisses, "branch_misses", PERF_TYPE_HARDWARE, PERF_COUNT_HW_BRANCH_MISSES},
}};

constexpr std::size_t index(Event e) {
  return static_cast<std::size_t>(e);
}

static_assert([] {
  for (std::size_t i = 0; i < kEvents.size(); ++i) {
    if (index(kEvents[i].event) != i) {
      return false;
    }
  }
  return true;
}());

class KernelEvents final : public EventSource {
 public:
  int open(Event event, bool user_only) override {
    const EventInfo& info = kEvents[index(event)];
    perf_event_attr attr{};
    attr.size = sizeof attr;
    attr.type = info.type;
    attr.config = info.config;
    attr.disabled = 1;
    attr.inherit = 1;
    attr.enable_on_exec = 1;
    attr.exclude_hv = 1;
    attr.exclude_kernel = user_only ? 1 : 0;
    attr.read_format = PERF_FORMAT_TOTAL_TIME_ENABLED | PERF_FORMAT_TOTAL_TIME_RUNNING;
    const long fd = syscall(SYS_perf_event_open, &attr, 0, -1, -1, PERF_FLAG_FD_CLOEXEC);
    return fd < 0 ? -errno : static_cast<int>(fd);
  }
  bool read(int fd, EventReading& reading) override {
    std::uint64_t values[3];
    ssize_t got;
    do {
      got = ::read(fd, values, sizeof values);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof values)) {
      return false;
    }
    reading = {values[0], values[1], values[2]};
    return true;
  }
  void close(int fd) override { ::close(fd); }
};

// A counter that never counts: disabled, never inherited, never enabled at exec. False when
// the kernel refuses it.
bool open_idle(const EventInfo& info, bool user_only) {
  perf_event_attr attr{};
  attr.size = sizeof attr;
  attr.type = info.type;
  attr.config = info.config;
  attr.disabled = 1;
  attr.exclude_hv = 1;
  attr.exclude_kernel = user_only ? 1 : 0;
  return syscall(SYS_perf_event_open, &attr, 0, -1, -1, PERF_FLAG_FD_CLOEXEC) >= 0;
}

std::string paranoid_setting() {
  std::ifstream in("/proc/sys/kernel/perf_event_paranoid");
  std::string value;
  in >> value;
  return value.empty() ? "unknown" : value;
}

// Why an event could not be opened, in words for a report.
std::string refusal(int error) {
  switch (error) {
    case ENOENT:
    case EOPNOTSUPP:
    case ENODEV:
      return "not available on this machine";
    case EACCES:
    case EPERM:
      return "not permitted (perf_event_paranoid is " + paranoid_setting() +
             "; root, CAP_PERFMON or a lower setting allows them)";
    case ENOSYS:
      return "this kernel has no performance events";
    default:
      return std::strerror(error);
  }
}

}  // namespace

std::string_view event_name(Event event) {
  return kEvents[index(event)].name;
}

bool is_hardware(Event event) {
  return kEvents[index(event)].type == PERF_TYPE_HARDWARE;
}

std::optional<std::uint64_t> event_count(const EventReading& reading, bool& scaled) {
  if (reading.time_running == 0) {
    return std::nullopt;  // never got a counter
  }
  if (reading.time_running >= reading.time_enabled) {
    return reading.value;
  }
  scaled = true;
  return static_cast<std::uint64_t>(static_cast<long double>(reading.value) *
                                        static_cast<long double>(reading.time_enabled) /
                                        static_cast<long double>(reading.time_running) +
                                    0.5L);
}

EventSource& kernel_events() {
  static KernelEvents source;
  return source;
}

bool EventSupport::any() const {
  for (const bool c : countable) {
    if (c) {
      return true;
    }
  }
  return false;
}

EventSupport probe_events(EventSource& source) {
  EventSupport support;
  // Unprivileged, perf_event_paranoid 2 refuses events that see kernel mode but allows
  // user-mode counting; decide that once on the task clock.
  int fd = source.open(Event::kTaskClock, false);
  if (fd == -EACCES || fd == -EPERM) {
    const int user_fd = source.open(Event::kTaskClock, true);
    if (user_fd >= 0) {
      support.user_only = true;
      fd = user_fd;
    }
  }
  if (fd >= 0) {
    source.close(fd);
  }
  for (const EventInfo& info : kEvents) {
    std::string& note =
        info.type == PERF_TYPE_HARDWARE ? support.hardware_note : support.software_note;
    // Switches and migrations happen in the kernel: user-mode counting would report zero.
    if (support.user_only &&
        (info.event == Event::kContextSwitches || info.event == Event::kCpuMigrations)) {
      if (note.empty()) {
        note = "context switches and migrations are counted in kernel mode, which is " +
               refusal(EACCES);
      }
      continue;
    }
    const int e = source.open(info.event, support.user_only);
    if (e >= 0) {
      source.close(e);
      support.countable[index(info.event)] = true;
    } else if (note.empty()) {
      note = std::string(info.name) + ": " + refusal(-e);
    }
  }
  return support;
}

const EventSupport& event_support() {
  static const EventSupport support = [] {
    // The first open counter of a kind, and the close of the last one, switch the kernel's
    // counting paths on and off by patching its code: about 0.1 ms per event on a small VM,
    // far more when its other CPUs are busy, and several times the cost of reading a run's
    // counters. One idle counter of each kind, opened before the probe and kept open for the
    // life of the process, keeps them switched on through the probe and every run after it.
    for (const EventInfo& info : kEvents) {
      if (!open_idle(info, false)) {
        open_idle(info, true);
      }
    }
    return probe_events(kernel_events());
  }();
  return support;
}

EventGroup::EventGroup(EventSource& source, const EventSupport& support)
    : source_(source), user_only_(support.user_only), countable_(support.countable) {
  open_all();
}

EventGroup::~EventGroup() {
  close_all();
}

void EventGroup::open_all() {
  fds_.fill(-1);
  last_.fill({});
  for (const EventInfo& info : kEvents) {
    if (countable_[index(info.event)]) {
      fds_[index(info.event)] = source_.open(info.event, user_only_);
    }
  }
}

void EventGroup::close_all() {
  for (int& fd : fds_) {
    if (fd >= 0) {
      source_.close(fd);
      fd = -1;
    }
  }
}

void EventGroup::renew() {
  close_all();
  open_all();
}

void EventGroup::collect(Counters& counters) {
  counters.events_user_only = user_only_;
  for (std::size_t i = 0; i < kEventCount; ++i) {
    EventReading total;
    if (fds_[i] < 0 || !source_.read(fds_[i], total)) {
      continue;
    }
    // Totals only grow; a reading below the last one (a broken source) counts nothing.
    const EventReading& last = last_[i];
    const EventReading grown = {
        total.value >= last.value ? total.value - last.value : 0,
        total.time_enabled >= last.time_enabled ? total.time_enabled - last.time_enabled : 0,
        total.time_running >= last.time_running ? total.time_running - last.time_running : 0};
    last_[i] = total;
    counters.events[i] = event_count(grown, counters.events_scaled);
  }
}

}  // namespace ks
