// A store's runs as a RunSource: read from results.db in passes, one run or one
// configuration's runs at a time, never all at once.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "driver/results/run_source.h"
#include "driver/store/store.h"

namespace ks::driver {

class StoreRuns : public RunSource {
 public:
  // The runs of `store` (`host`: only that host's), which stays open while this lives.
  explicit StoreRuns(std::shared_ptr<Store> store, std::optional<std::string> host = std::nullopt);
  const RunTotals& totals() const override;
  void each(const RunQuery& query,
            const std::function<void(std::size_t, const RunRecord&)>& each) const override;
  void by_config(
      const std::function<void(std::size_t, std::span<const RunRecord>)>& each) const override;

 private:
  std::shared_ptr<Store> store_;
  std::optional<std::string> host_;
  mutable std::optional<RunTotals> totals_;  // gathered at the first call
};

}  // namespace ks::driver
