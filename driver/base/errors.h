// The driver's two kinds of failure besides a run's own: bad input from the user (status 2,
// nothing has run) and an output file that could not be written (status 1, the run failed).
// Each is reported as one line, "kernelscope: <what>".
#pragma once

#include <stdexcept>

namespace ks::driver {

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
