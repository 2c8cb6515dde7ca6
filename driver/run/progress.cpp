#include "driver/run/progress.h"

#include <cstdio>

#include <fmt/format.h>

namespace ks::driver {

Progress::Progress(bool enabled) : enabled_(enabled), start_(std::chrono::steady_clock::now()) {}

void Progress::update(std::size_t done, std::size_t total, const std::string& label) {
  if (!enabled_) {
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  if (elapsed < 1.0 ||
      (shown_ && done < total && now - written_ < std::chrono::milliseconds(100))) {
    return;
  }
  written_ = now;
  std::string estimate = "?";
  if (done > 0) {
    estimate =
        duration_text(elapsed / static_cast<double>(done) * static_cast<double>(total - done));
  }
  std::string line = fmt::format("[{}/{}] {} elapsed, about {} left  {}", done, total,
                                 duration_text(elapsed), estimate, label);
  if (line.size() > 110) {
    line.resize(110);
  }
  std::fprintf(stderr, "\r\033[K%s", line.c_str());
  std::fflush(stderr);
  shown_ = true;
}

void Progress::finish() {
  if (shown_) {
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    shown_ = false;
  }
}

}  // namespace ks::driver
