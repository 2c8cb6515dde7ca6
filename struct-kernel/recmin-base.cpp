// recmin-base: the record-array minimum kernel with two separate inner loops, timed on the
// wall clock.
//
//   recmin-base          (arguments are ignored)
//
// s[i].a = s[i].b = i for the 5000 records; for each of 40000 outer steps k, one pass sums
// 2 * s[i].a + k, a second pass sums 3 * s[i].b - k, and R[k] takes the smaller sum. Prints
// the elapsed seconds and R[0], R[39999]. Only the 40000 outer steps are timed.
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
    }
    for (std::int32_t i = 0; i < kRecords; i++) {
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
