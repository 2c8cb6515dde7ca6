// chunk-static: the static schedule with a chunk size, on a first-private and last-private
// sum. The 16 iterations are cut into chunks of `chunk` iterations, dealt out in turn: chunk k
// goes to thread k % T, and each thread runs its chunks in increasing order.
//
//   OMP_NUM_THREADS=T chunk-static chunk
//
// Per iteration " thread t suma a[i] suma=s \n" with the thread's running sum (a[i] = i); then
// "Fuera de 'parallel for' suma=s\n" with the final sum of the thread that ran iteration 15.
// The chunk is a signed 32-bit count; one below 1 (0, negative, not a number) has no
// meaning and is refused with the usage message and status 255, as is a missing one.
#include <omp.h>

#include <cstdint>
#include <cstdio>

#include "common/count_arg.h"
#include "common/output_check.h"
#include "omp-demos/demo_usage.h"

int main(int argc, char* argv[]) {
  ks::check_output_at_exit();
  if (argc < 2) {
    demos::fail_usage("\nFalta chunk \n");
  }
  std::int32_t chunk = ks::count_arg(argv[1]).s;
  if (chunk < 1) {
    demos::fail_usage("\nFalta chunk \n");
  }
  const std::int32_t n = 16;
  // A chunk of n or more is one single chunk holding every iteration, whatever its size. The
  // runtime computes chunk starts (t * chunk, then T * chunk further on) in the loop's 32-bit
  // type, which wraps for large chunks; with the chunk cut to n they stay far inside it.
  if (chunk > n) {
    chunk = n;
  }
  std::int32_t a[16];
  for (std::int32_t i = 0; i < n; i++) {
    a[i] = i;
  }
  std::int32_t suma = 0;

#pragma omp parallel for default(none) shared(a, n, chunk) firstprivate(suma) lastprivate(suma) \
    schedule(static, chunk)
  for (std::int32_t i = 0; i < n; i++) {
    suma = suma + a[i];
    printf(" thread %d suma a[%d] suma=%d \n", omp_get_thread_num(), i, suma);
  }

  printf("Fuera de 'parallel for' suma=%d\n", suma);
  return 0;
}
