#include "loopmodel/layers.h"

#include <algorithm>
#include <cmath>

namespace ks::loopmodel {
namespace {

// The lines one stream touches during one run of some innermost loops.
struct Lines {
  double count = 1;        // lines
  double span = 0;         // bytes from the first to the last byte touched
  bool contiguous = true;  // every line between the first and the last
};

// Lines of an iteration that the one before did not touch, for a step of `b` bytes.
double new_lines(const Lines& set, double b, double line) {
  b = std::abs(b);
  if (b == 0) {
    return 0;
  }
  if (set.contiguous && (b <= set.span || b < line)) {
    return std::min(set.count, b / line);
  }
  if (!set.contiguous && b < line) {
    return set.count * b / line;
  }
  return set.count;
}

Lines grow(const Lines& set, double b, double trips, double line) {
  b = std::abs(b);
  if (b == 0 || trips <= 1) {
    return set;
  }
  Lines out;
  out.count = set.count + (trips - 1) * new_lines(set, b, line);
  out.contiguous = set.contiguous && (b <= set.span || b < line);
  out.span = set.span + (trips - 1) * b;
  if (out.contiguous) {
    out.count = std::max(out.count, out.span / line);
  }
  return out;
}

}  // namespace

LayerTraffic layer_traffic(const std::vector<NestLoop>& loops, const std::vector<Stream>& streams,
                           const std::vector<CacheCapacity>& caches, const LayerOptions& options) {
  const std::size_t depth = loops.size();
  const double line = options.line_bytes;
  LayerTraffic out;
  out.iterations = 1;
  for (const NestLoop& l : loops) {
    out.iterations *= std::max(l.trips, 0.0);
  }
  if (depth == 0 || out.iterations <= 0) {
    return out;
  }

  // Each stream's lines during one run of loops l..its own loop, l = 0 .. its loop + 1 (the
  // last: one access).
  struct Shape {
    std::size_t last = 0;     // its loop
    std::vector<Lines> sets;  // sets[l]
    double accesses = 0;      // in the whole nest
  };
  std::vector<Shape> shapes;
  for (const Stream& s : streams) {
    Shape shape;
    shape.last =
        s.loop < 0 ? depth - 1 : std::min<std::size_t>(static_cast<std::size_t>(s.loop), depth - 1);
    shape.sets.resize(shape.last + 2);
    Lines one;
    one.span = s.elements * s.element_bytes;
    one.count = std::max(1.0, one.span / line);
    shape.sets[shape.last + 1] = one;
    shape.accesses = 1;
    for (std::size_t l = shape.last + 1; l-- > 0;) {
      const double step = l < s.steps.size() ? s.steps[l] * s.element_bytes : 0;
      shape.sets[l] = grow(shape.sets[l + 1], step, loops[l].trips, line);
      shape.accesses *= std::max(loops[l].trips, 0.0);
    }
    shapes.push_back(std::move(shape));
  }

  // What one iteration of loop l touches, every stream together.
  out.footprint.assign(depth, 0);
  for (std::size_t l = 0; l < depth; l++) {
    for (const Shape& shape : shapes) {
      out.footprint[l] += line * shape.sets[std::min(l + 1, shape.last + 1)].count;
    }
  }
  double total = 0;
  for (const Shape& shape : shapes) {
    total += line * shape.sets[0].count;
  }

  out.bytes.assign(caches.size() + 1, 0);
  for (std::size_t s = 0; s < streams.size(); s++) {
    const Stream& stream = streams[s];
    const Shape& shape = shapes[s];
    StreamTraffic t;
    t.array = stream.array;
    t.bytes.assign(caches.size() + 1, 0);
    t.reuse_loop.assign(caches.size(), -1);
    const double directions = (stream.reads ? 1 : 0) + (stream.writes ? 1 : 0);
    t.bytes[0] =
        shape.accesses * stream.elements * stream.element_bytes * directions / out.iterations;
    for (std::size_t c = 0; c < caches.size(); c++) {
      const double room = options.usable * caches[c].bytes;
      // Lines from beyond the cache during one run of loops l.., cold at its start.
      double loaded = shape.sets[shape.last + 1].count;
      for (std::size_t l = shape.last + 1; l-- > 0;) {
        const double step = l < stream.steps.size() ? stream.steps[l] * stream.element_bytes : 0;
        const Lines& inner = shape.sets[l + 1];
        const double fresh = new_lines(inner, step, line);
        const double trips = std::max(loops[l].trips, 0.0);
        const bool shares = fresh < inner.count;
        if (shares && out.footprint[l] <= room) {
          loaded += std::max(trips - 1, 0.0) * fresh * (loaded / inner.count);
          t.reuse_loop[c] = static_cast<int>(l);
        } else {
          loaded *= trips;
        }
      }
      // Warm data that the cache holds whole comes from it: nothing from beyond.
      if (options.warm && total <= room) {
        loaded = 0;
      }
      const double factor = stream.writes ? 2 : 1;
      t.bytes[c + 1] = loaded * line * factor / out.iterations;
    }
    t.served_by = 0;
    for (std::size_t k = 1; k < t.bytes.size() && t.bytes[k] >= 0.5 * t.bytes[0]; k++) {
      t.served_by = static_cast<int>(k);
    }
    for (std::size_t k = 0; k < t.bytes.size(); k++) {
      out.bytes[k] += t.bytes[k];
    }
    out.streams.push_back(std::move(t));
  }
  return out;
}

}  // namespace ks::loopmodel
