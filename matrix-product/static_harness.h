// The harness of the static-matrix programs (mprod-static, mprod-unroll4, mprod-colwise):
// the storage shape and the fill; the capped command line and the report come from the family
// (matrix_product.h). Each program keeps its own global matrices and its own kernel between
// the two clock readings.
#pragma once

#include <cstdint>

#include "matrix-product/matrix_product.h"

namespace mprod {

// kMax x kMax doubles, row-major, so the row stride is kMax whatever N is.
using StaticMatrix = double[kMax][kMax];

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
