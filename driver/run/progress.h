// The live progress line on standard error: done/total, elapsed, estimate. Shown only when
// standard error is a terminal, only once the work has taken more than a second, and written
// again at most every 100 ms (ten lines a second are all a reader sees; a line per run of a
// short program would cost more than the run).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "driver/base/text.h"

namespace ks::driver {

class Progress {
 public:
  explicit Progress(bool enabled);
  void update(std::size_t done, std::size_t total, const std::string& label);
  void finish();  // erases the line
  ~Progress() { finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

 private:
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point written_{};  // when the line was last written
};

}  // namespace ks::driver
