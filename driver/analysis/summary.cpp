#include "driver/analysis/summary.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include <fmt/format.h>

#include "driver/base/text.h"
#include "driver/plan/lists.h"
#include "driver/results/run_source.h"

namespace ks::driver {
namespace {

double median_of_sorted(const std::vector<double>& v) {
  if (v.empty()) {
    return NAN;
  }
  const std::size_t mid = v.size() / 2;
  return v.size() % 2 == 1 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

// What to change so that the time rises above resolution. The kernel's work grows as n^power
// (its cost model); a median printed as 0 is taken as half a step, so the size given is a lower
// bound.
std::string resolution_hint(const Config& c, const SummaryRow& row) {
  const double threshold = kResolutionSteps * row.time_step;
  const std::string what = fmt::format("below {} ({} steps of {})", human_seconds(threshold),
                                       kResolutionSteps, human_seconds(row.time_step));
  const auto n = c.effective_size();
  const int power = std::max(c.program->ops.power, c.program->bytes.power);
  if (!n || *n == 0 || power == 0) {
    return what;
  }
  const double median = std::max(row.stats.median, row.time_step / 2);
  const double needed =
      static_cast<double>(*n) * std::pow(threshold / median, 1.0 / static_cast<double>(power));
  std::uint64_t size = 1;
  while (static_cast<double>(size) < needed && size < (std::uint64_t{1} << 62)) {
    size *= 2;
  }
  const std::uint64_t largest = c.program->cap != 0 ? c.program->cap : c.program->max_size;
  if (largest != 0 && size > largest) {
    return what + fmt::format(": even the largest size ({}) may not be enough", largest);
  }
  return what + fmt::format(": try N >= {}", size_label(size));
}

}  // namespace

std::optional<double> context_clock_step(const MachineContext& context) {
  if (context.clock_resolution_seconds) {
    return context.clock_resolution_seconds;
  }
  return clock_resolution();
}

namespace {

// One configuration's row from its runs (any order), but for the speedup, which compares rows.
void summarize_config(const Config& c, std::span<const RunRecord> runs,
                      std::optional<double> clock_step, SummaryRow& row) {
  std::vector<double> walls;
  for (const RunRecord& r : runs) {
    if (r.warmup) {
      continue;
    }
    ++row.runs;  // a skipped run was planned and measured nothing: 0/3, not 0/0
    if (r.outcome != Outcome::kValid) {
      continue;
    }
    ++row.valid;
    const double v = row.printed_time ? r.printed_seconds.value_or(NAN) : r.wall_seconds;
    if (std::isfinite(v)) {
      row.values.push_back(v);
    }
    if (std::isfinite(r.wall_seconds)) {
      walls.push_back(r.wall_seconds);
    }
  }
  std::sort(row.values.begin(), row.values.end());
  std::sort(walls.begin(), walls.end());
  row.stats = summarize(row.values);
  row.sample = summarize_sample(row.values);
  row.noisy = row.sample.noisy;
  row.process_median = median_of_sorted(walls);
  const std::optional<double> printed = row.printed_time ? printed_step(*c.program) : std::nullopt;
  row.time_step = std::max(printed.value_or(0), clock_step.value_or(0));
  if (row.stats.count == 0) {
    return;
  }
  row.below_resolution = below_resolution(row.stats.median, printed, clock_step);
  if (row.below_resolution) {
    row.hint = resolution_hint(c, row);
    return;
  }
  if (row.printed_time) {
    const double n = static_cast<double>(c.effective_size().value_or(0));
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

void add_speedups(const std::vector<Config>& configs, std::vector<SummaryRow>& rows);

}  // namespace

std::vector<SummaryRow> summarize_runs(const std::vector<Config>& configs,
                                       const std::vector<RunRecord>& runs,
                                       std::optional<double> clock_step) {
  return summarize_runs(configs, MemoryRuns(runs, configs.size()), clock_step);
}

std::vector<SummaryRow> summarize_runs(
    const std::vector<Config>& configs, const RunSource& runs, std::optional<double> clock_step,
    const std::function<void(std::size_t, std::span<const RunRecord>, SummaryRow&)>& also) {
  if (!clock_step) {
    clock_step = clock_resolution();
  }
  std::vector<SummaryRow> rows(configs.size());
  for (std::size_t i = 0; i < configs.size(); ++i) {
    rows[i].config = i;
    rows[i].printed_time = !configs[i].program->time_line.empty();
  }
  std::vector<bool> done(configs.size(), false);
  runs.by_config([&](std::size_t i, std::span<const RunRecord> of_config) {
    if (i >= configs.size()) {
      return;
    }
    done[i] = true;
    summarize_config(configs[i], of_config, clock_step, rows[i]);
    if (also) {
      also(i, of_config, rows[i]);
    }
  });
  for (std::size_t i = 0; i < configs.size(); ++i) {
    if (!done[i]) {
      summarize_config(configs[i], {}, clock_step, rows[i]);
      if (also) {
        also(i, {}, rows[i]);
      }
    }
  }
  add_speedups(configs, rows);
  return rows;
}

namespace {

void add_speedups(const std::vector<Config>& configs, std::vector<SummaryRow>& rows) {
  // Speedups: against the same program on one thread when it was measured, else against the
  // family's sequential baseline at the same size. Never from a time below resolution.
  auto measured = [&](auto&& match) -> std::optional<std::size_t> {
    for (std::size_t j = 0; j < configs.size(); ++j) {
      if (match(configs[j]) && rows[j].stats.count > 0) {
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
      base = measured([&](const Config& o) {
        return o.program == c.program && o.threads == 1 && o.schedule == c.schedule &&
               o.effective_size() == c.effective_size() && o.chunk == c.chunk;
      });
    }
    if (!base && !c.program->baseline.empty()) {
      base = measured([&](const Config& o) {
        return o.program->name == c.program->baseline && o.effective_size() == c.effective_size();
      });
    }
    if (!base || rows[i].below_resolution || rows[*base].below_resolution) {
      continue;
    }
    if (*base == i) {
      rows[i].speedup.value = 1.0;
      rows[i].speedup.confidence = 1.0;
    } else {
      rows[i].speedup = ratio_interval(rows[*base].values, rows[i].values);
    }
    rows[i].speedup_vs = configs[*base].label();
  }
}

}  // namespace

std::vector<Ranking> rank_variants(const std::vector<Config>& configs,
                                   const std::vector<SummaryRow>& rows) {
  std::vector<std::string> keys;
  std::vector<std::vector<std::size_t>> members;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Config& c = configs[rows[i].config];
    if (c.program->kind != Kind::kBenchmark || rows[i].stats.count == 0 ||
        rows[i].below_resolution) {
      continue;
    }
    std::string key(c.program->family);
    if (const auto n = c.effective_size()) {
      key += " N=" + size_label(*n);
    }
    if (c.chunk) {
      key += fmt::format(" chunk={}", *c.chunk);
    }
    const auto at = std::find(keys.begin(), keys.end(), key);
    if (at == keys.end()) {
      keys.push_back(key);
      members.push_back({i});
    } else {
      members[static_cast<std::size_t>(at - keys.begin())].push_back(i);
    }
  }
  std::vector<Ranking> rankings;
  for (std::size_t g = 0; g < keys.size(); ++g) {
    std::vector<std::size_t>& m = members[g];
    if (m.size() < 2) {
      continue;
    }
    std::stable_sort(m.begin(), m.end(), [&](std::size_t a, std::size_t b) {
      return rows[a].stats.median < rows[b].stats.median;
    });
    Ranking r{keys[g], m[0], {}};
    for (std::size_t k = 1; k < m.size(); ++k) {
      r.others.emplace_back(m[k], ratio_interval(rows[m[k]].values, rows[m[0]].values));
    }
    rankings.push_back(std::move(r));
  }
  return rankings;
}

}  // namespace ks::driver
