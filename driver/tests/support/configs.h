// Configurations and run records made by hand, for the summary, the exporters and the runner
// without running a program.
#pragma once

#include <optional>

#include "driver/catalogue/catalogue.h"
#include "driver/results/results.h"

namespace ks::driver::test {

inline ks::driver::Config config(const char* program, std::optional<std::uint64_t> size,
                                 int threads) {
  ks::driver::Config c;
  c.program = ks::driver::find_program(program);
  c.size = size;
  c.threads = threads;
  c.repeat = 3;
  return c;
}

inline ks::driver::RunRecord record(std::size_t config, double printed, bool warmup = false,
                                    ks::driver::Outcome outcome = ks::driver::Outcome::kValid) {
  ks::driver::RunRecord r;
  r.config = config;
  r.warmup = warmup;
  r.outcome = outcome;
  r.printed_seconds = printed;
  r.wall_seconds = printed + 0.001;
  return r;
}

}  // namespace ks::driver::test
