#include "loopmodel/mca.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

#include <nlohmann/json.hpp>

#include "spawn/spawn.h"

namespace ks::loopmodel {
namespace {

using json = nlohmann::json;

std::string label(std::uint64_t address) {
  char text[32];
  std::snprintf(text, sizeof text, ".L%llx", static_cast<unsigned long long>(address));
  return text;
}

// Prefixes llvm-mca's assembler takes as they are; the others carry nothing it models.
bool kept_prefix(std::string_view p) {
  return p == "rep" || p == "repz" || p == "repe" || p == "repnz" || p == "repne" || p == "lock";
}

// Operands without the " <symbol>" objdump may append to an address.
std::string plain_operands(std::string_view operands) {
  std::string out(operands);
  for (std::size_t open = out.find(" <"); open != std::string::npos; open = out.find(" <")) {
    const std::size_t close = out.find('>', open);
    out.erase(open, close == std::string::npos ? std::string::npos : close - open + 1);
  }
  return out;
}

std::string line_of(const Instruction& in, std::set<std::uint64_t>& targets) {
  if (in.is_nop()) {
    return "nop";
  }
  std::string prefixes;
  std::string_view rest = in.prefixes;
  while (!rest.empty()) {
    const std::size_t space = rest.find(' ');
    const std::string_view p = rest.substr(0, space);
    if (kept_prefix(p)) {
      prefixes += std::string(p) + " ";
    }
    rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
  }
  if ((in.is_jump() || in.is_call()) && in.target) {
    targets.insert(*in.target);
    return prefixes + in.mnemonic + " " + label(*in.target);
  }
  const std::string operands = plain_operands(in.operands);
  return prefixes + in.mnemonic + (operands.empty() ? "" : " " + operands);
}

double number(const json& j, const char* key) {
  if (!j.is_object() || !j.contains(key) || !j.at(key).is_number()) {
    throw LoopError(std::string("llvm-mca's report has no number ") + key);
  }
  return j.at(key).get<double>();
}

}  // namespace

const McaRegion* McaReport::find(std::string_view name) const {
  for (const McaRegion& r : regions) {
    if (r.name == name) {
      return &r;
    }
  }
  return nullptr;
}

McaReport report_of(const json& j);

McaReport parse_mca_json(std::string_view text) {
  json j;
  try {
    j = json::parse(text);
  } catch (const json::exception& e) {
    throw LoopError(std::string("llvm-mca's report is not JSON: ") + e.what());
  }
  if (!j.is_object() || !j.contains("CodeRegions") || !j["CodeRegions"].is_array()) {
    throw LoopError("llvm-mca's report has no code regions");
  }
  try {
    return report_of(j);
  } catch (const json::exception& e) {
    throw LoopError(std::string("llvm-mca's report lacks a part: ") + e.what());
  }
}

McaReport report_of(const json& j) {
  McaReport report;
  if (j.contains("TargetInfo") && j["TargetInfo"].contains("CPUName") &&
      j["TargetInfo"]["CPUName"].is_string()) {
    report.cpu = j["TargetInfo"]["CPUName"].get<std::string>();
  }
  for (const json& r : j["CodeRegions"]) {
    McaRegion region;
    region.name = r.value("Name", "");
    const json& summary = r.at("SummaryView");
    region.block_reciprocal_throughput = number(summary, "BlockRThroughput");
    region.iterations = number(summary, "Iterations");
    region.total_cycles = number(summary, "TotalCycles");
    region.dispatch_width = number(summary, "DispatchWidth");
    const json& texts = r.at("Instructions");
    const json& info = r.at("InstructionInfoView").at("InstructionList");
    if (!texts.is_array() || !info.is_array() || texts.size() != info.size()) {
      throw LoopError("llvm-mca's report of region " + region.name +
                      " has instructions without their figures");
    }
    for (std::size_t i = 0; i < texts.size(); i++) {
      McaInstruction in;
      in.text = texts[i].is_string() ? texts[i].get<std::string>() : "";
      in.latency = number(info[i], "Latency");
      in.uops = static_cast<int>(number(info[i], "NumMicroOpcodes"));
      in.reciprocal_throughput = number(info[i], "RThroughput");
      in.may_load = info[i].value("mayLoad", false);
      in.may_store = info[i].value("mayStore", false);
      region.instructions.push_back(std::move(in));
    }
    report.regions.push_back(std::move(region));
  }
  return report;
}

McaInput mca_input(const std::vector<std::vector<Instruction>>& bodies,
                   const std::vector<std::pair<int, int>>& dropped) {
  McaInput input;
  auto add = [&](const std::string& line, int loop, int index) {
    input.text += line + "\n";
    input.owner.emplace_back(loop, index);
  };
  for (std::size_t l = 0; l < bodies.size(); l++) {
    const auto loop = static_cast<int>(l);
    const std::vector<Instruction>& body = bodies[l];
    add("# LLVM-MCA-BEGIN loop" + std::to_string(l), -1, -1);
    std::set<std::uint64_t> targets;
    std::vector<std::string> lines;
    for (const Instruction& in : body) {
      lines.push_back(line_of(in, targets));
    }
    std::set<std::uint64_t> defined;
    for (std::size_t i = 0; i < body.size(); i++) {
      if (targets.count(body[i].address) != 0 && defined.insert(body[i].address).second) {
        add(label(body[i].address) + ":", -1, -1);
      }
      const auto index = static_cast<int>(i);
      if (std::find(dropped.begin(), dropped.end(), std::make_pair(loop, index)) == dropped.end()) {
        add(lines[i], loop, index);
      }
    }
    for (const std::uint64_t t : targets) {
      if (defined.count(t) == 0) {
        add(label(t) + ":", -1, -1);
      }
    }
    add("# LLVM-MCA-END", -1, -1);
  }
  add("# LLVM-MCA-BEGIN " + std::string(kReferenceRegion), -1, -1);
  for (const char* line : {"movq (%rax), %rcx", "movsd (%rax), %xmm0", "addq (%rax), %rcx",
                           "addq %rdx, %rcx", "addsd (%rax), %xmm0", "addsd %xmm1, %xmm0"}) {
    add(line, -1, -1);
  }
  add("# LLVM-MCA-END", -1, -1);
  return input;
}

int region_loop(std::string_view name) {
  if (name.size() < 5 || name.substr(0, 4) != "loop") {
    return -1;
  }
  int n = 0;
  for (const char c : name.substr(4)) {
    if (c < '0' || c > '9') {
      return -1;
    }
    n = n * 10 + (c - '0');
  }
  return n;
}

std::optional<McaTool> find_mca(const std::string& path) {
  McaTool tool;
  tool.path = find_program(path.empty() ? "llvm-mca-14" : path);
  if (tool.path.empty() && path.empty()) {
    tool.path = find_program("llvm-mca");
  }
  if (tool.path.empty()) {
    return std::nullopt;
  }
  RunOptions options;
  options.args = {"--version"};
  options.timeout_seconds = 30;
  const RunResult r = run_program(tool.path, options);
  if (!r.ok()) {
    return std::nullopt;
  }
  // "  LLVM version 14.0.6", "  Host CPU: znver3"
  auto after = [&](std::string_view key) {
    const std::size_t at = r.out.find(key);
    if (at == std::string::npos) {
      return std::string();
    }
    const std::size_t from = at + key.size();
    std::string value = r.out.substr(from, r.out.find('\n', from) - from);
    while (!value.empty() && (value.front() == ' ' || value.front() == ':')) {
      value.erase(value.begin());
    }
    while (!value.empty() && (value.back() == ' ' || value.back() == '\r')) {
      value.pop_back();
    }
    return value;
  };
  tool.version = after("LLVM version");
  tool.host_cpu = after("Host CPU");
  return tool;
}

std::string mca_cpu(const McaTool& tool, const std::string& wanted, bool& fell_back) {
  fell_back = false;
  const std::string cpu = wanted.empty() ? tool.host_cpu : wanted;
  if (!cpu.empty() && cpu != "generic") {
    // An unknown name is "not a recognized processor" to llvm-mca, which then models none.
    RunOptions options;
    options.args = {"-mcpu=" + cpu, "-"};
    options.stdin_data = "nop\n";
    options.timeout_seconds = 30;
    const RunResult r = run_program(tool.path, options);
    if (r.ok() && r.err.find("not a recognized processor") == std::string::npos) {
      return cpu;
    }
  }
  fell_back = true;
  return "x86-64";
}

std::optional<McaReport> run_mca(const McaTool& tool, const McaInput& input, const std::string& cpu,
                                 std::vector<std::pair<int, int>>& refused) {
  RunOptions options;
  options.args = {"--json", "-mtriple=x86_64-unknown-linux-gnu", "-mcpu=" + cpu,
                  "--iterations=" + std::to_string(kMcaIterations), "-"};
  options.stdin_data = input.text;
  options.timeout_seconds = 120;
  options.max_output_bytes = std::size_t{64} << 20;
  const RunResult r = run_program(tool.path, options);
  if (r.ok()) {
    return parse_mca_json(r.out);
  }
  // "<stdin>:12:1: error: invalid instruction mnemonic 'foo'"
  std::size_t at = 0;
  bool found = false;
  while ((at = r.err.find("<stdin>:", at)) != std::string::npos) {
    at += 8;
    const int line = std::atoi(r.err.c_str() + at);
    const std::size_t error = r.err.find("error", at);
    if (line >= 1 && static_cast<std::size_t>(line) <= input.owner.size() &&
        error != std::string::npos && error < r.err.find('\n', at)) {
      const std::pair<int, int> owner = input.owner[static_cast<std::size_t>(line) - 1];
      if (owner.first >= 0) {
        refused.push_back(owner);
        found = true;
      }
    }
  }
  if (found) {
    return std::nullopt;
  }
  const std::string why = r.err.substr(0, r.err.find('\n'));
  throw LoopError("llvm-mca: " + (why.empty() ? r.describe() : why));
}

}  // namespace ks::loopmodel
