#include "loopmodel/x86.h"

#include <algorithm>
#include <cstdlib>

namespace ks::loopmodel {
namespace {

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

bool one_of(std::string_view s, std::initializer_list<std::string_view> names) {
  return std::find(names.begin(), names.end(), s) != names.end();
}

// The mnemonic without an AT&T size suffix when it is an integer instruction that takes one
// ("addl" -> "add", "cmpq" -> "cmp"); the mnemonic itself otherwise.
std::string_view base_of(std::string_view m) {
  static constexpr std::string_view kSized[] = {
      "add",  "sub", "adc", "sbb",  "and", "or",  "xor",  "cmp",   "test",    "inc",  "dec",
      "neg",  "not", "shl", "shr",  "sal", "sar", "rol",  "ror",   "imul",    "mul",  "div",
      "idiv", "mov", "lea", "push", "pop", "bt",  "xchg", "bswap", "cmpxchg", "xadd",
  };
  const char last = m.empty() ? '\0' : m.back();
  if (m.size() > 1 && (last == 'b' || last == 'w' || last == 'l' || last == 'q')) {
    const std::string_view stem = m.substr(0, m.size() - 1);
    if (std::find(std::begin(kSized), std::end(kSized), stem) != std::end(kSized)) {
      return stem;
    }
  }
  return m;
}

bool writes_flags(std::string_view base) {
  return one_of(
      base, {"add",    "sub",    "adc",      "sbb",      "and",     "or",      "xor",     "cmp",
             "test",   "inc",    "dec",      "neg",      "shl",     "shr",     "sal",     "sar",
             "rol",    "ror",    "imul",     "mul",      "div",     "idiv",    "bt",      "bsf",
             "bsr",    "lzcnt",  "tzcnt",    "popcnt",   "ptest",   "vptest",  "ucomisd", "ucomiss",
             "comisd", "comiss", "vucomisd", "vucomiss", "vcomisd", "vcomiss", "cmpxchg", "xadd"});
}

bool is_compare(std::string_view base) {
  return one_of(base, {"cmp", "test", "bt", "ptest", "vptest", "ucomisd", "ucomiss", "comisd",
                       "comiss", "vucomisd", "vucomiss", "vcomisd", "vcomiss"});
}

// Scalar SSE operations that write the low lane and keep the rest of their destination.
bool merges_destination(std::string_view m) {
  return one_of(m, {"cvtsi2sd", "cvtsi2sdl", "cvtsi2sdq", "cvtsi2ss", "cvtsi2ssl", "cvtsi2ssq",
                    "cvtsd2ss", "cvtss2sd", "sqrtsd", "sqrtss", "roundsd", "roundss", "rcpss",
                    "rsqrtss", "movhpd", "movlpd", "movhps", "movlps"});
}

// Writes its destination without reading it (moves, conversions, address arithmetic).
bool is_move(std::string_view m) {
  if (one_of(m, {"movsd", "movss"}) || merges_destination(m)) {
    return false;  // decided by the operands, or keeps part of the destination
  }
  return starts_with(m, "mov") || starts_with(m, "vmov") || starts_with(m, "cvt") ||
         starts_with(m, "vcvt") || starts_with(m, "lea") || starts_with(m, "vbroadcast") ||
         starts_with(m, "vpbroadcast") || starts_with(m, "pmovzx") || starts_with(m, "pmovsx") ||
         starts_with(m, "vpmovzx") || starts_with(m, "vpmovsx") ||
         one_of(m, {"pshufd", "vpshufd", "popcnt", "lzcnt", "tzcnt", "bsf", "bsr", "movmskpd",
                    "pmovmskb", "vpmovmskb"});
}

// An instruction whose two sources are the same register and whose result does not depend on
// it: xor %eax,%eax, pxor %xmm0,%xmm0, sub %eax,%eax.
bool is_zero_idiom(std::string_view base) {
  return one_of(base, {"xor", "sub", "pxor", "xorps", "xorpd", "vpxor", "vpxord", "vpxorq",
                       "vxorps", "vxorpd", "psubd", "psubq", "vpsubd", "vpsubq"});
}

bool is_register(std::string_view operand) {
  return !operand.empty() && operand[0] == '%' && operand.find('(') == std::string_view::npos &&
         operand.find(':') == std::string_view::npos;
}

bool is_immediate(std::string_view operand) {
  return !operand.empty() && operand[0] == '$';
}

// An AVX-512 operand "%zmm0{%k1}{z}": the register, its mask, whether it zeroes.
struct Masked {
  std::string_view operand;
  std::string mask;
  bool zeroing = false;
};

Masked strip_mask(std::string_view operand) {
  Masked m;
  const std::size_t brace = operand.find('{');
  m.operand = operand.substr(0, brace);
  if (brace != std::string_view::npos) {
    const std::string_view rest = operand.substr(brace);
    const std::size_t k = rest.find("%k");
    if (k != std::string_view::npos) {
      m.mask = full_register(rest.substr(k, 3));
    }
    m.zeroing = rest.find("{z}") != std::string_view::npos;
  }
  return m;
}

void add_unique(std::vector<std::string>& list, const std::string& reg) {
  if (!reg.empty() && std::find(list.begin(), list.end(), reg) == list.end()) {
    list.push_back(reg);
  }
}

}  // namespace

std::string MemoryOperand::text() const {
  std::string s = segment.empty() ? "" : segment + ":";
  char disp[32];
  if (displacement < 0) {
    std::snprintf(disp, sizeof disp, "-0x%llx",
                  0ull - static_cast<unsigned long long>(displacement));
  } else {
    std::snprintf(disp, sizeof disp, "0x%llx", static_cast<unsigned long long>(displacement));
  }
  s += symbol.empty() ? disp : symbol;
  if (!base.empty() || !index.empty()) {
    s += "(" + base;
    if (!index.empty()) {
      s += "," + index + "," + std::to_string(scale);
    }
    s += ")";
  }
  return s;
}

std::string full_register(std::string_view reg) {
  if (reg.empty() || reg[0] != '%') {
    return "";
  }
  std::string r(reg.substr(1));
  static constexpr std::string_view kLegacy[][5] = {
      {"rax", "eax", "ax", "al", "ah"}, {"rbx", "ebx", "bx", "bl", "bh"},
      {"rcx", "ecx", "cx", "cl", "ch"}, {"rdx", "edx", "dx", "dl", "dh"},
      {"rsi", "esi", "si", "sil", ""},  {"rdi", "edi", "di", "dil", ""},
      {"rbp", "ebp", "bp", "bpl", ""},  {"rsp", "esp", "sp", "spl", ""},
  };
  for (const auto& names : kLegacy) {
    for (const std::string_view name : names) {
      if (!name.empty() && r == name) {
        return std::string(names[0]);
      }
    }
  }
  if (r == "rip" || r == "eip") {
    return "rip";
  }
  // r8 .. r15 with their d, w, b (or l) parts.
  if (r.size() >= 2 && r[0] == 'r' && r[1] >= '0' && r[1] <= '9') {
    std::size_t i = 1;
    while (i < r.size() && r[i] >= '0' && r[i] <= '9') {
      ++i;
    }
    const std::string_view suffix = std::string_view(r).substr(i);
    if (suffix.empty() || one_of(suffix, {"d", "w", "b", "l"})) {
      return r.substr(0, i);
    }
    return "";
  }
  for (const std::string_view vec : {"xmm", "ymm", "zmm"}) {
    if (starts_with(r, vec) && r.size() > 3) {
      return "v" + r.substr(3);
    }
  }
  if ((r[0] == 'k' && r.size() == 2) || starts_with(r, "mm")) {
    return r;
  }
  if (starts_with(r, "st")) {
    return "st";
  }
  return "";
}

bool is_partial_register(std::string_view reg) {
  if (reg.empty() || reg[0] != '%') {
    return false;
  }
  const std::string_view r = reg.substr(1);
  if (one_of(r, {"ax", "bx", "cx", "dx", "si", "di", "bp",  "sp",  "al",  "ah",
                 "bl", "bh", "cl", "ch", "dl", "dh", "sil", "dil", "bpl", "spl"})) {
    return true;
  }
  return r.size() >= 3 && r[0] == 'r' && r[1] >= '0' && r[1] <= '9' &&
         (r.back() == 'w' || r.back() == 'b' || r.back() == 'l');
}

std::optional<MemoryOperand> parse_memory(std::string_view operand) {
  if (operand.empty() || operand[0] == '$' || is_register(operand)) {
    return std::nullopt;
  }
  MemoryOperand m;
  if (operand[0] == '*') {
    operand.remove_prefix(1);
  }
  if (operand.size() > 3 && operand[0] == '%' && operand[3] == ':') {
    m.segment = std::string(operand.substr(1, 2));
    operand.remove_prefix(4);
  }
  const std::size_t open = operand.find('(');
  const std::string_view disp = operand.substr(0, open);
  if (!disp.empty()) {
    const bool negative = disp[0] == '-';
    const std::string digits(disp.substr(negative ? 1 : 0));
    char* end = nullptr;
    const unsigned long long value = std::strtoull(digits.c_str(), &end, 0);
    if (end != nullptr && *end == '\0' && !digits.empty()) {
      m.displacement =
          negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
    } else {
      m.symbol = std::string(disp);
    }
  }
  if (open != std::string_view::npos) {
    const std::size_t close = operand.find(')', open);
    if (close == std::string_view::npos) {
      return std::nullopt;
    }
    // "(%rax)", "(%rax,%rbx,8)", "(,%rbx,8)": base, index and scale by position.
    const std::vector<std::string> parts =
        split_operands(operand.substr(open + 1, close - open - 1));
    if (!parts.empty()) {
      m.base = full_register(parts[0]);
    }
    if (parts.size() > 1) {
      m.index = full_register(parts[1]);
    }
    if (parts.size() > 2) {
      m.scale = std::atoi(parts[2].c_str());
    }
  }
  return m;
}

Effects effects_of(const Instruction& in) {
  Effects e;
  const std::string_view m = in.mnemonic;
  const std::string_view base = base_of(m);
  std::vector<std::string> ops = split_operands(in.operands);
  if (in.is_jump() || in.is_call()) {
    if (in.is_jump() && !in.is_unconditional_jump()) {
      e.reads.push_back("flags");
    }
    if (!in.operands.empty() && in.operands[0] == '*') {
      const std::string_view target = std::string_view(in.operands).substr(1);
      if (is_register(target)) {
        add_unique(e.reads, full_register(target));
      } else if (std::optional<MemoryOperand> mem = parse_memory(target)) {
        add_unique(e.address, mem->base);
        add_unique(e.address, mem->index);
        e.load = mem;
      }
    }
    if (in.is_call()) {
      add_unique(e.reads, "rsp");
      for (const char* w : {"rsp", "rax", "v0", "flags"}) {
        add_unique(e.writes, w);
      }
    }
    return e;
  }
  if (in.is_nop() || starts_with(m, "prefetch") || one_of(m, {"vzeroupper", "endbr64", "pause"})) {
    return e;
  }
  if (ops.empty()) {
    if (one_of(m, {"cltq", "cdqe", "cwtl", "cbtw"})) {
      e.reads = {"rax"};
      e.writes = {"rax"};
    } else if (one_of(m, {"cqto", "cqo", "cltd", "cdq", "cwtd", "cwd"})) {
      e.reads = {"rax"};
      e.writes = {"rdx"};
    } else if (in.is_return()) {
      e.reads = {"rsp"};
      e.writes = {"rsp"};
    } else if (m == "leave") {
      e.reads = {"rbp"};
      e.writes = {"rsp", "rbp"};
    }
    return e;
  }

  // Operand roles: the last operand is the destination; an instruction reads its sources and,
  // unless it only moves or converts into it, its destination too.
  const std::string last = ops.back();
  const Masked dest = strip_mask(last);
  bool reads_destination = true;
  bool writes_destination = true;
  const std::size_t n = ops.size();
  if (is_compare(base)) {
    writes_destination = false;
  } else if (one_of(m, {"movsd", "movss"})) {
    // A move between registers keeps the destination's upper lane; a load clears it.
    reads_destination = n == 2 && is_register(ops[0]) && is_register(last);
  } else if (merges_destination(m)) {
    reads_destination = true;
  } else if (is_move(m) || (base == "imul" && n == 3) || starts_with(m, "set")) {
    reads_destination = false;
  } else if (n >= 3) {
    reads_destination = starts_with(m, "vfmadd") || starts_with(m, "vfmsub") ||
                        starts_with(m, "vfnmadd") || starts_with(m, "vfnmsub") ||
                        one_of(base, {"shld", "shrd"});
  } else if (one_of(base, {"push"})) {
    reads_destination = true;
    writes_destination = false;
  } else if (one_of(base, {"pop"})) {
    reads_destination = false;
  }
  if (!dest.mask.empty()) {
    add_unique(e.reads, dest.mask);
    reads_destination = reads_destination || !dest.zeroing;
  }
  // A zero idiom depends on nothing.
  const bool zero_idiom = is_zero_idiom(base) && n >= 2 && is_register(ops[0]) &&
                          full_register(ops[0]) == full_register(strip_mask(ops[1]).operand);

  if (one_of(base, {"mul", "div", "idiv"}) || (base == "imul" && n == 1)) {
    add_unique(e.reads, "rax");
    if (base != "mul" && base != "imul") {
      add_unique(e.reads, "rdx");
    }
    e.writes = {"rax", "rdx"};
    writes_destination = false;
    reads_destination = true;
  }
  if (one_of(base, {"push", "pop"})) {
    add_unique(e.reads, "rsp");
    add_unique(e.writes, "rsp");
  }

  for (std::size_t i = 0; i < n; i++) {
    const bool is_dest = i + 1 == n;
    const std::string_view op = is_dest ? dest.operand : std::string_view(ops[i]);
    if (is_immediate(op)) {
      continue;
    }
    if (is_register(op)) {
      const std::string reg = full_register(op);
      if (reg.empty()) {
        continue;
      }
      if (reg[0] == 'v') {
        e.vector = true;
      }
      if (zero_idiom) {
        continue;
      }
      if (!is_dest || reads_destination || (writes_destination && is_partial_register(op))) {
        add_unique(e.reads, reg);
      }
      continue;
    }
    const std::optional<MemoryOperand> mem = parse_memory(op);
    if (!mem) {
      continue;
    }
    if (starts_with(m, "lea")) {
      add_unique(e.reads, mem->base == "rip" ? "" : mem->base);
      add_unique(e.reads, mem->index);
      continue;
    }
    if (mem->base != "rip") {
      add_unique(e.address, mem->base);
    }
    add_unique(e.address, mem->index);
    if (!is_dest || reads_destination) {
      e.load = mem;
    }
    if (is_dest && writes_destination) {
      e.store = mem;
    }
  }
  if (writes_destination && is_register(dest.operand)) {
    add_unique(e.writes, full_register(dest.operand));
  }
  if (base == "cmov" || starts_with(m, "cmov") || starts_with(m, "set") ||
      one_of(base, {"adc", "sbb"})) {
    add_unique(e.reads, "flags");
  }
  if (writes_flags(base)) {
    add_unique(e.writes, "flags");
  }
  if (zero_idiom) {
    e.reads.clear();
    if (!dest.mask.empty()) {
      e.reads.push_back(dest.mask);
    }
  }
  return e;
}

OpClass op_class(const Instruction& in) {
  const std::string_view m = in.mnemonic;
  if (one_of(m, {"addsd", "subsd", "addpd", "subpd", "vaddsd", "vsubsd", "vaddpd", "vsubpd"})) {
    return OpClass::kFp64Add;
  }
  if (one_of(m, {"mulsd", "mulpd", "vmulsd", "vmulpd"})) {
    return OpClass::kFp64Mul;
  }
  const std::string_view base = base_of(m);
  if (one_of(base, {"add", "sub", "inc", "dec"})) {
    return OpClass::kIntAdd;
  }
  return OpClass::kOther;
}

}  // namespace ks::loopmodel
