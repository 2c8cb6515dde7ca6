// mprod-team: the dense product A = B*C of mprod-heap run inside OpenMP teams. The fill and
// the product are worksharing loops over whole rows with the run-time schedule, so
// OMP_SCHEDULE picks kind and chunk; OMP_NUM_THREADS sizes both teams. Only the product loop
// lies between the two readings, each taken inside a single construct.
//
//   OMP_NUM_THREADS=T OMP_SCHEDULE=dynamic,4 mprod-team N
//
// Prints "Nthreads: T", then the report of mprod-heap (same storage, messages and statuses).
// The values do not depend on the team or the schedule: each element of A is summed by one
// thread, over k in ascending order from 0.0. A run-time chunk below 1 is replaced by the
// kind's default chunk (the kind is kept), since a negative dynamic chunk makes the runtime
// hand out rows outside the loop.
#include <omp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/output_check.h"
#include "matrix-product/heap_rows.h"
#include "matrix-product/matrix_product.h"

int main(int argc, char* argv[]) {
  ks::check_output_at_exit();
  const std::uint32_t N = mprod::order_from_command_line(argc, argv);

  double** A;
  double** B;
  double** C;
  mprod::allocate_rows(N, A, B, C);
  // Every N from 2^31 up fails above (its rows alone would need 2^65 bytes), so the row
  // index of the loops is a 32-bit signed integer with the same bound.
  const auto n = static_cast<std::int32_t>(N);

  // OMP_SCHEDULE may carry a chunk below 1 ("dynamic,-1"), which is no chunk at all: keep the
  // user's kind and give it its default chunk (static: the block partition, others: 1).
  omp_sched_t kind;
  int chunk;
  omp_get_schedule(&kind, &chunk);
  if (chunk < 1) {
    const auto base = static_cast<omp_sched_t>(kind & ~omp_sched_monotonic);
    omp_set_schedule(kind, base == omp_sched_static ? 0 : 1);
  }

#pragma omp parallel
  {
#pragma omp single
    printf("Nthreads: %d\n", omp_get_num_threads());

#pragma omp for schedule(runtime)
    for (std::int32_t i = 0; i < n; i++) {
      for (std::int32_t j = 0; j < n; j++) {
        A[i][j] = 0.0;
      }
    }
#pragma omp for schedule(runtime)
    for (std::int32_t i = 0; i < n; i++) {
      for (std::int32_t j = 0; j < n; j++) {
        B[i][j] = j + 1;
      }
    }
#pragma omp for schedule(runtime)
    for (std::int32_t i = 0; i < n; i++) {
      for (std::int32_t j = 0; j < n; j++) {
        C[i][j] = j + 1;
      }
    }
  }

  double wtime = 0.0;  // first the start reading, then the elapsed seconds
#pragma omp parallel
  {
#pragma omp single
    wtime = omp_get_wtime();

#pragma omp for schedule(runtime)
    for (std::int32_t i = 0; i < n; i++) {
      for (std::int32_t j = 0; j < n; j++) {
        A[i][j] = 0.0;
        for (std::int32_t k = 0; k < n; k++) {
          A[i][j] = A[i][j] + B[i][k] * C[k][j];
        }
      }
    }

#pragma omp single
    wtime = omp_get_wtime() - wtime;
  }

  mprod::print_report(mprod::TimeLine::kSixDecimals, wtime, N, A, B, C);

  mprod::free_rows(N, A, B, C);
  return 0;
}
