// Memory and teams for the measurements: fresh anonymous mappings, and the timed repetitions
// of a body run by every thread of one OpenMP team.
#pragma once

#include <omp.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/barrier.h"
#include "probe/probe.h"

namespace probe {

// An anonymous private mapping whose pages do not exist until they are first written (the
// kernel backs each with a zero page at its first touch), unmapped at the end of its scope.
class Mapping {
 public:
  explicit Mapping(std::size_t bytes) : bytes_(bytes) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
      die("cannot map " + std::to_string(bytes) + " bytes: " + std::strerror(errno));
    }
    data_ = static_cast<double*>(p);
    ks::escape(data_);
  }
  ~Mapping() { munmap(data_, bytes_); }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  double* data() const { return data_; }
  std::size_t bytes() const { return bytes_; }

 private:
  std::size_t bytes_;
  double* data_ = nullptr;
};

// Runs `body` `passes` times per repetition on every thread of one team of `threads`, and
// returns the seconds of each repetition as thread 0 sees them from the barrier that starts it
// to the barrier that ends it. The body is typically an orphaned worksharing loop with no
// wait: the closing barrier makes the repetition last until the slowest thread is done. A
// memory clobber after every pass keeps the compiler from merging or dropping passes.
template <class Body>
std::vector<double> team_repetitions(int threads, int repetitions, std::int64_t passes,
                                     Body&& body) {
  std::vector<double> seconds(static_cast<std::size_t>(repetitions));
  int size = 0;
#pragma omp parallel num_threads(threads)
  {
#pragma omp single
    size = omp_get_num_threads();
    for (int r = 0; r < repetitions; r++) {
      double t0 = 0;
#pragma omp barrier
      if (omp_get_thread_num() == 0) {
        t0 = now();
      }
      for (std::int64_t p = 0; p < passes; p++) {
        body();
        ks::clobber();
      }
#pragma omp barrier
      if (omp_get_thread_num() == 0) {
        seconds[static_cast<std::size_t>(r)] = now() - t0;
      }
    }
  }
  if (size != threads) {
    die("the OpenMP runtime gave a team of " + std::to_string(size) + " threads instead of " +
        std::to_string(threads) + " (OMP_THREAD_LIMIT?)");
  }
  return seconds;
}

// The sum of a[0..n) by a team of `threads` (static schedule).
inline double team_sum(const double* a, std::int64_t n, int threads) {
  double sum = 0;
#pragma omp parallel for schedule(static) num_threads(threads) reduction(+ : sum)
  for (std::int64_t i = 0; i < n; i++) {
    sum += a[i];
  }
  return sum;
}

}  // namespace probe
