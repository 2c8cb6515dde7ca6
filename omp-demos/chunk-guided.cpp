// chunk-guided: the guided schedule with a chunk size, on a first-private and last-private
// sum. The runtime hands out chunks of consecutive iterations in increasing order to whichever
// thread asks next; each chunk is about the iterations left divided by the team size, never
// below `chunk` except for the last, so chunks shrink as the loop proceeds.
//
//   OMP_NUM_THREADS=T chunk-guided n chunk
//
// Per iteration " thread t suma a[i]=v suma=s \n" with a[i] = i and the thread's running sum;
// then "Fuera de 'parallel for' suma=s\n" with the final sum of the thread that ran iteration
// n - 1 (0 when there is no iteration). n and chunk are signed 32-bit counts; n is capped at
// 20, and 0 or less runs no iteration. A chunk below 1 (0, negative, not a number) has no
// meaning and is refused with the usage message and status 255, as are missing arguments.
#include <omp.h>

#include <cstdint>
#include <cstdio>

#include "common/count_arg.h"
#include "common/output_check.h"
#include "omp-demos/demo_usage.h"

int main(int argc, char* argv[]) {
  ks::check_output_at_exit();
  if (argc < 3) {
    demos::fail_usage("\nFalta iteraciones y/o chunk \n");
  }
  std::int32_t n = ks::count_arg(argv[1]).s;
  const std::int32_t chunk = ks::count_arg(argv[2]).s;
  if (chunk < 1) {
    demos::fail_usage("\nFalta iteraciones y/o chunk \n");
  }
  if (n > 20) {
    n = 20;
  }
  std::int32_t a[20];
  for (std::int32_t i = 0; i < n; i++) {
    a[i] = i;
  }
  std::int32_t suma = 0;

  // Monotonic: each thread receives its chunks in increasing order.
  // clang-format off
#pragma omp parallel for default(none) shared(a, n, chunk) firstprivate(suma) lastprivate(suma) \
    schedule(monotonic: guided, chunk)
  // clang-format on
  for (std::int32_t i = 0; i < n; i++) {
    suma = suma + a[i];
    printf(" thread %d suma a[%d]=%d suma=%d \n", omp_get_thread_num(), i, a[i], suma);
  }

  printf("Fuera de 'parallel for' suma=%d\n", suma);
  return 0;
}
