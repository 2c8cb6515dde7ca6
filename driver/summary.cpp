#include "driver/summary.h"

#include <cmath>
#include <optional>

namespace ks::driver {

std::vector<SummaryRow> summarize_runs(const std::vector<Config>& configs,
                                       const std::vector<RunRecord>& runs) {
  std::vector<SummaryRow> rows(configs.size());
  std::vector<std::vector<double>> values(configs.size());
  for (std::size_t i = 0; i < configs.size(); ++i) {
    rows[i].config = i;
    rows[i].printed_time = !configs[i].program->time_line.empty();
  }
  for (const RunRecord& r : runs) {
    if (r.warmup || r.outcome == Outcome::kSkipped) {
      continue;
    }
    SummaryRow& row = rows[r.config];
    ++row.runs;
    if (r.outcome != Outcome::kValid) {
      continue;
    }
    ++row.valid;
    values[r.config].push_back(row.printed_time ? r.printed_seconds.value_or(NAN) : r.wall_seconds);
  }
  for (std::size_t i = 0; i < configs.size(); ++i) {
    SummaryRow& row = rows[i];
    row.stats = summarize(values[i]);
    row.noisy = row.stats.count >= 3 && (row.stats.max > 2 * row.stats.median ||
                                         row.stats.stddev > 0.25 * row.stats.median);
    const Config& c = configs[i];
    const double n = static_cast<double>(c.effective_size().value_or(0));
    if (row.stats.count > 0 && row.stats.median > 0 && row.printed_time) {
      const double bytes = c.program->bytes(n);
      const double ops = c.program->ops(n);
      if (bytes > 0) {
        row.gb_per_s = bytes / row.stats.median / 1e9;
      }
      if (ops > 0) {
        row.gops_per_s = ops / row.stats.median / 1e9;
      }
    }
  }
  // Speedups: against the same program on one thread when it was measured, else against the
  // family's sequential baseline at the same size.
  auto median_of = [&](auto&& match) -> std::optional<std::size_t> {
    for (std::size_t j = 0; j < configs.size(); ++j) {
      if (match(configs[j]) && rows[j].stats.count > 0 && rows[j].stats.median > 0) {
        return j;
      }
    }
    return std::nullopt;
  };
  for (std::size_t i = 0; i < configs.size(); ++i) {
    const Config& c = configs[i];
    if (!rows[i].printed_time || rows[i].stats.count == 0) {
      continue;
    }
    std::optional<std::size_t> base;
    if (c.program->openmp) {
      base = median_of([&](const Config& o) {
        return o.program == c.program && o.threads == 1 && o.schedule == c.schedule &&
               o.effective_size() == c.effective_size() && o.chunk == c.chunk;
      });
    }
    if (!base && !c.program->baseline.empty()) {
      base = median_of([&](const Config& o) {
        return o.program->name == c.program->baseline && o.effective_size() == c.effective_size();
      });
    }
    if (base) {
      rows[i].speedup = rows[*base].stats.median / rows[i].stats.median;
      rows[i].speedup_vs = configs[*base].label();
    }
  }
  return rows;
}

}  // namespace ks::driver
