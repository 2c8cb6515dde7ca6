// mprod-unroll4: the dense product A = B*C over static 10000 x 10000 matrices with the inner
// loop unrolled by four, accumulating in A[i][j] itself: groups of four products added one at
// a time, then the zero to three remaining terms. Timed with clock_gettime (CLOCK_REALTIME);
// compare with mprod-static, mprod-colwise and mprod-heap.
//
//   mprod-unroll4 N
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
  const auto n4 = static_cast<std::int32_t>(N & ~3u);  // N rounded down to a multiple of 4
  mprod::fill(N, B, C);

  const timespec start = ks::wall_now();
  ks::clobber();
  for (std::int32_t i = 0; i < n; i++) {
    for (std::int32_t j = 0; j < n; j++) {
      A[i][j] = 0.0;
      for (std::int32_t k = 0; k < n4; k += 4) {
        A[i][j] = A[i][j] + B[i][k] * C[k][j] + B[i][k + 1] * C[k + 1][j] +
                  B[i][k + 2] * C[k + 2][j] + B[i][k + 3] * C[k + 3][j];
      }
      for (std::int32_t k = n4; k < n; k++) {
        A[i][j] = A[i][j] + B[i][k] * C[k][j];
      }
    }
  }
  ks::clobber();
  const timespec end = ks::wall_now();

  mprod::print_report(mprod::TimeLine::kNineDecimals, ks::wall_interval(start, end), N, A, B, C);
  return 0;
}
