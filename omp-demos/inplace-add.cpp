// inplace-add: a shared array updated in place by a static worksharing loop. Each element is
// read and written only by the thread whose block holds it; main prints the array after the
// region.
//
//   OMP_NUM_THREADS=T inplace-add
//
// a starts as 1 ... 7 and ends as a[i] = 2i + 1 whatever the team, so the report never varies.
// Arguments are ignored.
#include <omp.h>

#include <cstdint>
#include <cstdio>

#include "common/output_check.h"

int main() {
  ks::check_output_at_exit();
  const std::int32_t n = 7;
  std::int32_t a[7];
  for (std::int32_t i = 0; i < n; i++) {
    a[i] = i + 1;
  }

#pragma omp parallel for default(none) shared(a, n) schedule(static)
  for (std::int32_t i = 0; i < n; i++) {
    a[i] = a[i] + i;
  }

  puts("Después de parallel for:");
  for (std::int32_t i = 0; i < n; i++) {
    printf("a[%d] = %d\n", i, a[i]);
  }
  return 0;
}
