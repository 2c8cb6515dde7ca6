#include "driver/sweep.h"

#include <algorithm>
#include <chrono>
#include <map>

#include <fmt/format.h>

#include "driver/lists.h"
#include "spawn/spawn.h"

namespace ks::driver {
namespace {

bool takes_size(ArgKind a) {
  return a == ArgKind::kSize || a == ArgKind::kSignedSize || a == ArgKind::kCount ||
         a == ArgKind::kCountChunk;
}

bool takes_chunk(ArgKind a) {
  return a == ArgKind::kChunk || a == ArgKind::kCountChunk;
}

std::string gib(double bytes) {
  return fmt::format("{:.1f} GiB", bytes / (1024.0 * 1024 * 1024));
}

// The sizes one program runs, checked against its limits.
std::vector<std::uint64_t> program_sizes(const ProgramInfo& p, const std::string& spec,
                                         bool allow_cap, std::uint64_t memory_limit,
                                         std::vector<std::string>& notices) {
  std::vector<std::uint64_t> sizes;
  try {
    sizes = parse_sizes(spec);
  } catch (const std::invalid_argument& e) {
    throw UsageError(fmt::format("malformed size list {}", e.what()));
  }
  std::vector<std::uint64_t> kept;
  for (std::uint64_t size : sizes) {
    if (size > p.max_size) {
      throw UsageError(fmt::format("{}: size {} is above {}, where its signed argument wraps",
                                   p.name, size, p.max_size));
    }
    if (p.arg == ArgKind::kSignedSize && size < 1) {
      throw UsageError(fmt::format("{}: sizes must be at least 1", p.name));
    }
    std::uint64_t effective = effective_size(p, size);
    if (effective != size) {
      if (!allow_cap) {
        throw UsageError(fmt::format(
            "{}: size {} is above its cap of {}; the program would cap it and run {} (pass "
            "--cap to run it capped)",
            p.name, size, p.cap, p.cap));
      }
      notices.push_back(fmt::format("{}: size {} will be capped to {}", p.name, size, p.cap));
    }
    const double needed = p.footprint(static_cast<double>(effective));
    if (memory_limit != 0 && needed > static_cast<double>(memory_limit)) {
      throw UsageError(fmt::format("{}: size {} needs {} of memory; this machine has {}", p.name,
                                   size, gib(needed), gib(static_cast<double>(memory_limit))));
    }
    const bool repeat = std::any_of(kept.begin(), kept.end(), [&](std::uint64_t k) {
      return effective_size(p, k) == effective;
    });
    if (!repeat) {
      kept.push_back(size);
    }
  }
  return kept;
}

std::vector<long long> program_chunks(const ProgramInfo& p, const std::string& spec) {
  std::vector<long long> chunks;
  try {
    for (std::uint64_t c : parse_list(spec, 2147483647)) {
      if (c < 1) {
        throw UsageError(fmt::format("{}: a chunk must be at least 1", p.name));
      }
      chunks.push_back(static_cast<long long>(c));
    }
  } catch (const std::invalid_argument& e) {
    throw UsageError(fmt::format("malformed chunk list {}", e.what()));
  }
  return chunks;
}

void add_program(std::vector<Config>& configs, const ProgramInfo& p,
                 const std::optional<std::string>& sizes, const std::optional<std::string>& threads,
                 const std::optional<std::string>& schedules,
                 const std::optional<std::string>& chunks, int repeat, int warmup, bool allow_cap,
                 std::uint64_t memory_limit, int default_threads,
                 std::vector<std::string>& notices) {
  std::vector<std::optional<std::uint64_t>> size_list{std::nullopt};
  if (takes_size(p.arg)) {
    size_list.clear();
    for (std::uint64_t s : program_sizes(p, sizes.value_or(std::string(p.default_sizes)), allow_cap,
                                         memory_limit, notices)) {
      size_list.emplace_back(s);
    }
  } else if (sizes) {
    notices.push_back(fmt::format("{} takes no size: --sizes does not apply to it", p.name));
  }
  std::vector<std::optional<long long>> chunk_list{std::nullopt};
  if (takes_chunk(p.arg)) {
    chunk_list.clear();
    for (long long c : program_chunks(p, chunks.value_or(std::string(p.default_chunks)))) {
      chunk_list.emplace_back(c);
    }
  }
  std::vector<int> thread_list{0};
  if (p.openmp) {
    const std::string fallback =
        default_threads > 1 ? fmt::format("1,{}", default_threads) : std::string("1");
    try {
      thread_list = parse_threads(threads.value_or(fallback));
    } catch (const std::invalid_argument& e) {
      throw UsageError(fmt::format("malformed thread list {}", e.what()));
    }
  }
  std::vector<std::string> schedule_list{""};
  if (p.reads_schedule && schedules) {
    try {
      schedule_list = parse_schedules(*schedules);
    } catch (const std::invalid_argument& e) {
      throw UsageError(fmt::format("malformed schedule list {}", e.what()));
    }
  }
  for (const auto& size : size_list) {
    for (const auto& chunk : chunk_list) {
      for (int t : thread_list) {
        for (const std::string& schedule : schedule_list) {
          Config c;
          c.program = &p;
          c.size = size;
          c.chunk = chunk;
          c.threads = t;
          c.schedule = schedule;
          c.repeat = repeat;
          c.warmup = warmup;
          configs.push_back(std::move(c));
        }
      }
    }
  }
}

double now_epoch() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

RunSpec Config::spec() const {
  RunSpec s;
  s.args = program_args(*program, size, chunk);
  s.threads = threads;
  s.schedule = schedule;
  return s;
}

std::optional<std::uint64_t> Config::effective_size() const {
  if (!size) {
    return std::nullopt;
  }
  return ks::driver::effective_size(*program, *size);
}

std::string Config::label() const {
  std::string s(program->name);
  if (size) {
    s += fmt::format(
        " {}={}",
        program->arg == ArgKind::kCount || program->arg == ArgKind::kCountChunk ? "n" : "N",
        size_label(*size));
  }
  if (chunk) {
    s += fmt::format(" chunk={}", *chunk);
  }
  if (threads > 0) {
    s += fmt::format(" T={}", threads);
  }
  if (!schedule.empty()) {
    s += " " + schedule;
  }
  return s;
}

std::vector<Config> plan_sweep(const SweepRequest& request, std::vector<std::string>& notices) {
  if (request.programs.empty()) {
    throw UsageError("no program named (kernelscope list shows the catalogue)");
  }
  if (request.repeat < 1 || request.warmup < 0) {
    throw UsageError("--repeat must be at least 1 and --warmup at least 0");
  }
  std::vector<Config> configs;
  bool any_schedule = false;
  for (const std::string& name : request.programs) {
    const ProgramInfo* p = find_program(name);
    if (p == nullptr) {
      throw UsageError(
          fmt::format("unknown program '{}' (kernelscope list shows the catalogue)", name));
    }
    any_schedule = any_schedule || p->reads_schedule;
    add_program(configs, *p, request.sizes, request.threads, request.schedules, request.chunks,
                request.repeat, request.warmup, request.allow_cap, request.memory_limit,
                request.default_threads, notices);
  }
  if (request.schedules && !any_schedule) {
    notices.push_back("--schedules applies to programs that read OMP_SCHEDULE; none is named");
  }
  return configs;
}

std::vector<Config> plan_tour(std::vector<std::string>& notices, std::uint64_t memory_limit,
                              double repeat_scale) {
  std::vector<Config> configs;
  for (const ProgramInfo& p : catalogue()) {
    auto text = [](std::string_view v) {
      return v.empty() ? std::nullopt : std::optional<std::string>(v);
    };
    const int repeat = std::max(1, static_cast<int>(std::lround(p.tour_repeat * repeat_scale)));
    const int warmup = p.kind == Kind::kBenchmark ? 1 : 0;
    add_program(configs, p, text(p.tour_sizes), text(p.tour_threads), text(p.tour_schedules),
                text(p.tour_chunks), repeat, warmup, false, memory_limit, 1, notices);
  }
  return configs;
}

const char* outcome_name(Outcome o) {
  switch (o) {
    case Outcome::kValid:
      return "valid";
    case Outcome::kInvalid:
      return "invalid";
    case Outcome::kFailed:
      return "failed";
    case Outcome::kTimeout:
      return "timeout";
    case Outcome::kSkipped:
      return "skipped";
  }
  return "?";
}

std::vector<RunRecord> run_interleaved(const std::vector<Config>& configs,
                                       const RunnerOptions& options) {
  int rounds = 0;
  std::size_t total = 0;
  for (const Config& c : configs) {
    rounds = std::max(rounds, c.warmup + c.repeat);
    total += static_cast<std::size_t>(c.warmup + c.repeat);
  }
  std::vector<RunRecord> records;
  records.reserve(total);
  std::vector<bool> timed_out(configs.size(), false);
  std::size_t done = 0;
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t k = 0; k < configs.size(); ++k) {
      const std::size_t index = (k + static_cast<std::size_t>(round)) % configs.size();
      const Config& c = configs[index];
      if (round >= c.warmup + c.repeat) {
        continue;
      }
      RunRecord rec;
      rec.config = index;
      rec.round = round;
      rec.warmup = round < c.warmup;
      rec.started_at = now_epoch();
      if (timed_out[index]) {
        rec.outcome = Outcome::kSkipped;
        rec.why = "skipped after an earlier run of this configuration timed out";
      } else {
        const RunSpec spec = c.spec();
        ks::RunOptions run;
        run.args = spec.args;
        if (spec.threads > 0) {
          run.env["OMP_NUM_THREADS"] = std::to_string(spec.threads);
        }
        if (!spec.schedule.empty()) {
          run.env["OMP_SCHEDULE"] = spec.schedule;
        }
        run.timeout_seconds = options.timeout_seconds;
        const ks::RunResult result =
            ks::run_program(options.bin_dir + "/" + std::string(c.program->name), run);
        rec.wall_seconds = result.wall_seconds;
        rec.exit_status = result.exited ? result.exit_status : -1;
        rec.signal = result.term_signal;
        if (result.timed_out) {
          rec.outcome = Outcome::kTimeout;
          rec.why = result.describe();
          timed_out[index] = true;
        } else if (!result.ok() && !c.program->check) {
          rec.outcome = Outcome::kFailed;
          rec.why = result.describe();
        } else {
          const Check check = c.program->check(spec, result);
          rec.printed_seconds = check.printed_seconds;
          rec.outcome =
              check.valid ? Outcome::kValid : (result.ok() ? Outcome::kInvalid : Outcome::kFailed);
          rec.why = check.why;
        }
        if (options.keep_demonstration_output && c.program->kind == Kind::kDemonstration) {
          rec.result = result;
        }
      }
      records.push_back(std::move(rec));
      ++done;
      if (options.on_run) {
        options.on_run(done, total, c.label());
      }
    }
  }
  return records;
}

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
