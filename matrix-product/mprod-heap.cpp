// mprod-heap: one sequential dense product A = B*C of N x N doubles by the plain i-j-k loop,
// on matrices whose rows are separate heap blocks, timed with omp_get_wtime (no parallel
// construct: OpenMP serves only as the clock).
//
//   mprod-heap N
//
// No cap: N is any unsigned 32-bit value. Each matrix is a table of N row pointers plus N
// rows of N doubles. A table or a row that cannot be had ends the run with a message and
// status 254; a size whose storage exceeds the machine's memory plus swap is refused the same
// way instead of being granted by overcommit and killed part-way through the fill.
// Prints the elapsed seconds and B, C and A: every element for N <= 9, the corners otherwise.
#include <omp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/barrier.h"
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

  for (std::uint32_t i = 0; i < N; i++) {
    for (std::uint32_t j = 0; j < N; j++) {
      B[i][j] = static_cast<std::int32_t>(j + 1);
      C[i][j] = static_cast<std::int32_t>(j + 1);
    }
  }

  ks::escape(A);
  ks::escape(B);
  ks::escape(C);
  const double t0 = omp_get_wtime();
  ks::clobber();
  for (std::uint32_t i = 0; i < N; i++) {
    for (std::uint32_t j = 0; j < N; j++) {
      double sum = 0.0;
      for (std::uint32_t k = 0; k < N; k++) {
        sum = sum + B[i][k] * C[k][j];
      }
      A[i][j] = sum;
    }
  }
  ks::clobber();
  const double elapsed = omp_get_wtime() - t0;

  mprod::print_report(mprod::TimeLine::kSixDecimals, elapsed, N, A, B, C);

  mprod::free_rows(N, A, B, C);
  return 0;
}
