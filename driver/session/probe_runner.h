// Running ks-probe: its progress passed on line by line, its status and output checked, its
// figures read (ceilings.h).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/analysis/ceilings.h"

namespace ks::driver {

inline constexpr std::string_view kProbeProgram = "ks-probe";

// The probe failed: it could not start, ended badly, or printed what cannot be used. One line.
class ProbeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ProbeRun {
  std::string path;               // the ks-probe executable
  std::vector<std::string> args;  // its options
  double timeout_seconds = 300;
  // Each line of its progress but the last, as it comes; the last is held back until the probe
  // ends, and becomes part of the failure when it fails (it says why), so that a failure is one
  // line.
  std::function<void(const std::string&)> on_progress;
};

// Runs the probe and reads its ceilings (source "probe", probed_at now). Throws ProbeError.
KnownCeilings run_probe(const ProbeRun& run);

// The ceilings in a file: ks-probe's output, or a cache file holding one. Throws CeilingsError.
KnownCeilings read_ceilings_file(const std::string& path);

// The ceilings for people, a few lines: bandwidth, first touch, compute, OpenMP.
std::string ceilings_text(const Ceilings& c);

}  // namespace ks::driver
