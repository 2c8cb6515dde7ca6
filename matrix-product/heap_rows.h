// Storage of the heap matrix programs (mprod-heap, mprod-team): each of A, B and C is a table
// of N row pointers plus N rows of N doubles, every request N * 8 bytes formed in 64 bits.
// The three tables come first, then row i of A, B and C for each i; a table that cannot be
// had and a row that cannot be had end the run with their own messages and status 254
// (blocks already obtained go with the process). A size whose storage exceeds the machine's
// memory plus swap is refused the same way, instead of being granted by overcommit and killed
// part-way through the fill.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/heap_guard.h"

namespace mprod {

inline void allocate_rows(std::uint32_t N, double**& A, double**& B, double**& C) {
  const std::uint64_t bytes = static_cast<std::uint64_t>(N) * sizeof(double);
  A = static_cast<double**>(ks::guarded_malloc(bytes));
  B = static_cast<double**>(ks::guarded_malloc(bytes));
  C = static_cast<double**>(ks::guarded_malloc(bytes));
  // A table of no entries is not a failure, whatever a zero-byte request returns.
  if (N > 0 && (A == nullptr || B == nullptr || C == nullptr)) {
    puts("Error en la reserva de espacio para las matrices");
    exit(-2);
  }
  // Rows that could never all fit are refused from the first one, rather than after taking
  // all the memory there is.
  ks::plan_allocations(3 * static_cast<std::uint64_t>(N) * bytes);
  for (std::uint32_t i = 0; i < N; i++) {
    A[i] = static_cast<double*>(ks::guarded_malloc(bytes));
    B[i] = static_cast<double*>(ks::guarded_malloc(bytes));
    C[i] = static_cast<double*>(ks::guarded_malloc(bytes));
    if (A[i] == nullptr || B[i] == nullptr || C[i] == nullptr) {
      puts("Error en la reserva de espacio para los vectores");
      exit(-2);
    }
  }
}

// Every row of A, B and C, then the three tables.
inline void free_rows(std::uint32_t N, double** A, double** B, double** C) {
  for (std::uint32_t i = 0; i < N; i++) {
    free(A[i]);
    free(B[i]);
    free(C[i]);
  }
  free(A);
  free(B);
  free(C);
}

}  // namespace mprod
