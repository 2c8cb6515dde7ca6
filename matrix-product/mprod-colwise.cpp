// mprod-colwise: the dense product A = B*C over static 10000 x 10000 matrices in column-outer
// order: the outer loop walks the columns of A and C, the middle loop the rows of A and B, so
// A is written one column at a time, each store a whole row stride (10000 doubles) from the
// last. Timed with clock_gettime (CLOCK_REALTIME); compare with mprod-static, mprod-unroll4
// and mprod-heap.
//
//   mprod-colwise N
//
// N is capped at 10000 (compared as unsigned: -1 gives 10000). Prints the elapsed seconds
// with nine decimals and B, C and A: every element for N <= 9, the corners otherwise.
#include <cstdint>
#include <ctime>

#include "common/barrier.h"
#include "common/output_check.h"
#include "common/wall_clock.h"
#include "matrix-product/static_harness.h"

using mprod::kMax;

double A[kMax][kMax], B[kMax][kMax], C[kMax][kMax];

int main(int argc, char* argv[]) {
  ks::check_output_at_exit();
  const std::uint32_t N = mprod::capped_order_from_command_line(argc, argv);
  const auto n = static_cast<std::int32_t>(N);
  mprod::fill(N, B, C);

  const timespec start = ks::wall_now();
  ks::clobber();
  for (std::int32_t i = 0; i < n; i++) {    // column of A and C
    for (std::int32_t j = 0; j < n; j++) {  // row of A and B
      double sum = 0.0;
      for (std::int32_t k = 0; k < n; k++) {
        sum = sum + B[j][k] * C[k][i];
      }
      A[j][i] = sum;
    }
  }
  ks::clobber();
  const timespec end = ks::wall_now();

  mprod::print_report(mprod::TimeLine::kNineDecimals, ks::wall_interval(start, end), N, A, B, C);
  return 0;
}
