// own-copy: a private variable. Every thread accumulates into its own copy of suma, which
// starts at 7 in every thread; the suma of main is never touched and still reads 0 after the
// region.
//
//   OMP_NUM_THREADS=T own-copy
//
// Per iteration "thread t suma a[i] / "; after the loop's barrier one "\n* thread t suma= s"
// per thread, s being 7 plus the iteration numbers of the thread's static block (a[i] = i);
// then main's "Valor de suma fuera de parallel = 0", which continues the last thread's line.
// Arguments are ignored.
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
  std::int32_t suma = 0;

#pragma omp parallel default(none) shared(a, n) private(suma)
  {
    suma = 7;  // a private copy starts undefined: every thread sets its own, iterations or not
#pragma omp for schedule(static)
    for (std::int32_t i = 0; i < n; i++) {
      suma = suma + a[i];
      printf("thread %d suma a[%d] / ", omp_get_thread_num(), i);
    }
    printf("\n* thread %d suma= %d", omp_get_thread_num(), suma);
  }

  printf("Valor de suma fuera de parallel = %d", suma);
  putchar('\n');
  return 0;
}
