// The harness of the static-matrix programs (mprod-static, mprod-unroll4, mprod-colwise):
// the command line with its cap, the fill and the report. Each program keeps its own global
// matrices and its own kernel between the two clock readings.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/count_arg.h"
#include "matrix-product/matrix_report.h"

namespace mprod {

// Capacity of each dimension of the static matrices: 10000 x 10000 doubles, row-major, so the
// row stride is MAX whatever N is.
inline constexpr std::uint32_t MAX = 10000;

using StaticMatrix = double[MAX][MAX];

// The count argument capped at MAX, compared as unsigned: -1 gives 10000.
inline std::uint32_t capped_order(const char* text) {
  const std::uint32_t N = ks::count_arg(text).u;
  return N > MAX ? MAX : N;
}

// N from the command line, or the usage message and status 255.
inline std::uint32_t order_from_command_line(int argc, char* argv[]) {
  if (argc < 2) {
    puts("[ERROR]-Debe insertar tamaño matriz");
    exit(-1);
  }
  return capped_order(argv[1]);
}

// B[i][j] = C[i][j] = j + 1 over the top-left N x N block.
inline void fill(std::uint32_t N, StaticMatrix& B, StaticMatrix& C) {
  const auto n = static_cast<std::int32_t>(N);
  for (std::int32_t i = 0; i < n; i++) {
    for (std::int32_t j = 0; j < n; j++) {
      B[i][j] = j + 1;
      C[i][j] = j + 1;
    }
  }
}

}  // namespace mprod
