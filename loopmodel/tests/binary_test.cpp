// The analysis of real binaries built for these tests (tests/fixtures: known loops at -O2 and
// -O0, and an OpenMP region), through objdump and a live llvm-mca, and ks-loops on them.
// llvm-mca comes with Debian's llvm-14, which CI installs; only where it is missing do the
// tests that need it skip.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "loopmodel/analysis.h"
#include "loopmodel/cache.h"
#include "loopmodel/x86.h"
#include "spawn/spawn.h"

namespace {

using namespace ks::loopmodel;
namespace fs = std::filesystem;

std::string fixture(const char* name) {
  return std::string(KS_LOOPMODEL_FIXTURES) + "/" + name;
}

bool has(const Loop& loop, std::string_view mnemonic) {
  for (const Instruction& in : loop.body) {
    if (in.mnemonic == mnemonic || in.mnemonic == "v" + std::string(mnemonic)) {
      return true;
    }
  }
  return false;
}

#define NEED_LLVM_MCA()                                             \
  if (!find_mca()) {                                                \
    GTEST_SKIP() << "llvm-mca is not installed (Debian's llvm-14)"; \
  }

TEST(Binary, BuildIdsAndKeys) {
  const std::string id = build_id(fixture("known-loops-o2"));
  EXPECT_EQ(id.size(), 40u) << id;  // the linker's default SHA-1 id
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
  EXPECT_EQ(binary_key(fixture("known-loops-o2")), "build-id " + id);
  // Built without one: known by its bytes.
  EXPECT_EQ(build_id(fixture("known-loops-o0")), "");
  EXPECT_EQ(binary_key(fixture("known-loops-o0")).rfind("file ", 0), 0u);
}

TEST(Binary, TheKnownLoopsAreFound) {
  for (const char* name : {"known-loops-o2", "known-loops-o0"}) {
    SCOPED_TRACE(name);
    const TimedKernel k = find_timed_kernel(disassemble(fixture(name)));
    EXPECT_EQ(k.timer, "clock_gettime");
    EXPECT_EQ(k.function, "main");
    // At -O0, the repetitions around the two inner loops; optimised, a compiler may unroll
    // the three repetitions and split an inner loop into an unrolled body and its remainder.
    const bool optimised = std::string(name) == "known-loops-o2";
    ASSERT_GE(k.kernel.size(), 2u);
    if (!optimised) {
      ASSERT_EQ(k.kernel.size(), 2u);
    }
    int adds = 0;
    int multiplies = 0;
    for (const std::size_t i : k.kernel) {
      if (!optimised) {
        EXPECT_EQ(k.loops[i].depth, 2);
      }
      adds += has(k.loops[i], "addsd") ? 1 : 0;
      multiplies += has(k.loops[i], "mulsd") ? 1 : 0;
    }
    EXPECT_GE(adds, 1);
    EXPECT_GE(multiplies, 1);
    EXPECT_EQ(adds + multiplies, static_cast<int>(k.kernel.size()));
  }
  const TimedKernel omp = find_timed_kernel(disassemble(fixture("known-openmp")));
  EXPECT_EQ(omp.timer, "omp_get_wtime");
  ASSERT_GE(omp.functions.size(), 2u);
  const std::string outlined = omp.loops[omp.main].function;
  EXPECT_TRUE(outlined.find("_omp_fn.") != std::string::npos ||
              outlined.find(".omp_outlined.") != std::string::npos)
      << outlined;
  EXPECT_TRUE(has(omp.loops[omp.main], "mulsd") || has(omp.loops[omp.main], "mulpd"));
  EXPECT_THROW(disassemble(fixture("absent")), LoopError);
}

// The critical path of a chain loop at -O2 is its operation's latency, once per operation in
// the body (an unrolled body holds several), whatever the model says the latency is.
TEST(Binary, ChainLoopsAreLatencyBound) {
  NEED_LLVM_MCA();
  const BinaryAnalysis a = analyse_binary(fixture("known-loops-o2"));
  EXPECT_FALSE(a.from_cache);
  EXPECT_FALSE(a.cpu.empty());
  EXPECT_GT(a.model.vector_load, 0);
  for (const std::size_t i : a.kernel.kernel) {
    const Loop& loop = a.kernel.loops[i];
    const PricedLoop* p = a.priced_loop(i);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(p->figures.size(), loop.body.size());
    const std::string op = has(loop, "addsd") ? "addsd" : "mulsd";
    double chain = 0;  // the operations' latencies, loads apart
    for (std::size_t j = 0; j < loop.body.size(); j++) {
      const std::string& m = loop.body[j].mnemonic;
      if (m == op || m == "v" + op) {
        chain +=
            p->figures[j].latency - (effects_of(loop.body[j]).load ? a.model.vector_load_op : 0);
      }
    }
    SCOPED_TRACE(op);
    const InCore c = in_core(a, *p);
    EXPECT_NEAR(c.latency_cycles, chain, 1e-9);
    EXPECT_EQ(c.bound, "latency");
    EXPECT_GE(c.cycles, c.latency_cycles);
    ASSERT_FALSE(c.path.via.empty());
    EXPECT_EQ(c.path.via[0][0], 'v');  // a vector register carries it
    EXPECT_FALSE(c.path.through_memory);

    // The probe's latency, when given, replaces the model's.
    Latencies measured;
    (op == "addsd" ? measured.fp64_add : measured.fp64_mul) = 7;
    std::size_t operations = 0;
    for (const Instruction& in : loop.body) {
      operations += in.mnemonic == op || in.mnemonic == "v" + op ? 1 : 0;
    }
    EXPECT_NEAR(in_core(a, *p, measured).latency_cycles, 7.0 * operations, 1e-9);
  }
}

// At -O0 the index lives in memory: its store and reload are on the critical path, which
// grows with the forwarding latency one for one.
TEST(Binary, AnIndexInMemoryIsOnTheCriticalPath) {
  NEED_LLVM_MCA();
  const BinaryAnalysis a = analyse_binary(fixture("known-loops-o0"));
  EXPECT_EQ(a.key.rfind("file ", 0), 0u);
  for (const std::size_t i : a.kernel.kernel) {
    const PricedLoop* p = a.priced_loop(i);
    ASSERT_NE(p, nullptr);
    Latencies slow;
    slow.store_forward = 30;  // beyond any chain of registers in the body
    Latencies slower = slow;
    slower.store_forward = 40;
    const InCore c = in_core(a, *p, slow);
    EXPECT_TRUE(c.path.through_memory);
    EXPECT_EQ(c.bound, "latency");
    EXPECT_NEAR(in_core(a, *p, slower).latency_cycles - c.latency_cycles, 10, 1e-9);
  }
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "ks-loopmodel-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) != nullptr ? pattern : "";
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(Binary, TheCacheServesTheSecondAnalysis) {
  NEED_LLVM_MCA();
  TempDir tmp;
  ASSERT_FALSE(tmp.path().empty());
  AnalysisOptions options;
  options.cache_dir = tmp.path() + "/kernelscope";
  const BinaryAnalysis first = analyse_binary(fixture("known-openmp"), options);
  EXPECT_FALSE(first.from_cache);
  const BinaryAnalysis second = analyse_binary(fixture("known-openmp"), options);
  EXPECT_TRUE(second.from_cache);
  EXPECT_EQ(to_json(second), to_json(first));
  // A damaged entry is analysed again and replaced.
  for (const auto& entry : fs::directory_iterator(options.cache_dir)) {
    std::ofstream(entry.path()) << "{\"format\": \"kernelscope loops 1\"}";
  }
  EXPECT_FALSE(analyse_binary(fixture("known-openmp"), options).from_cache);
  EXPECT_TRUE(analyse_binary(fixture("known-openmp"), options).from_cache);
  // Another CPU is another entry (where LLVM does not know this host's, the first analysis
  // already used the generic model).
  options.cpu = first.cpu == "x86-64" ? "skylake" : "x86-64";
  const BinaryAnalysis generic = analyse_binary(fixture("known-openmp"), options);
  EXPECT_FALSE(generic.from_cache);
  EXPECT_EQ(generic.cpu, options.cpu);
  EXPECT_EQ(std::distance(fs::directory_iterator(options.cache_dir), fs::directory_iterator()), 2);
}

TEST(Binary, AnUnknownCpuFallsBackToTheGenericModel) {
  NEED_LLVM_MCA();
  bool fell_back = false;
  EXPECT_EQ(mca_cpu(*find_mca(), "no-such-cpu", fell_back), "x86-64");
  EXPECT_TRUE(fell_back);
  EXPECT_EQ(mca_cpu(*find_mca(), "generic", fell_back), "x86-64");
  EXPECT_TRUE(fell_back);
  EXPECT_EQ(mca_cpu(*find_mca(), "znver3", fell_back), "znver3");
  EXPECT_FALSE(fell_back);
}

ks::RunResult loops(const std::vector<std::string>& args) {
  ks::RunOptions options;
  options.args = args;
  options.timeout_seconds = 120;
  return ks::run_program(KS_LOOPS_PROGRAM, options);
}

TEST(KsLoops, OneLinePerBinaryAndItsStatus) {
  NEED_LLVM_MCA();
  const ks::RunResult r = loops({"--json", fixture("known-loops-o2"), fixture("known-openmp")});
  ASSERT_TRUE(r.ok()) << r.describe() << "\n" << r.err;
  std::vector<nlohmann::json> lines;
  std::size_t at = 0;
  for (std::size_t eol = r.out.find('\n'); eol != std::string::npos; eol = r.out.find('\n', at)) {
    lines.push_back(nlohmann::json::parse(r.out.substr(at, eol - at)));
    at = eol + 1;
  }
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["timer"], "clock_gettime");
  EXPECT_EQ(lines[1]["timer"], "omp_get_wtime");
  for (const nlohmann::json& l : lines[0]["kernel"]) {
    EXPECT_EQ(l["bound"], "latency");
    EXPECT_GT(l["latency_cycles"].get<double>(), 0);
    EXPECT_FALSE(l["body"].empty());
  }

  const ks::RunResult text = loops({fixture("known-loops-o2")});
  ASSERT_TRUE(text.ok()) << text.err;
  EXPECT_NE(text.out.find("readings (clock_gettime) in main"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("latency-bound"), std::string::npos) << text.out;

  const ks::RunResult input = loops({"--mca-input", fixture("known-loops-o2")});
  ASSERT_TRUE(input.ok()) << input.err;
  EXPECT_EQ(input.out.rfind("# LLVM-MCA-BEGIN loop0\n", 0), 0u);

  const ks::RunResult missing = loops({fixture("absent"), fixture("known-loops-o2")});
  EXPECT_TRUE(missing.exited && missing.exit_status == 1) << missing.describe();
  EXPECT_NE(missing.err.find("ks-loops: " + fixture("absent") + ": "), std::string::npos);
  EXPECT_NE(missing.out.find("known-loops-o2"), std::string::npos);  // the others still go on

  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{}, {"--bogus", "x"}, {"--cpu"}, {"--mca-input", "a", "b"}}) {
    const ks::RunResult r2 = loops(bad);
    EXPECT_TRUE(r2.exited && r2.exit_status == 2) << r2.describe();
    EXPECT_NE(r2.err.find("usage: ks-loops"), std::string::npos) << r2.err;
  }
}

}  // namespace
