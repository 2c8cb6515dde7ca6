// Pricing loop bodies with llvm-mca (Debian's llvm-14): the input it reads (AT&T assembly,
// one code region per loop, labels for the branch targets), the CPU it models, running it,
// and reading its JSON report.
//
// The CPU: the one LLVM names for this host ("Host CPU" of `llvm-mca --version`, what
// -mcpu=native means); when LLVM does not know it ("generic", or a name it refuses), the
// generic x86-64 model, and the analysis says it fell back.
//
// Every input ends with a region of reference instructions ("loads": an integer load, a
// double-precision load, and an integer and a double-precision add each from memory and on
// registers), whose latencies tell how much of a load's latency is the load (dependencies.h).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "loopmodel/disassembly.h"

namespace ks::loopmodel {

struct McaInstruction {
  std::string text;  // as llvm-mca prints it: "addsd\t(%rsi,%rax,8), %xmm0"
  double latency = 0;
  int uops = 0;
  double reciprocal_throughput = 0;
  bool may_load = false;
  bool may_store = false;
};

struct McaRegion {
  std::string name;
  std::vector<McaInstruction> instructions;
  double block_reciprocal_throughput = 0;  // cycles per iteration by resources alone
  double iterations = 0;                   // simulated
  double total_cycles = 0;
  double dispatch_width = 0;

  // Cycles per iteration of llvm-mca's simulation: resources and register dependencies (not
  // dependencies through memory, which it does not model).
  double simulated_cycles() const { return iterations > 0 ? total_cycles / iterations : 0; }
};

struct McaReport {
  std::string cpu;  // the CPU llvm-mca modelled
  std::vector<McaRegion> regions;
  const McaRegion* find(std::string_view name) const;
};

// Reads llvm-mca's --json report; throws LoopError when it is not one.
McaReport parse_mca_json(std::string_view text);

// The input of one llvm-mca run: a code region per loop body ("loop0", "loop1", ...) and the
// reference region last. In a body each instruction is a line, padding nops are "nop",
// prefixes llvm-mca does not take (segment overrides of nops, notrack, bnd) are dropped, and
// the destinations of direct branches and calls are labels, defined where they are in the
// body and at its end otherwise. `dropped` holds the (loop, instruction) pairs to leave out:
// those llvm-mca refused in an earlier attempt.
struct McaInput {
  std::string text;
  // The loop and instruction of each line (1-based, as llvm-mca reports errors); -1 for the
  // lines that hold none.
  std::vector<std::pair<int, int>> owner;
};
McaInput mca_input(const std::vector<std::vector<Instruction>>& bodies,
                   const std::vector<std::pair<int, int>>& dropped = {});

// Iterations llvm-mca simulates: enough that filling the pipeline at the start weighs little
// in its cycles per iteration.
inline constexpr int kMcaIterations = 1000;

// The name of the reference region.
inline constexpr std::string_view kReferenceRegion = "loads";

// The loop index of a region named "loop<N>"; -1 for any other.
int region_loop(std::string_view name);

struct McaTool {
  std::string path;     // the llvm-mca executable
  std::string version;  // "14.0.6"
  std::string host_cpu;
};

// llvm-mca-14, else llvm-mca, on PATH (or `path` when given), with its version and the host
// CPU it names; nothing when there is none.
std::optional<McaTool> find_mca(const std::string& path = "");

// The -mcpu to use: `wanted` if given, else the host's, else "x86-64" (`fell_back` set) when
// the host's is "generic" or unknown to this llvm-mca.
std::string mca_cpu(const McaTool& tool, const std::string& wanted, bool& fell_back);

// Runs llvm-mca on `input` for `cpu`. When it refuses lines of the input, their owners go to
// `refused` and nothing is returned; any other failure throws LoopError.
std::optional<McaReport> run_mca(const McaTool& tool, const McaInput& input, const std::string& cpu,
                                 std::vector<std::pair<int, int>>& refused);

}  // namespace ks::loopmodel
