// A test program built like the suite's OpenMP programs (same runtime, same environment
// check): prints the size of the team its parallel region actually ran with, then the
// run-time schedule the runtime holds, as "team=T kind=K monotonic=M chunk=C\n": K the kind
// without its monotonic flag, M that flag (0 or 1), C the chunk.
#include <omp.h>

#include <cstdio>

int main() {
  int team = 0;
#pragma omp parallel
  {
#pragma omp single
    team = omp_get_num_threads();
  }
  omp_sched_t kind;
  int chunk = 0;
  omp_get_schedule(&kind, &chunk);
  const auto base = static_cast<int>(kind & ~omp_sched_monotonic);
  const int monotonic = (kind & omp_sched_monotonic) != 0 ? 1 : 0;
  std::printf("team=%d kind=%d monotonic=%d chunk=%d\n", team, base, monotonic, chunk);
  return 0;
}
