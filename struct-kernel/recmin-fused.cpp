// recmin-fused: the record-array minimum kernel with its two inner loops fused into one,
// timed on the wall clock.
//
//   recmin-fused         (arguments are ignored)
//
// Same data and report as recmin-base; each inner step reads both fields of one record,
// adding 2 * s[i].a + k to S1 and then 3 * s[i].b - k to S2. Only the 40000 outer steps are
// timed.
#include <cstdint>
#include <ctime>

#include "common/barrier.h"
#include "common/output_check.h"
#include "common/wall_clock.h"
#include "struct-kernel/recmin.h"

using recmin::kRecords;
using recmin::kSteps;

recmin::Record s[kRecords];
std::int32_t R[kSteps];

int main() {
  ks::check_output_at_exit();
  for (std::int32_t i = 0; i < kRecords; i++) {
    s[i].a = i;
    s[i].b = i;
  }

  ks::escape(s);
  ks::escape(R);
  const timespec start = ks::wall_now();
  ks::clobber();
  for (std::int32_t k = 0; k < kSteps; k++) {
    std::int32_t S1 = 0;
    std::int32_t S2 = 0;
    for (std::int32_t i = 0; i < kRecords; i++) {
      S1 += 2 * s[i].a + k;
      S2 += 3 * s[i].b - k;
    }
    R[k] = S1 < S2 ? S1 : S2;
  }
  ks::clobber();
  const timespec end = ks::wall_now();
  const double elapsed = ks::wall_interval(start, end);

  recmin::print_report(elapsed, R);
  return 0;
}
