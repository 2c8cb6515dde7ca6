// Reading machine code on fixed inputs: objdump's listing, the registers and memory an
// instruction reads and writes, the timed kernel and its loops in made-up and recorded
// listings, the llvm-mca input written for them and llvm-mca's recorded reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "loopmodel/disassembly.h"
#include "loopmodel/mca.h"
#include "loopmodel/timed_loop.h"
#include "loopmodel/x86.h"

namespace {

using namespace ks::loopmodel;

std::string data(const std::string& name) {
  std::ifstream in(std::string(KS_LOOPMODEL_DATA) + "/" + name);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_FALSE(text.str().empty()) << name;
  return text.str();
}

// One instruction as objdump prints it after "address:\t".
Instruction instruction(const std::string& text) {
  const Disassembly d = parse_objdump("0000000000001000 <f>:\n    1000:\t" + text + "\n");
  EXPECT_EQ(d.functions.size(), 1u);
  EXPECT_EQ(d.functions[0].instructions.size(), 1u) << text;
  return d.functions.empty() || d.functions[0].instructions.empty()
             ? Instruction{}
             : d.functions[0].instructions[0];
}

TEST(Objdump, LinesOfAListing) {
  const Disassembly d = parse_objdump(
      "\n/tmp/x:     file format elf64-x86-64\n\n\nDisassembly of section .text:\n\n"
      "0000000000001339 <main>:\n"
      "    1339:\tpush   %rbp\n"
      "    1346:\tcs nopw 0x0(%rax,%rax,1)\n"
      "    1350:\tlea    0xf39(%rip),%rdi        # 2190 <main._omp_fn.0>\n"
      "    1357:\tcall   1080 <clock_gettime@plt>\n"
      "    135c:\tjl     1339 <main>\n"
      "    135e:\tjmp    *%rax\n"
      "    1360:\trep stos %rax,%es:(%rdi)\n"
      "    1363:\t(bad)\n"
      "\t...\n"
      "0000000000001000 <_init>:\n"
      "    1000:\tret\n");
  ASSERT_EQ(d.functions.size(), 2u);
  EXPECT_EQ(d.functions[0].name, "_init");  // address order
  const Function* main = d.find("main");
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->address, 0x1339u);
  ASSERT_EQ(main->instructions.size(), 7u);  // (bad) and "..." are no instructions
  const std::vector<Instruction>& in = main->instructions;
  EXPECT_EQ(in[0].mnemonic, "push");
  EXPECT_EQ(in[0].operands, "%rbp");
  EXPECT_EQ(in[1].prefixes, "cs");
  EXPECT_EQ(in[1].mnemonic, "nopw");
  EXPECT_TRUE(in[1].is_nop());
  EXPECT_EQ(in[2].operands, "0xf39(%rip),%rdi");
  EXPECT_EQ(in[2].comment_address, 0x2190u);
  EXPECT_EQ(in[2].comment_symbol, "main._omp_fn.0");
  EXPECT_EQ(in[3].target, 0x1080u);
  EXPECT_EQ(in[3].target_symbol, "clock_gettime@plt");
  EXPECT_TRUE(in[3].is_call());
  EXPECT_EQ(in[4].target, 0x1339u);
  EXPECT_TRUE(in[4].is_jump());
  EXPECT_FALSE(in[4].is_unconditional_jump());
  EXPECT_FALSE(in[5].target.has_value());  // indirect
  EXPECT_TRUE(in[5].is_unconditional_jump());
  EXPECT_EQ(in[6].prefixes, "rep");
  EXPECT_EQ(in[6].text(), "rep stos %rax,%es:(%rdi)");
  EXPECT_EQ(main->index_of(0x1350), 2u);
  EXPECT_FALSE(main->index_of(0x1351).has_value());
  EXPECT_EQ(d.at(0x1339), main);
}

TEST(Objdump, OperandsAndRegisters) {
  EXPECT_EQ(split_operands("0x8(%rax,%rbx,8),%xmm0"),
            (std::vector<std::string>{"0x8(%rax,%rbx,8)", "%xmm0"}));
  EXPECT_EQ(split_operands("$0x2f,%eax,%ecx"), (std::vector<std::string>{"$0x2f", "%eax", "%ecx"}));
  EXPECT_EQ(split_operands("%zmm1,%zmm0{%k1}{z}"),
            (std::vector<std::string>{"%zmm1", "%zmm0{%k1}{z}"}));
  EXPECT_TRUE(split_operands("").empty());

  const std::pair<const char*, const char*> registers[] = {
      {"%eax", "rax"},  {"%al", "rax"},  {"%ah", "rax"},  {"%rax", "rax"}, {"%r8d", "r8"},
      {"%r15b", "r15"}, {"%sil", "rsi"}, {"%xmm3", "v3"}, {"%ymm3", "v3"}, {"%zmm31", "v31"},
      {"%rip", "rip"},  {"%k1", "k1"},   {"$0x1", ""},    {"%r8x", ""},    {"(%rax)", ""},
  };
  for (const auto& [text, full] : registers) {
    EXPECT_EQ(full_register(text), full) << text;
  }
  EXPECT_TRUE(is_partial_register("%al"));
  EXPECT_TRUE(is_partial_register("%r9w"));
  EXPECT_FALSE(is_partial_register("%eax"));
  EXPECT_FALSE(is_partial_register("%r9d"));

  struct Memory {
    const char* text;
    MemoryOperand m;
  };
  const Memory memory[] = {
      {"-0x8(%rbp)", {"", -8, "", "rbp", "", 1}},
      {"0x0(,%rax,4)", {"", 0, "", "", "rax", 4}},
      {"(%rsi,%rdi,8)", {"", 0, "", "rsi", "rdi", 8}},
      {"0x13880(%rcx)", {"", 0x13880, "", "rcx", "", 1}},
      {"%fs:0x28", {"fs", 0x28, "", "", "", 1}},
      {"*0x2fe2(%rip)", {"", 0x2fe2, "", "rip", "", 1}},
  };
  for (const Memory& c : memory) {
    const std::optional<MemoryOperand> m = parse_memory(c.text);
    ASSERT_TRUE(m.has_value()) << c.text;
    EXPECT_EQ(*m, c.m) << c.text << " read as " << m->text();
  }
  EXPECT_EQ(parse_memory("-0x8(%rbp)")->text(), "-0x8(rbp)");
  EXPECT_FALSE(parse_memory("%eax").has_value());
  EXPECT_FALSE(parse_memory("$0x10").has_value());
}

// What each instruction depends on and produces: the facts the critical path is built from.
TEST(Effects, ReadsWritesLoadsAndStores) {
  using V = std::vector<std::string>;
  struct Case {
    const char* text;
    V reads;
    V address;
    V writes;
    const char* load;  // "" for none
    const char* store;
  };
  const Case cases[] = {
      {"addsd  %xmm1,%xmm0", {"v1", "v0"}, {}, {"v0"}, "", ""},
      {"addsd  (%rsi,%rax,8),%xmm0", {"v0"}, {"rsi", "rax"}, {"v0"}, "0x0(rsi,rax,8)", ""},
      {"movsd  (%rsi,%rax,8),%xmm0", {}, {"rsi", "rax"}, {"v0"}, "0x0(rsi,rax,8)", ""},
      {"movsd  %xmm0,(%rdx)", {"v0"}, {"rdx"}, {}, "", "0x0(rdx)"},
      {"movsd  %xmm1,%xmm0", {"v1", "v0"}, {}, {"v0"}, "", ""},  // keeps the upper lane
      {"movapd %xmm0,%xmm1", {"v0"}, {}, {"v1"}, "", ""},
      {"addl   $0x1,-0x8(%rbp)", {}, {"rbp"}, {"flags"}, "-0x8(rbp)", "-0x8(rbp)"},
      {"mov    -0x8(%rbp),%eax", {}, {"rbp"}, {"rax"}, "-0x8(rbp)", ""},
      {"mov    %edx,(%rax)", {"rdx"}, {"rax"}, {}, "", "0x0(rax)"},
      {"cmp    -0xc(%rbp),%eax", {"rax"}, {"rbp"}, {"flags"}, "-0xc(rbp)", ""},
      {"cltq", {"rax"}, {}, {"rax"}, "", ""},
      {"imul   $0x2f,%eax,%ecx", {"rax"}, {}, {"rcx", "flags"}, "", ""},
      {"lea    0x0(,%rax,4),%rdx", {"rax"}, {}, {"rdx"}, "", ""},
      {"xor    %eax,%eax", {}, {}, {"rax", "flags"}, "", ""},
      {"pxor   %xmm0,%xmm0", {}, {}, {"v0"}, "", ""},
      {"vaddsd %xmm2,%xmm1,%xmm0", {"v2", "v1"}, {}, {"v0"}, "", ""},
      {"vfmadd231sd %xmm2,%xmm1,%xmm0", {"v2", "v1", "v0"}, {}, {"v0"}, "", ""},
      {"cvtsi2sd %eax,%xmm0", {"rax", "v0"}, {}, {"v0"}, "", ""},
      {"movhpd 0x27100(%r8),%xmm2", {"v2"}, {"r8"}, {"v2"}, "0x27100(r8)", ""},
      {"cmovne %rdx,%rax", {"rdx", "rax", "flags"}, {}, {"rax"}, "", ""},
      {"mov    $0x1,%al", {"rax"}, {}, {"rax"}, "", ""},  // a byte merges into rax
      {"sete   %al", {"rax", "flags"}, {}, {"rax"}, "", ""},
      {"jne    13d8 <main+0x188>", {"flags"}, {}, {}, "", ""},
      {"prefetcht0 (%rax)", {}, {}, {}, "", ""},
      {"push   %rbx", {"rsp", "rbx"}, {}, {"rsp"}, "", ""},
      {"add    (%rdi),%ecx", {"rcx"}, {"rdi"}, {"rcx", "flags"}, "0x0(rdi)", ""},
      {"movdqa (%r14,%rax,1),%xmm1", {}, {"r14", "rax"}, {"v1"}, "0x0(r14,rax,1)", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Effects e = effects_of(instruction(c.text));
    EXPECT_EQ(e.reads, c.reads);
    EXPECT_EQ(e.address, c.address);
    EXPECT_EQ(e.writes, c.writes);
    EXPECT_EQ(e.load ? e.load->text() : "", c.load);
    EXPECT_EQ(e.store ? e.store->text() : "", c.store);
  }
  EXPECT_EQ(op_class(instruction("addsd  %xmm1,%xmm0")), OpClass::kFp64Add);
  EXPECT_EQ(op_class(instruction("vsubpd %ymm1,%ymm2,%ymm0")), OpClass::kFp64Add);
  EXPECT_EQ(op_class(instruction("mulsd  (%rcx),%xmm2")), OpClass::kFp64Mul);
  EXPECT_EQ(op_class(instruction("addl   $0x1,-0x8(%rbp)")), OpClass::kIntAdd);
  EXPECT_EQ(op_class(instruction("addss  %xmm1,%xmm0")), OpClass::kOther);
  EXPECT_EQ(op_class(instruction("imul   $0x2f,%eax,%ecx")), OpClass::kOther);
}

// A made-up program: main reads omp_get_wtime around GOMP_parallel, whose first argument is
// the outlined body holding the loop; a back jump without a cycle is no loop.
TEST(TimedKernel, FollowsAParallelRegionIntoItsOutlinedFunction) {
  const char* kGnu =
      "0000000000001000 <omp_get_wtime@plt>:\n"
      "    1000:\tjmp    *0x2fe2(%rip)        # 3fe8 <omp_get_wtime@OMP_1.0>\n"
      "0000000000001010 <GOMP_parallel@plt>:\n"
      "    1010:\tjmp    *0x2fda(%rip)        # 3ff0 <GOMP_parallel@GOMP_4.0>\n"
      "0000000000001100 <main>:\n"
      "    1100:\tcall   1000 <omp_get_wtime@plt>\n"
      "    1105:\tlea    0xf4(%rip),%rdi        # 1200 <main._omp_fn.0>\n"
      "    110c:\txor    %ecx,%ecx\n"
      "    110e:\tcall   1010 <GOMP_parallel@plt>\n"
      "    1113:\tcall   1000 <omp_get_wtime@plt>\n"
      "    1118:\tret\n"
      "0000000000001200 <main._omp_fn.0>:\n"
      "    1200:\txor    %eax,%eax\n"
      "    1202:\tmovsd  (%rdi,%rax,8),%xmm0\n"
      "    1207:\tadd    $0x1,%rax\n"
      "    120b:\tcmp    $0x10,%rax\n"
      "    120f:\tjne    1202 <main._omp_fn.0+0x2>\n"
      "    1211:\tje     1218 <main._omp_fn.0+0x18>\n"
      "    1213:\tret\n"
      "    1218:\txor    %eax,%eax\n"
      "    121a:\tjmp    1213 <main._omp_fn.0+0x13>\n";
  const TimedKernel k = find_timed_kernel(parse_objdump(kGnu));
  EXPECT_EQ(k.timer, "omp_get_wtime");
  EXPECT_EQ(k.function, "main");
  EXPECT_EQ(k.start, 0x1100u);
  EXPECT_EQ(k.end, 0x1113u);
  EXPECT_EQ(k.functions, (std::vector<std::string>{"main", "main._omp_fn.0"}));
  ASSERT_EQ(k.loops.size(), 1u);  // 121a -> 1213 leads nowhere back
  EXPECT_EQ(k.loops[0].function, "main._omp_fn.0");
  EXPECT_EQ(k.loops[0].header, 0x1202u);
  EXPECT_EQ(k.loops[0].latch, 0x120fu);
  EXPECT_EQ(k.loops[0].size(), 4u);
  EXPECT_EQ(k.kernel, std::vector<std::size_t>{0});

  // LLVM's runtime takes the outlined function as the third argument.
  std::string llvm = kGnu;
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"GOMP_parallel@plt", "__kmpc_fork_call@plt"},
           {"%rdi        # 1200", "%rdx        # 1200"},
           {"main._omp_fn.0", ".omp_outlined."}}) {
    for (std::size_t at = llvm.find(from); at != std::string::npos; at = llvm.find(from, at)) {
      llvm.replace(at, from.size(), to);
      at += to.size();
    }
  }
  const TimedKernel kl = find_timed_kernel(parse_objdump(llvm));
  EXPECT_EQ(kl.functions, (std::vector<std::string>{"main", ".omp_outlined."}));
  ASSERT_EQ(kl.loops.size(), 1u);
  EXPECT_EQ(kl.loops[0].function, ".omp_outlined.");
}

// Nested loops behind a reading through a small function of the program, a loop calling a
// function of the program with a loop of its own: depths, innermost loops, the kernel loops
// and the main one.
TEST(TimedKernel, DepthsAndTheKernelLoops) {
  const char* kListing =
      "0000000000001080 <clock_gettime@plt>:\n"
      "    1080:\tjmp    *0x2f7a(%rip)        # 4000 <clock_gettime@GLIBC_2.17>\n"
      "0000000000001100 <_ZN2ks8wall_nowEv>:\n"
      "    1100:\tsub    $0x18,%rsp\n"
      "    1104:\tcall   1080 <clock_gettime@plt>\n"
      "    1109:\tadd    $0x18,%rsp\n"
      "    110d:\tret\n"
      "0000000000001200 <helper>:\n"
      "    1200:\tmov    $0x0,%eax\n"
      "    1205:\tadd    $0x1,%eax\n"
      "    1208:\tcmp    $0x8,%eax\n"
      "    120b:\tjne    1205 <helper+0x5>\n"
      "    120d:\tret\n"
      "0000000000001300 <main>:\n"
      "    1300:\tcall   1080 <clock_gettime@plt>\n"  // not timed: before the pair
      "    1305:\tcall   1100 <_ZN2ks8wall_nowEv>\n"
      "    130a:\txor    %ecx,%ecx\n"
      "    130c:\txor    %eax,%eax\n"    // outer loop: 130c .. 1338
      "    130e:\taddsd  %xmm1,%xmm0\n"  // first inner loop: 130e .. 1316
      "    1312:\tadd    $0x1,%eax\n"
      "    1314:\tcmp    %eax,%edx\n"
      "    1316:\tjne    130e <main+0xe>\n"
      "    1318:\txor    %eax,%eax\n"
      "    131a:\tmulsd  %xmm1,%xmm2\n"  // second inner loop, larger: 131a .. 1326
      "    131e:\tmulsd  %xmm1,%xmm3\n"
      "    1322:\tadd    $0x1,%eax\n"
      "    1324:\tcmp    %eax,%edx\n"
      "    1326:\tjne    131a <main+0x1a>\n"
      "    1328:\tcall   1200 <helper>\n"
      "    132d:\tadd    $0x1,%ecx\n"
      "    1330:\tcmp    %ecx,%esi\n"
      "    1336:\tnop\n"
      "    1338:\tjne    130c <main+0xc>\n"
      "    133a:\tcall   1100 <_ZN2ks8wall_nowEv>\n"
      "    133f:\tret\n";
  const TimedKernel k = find_timed_kernel(parse_objdump(kListing));
  EXPECT_EQ(k.timer, "clock_gettime");
  EXPECT_EQ(k.start, 0x1305u);
  EXPECT_EQ(k.end, 0x133au);
  EXPECT_EQ(k.functions, (std::vector<std::string>{"main", "helper"}));
  struct Expected {
    const char* function;
    std::uint64_t header;
    int depth;
    bool innermost;
    bool calls;
  };
  const Expected expected[] = {
      {"main", 0x130c, 1, false, true},
      {"main", 0x130e, 2, true, false},
      {"main", 0x131a, 2, true, false},
      {"helper", 0x1205, 2, true, false},  // called from inside the outer loop
  };
  ASSERT_EQ(k.loops.size(), std::size(expected));
  for (std::size_t i = 0; i < k.loops.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(k.loops[i].function, expected[i].function);
    EXPECT_EQ(k.loops[i].header, expected[i].header);
    EXPECT_EQ(k.loops[i].depth, expected[i].depth);
    EXPECT_EQ(k.loops[i].innermost, expected[i].innermost);
    EXPECT_EQ(k.loops[i].calls, expected[i].calls);
  }
  EXPECT_EQ(k.loops[0].size(), 15u);                         // the nop does not count
  EXPECT_EQ(k.kernel, (std::vector<std::size_t>{3, 1, 2}));  // by address
  EXPECT_EQ(k.main, 2u);  // the larger of the two inner loops of main
}

TEST(TimedKernel, ProgramsWithoutAPairOfReadingsOrALoop) {
  EXPECT_THROW(find_timed_kernel(parse_objdump("0000000000001300 <main>:\n    1300:\tret\n")),
               LoopError);
  EXPECT_THROW(
      find_timed_kernel(parse_objdump("0000000000001080 <clock_gettime@plt>:\n    1080:\tret\n"
                                      "0000000000001300 <main>:\n"
                                      "    1300:\tcall   1080 <clock_gettime@plt>\n"
                                      "    1305:\tadd    $0x1,%eax\n"
                                      "    1308:\tcall   1080 <clock_gettime@plt>\n"
                                      "    130d:\tret\n")),
      LoopError);
}

// A clock reading instrumented by a sanitizer: a cold block after the return jumps back into
// the path it left, which is no loop; a wrapper whose jump back does close a cycle is no
// reading.
TEST(TimedKernel, AReadingWithAColdBlockJumpingBackIsStillOne) {
  const std::string plt =
      "0000000000001080 <clock_gettime@plt>:\n"
      "    1080:\tjmp    *0x2f7a(%rip)        # 4000 <clock_gettime@GLIBC_2.17>\n";
  const std::string main =
      "0000000000001300 <main>:\n"
      "    1300:\tcall   1100 <_ZN2ks8wall_nowEv>\n"
      "    1305:\tadd    $0x1,%eax\n"
      "    1308:\tcmp    %eax,%edx\n"
      "    130a:\tjne    1305 <main+0x5>\n"
      "    130c:\tcall   1100 <_ZN2ks8wall_nowEv>\n"
      "    1311:\tret\n";
  const std::string instrumented =
      "0000000000001100 <_ZN2ks8wall_nowEv>:\n"
      "    1100:\tmov    0x4be5(%rip),%eax\n"
      "    1106:\ttest   %eax,%eax\n"
      "    1108:\tjne    1120 <_ZN2ks8wall_nowEv+0x20>\n"
      "    110a:\tlea    -0x70(%rbp),%rbx\n"
      "    110e:\tcall   1080 <clock_gettime@plt>\n"
      "    1113:\tret\n"
      "    1120:\tcall   1090 <__asan_stack_malloc_1>\n"
      "    1125:\tjmp    110a <_ZN2ks8wall_nowEv+0xa>\n";
  const TimedKernel k = find_timed_kernel(parse_objdump(plt + instrumented + main));
  EXPECT_EQ(k.timer, "clock_gettime");
  EXPECT_EQ(k.start, 0x1300u);
  ASSERT_EQ(k.loops.size(), 1u);
  EXPECT_EQ(k.loops[0].header, 0x1305u);

  const std::string looping =
      "0000000000001100 <_ZN2ks8wall_nowEv>:\n"
      "    1100:\tcall   1080 <clock_gettime@plt>\n"
      "    1105:\tsub    $0x1,%ecx\n"
      "    1108:\tjne    1100 <_ZN2ks8wall_nowEv>\n"
      "    110a:\tret\n";
  EXPECT_THROW(find_timed_kernel(parse_objdump(plt + looping + main)), LoopError);
}

// Recorded listings of two suite programs: the kernel found, the llvm-mca input written for
// it (as recorded beside its report), and the report read back.
TEST(Recorded, KernelsInputsAndReports) {
  struct Case {
    const char* name;
    const char* timer;
    std::uint64_t header;
    std::size_t instructions;
    double block_throughput;
    double total_cycles;
    double first_latency;
  };
  const Case cases[] = {
      {"yupd-o0-gcc", "clock_gettime", 0x1535, 24, 4.666666666666667, 4690, 5},
      {"mprod-colwise-clang", "clock_gettime", 0x14e0, 11, 2, 2018, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TimedKernel k = find_timed_kernel(parse_objdump(data(std::string(c.name) + ".objdump")));
    EXPECT_EQ(k.timer, c.timer);
    EXPECT_EQ(k.function, "main");
    ASSERT_EQ(k.kernel.size(), 1u);
    const Loop& loop = k.loops[k.main];
    EXPECT_EQ(loop.header, c.header);
    EXPECT_EQ(loop.size(), c.instructions);
    std::vector<std::vector<Instruction>> bodies;
    for (const Loop& l : k.loops) {
      if (l.innermost) {
        bodies.push_back(l.body);
      }
    }
    const McaInput input = mca_input(bodies);
    EXPECT_EQ(input.text, data(std::string(c.name) + ".s"));
    EXPECT_EQ(input.owner.size(),
              static_cast<std::size_t>(std::count(input.text.begin(), input.text.end(), '\n')));

    const McaReport report = parse_mca_json(data(std::string(c.name) + ".mca.json"));
    EXPECT_EQ(report.cpu, "znver3");
    ASSERT_EQ(report.regions.size(), 2u);
    const McaRegion* region = report.find("loop0");
    ASSERT_NE(region, nullptr);
    EXPECT_EQ(region_loop(region->name), 0);
    EXPECT_EQ(region->instructions.size(), loop.body.size());
    EXPECT_DOUBLE_EQ(region->block_reciprocal_throughput, c.block_throughput);
    EXPECT_DOUBLE_EQ(region->total_cycles, c.total_cycles);
    EXPECT_DOUBLE_EQ(region->simulated_cycles(), c.total_cycles / 1000);
    EXPECT_EQ(region->instructions[0].latency, c.first_latency);
    EXPECT_TRUE(region->instructions[0].may_load);
    const McaRegion* loads = report.find(kReferenceRegion);
    ASSERT_NE(loads, nullptr);
    EXPECT_EQ(loads->instructions.size(), 6u);
  }
}

TEST(Mca, InputLabelsAndDroppedLines) {
  const Disassembly d = parse_objdump(
      "0000000000001000 <f>:\n"
      "    1000:\tmovsd  0x10003e63(%rip),%xmm2        # 10005120 <v2>\n"
      "    1008:\tcs nopw 0x0(%rax,%rax,1)\n"
      "    1012:\tnotrack jmp *%rax\n"
      "    1015:\tjae    1040 <f+0x40>\n"
      "    1017:\tcall   1080 <g>\n"
      "    101c:\tjne    1000 <f>\n");
  const std::vector<Instruction>& body = d.functions[0].instructions;
  const McaInput input = mca_input({body}, {{0, 2}});
  EXPECT_EQ(input.text,
            "# LLVM-MCA-BEGIN loop0\n"
            ".L1000:\n"
            "movsd 0x10003e63(%rip),%xmm2\n"
            "nop\n"
            "jae .L1040\n"
            "call .L1080\n"
            "jne .L1000\n"
            ".L1040:\n"
            ".L1080:\n"
            "# LLVM-MCA-END\n"
            "# LLVM-MCA-BEGIN loads\n"
            "movq (%rax), %rcx\n"
            "movsd (%rax), %xmm0\n"
            "addq (%rax), %rcx\n"
            "addq %rdx, %rcx\n"
            "addsd (%rax), %xmm0\n"
            "addsd %xmm1, %xmm0\n"
            "# LLVM-MCA-END\n");
  ASSERT_EQ(input.owner.size(), 18u);
  EXPECT_EQ(input.owner[2], std::make_pair(0, 0));
  EXPECT_EQ(input.owner[4], std::make_pair(0, 3));  // 2 is left out
  EXPECT_EQ(input.owner[1], std::make_pair(-1, -1));
}

TEST(Mca, ReportsThatAreNotOnes) {
  for (const char* text :
       {"", "[]", "{\"CodeRegions\": 3}", "{\"CodeRegions\": [{\"Name\": \"loop0\"}]}",
        "{\"CodeRegions\": [{\"Name\": \"loop0\", \"SummaryView\": "
        "{\"BlockRThroughput\": 1, \"Iterations\": 100, \"TotalCycles\": 100, "
        "\"DispatchWidth\": 4}, \"Instructions\": [\"nop\"], "
        "\"InstructionInfoView\": {\"InstructionList\": []}}]}"}) {
    EXPECT_THROW(parse_mca_json(text), LoopError) << text;
  }
  EXPECT_EQ(region_loop("loop12"), 12);
  EXPECT_EQ(region_loop("loads"), -1);
  EXPECT_EQ(region_loop("loop"), -1);
  EXPECT_EQ(region_loop("loop1x"), -1);
}

}  // namespace
