// mprod-static: the dense product A = B*C by the plain i-j-k loop over static 10000 x 10000
// matrices, with a software prefetch of row j + 16 of C on every inner iteration. Timed with
// clock_gettime (CLOCK_REALTIME); compare with mprod-heap, mprod-unroll4 and mprod-colwise.
//
//   mprod-static N
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

constexpr auto kRows = static_cast<std::int32_t>(kMax);  // rows of storage, for the prefetch

int main(int argc, char* argv[]) {
  ks::check_output_at_exit();
  const std::uint32_t N = mprod::capped_order_from_command_line(argc, argv);
  const auto n = static_cast<std::int32_t>(N);
  mprod::fill(N, B, C);

  const timespec start = ks::wall_now();
  ks::clobber();
  for (std::int32_t i = 0; i < n; i++) {
    for (std::int32_t j = 0; j < n; j++) {
      // Row j + 16 of C, held to the last row of storage near its end.
      const std::int32_t ahead = j + 16 < kRows ? j + 16 : kRows - 1;
      double sum = 0.0;
      for (std::int32_t k = 0; k < n; k++) {
        __builtin_prefetch(&C[ahead][0], 0, 3);  // read, keep in every cache level
        sum = sum + B[i][k] * C[k][j];
      }
      A[i][j] = sum;
    }
  }
  ks::clobber();
  const timespec end = ks::wall_now();

  mprod::print_report(mprod::TimeLine::kNineDecimals, ks::wall_interval(start, end), N, A, B, C);
  return 0;
}
