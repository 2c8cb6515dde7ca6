// common-sum: one variable shared by the whole team. Every thread resets the shared suma to 0
// on entering the region, with no barrier after the reset, then adds its elements into it, so
// a late thread can wipe what others have already added and the total depends on how the
// threads interleave.
//
//   OMP_NUM_THREADS=T common-sum
//
// Per iteration "thread t suma a[i] / "; after the loop's barrier one "\n* thread t suma= s"
// per thread, the same s for all; then "\nValor de suma fuera de parallel = s". s is a sum of
// some of 0 ... 6 (0 to 21; 21 with one thread), never the 122 held before the region.
// Arguments are ignored.
//
// Every access to the shared suma inside the region is a relaxed atomic load or store: the
// program is free of data races, yet neither the resets nor the read-add-write updates are
// ordered among the threads (an update is a load and a separate store, so an addition can
// also be lost). The loop's barrier orders the final reads after every write.
#include <omp.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "common/output_check.h"

int main() {
  ks::check_output_at_exit();
  const std::int32_t n = 7;
  std::int32_t a[7];
  for (std::int32_t i = 0; i < n; i++) {
    a[i] = i;
  }
  std::int32_t suma = 122;

#pragma omp parallel default(none) shared(a, n, suma)
  {
    const std::atomic_ref<std::int32_t> shared_suma(suma);
    shared_suma.store(0, std::memory_order_relaxed);
#pragma omp for schedule(static)
    for (std::int32_t i = 0; i < n; i++) {
      const std::int32_t before = shared_suma.load(std::memory_order_relaxed);
      shared_suma.store(before + a[i], std::memory_order_relaxed);
      printf("thread %d suma a[%d] / ", omp_get_thread_num(), i);
    }
    printf("\n* thread %d suma= %d", omp_get_thread_num(),
           shared_suma.load(std::memory_order_relaxed));
  }

  printf("\nValor de suma fuera de parallel = %d",
         std::atomic_ref<std::int32_t>(suma).load(std::memory_order_relaxed));
  putchar('\n');
  return 0;
}
