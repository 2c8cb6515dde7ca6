#include "loopmodel/disassembly.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "spawn/spawn.h"

namespace ks::loopmodel {
namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (is_space(s.front()) || s.front() == '\r')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (is_space(s.back()) || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A whole hexadecimal number (an optional 0x first); nothing for anything else.
std::optional<std::uint64_t> hex(std::string_view s) {
  if (s.substr(0, 2) == "0x") {
    s.remove_prefix(2);
  }
  if (s.empty() || s.size() > 16 || !std::all_of(s.begin(), s.end(), is_hex)) {
    return std::nullopt;
  }
  return std::strtoull(std::string(s).c_str(), nullptr, 16);
}

// "13d8 <main+0x188>": the address and the symbol (either may be missing).
void address_and_symbol(std::string_view s, std::optional<std::uint64_t>& address,
                        std::string& symbol) {
  s = trim(s);
  const std::size_t open = s.find(" <");
  address = hex(open == std::string_view::npos ? s : s.substr(0, open));
  if (open != std::string_view::npos && s.back() == '>') {
    symbol = std::string(s.substr(open + 2, s.size() - open - 3));
  }
}

bool is_prefix(std::string_view token) {
  static constexpr std::string_view kPrefixes[] = {
      "rep", "repz", "repe",  "repnz",  "repne",  "lock",     "cs",       "ds",
      "ss",  "es",   "fs",    "gs",     "data16", "data32",   "addr32",   "notrack",
      "bnd", "rex",  "{vex}", "{vex3}", "{evex}", "xacquire", "xrelease",
  };
  return token.rfind("rex.", 0) == 0 ||
         std::find(std::begin(kPrefixes), std::end(kPrefixes), token) != std::end(kPrefixes);
}

// The text after "address:\t": prefixes, mnemonic, operands and comment.
std::optional<Instruction> parse_instruction(std::uint64_t address, std::string_view rest) {
  Instruction in;
  in.address = address;
  if (const std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
    address_and_symbol(rest.substr(hash + 1), in.comment_address, in.comment_symbol);
    rest = rest.substr(0, hash);
  }
  rest = trim(rest);
  if (rest.empty() || rest == "(bad)" || rest == "...") {
    return std::nullopt;
  }
  for (;;) {
    std::size_t end = 0;
    while (end < rest.size() && !is_space(rest[end])) {
      ++end;
    }
    const std::string_view token = rest.substr(0, end);
    const std::string_view after = trim(rest.substr(end));
    if (!after.empty() && is_prefix(token)) {
      in.prefixes += (in.prefixes.empty() ? "" : " ") + std::string(token);
      rest = after;
      continue;
    }
    in.mnemonic = std::string(token);
    in.operands = std::string(after);
    break;
  }
  if (in.mnemonic == "(bad)") {
    return std::nullopt;
  }
  if ((in.is_jump() || in.is_call()) && !in.operands.empty() && in.operands[0] != '*') {
    address_and_symbol(in.operands, in.target, in.target_symbol);
  }
  return in;
}

}  // namespace

bool Instruction::is_jump() const {
  return !mnemonic.empty() && mnemonic[0] == 'j';
}

bool Instruction::is_unconditional_jump() const {
  return mnemonic == "jmp" || mnemonic == "jmpq" || mnemonic == "ljmp";
}

bool Instruction::is_nop() const {
  return mnemonic.rfind("nop", 0) == 0 || (mnemonic == "xchg" && operands == "%ax,%ax");
}

std::string Instruction::text() const {
  std::string s = prefixes.empty() ? mnemonic : prefixes + " " + mnemonic;
  if (!operands.empty()) {
    s += " " + operands;
  }
  return s;
}

std::optional<std::size_t> Function::index_of(std::uint64_t a) const {
  const auto it = std::lower_bound(
      instructions.begin(), instructions.end(), a,
      [](const Instruction& in, std::uint64_t value) { return in.address < value; });
  if (it == instructions.end() || it->address != a) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(it - instructions.begin());
}

const Function* Disassembly::find(std::string_view name) const {
  for (const Function& f : functions) {
    if (f.name == name) {
      return &f;
    }
  }
  return nullptr;
}

const Function* Disassembly::at(std::uint64_t address) const {
  for (const Function& f : functions) {
    if (f.address == address) {
      return &f;
    }
  }
  return nullptr;
}

Disassembly parse_objdump(std::string_view text) {
  Disassembly d;
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    if (line.empty()) {
      continue;
    }
    if (!is_space(line[0])) {
      // "0000000000001339 <main>:" starts a function.
      const std::size_t open = line.find(" <");
      if (open == std::string_view::npos || line.size() < open + 4 ||
          line.substr(line.size() - 2) != ">:") {
        continue;
      }
      const std::optional<std::uint64_t> address = hex(line.substr(0, open));
      if (!address) {
        continue;
      }
      Function f;
      f.address = *address;
      f.name = std::string(line.substr(open + 2, line.size() - open - 4));
      d.functions.push_back(std::move(f));
      continue;
    }
    // "    1339:\tpush   %rbp"
    const std::string_view body = trim(line);
    const std::size_t colon = body.find(':');
    if (colon == std::string_view::npos || d.functions.empty()) {
      continue;
    }
    const std::optional<std::uint64_t> address = hex(body.substr(0, colon));
    if (!address) {
      continue;
    }
    if (std::optional<Instruction> in = parse_instruction(*address, body.substr(colon + 1))) {
      d.functions.back().instructions.push_back(std::move(*in));
    }
  }
  std::sort(d.functions.begin(), d.functions.end(),
            [](const Function& a, const Function& b) { return a.address < b.address; });
  return d;
}

std::vector<std::string> split_operands(std::string_view operands) {
  std::vector<std::string> out;
  int depth = 0;
  std::string current;
  for (const char c : operands) {
    if (c == '(' || c == '{') {
      ++depth;
    } else if (c == ')' || c == '}') {
      --depth;
    }
    if (c == ',' && depth == 0) {
      out.emplace_back(trim(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (!trim(current).empty()) {
    out.emplace_back(trim(current));
  }
  return out;
}

std::string find_program(std::string_view name) {
  auto executable = [](const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
  };
  if (name.find('/') != std::string_view::npos) {
    return executable(std::string(name)) ? std::string(name) : "";
  }
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    const std::size_t colon = dirs.find(':');
    const std::string_view dir = dirs.substr(0, colon);
    if (!dir.empty()) {
      const std::string candidate = std::string(dir) + "/" + std::string(name);
      if (executable(candidate)) {
        return candidate;
      }
    }
    if (colon == std::string_view::npos) {
      return "";
    }
    dirs.remove_prefix(colon + 1);
  }
}

Disassembly disassemble(const std::string& binary, const std::string& objdump) {
  const std::string tool = find_program(objdump.empty() ? "objdump" : objdump);
  if (tool.empty()) {
    throw LoopError("objdump is not installed (Debian's binutils)");
  }
  RunOptions options;
  options.args = {"-d", "--no-show-raw-insn", "--", binary};
  options.timeout_seconds = 120;
  options.env["LC_ALL"] = "C";
  const RunResult r = run_program(tool, options);
  if (!r.ok()) {
    std::string why = r.err.substr(0, r.err.find('\n'));
    throw LoopError("objdump " + binary + ": " + (why.empty() ? r.describe() : why));
  }
  Disassembly d = parse_objdump(r.out);
  if (d.functions.empty()) {
    throw LoopError("objdump found no code in " + binary);
  }
  return d;
}

}  // namespace ks::loopmodel
