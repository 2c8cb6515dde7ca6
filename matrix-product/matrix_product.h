// What the matrix-product programs share: the command line and the report of B, C and A = B*C.
//
// Command line: one argument, the order N, read as the count argument (unsigned). A missing
// argument prints the usage message on standard output and ends with status 255. The heap
// programs take any order; the static-matrix programs cap it at the capacity of their
// matrices.
//
// Data rule (each program fills inline or through the static harness): B[i][j] = C[i][j] =
// j + 1, the value formed as a 32-bit signed integer, so every row of B and C reads 1 ... N
// and every row of A reads (j + 1) * N * (N + 1) / 2, exact in doubles.
//
// The report: the time line, a results banner, then for each of B, C and A a header and
// either its two corner elements (N > 9) or all of its rows (N <= 9, every value followed by
// one blank), then a final empty line. Only the time line differs between programs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/count_arg.h"

namespace mprod {

// Capacity of each dimension of the static matrices: 10000 x 10000 doubles.
inline constexpr std::uint32_t kMax = 10000;

// N for the heap programs: any unsigned 32-bit order.
inline std::uint32_t order_from_command_line(int argc, char* argv[]) {
  if (argc < 2) {
    puts("[ERROR]-Debe insertar tamaño matriz");
    exit(-1);
  }
  return ks::count_arg(argv[1]).u;
}

// N for the static-matrix programs: capped at kMax, compared as unsigned (-1 gives 10000).
inline std::uint32_t capped_order_from_command_line(int argc, char* argv[]) {
  const std::uint32_t N = order_from_command_line(argc, argv);
  return N > kMax ? kMax : N;
}

// The heap programs print the time with six decimals, the static-matrix programs with nine.
enum class TimeLine { kSixDecimals, kNineDecimals };

// Matrix is anything indexed as X[i][j]: a row table (double**) or a static 2-D array.
template <class Matrix>
void print_rows(std::uint32_t N, const Matrix& X) {
  for (std::uint32_t i = 0; i < N; i++) {
    for (std::uint32_t j = 0; j < N; j++) {
      printf("%f ", X[i][j]);
    }
    putchar('\n');
  }
}

template <class Matrix>
void print_report(TimeLine time_line, double elapsed, std::uint32_t N, const Matrix& A,
                  const Matrix& B, const Matrix& C) {
  if (time_line == TimeLine::kSixDecimals) {
    printf("Tiempo (seg): %f\n", elapsed);
  } else {
    printf("Tiempo (seg): %11.9f\n", elapsed);
  }
  puts("\n__________\nResultados:");
  puts("\nMatriz B: ");
  if (N > 9) {
    const std::uint32_t last = N - 1;
    const auto last_index = static_cast<std::int32_t>(last);  // printed as a signed int
    printf("B[0][0]=%f B[%d][%d]=%f\n", B[0][0], last_index, last_index, B[last][last]);
    puts("\nMatriz C: ");
    printf("C[0][0]=%f C[%d][%d]=%f\n", C[0][0], last_index, last_index, C[last][last]);
    puts("\nMatriz A=B*C: ");
    printf("A[0][0]=%f A[%d][%d]=%f\n", A[0][0], last_index, last_index, A[last][last]);
  } else {
    print_rows(N, B);
    puts("\nMatriz C: ");
    print_rows(N, C);
    puts("\nMatriz A=B*C: ");
    print_rows(N, A);
  }
  putchar('\n');
}

}  // namespace mprod
