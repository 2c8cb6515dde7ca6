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
// the hard limit, or the machine's memory, cannot hold the vectors, the program refuses with
// one line on standard error and status 254 (the suite's allocation-failure status).
#pragma once

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
