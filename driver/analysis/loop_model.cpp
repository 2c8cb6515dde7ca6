#include "driver/analysis/loop_model.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

#include <fmt/format.h>

#include "driver/analysis/model.h"
#include "loopmodel/ecm.h"
#include "loopmodel/layers.h"

namespace ks::driver {
namespace lm = ks::loopmodel;

std::map<std::string, lm::BinaryAnalysis> context_loops(
    const MachineContext& context, std::map<std::string, std::string>* errors) {
  std::map<std::string, lm::BinaryAnalysis> out;
  if (!context.loops.is_object()) {
    return out;
  }
  for (const auto& [program, value] : context.loops.items()) {
    std::string why;
    if (value.is_object() && value.contains("error")) {
      why = value["error"].is_string() ? value["error"].get<std::string>() : "no analysis";
    } else {
      try {
        out.emplace(program, lm::analysis_from_json(value));
        continue;
      } catch (const std::exception& e) {
        why = e.what();
      }
    }
    if (errors != nullptr) {
      (*errors)[program] = why;
    }
  }
  return out;
}

lm::Latencies probe_latencies(const Ceilings& ceilings) {
  lm::Latencies l;
  l.fp64_add = ceilings.latency("fp64_add");
  l.fp64_mul = ceilings.latency("fp64_mul");
  l.int_add = ceilings.latency("int32_add");
  if (const std::optional<double> round_trip = ceilings.latency("store_load")) {
    l.store_forward = std::max(0.0, *round_trip - l.int_add.value_or(1.0));
  }
  return l;
}

double vector_lanes(const lm::Loop& loop, double element_bytes) {
  // A scalar loaded and copied into every lane: each lane works on it for another iteration
  // of the loop outside (packing different elements into lanes is the loop's own work).
  const bool broadcasts = std::any_of(loop.body.begin(), loop.body.end(), [](const auto& in) {
    return (in.mnemonic.ends_with("pshufd") && in.operands.starts_with("$0x0,")) ||
           in.mnemonic.find("broadcast") != std::string::npos || in.mnemonic.ends_with("movddup");
  });
  if (!broadcasts) {
    return 1;
  }
  double widest = 0;
  for (const lm::Instruction& in : loop.body) {
    std::string_view m = in.mnemonic;
    if (m.starts_with("v")) {
      m.remove_prefix(1);  // the same operation in its three-operand form
    }
    const bool arithmetic = m.find("add") != std::string_view::npos ||
                            m.find("sub") != std::string_view::npos ||
                            m.find("mul") != std::string_view::npos;
    const bool packed = m.starts_with("p") || m.ends_with("pd") || m.ends_with("ps");
    if (!arithmetic || !packed) {
      continue;
    }
    if (in.operands.find("%zmm") != std::string::npos) {
      widest = std::max(widest, 64.0);
    } else if (in.operands.find("%ymm") != std::string::npos) {
      widest = std::max(widest, 32.0);
    } else if (in.operands.find("%xmm") != std::string::npos) {
      widest = std::max(widest, 16.0);
    }
  }
  return element_bytes > 0 && widest > element_bytes ? widest / element_bytes : 1;
}

double iterations_per_compiled(const lm::Loop& loop, double step_bytes, double element_bytes) {
  double shortest = std::numeric_limits<double>::infinity();
  for (const lm::Access& a : lm::accesses(loop)) {
    if (a.load && a.advance && *a.advance != 0) {
      shortest = std::min(shortest, std::abs(static_cast<double>(*a.advance)));
    }
  }
  const double by_loads = std::isfinite(shortest) && step_bytes > 0
                              ? std::max(1.0, std::round(shortest / step_bytes))
                              : 1;
  // Loads that move by the step but arithmetic on whole vectors: the lanes are iterations of
  // an outer loop, vectorised across it.
  return by_loads > 1 ? by_loads : vector_lanes(loop, element_bytes);
}

namespace {

// The kernel loops that run the nest: the main one, or for a kernel of several passes that
// many of the largest (a vectorised loop's remainder left out).
std::vector<std::size_t> loops_used(const lm::TimedKernel& k, int passes) {
  if (passes <= 1 || k.kernel.size() <= 1) {
    return {k.main};
  }
  std::vector<std::size_t> by_size = k.kernel;
  std::stable_sort(by_size.begin(), by_size.end(), [&k](std::size_t a, std::size_t b) {
    return k.loops[a].size() > k.loops[b].size();
  });
  by_size.resize(std::min<std::size_t>(by_size.size(), static_cast<std::size_t>(passes)));
  std::sort(by_size.begin(), by_size.end());
  return by_size;
}

// The nest as one thread of the team runs it: a shared outermost loop divided among them
// (fixed parts whole, so that a thread with two quarters runs half).
KernelNest thread_nest(KernelNest nest, int team, int parts) {
  if (!nest.shared || team <= 1 || nest.loops.empty()) {
    return nest;
  }
  double& trips = nest.loops.front().trips;
  if (parts > 0) {
    trips *= std::ceil(static_cast<double>(parts) / team) / parts;
  } else {
    trips = std::ceil(trips / team);
  }
  return nest;
}

// Each cache's share of one thread: a private level whole, a shared one over the team.
std::vector<lm::CacheCapacity> thread_caches(const Ceilings& ceilings, int team) {
  std::vector<lm::CacheCapacity> caches;
  for (const CacheLevel& c : ceilings.caches) {
    const double share = c.instances > 1 ? c.size_bytes : c.size_bytes / std::max(team, 1);
    caches.push_back({fmt::format("L{}", c.level), share});
  }
  return caches;
}

bool price_loops(const Ceilings& ceilings, const lm::BinaryAnalysis& a, const KernelNest& nest,
                 EcmFigures& f) {
  const std::vector<std::size_t> used = loops_used(a.kernel, nest.passes);
  const double share = static_cast<double>(nest.passes) / static_cast<double>(used.size());
  const lm::Latencies measured = probe_latencies(ceilings);
  for (const std::size_t index : used) {
    const lm::PricedLoop* priced = a.priced_loop(index);
    if (priced == nullptr || index >= a.kernel.loops.size()) {
      return false;
    }
    const lm::Loop& loop = a.kernel.loops[index];
    const lm::InCore ic = lm::in_core(a, *priced, measured);
    LoopUse u;
    u.where = fmt::format("{} 0x{:x}..0x{:x}", loop.function, loop.header, loop.latch);
    u.instructions = ic.instructions;
    u.per_iteration = iterations_per_compiled(
        loop, nest.step_bytes, nest.streams.empty() ? 0 : nest.streams[0].element_bytes);
    // llvm-mca's resources alone: its simulation holds the register chains too.
    u.throughput_cycles = ic.throughput_cycles;
    u.chain_cycles = ic.latency_cycles;
    u.bound = u.chain_cycles >= u.throughput_cycles ? "latency" : "throughput";
    for (const std::string& via : ic.path.via) {
      u.chain_via += (u.chain_via.empty() ? "" : ", ") + via;
    }
    f.chain_cycles += share * u.chain_cycles / u.per_iteration;
    f.throughput_cycles += share * u.throughput_cycles / u.per_iteration;
    f.loops.push_back(std::move(u));
  }
  return !f.loops.empty();
}

// The links beyond the first cache: their bytes per iteration (every pass), their one-thread
// rate and cycles; and the level that serves each stream.
bool price_links(const Ceilings& ceilings, const KernelNest& nest, int team, EcmFigures& f) {
  const std::vector<lm::CacheCapacity> caches = thread_caches(ceilings, team);
  if (caches.empty()) {
    return false;
  }
  const lm::LayerTraffic t = lm::layer_traffic(nest.loops, nest.streams, caches);
  if (t.streams.empty() || !(t.iterations > 0)) {
    return false;
  }
  f.iterations = t.iterations;
  f.data_level = "L1";
  for (std::size_t k = 1; k < t.bytes.size(); ++k) {
    const bool memory = k == caches.size();
    const int level = memory ? 0 : ceilings.caches[k].level;
    const std::optional<double> roof = ceilings.roof_bytes_per_second(level, team);
    if (!roof || !(*roof > 0)) {
      return false;
    }
    const double rate = *roof * kTrafficPerNamedByte / std::max(team, 1);
    const double bytes = t.bytes[k] * nest.passes;
    f.links.push_back(memory ? "memory" : caches[k].name);
    f.link_bytes.push_back(bytes);
    f.link_rates.push_back(rate);
    if (bytes > 0) {
      f.data_level = f.links.back();
    }
  }
  f.link_cycles = lm::link_cycles(f.link_bytes, f.link_rates, f.hertz);
  for (const lm::StreamTraffic& s : t.streams) {
    const int by = s.served_by;
    const std::string level = by >= static_cast<int>(caches.size())
                                  ? "memory"
                                  : caches[static_cast<std::size_t>(by)].name;
    f.streams.push_back(
        {s.array, level, s.bytes[static_cast<std::size_t>(by)] * nest.passes * t.iterations});
  }
  return true;
}

}  // namespace

std::optional<EcmFigures> ecm_figures(const Config& c, const Ceilings& ceilings,
                                      const lm::BinaryAnalysis& analysis, int team) {
  const ProgramInfo& p = *c.program;
  const std::optional<double> hertz = ceilings.clock_hertz(team);
  if (p.nest == nullptr || !hertz || !(*hertz > 0)) {
    return std::nullopt;
  }
  const double n = static_cast<double>(c.effective_size().value_or(0));
  const KernelNest nest = thread_nest(p.nest(n), team, p.interval.parts);
  EcmFigures f;
  f.cpu = analysis.cpu;
  f.cpu_fell_back = analysis.cpu_fell_back;
  f.hertz = *hertz;
  if (!price_loops(ceilings, analysis, nest, f) || !price_links(ceilings, nest, team, f)) {
    return std::nullopt;
  }
  // In-core, the larger of chain and throughput, overlaps with the transfers; they add up,
  // each link by what it adds to the level nearer the core. The bound beside it takes each
  // level's bytes at its measured rate and the largest part alone.
  const double in_core = std::max(f.chain_cycles, f.throughput_cycles);
  f.ecm_cycles = lm::ecm({in_core, 0, f.link_cycles}, f.links).additive.back();
  std::vector<double> whole;
  for (std::size_t k = 0; k < f.links.size(); ++k) {
    whole.push_back(lm::transfer_cycles(f.link_bytes[k], f.link_rates[k], f.hertz));
  }
  f.max_cycles = lm::ecm({in_core, 0, whole}, f.links).max_bound.back();
  for (LoopUse& u : f.loops) {
    u.iterations = f.iterations * static_cast<double>(nest.passes) /
                   static_cast<double>(f.loops.size()) / u.per_iteration;
  }
  f.iterations *= nest.passes;
  // Per iteration of every pass: the pass count is in the iterations now.
  f.chain_cycles /= nest.passes;
  f.throughput_cycles /= nest.passes;
  for (double& cycles : f.link_cycles) {
    cycles /= nest.passes;
  }
  for (double& bytes : f.link_bytes) {
    bytes /= nest.passes;
  }
  f.ecm_cycles /= nest.passes;
  f.max_cycles /= nest.passes;
  return f;
}

}  // namespace ks::driver
