// The timed kernel of a benchmark in its machine code: the code between its two clock
// readings, and the loops in it.
//
// A clock reading is a call to clock_gettime or omp_get_wtime (through the PLT or the GOT),
// or to a small function of the program that makes one (ks::wall_now when it is not inlined).
// The timed code starts after the first reading of a function and holds every instruction
// reachable from there without passing another reading; a call in it to a function of the
// program is followed into that function, and so is the start of an OpenMP parallel region
// (GOMP_parallel* and GOMP_parallel_sections take the outlined function as their first
// argument, __kmpc_fork_call as its third: the address the code loads into %rdi or %rdx before
// the call), the whole of the function it names being timed code.
//
// The loops are found by their back edges (an edge to an instruction that dominates its
// source, wherever the two are laid out); a loop's body is its header and every instruction
// that reaches a back edge without passing the header. A
// loop is innermost when it holds no other loop's header; its depth counts the loops around
// it, those around the call that leads to its function included. The kernel loops are the
// innermost loops of the greatest depth (the two inner loops of the record kernels, a
// vectorised loop and its scalar remainder); the main one of them is the largest.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "loopmodel/disassembly.h"

namespace ks::loopmodel {

struct Loop {
  std::string function;
  std::uint64_t header = 0;       // the address where an iteration starts (the back edges' target)
  std::uint64_t latch = 0;        // the address of the last instruction with a back edge
  std::vector<Instruction> body;  // in address order
  int depth = 1;                  // 1: no loop around it
  bool innermost = true;
  bool calls = false;  // calls a function: what that costs is not in the loop's figures

  // Instructions that execute (no padding nops).
  std::size_t size() const;
};

struct TimedKernel {
  std::string timer;        // "clock_gettime", "omp_get_wtime"
  std::string function;     // the function of the readings: "main", "main._omp_fn.1"
  std::uint64_t start = 0;  // the addresses of the two reading calls
  std::uint64_t end = 0;
  std::vector<std::string> functions;  // every function with timed code, the readings' first
  std::vector<Loop> loops;             // every loop of the timed code
  std::vector<std::size_t> kernel;     // the kernel loops (indexes into loops), address order
  std::size_t main = 0;                // the main kernel loop (an index into loops)
};

// The timed kernel of a program; throws LoopError when it has no pair of clock readings or no
// loop between them.
TimedKernel find_timed_kernel(const Disassembly& d);

// The loops of one function, all of it (depths counted inside the function).
std::vector<Loop> function_loops(const Function& f);

}  // namespace ks::loopmodel
