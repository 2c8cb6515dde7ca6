#include "loopmodel/analysis.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "loopmodel/cache.h"
#include "loopmodel/x86.h"

namespace ks::loopmodel {
namespace {

using json = nlohmann::json;

json instruction_json(const Instruction& in) {
  json j = {{"address", in.address}, {"mnemonic", in.mnemonic}, {"operands", in.operands}};
  if (!in.prefixes.empty()) {
    j["prefixes"] = in.prefixes;
  }
  if (in.target) {
    j["target"] = *in.target;
    j["target_symbol"] = in.target_symbol;
  }
  if (in.comment_address) {
    j["comment_address"] = *in.comment_address;
    j["comment_symbol"] = in.comment_symbol;
  }
  return j;
}

Instruction instruction_from(const json& j) {
  Instruction in;
  in.address = j.at("address").get<std::uint64_t>();
  in.mnemonic = j.at("mnemonic").get<std::string>();
  in.operands = j.at("operands").get<std::string>();
  in.prefixes = j.value("prefixes", "");
  if (j.contains("target")) {
    in.target = j.at("target").get<std::uint64_t>();
    in.target_symbol = j.value("target_symbol", "");
  }
  if (j.contains("comment_address")) {
    in.comment_address = j.at("comment_address").get<std::uint64_t>();
    in.comment_symbol = j.value("comment_symbol", "");
  }
  return in;
}

// Runs llvm-mca over every innermost loop, leaving out what it refuses (a few attempts).
std::vector<PricedLoop> price(const McaTool& tool, const std::string& cpu, const TimedKernel& k,
                              Latencies& model) {
  std::vector<std::size_t> chosen;
  std::vector<std::vector<Instruction>> bodies;
  for (std::size_t i = 0; i < k.loops.size(); i++) {
    if (k.loops[i].innermost) {
      chosen.push_back(i);
      bodies.push_back(k.loops[i].body);
    }
  }
  std::vector<std::pair<int, int>> dropped;
  std::optional<McaReport> report;
  for (int attempt = 0; attempt < 4 && !report; attempt++) {
    const McaInput input = mca_input(bodies, dropped);
    std::vector<std::pair<int, int>> refused;
    report = run_mca(tool, input, cpu, refused);
    dropped.insert(dropped.end(), refused.begin(), refused.end());
  }
  if (!report) {
    throw LoopError(
        "llvm-mca refuses the loops' instructions, even with the refused ones left out");
  }
  model = model_latencies(*report);
  std::vector<PricedLoop> priced;
  for (const McaRegion& region : report->regions) {
    const int l = region_loop(region.name);
    if (l < 0 || static_cast<std::size_t>(l) >= chosen.size()) {
      continue;
    }
    PricedLoop p;
    p.loop = chosen[static_cast<std::size_t>(l)];
    p.block_reciprocal_throughput = region.block_reciprocal_throughput;
    p.simulated_cycles = region.simulated_cycles();
    const std::vector<Instruction>& body = bodies[static_cast<std::size_t>(l)];
    std::size_t next = 0;
    for (std::size_t i = 0; i < body.size(); i++) {
      if (std::find(dropped.begin(), dropped.end(), std::make_pair(l, static_cast<int>(i))) !=
          dropped.end()) {
        p.dropped.push_back(i);
        p.figures.push_back({});
        continue;
      }
      if (next >= region.instructions.size()) {
        throw LoopError("llvm-mca reports fewer instructions than loop " + std::to_string(l) +
                        " has");
      }
      p.figures.push_back(region.instructions[next++]);
    }
    priced.push_back(std::move(p));
  }
  if (priced.size() != chosen.size()) {
    throw LoopError("llvm-mca's report lacks some of the loops");
  }
  return priced;
}

// Registers the body changes once by a constant, and the step.
std::map<std::string, std::int64_t> inductions(const Loop& loop) {
  std::map<std::string, int> writes;
  std::map<std::string, std::int64_t> step;
  for (const Instruction& in : loop.body) {
    const Effects e = effects_of(in);
    for (const std::string& w : e.writes) {
      if (w != "flags") {
        ++writes[w];
      }
    }
    const std::vector<std::string> ops = split_operands(in.operands);
    const std::string m = in.mnemonic;
    const std::string base =
        m.size() > 3 && (m.back() == 'q' || m.back() == 'l') ? m.substr(0, m.size() - 1) : m;
    if ((base == "add" || base == "sub") && ops.size() == 2 && ops[0][0] == '$') {
      const std::string reg = full_register(ops[1]);
      const std::int64_t v = std::strtoll(ops[0].c_str() + 1, nullptr, 0);
      if (!reg.empty()) {
        step[reg] = base == "add" ? v : -v;
      }
    } else if ((base == "inc" || base == "dec") && ops.size() == 1) {
      const std::string reg = full_register(ops[0]);
      if (!reg.empty()) {
        step[reg] = base == "inc" ? 1 : -1;
      }
    } else if (base == "lea" && ops.size() == 2) {
      const std::optional<MemoryOperand> mem = parse_memory(ops[0]);
      const std::string reg = full_register(ops[1]);
      if (mem && mem->index.empty() && mem->base == reg && mem->symbol.empty()) {
        step[reg] = mem->displacement;
      }
    }
  }
  std::map<std::string, std::int64_t> out;
  for (const auto& [reg, s] : step) {
    if (writes[reg] == 1) {
      out[reg] = s;
    }
  }
  return out;
}

}  // namespace

const PricedLoop* BinaryAnalysis::priced_loop(std::size_t loop) const {
  for (const PricedLoop& p : priced) {
    if (p.loop == loop) {
      return &p;
    }
  }
  return nullptr;
}

json to_json(const BinaryAnalysis& a) {
  json loops = json::array();
  for (const Loop& l : a.kernel.loops) {
    json body = json::array();
    for (const Instruction& in : l.body) {
      body.push_back(instruction_json(in));
    }
    loops.push_back({{"function", l.function},
                     {"header", l.header},
                     {"latch", l.latch},
                     {"depth", l.depth},
                     {"innermost", l.innermost},
                     {"calls", l.calls},
                     {"body", std::move(body)}});
  }
  json priced = json::array();
  for (const PricedLoop& p : a.priced) {
    json figures = json::array();
    for (const McaInstruction& f : p.figures) {
      figures.push_back({{"text", f.text},
                         {"latency", f.latency},
                         {"uops", f.uops},
                         {"reciprocal_throughput", f.reciprocal_throughput},
                         {"may_load", f.may_load},
                         {"may_store", f.may_store}});
    }
    priced.push_back({{"loop", p.loop},
                      {"figures", std::move(figures)},
                      {"dropped", p.dropped},
                      {"block_reciprocal_throughput", p.block_reciprocal_throughput},
                      {"simulated_cycles", p.simulated_cycles}});
  }
  return {{"binary", a.binary},
          {"key", a.key},
          {"cpu", a.cpu},
          {"cpu_fell_back", a.cpu_fell_back},
          {"llvm_mca_version", a.llvm_mca_version},
          {"timer", a.kernel.timer},
          {"function", a.kernel.function},
          {"start", a.kernel.start},
          {"end", a.kernel.end},
          {"functions", a.kernel.functions},
          {"loops", std::move(loops)},
          {"kernel", a.kernel.kernel},
          {"main", a.kernel.main},
          {"priced", std::move(priced)},
          {"integer_load_cycles", a.model.integer_load},
          {"vector_load_cycles", a.model.vector_load},
          {"integer_load_op_cycles", a.model.integer_load_op},
          {"vector_load_op_cycles", a.model.vector_load_op}};
}

BinaryAnalysis analysis_from_json(const json& j) {
  try {
    BinaryAnalysis a;
    a.binary = j.at("binary").get<std::string>();
    a.key = j.at("key").get<std::string>();
    a.cpu = j.at("cpu").get<std::string>();
    a.cpu_fell_back = j.at("cpu_fell_back").get<bool>();
    a.llvm_mca_version = j.at("llvm_mca_version").get<std::string>();
    a.kernel.timer = j.at("timer").get<std::string>();
    a.kernel.function = j.at("function").get<std::string>();
    a.kernel.start = j.at("start").get<std::uint64_t>();
    a.kernel.end = j.at("end").get<std::uint64_t>();
    a.kernel.functions = j.at("functions").get<std::vector<std::string>>();
    for (const json& l : j.at("loops")) {
      Loop loop;
      loop.function = l.at("function").get<std::string>();
      loop.header = l.at("header").get<std::uint64_t>();
      loop.latch = l.at("latch").get<std::uint64_t>();
      loop.depth = l.at("depth").get<int>();
      loop.innermost = l.at("innermost").get<bool>();
      loop.calls = l.at("calls").get<bool>();
      for (const json& in : l.at("body")) {
        loop.body.push_back(instruction_from(in));
      }
      a.kernel.loops.push_back(std::move(loop));
    }
    a.kernel.kernel = j.at("kernel").get<std::vector<std::size_t>>();
    a.kernel.main = j.at("main").get<std::size_t>();
    for (const json& p : j.at("priced")) {
      PricedLoop priced;
      priced.loop = p.at("loop").get<std::size_t>();
      for (const json& f : p.at("figures")) {
        McaInstruction in;
        in.text = f.at("text").get<std::string>();
        in.latency = f.at("latency").get<double>();
        in.uops = f.at("uops").get<int>();
        in.reciprocal_throughput = f.at("reciprocal_throughput").get<double>();
        in.may_load = f.at("may_load").get<bool>();
        in.may_store = f.at("may_store").get<bool>();
        priced.figures.push_back(std::move(in));
      }
      priced.dropped = p.at("dropped").get<std::vector<std::size_t>>();
      priced.block_reciprocal_throughput = p.at("block_reciprocal_throughput").get<double>();
      priced.simulated_cycles = p.at("simulated_cycles").get<double>();
      if (priced.loop >= a.kernel.loops.size() ||
          priced.figures.size() != a.kernel.loops[priced.loop].body.size()) {
        throw LoopError("a priced loop that is not one of the loops");
      }
      a.priced.push_back(std::move(priced));
    }
    a.model.integer_load = j.at("integer_load_cycles").get<double>();
    a.model.vector_load = j.at("vector_load_cycles").get<double>();
    a.model.integer_load_op = j.at("integer_load_op_cycles").get<double>();
    a.model.vector_load_op = j.at("vector_load_op_cycles").get<double>();
    if (a.kernel.kernel.empty() || a.kernel.main >= a.kernel.loops.size()) {
      throw LoopError("no kernel loop");
    }
    for (const std::size_t k : a.kernel.kernel) {
      if (k >= a.kernel.loops.size()) {
        throw LoopError("a kernel loop that is not one of the loops");
      }
    }
    return a;
  } catch (const json::exception& e) {
    throw LoopError(std::string("not an analysis: ") + e.what());
  }
}

BinaryAnalysis analyse_binary(const std::string& binary, const AnalysisOptions& options) {
  const std::optional<McaTool> tool = find_mca(options.llvm_mca);
  if (!tool) {
    throw LoopError("llvm-mca is not installed (Debian's llvm-14)");
  }
  bool fell_back = false;
  const std::string cpu = mca_cpu(*tool, options.cpu, fell_back);
  const std::string key = binary_key(binary);
  const json cache_key = {{"binary", key}, {"cpu", cpu}, {"llvm_mca", tool->version}};
  if (std::optional<json> cached = read_cache(options.cache_dir, cache_key)) {
    try {
      BinaryAnalysis a = analysis_from_json(*cached);
      a.binary = binary;
      a.from_cache = true;
      return a;
    } catch (const LoopError&) {
      // A damaged entry is analysed again, and replaced.
    }
  }
  BinaryAnalysis a;
  a.binary = binary;
  a.key = key;
  a.cpu = cpu;
  a.cpu_fell_back = fell_back;
  a.llvm_mca_version = tool->version;
  a.kernel = find_timed_kernel(disassemble(binary, options.objdump));
  a.priced = price(*tool, cpu, a.kernel, a.model);
  if (!options.cache_dir.empty()) {
    write_cache(options.cache_dir, cache_key, to_json(a));
  }
  return a;
}

std::vector<Access> accesses(const Loop& loop) {
  const std::map<std::string, std::int64_t> step = inductions(loop);
  std::set<std::string> written;
  for (const Instruction& in : loop.body) {
    for (const std::string& w : effects_of(in).writes) {
      written.insert(w);
    }
  }
  std::vector<Access> out;
  for (std::size_t i = 0; i < loop.body.size(); i++) {
    const Instruction& in = loop.body[i];
    const Effects e = effects_of(in);
    const std::optional<MemoryOperand>& mem = e.load ? e.load : e.store;
    if (!mem) {
      continue;
    }
    Access a;
    a.instruction = i;
    a.operand = mem->text();
    a.load = e.load.has_value();
    a.store = e.store.has_value();
    auto moves = [&](const std::string& reg) { return !reg.empty() && written.count(reg) != 0; };
    a.fixed = !moves(mem->base) && !moves(mem->index);
    if (a.fixed) {
      a.advance = 0;
    } else {
      const bool base_known = !moves(mem->base) || step.count(mem->base) != 0;
      const bool index_known = !moves(mem->index) || step.count(mem->index) != 0;
      if (base_known && index_known) {
        std::int64_t advance = 0;
        if (moves(mem->base)) {
          advance += step.at(mem->base);
        }
        if (moves(mem->index)) {
          advance += step.at(mem->index) * mem->scale;
        }
        a.advance = advance;
      }
    }
    out.push_back(std::move(a));
  }
  return out;
}

InCore in_core(const BinaryAnalysis& a, const PricedLoop& p, const Latencies& measured) {
  const Loop& loop = a.kernel.loops.at(p.loop);
  Latencies l = measured;
  l.integer_load = a.model.integer_load;
  l.vector_load = a.model.vector_load;
  l.integer_load_op = a.model.integer_load_op;
  l.vector_load_op = a.model.vector_load_op;
  InCore c;
  c.throughput_cycles = p.block_reciprocal_throughput;
  c.simulated_cycles = p.simulated_cycles;
  c.path = critical_path(loop.body, p.figures, l);
  c.latency_cycles = c.path.cycles;
  c.instructions = loop.size();
  c.cycles = std::max({c.throughput_cycles, c.simulated_cycles, c.latency_cycles});
  c.bound = c.latency_cycles >= c.throughput_cycles ? "latency" : "throughput";
  return c;
}

Latencies measured_latencies(const json& probe) {
  Latencies l;
  if (!probe.is_object() || !probe.contains("latencies") ||
      !probe["latencies"].contains("results") || !probe["latencies"]["results"].is_array()) {
    return l;
  }
  std::map<std::string, double> cycles;
  for (const json& r : probe["latencies"]["results"]) {
    if (r.is_object() && r.contains("kernel") && r["kernel"].is_string() &&
        r.contains("latency_cycles") && r["latency_cycles"].is_number()) {
      const double v = r["latency_cycles"].get<double>();
      if (std::isfinite(v) && v > 0) {
        cycles[r["kernel"].get<std::string>()] = v;
      }
    }
  }
  auto get = [&](const char* k) -> std::optional<double> {
    const auto it = cycles.find(k);
    return it == cycles.end() ? std::nullopt : std::optional<double>(it->second);
  };
  l.fp64_add = get("fp64_add");
  l.fp64_mul = get("fp64_mul");
  l.int_add = get("int32_add");
  if (const std::optional<double> round_trip = get("store_load")) {
    // The round trip is a load, an add and a store: less the add, the forwarding.
    l.store_forward = std::max(0.0, *round_trip - l.int_add.value_or(1.0));
  }
  return l;
}

}  // namespace ks::loopmodel
