#include "driver/analysis/model.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include <fmt/format.h>

#include "driver/analysis/loop_model.h"
#include "driver/base/text.h"
#include "driver/catalogue/benchmark_checks.h"

namespace ks::driver {
namespace {

// The allocator serves requests from this size up with a mapping of their own (glibc's
// default threshold), every page of it fresh.
constexpr double kMmapThreshold = 128 * 1024;
constexpr double kChunkHeader = 16;

// Pages covered by `rows` rows of `row_bytes` bytes each, `stride` bytes apart from a page
// boundary on.
double strided_pages(double rows, double row_bytes, double stride, double page) {
  if (rows <= 0 || row_bytes <= 0) {
    return 0;
  }
  double pages = 0;
  double previous_last = -1;
  for (double i = 0; i < rows; ++i) {
    const double first = std::floor(i * stride / page);
    const double last = std::floor((i * stride + row_bytes - 1) / page);
    pages += last - first + 1 - (first == previous_last ? 1 : 0);
    previous_last = last;
  }
  return pages;
}

std::string lower(std::string s) {
  for (char& c : s) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return s;
}

std::string bytes_text(double b) {
  if (b >= 1e9) {
    return fmt::format("{:.3g} GB", b / 1e9);
  }
  if (b >= 1e6) {
    return fmt::format("{:.3g} MB", b / 1e6);
  }
  if (b >= 1e3) {
    return fmt::format("{:.3g} kB", b / 1e3);
  }
  return fmt::format("{:.0f} B", b);
}

std::string rate_text(double per_second, std::string_view unit) {
  const std::string_view space = unit.size() > 1 && unit.find(' ') != std::string_view::npos
                                     ? std::string_view(" ")
                                     : std::string_view("");
  return fmt::format("{:.3g} G{}{}/s", per_second / 1e9, space, unit);
}

std::string plural(double count, std::string_view one, std::string_view many) {
  return fmt::format("{} {}", grouped(count), count == 1 ? one : many);
}

}  // namespace

int kernel_team(const Config& c, int default_team) {
  if (!c.program->openmp) {
    return 1;
  }
  int team = c.threads > 0 ? c.threads : std::max(default_team, 1);
  if (c.program->interval.parts > 0) {
    team = std::min(team, c.program->interval.parts);
  }
  return team;
}

double fresh_pages(const ProgramInfo& p, double n, double page_bytes) {
  const TimedWork& i = p.interval;
  switch (i.fresh) {
    case Fresh::kNone:
      return 0;
    case Fresh::kArray:
      return std::ceil(i.fresh_bytes(n) / page_bytes);
    case Fresh::kStaticRows:
      return strided_pages(n, 8 * n, 8.0 * kMatrixCap, page_bytes);
    case Fresh::kHeapRows: {
      const double row = 8 * n;
      if (row <= 0) {
        return 0;
      }
      if (row >= kMmapThreshold) {
        return n * std::ceil((row + kChunkHeader) / page_bytes);
      }
      // Between the fill's rows: on average, the whole pages inside a block of `row` bytes.
      return n * std::max(0.0, row / page_bytes - 1);
    }
  }
  return 0;
}

double loop_chunks(const std::string& schedule, double iterations, int team, std::string& kind,
                   long long& chunk) {
  std::string text = lower(schedule);
  if (const auto colon = text.find(':'); colon != std::string::npos) {
    text = text.substr(colon + 1);  // monotonic: / nonmonotonic:
  }
  kind = text.substr(0, text.find(','));
  chunk = 0;
  if (const auto comma = text.find(','); comma != std::string::npos) {
    chunk = std::atoll(text.c_str() + comma + 1);
  }
  if (kind.empty()) {
    kind = "dynamic";  // the GNU runtime's run-time default
  }
  if (kind == "auto") {
    kind = "static";
  }
  if (iterations <= 0) {
    return 0;
  }
  team = std::max(team, 1);
  if (kind == "static") {
    return chunk > 0 ? std::ceil(iterations / static_cast<double>(chunk))
                     : std::min(iterations, static_cast<double>(team));
  }
  chunk = std::max<long long>(chunk, 1);
  if (kind == "guided") {
    double left = iterations;
    double chunks = 0;
    while (left > 0) {
      const double size = std::max(std::ceil(left / team), static_cast<double>(chunk));
      left -= std::min(size, left);
      ++chunks;
    }
    return chunks;
  }
  kind = "dynamic";
  return std::ceil(iterations / static_cast<double>(chunk));
}

Work interval_work(const Config& c, double page_bytes, int default_team) {
  const ProgramInfo& p = *c.program;
  const TimedWork& i = p.interval;
  const double n = static_cast<double>(c.effective_size().value_or(0));
  Work w;
  w.read_bytes = i.read(n);
  w.written_bytes = i.written(n);
  w.fetched_bytes = i.stores_unread ? w.written_bytes : 0;
  w.ops = p.ops(n);
  w.working_set = i.working_set(n);
  w.fresh_pages = fresh_pages(p, n, page_bytes);
  w.team = kernel_team(c, default_team);
  w.regions = i.regions;
  w.barriers = i.barriers;
  if (i.runtime_loop) {
    w.chunks = loop_chunks(c.schedule, n, w.team, w.schedule, w.chunk);
  }
  return w;
}

namespace {

// The compiled loop's terms in place of the bytes and operations of the source: in-core
// cycles, transfers beyond the first cache, and their ECM combination (loop_model.h).
void apply_loop_terms(Prediction& r, EcmFigures f) {
  const double seconds_per_cycle = f.iterations / f.hertz;
  const int t = r.work.team;
  const bool chain = f.chain_cycles >= f.throughput_cycles;
  r.compute = {"in-core", std::max(f.chain_cycles, f.throughput_cycles) * seconds_per_cycle,
               fmt::format("{:.2f} cycles per iteration ({}) x {} iterations at {:.2f} GHz (T={})",
                           std::max(f.chain_cycles, f.throughput_cycles),
                           chain ? "loop-carried chain" : "throughput", grouped(f.iterations),
                           f.hertz / 1e9, t)};
  double transfer_cycles = 0;
  std::string links;
  for (std::size_t k = 0; k < f.links.size(); ++k) {
    transfer_cycles += f.link_cycles[k];
    if (f.link_bytes[k] > 0) {
      links += fmt::format("{}{} from {} at {}", links.empty() ? "" : ", ",
                           bytes_text(f.link_bytes[k] * f.iterations), f.links[k],
                           rate_text(f.link_rates[k], "B"));
    }
  }
  r.memory = {
      "data", transfer_cycles * seconds_per_cycle,
      links.empty() ? std::string("every stream stays in L1") : links + fmt::format(" (T={})", t)};
  r.steady_seconds = f.ecm_cycles * seconds_per_cycle;
  r.level = f.data_level;
  r.ecm = std::move(f);
}

// The smallest level that holds the working set (private levels pool over the team); 0, the
// memory, when none does.
int holding_level(const Ceilings& ceilings, const Work& w) {
  return ceilings.holding_level(w.working_set, w.team);
}

// OpenMP's forks, barriers and chunks, each at its probed cost.
Term openmp_term(const Work& w, const Ceilings& ceilings) {
  const int t = w.team;
  std::vector<std::string> parts;
  double openmp = 0;
  if (w.regions > 0) {
    const double each = ceilings.region(t).value_or(0);
    openmp += w.regions * each;
    parts.push_back(fmt::format(
        "{} at {}", plural(w.regions, "parallel region", "parallel regions"), human_seconds(each)));
  }
  if (w.barriers > 0) {
    const double each = ceilings.barrier(t).value_or(0);
    openmp += w.barriers * each;
    parts.push_back(
        fmt::format("{} at {}", plural(w.barriers, "barrier", "barriers"), human_seconds(each)));
  }
  if (w.chunks > 0) {
    const double each =
        ceilings.per_chunk(w.schedule, std::max<long long>(w.chunk, 1), t).value_or(0);
    openmp += w.chunks * each;
    parts.push_back(
        fmt::format("{} {} chunks at {}", grouped(w.chunks), w.schedule, human_seconds(each)));
  }
  std::string joined;
  for (const std::string& part : parts) {
    joined += (joined.empty() ? "" : ", ") + part;
  }
  return {"OpenMP", openmp, joined};
}

// The ceiling the program's bound names: the bandwidth of the level, or scalar throughput.
void set_ceiling(Prediction& r, const ProgramInfo& p, double bandwidth, double ops_rate) {
  const int t = r.work.team;
  r.bound = p.interval.bound;
  if (r.bound == Bound::kMemory) {
    r.ceiling = fmt::format("{} bandwidth, T={}", r.level, t);
    r.ceiling_rate = bandwidth;
    r.ceiling_unit = "B/s";
  } else {
    r.ceiling = fmt::format("scalar {} throughput, T={}", p.interval.integer ? "int32" : "fp64", t);
    r.ceiling_rate = ops_rate;
    r.ceiling_unit = std::string(p.op_unit) + "/s";
  }
}
}  // namespace

std::optional<Prediction> predict(const Config& c, const Ceilings& ceilings,
                                  const ks::loopmodel::BinaryAnalysis* loops) {
  const ProgramInfo& p = *c.program;
  if (p.kind != Kind::kBenchmark || (p.arg != ArgKind::kNone && !c.size)) {
    return std::nullopt;
  }
  Prediction r;
  r.work = interval_work(c, ceilings.page_bytes, ceilings.max_threads());
  const Work& w = r.work;
  const int t = w.team;

  const int level = holding_level(ceilings, w);
  const std::optional<double> named = ceilings.add_bytes_per_second(level, t);
  const std::string op_kernel = p.interval.integer ? "int32_add" : "fp64_add";
  const std::optional<double> ops_rate = ceilings.ops_per_second(op_kernel, "scalar", t);
  if (!named || !ops_rate) {
    return std::nullopt;
  }
  const double bandwidth = *named * kTrafficPerNamedByte;
  r.level = level == 0 ? "memory" : fmt::format("L{}", level);

  r.memory = {"memory", w.traffic() / bandwidth,
              fmt::format("{} of traffic at {} ({}, T={})", bytes_text(w.traffic()),
                          rate_text(bandwidth, "B"), r.level, t)};
  r.compute = {"compute", w.ops / *ops_rate,
               fmt::format("{:.3g} {} at {} (scalar, T={})", w.ops, p.op_unit,
                           rate_text(*ops_rate, p.op_unit), t)};
  // Pages an addition writes first cost what the probe's addition into fresh pages adds to
  // its warm one; others, what a store into a fresh page adds.
  const std::optional<double> added =
      p.interval.fresh_added ? ceilings.added_fault_seconds(t) : std::nullopt;
  const double per_page = added ? *added : ceilings.fault_seconds(t).value_or(0);
  r.fresh = {"first touch", w.fresh_pages * per_page,
             fmt::format("{} {}at {}", plural(w.fresh_pages, "fresh page", "fresh pages"),
                         added ? "written by the addition " : "", human_seconds(per_page))};
  r.openmp = openmp_term(w, ceilings);

  r.steady_seconds = std::max(r.memory.seconds, r.compute.seconds);
  if (loops != nullptr) {
    if (std::optional<EcmFigures> f = ecm_figures(c, ceilings, *loops, t)) {
      apply_loop_terms(r, std::move(*f));
    }
  }
  r.predicted_seconds = r.steady_seconds + r.fresh.seconds + r.openmp.seconds;
  set_ceiling(r, p, bandwidth, *ops_rate);
  if (r.predicted_seconds <= 0) {
    return std::nullopt;
  }
  return r;
}

namespace {

// The steady part as one term: the larger of memory and compute, or with the compiled loop the
// ECM time named by the part that decides it.
Term steady_term(const Prediction& p) {
  if (!p.ecm) {
    return p.memory.seconds >= p.compute.seconds ? p.memory : p.compute;
  }
  const EcmFigures& f = *p.ecm;
  double transfers = 0;
  for (const double c : f.link_cycles) {
    transfers += c;
  }
  Term t = p.compute;
  t.seconds = p.steady_seconds;
  if (transfers > std::max(f.chain_cycles, f.throughput_cycles)) {
    t.name = "data";
    t.what = fmt::format("{} ({:.2f} cycles per iteration)", p.memory.what, transfers);
  }
  return t;
}

// What the other parts add to the steady one, for the explanation's line.
std::string steady_rest(const Prediction& p, const Term& steady) {
  if (!p.ecm) {
    const Term& other = steady.name == "memory" ? p.compute : p.memory;
    return other.seconds > 0
               ? fmt::format("; {} would take {}",
                             other.name == "memory" ? "the traffic" : "the operations",
                             human_seconds(other.seconds))
               : "";
  }
  if (steady.name == "data") {
    return fmt::format("; in-core alone {}", human_seconds(p.compute.seconds));
  }
  if (p.memory.seconds <= 0) {
    return "; every stream stays in L1";
  }
  return fmt::format("; the data ({}, {}) overlaps with it", p.memory.what,
                     human_seconds(p.memory.seconds));
}

}  // namespace

void explain(Prediction& p, double measured) {
  p.measured_seconds = measured;
  const Work& w = p.work;
  p.achieved_rate = (p.bound == Bound::kMemory ? w.traffic() : w.ops) / measured;
  p.percent_of_ceiling = 100 * p.achieved_rate / p.ceiling_rate;
  p.ratio = measured / p.predicted_seconds;
  p.explained = p.ratio >= 0.5 && p.ratio <= 2;

  const Term steady = steady_term(p);
  const Term* top = &steady;
  for (const Term* t : {&p.fresh, &p.openmp}) {
    if (t->seconds > top->seconds) {
      top = t;
    }
  }
  p.dominant = top->name;
  const std::string of =
      fmt::format("{} of {} measured", human_seconds(top->seconds), human_seconds(measured));
  if (!p.explained) {
    p.line = fmt::format(
        "the model does not explain this time: measured {}, predicted {} (its largest term: {} "
        "= {})",
        human_seconds(measured), human_seconds(p.predicted_seconds), top->what,
        human_seconds(top->seconds));
    return;
  }
  if (top == &p.fresh) {
    p.line = fmt::format("first touch of {} = {}; warm pages would take {}", top->what, of,
                         human_seconds(steady.seconds));
  } else if (top == &p.openmp) {
    p.line = fmt::format("{} = {}", top->what, of);
  } else {
    p.line = fmt::format("{} = {}", top->what, of) + steady_rest(p, steady);
    if (p.fresh.seconds > 0) {
      p.line += fmt::format("; first touch of {} adds {}", plural(w.fresh_pages, "page", "pages"),
                            human_seconds(p.fresh.seconds));
    }
  }
  if (top != &p.openmp && p.openmp.seconds > 0 && !p.openmp.what.empty()) {
    p.line += fmt::format("; OpenMP ({}) adds {}", p.openmp.what, human_seconds(p.openmp.seconds));
  }
}

void apply_model(const std::vector<Config>& configs, std::vector<SummaryRow>& rows,
                 const Ceilings& ceilings,
                 const std::map<std::string, ks::loopmodel::BinaryAnalysis>& loops) {
  for (SummaryRow& row : rows) {
    row.model.reset();
    if (row.stats.count == 0 || !(row.stats.median > 0) || !row.printed_time) {
      continue;
    }
    const Config& c = configs[row.config];
    const auto analysis = loops.find(std::string(c.program->name));
    if (std::optional<Prediction> p =
            predict(c, ceilings, analysis == loops.end() ? nullptr : &analysis->second)) {
      explain(*p, row.stats.median);
      row.model = std::move(p);
    }
  }
}

}  // namespace ks::driver
