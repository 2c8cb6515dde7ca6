// plus-static: one sequential pass of v3 = v1 + v2 over static vectors, timed on the wall
// clock.
//
//   plus-static N
//
// N is capped at 33554432 (the capacity of the global vectors, compared as unsigned, so -1
// gives the cap). Prints the elapsed seconds and every element (N < 10) or the first and last
// element (N >= 10). Only the addition is timed; v3 is first touched inside the timed loop.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/barrier.h"
#include "common/output_check.h"
#include "common/wall_clock.h"
#include "vector-add/vector_add.h"

using vadd::kMax;

double v1[kMax], v2[kMax], v3[kMax];

int main(int argc, char* argv[]) {
  ks::check_output_at_exit();
  const std::uint32_t N = vadd::capped_size_from_command_line(argc, argv);

  const double a = N * 0.1;
  for (std::int32_t i = 0; static_cast<std::uint32_t>(i) < N; i++) {
    const double b = i * 0.1;
    v1[i] = a + b;
    v2[i] = a - b;
  }

  const timespec start = ks::wall_now();
  ks::clobber();
  for (std::int32_t i = 0; static_cast<std::uint32_t>(i) < N; i++) {
    v3[i] = v1[i] + v2[i];
  }
  ks::clobber();
  const timespec end = ks::wall_now();
  const double elapsed = ks::wall_interval(start, end);

  vadd::print_report(vadd::Wording::kStatic, elapsed, N, v1, v2, v3);
  return 0;
}
