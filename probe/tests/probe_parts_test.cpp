// The probe's arithmetic and readers on fixed inputs: the closed forms its checks compare
// against (the bandwidth sums, the latency chains), the sizes it derives from a made-up
// machine's sysfs, smaps and meminfo, the option lists, the guided chunk count, the
// calibration and the noise of a cost.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "probe/bandwidth.h"
#include "probe/latency.h"
#include "probe/machine.h"
#include "probe/openmp_costs.h"
#include "probe/probe.h"

namespace {

namespace fs = std::filesystem;

// A folder under the system's temporary folder, removed at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "ks-probe-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) != nullptr ? pattern : "";
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  void write(const std::string& relative, const std::string& text) const {
    const fs::path file = fs::path(path_) / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }

 private:
  std::string path_;
};

TEST(ProbeParts, SysfsSizes) {
  const std::pair<const char*, std::uint64_t> cases[] = {
      {"32K", 32768}, {"1024K", 1 << 20}, {"32M", 32u << 20}, {"1G", 1u << 30}, {"512", 512},
      {"", 0},        {"K", 0},           {"12Q", 0},         {"4KB", 0},
  };
  for (const auto& [text, bytes] : cases) {
    EXPECT_EQ(probe::parse_size(text), bytes) << text;
  }
}

TEST(ProbeParts, CpuLists) {
  const std::pair<const char*, std::vector<int>> cases[] = {
      {"0", {0}},
      {"0-3", {0, 1, 2, 3}},
      {"0-1,8,10-11", {0, 1, 8, 10, 11}},
      {"3-1", {}},
      {"0,", {}},
      {"a", {}},
      {"0-", {}},
      {"", {}},
  };
  for (const auto& [text, cpus] : cases) {
    EXPECT_EQ(probe::parse_cpu_list(text), cpus) << text;
  }
}

TEST(ProbeParts, ThreadListsAndDefaults) {
  const std::pair<const char*, std::vector<int>> lists[] = {
      {"1", {1}}, {"1,2,4", {1, 2, 4}}, {"4,1", {4, 1}}, {"1024", {1024}},
      {"0", {}},  {"1025", {}},         {"1,,2", {}},    {"2,", {}},
      {"", {}},   {"-1", {}},           {"1 2", {}},     {"99999999999", {}},
  };
  for (const auto& [text, threads] : lists) {
    EXPECT_EQ(probe::parse_threads(text), threads) << text;
  }
  const std::pair<int, std::vector<int>> defaults[] = {
      {1, {1}}, {2, {1, 2}}, {3, {1, 2, 3}}, {4, {1, 2, 4}}, {6, {1, 2, 4, 6}}, {0, {1}},
  };
  for (const auto& [usable, threads] : defaults) {
    EXPECT_EQ(probe::default_threads(usable), threads) << usable;
  }
}

TEST(ProbeParts, KernelChoiceFiles) {
  EXPECT_EQ(probe::selected_choice("always [madvise] never"), "madvise");
  EXPECT_EQ(probe::selected_choice("[always] madvise never"), "always");
  EXPECT_EQ(probe::selected_choice("always defer defer+madvise [madvise] never"), "madvise");
  EXPECT_EQ(probe::selected_choice("never"), "never");
}

// Four CPUs: private L1 data and instruction caches, an L2 per pair, one L3 for all.
TEST(ProbeParts, CachesOfAMadeUpMachine) {
  TempDir root;
  ASSERT_FALSE(root.path().empty());
  for (int cpu = 0; cpu < 4; cpu++) {
    const std::string base = "cpu" + std::to_string(cpu) + "/cache/";
    auto index = [&](int i, const char* level, const char* type, const char* size,
                     const std::string& shared) {
      const std::string dir = base + "index" + std::to_string(i) + "/";
      root.write(dir + "level", std::string(level) + "\n");
      root.write(dir + "type", std::string(type) + "\n");
      root.write(dir + "size", std::string(size) + "\n");
      root.write(dir + "shared_cpu_list", shared + "\n");
    };
    index(0, "1", "Data", "32K", std::to_string(cpu));
    index(1, "1", "Instruction", "32K", std::to_string(cpu));
    index(2, "2", "Unified", "1024K", cpu < 2 ? "0-1" : "2-3");
    index(3, "3", "Unified", "32768K", "0-3");
  }
  const auto caches = probe::read_caches(root.path(), {0, 1, 2, 3});
  EXPECT_EQ(probe::cache_levels(caches), std::vector<int>({1, 2, 3}));
  EXPECT_EQ(caches.size(), 4u + 2u + 1u);  // each instance once, no instruction cache

  struct Case {
    int level;
    std::vector<int> cpus;
    std::uint64_t bytes;
  };
  const Case cases[] = {
      {1, {0}, 32 << 10},          {1, {0, 1}, 64 << 10}, {1, {0, 1, 2, 3}, 128 << 10},
      {2, {0, 1}, 1 << 20},        {2, {1, 2}, 2 << 20},  {3, {0}, 32 << 20},
      {3, {0, 1, 2, 3}, 32 << 20}, {4, {0}, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(probe::cache_capacity(caches, c.level, c.cpus), c.bytes)
        << "L" << c.level << " for " << c.cpus.size() << " CPUs";
  }

  // Only the CPUs asked about are read: CPU 3 alone sees its L1, its pair's L2 and the L3.
  EXPECT_EQ(probe::read_caches(root.path(), {3}).size(), 3u);
  // A machine without cache information has no levels (and the probe skips the section).
  EXPECT_TRUE(probe::read_caches(root.path() + "/absent", {0}).empty());
}

// A virtual machine without sysfs cache folders: the CPU's extended leaves give L1 data and L2
// per core (the siblings of each CPU's topology), one L3 for all; a size of 0 is no cache.
TEST(ProbeParts, CachesFromTheCpusRegistersWhereSysfsHasNone) {
  TempDir root;
  ASSERT_FALSE(root.path().empty());
  // CPUs 0 and 1 are one core's two threads; CPU 2 has no topology to read.
  root.write("cpu0/topology/thread_siblings_list", "0-1\n");
  root.write("cpu1/topology/thread_siblings_list", "0-1\n");
  const probe::CacheRegisters zen{.l1 = 48u << 24 | 0x0c40ffu,   // 48 KiB, the rest of the bits
                                  .l2 = 1024u << 16 | 0x6140u,   // 1 MiB
                                  .l3 = 1016u << 18 | 0x3140u};  // 508 MiB
  const auto caches = probe::caches_from_registers(zen, root.path(), {0, 1, 2});
  EXPECT_EQ(probe::cache_levels(caches), std::vector<int>({1, 2, 3}));
  ASSERT_EQ(caches.size(), 2u + 2u + 1u);  // a core's caches once for its two CPUs
  EXPECT_EQ(caches[0].type, "Data");
  EXPECT_EQ(caches[0].cpu_list, "0-1");
  EXPECT_EQ(caches[1].cpus, std::vector<int>({2}));
  EXPECT_EQ(caches[4].type, "Unified");
  struct Case {
    int level;
    std::vector<int> cpus;
    std::uint64_t bytes;
  };
  const Case cases[] = {
      {1, {0}, 48 << 10},   {1, {0, 1}, 48 << 10},   {1, {0, 2}, 96 << 10},
      {2, {1, 2}, 2 << 20}, {3, {0}, 1016ull << 19}, {3, {0, 1, 2}, 1016ull << 19},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(probe::cache_capacity(caches, c.level, c.cpus), c.bytes)
        << "L" << c.level << " for " << c.cpus.size() << " CPUs";
  }
  // A CPU that reports no L3 (and no L2) has only what it reports.
  const auto small = probe::caches_from_registers({.l1 = 32u << 24}, root.path(), {0, 1});
  ASSERT_EQ(small.size(), 1u);
  EXPECT_EQ(small[0].size_bytes, 32u << 10);
  EXPECT_TRUE(probe::caches_from_registers({}, root.path(), {0}).empty());
}

TEST(ProbeParts, HugePagesOfTheMappingThatHoldsAnAddress) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  dir.write("smaps",
            "7f0000000000-7f0000400000 rw-p 00000000 00:00 0 \n"
            "Size:               4096 kB\n"
            "AnonHugePages:      2048 kB\n"
            "7f0000400000-7f0000800000 rw-p 00000000 00:00 0 \n"
            "Size:               4096 kB\n"
            "Anonymous:          4096 kB\n"
            "AnonHugePages:         0 kB\n"
            "7ffd00000000-7ffd00021000 rw-p 00000000 00:00 0                  [stack]\n"
            "AnonHugePages:         4 kB\n");
  const std::string smaps = dir.path() + "/smaps";
  EXPECT_EQ(probe::huge_page_bytes(smaps, 0x7f0000000000), 2048 * 1024);
  EXPECT_EQ(probe::huge_page_bytes(smaps, 0x7f00003fffff), 2048 * 1024);
  EXPECT_EQ(probe::huge_page_bytes(smaps, 0x7f0000400000), 0);
  EXPECT_EQ(probe::huge_page_bytes(smaps, 0x7ffd00000010), 4096);
  EXPECT_EQ(probe::huge_page_bytes(smaps, 0x1000), -1);
  EXPECT_EQ(probe::huge_page_bytes(dir.path() + "/absent", 0x7f0000000000), -1);

  dir.write("meminfo", "MemTotal:       24000000 kB\nMemAvailable:   20000000 kB\n");
  EXPECT_EQ(probe::memory_available(dir.path() + "/meminfo"), 20000000ull * 1024);
  EXPECT_EQ(probe::memory_available(dir.path() + "/absent"), 0u);
}

// The closed forms the bandwidth checks compare with, against the arrays summed one by one.
TEST(ProbeParts, ClosedFormsOfTheBandwidthChecks) {
  for (const std::uint64_t m : {1u, 2u, 512u, 1024u}) {
    std::uint64_t brute = 0;
    for (std::uint64_t n = 0; n <= 3000; n++) {
      ASSERT_EQ(probe::sum_mod(n, m), brute) << "n " << n << " m " << m;
      brute += n % m;
    }
  }
  for (const std::int64_t n : {0, 1, 511, 512, 513, 1023, 1024, 1025, 5000}) {
    std::vector<double> a(static_cast<std::size_t>(n) + 1);
    std::vector<double> b(a.size());
    std::vector<double> c(a.size());
    probe::first_touch_arrays(a.data(), b.data(), c.data(), n, 2);
    double add = 0;
    double copy = 0;
    double triad = 0;
    for (std::int64_t i = 0; i < n; i++) {
      const auto k = static_cast<std::size_t>(i);
      add += b[k] + c[k];
      copy += b[k];
      triad += b[k] + 3 * c[k];
    }
    EXPECT_EQ(probe::expected_sum(probe::Stream::kAdd, n), add) << n;
    EXPECT_EQ(probe::expected_sum(probe::Stream::kCopy, n), copy) << n;
    EXPECT_EQ(probe::expected_sum(probe::Stream::kTriad, n), triad) << n;
  }
}

TEST(ProbeParts, GuidedChunkCounts) {
  struct Case {
    std::int64_t iterations;
    int threads;
    std::int64_t chunk;
    std::int64_t chunks;  // worked by hand
  };
  const Case cases[] = {
      {10, 2, 1, 4},   // 5, 3, 1, 1
      {10, 2, 4, 3},   // 5, 4, 1
      {10, 1, 1, 1},   // 10
      {10, 3, 20, 1},  // everything at once
      {8, 4, 1, 6},    // 2, 2, 1, 1, 1, 1
      {0, 2, 1, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(probe::guided_chunks(c.iterations, c.threads, c.chunk), c.chunks)
        << c.iterations << " iterations, " << c.threads << " threads, chunk " << c.chunk;
  }
}

TEST(ProbeParts, SummaryAndCalibration) {
  const probe::Summary odd = probe::summarize({3, 1, 2});
  EXPECT_EQ(odd.best, 1);
  EXPECT_EQ(odd.median, 2);
  const probe::Summary even = probe::summarize({4, 1, 3, 2});
  EXPECT_EQ(even.best, 1);
  EXPECT_EQ(even.median, 2.5);

  // A run that takes a microsecond per count: counts double to 256 (a quarter of the target
  // reached), then scale to the target.
  std::vector<std::int64_t> tried;
  const std::int64_t count = probe::calibrate(1e-3, [&](std::int64_t n) {
    tried.push_back(n);
    return static_cast<double>(n) * 1e-6;
  });
  EXPECT_EQ(count, 1000);
  EXPECT_EQ(tried.back(), 256);
  // A run too fast to measure still ends, at the largest count.
  EXPECT_EQ(probe::calibrate(1e-3, [](std::int64_t) { return 0.0; }), std::int64_t{1} << 40);
}

// Each latency chain, run for a few steps, ends where its closed form says (the integer ones
// wrapping), and one step more or less would not.
TEST(ProbeParts, LatencyChainsEndAtTheirClosedForms) {
  static const volatile std::uint64_t kStep64[1] = {3};
  static const volatile std::uint32_t kStep32[1] = {0x10000001u};
  static const volatile double kOne[1] = {1.0};
  static const volatile double kFactors[2] = {probe::kMulFactors[0], probe::kMulFactors[1]};
  for (const std::int64_t n : {0, 1, 2, 7, 1000}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(probe::add_chain<std::uint64_t>(5, kStep64, n), probe::add_chain_u64_value(5, 3, n));
    EXPECT_EQ(probe::add_chain_u64_value(5, 3, n), 5 + 16 * 3 * static_cast<std::uint64_t>(n));
    EXPECT_EQ(probe::add_chain<std::uint32_t>(0xfffffff0u, kStep32, n),
              probe::add_chain_u32_value(0xfffffff0u, 0x10000001u, n));
    EXPECT_EQ(probe::fp64_add_chain(0.5, kOne, n), probe::fp64_add_chain_value(0.5, 1.0, n));
    EXPECT_EQ(probe::fp64_add_chain_value(0.5, 1.0, n), 0.5 + 16.0 * static_cast<double>(n));
    EXPECT_EQ(probe::fp64_mul_chain(0.75, kFactors, n), probe::fp64_mul_chain_value(0.75, n));
    EXPECT_EQ(probe::fp64_mul_chain_value(0.75, n), n % 2 == 0 ? 0.75 : -0.75);
    volatile std::uint32_t slot = 0xfffffff8u;
    probe::store_load_chain(&slot, n);
    EXPECT_EQ(slot, probe::add_chain_u32_value(0xfffffff8u, 1, n));
  }
  EXPECT_NE(probe::add_chain_u32_value(0xfffffff0u, 0x10000001u, 1),
            probe::add_chain_u32_value(0xfffffff0u, 0x10000001u, 2));
}

// A cost is its repetitions' median unless that is not above its noise (1.96 standard errors
// of the median, from the median absolute deviation): then zero, below noise, the noise at
// least the difference measured.
TEST(ProbeParts, CostsAndTheirNoise) {
  struct Case {
    std::vector<double> differences;
    double seconds;
    double noise;
    bool below;
  };
  const double z = 1.96 * 1.2533 * 1.4826;
  const Case cases[] = {
      {{5, 5, 5}, 5, 0, false},
      {{1, 2, 3, 4, 5}, 3, z / std::sqrt(5.0), false},  // MAD 1
      {{-1, 0, 1}, 0, z / std::sqrt(3.0), true},
      {{-9e-9, -9e-9, -8e-9}, 0, 9e-9, true},                    // negative: the noise covers it
      {{1e-6, 3e-6, 2e-6, 40e-6}, 2.5e-6, z * 1e-6 / 2, false},  // MAD 1e-6: an outlier
      {{}, 0, 0, true},
  };
  for (const Case& c : cases) {
    const probe::Cost cost = probe::cost_of(c.differences);
    EXPECT_NEAR(cost.seconds, c.seconds, 1e-15);
    EXPECT_NEAR(cost.noise, c.noise, 1e-15);
    EXPECT_EQ(cost.below_noise, c.below);
  }
  EXPECT_EQ(probe::micro(probe::Cost{1.5e-7, 1e-8, false}), "0.150");
  EXPECT_EQ(probe::micro(probe::cost_of({-9e-9, -9e-9, -8e-9})), "below noise (±0.009)");
}

}  // namespace
