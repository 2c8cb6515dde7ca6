#include "driver/plan/plan.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

#include <fmt/format.h>

#include "driver/plan/lists.h"

namespace ks::driver {
namespace {

// A word that parses as a size list: "8M" after "--sizes 1M" was meant as one more size.
bool reads_as_size(const std::string& word) {
  try {
    (void)parse_sizes(word);
    return !word.empty() && word.find_first_of("0123456789") == 0;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

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

}  // namespace

void check_size(const ProgramInfo& p, std::uint64_t size, bool allow_cap,
                std::uint64_t memory_limit, std::vector<std::string>& notices) {
  if (size > p.max_size) {
    throw UsageError(fmt::format("{}: size {} is above {}, where its signed argument wraps", p.name,
                                 size, p.max_size));
  }
  if (p.arg == ArgKind::kSignedSize && size < 1) {
    throw UsageError(fmt::format("{}: sizes must be at least 1", p.name));
  }
  if (size == 0 && p.kind == Kind::kBenchmark) {
    notices.push_back(fmt::format(
        "{}: at size 0 its kernel has nothing to do, so nothing is timed but the clock itself",
        p.name));
  }
  const std::uint64_t effective = effective_size(p, size);
  if (effective != size) {
    if (!allow_cap) {
      throw UsageError(
          fmt::format("{}: size {} is above its cap of {}; the program would cap it and run {} "
                      "(pass --cap to run it capped)",
                      p.name, size, p.cap, p.cap));
    }
    notices.push_back(fmt::format("{}: size {} will be capped to {}", p.name, size, p.cap));
  }
  const double needed = p.footprint(static_cast<double>(effective));
  if (memory_limit != 0 && needed > static_cast<double>(memory_limit)) {
    throw UsageError(fmt::format("{}: size {} needs {} of memory; this machine has {}", p.name,
                                 size, gib(needed), gib(static_cast<double>(memory_limit))));
  }
}

namespace {

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
  std::unordered_set<std::uint64_t> effective_kept;
  std::size_t capped = 0;
  for (std::uint64_t size : sizes) {
    // A notice for the first few sizes capped and one for the rest, not one per size.
    std::vector<std::string> own;
    check_size(p, size, allow_cap, memory_limit, own);
    capped += own.size();
    if (capped <= 3) {
      notices.insert(notices.end(), own.begin(), own.end());
    }
    if (effective_kept.insert(effective_size(p, size)).second) {
      kept.push_back(size);
    }
  }
  if (capped > 3) {
    notices.push_back(
        fmt::format("{}: {} more sizes will be capped to {}", p.name, capped - 3, p.cap));
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

// One program's lists under a request (its programs aside), checked.
struct ProgramLists {
  const ProgramInfo* program = nullptr;
  std::vector<std::optional<std::uint64_t>> sizes{std::nullopt};
  std::vector<std::optional<long long>> chunks{std::nullopt};
  std::vector<int> threads{0};
  std::vector<std::string> schedules{""};
  int repeat = 1;
  int warmup = 0;
  Placement placement;

  // Its configurations and runs, saturated at UINT64_MAX.
  std::uint64_t configs() const {
    std::uint64_t n = 1;
    for (std::size_t k : {sizes.size(), chunks.size(), threads.size(), schedules.size()}) {
      n = k != 0 && n > UINT64_MAX / k ? UINT64_MAX : n * k;
    }
    return n;
  }
  std::uint64_t runs() const {
    const auto per = static_cast<std::uint64_t>(repeat) + static_cast<std::uint64_t>(warmup);
    const std::uint64_t n = configs();
    return per != 0 && n > UINT64_MAX / per ? UINT64_MAX : n * per;
  }
};

ProgramLists program_lists(const ProgramInfo& p, const SweepRequest& request,
                           std::vector<std::string>& notices) {
  ProgramLists lists;
  lists.program = &p;
  lists.repeat = request.repeat;
  lists.warmup = request.warmup;
  lists.placement = request.placement;
  if (takes_size(p.arg)) {
    lists.sizes.clear();
    for (std::uint64_t s : program_sizes(p, request.sizes.value_or(std::string(p.default_sizes)),
                                         request.allow_cap, request.memory_limit, notices)) {
      lists.sizes.emplace_back(s);
    }
  } else if (request.sizes) {
    notices.push_back(fmt::format("{} takes no size: --sizes does not apply to it", p.name));
  }
  if (!takes_chunk(p.arg) && request.chunks) {
    notices.push_back(fmt::format("{} takes no chunk: --chunks does not apply to it", p.name));
  }
  if (!p.openmp && request.threads) {
    notices.push_back(
        fmt::format("{} runs without OpenMP: --threads does not apply to it", p.name));
  }
  if (!p.reads_schedule && request.schedules) {
    notices.push_back(
        fmt::format("{} does not read OMP_SCHEDULE: --schedules does not apply to it", p.name));
  }
  if (takes_chunk(p.arg)) {
    lists.chunks.clear();
    for (long long c : program_chunks(p, request.chunks.value_or(std::string(p.default_chunks)))) {
      lists.chunks.emplace_back(c);
    }
  }
  if (p.openmp) {
    const std::string fallback = request.default_threads > 1
                                     ? fmt::format("1,{}", request.default_threads)
                                     : std::string("1");
    try {
      lists.threads = parse_threads(request.threads.value_or(fallback));
    } catch (const std::invalid_argument& e) {
      throw UsageError(fmt::format("malformed thread list {}", e.what()));
    }
  }
  if (p.reads_schedule && request.schedules) {
    try {
      lists.schedules = parse_schedules(*request.schedules);
    } catch (const std::invalid_argument& e) {
      throw UsageError(fmt::format("malformed schedule list {}", e.what()));
    }
  }
  return lists;
}

// Refuses a plan above the limit, before any of it is made.
void check_plan_size(const std::vector<ProgramLists>& programs) {
  std::uint64_t runs = 0;
  std::uint64_t configs = 0;
  for (const ProgramLists& p : programs) {
    runs = runs > UINT64_MAX - p.runs() ? UINT64_MAX : runs + p.runs();
    configs = configs > UINT64_MAX - p.configs() ? UINT64_MAX : configs + p.configs();
  }
  if (runs > kMaxPlannedRuns) {
    throw UsageError(fmt::format(
        "the plan holds {} runs ({} configurations); kernelscope plans at most {} (fewer sizes, "
        "team sizes, schedules, chunks or repetitions)",
        runs == UINT64_MAX ? std::string("more than 18446744073709551615") : std::to_string(runs),
        configs == UINT64_MAX ? std::string("too many") : std::to_string(configs),
        kMaxPlannedRuns));
  }
}

// The configurations of one program: its lists crossed.
void add_program(std::vector<Config>& configs, const ProgramLists& lists) {
  for (const auto& size : lists.sizes) {
    for (const auto& chunk : lists.chunks) {
      for (int t : lists.threads) {
        for (const std::string& schedule : lists.schedules) {
          Config c;
          c.program = lists.program;
          c.size = size;
          c.chunk = chunk;
          c.threads = t;
          c.schedule = schedule;
          if (lists.program->openmp) {
            c.bind = lists.placement.bind;
            c.places = lists.placement.places;
          }
          c.repeat = lists.repeat;
          c.warmup = lists.warmup;
          configs.push_back(std::move(c));
        }
      }
    }
  }
}

std::vector<Config> make_configs(const std::vector<ProgramLists>& programs) {
  check_plan_size(programs);
  std::size_t n = 0;
  for (const ProgramLists& p : programs) {
    n += static_cast<std::size_t>(p.configs());
  }
  std::vector<Config> configs;
  configs.reserve(n);
  for (const ProgramLists& p : programs) {
    add_program(configs, p);
  }
  return configs;
}

}  // namespace

std::vector<Config> plan_sweep(const SweepRequest& request, std::vector<std::string>& notices) {
  if (request.programs.empty()) {
    throw UsageError("no program named (kernelscope list shows the catalogue)");
  }
  if (request.repeat < 1 || static_cast<std::uint64_t>(request.repeat) > kMaxPlannedRuns) {
    throw UsageError(
        fmt::format("--repeat {}: must be between 1 and {} (the most runs a plan holds)",
                    request.repeat, kMaxPlannedRuns));
  }
  if (request.warmup < 0 || static_cast<std::uint64_t>(request.warmup) >= kMaxPlannedRuns) {
    throw UsageError(
        fmt::format("--warmup {}: must be between 0 and {}", request.warmup, kMaxPlannedRuns - 1));
  }
  // Every list given is read first, whichever programs it applies to: a malformed or empty
  // one is refused even where it would only earn a notice.
  auto read = [](const std::optional<std::string>& text, const char* what, auto parse) {
    if (text) {
      try {
        parse(*text);
      } catch (const std::invalid_argument& e) {
        throw UsageError(fmt::format("malformed {} list {}", what, e.what()));
      }
    }
  };
  read(request.sizes, "size", parse_sizes);
  read(request.threads, "thread", parse_threads);
  read(request.schedules, "schedule", parse_schedules);
  read(request.chunks, "chunk", [](std::string_view t) { return parse_list(t, 2147483647); });
  std::vector<ProgramLists> programs;
  std::vector<const ProgramInfo*> named;
  bool any_openmp = false;
  for (const std::string& name : request.programs) {
    const ProgramInfo* p = find_program(name);
    if (p == nullptr) {
      if (reads_as_size(name)) {
        throw UsageError(fmt::format(
            "unknown program '{}': it reads as a size, and a size list is comma-separated "
            "(--sizes 1M,8M)",
            name));
      }
      throw UsageError(unknown_program(name));
    }
    if (std::find(named.begin(), named.end(), p) != named.end()) {
      const std::string notice = fmt::format("{} is named more than once: it runs once", name);
      if (std::find(notices.begin(), notices.end(), notice) == notices.end()) {
        notices.push_back(notice);
      }
      continue;
    }
    named.push_back(p);
    any_openmp = any_openmp || p->openmp;
    programs.push_back(program_lists(*p, request, notices));
  }
  if (request.placement != Placement{} && !any_openmp) {
    notices.push_back(
        "OMP_PROC_BIND and OMP_PLACES (--bind, --places) apply to the OpenMP programs; none is "
        "named");
  }
  return make_configs(programs);
}

std::vector<Config> plan_tour(std::vector<std::string>& notices, std::uint64_t memory_limit,
                              double repeat_scale, const Placement& placement) {
  std::vector<ProgramLists> programs;
  for (const ProgramInfo& p : catalogue()) {
    auto text = [](std::string_view v) {
      return v.empty() ? std::nullopt : std::optional<std::string>(v);
    };
    SweepRequest request;
    request.sizes = text(p.tour_sizes);
    request.threads = text(p.tour_threads);
    request.schedules = text(p.tour_schedules);
    request.chunks = text(p.tour_chunks);
    // However quick the look, a benchmark keeps three runs: the least that gives its median an
    // interval (at 75 %).
    request.repeat = std::max(p.kind == Kind::kBenchmark ? std::min(3, p.tour_repeat) : 1,
                              static_cast<int>(std::lround(p.tour_repeat * repeat_scale)));
    request.warmup = p.kind == Kind::kBenchmark ? 1 : 0;
    request.memory_limit = memory_limit;
    request.default_threads = 1;
    request.placement = placement;
    programs.push_back(program_lists(p, request, notices));
  }
  return make_configs(programs);
}

Plan interleaved_plan(std::vector<Config> configs) {
  Plan plan;
  plan.configs = std::move(configs);
  const std::size_t n = plan.configs.size();
  auto runs_of = [&](std::size_t i) { return plan.configs[i].warmup + plan.configs[i].repeat; };
  int rounds = 0;
  std::size_t total = 0;
  for (std::size_t i = 0; i < n; ++i) {
    rounds = std::max(rounds, runs_of(i));
    total += static_cast<std::size_t>(std::max(0, runs_of(i)));
  }
  plan.runs.reserve(total);
  // Round r runs the configurations that still have runs, from index r mod n on, wrapping
  // around. Only those are visited, so the time is linear in the runs planned.
  std::vector<std::size_t> active;
  for (std::size_t i = 0; i < n; ++i) {
    if (runs_of(i) > 0) {
      active.push_back(i);
    }
  }
  for (int round = 0; round < rounds; ++round) {
    const auto first = static_cast<std::size_t>(
        std::lower_bound(active.begin(), active.end(), static_cast<std::size_t>(round) % n) -
        active.begin());
    for (std::size_t k = 0; k < active.size(); ++k) {
      const std::size_t index = active[(first + k) % active.size()];
      const bool warmup = round < plan.configs[index].warmup;
      plan.runs.push_back(
          {index, round, warmup ? round : round - plan.configs[index].warmup, warmup});
    }
    std::erase_if(active, [&](std::size_t i) { return runs_of(i) <= round + 1; });
  }
  return plan;
}

}  // namespace ks::driver
