// carry-inout: a variable that is both first-private and last-private. Every thread's copy of
// suma starts from main's value (0); the copy of the thread that runs the last iteration is
// written back to main. The loop is the static schedule without a chunk size over seven
// elements a[i] = i.
//
//   OMP_NUM_THREADS=T carry-inout
//
// Per iteration " thread t suma a[i] suma=s \n" with the thread's running sum; then main's
// "\nFuera de la construcción parallel suma=s\n", s being the sum of the iteration numbers that
// the last-iteration thread ran (21 with one thread, 15 with two, 6 with four or more).
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

  // Both clauses on one variable: every copy is taken before any thread may write suma back.
#pragma omp parallel for default(none) shared(a, n) firstprivate(suma) lastprivate(suma) \
    schedule(static)
  for (std::int32_t i = 0; i < n; i++) {
    suma = suma + a[i];
    printf(" thread %d suma a[%d] suma=%d \n", omp_get_thread_num(), i, suma);
  }

  printf("\nFuera de la construcción parallel suma=%d\n", suma);
  return 0;
}
