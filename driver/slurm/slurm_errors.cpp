// Slurm's complaints and blocking pending reasons, each worded as one line a user can act on.
#include "driver/slurm/slurm.h"

#include <cctype>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "driver/slurm/slurm_detail.h"

namespace ks::driver {

using slurm_detail::contains;
using slurm_detail::escape_controls;
using slurm_detail::slurm_words;
using slurm_detail::split;

namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

std::string seconds_text(double seconds) {
  return fmt::format("{:.0f} s", seconds);
}

}  // namespace

std::string slurm_detail::slurm_words(std::string_view err) {
  std::string_view last;
  for (std::string_view line : split(err, '\n')) {
    if (!line.empty()) {
      last = line;
    }
  }
  for (std::string_view prefix : {"error: ", "fatal: ", "Batch job submission failed: ",
                                  "allocation failure: ", "slurm_load_jobs error: "}) {
    const std::size_t at = last.find(prefix);
    if (at != std::string_view::npos) {
      last.remove_prefix(at + prefix.size());
    }
  }
  return escape_controls(last);
}

SlurmError slurm_detail::blocking_error(std::string_view reason) {
  if (reason == "PartitionNodeLimit" || reason == "PartitionConfig") {
    return {SlurmErrorKind::kTooManyNodes,
            fmt::format("the request is larger than the partition's nodes (pending: {})", reason)};
  }
  if (reason == "PartitionTimeLimit") {
    return {SlurmErrorKind::kBadTime,
            "the time limit is above the partition's (pending: PartitionTimeLimit)"};
  }
  if (reason == "InvalidAccount" || reason == "InvalidQOS") {
    return {SlurmErrorKind::kBadAccount, fmt::format("the job may not run (pending: {})", reason)};
  }
  if (reason == "BadConstraints") {
    return {SlurmErrorKind::kRefused,
            "no node of the partition meets the request (pending: BadConstraints)"};
  }
  return {};
}

bool reason_blocks(std::string_view reason) {
  return bool(slurm_detail::blocking_error(reason));
}

SlurmError classify_error(std::string_view command, std::string_view err, bool timed_out,
                          double seconds) {
  if (timed_out) {
    return {SlurmErrorKind::kNoController,
            fmt::format("{}: no answer from the Slurm controller within {} (is slurmctld "
                        "running, and SLURM_CONF naming its slurm.conf?)",
                        command, seconds_text(seconds))};
  }
  const std::string text = lower(err);
  const std::string words = slurm_words(err);
  if (contains(text, "unable to contact slurm controller")) {
    return {SlurmErrorKind::kNoController,
            fmt::format("{}: no Slurm controller answers (gave up after {}; is slurmctld "
                        "running, and SLURM_CONF naming its slurm.conf?)",
                        command, seconds_text(seconds))};
  }
  if (contains(text, "could not establish a configuration source") ||
      contains(text, "dns srv lookup failed") ||
      contains(text, "unable to process configuration")) {
    return {SlurmErrorKind::kNoConfig,
            fmt::format("{}: no Slurm configuration found (set SLURM_CONF to the cluster's "
                        "slurm.conf)",
                        command)};
  }
  if (contains(text, "invalid partition")) {
    const std::size_t at = text.find("invalid partition specified: ");
    std::string name;
    if (at != std::string::npos) {
      const std::size_t from = at + std::strlen("invalid partition specified: ");
      name = std::string(err.substr(from, err.find('\n', from) - from));
    }
    return {SlurmErrorKind::kUnknownPartition,
            name.empty() ? fmt::format("{}: unknown partition", command)
                         : fmt::format("{}: unknown partition {}", command, shown(name))};
  }
  if (contains(text, "node count specification invalid") ||
      contains(text, "requested node configuration is not available") ||
      contains(text, "more processors requested than permitted")) {
    return {
        SlurmErrorKind::kTooManyNodes,
        fmt::format("{}: the request is larger than the partition's nodes ({})", command, words)};
  }
  if (contains(text, "invalid node name")) {
    return {SlurmErrorKind::kUnknownNode,
            fmt::format("{}: a node of the node list does not exist ({})", command, words)};
  }
  if (contains(text, "invalid account") || contains(text, "invalid qos")) {
    return {SlurmErrorKind::kBadAccount, fmt::format("{}: {}", command, words)};
  }
  if (contains(text, "time limit")) {
    return {SlurmErrorKind::kBadTime, fmt::format("{}: {}", command, words)};
  }
  if (contains(text, "invalid job id")) {
    return {SlurmErrorKind::kUnknownJob,
            fmt::format("{}: the job is not known to the controller (finished long ago, or "
                        "never submitted there)",
                        command)};
  }
  return {SlurmErrorKind::kRefused,
          fmt::format("{}: {}", command, words.empty() ? "failed without a message" : words)};
}

}  // namespace ks::driver
