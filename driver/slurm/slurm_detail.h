// What the files of the Slurm layer share: small text helpers, the request's own consistency
// check, and the reading of Slurm's complaints. The rest of the driver includes slurm.h.
#pragma once

#include <cctype>
#include <charconv>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "driver/slurm/slurm.h"

namespace ks::driver::slurm_detail {

[[noreturn]] inline void bad(const std::string& why) {
  throw std::invalid_argument(why);
}

// A whole string of decimal digits as a non-negative int.
inline std::optional<int> parse_int(std::string_view text) {
  int value = 0;
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text.front()))) {
    return std::nullopt;
  }
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

inline std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == separator) {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

inline bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

// Control bytes (line breaks, carriage returns, tabs, ...) written as escapes: "a\\nb".
std::string escape_controls(std::string_view text);

// Options that contradict each other, or values that cannot go into a batch script, before any
// node is known: throws std::invalid_argument with a one-line reason.
void check_options(const SlurmRequest& request);

// "sbatch: error: Batch job submission failed: Invalid partition name specified" ->
// "Invalid partition name specified": the last line of Slurm's complaint, without prefixes,
// its control bytes escaped.
std::string slurm_words(std::string_view err);

// The error a pending reason stands for, when the job can never start as it is; none else.
SlurmError blocking_error(std::string_view reason);

}  // namespace ks::driver::slurm_detail
