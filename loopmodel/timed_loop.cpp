#include "loopmodel/timed_loop.h"

#include <algorithm>
#include <deque>
#include <map>
#include <optional>
#include <set>

#include "loopmodel/x86.h"

namespace ks::loopmodel {
namespace {

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// "clock_gettime@plt", "omp_get_wtime@GLIBC..." (a call through the GOT): the clock's name.
std::string clock_name(std::string_view symbol) {
  const std::string_view name = symbol.substr(0, symbol.find('@'));
  if (name == "clock_gettime" || name == "omp_get_wtime") {
    return std::string(name);
  }
  return "";
}

bool is_plt(std::string_view name) {
  return name.size() > 4 && name.substr(name.size() - 4) == "@plt";
}

// Functions after whose call nothing runs.
bool no_return(std::string_view symbol) {
  const std::string_view name = symbol.substr(0, symbol.find('@'));
  return name == "exit" || name == "_exit" || name == "abort" || name == "__stack_chk_fail" ||
         name == "_Unwind_Resume" || name == "__cxa_throw" || name == "_ZSt9terminatev" ||
         name == "__assert_fail" || name == "__cxa_rethrow";
}

// The name of what a call calls: the function at its destination, objdump's symbol for it, or
// the symbol of the GOT slot an indirect call goes through.
std::string callee(const Disassembly& d, const Instruction& in) {
  if (in.target) {
    if (const Function* f = d.at(*in.target)) {
      return f->name;
    }
    return in.target_symbol;
  }
  if (!in.operands.empty() && in.operands[0] == '*') {
    return in.comment_symbol;
  }
  return "";
}

struct Graph {
  std::vector<std::vector<std::size_t>> succ;
  std::vector<std::vector<std::size_t>> pred;
};

Graph flow_graph(const Disassembly* d, const Function& f) {
  const std::size_t n = f.instructions.size();
  Graph g;
  g.succ.resize(n);
  g.pred.resize(n);
  // Padding: the nops after an instruction that does not fall through, up to the next that a
  // jump names. They lead nowhere (else they would seem a way into the code after them).
  std::vector<bool> targeted(n, false);
  for (const Instruction& in : f.instructions) {
    if (in.target) {
      if (const std::optional<std::size_t> t = f.index_of(*in.target)) {
        targeted[*t] = true;
      }
    }
  }
  auto ends_flow = [&](const Instruction& in) {
    return in.is_return() || in.mnemonic == "hlt" || in.mnemonic == "ud2" ||
           in.is_unconditional_jump() ||
           (in.is_call() && no_return(d != nullptr ? callee(*d, in) : in.target_symbol));
  };
  bool padding = false;
  for (std::size_t i = 0; i < n; i++) {
    const Instruction& in = f.instructions[i];
    auto add = [&](std::size_t j) {
      g.succ[i].push_back(j);
      g.pred[j].push_back(i);
    };
    padding =
        in.is_nop() && !targeted[i] && (padding || (i > 0 && ends_flow(f.instructions[i - 1])));
    if (padding || in.is_return() || in.mnemonic == "hlt" || in.mnemonic == "ud2") {
      continue;
    }
    if (in.is_jump()) {
      if (in.target) {
        if (const std::optional<std::size_t> t = f.index_of(*in.target)) {
          add(*t);
        }
      }
      if (!in.is_unconditional_jump() && i + 1 < n) {
        add(i + 1);
      }
      continue;
    }
    if (in.is_call() && no_return(d != nullptr ? callee(*d, in) : in.target_symbol)) {
      continue;
    }
    if (i + 1 < n) {
      add(i + 1);
    }
  }
  return g;
}

std::size_t executed(const std::vector<Instruction>& body) {
  return static_cast<std::size_t>(
      std::count_if(body.begin(), body.end(), [](const Instruction& in) { return !in.is_nop(); }));
}

// Loops of a function as index sets, with their nesting.
struct RawLoop {
  std::size_t header = 0;
  std::size_t latch = 0;
  std::set<std::size_t> body;
};

// The immediate dominator of every instruction (an index; n for the virtual root above the
// function's entry and every other instruction that nothing jumps or falls to, such as the
// targets of a jump table; -1 for code no root reaches).
std::vector<std::size_t> dominators(const Graph& g) {
  const std::size_t n = g.succ.size();
  const std::size_t root = n;
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  auto successors = [&](std::size_t v) -> std::vector<std::size_t> {
    if (v != root) {
      return g.succ[v];
    }
    std::vector<std::size_t> roots;
    for (std::size_t i = 0; i < n; i++) {
      if (i == 0 || g.pred[i].empty()) {
        roots.push_back(i);
      }
    }
    return roots;
  };
  // Depth-first postorder from the root.
  std::vector<std::size_t> order(n + 1, kNone);
  std::vector<std::size_t> postorder;
  std::vector<bool> seen(n + 1, false);
  std::vector<std::pair<std::size_t, std::size_t>> stack = {{root, 0}};
  seen[root] = true;
  std::vector<std::vector<std::size_t>> succ_cache(n + 1);
  succ_cache[root] = successors(root);
  while (!stack.empty()) {
    auto& [v, next] = stack.back();
    const std::vector<std::size_t>& out = v == root ? succ_cache[root] : g.succ[v];
    if (next < out.size()) {
      const std::size_t w = out[next++];
      if (!seen[w]) {
        seen[w] = true;
        stack.emplace_back(w, 0);
      }
      continue;
    }
    order[v] = postorder.size();
    postorder.push_back(v);
    stack.pop_back();
  }
  std::vector<std::size_t> idom(n + 1, kNone);
  idom[root] = root;
  auto intersect = [&](std::size_t a, std::size_t b) {
    while (a != b) {
      while (order[a] < order[b]) {
        a = idom[a];
      }
      while (order[b] < order[a]) {
        b = idom[b];
      }
    }
    return a;
  };
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t k = postorder.size(); k-- > 0;) {
      const std::size_t v = postorder[k];
      if (v == root) {
        continue;
      }
      std::size_t best = (v == 0 || g.pred[v].empty()) ? root : kNone;
      for (const std::size_t p : g.pred[v]) {
        if (idom[p] != kNone) {
          best = best == kNone ? p : intersect(p, best);
        }
      }
      if (best != kNone && idom[v] != best) {
        idom[v] = best;
        changed = true;
      }
    }
  }
  idom.resize(n);
  return idom;
}

bool dominates(const std::vector<std::size_t>& idom, std::size_t a, std::size_t b) {
  const std::size_t root = idom.size();
  for (std::size_t v = b; v != root && v != static_cast<std::size_t>(-1); v = idom[v]) {
    if (v == a) {
      return true;
    }
    if (idom[v] == v) {
      break;
    }
  }
  return false;
}

// Loops by their back edges: an edge to an instruction that dominates its source, wherever
// the two lie (unoptimised code enters a loop at its test, laid out after the body). The loop
// is the header and everything that reaches the edge's source without passing the header.
std::vector<RawLoop> raw_loops(const Function& f, const Graph& g) {
  const std::vector<std::size_t> idom = dominators(g);
  std::map<std::size_t, RawLoop> by_header;
  for (std::size_t u = 0; u < f.instructions.size(); u++) {
    for (const std::size_t v : g.succ[u]) {
      if (!dominates(idom, v, u)) {
        continue;
      }
      RawLoop& loop = by_header[v];
      loop.header = v;
      loop.latch = loop.body.empty() ? u : std::max(loop.latch, u);
      loop.body.insert(v);
      std::deque<std::size_t> work;
      if (loop.body.insert(u).second || u == v) {
        work.push_back(u);
      }
      while (!work.empty()) {
        const std::size_t j = work.front();
        work.pop_front();
        if (j == v) {
          continue;
        }
        for (const std::size_t p : g.pred[j]) {
          if (loop.body.insert(p).second) {
            work.push_back(p);
          }
        }
      }
    }
  }
  std::vector<RawLoop> loops;
  for (auto& entry : by_header) {
    loops.push_back(std::move(entry.second));
  }
  return loops;
}

Loop make_loop(const Function& f, const RawLoop& raw, const std::vector<RawLoop>& all) {
  Loop loop;
  loop.function = f.name;
  loop.header = f.instructions[raw.header].address;
  loop.latch = f.instructions[raw.latch].address;
  for (const std::size_t j : raw.body) {
    loop.body.push_back(f.instructions[j]);
    loop.calls = loop.calls || f.instructions[j].is_call();
  }
  for (const RawLoop& other : all) {
    if (&other == &raw) {
      continue;
    }
    if (raw.body.count(other.header) != 0) {
      loop.innermost = false;
    }
    if (other.body.count(raw.header) != 0 && raw.body.count(other.header) == 0) {
      ++loop.depth;
    }
  }
  return loop;
}

// What a call in the timed code leads to: a function of the program, or the outlined body of
// a parallel region; nothing for a library call.
const Function* followed(const Disassembly& d, const Function& f, std::size_t i) {
  const Instruction& call = f.instructions[i];
  const std::string name = callee(d, call);
  std::string argument;  // the register that carries the outlined function
  if (starts_with(name, "GOMP_parallel") || starts_with(name, "GOMP_teams")) {
    argument = "rdi";
  } else if (starts_with(name, "__kmpc_fork_call") || starts_with(name, "__kmpc_fork_teams")) {
    argument = "rdx";
  }
  if (argument.empty()) {
    if (!call.target || is_plt(name)) {
      return nullptr;
    }
    return d.at(*call.target);
  }
  // The last instruction before the call that sets the argument register.
  for (std::size_t back = 1; back <= 40 && back <= i; back++) {
    const Instruction& in = f.instructions[i - back];
    if (in.is_call()) {
      break;
    }
    const Effects e = effects_of(in);
    if (std::find(e.writes.begin(), e.writes.end(), argument) == e.writes.end()) {
      continue;
    }
    if (in.comment_address) {
      return d.at(*in.comment_address);
    }
    const std::vector<std::string> ops = split_operands(in.operands);
    if (!ops.empty() && starts_with(ops[0], "$")) {
      return d.at(std::strtoull(ops[0].c_str() + 1, nullptr, 16));
    }
    break;
  }
  return nullptr;
}

bool is_clock_call(const Disassembly& d, const Instruction& in,
                   const std::map<std::string, std::string>& wrappers, std::string& timer) {
  if (!in.is_call()) {
    return false;
  }
  const std::string name = callee(d, in);
  timer = clock_name(name);
  if (!timer.empty()) {
    return true;
  }
  const auto w = wrappers.find(name);
  if (w != wrappers.end()) {
    timer = w->second;
    return true;
  }
  return false;
}

// Whether the jump at instruction `from` of `f` closes a cycle: its target reaches it again,
// along fall-throughs and the jumps inside `f` (a jump back to the path a cold block left, as
// a sanitizer's instrumentation makes, closes none).
bool closes_cycle(const Function& f, std::size_t from) {
  const std::optional<std::size_t> start = f.index_of(*f.instructions[from].target);
  if (!start) {
    return false;
  }
  std::vector<bool> seen(f.instructions.size(), false);
  std::vector<std::size_t> todo = {*start};
  while (!todo.empty()) {
    const std::size_t i = todo.back();
    todo.pop_back();
    if (i >= f.instructions.size() || seen[i]) {
      continue;
    }
    if (i == from) {
      return true;
    }
    seen[i] = true;
    const Instruction& in = f.instructions[i];
    if (in.is_return()) {
      continue;
    }
    if (in.is_jump() && in.target) {
      if (const std::optional<std::size_t> t = f.index_of(*in.target)) {
        todo.push_back(*t);
      }
    }
    if (!in.is_unconditional_jump()) {
      todo.push_back(i + 1);
    }
  }
  return false;
}

// Small functions without loops that read a clock once: the program's own clock readings.
std::map<std::string, std::string> clock_wrappers(const Disassembly& d) {
  std::map<std::string, std::string> wrappers;
  for (const Function& f : d.functions) {
    // Small: a reading inlined nowhere, at -O0 and with a sanitizer's checks it stays under 160.
    if (is_plt(f.name) || f.instructions.size() > 160) {
      continue;
    }
    int readings = 0;
    std::string timer;
    bool loops = false;
    for (std::size_t i = 0; i < f.instructions.size(); i++) {
      const Instruction& in = f.instructions[i];
      if (in.is_call()) {
        const std::string t = clock_name(callee(d, in));
        if (!t.empty()) {
          ++readings;
          timer = t;
        }
      }
      if (in.is_jump() && in.target && *in.target <= in.address && *in.target >= f.address &&
          closes_cycle(f, i)) {
        loops = true;
      }
    }
    if (readings == 1 && !loops) {
      wrappers[f.name] = timer;
    }
  }
  return wrappers;
}

struct Region {
  const Function* function = nullptr;
  std::string timer;
  std::size_t start = 0;
  std::size_t end = 0;
  std::set<std::size_t> code;
};

}  // namespace

std::size_t Loop::size() const {
  return executed(body);
}

std::vector<Loop> function_loops(const Function& f) {
  const Graph g = flow_graph(nullptr, f);
  const std::vector<RawLoop> raw = raw_loops(f, g);
  std::vector<Loop> loops;
  for (const RawLoop& r : raw) {
    loops.push_back(make_loop(f, r, raw));
  }
  return loops;
}

TimedKernel find_timed_kernel(const Disassembly& d) {
  const std::map<std::string, std::string> wrappers = clock_wrappers(d);
  std::optional<Region> best;
  for (const Function& f : d.functions) {
    if (is_plt(f.name) || wrappers.count(f.name) != 0) {
      continue;
    }
    const Graph g = flow_graph(&d, f);
    for (std::size_t c = 0; c < f.instructions.size(); c++) {
      std::string timer;
      if (!is_clock_call(d, f.instructions[c], wrappers, timer)) {
        continue;
      }
      // Everything reachable from the reading without passing another one.
      Region r;
      r.function = &f;
      r.timer = timer;
      r.start = c;
      std::optional<std::size_t> end;
      std::deque<std::size_t> work(g.succ[c].begin(), g.succ[c].end());
      std::set<std::size_t> seen(work.begin(), work.end());
      while (!work.empty()) {
        const std::size_t j = work.front();
        work.pop_front();
        std::string other;
        if (is_clock_call(d, f.instructions[j], wrappers, other)) {
          end = end ? std::min(*end, j) : j;
          continue;
        }
        r.code.insert(j);
        for (const std::size_t s : g.succ[j]) {
          if (seen.insert(s).second) {
            work.push_back(s);
          }
        }
      }
      if (!end) {
        continue;
      }
      r.end = *end;
      if (!best || r.code.size() > best->code.size()) {
        best = std::move(r);
      }
    }
  }
  if (!best) {
    throw LoopError("no pair of clock readings (clock_gettime, omp_get_wtime) found");
  }

  TimedKernel k;
  k.timer = best->timer;
  k.function = best->function->name;
  k.start = best->function->instructions[best->start].address;
  k.end = best->function->instructions[best->end].address;

  // The readings' function: its loops whose header is timed code.
  struct Pending {
    const Function* function;
    std::set<std::size_t> code;  // empty: the whole function
    int depth;                   // loops around the call that leads here
  };
  std::deque<Pending> work = {{best->function, best->code, 0}};
  std::set<std::string> visited = {best->function->name};
  while (!work.empty()) {
    const Pending p = work.front();
    work.pop_front();
    const Function& f = *p.function;
    k.functions.push_back(f.name);
    const Graph g = flow_graph(&d, f);
    const std::vector<RawLoop> raw_all = raw_loops(f, g);
    std::vector<RawLoop> raw;
    for (const RawLoop& r : raw_all) {
      if (p.code.empty() || p.code.count(r.header) != 0) {
        raw.push_back(r);
      }
    }
    for (const RawLoop& r : raw) {
      Loop loop = make_loop(f, r, raw);
      loop.depth += p.depth;
      k.loops.push_back(std::move(loop));
    }
    for (std::size_t i = 0; i < f.instructions.size(); i++) {
      if (!f.instructions[i].is_call() || (!p.code.empty() && p.code.count(i) == 0)) {
        continue;
      }
      const Function* next = followed(d, f, i);
      if (next == nullptr || wrappers.count(next->name) != 0 ||
          !visited.insert(next->name).second || visited.size() > 16) {
        continue;
      }
      int around = p.depth;
      for (const RawLoop& r : raw) {
        around += r.body.count(i) != 0 ? 1 : 0;
      }
      work.push_back({next, {}, around});
    }
  }
  if (k.loops.empty()) {
    throw LoopError("no loop between the clock readings in " + k.function);
  }
  int deepest = 0;
  for (const Loop& loop : k.loops) {
    if (loop.innermost) {
      deepest = std::max(deepest, loop.depth);
    }
  }
  for (std::size_t i = 0; i < k.loops.size(); i++) {
    if (k.loops[i].innermost && k.loops[i].depth == deepest) {
      k.kernel.push_back(i);
    }
  }
  std::sort(k.kernel.begin(), k.kernel.end(),
            [&](std::size_t a, std::size_t b) { return k.loops[a].header < k.loops[b].header; });
  k.main = k.kernel.front();
  for (const std::size_t i : k.kernel) {
    if (k.loops[i].size() > k.loops[k.main].size()) {
      k.main = i;
    }
  }
  return k;
}

}  // namespace ks::loopmodel
