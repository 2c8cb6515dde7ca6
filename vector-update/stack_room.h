// Room on the main stack for the update's automatic vectors.
//
// The vectors live on the stack of main, whose size the soft RLIMIT_STACK bounds (8 MiB by
// default, about one million elements per vector). Before reserving them, the program
// checks that the vectors, the stack already in use and a margin for the calls that follow
// fit the soft limit. If they do not, it raises the soft limit (never above the hard limit)
// and re-executes itself once with the same argv: the limit in force at exec time is what
// lets the kernel lay out the main stack with enough room below it. An environment marker
// holding the process id (which exec keeps) tells the re-executed image that it has already
// had its one try, so the re-execution cannot loop; the marker is removed at once. Where even
// the hard limit, the machine's memory or the address-space limit (RLIMIT_AS, less what the
// process already maps) cannot hold the vectors, the program refuses with one line on
// standard error and status 254 (the suite's allocation-failure status): a stack that cannot
// grow would otherwise end it with SIGSEGV part-way through the fill.
#pragma once

#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/heap_guard.h"

namespace yupd {

inline constexpr char kReexecMarker[] = "KS_YUPD_STACK_REEXEC";
// Stack that the clock readings, printf and the exit path may use below the vectors.
inline constexpr std::uint64_t kCallMargin = 128 * 1024;
inline constexpr std::uint64_t kMiB = 1024 * 1024;

[[noreturn]] inline void refuse_stack(std::uint64_t need, const char* what, std::uint64_t limit) {
  std::fprintf(stderr, "%s: no caben x e y en la pila: se necesitan %llu B y %s es de %llu B\n",
               program_invocation_short_name, static_cast<unsigned long long>(need), what,
               static_cast<unsigned long long>(limit));
  std::exit(-2);
}

// Bytes of address space this process maps now, the total RLIMIT_AS counts (the first field
// of /proc/self/statm, in pages); 0 if it cannot be read.
inline std::uint64_t address_space_in_use() {
  const int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return 0;
  }
  char text[128];
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) {
    return 0;
  }
  text[got] = '\0';
  const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  return std::strtoull(text, nullptr, 10) * page;
}

// Bytes of main stack in use at the caller: from the top of the stack (the kernel places the
// executable's file name, AT_EXECFN, last, just below the top) down to this frame.
inline std::uint64_t stack_in_use() {
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  const auto* execfn = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  if (execfn == nullptr) {
    return kMiB;  // cannot tell: assume a generous environment
  }
  const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(execfn) + std::strlen(execfn) + 1;
  const std::uintptr_t top = (end + sizeof(void*) + page - 1) / page * page;
  return top > here ? top - here : kMiB;
}

// Returns when `bytes` more of automatic storage fit the stack of main; otherwise re-executes
// the program with a raised soft limit (once) or ends it with a refusal.
inline void make_stack_room(std::uint64_t bytes, char* argv[]) {
  const char* marker = std::getenv(kReexecMarker);
  const bool reexecuted = marker != nullptr && std::atoll(marker) == getpid();
  unsetenv(kReexecMarker);

  const std::uint64_t memory = ks::memory_capacity();
  if (memory != 0 && bytes > memory) {
    std::fprintf(
        stderr, "%s: no caben x e y en la memoria: se necesitan %llu B y la máquina tiene %llu B\n",
        program_invocation_short_name, static_cast<unsigned long long>(bytes),
        static_cast<unsigned long long>(memory));
    std::exit(-2);
  }

  // The stack grows into the address space like any other mapping: the vectors and the calls
  // below them must fit what the limit leaves. (Its soft value is the one in force; a user
  // who set it is not overruled.)
  rlimit space{};
  if (getrlimit(RLIMIT_AS, &space) == 0 && space.rlim_cur != RLIM_INFINITY) {
    const std::uint64_t in_use = address_space_in_use();
    const std::uint64_t left = space.rlim_cur > in_use ? space.rlim_cur - in_use : 0;
    if (bytes + kCallMargin > left) {
      std::fprintf(stderr,
                   "%s: no caben x e y en la memoria: se necesitan %llu B y el límite del "
                   "espacio de direcciones deja %llu B\n",
                   program_invocation_short_name,
                   static_cast<unsigned long long>(bytes + kCallMargin),
                   static_cast<unsigned long long>(left));
      std::exit(-2);
    }
  }

  const std::uint64_t need = bytes + stack_in_use() + kCallMargin;
  rlimit limit{};
  if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      need <= limit.rlim_cur) {
    return;  // fits (or the limit is unknown: leave it to the system)
  }
  if (reexecuted) {
    refuse_stack(need, "el límite de la pila", limit.rlim_cur);
  }
  if (limit.rlim_max != RLIM_INFINITY && need > limit.rlim_max) {
    refuse_stack(need, "el límite máximo de la pila", limit.rlim_max);
  }

  rlimit raised = limit;
  raised.rlim_cur = (need + kMiB - 1) / kMiB * kMiB;
  if (limit.rlim_max != RLIM_INFINITY && raised.rlim_cur > limit.rlim_max) {
    raised.rlim_cur = limit.rlim_max;
  }
  char pid[32];
  std::snprintf(pid, sizeof pid, "%lld", static_cast<long long>(getpid()));
  if (setrlimit(RLIMIT_STACK, &raised) == 0 && setenv(kReexecMarker, pid, 1) == 0) {
    execv("/proc/self/exe", argv);
  }
  const int error = errno;
  std::fprintf(stderr, "%s: no se pudo ampliar la pila para x e y (%llu B): %s\n",
               program_invocation_short_name, static_cast<unsigned long long>(need),
               std::strerror(error));
  std::exit(-2);
}

}  // namespace yupd
