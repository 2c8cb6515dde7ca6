// The model's terms from a compiled loop, on fixed inputs: the analyses of four built
// programs recorded in driver/tests/data/loops.json (as a sweep's context keeps them) and
// ceilings made here (caches of 32 KiB and 512 KiB per core and 32 MiB shared; the probe's
// best bandwidths of 24 B/s named per level, so that traffic is 32/24 of them; a 4 GHz clock;
// an fp64 add of 4 cycles).
#include <gtest/gtest.h>

#include <fstream>

#include "driver/analysis/loop_model.h"
#include "driver/analysis/model.h"
#include "driver/catalogue/catalogue.h"
#include "driver/tests/support/configs.h"
#include "loopmodel/layers.h"

namespace {

using namespace ks::driver;
using ks::driver::test::config;
namespace lm = ks::loopmodel;

constexpr double kHertz = 4e9;

const std::map<std::string, lm::BinaryAnalysis>& recorded() {
  static const std::map<std::string, lm::BinaryAnalysis> loops = [] {
    std::ifstream in(std::string(KS_DRIVER_TEST_DATA) + "/loops.json");
    return context_loops(read_machine_context({{"loops", nlohmann::json::parse(in)}}));
  }();
  return loops;
}

// Named bytes per second: memory 24 GB/s, L2 96, L3 72 (traffic 32, 128, 96), for one thread;
// a team of two has twice as much of each, so that one thread's share stays the same.
Ceilings fixed_ceilings() {
  Ceilings c;
  c.caches = {{1, 32 * 1024.0, 2}, {2, 512 * 1024.0, 2}, {3, 32 * 1024 * 1024.0, 1}};
  c.threads = {1, 2};
  for (const auto& [level, rate] : std::map<int, double>{{0, 24e9}, {2, 96e9}, {3, 72e9}}) {
    c.best_bandwidth[level] = {{1, rate}, {2, 2 * rate}};
    c.add_bandwidth[level] = {{1, rate}, {2, 2 * rate}};
  }
  c.add_bandwidth[1] = {{1, 200e9}, {2, 400e9}};
  c.compute["fp64_add/scalar"] = {{1, 4e9}, {2, 8e9}};
  c.compute["int32_add/scalar"] = {{1, 8e9}, {2, 16e9}};
  c.fault_seconds_per_page = {{1, 1e-6}, {2, 1e-6}};
  c.region_seconds = {{1, 1e-6}, {2, 2e-6}};
  c.core_hertz = {{1, kHertz}, {2, kHertz}};
  c.latency_cycles = {{"fp64_add", 4}, {"fp64_mul", 4}, {"int32_add", 1}, {"store_load", 6}};
  return c;
}

lm::Instruction ins(const char* mnemonic, const char* operands) {
  lm::Instruction i;
  i.mnemonic = mnemonic;
  i.operands = operands;
  return i;
}

TEST(LoopModel, NestIterationsPerCompiledIteration) {
  struct Case {
    const char* what;
    std::vector<lm::Instruction> body;
    double step_bytes;
    double element_bytes;
    double expected;
  };
  const std::vector<Case> cases = {
      {"one double per iteration",
       {ins("movsd", "(%rax),%xmm0"), ins("addsd", "(%rdx),%xmm0"), ins("add", "$0x8,%rax"),
        ins("add", "$0x8,%rdx"), ins("cmp", "%rax,%rcx"), ins("jne", "1000 <f>")},
       8,
       8,
       1},
      {"unrolled by four: the loads move 32 bytes",
       {ins("movsd", "(%rax),%xmm0"), ins("addsd", "0x8(%rax),%xmm0"), ins("add", "$0x20,%rax"),
        ins("cmp", "%rax,%rcx"), ins("jne", "1000 <f>")},
       8,
       8,
       4},
      {"vectorised by eight int32 in ymm: the loads move 32 bytes",
       {ins("vmovdqu", "(%rax),%ymm0"), ins("vpaddd", "(%rdx),%ymm0,%ymm0"),
        ins("add", "$0x20,%rax"), ins("add", "$0x20,%rdx"), ins("cmp", "%rax,%rcx"),
        ins("jne", "1000 <f>")},
       4,
       4,
       8},
      {"an outer loop across four lanes: a scalar broadcast into xmm",
       {ins("mov", "(%rax),%edx"), ins("add", "$0x8,%rax"), ins("movd", "%edx,%xmm0"),
        ins("pshufd", "$0x0,%xmm0,%xmm0"), ins("paddd", "%xmm0,%xmm2"), ins("cmp", "%rax,%rbx"),
        ins("jne", "1000 <f>")},
       8,
       4,
       4},
      {"elements packed into lanes by the loop itself: no other loop's iterations",
       {ins("movq", "0x8(%rax),%xmm4"), ins("movq", "(%rax),%xmm0"), ins("add", "$0x20,%rax"),
        ins("punpckldq", "%xmm4,%xmm0"), ins("paddd", "%xmm0,%xmm2"), ins("cmp", "%rax,%rcx"),
        ins("jne", "1000 <f>")},
       32,
       4,
       1},
      {"no load moves (an index kept in memory)",
       {ins("mov", "-0x8(%rbp),%eax"), ins("addl", "$0x1,-0x8(%rbp)"),
        ins("cmp", "-0xc(%rbp),%eax"), ins("jl", "1000 <f>")},
       4,
       4,
       1},
  };
  for (const Case& c : cases) {
    lm::Loop loop;
    loop.body = c.body;
    EXPECT_EQ(iterations_per_compiled(loop, c.step_bytes, c.element_bytes), c.expected) << c.what;
  }
  // The recorded outer-vectorised record kernel: four steps k per iteration.
  const lm::BinaryAnalysis& fused = recorded().at("recmin-fused");
  EXPECT_EQ(iterations_per_compiled(fused.kernel.loops[fused.kernel.main], 8, 4), 4);
}

TEST(LoopModel, TheProbesLatenciesAndTheContextsAnalyses) {
  const lm::Latencies l = probe_latencies(fixed_ceilings());
  EXPECT_EQ(l.fp64_add, 4);
  EXPECT_EQ(l.int_add, 1);
  EXPECT_EQ(l.store_forward, 5);  // the round trip less its add
  EXPECT_FALSE(probe_latencies(Ceilings{}).store_forward.has_value());

  std::ifstream in(std::string(KS_DRIVER_TEST_DATA) + "/loops.json");
  nlohmann::json loops = nlohmann::json::parse(in);
  loops["plus-heap"] = {{"error", "objdump: not found"}};
  loops["plus-static"] = {{"kernel", "not an analysis"}};
  std::map<std::string, std::string> errors;
  const auto parsed = context_loops(read_machine_context({{"loops", loops}}), &errors);
  EXPECT_EQ(parsed.size(), 4u);
  EXPECT_EQ(parsed.count("yupd-o1"), 1u);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors["plus-heap"], "objdump: not found");
  EXPECT_FALSE(errors["plus-static"].empty());
  EXPECT_TRUE(context_loops(read_machine_context({{"host", "x"}})).empty());
}

// The product's add chain at the probe's 4 cycles against its column of C from L2.
TEST(LoopModel, TheProductsChainHidesItsTransfers) {
  const Ceilings c = fixed_ceilings();
  const Config product = config("mprod-heap", 600, 0);
  const std::optional<EcmFigures> f = ecm_figures(product, c, recorded().at("mprod-heap"), 1);
  ASSERT_TRUE(f.has_value());
  ASSERT_EQ(f->loops.size(), 1u);
  EXPECT_EQ(f->loops[0].per_iteration, 1);
  EXPECT_NEAR(f->chain_cycles, 4, 1e-9);  // one dependent add per term, at the probe's latency
  EXPECT_LT(f->throughput_cycles, 2);
  EXPECT_EQ(f->iterations, 600.0 * 600 * 600);
  EXPECT_EQ(f->loops[0].iterations, f->iterations);

  // The links as the layer conditions of this nest give them, priced at one thread's share.
  const KernelNest nest = product.program->nest(600);
  const lm::LayerTraffic t =
      lm::layer_traffic(nest.loops, nest.streams,
                        {{"L1", 32 * 1024.0}, {"L2", 512 * 1024.0}, {"L3", 32 * 1048576.0}});
  ASSERT_EQ(f->links, (std::vector<std::string>{"L2", "L3", "memory"}));
  const double rates[] = {128e9, 96e9, 32e9};
  double transfers = 0;
  for (std::size_t k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    EXPECT_NEAR(f->link_bytes[k], t.bytes[k + 1], 1e-9);
    EXPECT_NEAR(f->link_rates[k], rates[k], 1);
    // Each link adds to the level before what its own level's measurement adds.
    const double inner = k == 0 ? 0 : 1 / rates[k - 1];
    EXPECT_NEAR(f->link_cycles[k], t.bytes[k + 1] * (1 / rates[k] - inner) * kHertz, 1e-9);
    transfers += f->link_cycles[k];
  }
  EXPECT_GT(f->link_bytes[0], 64);  // a new line of C every k, B's too
  EXPECT_EQ(f->link_bytes[2], 0);   // C stays in L3
  EXPECT_EQ(f->data_level, "L3");
  EXPECT_GT(transfers, f->throughput_cycles);
  EXPECT_LT(transfers, f->chain_cycles);
  EXPECT_NEAR(f->ecm_cycles, 4, 1e-9);  // the chain overlaps with every transfer

  // The prediction: in-core decides; the data overlaps with it.
  std::optional<Prediction> p = predict(product, c, &recorded().at("mprod-heap"));
  ASSERT_TRUE(p.has_value());
  ASSERT_TRUE(p->ecm.has_value());
  const double steady = 4 * 216e6 / kHertz;
  EXPECT_NEAR(p->steady_seconds, steady, 1e-9);
  EXPECT_NEAR(p->predicted_seconds, steady + p->fresh.seconds, 1e-9);
  EXPECT_EQ(p->level, "L3");
  explain(*p, steady * 1.1);
  EXPECT_EQ(p->dominant, "in-core");
  EXPECT_NE(p->line.find("4.00 cycles per iteration (loop-carried chain)"), std::string::npos)
      << p->line;
  EXPECT_NE(p->line.find("overlaps with it"), std::string::npos) << p->line;

  // Without the analysis, the model of bytes and operations.
  const std::optional<Prediction> plain = predict(product, c);
  ASSERT_TRUE(plain.has_value());
  EXPECT_FALSE(plain->ecm.has_value());
  EXPECT_EQ(plain->compute.name, "compute");
}

// The addition from memory: its transfers add up and decide; a team of two splits the loop
// and the shared cache.
TEST(LoopModel, TheAdditionsTransfersAddUpAndATeamSharesThem) {
  const Ceilings c = fixed_ceilings();
  const lm::BinaryAnalysis& a = recorded().at("plus-parloop");
  const std::uint64_t size = 8388608;
  const double n = static_cast<double>(size);
  for (const int team : {1, 2}) {
    SCOPED_TRACE(team);
    const std::optional<EcmFigures> f = ecm_figures(config("plus-parloop", size, team), c, a, team);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->iterations, n / team);
    const lm::LayerTraffic t = lm::layer_traffic(
        {{"i", n / team}}, config("plus-parloop", size, team).program->nest(n).streams,
        {{"L1", 32 * 1024.0}, {"L2", 512 * 1024.0}, {"L3", 32 * 1048576.0 / team}});
    double transfers = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      EXPECT_NEAR(f->link_bytes[k], t.bytes[k + 1], 1e-9) << k;
      transfers += f->link_cycles[k];
    }
    EXPECT_NEAR(f->link_bytes[2], 32, 0.01);  // v1 and v2 read, v3 fetched and written back
    EXPECT_EQ(f->data_level, "memory");
    EXPECT_GT(transfers, f->throughput_cycles);
    EXPECT_NEAR(f->ecm_cycles, transfers, 1e-9);
    // Every byte from memory: the links add up to memory's measured rate, which is the bound.
    const double from_memory = f->link_bytes[2] / f->link_rates[2] * kHertz;
    EXPECT_NEAR(transfers, from_memory, 1e-9);
    EXPECT_NEAR(f->max_cycles, from_memory, 1e-9);
  }
  std::optional<Prediction> p = predict(config("plus-parloop", size, 1), c, &a);
  ASSERT_TRUE(p.has_value());
  explain(*p, p->predicted_seconds);
  EXPECT_EQ(p->dominant, "first touch");  // v3's 16384 fresh pages at 1 us
  p->fresh.seconds = 0;
  explain(*p, p->predicted_seconds);
  EXPECT_EQ(p->dominant, "data");
  EXPECT_NE(p->line.find("from memory at 32 GB/s"), std::string::npos) << p->line;
}

TEST(LoopModel, NothingWithoutANestAClockOrABandwidth) {
  const lm::BinaryAnalysis& a = recorded().at("yupd-o1");
  Ceilings c = fixed_ceilings();
  EXPECT_TRUE(ecm_figures(config("yupd-o1", 1000000, 0), c, a, 1).has_value());
  EXPECT_FALSE(ecm_figures(config("greet-team", std::nullopt, 2), c, a, 1).has_value());
  Ceilings no_clock = c;
  no_clock.core_hertz.clear();
  EXPECT_FALSE(ecm_figures(config("yupd-o1", 1000000, 0), no_clock, a, 1).has_value());
  Ceilings no_l3 = c;
  no_l3.best_bandwidth.erase(3);
  EXPECT_FALSE(ecm_figures(config("yupd-o1", 1000000, 0), no_l3, a, 1).has_value());
  // The prediction then falls back on bytes and operations.
  const std::optional<Prediction> p = predict(config("yupd-o1", 1000000, 0), no_l3, &a);
  ASSERT_TRUE(p.has_value());
  EXPECT_FALSE(p->ecm.has_value());
}

}  // namespace
