// What the Slurm layer's tests share: a request for a four-task array and the directives of a
// batch script.
#pragma once

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "driver/slurm/slurm.h"

namespace ks::driver::testing {

inline SlurmRequest basic_request() {
  SlurmRequest r;
  r.output_dir = "/shared/out";
  r.command = {"/opt/ks/kernelscope", "sweep", "--slurm-task", std::string(kTaskIndex)};
  r.tasks = 4;
  return r;
}

// The text after "#SBATCH " of every directive, in order.
inline std::vector<std::string> directives(const std::string& script) {
  std::vector<std::string> out;
  std::istringstream in(script);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("#SBATCH ", 0) == 0) {
      out.push_back(line.substr(8));
    }
  }
  return out;
}

inline bool has(const std::vector<std::string>& v, const std::string& item) {
  return std::find(v.begin(), v.end(), item) != v.end();
}

}  // namespace ks::driver::testing
