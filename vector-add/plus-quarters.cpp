// plus-quarters: the vector addition split into four OpenMP sections, one per quarter of the
// index range, whatever the team size; timed with omp_get_wtime around the addition region.
//
//   OMP_NUM_THREADS=T plus-quarters N
//
// Quarter points q1 = N/4, q2 = N/2, q3 = 3N/4 (unsigned, rounded down); the sections cover
// [0,q1) [q1,q2) [q2,q3) [q3,N), and an empty range does nothing. Same vectors, cap, data
// and report as plus-static.
#include <omp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/barrier.h"
#include "common/output_check.h"
#include "vector-add/vector_add.h"

using vadd::kMax;

double v1[kMax], v2[kMax], v3[kMax];

// One section of the fill: the data rule over [lo, hi).
static void fill_range(std::uint32_t N, std::uint32_t lo, std::uint32_t hi) {
  const double a = N * 0.1;
  for (auto i = static_cast<std::int32_t>(lo); static_cast<std::uint32_t>(i) < hi; i++) {
    const double b = i * 0.1;
    v1[i] = a + b;
    v2[i] = a - b;
  }
}

// One section of the kernel: v3 = v1 + v2 over [lo, hi).
static void add_range(std::uint32_t lo, std::uint32_t hi) {
  for (auto i = static_cast<std::int32_t>(lo); static_cast<std::uint32_t>(i) < hi; i++) {
    v3[i] = v1[i] + v2[i];
  }
}

int main(int argc, char* argv[]) {
  ks::check_output_at_exit();
  const std::uint32_t N = vadd::capped_size_from_command_line(argc, argv);
  const std::uint32_t q1 = N >> 2;
  const std::uint32_t q2 = N >> 1;
  const std::uint32_t q3 = (3 * N) >> 2;  // 3 * kMax fits in 32 bits

#pragma omp parallel sections
  {
#pragma omp section
    fill_range(N, 0, q1);
#pragma omp section
    fill_range(N, q1, q2);
#pragma omp section
    fill_range(N, q2, q3);
#pragma omp section
    fill_range(N, q3, N);
  }

  const double t0 = omp_get_wtime();
  ks::clobber();
#pragma omp parallel sections
  {
#pragma omp section
    add_range(0, q1);
#pragma omp section
    add_range(q1, q2);
#pragma omp section
    add_range(q2, q3);
#pragma omp section
    add_range(q3, N);
  }
  ks::clobber();
  const double t1 = omp_get_wtime();

  vadd::print_report(vadd::Wording::kStatic, t1 - t0, N, v1, v2, v3);
  return 0;
}
