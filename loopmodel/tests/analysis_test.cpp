// The analysis on fixed inputs: loop-carried critical paths of made-up and recorded loop
// bodies with known latencies, the accesses of a loop and how far they move, the probe's
// latencies read into the analysis, the cache on a temporary folder, and the ECM combination.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "loopmodel/analysis.h"
#include "loopmodel/cache.h"
#include "loopmodel/dependencies.h"
#include "loopmodel/ecm.h"

namespace {

using namespace ks::loopmodel;
namespace fs = std::filesystem;

std::string data(const std::string& name) {
  std::ifstream in(std::string(KS_LOOPMODEL_DATA) + "/" + name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A loop body from listing lines ("addsd  %xmm1,%xmm0"), with llvm-mca's latencies.
struct Body {
  std::vector<Instruction> instructions;
  std::vector<McaInstruction> figures;
};

Body body(const std::vector<std::pair<const char*, double>>& lines) {
  std::string listing = "0000000000001000 <f>:\n";
  std::uint64_t address = 0x1000;
  for (const auto& [text, latency] : lines) {
    char line[128];
    std::snprintf(line, sizeof line, "    %llx:\t%s\n", static_cast<unsigned long long>(address),
                  text);
    listing += line;
    address += 4;
  }
  Body b;
  b.instructions = parse_objdump(listing).functions.at(0).instructions;
  for (const auto& [text, latency] : lines) {
    McaInstruction f;
    f.latency = latency;
    b.figures.push_back(f);
  }
  return b;
}

TEST(CriticalPath, ChainsThroughRegistersAndMemory) {
  Latencies model;
  model.integer_load = 5;
  model.vector_load = 8;
  model.integer_load_op = 4;
  model.vector_load_op = 7;
  Latencies measured = model;
  measured.fp64_add = 4;
  measured.int_add = 1;
  measured.store_forward = 2;

  struct Case {
    const char* what;
    Body body;
    Latencies latencies;
    double cycles;
    std::vector<std::size_t> on_path;
    bool through_memory;
  };
  const Case cases[] = {
      {"a sum: the add's latency",
       body({{"movsd  (%rdi,%rax,8),%xmm1", 8},
             {"addsd  %xmm1,%xmm0", 3},
             {"add    $0x1,%rax", 1},
             {"cmp    %rax,%rsi", 1},
             {"jne    1000 <f>", 1}}),
       model,
       3,
       {1},
       false},
      {"the same sum with the load folded: the operation's part of the latency",
       body({{"addsd  (%rdi,%rax,8),%xmm0", 10},
             {"add    $0x1,%rax", 1},
             {"cmp    %rax,%rsi", 1},
             {"jne    1000 <f>", 1}}),
       model,
       3,
       {0},
       false},
      {"the sum with the probe's measured add",
       body({{"addsd  (%rdi,%rax,8),%xmm0", 10}, {"add    $0x1,%rax", 1}, {"jne    1000 <f>", 1}}),
       measured,
       4,
       {0},
       false},
      {"two adds and a move the renamer eliminates: 3 + 3 + 0",
       body({{"movsd  (%rsi,%rdi,8),%xmm2", 8},
             {"addsd  %xmm1,%xmm2", 3},
             {"addsd  %xmm3,%xmm2", 3},
             {"movapd %xmm2,%xmm1", 0},
             {"add    $0x2,%rdi", 1},
             {"jne    1000 <f>", 1}}),
       model,
       6,
       {1, 2, 3},
       false},
      {"an index kept in memory: forwarded in the load's part (4 of the addl's 6), plus the add's "
       "2",
       body({{"mov    -0x8(%rbp),%eax", 5},
             {"cltq", 1},
             {"mov    (%rdx,%rax,4),%ecx", 5},
             {"addl   $0x1,-0x8(%rbp)", 6},
             {"mov    -0x8(%rbp),%eax", 5},
             {"cmp    -0xc(%rbp),%eax", 5},
             {"jl     1000 <f>", 1}}),
       model,
       6,
       {3},
       true},
      {"the same index with the probe's forwarding and add",
       body({{"mov    -0x8(%rbp),%eax", 5},
             {"cltq", 1},
             {"mov    (%rdx,%rax,4),%ecx", 5},
             {"addl   $0x1,-0x8(%rbp)", 6},
             {"mov    -0x8(%rbp),%eax", 5},
             {"cmp    -0xc(%rbp),%eax", 5},
             {"jl     1000 <f>", 1}}),
       measured,
       3,
       {3},
       true},
      {"a store and a load through an index the loop moves do not meet",
       body({{"mov    (%rdi,%rax,4),%ecx", 5},
             {"add    $0x1,%ecx", 1},
             {"mov    %ecx,(%rdi,%rax,4)", 1},
             {"add    $0x1,%rax", 1},
             {"cmp    %rax,%rsi", 1},
             {"jne    1000 <f>", 1}}),
       model,
       1,
       {3},
       false},
      {"an accumulator in memory at a fixed address (A[i][j] in the k loop)",
       body({{"movsd  (%rsi,%rax,8),%xmm0", 8},
             {"addsd  (%rdx),%xmm0", 11},
             {"movsd  %xmm0,(%rdx)", 1},
             {"add    $0x1,%rax", 1},
             {"jne    1000 <f>", 1}}),
       measured,
       6,
       {1, 2},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const CriticalPath p = critical_path(c.body.instructions, c.body.figures, c.latencies);
    EXPECT_NEAR(p.cycles, c.cycles, 1e-9);
    EXPECT_EQ(p.instructions, c.on_path);
    EXPECT_EQ(p.through_memory, c.through_memory);
  }
}

// The recorded suite loops: llvm-mca's report and our path, side by side.
TEST(CriticalPath, RecordedSuiteLoops) {
  struct Case {
    const char* name;
    double cycles;  // with the model's latencies
    const char* via;
    double simulated;  // llvm-mca's own cycles per iteration
  };
  const Case cases[] = {
      // -O0: i in memory, read back after each addl (6): its load's part forwards it (4), then
      // the rest (2).
      {"yupd-o0-gcc", 6, "memory -0x8(rbp)", 4.69},
      // Two dependent adds and the movapd back into xmm1, which llvm-mca's simulation lets
      // the next iteration's add overtake.
      {"mprod-colwise-clang", 6, "v2", 2.018},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TimedKernel k = find_timed_kernel(parse_objdump(data(std::string(c.name) + ".objdump")));
    const McaReport report = parse_mca_json(data(std::string(c.name) + ".mca.json"));
    const McaRegion* region = report.find("loop0");
    ASSERT_NE(region, nullptr);
    const Latencies model = model_latencies(report);
    EXPECT_EQ(model.integer_load, 5);
    EXPECT_EQ(model.vector_load, 8);
    EXPECT_EQ(model.integer_load_op, 4);  // addq from memory 5, on registers 1
    EXPECT_EQ(model.vector_load_op, 7);   // addsd 10 and 3
    const CriticalPath p = critical_path(k.loops[k.main].body, region->instructions, model);
    EXPECT_NEAR(p.cycles, c.cycles, 1e-9);
    EXPECT_NE(std::find(p.via.begin(), p.via.end(), c.via), p.via.end());
    EXPECT_NEAR(region->simulated_cycles(), c.simulated, 1e-9);
  }
}

TEST(Accesses, HowFarEachAddressMoves) {
  const Body b = body({{"movsd  (%rdi,%rax,8),%xmm0", 8},
                       {"mulsd  0x13880(%rcx),%xmm0", 10},
                       {"addsd  (%rdx),%xmm0", 11},
                       {"movsd  %xmm0,(%rdx)", 1},
                       {"mov    (%r8,%rax,8),%r14", 5},
                       {"movsd  (%r14,%rsi,1),%xmm1", 8},
                       {"add    $0x2,%rax", 1},
                       {"add    $0x27100,%rcx", 1},
                       {"jne    1000 <f>", 1}});
  Loop loop;
  loop.body = b.instructions;
  const std::vector<Access> a = accesses(loop);
  ASSERT_EQ(a.size(), 6u);
  struct Expected {
    std::size_t instruction;
    bool load;
    bool store;
    std::optional<std::int64_t> advance;
    bool fixed;
  };
  const Expected expected[] = {
      {0, true, false, 16, false}, {1, true, false, 0x27100, false},
      {2, true, false, 0, true},   {3, false, true, 0, true},
      {4, true, false, 16, false}, {5, true, false, std::nullopt, false},  // r14 is loaded
  };
  for (std::size_t i = 0; i < a.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(a[i].instruction, expected[i].instruction);
    EXPECT_EQ(a[i].load, expected[i].load);
    EXPECT_EQ(a[i].store, expected[i].store);
    EXPECT_EQ(a[i].advance, expected[i].advance);
    EXPECT_EQ(a[i].fixed, expected[i].fixed);
  }
}

TEST(ProbeFigures, LatenciesInCyclesFromItsOutput) {
  const nlohmann::json probe = nlohmann::json::parse(R"({"latencies": {"hertz": 3.6e9, "results": [
      {"kernel": "fp64_add", "latency_cycles": 3.02},
      {"kernel": "fp64_mul", "latency_cycles": 2.98},
      {"kernel": "int32_add", "latency_cycles": 1.01},
      {"kernel": "store_load", "latency_cycles": 6.5}]}})");
  const Latencies l = measured_latencies(probe);
  EXPECT_EQ(l.fp64_add, 3.02);
  EXPECT_EQ(l.fp64_mul, 2.98);
  EXPECT_EQ(l.int_add, 1.01);
  ASSERT_TRUE(l.store_forward.has_value());
  EXPECT_NEAR(*l.store_forward, 6.5 - 1.01, 1e-12);  // the round trip less its add
  // An older probe, or one whose figures are not sound, gives none.
  for (const char* text : {R"({"format": "ks-probe 1"})",
                           R"({"latencies": {"results": [{"kernel": "fp64_add",
                               "latency_cycles": -1}, {"kernel": "fp64_mul"}]}})"}) {
    const Latencies none = measured_latencies(nlohmann::json::parse(text));
    EXPECT_FALSE(none.fp64_add || none.fp64_mul || none.int_add || none.store_forward) << text;
  }
}

// A folder under the system's temporary folder, removed at the end of the test.
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

TEST(Cache, WrittenWholeReadBackNeverThroughALink) {
  TempDir tmp;
  ASSERT_FALSE(tmp.path().empty());
  const std::string dir = tmp.path() + "/cache/kernelscope";
  const nlohmann::json key = {{"binary", "build-id 0123"}, {"cpu", "znver3"}};
  const nlohmann::json value = {{"loops", 3}};
  EXPECT_FALSE(read_cache(dir, key).has_value());
  const std::string path = write_cache(dir, key, value);
  EXPECT_EQ(path, dir + "/" + cache_file_name(key));
  EXPECT_EQ(read_cache(dir, key), value);
  struct stat st {};
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Only the file itself is in the folder: no temporary left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

  // Another key is another file; a file whose key differs is none.
  const nlohmann::json other = {{"binary", "build-id 4567"}, {"cpu", "znver3"}};
  EXPECT_NE(cache_file_name(other), cache_file_name(key));
  EXPECT_FALSE(read_cache(dir, other).has_value());
  std::ofstream(dir + "/" + cache_file_name(other))
      << nlohmann::json{{"format", "kernelscope loops 1"}, {"key", key}, {"value", value}}.dump();
  EXPECT_FALSE(read_cache(dir, other).has_value());
  std::ofstream(dir + "/" + cache_file_name(other)) << "{ not json";
  EXPECT_FALSE(read_cache(dir, other).has_value());

  // A link where the file goes is not read, and writing replaces the link, not its target.
  const std::string target = tmp.path() + "/target";
  std::ofstream(target) << "kept";
  fs::remove(path);
  fs::create_symlink(target, path);
  EXPECT_FALSE(read_cache(dir, key).has_value());
  write_cache(dir, key, value);
  EXPECT_FALSE(fs::is_symlink(path));
  EXPECT_EQ(read_cache(dir, key), value);
  std::ifstream kept(target);
  std::string text;
  kept >> text;
  EXPECT_EQ(text, "kept");

  // A cache folder that is a link is neither read nor written.
  const std::string linked = tmp.path() + "/linked";
  fs::create_symlink(dir, linked);
  EXPECT_FALSE(read_cache(linked, key).has_value());
  EXPECT_THROW(write_cache(linked, key, value), LoopError);
  EXPECT_THROW(write_cache("", key, value), LoopError);
  EXPECT_FALSE(read_cache("", key).has_value());
}

TEST(Cache, KeysOfFilesWithoutABuildId) {
  TempDir tmp;
  ASSERT_FALSE(tmp.path().empty());
  const std::string file = tmp.path() + "/not-elf";
  std::ofstream(file) << "plain bytes";
  EXPECT_EQ(build_id(file), "");
  const std::string key = binary_key(file);
  EXPECT_EQ(key.rfind("file 11 ", 0), 0u) << key;
  std::ofstream(file) << "plain bytez";
  EXPECT_NE(binary_key(file), key);  // same size, other bytes
  EXPECT_THROW(binary_key(tmp.path() + "/absent"), LoopError);
}

TEST(Cache, TheDefaultFolder) {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  const char* home = std::getenv("HOME");
  const std::string saved_xdg = xdg != nullptr ? xdg : "";
  const std::string saved_home = home != nullptr ? home : "";
  setenv("XDG_CACHE_HOME", "/somewhere", 1);
  EXPECT_EQ(default_cache_dir(), "/somewhere/kernelscope");
  setenv("XDG_CACHE_HOME", "relative", 1);  // not absolute: ignored
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(default_cache_dir(), "/home/u/.cache/kernelscope");
  unsetenv("XDG_CACHE_HOME");
  unsetenv("HOME");
  EXPECT_EQ(default_cache_dir(), "");
  if (xdg != nullptr) {
    setenv("XDG_CACHE_HOME", saved_xdg.c_str(), 1);
  }
  if (home != nullptr) {
    setenv("HOME", saved_home.c_str(), 1);
  }
}

TEST(Ecm, AddedTransfersAndTheMaxBound) {
  // T_OL 2, T_nOL 1, links L2->L1 1, L3->L2 2, memory->L3 4 cycles per iteration.
  const EcmResult r = ecm({2, 1, {1, 2, 4}}, {"L2", "L3", "memory"});
  EXPECT_EQ(r.additive, (std::vector<double>{2, 2, 4, 8}));
  EXPECT_EQ(r.additive_dominant,
            (std::vector<std::string>{"in-core", "in-core", "transfers", "transfers"}));
  EXPECT_EQ(r.max_bound, (std::vector<double>{2, 2, 2, 4}));
  EXPECT_EQ(r.max_dominant, (std::vector<std::string>{"in-core", "in-core", "in-core", "memory"}));

  // Loads and stores that keep the first cache busier than the arithmetic.
  const EcmResult busy = ecm({1, 3, {2}});
  EXPECT_EQ(busy.additive, (std::vector<double>{3, 5}));
  EXPECT_EQ(busy.additive_dominant, (std::vector<std::string>{"non-overlapping", "transfers"}));
  EXPECT_EQ(busy.max_bound, (std::vector<double>{3, 3}));
  EXPECT_EQ(busy.max_dominant, (std::vector<std::string>{"non-overlapping", "non-overlapping"}));
  EXPECT_EQ(ecm({1, 0, {5}}).max_dominant.back(), "level 2");

  // 32 bytes per iteration at 16 GB/s on a 3.2 GHz clock: 6.4 cycles.
  EXPECT_DOUBLE_EQ(transfer_cycles(32, 16e9, 3.2e9), 6.4);
  EXPECT_EQ(transfer_cycles(0, 0, 3.2e9), 0);
  EXPECT_TRUE(std::isinf(transfer_cycles(8, 0, 3.2e9)));
  EXPECT_DOUBLE_EQ(cycles_to_seconds(3, 1e6, 3e9), 1e-3);
}

// A level's measured rate includes the links nearer the core: each link adds the difference.
TEST(Ecm, LinksAddWhatTheirLevelsMeasurementAddsToTheOneBefore) {
  // Levels measured at 64, 32 and 16 bytes per cycle (a 1 Hz clock keeps cycles = seconds).
  const std::vector<double> rates = {64, 32, 16};
  struct Case {
    const char* what;
    std::vector<double> bytes;
    std::vector<double> cycles;
  };
  const Case cases[] = {
      // 64 bytes from memory cost 64/16 = 4 cycles in all, whatever the nearer levels measure.
      {"all from memory", {64, 64, 64}, {1, 1, 2}},
      {"all from the third level", {64, 64, 0}, {1, 1, 0}},
      {"all from the second level", {64, 0, 0}, {1, 0, 0}},
      // A column from the second level every iteration, a line from memory every eighth.
      {"mixed levels", {64, 8, 8}, {1, 0.125, 0.25}},
      {"nothing beyond the first cache", {0, 0, 0}, {0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(link_cycles(c.bytes, rates, 1), c.cycles);
  }
  // An outer level measured faster than the inner one adds nothing, never a negative time.
  EXPECT_EQ(link_cycles({64, 64, 64}, {32, 64, 16}, 1), (std::vector<double>{2, 0, 2}));
  // A level of no bandwidth: infinite for its bytes, and nothing more beyond it.
  const std::vector<double> none = link_cycles({64, 64, 64}, {64, 0, 16}, 1);
  EXPECT_EQ(none[0], 1);
  EXPECT_TRUE(std::isinf(none[1]));
  EXPECT_EQ(none[2], 0);
  EXPECT_EQ(link_cycles({64, 0}, {64, 0}, 1), (std::vector<double>{1, 0}));
}

}  // namespace
