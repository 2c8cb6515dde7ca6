// The runs of a result set read in passes instead of held whole: a store's runs come through a
// cursor (store/store_runs.h), a result set made in memory through a view of its vector. A pass
// hands over one run at a time in plan order, or one configuration's runs at a time, each
// record living only during its call, so that what a report holds is bounded by its
// configurations, not by its runs.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "driver/results/results.h"

namespace ks::driver {

// What the reports say of the runs as a whole, gathered in one pass.
struct RunTotals {
  std::size_t runs = 0;
  std::size_t not_valid = 0;
  std::vector<std::size_t> not_valid_of;  // per configuration
  // The first start and the last end of the runs that have a start, seconds since the epoch.
  double first_start = INFINITY;
  double last_end = -INFINITY;
  double wall_seconds = 0;  // the runs' process times added up (those that have one)

  void add(const RunRecord& r);
  // From the first start to the last end; 0 without a run that started.
  double span() const { return last_end >= first_start ? last_end - first_start : 0; }
};

// Which runs a pass hands over, and with what.
struct RunQuery {
  bool not_valid_only = false;   // only the runs whose outcome is not valid
  bool with_output = false;      // with the output kept for a run (RunRecord::result)
  std::vector<bool> configs;     // only the configurations marked here; empty: every one
  std::size_t limit = SIZE_MAX;  // at most this many runs
  bool wants(std::size_t config) const {
    return configs.empty() || (config < configs.size() && configs[config]);
  }
};

class RunSource {
 public:
  virtual ~RunSource() = default;
  virtual const RunTotals& totals() const = 0;
  // Calls `each` with every run the query asks for, in plan order (then by host), with its
  // place among all the source's runs in that order (from 0).
  virtual void each(const RunQuery& query,
                    const std::function<void(std::size_t, const RunRecord&)>& each) const = 0;
  // Calls `each` with each configuration's runs (without their output), one configuration at a
  // time in the configurations' order, each in plan order; a configuration without runs is
  // left out.
  virtual void by_config(
      const std::function<void(std::size_t, std::span<const RunRecord>)>& each) const = 0;
};

// The runs of a vector, which must outlive it.
class MemoryRuns : public RunSource {
 public:
  explicit MemoryRuns(const std::vector<RunRecord>& runs, std::size_t configs = 0);
  const RunTotals& totals() const override { return totals_; }
  void each(const RunQuery& query,
            const std::function<void(std::size_t, const RunRecord&)>& each) const override;
  void by_config(
      const std::function<void(std::size_t, std::span<const RunRecord>)>& each) const override;

 private:
  const std::vector<RunRecord>& runs_;
  RunTotals totals_;
};

// The runs a result set's exporters read: its source when it has one, else its vector.
std::shared_ptr<const RunSource> runs_of(const ResultSet& results);

// What the terminal says of the runs that were not valid: the first few in full ("timeout run
// of LABEL: why"), then how many there were in all when there were more. Empty when every run
// was valid.
std::vector<std::string> bad_run_lines(const ResultSet& results);

}  // namespace ks::driver
