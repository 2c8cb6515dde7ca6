#include "driver/plan.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "driver/lists.h"

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

// The configurations of one program under the request's lists (its programs aside).
void add_program(std::vector<Config>& configs, const ProgramInfo& p, const SweepRequest& request,
                 std::vector<std::string>& notices) {
  std::vector<std::optional<std::uint64_t>> size_list{std::nullopt};
  if (takes_size(p.arg)) {
    size_list.clear();
    for (std::uint64_t s : program_sizes(p, request.sizes.value_or(std::string(p.default_sizes)),
                                         request.allow_cap, request.memory_limit, notices)) {
      size_list.emplace_back(s);
    }
  } else if (request.sizes) {
    notices.push_back(fmt::format("{} takes no size: --sizes does not apply to it", p.name));
  }
  std::vector<std::optional<long long>> chunk_list{std::nullopt};
  if (takes_chunk(p.arg)) {
    chunk_list.clear();
    for (long long c : program_chunks(p, request.chunks.value_or(std::string(p.default_chunks)))) {
      chunk_list.emplace_back(c);
    }
  }
  std::vector<int> thread_list{0};
  if (p.openmp) {
    const std::string fallback = request.default_threads > 1
                                     ? fmt::format("1,{}", request.default_threads)
                                     : std::string("1");
    try {
      thread_list = parse_threads(request.threads.value_or(fallback));
    } catch (const std::invalid_argument& e) {
      throw UsageError(fmt::format("malformed thread list {}", e.what()));
    }
  }
  std::vector<std::string> schedule_list{""};
  if (p.reads_schedule && request.schedules) {
    try {
      schedule_list = parse_schedules(*request.schedules);
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
          if (p.openmp) {
            c.bind = request.placement.bind;
            c.places = request.placement.places;
          }
          c.repeat = request.repeat;
          c.warmup = request.warmup;
          configs.push_back(std::move(c));
        }
      }
    }
  }
}

}  // namespace

std::vector<Config> plan_sweep(const SweepRequest& request, std::vector<std::string>& notices) {
  if (request.programs.empty()) {
    throw UsageError("no program named (kernelscope list shows the catalogue)");
  }
  if (request.repeat < 1 || request.warmup < 0) {
    throw UsageError("--repeat must be at least 1 and --warmup at least 0");
  }
  std::vector<Config> configs;
  bool any_schedule = false;
  bool any_openmp = false;
  for (const std::string& name : request.programs) {
    const ProgramInfo* p = find_program(name);
    if (p == nullptr) {
      throw UsageError(
          fmt::format("unknown program '{}' (kernelscope list shows the catalogue)", name));
    }
    any_schedule = any_schedule || p->reads_schedule;
    any_openmp = any_openmp || p->openmp;
    add_program(configs, *p, request, notices);
  }
  if (request.schedules && !any_schedule) {
    notices.push_back("--schedules applies to programs that read OMP_SCHEDULE; none is named");
  }
  if (request.placement != Placement{} && !any_openmp) {
    notices.push_back(
        "OMP_PROC_BIND and OMP_PLACES (--bind, --places) apply to the OpenMP programs; none is "
        "named");
  }
  return configs;
}

std::vector<Config> plan_tour(std::vector<std::string>& notices, std::uint64_t memory_limit,
                              double repeat_scale, const Placement& placement) {
  std::vector<Config> configs;
  for (const ProgramInfo& p : catalogue()) {
    auto text = [](std::string_view v) {
      return v.empty() ? std::nullopt : std::optional<std::string>(v);
    };
    SweepRequest request;
    request.sizes = text(p.tour_sizes);
    request.threads = text(p.tour_threads);
    request.schedules = text(p.tour_schedules);
    request.chunks = text(p.tour_chunks);
    request.repeat = std::max(1, static_cast<int>(std::lround(p.tour_repeat * repeat_scale)));
    request.warmup = p.kind == Kind::kBenchmark ? 1 : 0;
    request.memory_limit = memory_limit;
    request.default_threads = 1;
    request.placement = placement;
    add_program(configs, p, request, notices);
  }
  return configs;
}

}  // namespace ks::driver
