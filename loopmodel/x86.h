// What an x86-64 instruction (AT&T syntax, as objdump prints it) reads and writes: its
// registers, by their full names ("%eax" and "%al" are both rax, "%xmm3" and "%ymm3" both v3,
// the flags one more), and the memory it loads and stores. Enough of the instruction set to
// follow the dependencies of the suite's loops through registers and memory; an instruction it
// does not know is taken to read all its operands and write its last.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "loopmodel/disassembly.h"

namespace ks::loopmodel {

// "%fs:-0x8(%rbp,%rax,4)": segment, displacement, base, index, scale (registers by their full
// names, "rip" for RIP-relative).
struct MemoryOperand {
  std::string segment;
  std::int64_t displacement = 0;
  std::string symbol;  // a symbolic displacement, rare in objdump's output
  std::string base;
  std::string index;
  int scale = 1;

  bool operator==(const MemoryOperand&) const = default;
  // Canonical text: "-0x8(rbp)", "0x0(,rax,4)".
  std::string text() const;
};

// The full register an operand names: "rax" for %eax, %ax, %al and %ah; "r8" for %r8d; "v3"
// for %xmm3, %ymm3, %zmm3; "k1", "mm2", "st", "rip". "" for anything else.
std::string full_register(std::string_view reg);

// The operand's width when it names part of a 64-bit register (8 or 16 bits, which merge into
// the old value rather than replace it): true for %al, %ah, %ax, %r8b, %r8w.
bool is_partial_register(std::string_view reg);

std::optional<MemoryOperand> parse_memory(std::string_view operand);

struct Effects {
  std::vector<std::string> reads;    // registers the result depends on (flags as "flags")
  std::vector<std::string> address;  // registers of the memory operand's address
  std::vector<std::string> writes;
  std::optional<MemoryOperand> load;   // memory read
  std::optional<MemoryOperand> store;  // memory written
  bool vector = false;                 // works on vector registers (SSE, AVX)
};

Effects effects_of(const Instruction& in);

// The kind of operation whose measured latency may replace the scheduling model's:
// double-precision add or subtract, double-precision multiply, integer add or subtract.
enum class OpClass { kOther, kFp64Add, kFp64Mul, kIntAdd };
OpClass op_class(const Instruction& in);

}  // namespace ks::loopmodel
