// Run results made by hand, for feeding the output checks without running a program.
#pragma once

#include <string>

#include "spawn/spawn.h"

namespace ks::driver::test {

// A run that exited with `status` after printing `out` and `err`.
inline ks::RunResult exited(const std::string& out, int status = 0, const std::string& err = "") {
  ks::RunResult r;
  r.started = true;
  r.exited = true;
  r.exit_status = status;
  r.out = out;
  r.err = err;
  return r;
}

}  // namespace ks::driver::test
