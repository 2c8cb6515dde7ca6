// ks-loops: the timed loops of built benchmarks and their in-core cycles, as the driver's model
// will see them.
//
//   ks-loops [--json] [--cpu NAME] [--probe FILE] [--cache] BINARY...
//   ks-loops --mca-input BINARY
//
// For each binary: the function holding its clock readings, and each kernel loop (the
// innermost loops of the greatest depth, the main one marked *) with its function, the
// addresses of its first and last instructions, depth, instructions executed per iteration, and
// cycles per iteration by llvm-mca's block reciprocal throughput, by its simulation, and by the
// loop-carried critical path, with what carries that path. --probe takes ks-probe's output and
// prices the critical path with its measured latencies; --cpu models another CPU; --cache keeps and
// reuses the analyses in the per-user cache; --json prints everything as one JSON object per line.
// --mca-input prints what llvm-mca is given for the binary's innermost loops, and nothing else.
//
// Status 0 when every binary was analysed, 1 when one was not (its line says why), 2 for a
// bad command line.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "loopmodel/analysis.h"
#include "loopmodel/cache.h"

namespace {

using ks::loopmodel::BinaryAnalysis;

constexpr const char* kUsage =
    "usage: ks-loops [--json] [--cpu NAME] [--probe FILE] [--cache] BINARY...\n"
    "       ks-loops --mca-input BINARY\n";

[[noreturn]] void usage_error(const std::string& what) {
  std::fprintf(stderr, "ks-loops: %s\n%s", what.c_str(), kUsage);
  std::exit(2);
}

std::string hex(std::uint64_t v) {
  char text[32];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(v));
  return text;
}

nlohmann::json loop_json(const BinaryAnalysis& a, std::size_t index,
                         const ks::loopmodel::Latencies& measured) {
  const ks::loopmodel::Loop& loop = a.kernel.loops[index];
  nlohmann::json j = {{"function", loop.function},
                      {"header", hex(loop.header)},
                      {"latch", hex(loop.latch)},
                      {"first", hex(loop.body.front().address)},
                      {"last", hex(loop.body.back().address)},
                      {"depth", loop.depth},
                      {"main", index == a.kernel.main},
                      {"calls", loop.calls}};
  nlohmann::json body = nlohmann::json::array();
  for (const ks::loopmodel::Instruction& in : loop.body) {
    if (!in.is_nop()) {
      body.push_back(hex(in.address) + " " + in.text());
    }
  }
  j["body"] = std::move(body);
  if (const ks::loopmodel::PricedLoop* p = a.priced_loop(index)) {
    const ks::loopmodel::InCore c = ks::loopmodel::in_core(a, *p, measured);
    j["instructions"] = c.instructions;
    j["throughput_cycles"] = c.throughput_cycles;
    j["simulated_cycles"] = c.simulated_cycles;
    j["latency_cycles"] = c.latency_cycles;
    j["cycles"] = c.cycles;
    j["bound"] = c.bound;
    j["critical_path_via"] = c.path.via;
    j["critical_path_through_memory"] = c.path.through_memory;
    nlohmann::json on_path = nlohmann::json::array();
    for (const std::size_t i : c.path.instructions) {
      on_path.push_back(hex(loop.body[i].address));
    }
    j["critical_path"] = std::move(on_path);
    nlohmann::json streams = nlohmann::json::array();
    for (const ks::loopmodel::Access& s : ks::loopmodel::accesses(loop)) {
      nlohmann::json sj = {{"operand", s.operand}, {"load", s.load}, {"store", s.store}};
      if (s.advance) {
        sj["advance_bytes"] = *s.advance;
      }
      streams.push_back(std::move(sj));
    }
    j["accesses"] = std::move(streams);
  }
  return j;
}

}  // namespace

int main(int argc, char* argv[]) {
  bool as_json = false;
  bool cache = false;
  bool mca_input = false;
  std::string cpu;
  std::string probe_file;
  std::vector<std::string> binaries;
  for (int i = 1; i < argc; i++) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        usage_error(std::string(arg) + " needs a value");
      }
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--json") {
      as_json = true;
    } else if (arg == "--cache") {
      cache = true;
    } else if (arg == "--mca-input") {
      mca_input = true;
    } else if (arg == "--cpu") {
      cpu = value();
    } else if (arg == "--probe") {
      probe_file = value();
    } else if (!arg.empty() && arg[0] == '-') {
      usage_error("unknown option '" + std::string(arg) + "'");
    } else {
      binaries.emplace_back(arg);
    }
  }
  if (binaries.empty()) {
    usage_error("no binary to analyse");
  }
  if (mca_input) {
    if (binaries.size() != 1) {
      usage_error("--mca-input takes one binary");
    }
    try {
      const ks::loopmodel::TimedKernel k =
          ks::loopmodel::find_timed_kernel(ks::loopmodel::disassemble(binaries[0]));
      std::vector<std::vector<ks::loopmodel::Instruction>> bodies;
      for (const ks::loopmodel::Loop& loop : k.loops) {
        if (loop.innermost) {
          bodies.push_back(loop.body);
        }
      }
      std::fputs(ks::loopmodel::mca_input(bodies).text.c_str(), stdout);
      return 0;
    } catch (const ks::loopmodel::LoopError& e) {
      std::fprintf(stderr, "ks-loops: %s: %s\n", binaries[0].c_str(), e.what());
      return 1;
    }
  }
  ks::loopmodel::Latencies measured;
  if (!probe_file.empty()) {
    std::ifstream in(probe_file);
    std::stringstream text;
    text << in.rdbuf();
    try {
      measured = ks::loopmodel::measured_latencies(nlohmann::json::parse(text.str()));
    } catch (const nlohmann::json::exception& e) {
      usage_error("--probe " + probe_file + " is not the probe's JSON: " + e.what());
    }
  }
  ks::loopmodel::AnalysisOptions options;
  options.cpu = cpu;
  if (cache) {
    options.cache_dir = ks::loopmodel::default_cache_dir();
  }
  int status = 0;
  for (const std::string& binary : binaries) {
    BinaryAnalysis a;
    try {
      a = ks::loopmodel::analyse_binary(binary, options);
    } catch (const ks::loopmodel::LoopError& e) {
      std::fprintf(stderr, "ks-loops: %s: %s\n", binary.c_str(), e.what());
      status = 1;
      continue;
    }
    nlohmann::json j = {{"binary", binary},
                        {"key", a.key},
                        {"cpu", a.cpu},
                        {"cpu_fell_back", a.cpu_fell_back},
                        {"timer", a.kernel.timer},
                        {"function", a.kernel.function},
                        {"functions", a.kernel.functions},
                        {"loops", a.kernel.loops.size()},
                        {"from_cache", a.from_cache}};
    nlohmann::json kernel = nlohmann::json::array();
    for (const std::size_t k : a.kernel.kernel) {
      kernel.push_back(loop_json(a, k, measured));
    }
    j["kernel"] = std::move(kernel);
    if (as_json) {
      std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
      continue;
    }
    std::printf("%s: readings (%s) in %s, %zu loops, %zu kernel loops, %s%s\n", binary.c_str(),
                a.kernel.timer.c_str(), a.kernel.function.c_str(), a.kernel.loops.size(),
                a.kernel.kernel.size(), a.cpu.c_str(), a.cpu_fell_back ? " (fallback)" : "");
    for (const nlohmann::json& l : j["kernel"]) {
      std::string via;
      for (const auto& v : l.value("critical_path_via", nlohmann::json::array())) {
        via += (via.empty() ? "" : ", ") + v.get<std::string>();
      }
      std::printf(
          "  %s %s..%s in %s, depth %d, %d instructions: throughput %.2f, simulation %.2f, "
          "latency %.2f cycles/iteration; %s-bound (path via %s)\n",
          l["main"].get<bool>() ? "*" : " ", l["first"].get<std::string>().c_str(),
          l["last"].get<std::string>().c_str(), l["function"].get<std::string>().c_str(),
          l["depth"].get<int>(), l.value("instructions", 0), l.value("throughput_cycles", 0.0),
          l.value("simulated_cycles", 0.0), l.value("latency_cycles", 0.0),
          l.value("bound", std::string("?")).c_str(), via.c_str());
    }
  }
  return status;
}
