// plus-heap: the sequential vector addition on three heap vectors of exactly N doubles.
//
//   plus-heap N
//
// No cap: N is any unsigned 32-bit value (-1 asks for 3 x 32 GiB). The size line is printed
// before allocating. A size whose three vectors exceed the machine's memory plus swap is
// refused as an allocation failure (status 254) instead of being granted by overcommit and
// killed part-way through the fill. Indices from 2^31 up are carried as unsigned, so every
// element is addressed; the data rule and the printed index use the index's signed 32-bit
// value, as below 2^31.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/barrier.h"
#include "common/heap_guard.h"
#include "common/output_check.h"
#include "common/wall_clock.h"
#include "vector-add/vector_add.h"

int main(int argc, char* argv[]) {
  ks::check_output_at_exit();
  const std::uint32_t N = vadd::size_from_command_line(argc, argv);
  printf("Tamanio Vectores:%u (%lu B)\n", N, static_cast<unsigned long>(sizeof(std::uint32_t)));

  const std::uint64_t bytes = static_cast<std::uint64_t>(N) * sizeof(double);
  ks::plan_allocations(3 * bytes);
  auto* v1 = static_cast<double*>(ks::guarded_malloc(bytes));
  auto* v2 = static_cast<double*>(ks::guarded_malloc(bytes));
  auto* v3 = static_cast<double*>(ks::guarded_malloc(bytes));
  if (v1 == nullptr || v2 == nullptr || v3 == nullptr) {
    puts("No hay suficiente espacio para los vectores ");
    exit(-2);
  }

  const double a = N * 0.1;
  for (std::uint32_t i = 0; i < N; i++) {
    const double b = static_cast<std::int32_t>(i) * 0.1;
    v1[i] = a + b;
    v2[i] = a - b;
  }

  ks::escape(v1);
  ks::escape(v2);
  ks::escape(v3);
  const timespec start = ks::wall_now();
  ks::clobber();
  for (std::uint32_t i = 0; i < N; i++) {
    v3[i] = v1[i] + v2[i];
  }
  ks::clobber();
  const timespec end = ks::wall_now();
  const double elapsed = ks::wall_interval(start, end);

  vadd::print_report(vadd::Wording::kHeap, elapsed, N, v1, v2, v3);

  free(v1);
  free(v2);
  free(v3);
  return 0;
}
