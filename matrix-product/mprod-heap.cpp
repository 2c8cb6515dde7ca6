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
#include "common/count_arg.h"
#include "common/heap_guard.h"
#include "common/output_check.h"
#include "matrix-product/matrix_report.h"

int main(int argc, char* argv[]) {
  ks::check_output_at_exit();
  if (argc < 2) {
    puts("[ERROR]-Debe insertar tamaño matriz");
    exit(-1);
  }
  const std::uint32_t N = ks::count_arg(argv[1]).u;

  // Tables and rows are N * 8 bytes, the product formed in 64 bits.
  const std::uint64_t bytes = static_cast<std::uint64_t>(N) * sizeof(double);
  auto** A = static_cast<double**>(ks::guarded_malloc(bytes));
  auto** B = static_cast<double**>(ks::guarded_malloc(bytes));
  auto** C = static_cast<double**>(ks::guarded_malloc(bytes));
  // A table of no entries is not a failure, whatever a zero-byte request returns.
  if (N > 0 && (A == nullptr || B == nullptr || C == nullptr)) {
    puts("Error en la reserva de espacio para las matrices");
    exit(-2);
  }
  // Rows that could never all fit are refused from the first one, rather than after taking
  // all the memory there is.
  ks::plan_allocations(3 * static_cast<std::uint64_t>(N) * bytes);
  for (std::uint32_t i = 0; i < N; i++) {
    A[i] = static_cast<double*>(ks::guarded_malloc(bytes));
    B[i] = static_cast<double*>(ks::guarded_malloc(bytes));
    C[i] = static_cast<double*>(ks::guarded_malloc(bytes));
    if (A[i] == nullptr || B[i] == nullptr || C[i] == nullptr) {
      puts("Error en la reserva de espacio para los vectores");
      exit(-2);  // the rows already obtained go with the process
    }
  }

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

  for (std::uint32_t i = 0; i < N; i++) {
    free(A[i]);
    free(B[i]);
    free(C[i]);
  }
  free(A);
  free(B);
  free(C);
  return 0;
}
