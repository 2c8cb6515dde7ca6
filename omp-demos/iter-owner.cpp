// iter-owner: shows how the static schedule without a chunk size divides a loop among the
// team. Every iteration prints the number of the thread that ran it.
//
//   OMP_NUM_THREADS=T iter-owner n
//
// n is a signed 32-bit count, not capped; 0 or less (or a non-number) runs no iteration.
// Thread t runs one contiguous block: with q = n / T and r = n % T, the q + 1 iterations from
// t * (q + 1) when t < r, otherwise the q iterations from t * q + r. One thread's lines come in
// increasing order; the lines of different threads interleave freely.
#include <omp.h>

#include <cstdint>
#include <cstdio>

#include "common/count_arg.h"
#include "common/output_check.h"
#include "omp-demos/demo_usage.h"

int main(int argc, char* argv[]) {
  ks::check_output_at_exit();
  if (argc < 2) {
    demos::fail_usage("\n[ERROR] - Falta no iteraciones \n");
  }
  const std::int32_t n = ks::count_arg(argv[1]).s;

#pragma omp parallel default(none) shared(n)
  {
#pragma omp for schedule(static)
    for (std::int32_t i = 0; i < n; i++) {
      printf("thread %d ejecuta la iteración %d del bucle\n", omp_get_thread_num(), i);
    }
  }

  return 0;
}
