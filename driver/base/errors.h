// The driver's two kinds of failure besides a run's own: bad input from the user (status 2,
// nothing has run) and an output file that could not be written (status 1, the run failed).
// Each is reported as one line, "kernelscope: <what>".
#pragma once

#include <stdexcept>

namespace ks::driver {

// The driver's exit statuses besides 0 and 128 + a signal.
inline constexpr int kRunsFailed = 1;  // a run was not valid, or an output could not be written
inline constexpr int kBadInput = 2;

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Names the file that could not be written and why.
class WriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace ks::driver
