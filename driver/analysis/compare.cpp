// Two stores compared: each side read and summarised, the configurations measured on both
// matched, and each pair's verdict.
#include "driver/analysis/compare.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>

#include <fmt/format.h>

#include "driver/analysis/summary.h"
#include "driver/base/files.h"
#include "driver/run/machine.h"
#include "driver/store/store.h"

namespace ks::driver {
namespace {

// What makes two configurations the same measurement on either side.
std::string match_key(const Config& c) {
  const auto n = c.effective_size();
  return fmt::format("{}|{}|{}|{}|{}", c.program->name, n ? std::to_string(*n) : "-",
                     c.chunk ? std::to_string(*c.chunk) : "-", c.threads, c.schedule);
}

// From the U test's count of pairs where the new run is the slower (the test takes the new
// sample first; ties count half): slower pairs less faster ones, over all pairs.
std::optional<double> cliffs_delta(const Comparison& c, std::size_t n_base, std::size_t n_new) {
  if (!c.test || n_base == 0 || n_new == 0) {
    return std::nullopt;
  }
  const double pairs = static_cast<double>(n_base) * static_cast<double>(n_new);
  return 2 * c.test->u / pairs - 1;
}

}  // namespace

std::string ComparedConfig::verdict() const {
  if (below_resolution) {
    return "below resolution";
  }
  if (negligible) {
    return "no practical change";
  }
  return std::string(change_name(comparison.change));
}

ResultSet result_set_of(const StoreContents& contents) {
  ResultSet r;
  r.command = contents.command;
  r.context = contents.context;
  r.configs = contents.plan.configs;
  r.runs = contents.records();
  r.summary = summarize_runs(r.configs, r.runs, context_clock_step(machine_of(r)));
  return r;
}

CompareSide read_side(const std::string& path) {
  struct stat st {};
  const bool dir = ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  CompareSide side;
  side.path = dir ? path + "/" + std::string(kStoreFile) : path;
  if (::stat(side.path.c_str(), &st) != 0) {
    throw UsageError(fmt::format(
        "no store at {} (give the output folder of a sweep or a tour, or its results.db)",
        side.path));
  }
  try {
    const StoreContents contents = Store::load_untouched(side.path);
    side.results = result_set_of(contents);
    for (const auto& [host, context] : contents.machines) {
      side.hosts.push_back(host);
    }
  } catch (const StoreError& e) {
    throw UsageError(e.what());
  }
  return side;
}

double parse_threshold(const std::string& text) {
  return parse_percent(text, "--threshold", "how much slower fails");
}

double parse_percent(const std::string& text, std::string_view option, std::string_view meaning) {
  std::string number = text;
  if (!number.empty() && number.back() == '%') {
    number.pop_back();
  }
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(number.c_str(), &end);
  if (number.empty() || end != number.c_str() + number.size() || errno != 0 ||
      !std::isfinite(value) || value < 0 || number.find_first_of("xXpPnN") != std::string::npos) {
    throw UsageError(
        fmt::format("{} '{}' is not a percentage: give {}, as 5% or 0.5%", option, text, meaning));
  }
  return value / 100;
}

CompareResult compare_results(const ResultSet& base, const ResultSet& fresh,
                              std::optional<double> threshold, double min_effect) {
  CompareResult result;
  result.threshold = threshold;
  result.min_effect = min_effect;
  std::map<std::string, std::size_t> new_rows;
  for (const SummaryRow& row : fresh.summary) {
    new_rows.emplace(match_key(fresh.configs[row.config]), row.config);
  }
  std::map<std::string, bool> matched;
  for (const SummaryRow& row : base.summary) {
    const Config& c = base.configs[row.config];
    const std::string key = match_key(c);
    const auto it = new_rows.find(key);
    if (it == new_rows.end()) {
      result.only_base.push_back(c.label());
      continue;
    }
    if (matched[key]) {
      continue;  // the same measurement twice in the base: the first speaks for it
    }
    matched[key] = true;
    ComparedConfig cc;
    cc.label = c.label();
    cc.base = row.config;
    cc.fresh = it->second;
    const SummaryRow& other = fresh.summary[it->second];
    cc.below_resolution = row.below_resolution || other.below_resolution;
    if (!cc.below_resolution) {
      cc.comparison = compare_samples(row.values, other.values);
      cc.delta = cliffs_delta(cc.comparison, row.values.size(), other.values.size());
      const Change change = cc.comparison.change;
      const std::optional<double>& ratio = cc.comparison.ratio.value;
      cc.negligible = (change == Change::kFaster || change == Change::kSlower) && ratio &&
                      std::abs(*ratio - 1) < min_effect;
      cc.beyond_threshold = threshold && significantly_slower(cc.comparison, *threshold);
      result.regressed = result.regressed || cc.beyond_threshold;
    }
    result.configs.push_back(std::move(cc));
  }
  for (const SummaryRow& row : fresh.summary) {
    const Config& c = fresh.configs[row.config];
    if (matched.count(match_key(c)) == 0) {
      result.only_new.push_back(c.label());
    }
  }
  return result;
}

}  // namespace ks::driver
