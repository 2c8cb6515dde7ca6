// Layer conditions: which cache level serves each stream of a loop nest, and the bytes per
// iteration of the innermost loop that every level supplies.
//
// A nest is its loops from the outermost in, each with its trip count; a stream is one array
// access in it, with its element size and, per loop, how many elements its index moves by
// per iteration of that loop (0: that loop does not move it). A stream made at an outer loop
// (a sum stored once per j) names the loop it belongs to; it ignores the loops inside it.
//
// The lines a stream touches are followed from the innermost loop out. One access touches one
// line. A loop of n iterations whose step moves the stream by b bytes brings, per iteration
// after the first, these new lines:
//   0                  b = 0 (the same data again)
//   b / line           the data so far is contiguous and the step does not leave it, or the
//                      step is shorter than a line (the next line comes every line / b)
//   b / line x lines   the data so far is strided (one line per row of a column) and the step
//                      is shorter than a line: each of its lines moves a little
//   all its lines      otherwise (nothing in common with the iteration before)
// The lines an iteration shares with the one before stay in a cache when everything the nest
// touches in one iteration of that loop, every stream together, fits the cache's usable part
// (`usable` of its capacity: conflicts and other data take the rest): the layer condition of
// that loop for that cache. When it holds, only the new lines come from beyond the cache;
// when it fails, every iteration loads all its lines again.
//
// Traffic beyond a cache counts whole lines, twice for a stream that stores (the line is
// fetched, then written back); traffic from the first level counts the element bytes of each
// access. A stream is served by the farthest level that supplies at least half of the bytes
// its accesses use (counting out from the first cache, every level between supplying as
// much): the column of C whose lines L1 cannot keep is served by L2, a row of B that L1 keeps
// across j by L1, an array that streams through by where it lives.
#pragma once

#include <string>
#include <vector>

namespace ks::loopmodel {

struct NestLoop {
  std::string index;  // "i", "j", "k"
  double trips = 0;
};

struct Stream {
  std::string array;          // "C"
  double element_bytes = 8;   // bytes of one element
  std::vector<double> steps;  // elements its index moves per iteration of each loop, outer first
  int loop = -1;              // the loop whose body makes the access (-1: the innermost)
  // Consecutive elements one access touches: accesses to neighbours that share their lines
  // are one stream (s[i].a and s[i].b: 2 elements of 4 bytes; B[i][k..k+3]: 4).
  double elements = 1;
  bool reads = true;
  bool writes = false;
};

struct CacheCapacity {
  std::string name;  // "L1", "L2", "L3"
  double bytes = 0;  // what one core may use (a shared level: its share of the team's)
};

struct LayerOptions {
  double line_bytes = 64;
  double usable = 0.5;  // the part of a cache that a layer condition may fill
  // The arrays were touched just before the nest (as a benchmark's fill does): the first use
  // of each line comes from the smallest cache that holds everything the nest touches (usable
  // part), rather than from memory.
  bool warm = true;
};

struct StreamTraffic {
  std::string array;
  // Bytes per innermost iteration from each level: [0] from the first cache to the core,
  // [c] from beyond cache c-1 (so [caches] from memory).
  std::vector<double> bytes;
  // Per cache: the outermost loop whose layer condition holds for it, for this stream's reuse
  // (-1: none beyond the innermost loop).
  std::vector<int> reuse_loop;
  int served_by = 0;  // the index of the cache that serves it; caches.size(): memory
};

struct LayerTraffic {
  std::vector<StreamTraffic> streams;
  std::vector<double> bytes;  // every stream together, per level as in StreamTraffic
  // Bytes every stream touches during one iteration of each loop (its layer conditions'
  // left-hand side), outer first.
  std::vector<double> footprint;
  double iterations = 0;  // of the innermost loop, in the whole nest
};

LayerTraffic layer_traffic(const std::vector<NestLoop>& loops, const std::vector<Stream>& streams,
                           const std::vector<CacheCapacity>& caches,
                           const LayerOptions& options = {});

}  // namespace ks::loopmodel
