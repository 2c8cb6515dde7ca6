// A program's machine code as `objdump -d` prints it (AT&T syntax): its functions and their
// instructions, with the destinations of direct jumps and calls and the symbols objdump names
// beside them. Reading the text is separate from running objdump, so that the tests can give
// it a recorded listing.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ks::loopmodel {

// Anything that stops the analysis of a binary: one line saying why.
class LoopError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Instruction {
  std::uint64_t address = 0;
  std::string prefixes;  // "rep", "lock", "cs", "notrack" ..., space-separated, as printed
  std::string mnemonic;  // "addsd", "jne", "call"
  std::string operands;  // as printed, without the comment: "0x8(%rsp),%xmm0"
  // A direct jump's or call's destination ("jne 13d8 <main+0x188>") and the symbol objdump
  // gives it ("main+0x188", "clock_gettime@plt").
  std::optional<std::uint64_t> target;
  std::string target_symbol;
  // The address and symbol of objdump's comment ("# 2190 <main._omp_fn.0>"): where a
  // RIP-relative operand points.
  std::optional<std::uint64_t> comment_address;
  std::string comment_symbol;

  bool is_call() const { return mnemonic.rfind("call", 0) == 0; }
  bool is_return() const { return mnemonic.rfind("ret", 0) == 0; }
  bool is_jump() const;                // any jump, conditional or not, direct or indirect
  bool is_unconditional_jump() const;  // jmp
  bool is_nop() const;                 // nop, nopw, nopl, xchg %ax,%ax, ...
  // "addsd 0x8(%rsp),%xmm0": the instruction as it was printed, prefixes included.
  std::string text() const;
};

struct Function {
  std::string name;
  std::uint64_t address = 0;
  std::vector<Instruction> instructions;  // in address order

  // The index of the instruction at `address`, if it is one of this function's.
  std::optional<std::size_t> index_of(std::uint64_t address) const;
};

struct Disassembly {
  std::vector<Function> functions;  // in address order

  const Function* find(std::string_view name) const;
  const Function* at(std::uint64_t address) const;  // the function that starts there
};

// The functions of `objdump -d --no-show-raw-insn` output (every section it disassembled).
Disassembly parse_objdump(std::string_view text);

// Splits AT&T operands at the commas outside parentheses and braces: "0x8(%rax,%rbx,8),%xmm0"
// gives "0x8(%rax,%rbx,8)" and "%xmm0".
std::vector<std::string> split_operands(std::string_view operands);

// The first executable called `name` on PATH ("" when there is none); a name with a slash is
// taken as it is when it is executable.
std::string find_program(std::string_view name);

// Runs objdump on `binary` (an argv, never a shell) and reads its listing. Throws LoopError
// when it cannot be run or fails.
Disassembly disassemble(const std::string& binary, const std::string& objdump = "");

}  // namespace ks::loopmodel
