// greet-team: shows the OpenMP team. Two parallel regions run one after the other; in each,
// every thread prints one greeting tagged with its thread number.
//
//   OMP_NUM_THREADS=T greet-team
//
// Prints "(t:!Hello!)" once per thread t, then "(t:!world!)" once per thread, all on one line
// and without a final newline. The greetings of one region come in any order, but the second
// region starts only after the first has ended (its implicit barrier), so every Hello comes
// before every world. Arguments are ignored.
#include <omp.h>

#include <cstdio>

#include "common/output_check.h"

int main() {
  ks::check_output_at_exit();

#pragma omp parallel
  printf("(%d:!Hello!)", omp_get_thread_num());

#pragma omp parallel
  printf("(%d:!world!)", omp_get_thread_num());

  return 0;
}
