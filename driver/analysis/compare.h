// Comparing two result sets, a base and a new one (two stores: two sweeps, two builds, two
// machines): for every configuration in both, the ratio of the new median to the base's with
// its interval, the Mann-Whitney U test and a verdict; the configurations found on one side
// only; and whether any is slower beyond a threshold, for a CI job to gate on.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver/results/inference.h"
#include "driver/results/results.h"

namespace ks::driver {

// One side of a comparison: the store it was read from and what it holds, summarised.
struct CompareSide {
  std::string path;  // the store file
  ResultSet results;
  std::vector<std::string> hosts;  // the machines whose runs it holds
};

// Reads DIR/results.db, or the store file given; throws UsageError with one line when there is
// no store there or it cannot be read.
CompareSide read_side(const std::string& path);

// The summary of a store's contents as a sweep would have made it.
ResultSet result_set_of(const struct StoreContents& contents);

struct ComparedConfig {
  std::string label;  // the configuration, as the base labels it
  std::size_t base;   // its row in the base's summary
  std::size_t fresh;  // its row in the new one's
  Comparison comparison;
  // Cliff's delta of the two sides' runs: the share of pairs (base run, new run) where the new
  // one is slower minus the share where it is faster, from -1 (every new run faster) to 1.
  std::optional<double> delta;
  bool below_resolution = false;  // either side: no verdict from rounding
  bool negligible = false;        // significant, but the ratio within the minimum effect of 1
  bool beyond_threshold = false;  // significantly slower by more than the threshold
  std::string verdict() const;    // "slower", "faster", "no practical change", ...
};

struct CompareResult {
  std::vector<ComparedConfig> configs;  // in the base's order
  std::vector<std::string> only_base;   // labels
  std::vector<std::string> only_new;
  std::optional<double> threshold;  // 0.05 for 5 %
  double min_effect = 0;            // 0.02 for 2 %
  bool regressed = false;           // some configuration is beyond the threshold
};

// The least change in the median worth a verdict of faster or slower, by default: a smaller
// one, however significant, is no practical change (two sweeps of one build drift by that).
inline constexpr double kDefaultMinEffect = 0.02;

// Configurations match when program, size as run, chunk, team size and schedule agree (the
// placement may differ: comparing placements is a use of this). A significant difference whose
// ratio of medians lies within `min_effect` of 1 is negligible.
CompareResult compare_results(const ResultSet& base, const ResultSet& fresh,
                              std::optional<double> threshold,
                              double min_effect = kDefaultMinEffect);

// "5%" or "5" (percent), "0.5%"; throws UsageError unless a finite percentage from 0 up, the
// message naming `option` (--threshold, --min-effect) and what it means.
double parse_percent(const std::string& text, std::string_view option, std::string_view meaning);
double parse_threshold(const std::string& text);

}  // namespace ks::driver
