// What the vector-addition programs share: the command line, the capacity of the static
// vectors and the report.
//
// Command line: one argument, the size N, read as the count argument (unsigned). A missing
// argument prints the program's usage message on standard output and ends with status 255.
// The static-vector programs cap N at their capacity; plus-heap takes any size.
//
// Data rule (each program fills inline, so the fill stays visible): a = N * 0.1 with N
// converted as unsigned, b = i * 0.1 with the index converted as signed, v1[i] = a + b and
// v2[i] = a - b, every product and sum rounded separately. Every v3[i] is then 2 * N * 0.1
// up to rounding.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/count_arg.h"

namespace vadd {

inline constexpr std::uint32_t kMax = 33554432;  // 2^25 doubles per static vector

// N for the static-vector programs: capped at kMax, compared as unsigned (-1 gives the cap).
inline std::uint32_t capped_size_from_command_line(int argc, char* argv[]) {
  if (argc < 2) {
    puts("Faltan nº componentes del vector");
    exit(-1);
  }
  const std::uint32_t N = ks::count_arg(argv[1]).u;
  return N > kMax ? kMax : N;
}

// N for plus-heap, whose usage message is plain ASCII: any unsigned 32-bit size.
inline std::uint32_t size_from_command_line(int argc, char* argv[]) {
  if (argc < 2) {
    puts("Faltan numero componentes del vector");
    exit(-1);
  }
  return ks::count_arg(argv[1]).u;
}

// The two wordings of the report: the static-vector programs ("Tiempo(seg.):", "Tamaño") and
// the heap program ("Tiempo:", "Tamanio", ASCII only).
enum class Wording { kStatic, kHeap };

// N below 10: the time line, then one element line per index. N of 10 or more: the summary
// line alone, with the first and the last element.
inline void print_report(Wording wording, double elapsed, std::uint32_t N, const double* v1,
                         const double* v2, const double* v3) {
  if (N < 10) {
    if (wording == Wording::kStatic) {
      printf("Tiempo(seg.):%11.9f\t / Tamaño Vectores:%u\n", elapsed, N);
    } else {
      printf("Tiempo:%11.9f\t / Tamanio Vectores:%u\n", elapsed, N);
    }
    for (std::int32_t i = 0; static_cast<std::uint32_t>(i) < N; i++) {
      printf("/ V1[%d]+V2[%d]=V3[%d](%8.6f+%8.6f=%8.6f) /\n", i, i, i, v1[i], v2[i], v3[i]);
    }
    return;
  }
  const std::uint32_t last = N - 1;
  const auto last_index = static_cast<std::int32_t>(last);  // wraps to negative from 2^31 up
  if (wording == Wording::kStatic) {
    printf(
        "Tiempo(seg.):%11.9f\t / Tamaño Vectores:%u\t/ V1[0]+V2[0]=V3[0](%8.6f+%8.6f=%8.6f) / "
        "/ V1[%d]+V2[%d]=V3[%d](%8.6f+%8.6f=%8.6f) /\n",
        elapsed, N, v1[0], v2[0], v3[0], last_index, last_index, last_index, v1[last], v2[last],
        v3[last]);
  } else {
    printf(
        "Tiempo:%11.9f\t / Tamanio Vectores:%u\t/ V1[0]+V2[0]=V3[0](%8.6f+%8.6f=%8.6f) / "
        "/ V1[%d]+V2[%d]=V3[%d](%8.6f+%8.6f=%8.6f) /\n",
        elapsed, N, v1[0], v2[0], v3[0], last_index, last_index, last_index, v1[last], v2[last],
        v3[last]);
  }
}

}  // namespace vadd
