#include "loopmodel/dependencies.h"

#include <algorithm>
#include <limits>
#include <map>
#include <set>

#include "loopmodel/x86.h"

namespace ks::loopmodel {
namespace {

// A dependency: `to` may start `delay` cycles after `from` gives its result, `distance`
// iterations later (0: the same iteration, 1: the next).
struct Edge {
  std::size_t from = 0;
  std::size_t to = 0;
  double delay = 0;
  int distance = 0;
  std::string via;
};

// Whether some cycle has delay - lambda x distance above zero, and if so one such cycle (its
// edges, in order).
bool positive_cycle(std::size_t n, const std::vector<Edge>& edges, double lambda,
                    std::vector<std::size_t>* cycle) {
  std::vector<double> best(n, 0);
  std::vector<std::size_t> through(n, edges.size());
  std::size_t changed_node = n;
  for (std::size_t round = 0; round <= n; round++) {
    changed_node = n;
    for (std::size_t e = 0; e < edges.size(); e++) {
      const Edge& edge = edges[e];
      const double value = best[edge.from] + edge.delay - lambda * edge.distance;
      if (value > best[edge.to] + 1e-12) {
        best[edge.to] = value;
        through[edge.to] = e;
        changed_node = edge.to;
      }
    }
    if (changed_node == n) {
      return false;
    }
  }
  if (cycle != nullptr) {
    // Back n steps lands on the cycle; then around it once.
    std::size_t v = changed_node;
    for (std::size_t i = 0; i < n; i++) {
      v = edges[through[v]].from;
    }
    const std::size_t start = v;
    cycle->clear();
    do {
      cycle->push_back(through[v]);
      v = edges[through[v]].from;
    } while (v != start && cycle->size() <= n);
    std::reverse(cycle->begin(), cycle->end());
  }
  return true;
}

}  // namespace

Latencies model_latencies(const McaReport& report) {
  Latencies l;
  const McaRegion* r = report.find(kReferenceRegion);
  if (r != nullptr && r->instructions.size() >= 6) {
    // movq load, movsd load, addq from memory and on registers, addsd the same.
    const std::vector<McaInstruction>& in = r->instructions;
    l.integer_load = in[0].latency;
    l.vector_load = in[1].latency;
    l.integer_load_op = std::max(0.0, in[2].latency - in[3].latency);
    l.vector_load_op = std::max(0.0, in[4].latency - in[5].latency);
  }
  return l;
}

CriticalPath critical_path(const std::vector<Instruction>& body,
                           const std::vector<McaInstruction>& figures, const Latencies& latencies) {
  const std::size_t n = std::min(body.size(), figures.size());
  std::vector<Effects> effects;
  std::set<std::string> written;
  for (std::size_t i = 0; i < n; i++) {
    effects.push_back(effects_of(body[i]));
    for (const std::string& w : effects.back().writes) {
      written.insert(w);
    }
  }
  // A memory operand whose address the loop does not change, by its text; "" otherwise.
  auto fixed = [&](const std::optional<MemoryOperand>& m) -> std::string {
    if (!m || written.count(m->base) != 0 || written.count(m->index) != 0) {
      return "";
    }
    return m->text();
  };

  // Who writes what: the last writer before an instruction gives it its value in the same
  // iteration, else the body's last writer does, one iteration earlier.
  std::map<std::string, std::vector<std::size_t>> writers;
  for (std::size_t i = 0; i < n; i++) {
    if (body[i].is_nop()) {
      continue;
    }
    for (const std::string& w : effects[i].writes) {
      writers[w].push_back(i);
    }
    if (const std::string stored = fixed(effects[i].store); !stored.empty()) {
      writers["memory " + stored].push_back(i);
    }
  }
  std::vector<Edge> edges;
  auto depend = [&](std::size_t to, const std::string& value, double delay) {
    const auto it = writers.find(value);
    if (it == writers.end()) {
      return;
    }
    const std::vector<std::size_t>& w = it->second;
    const auto before = std::lower_bound(w.begin(), w.end(), to);
    if (before != w.begin()) {
      edges.push_back({*std::prev(before), to, delay, 0, value});
    } else {
      edges.push_back({w.back(), to, delay, 1, value});
    }
  };
  for (std::size_t i = 0; i < n; i++) {
    const Effects& e = effects[i];
    if (body[i].is_nop()) {
      continue;
    }
    const double total = figures[i].latency;
    const bool load = e.load.has_value();
    // A plain load (a move from memory) is all load; a load-and-operate one has its part.
    const bool plain = !e.store && !e.writes.empty() &&
                       (e.reads.empty() || (e.reads.size() == 1 && e.reads[0] == "flags"));
    const double load_part =
        !load   ? 0
        : plain ? std::min(total, e.vector ? latencies.vector_load : latencies.integer_load)
                : std::min(total, e.vector ? latencies.vector_load_op : latencies.integer_load_op);
    double operation = total - load_part;
    std::optional<double> measured;
    switch (op_class(body[i])) {
      case OpClass::kFp64Add:
        measured = latencies.fp64_add;
        break;
      case OpClass::kFp64Mul:
        measured = latencies.fp64_mul;
        break;
      case OpClass::kIntAdd:
        measured = latencies.int_add;
        break;
      case OpClass::kOther:
        break;
    }
    if (measured) {
      operation = *measured;
    }
    const bool pure_store = e.store && !load;
    for (const std::string& r : e.reads) {
      depend(i, r, pure_store ? 0 : operation);
    }
    for (const std::string& r : e.address) {
      depend(i, r, load ? load_part + operation : 0);
    }
    if (const std::string loaded = load ? fixed(e.load) : ""; !loaded.empty()) {
      depend(i, "memory " + loaded, latencies.store_forward.value_or(load_part) + operation);
    }
  }

  // The largest delay per iteration over the cycles: bisection on lambda, then the cycle that
  // is still positive just below it, whose own ratio is the answer.
  CriticalPath path;
  double high = 1;
  for (const Edge& e : edges) {
    high += e.delay;
  }
  if (!positive_cycle(n, edges, 0, nullptr)) {
    return path;  // nothing carried over that takes time
  }
  double low = 0;
  for (int step = 0; step < 100 && high - low > 1e-12 * high; step++) {
    const double mid = (low + high) / 2;
    (positive_cycle(n, edges, mid, nullptr) ? low : high) = mid;
  }
  std::vector<std::size_t> cycle;
  if (!positive_cycle(n, edges, low - 1e-9 * high, &cycle) || cycle.empty()) {
    path.cycles = low;
    return path;
  }
  double delay = 0;
  int distance = 0;
  for (const std::size_t e : cycle) {
    delay += edges[e].delay;
    distance += edges[e].distance;
    path.instructions.push_back(edges[e].to);
    if (std::find(path.via.begin(), path.via.end(), edges[e].via) == path.via.end()) {
      path.via.push_back(edges[e].via);
    }
  }
  path.cycles = distance > 0 ? delay / distance : low;
  std::sort(path.instructions.begin(), path.instructions.end());
  path.instructions.erase(std::unique(path.instructions.begin(), path.instructions.end()),
                          path.instructions.end());
  for (const std::string& v : path.via) {
    path.through_memory = path.through_memory || v.rfind("memory ", 0) == 0;
  }
  return path;
}

}  // namespace ks::loopmodel
