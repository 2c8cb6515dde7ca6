// The loop-carried critical path of a loop body: how many cycles an iteration must wait for
// the one before it, from the dependencies alone (no limit on the units that execute), through
// registers and through memory.
//
// Every instruction starts as soon as its inputs are ready:
// - an instruction without a load gives its result its latency after its last input;
// - a load splits its latency into the load and the operation (the rest): the load's part is
//   the reference load's latency of its register kind for a plain load, and the difference
//   between the reference add on memory and on registers for a load-and-operate one; its
//   result comes the operation's latency after the later of its register inputs and the
//   loaded value, which is ready the load's latency after its address, or, when a store to
//   the same address came before, the store-to-load forwarding latency after that store's
//   value;
// - memory is followed through addresses that stay the same in the loop (a base and index
//   that no instruction of the body writes: a stack slot at -O0, an accumulator A[i][j]
//   read and written in the k loop); addresses that move (through an index the loop
//   advances) are taken not to meet.
// Measured latencies replace the model's for the operations the probe measures (double add
// and multiply, integer add), when given. Without a measured forwarding latency a forwarded
// load costs the load's part of its latency.
//
// Each input of an instruction comes from the last instruction before it in the body that
// writes it, or else from the body's last writer one iteration earlier. The critical path is
// the cycle of these dependencies with the largest delay per iteration carried (found by
// bisection on that ratio, a longest-path search telling whether some cycle exceeds it), and
// its cycles per iteration are that ratio: what an iteration waits for the one before, once
// steady, with every unit free.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "loopmodel/disassembly.h"
#include "loopmodel/mca.h"

namespace ks::loopmodel {

struct Latencies {
  // The model's latency of a load into a general register and into a vector register, and
  // the part of a load-and-operate instruction's latency that is its load (its latency less
  // that of the same operation on registers).
  double integer_load = 5;
  double vector_load = 8;
  double integer_load_op = 4;
  double vector_load_op = 7;
  // Measured, in cycles; nothing: the model's figure.
  std::optional<double> fp64_add;
  std::optional<double> fp64_mul;
  std::optional<double> int_add;
  // A store's value to a later load of the same address.
  std::optional<double> store_forward;
};

// The model's load latencies from the reference region of an llvm-mca report.
Latencies model_latencies(const McaReport& report);

struct CriticalPath {
  double cycles = 0;                      // per iteration
  std::vector<std::size_t> instructions;  // indexes into the body, in body order
  bool through_memory = false;            // a store forwarded to a load is on it
  std::vector<std::string> via;           // what carries it: "v1", "memory -0x8(rbp)"
};

// figures[i] is llvm-mca's view of body[i].
CriticalPath critical_path(const std::vector<Instruction>& body,
                           const std::vector<McaInstruction>& figures, const Latencies& latencies);

}  // namespace ks::loopmodel
