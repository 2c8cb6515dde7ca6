// Layer conditions on the loop nests of the suite's kernels, with the caches given here
// (32 KiB, 1 MiB, 32 MiB; half of each usable; 64-byte lines) and every figure worked by hand
// in the comments: per stream, the bytes per innermost iteration each level supplies and the
// level that serves it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loopmodel/layers.h"

namespace {

using namespace ks::loopmodel;

const std::vector<CacheCapacity> kCaches = {
    {"L1", 32 * 1024.0}, {"L2", 1024 * 1024.0}, {"L3", 32 * 1024 * 1024.0}};

struct Expected {
  const char* array;
  std::vector<double> bytes;  // from L1, L2, L3, memory
  int served_by;              // 0 L1 .. 3 memory
};

void check(const LayerTraffic& t, const std::vector<Expected>& expected) {
  ASSERT_EQ(t.streams.size(), expected.size());
  for (std::size_t s = 0; s < expected.size(); s++) {
    SCOPED_TRACE(expected[s].array);
    EXPECT_EQ(t.streams[s].array, expected[s].array);
    ASSERT_EQ(t.streams[s].bytes.size(), expected[s].bytes.size());
    for (std::size_t k = 0; k < expected[s].bytes.size(); k++) {
      EXPECT_NEAR(t.streams[s].bytes[k], expected[s].bytes[k], 1e-9 * (1 + expected[s].bytes[k]))
          << "level " << k;
    }
    EXPECT_EQ(t.streams[s].served_by, expected[s].served_by);
  }
}

// i-j-k, A[i][j] = sum over k of B[i][k] C[k][j], rows N doubles apart (the heap product).
std::vector<Stream> ijk(double n) {
  return {{"B", 8, {n, 0, 1}}, {"C", 8, {0, 1, n}}, {"A", 8, {n, 1}, 1, 1, false, true}};
}
const std::vector<NestLoop> kIjk100 = {{"i", 100}, {"j", 100}, {"k", 100}};

TEST(LayerConditions, ProductReadingCDownAColumn) {
  // N = 100. One j iteration (the k loop) touches C's column, 100 lines; B's row, 1 + 99/8 =
  // 13.375 lines; A, one: 114.375 lines, 7320 B, under 16 KiB: the j condition holds in L1.
  // One i iteration touches C's 1337.5 lines (100 + 99 x 12.5), B's and A's rows: 87312 B,
  // beyond L1's 16 KiB, within L2's 512 KiB. All of it, 245712 B, fits L2: nothing beyond.
  //   C: L1 keeps the column from one j to the next (12.5 new lines per j), not C from one i
  //      to the next: 100 x 1337.5 lines over 10^6 iterations = 8.56 B per iteration from L2.
  //   B: its row stays in L1 across j; across i it is loaded again: 1337.5 lines = 0.0856 B.
  //   A: written once per j; across i its lines come back: 2 x 1337.5 lines = 0.1712 B.
  const LayerTraffic t = layer_traffic(kIjk100, ijk(100), kCaches);
  check(t,
        {{"B", {8, 0.0856, 0, 0}, 0}, {"C", {8, 8.56, 0, 0}, 1}, {"A", {0.08, 0.1712, 0, 0}, 1}});
  EXPECT_EQ(t.footprint, (std::vector<double>{87312, 7320, 3 * 64}));
  EXPECT_EQ(t.streams[1].reuse_loop, (std::vector<int>{1, 0, 0}));  // j in L1, i beyond
  EXPECT_NEAR(t.bytes[1], 8.56 + 0.0856 + 0.1712, 1e-12);
  EXPECT_EQ(t.iterations, 1e6);

  // N = 400: the column (400 lines + 50.875 of B + 1 = 28920 B) no longer fits L1: every k
  // brings a new line of C from L2, 64 B per iteration. L2 keeps the column across j (50 new
  // lines each) but not C across i (1308912 B): 400 x 20350 lines from L3 = 8.14 B. L3 holds
  // everything (3862512 B): nothing from memory.
  const LayerTraffic big = layer_traffic({{"i", 400}, {"j", 400}, {"k", 400}}, ijk(400), kCaches);
  EXPECT_EQ(big.streams[1].array, "C");
  EXPECT_NEAR(big.streams[1].bytes[1], 64, 1e-9);
  EXPECT_NEAR(big.streams[1].bytes[2], 8.14, 1e-9);
  EXPECT_EQ(big.streams[1].bytes[3], 0);
  EXPECT_EQ(big.streams[1].served_by, 2);
  EXPECT_EQ(big.streams[1].reuse_loop, (std::vector<int>{-1, 1, 0}));
}

TEST(LayerConditions, ColumnOuterProduct) {
  // mprod-colwise, N = 100: i walks columns of A and C, j rows of A and B, k the sum.
  // One i iteration touches C's column (100 lines), all of B (1250.875), A's column (100):
  // 92856 B, beyond L1, within L2; everything (251256 B) fits L2.
  //   C: the same column for every j (L1 keeps it), the next column at the next i: 0.64 B.
  //   B: the whole of B is read in each i, and its 80 KB do not stay in L1:
  //      100 x 1250.875 lines = 8.0056 B per iteration from L2.
  //   A: one element per j, a row apart: 100 lines per column, written back: 1.28 B.
  const LayerTraffic t = layer_traffic(
      kIjk100,
      {{"B", 8, {0, 100, 1}}, {"C", 8, {1, 0, 100}}, {"A", 8, {1, 100}, 1, 1, false, true}},
      kCaches);
  check(t, {{"B", {8, 8.0056, 0, 0}, 1}, {"C", {8, 0.64, 0, 0}, 0}, {"A", {0.08, 1.28, 0, 0}, 1}});
}

TEST(LayerConditions, UnrolledProductAccumulatesInA) {
  // mprod-unroll4, N = 100: the k loop 25 times, four terms each: B[i][k..k+3] one stream of
  // four elements, C[k..k+3][j] four (rows apart), A[i][j] read and written every time.
  // A stays at one address in the k loop: 16 B per iteration from L1; its row comes back
  // across i (87288 B per i iteration beyond L1): 2 x 1337.5 lines over 250000 iterations.
  std::vector<Stream> streams = {{"A", 8, {100, 1, 0}, -1, 1, true, true},
                                 {"B", 8, {100, 0, 4}, -1, 4}};
  for (const char* row : {"C0", "C1", "C2", "C3"}) {
    streams.push_back({row, 8, {0, 1, 400}});
  }
  const LayerTraffic t = layer_traffic({{"i", 100}, {"j", 100}, {"k", 25}}, streams, kCaches);
  EXPECT_EQ(t.streams[0].bytes[0], 16);
  EXPECT_NEAR(t.streams[0].bytes[1], 2 * 1337.5 * 64 / 250000, 1e-12);
  EXPECT_EQ(t.streams[0].served_by, 0);
  EXPECT_EQ(t.streams[1].bytes[0], 32);  // four doubles per access
  EXPECT_EQ(t.footprint[0], 87288);
}

TEST(LayerConditions, StreamingKernels) {
  // Vector addition, N = 2^20: 125000.875 lines per array, 24000168 B in all, more than L3's
  // usable 16 MiB: every array streams from memory; v3 is written (fetched, then written
  // back): 16 B per iteration beyond L1. 32 B per iteration from memory in all.
  const double n = 1e6;
  const double lines = 1 + (n - 1) / 8;
  const double per = lines * 64 / n;
  const std::vector<Stream> add = {
      {"v1", 8, {1}}, {"v2", 8, {1}}, {"v3", 8, {1}, -1, 1, false, true}};
  const LayerTraffic t = layer_traffic({{"i", n}}, add, kCaches);
  check(t, {{"v1", {8, per, per, per}, 3},
            {"v2", {8, per, per, per}, 3},
            {"v3", {8, 2 * per, 2 * per, 2 * per}, 3}});
  EXPECT_NEAR(t.bytes[3], 4 * per, 1e-12);

  // N = 65536: 1573032 B, beyond L2's usable half, within L3's: from L3, nothing from memory.
  const double m = 65536;
  const double per_m = (1 + (m - 1) / 8) * 64 / m;
  const LayerTraffic l3 = layer_traffic({{"i", m}}, add, kCaches);
  check(l3, {{"v1", {8, per_m, per_m, 0}, 2},
             {"v2", {8, per_m, per_m, 0}, 2},
             {"v3", {8, 2 * per_m, 2 * per_m, 0}, 2}});

  // The scaled update y = a x + y over 10^6 int32: 8000120 B, from L3: x 4 B, y 8 B (read and
  // written back) per iteration, 4 and 8 from L1 to the core.
  const double px = (1 + (n - 1) / 16) * 64 / n;
  const LayerTraffic y =
      layer_traffic({{"i", n}}, {{"x", 4, {1}}, {"y", 4, {1}, -1, 1, true, true}}, kCaches);
  check(y, {{"x", {4, px, px, 0}, 2}, {"y", {8, 2 * px, 2 * px, 0}, 2}});
}

TEST(LayerConditions, RecordKernels) {
  // 40000 steps over 5000 records of two int32 (8 B). Fused: one stream of both fields,
  // 625.875 lines (40056 B) per step: beyond L1's usable 16 KiB, so every step reloads them
  // from L2 (8.0112 B per iteration); with a 128 KiB L1 they stay there.
  const std::vector<NestLoop> nest = {{"k", 40000}, {"i", 5000}};
  const std::vector<Stream> fused = {{"s", 4, {0, 2}, -1, 2}};
  const double from_l2 = 625.875 * 40000 * 64 / 2e8;
  check(layer_traffic(nest, fused, kCaches), {{"s", {8, from_l2, 0, 0}, 1}});
  std::vector<CacheCapacity> big_l1 = kCaches;
  big_l1[0].bytes = 128 * 1024;
  check(layer_traffic(nest, fused, big_l1), {{"s", {8, 0, 0, 0}, 0}});

  // Two loops (recmin-base): each reads one field, every line of s all the same; each loop
  // is its own nest with the same traffic per iteration as the fused one but half the bytes
  // to the core.
  check(layer_traffic(nest, {{"s.a", 4, {0, 2}}}, kCaches), {{"s.a", {4, from_l2, 0, 0}, 1}});
}

TEST(LayerConditions, EmptyAndColdNests) {
  EXPECT_TRUE(layer_traffic({}, {{"x", 8, {1}}}, kCaches).streams.empty());
  EXPECT_TRUE(layer_traffic({{"i", 0}}, {{"x", 8, {1}}}, kCaches).streams.empty());
  // Cold data comes from memory even when it would fit a cache.
  LayerOptions cold;
  cold.warm = false;
  const LayerTraffic t = layer_traffic({{"i", 1024}}, {{"x", 8, {1}}}, kCaches, cold);
  EXPECT_NEAR(t.streams[0].bytes[3], (1 + 1023 / 8.0) * 64 / 1024, 1e-12);
  EXPECT_EQ(t.streams[0].served_by, 3);
}

}  // namespace
