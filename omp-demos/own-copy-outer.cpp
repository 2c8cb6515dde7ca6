// own-copy-outer: a private variable whose outer value survives. As own-copy, with the suma of
// main holding 122 before and after the region: the private copies start at 7, not at 122,
// and none of them is written back.
//
//   OMP_NUM_THREADS=T own-copy-outer
//
// Per iteration "thread t suma a[i] / "; after the loop's barrier one "\n* thread t suma= s"
// per thread (7 plus the iteration numbers of its static block); then main's line
// "\nValor de suma fuera de parallel = 122". Arguments are ignored.
#include <omp.h>

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

#pragma omp parallel default(none) shared(a, n) private(suma)
  {
    suma = 7;  // not 122: a private copy does not take the outer value
#pragma omp for schedule(static)
    for (std::int32_t i = 0; i < n; i++) {
      suma = suma + a[i];
      printf("thread %d suma a[%d] / ", omp_get_thread_num(), i);
    }
    printf("\n* thread %d suma= %d", omp_get_thread_num(), suma);
  }

  printf("\nValor de suma fuera de parallel = %d", suma);
  putchar('\n');
  return 0;
}
