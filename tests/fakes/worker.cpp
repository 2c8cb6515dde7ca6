// A program for the spawn tests only, whose cost and process tree are known in advance.
//
//   worker touch PAGES THREADS SPIN_MS SLEEPS
//       writes one byte into each of PAGES fresh 4 KiB pages (at least PAGES minor faults),
//       then starts THREADS threads that each spin for SPIN_MS ms of their own CPU time and
//       sleep SLEEPS times for 1 ms (at least SLEEPS voluntary context switches each); the
//       main thread only waits for them.
//   worker group PIDFILE [ignore-term] [exit]
//       forks a grandchild that sleeps, writes "LEADER GRANDCHILD" into PIDFILE, and sleeps
//       too (or, with "exit", exits at once leaving the grandchild behind, still holding the
//       standard output); with "ignore-term" both ignore SIGTERM.
//   worker hold PIDFILE
//       writes its own pid into PIDFILE and sleeps.
// PIDFILE appears whole (written aside, then renamed).
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

void write_pidfile(const std::string& path, const std::string& text) {
  const std::string aside = path + ".part";
  FILE* f = std::fopen(aside.c_str(), "w");
  if (f == nullptr || std::fputs(text.c_str(), f) < 0 || std::fclose(f) != 0 ||
      std::rename(aside.c_str(), path.c_str()) != 0) {
    std::perror(path.c_str());
    std::exit(3);
  }
}

double thread_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

[[noreturn]] void sleep_forever() {
  for (;;) {
    pause();
  }
}

int touch(long pages, int threads, long spin_ms, int sleeps) {
  const std::size_t bytes = static_cast<std::size_t>(pages) * 4096;
  void* region = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (region == MAP_FAILED) {
    std::perror("mmap");
    return 2;
  }
  madvise(region, bytes, MADV_NOHUGEPAGE);  // one fault per 4 KiB page, never one per 2 MiB
  volatile char* p = static_cast<volatile char*>(region);
  for (long i = 0; i < pages; ++i) {
    p[static_cast<std::size_t>(i) * 4096] = 1;
  }
  std::vector<std::thread> team;
  for (int t = 0; t < threads; ++t) {
    team.emplace_back([spin_ms, sleeps] {
      const double until = thread_cpu_seconds() + static_cast<double>(spin_ms) / 1000;
      while (thread_cpu_seconds() < until) {
      }
      for (int s = 0; s < sleeps; ++s) {
        const timespec ms{0, 1000000};
        nanosleep(&ms, nullptr);
      }
    });
  }
  for (auto& t : team) {
    t.join();
  }
  std::printf("%ld pages, %d threads\n", pages, threads);
  return 0;
}

int group(const std::string& pidfile, bool ignore_term, bool leave) {
  if (ignore_term) {
    signal(SIGTERM, SIG_IGN);
  }
  const pid_t grandchild = fork();
  if (grandchild < 0) {
    std::perror("fork");
    return 2;
  }
  if (grandchild == 0) {
    sleep_forever();
  }
  write_pidfile(pidfile, std::to_string(getpid()) + " " + std::to_string(grandchild) + "\n");
  if (leave) {
    return 0;
  }
  sleep_forever();
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 5 && args[0] == "touch") {
    return touch(std::atol(argv[2]), std::atoi(argv[3]), std::atol(argv[4]), std::atoi(argv[5]));
  }
  if (args.size() >= 2 && args[0] == "group") {
    bool ignore_term = false, leave = false;
    for (std::size_t i = 2; i < args.size(); ++i) {
      ignore_term = ignore_term || args[i] == "ignore-term";
      leave = leave || args[i] == "exit";
    }
    return group(args[1], ignore_term, leave);
  }
  if (args.size() == 2 && args[0] == "hold") {
    write_pidfile(args[1], std::to_string(getpid()) + "\n");
    sleep_forever();
  }
  std::fprintf(stderr, "usage: worker touch|group|hold ...\n");
  return 2;
}
