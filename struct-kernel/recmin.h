// What the record-array kernels share: the record, the sizes and the report.
//
// For each outer step k the kernel sums 2 * s[i].a + k into S1 and 3 * s[i].b - k into S2 over
// all records and stores the smaller (signed comparison) in R[k]. The three programs differ
// only in the loop form of the sums (and recmin-unroll4 in leaving s at zero).
#pragma once

#include <cstdint>
#include <cstdio>

namespace recmin {

struct Record {
  std::int32_t a;
  std::int32_t b;
};
static_assert(sizeof(Record) == 2 * sizeof(std::int32_t), "records are stored back to back");

inline constexpr std::int32_t kRecords = 5000;  // elements of s, a multiple of 4
inline constexpr std::int32_t kSteps = 40000;   // elements of R, outer steps of the kernel

// Seven lines: the time, an empty line, the underscores, "Resultados:", an empty line,
// "Vector R: " and the first and last element of R.
inline void print_report(double elapsed, const std::int32_t* R) {
  printf("Tiempo (seg): %f\n", elapsed);
  puts("\n__________\nResultados:");
  puts("\nVector R: ");
  printf("R[0]=%d R[39999]=%d\n", R[0], R[kSteps - 1]);
}

}  // namespace recmin
