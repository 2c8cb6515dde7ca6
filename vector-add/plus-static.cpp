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
#include "common/count_arg.h"
#include "common/output_check.h"
#include "common/wall_clock.h"
#include "vector-add/vector_add.h"

using vadd::MAX;

double v1[MAX], v2[MAX], v3[MAX];

int main(int argc, char* argv[]) {
  ks::check_output_at_exit();
  if (argc < 2) {
    puts("Faltan nº componentes del vector");
    exit(-1);
  }
  std::uint32_t N = ks::count_arg(argv[1]).u;
  if (N > MAX) {
    N = MAX;
  }

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
