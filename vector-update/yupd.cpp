// yupd: the scaled update y = 47 * x + y over 32-bit signed integers, timed on the wall clock.
// One source built five times, identical but for the optimisation level, so that the printed
// times compare the levels:
//
//   yupd-o0 N    yupd-o1 N    yupd-o2 N    yupd-o3 N    yupd-os N
//
// x and y are N-element automatic arrays on the stack of main, filled with x[i] = y[i] = i
// before the first reading; only the update is timed. The report is the elapsed seconds and
// y[0] = 0, y[N-1] = 48 * (N - 1). Arithmetic wraps modulo 2^32 (the builds use -fwrapv), so
// y[N-1] wraps from N = 44739244 up.
//
// N below 1 (0, a negative number, text without digits) is refused with status 255. A size
// whose vectors do not fit the stack limit raises the soft limit and re-executes the program
// once (stack_room.h); where the hard limit, the machine or the address-space limit cannot
// hold them, status 254.
#include <alloca.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/barrier.h"
#include "common/count_arg.h"
#include "common/output_check.h"
#include "common/wall_clock.h"
#include "vector-update/stack_room.h"

int main(int argc, char* argv[]) {
  ks::check_output_at_exit();
  if (argc < 2) {
    fputs("Falta num\n", stderr);
    exit(-1);
  }
  const std::int32_t N = ks::count_arg(argv[1]).s;
  if (N < 1) {
    fprintf(stderr, "%s: tamaño no válido: %d (N debe ser al menos 1)\n",
            program_invocation_short_name, N);
    exit(-1);
  }
  const std::uint64_t bytes = static_cast<std::uint64_t>(N) * sizeof(std::int32_t);
  yupd::make_stack_room(2 * bytes, argv);

  auto* x = static_cast<std::int32_t*>(alloca(bytes));
  auto* y = static_cast<std::int32_t*>(alloca(bytes));
  const std::int32_t a = 47;

  for (std::int32_t i = 0; i < N; i++) {
    x[i] = i;
    y[i] = i;
  }

  ks::escape(x);
  ks::escape(y);
  const timespec start = ks::wall_now();
  ks::clobber();
  for (std::int32_t i = 0; i < N; i++) {
    y[i] = a * x[i] + y[i];
  }
  ks::clobber();
  const timespec end = ks::wall_now();
  const double elapsed = ks::wall_interval(start, end);

  printf("Tiempo(seg): %f\ny[0]=%d, y[N-1]=%d \n", elapsed, y[0], y[N - 1]);
  return 0;
}
