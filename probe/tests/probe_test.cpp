// ks-probe as the driver will run it: the JSON of a quick run holds every section with values
// that make sense, every vector instruction set the CPU has runs and passes its own checks, a
// wrong kernel result fails the probe with one line, and bad options and an unwritable output
// are refused. No timing relation is asserted: these machines are shared and noisy.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "tests/support/program_test.h"

namespace {

using ks::test::ExitedWith;
using ks::test::run;
using nlohmann::json;

constexpr const char* kProbe = "ks-probe";

json parse(const ks::RunResult& r) {
  try {
    return json::parse(r.out);
  } catch (const json::exception& e) {
    ADD_FAILURE() << "not JSON: " << e.what() << "\n" << r.out.substr(0, 2000);
    return json::object();
  }
}

// A rate or time that a measurement can produce: a finite number above zero.
::testing::AssertionResult Positive(const json& record, const std::string& key) {
  if (!record.contains(key) || !record[key].is_number()) {
    return ::testing::AssertionFailure() << "no number '" << key << "' in " << record.dump();
  }
  const double v = record[key].get<double>();
  if (!std::isfinite(v) || v <= 0) {
    return ::testing::AssertionFailure() << key << " = " << v << " in " << record.dump();
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult Finite(const json& record, const std::string& key) {
  if (!record.contains(key) || !record[key].is_number() ||
      !std::isfinite(record[key].get<double>())) {
    return ::testing::AssertionFailure() << "no finite '" << key << "' in " << record.dump();
  }
  return ::testing::AssertionSuccess();
}

// Records of a section, keyed by the values of `fields` ("add/plain/2").
std::set<std::string> keys(const json& results, const std::vector<std::string>& fields) {
  std::set<std::string> out;
  for (const json& r : results) {
    std::string key;
    for (const std::string& f : fields) {
      key += (key.empty() ? "" : "/") + (r[f].is_string() ? r[f].get<std::string>() : r[f].dump());
    }
    out.insert(key);
  }
  return out;
}

TEST(Probe, QuickRunHoldsEverySectionWithSaneValues) {
  const ks::RunResult r = run(kProbe, {"--quick", "--threads", "1,2"});
  ASSERT_TRUE(ExitedWith(r, 0));
  const json out = parse(r);
  ASSERT_TRUE(out.is_object());
  EXPECT_EQ(out["format"], "ks-probe 1");

  const json& c = out["context"];
  EXPECT_GE(c["usable_cpus"].get<int>(), 1);
  EXPECT_EQ(c["usable_cpu_list"].size(), c["usable_cpus"].get<std::size_t>());
  EXPECT_EQ(c["threads"], json({1, 2}));
  EXPECT_EQ(c["quick"], true);
  for (const char* key : {"hostname", "cpu_model", "kernel", "compiler", "vector_isa"}) {
    EXPECT_TRUE(c[key].is_string()) << key;
  }
  const std::string options = c["compile_options"].get<std::string>();
  for (const char* flag : {"-O2", "-ffp-contract=off", "-fopenmp"}) {
    EXPECT_NE(options.find(flag), std::string::npos) << options;
  }
  EXPECT_TRUE(c["transparent_hugepages"]["enabled"].is_string());
  EXPECT_TRUE(Positive(c, "seconds"));
  ASSERT_FALSE(c["caches"].empty());
  std::vector<int> levels;
  for (const json& cache : c["caches"]) {
    EXPECT_TRUE(Positive(cache, "size_bytes"));
    EXPECT_EQ(cache["total_bytes"].get<double>(),
              cache["size_bytes"].get<double>() * cache["instances"].get<double>());
    levels.push_back(cache["level"].get<int>());
  }

  // Bandwidth: every kernel in both forms at both team sizes, each level for the caches.
  const json& memory = out["memory_bandwidth"]["results"];
  std::set<std::string> expected;
  for (const char* kernel : {"add", "copy", "triad"}) {
    for (const char* code : {"plain", "widest"}) {
      for (const char* threads : {"1", "2"}) {
        expected.insert(std::string(kernel) + "/" + code + "/" + threads);
      }
    }
  }
  EXPECT_EQ(keys(memory, {"kernel", "code", "threads"}), expected);
  std::set<std::string> expected_cache;
  for (const int level : levels) {
    for (const std::string& k : expected) {
      expected_cache.insert(std::to_string(level) + "/" + k);
    }
  }
  const json& cache = out["cache_bandwidth"]["results"];
  EXPECT_EQ(keys(cache, {"level", "kernel", "code", "threads"}), expected_cache);
  for (const json* section : {&memory, &cache}) {
    for (const json& rec : *section) {
      EXPECT_TRUE(Positive(rec, "bytes_per_second"));
      EXPECT_TRUE(Positive(rec, "best_seconds"));
      EXPECT_LE(rec["best_seconds"].get<double>(), rec["median_seconds"].get<double>());
      EXPECT_GE(rec["bytes_per_second"].get<double>(),
                rec["median_bytes_per_second"].get<double>());
    }
  }

  const json& touch = out["first_touch"];
  EXPECT_EQ(touch["pages"].get<double>() * touch["page_bytes"].get<double>(),
            touch["bytes"].get<double>());
  EXPECT_EQ(keys(touch["results"], {"threads"}), std::set<std::string>({"1", "2"}));
  for (const json& rec : touch["results"]) {
    for (const char* key : {"seconds_per_page", "bytes_per_second", "warm_bytes_per_second",
                            "add_bytes_per_second", "add_seconds_per_page"}) {
      EXPECT_TRUE(Positive(rec, key));
    }
    EXPECT_GE(rec["fault_seconds_per_page"].get<double>(), 0);
    EXPECT_GE(rec["huge_page_bytes"].get<double>(), 0);
  }

  // Compute: scalar and vector of every kernel the CPU has; rates consistent with the lanes.
  const std::string isa = c["vector_isa"].get<std::string>();
  const int lanes = c["vector_bits"].get<int>() / 64;
  for (const json& rec : out["compute"]["results"]) {
    EXPECT_TRUE(Positive(rec, "operations_per_second"));
    const std::string kernel = rec["kernel"].get<std::string>();
    const int expected_lanes =
        rec["code"] == "scalar" ? 1 : (kernel == "int32_add" ? 2 * lanes : lanes);
    EXPECT_EQ(rec["lanes"].get<int>(), expected_lanes) << rec.dump();
    if (kernel != "int32_add") {
      EXPECT_DOUBLE_EQ(rec["flops_per_second"].get<double>(),
                       rec["operations_per_second"].get<double>() * (kernel == "fp64_fma" ? 2 : 1));
    }
    EXPECT_DOUBLE_EQ(
        rec["operations_per_second_per_thread"].get<double>() * rec["threads"].get<int>(),
        rec["operations_per_second"].get<double>());
  }
  const std::set<std::string> compute_keys =
      keys(out["compute"]["results"], {"kernel", "code", "threads"});
  for (const char* threads : {"1", "2"}) {
    for (const std::string& code : {std::string("scalar"), isa}) {
      EXPECT_TRUE(compute_keys.count("fp64_add/" + code + "/" + threads)) << code;
      EXPECT_TRUE(compute_keys.count("int32_add/" + code + "/" + threads)) << code;
    }
  }

  // OpenMP: the parallel region, the barrier and six loops at each team size. No cost is
  // negative: one not above its noise is zero, marked below noise, with that noise.
  const json& omp = out["openmp_overheads"];
  EXPECT_TRUE(Positive(omp, "delay_seconds"));
  EXPECT_EQ(omp["results"].size(), 16u);
  for (const json& rec : omp["results"]) {
    const std::string construct = rec["construct"].get<std::string>();
    std::vector<std::string> costs;
    if (construct == "parallel") {
      costs = {"seconds_per_region"};
    } else if (construct == "barrier") {
      costs = {"seconds_per_barrier"};
    } else {
      EXPECT_EQ(construct, "for");
      costs = {"seconds_per_loop", "seconds_per_chunk"};
      EXPECT_TRUE(Positive(rec, "chunks_per_loop"));
      EXPECT_EQ(rec["iterations"].get<int>(), 128 * rec["threads"].get<int>());
    }
    ASSERT_TRUE(rec["below_noise"].is_boolean()) << rec.dump();
    for (const std::string& cost : costs) {
      ASSERT_TRUE(Finite(rec, cost));
      ASSERT_TRUE(Finite(rec, "noise_" + cost));
      EXPECT_GE(rec[cost].get<double>(), 0) << rec.dump();
      EXPECT_GE(rec["noise_" + cost].get<double>(), 0) << rec.dump();
      if (rec["below_noise"].get<bool>()) {
        EXPECT_EQ(rec[cost].get<double>(), 0) << rec.dump();
      } else {
        EXPECT_GT(rec[cost].get<double>(), rec["noise_" + cost].get<double>()) << rec.dump();
      }
    }
    EXPECT_TRUE(Positive(rec, "constructs_timed"));
  }
  EXPECT_EQ(r.err.find(" -0."), std::string::npos) << r.err;  // no negative cost shown

  // The core clock at every team size; the latencies in seconds and in cycles of the clock.
  const json& core = out["core_clock"]["results"];
  EXPECT_EQ(keys(core, {"threads"}), std::set<std::string>({"1", "2"}));
  for (const json& rec : core) {
    for (const char* key : {"hertz", "median_hertz", "adds", "best_seconds", "median_seconds"}) {
      EXPECT_TRUE(Positive(rec, key));
    }
    EXPECT_LE(rec["best_seconds"].get<double>(), rec["median_seconds"].get<double>());
    EXPECT_DOUBLE_EQ(rec["hertz"].get<double>(),
                     rec["adds"].get<double>() / rec["best_seconds"].get<double>());
  }
  const json& latencies = out["latencies"];
  EXPECT_TRUE(Positive(latencies, "hertz"));
  EXPECT_EQ(keys(latencies["results"], {"kernel"}),
            std::set<std::string>({"fp64_add", "fp64_mul", "int32_add", "store_load"}));
  for (const json& rec : latencies["results"]) {
    for (const char* key : {"operations", "latency_seconds", "median_latency_seconds",
                            "latency_cycles", "median_latency_cycles"}) {
      EXPECT_TRUE(Positive(rec, key));
    }
    EXPECT_TRUE(rec["what"].is_string());
    EXPECT_TRUE(Positive(rec, "hertz"));
    EXPECT_LE(rec["hertz"].get<double>(), latencies["hertz"].get<double>());
    EXPECT_NEAR(rec["latency_cycles"].get<double>(),
                rec["latency_seconds"].get<double>() * rec["hertz"].get<double>(),
                1e-9 * rec["latency_cycles"].get<double>());
  }

  EXPECT_EQ(keys(out["clock"]["results"], {"clock"}),
            std::set<std::string>({"clock_gettime(CLOCK_REALTIME)",
                                   "clock_gettime(CLOCK_MONOTONIC)", "omp_get_wtime"}));
  for (const json& rec : out["clock"]["results"]) {
    for (const char* key : {"resolution_seconds", "smallest_step_seconds", "seconds_per_call"}) {
      EXPECT_TRUE(Positive(rec, key));
    }
    EXPECT_LE(rec["smallest_step_seconds"].get<double>(), rec["median_step_seconds"].get<double>());
  }

  // Progress goes to standard error, the JSON alone to standard output.
  EXPECT_NE(r.err.find("ks-probe: "), std::string::npos);
  EXPECT_NE(r.err.find("done"), std::string::npos);
}

// Each check, handed a corrupted result, ends the probe with status 1, one line that names
// the measurement, and no JSON.
TEST(Probe, AWrongResultFailsTheProbe) {
  struct Case {
    const char* check;
    const char* names;
  };
  const Case cases[] = {
      {"memory", "memory bandwidth, add (plain, 1 thread): the destination sums to"},
      {"cache", "L1 bandwidth, add (plain, 1 thread): the destination sums to"},
      {"first-touch", "first touch (1 thread), store: the destination sums to"},
      {"compute", "fp64_add (scalar, 1 thread): chain value 0 of thread 0"},
      {"openmp", "OpenMP parallel (1 thread): the delays add up to"},
      {"clock", "clock_gettime(CLOCK_MONOTONIC) went backwards"},
      {"core-clock", "core clock (1 thread): the add chain of thread 0 ends at"},
      {"latency", "latency of fp64_add: the chain ends at"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.check);
    const ks::RunResult r = run(kProbe, {"--quick", "--threads", "1", "--inject-fault", c.check});
    EXPECT_TRUE(ExitedWith(r, 1));
    EXPECT_EQ(r.out, "");
    const std::vector<std::string> err = ks::test::lines(r.err);
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.back().rfind(std::string("ks-probe: check failed: ") + c.names, 0), 0u)
        << err.back();
  }
}

// The widest code at every instruction set the CPU has, down to SSE2: each passes its checks
// and reports vectors of its own width.
TEST(Probe, EveryVectorInstructionSetTheCpuHasRuns) {
  const ks::RunResult first = run(kProbe, {"--quick", "--threads", "1"});
  ASSERT_TRUE(ExitedWith(first, 0));
  const std::string widest = parse(first)["context"]["widest_isa"].get<std::string>();
  struct Case {
    const char* isa;
    int bits;
    bool fused;
  };
  const Case cases[] = {{"sse2", 128, false}, {"avx2", 256, true}, {"avx512f", 512, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.isa);
    const ks::RunResult r = run(kProbe, {"--quick", "--threads", "2", "--vector-isa", c.isa});
    ASSERT_TRUE(ExitedWith(r, 0));
    const json out = parse(r);
    EXPECT_EQ(out["context"]["vector_isa"], c.isa);
    EXPECT_EQ(out["context"]["vector_bits"], c.bits);
    const std::set<std::string> compute =
        keys(out["compute"]["results"], {"kernel", "code", "lanes"});
    const std::string lanes = std::to_string(c.bits / 64);
    EXPECT_TRUE(compute.count("fp64_add/" + std::string(c.isa) + "/" + lanes));
    EXPECT_TRUE(
        compute.count("int32_add/" + std::string(c.isa) + "/" + std::to_string(c.bits / 32)));
    EXPECT_EQ(compute.count("fp64_fma/" + std::string(c.isa) + "/" + lanes), c.fused ? 1u : 0u);
    if (widest == c.isa) {
      break;
    }
  }
}

TEST(Probe, BadOptionsAreRefusedWithStatus2) {
  const std::vector<std::vector<std::string>> cases = {
      {"--threads", "0"},
      {"--threads=1,,2"},
      {"--threads", "abc"},
      {"--threads", "2,"},
      {"--threads", "1025"},
      {"--threads"},
      {"--vector-isa", "neon"},
      {"--bogus"},
      {"extra"},
      {"--inject-fault", "nothing"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
    const ks::RunResult r = run(kProbe, args);
    EXPECT_TRUE(ExitedWith(r, 2));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("ks-probe: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("usage: ks-probe"), std::string::npos) << r.err;
  }
}

TEST(Probe, AnUnwritableOutputIsAFailure) {
  ks::RunOptions options;
  options.stdout_mode = ks::StdoutMode::kDevFull;
  const ks::RunResult r = run(kProbe, {"--quick", "--threads", "1"}, 0, options);
  EXPECT_TRUE(ExitedWith(r, 1));
  EXPECT_NE(r.err.find("ks-probe: cannot write standard output: No space left on device"),
            std::string::npos)
      << r.err;
}

}  // namespace
