// plus-parloop: the vector addition with the fill and the addition each in an OpenMP
// parallel loop (static schedule: contiguous blocks in thread order), timed with
// omp_get_wtime around the whole addition region.
//
//   OMP_NUM_THREADS=T plus-parloop N
//
// Same vectors, cap, data and report as plus-static; the output does not depend on T.
#include <omp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/barrier.h"
#include "common/output_check.h"
#include "vector-add/vector_add.h"

using vadd::kMax;

double v1[kMax], v2[kMax], v3[kMax];

int main(int argc, char* argv[]) {
  ks::check_output_at_exit();
  const std::uint32_t N = vadd::capped_size_from_command_line(argc, argv);
  const auto n = static_cast<std::int32_t>(N);  // N <= kMax: the signed bound is the same

#pragma omp parallel for schedule(static)
  for (std::int32_t i = 0; i < n; i++) {
    const double a = N * 0.1;
    const double b = i * 0.1;
    v1[i] = a + b;
    v2[i] = a - b;
  }

  const double t0 = omp_get_wtime();
  ks::clobber();
#pragma omp parallel for schedule(static)
  for (std::int32_t i = 0; i < n; i++) {
    v3[i] = v1[i] + v2[i];
  }
  ks::clobber();
  const double t1 = omp_get_wtime();

  vadd::print_report(vadd::Wording::kStatic, t1 - t0, N, v1, v2, v3);
  return 0;
}
