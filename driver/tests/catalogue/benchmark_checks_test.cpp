// The benchmarks' output checks, fed the reports the programs are documented to print and
// reports that are wrong in one place each: every wrong one must be caught.
#include <gtest/gtest.h>

#include "driver/catalogue/catalogue.h"
#include "driver/tests/support/run_results.h"

namespace {

using ks::driver::find_program;
using ks::driver::RunSpec;

using ks::driver::test::exited;

ks::RunResult killed(int signal) {
  ks::RunResult r;
  r.started = true;
  r.term_signal = signal;
  return r;
}

ks::RunResult timed_out() {
  ks::RunResult r;
  r.started = true;
  r.timed_out = true;
  r.wall_seconds = 2;
  return r;
}

ks::driver::Check check(const std::string& program, const RunSpec& spec, const ks::RunResult& r) {
  const ks::driver::ProgramInfo* p = find_program(program);
  EXPECT_NE(p, nullptr) << program;
  return p == nullptr ? ks::driver::Check{} : p->check(spec, r);
}

RunSpec args(std::vector<std::string> a, int threads = 0) {
  return RunSpec{std::move(a), threads, "", "", ""};
}

// The documented reports, written out as the programs print them.
const char* const kTen =
    "Tiempo(seg.):0.000000321\t / Tamaño Vectores:10\t/ V1[0]+V2[0]=V3[0](1.000000+1.000000="
    "2.000000) / / V1[9]+V2[9]=V3[9](1.900000+0.100000=2.000000) /\n";
const char* const kCapped =
    "Tiempo(seg.):0.052000000\t / Tamaño Vectores:33554432\t/ V1[0]+V2[0]=V3[0](3355443.200000+"
    "3355443.200000=6710886.400000) / / V1[33554431]+V2[33554431]=V3[33554431](6710886.300000+"
    "0.100000=6710886.400000) /\n";
const char* const kThree =
    "Tiempo(seg.):0.000000150\t / Tamaño Vectores:3\n"
    "/ V1[0]+V2[0]=V3[0](0.300000+0.300000=0.600000) /\n"
    "/ V1[1]+V2[1]=V3[1](0.400000+0.200000=0.600000) /\n"
    "/ V1[2]+V2[2]=V3[2](0.500000+0.100000=0.600000) /\n";
const char* const kMatrixTwo =
    "Tiempo (seg): 0.000001\n\n__________\nResultados:\n\nMatriz B: \n1.000000 2.000000 \n"
    "1.000000 2.000000 \n\nMatriz C: \n1.000000 2.000000 \n1.000000 2.000000 \n\nMatriz A=B*C: "
    "\n3.000000 6.000000 \n3.000000 6.000000 \n\n";
const char* const kMatrixThousand =
    "Tiempo (seg): 1.234567\n\n__________\nResultados:\n\nMatriz B: \nB[0][0]=1.000000 "
    "B[999][999]=1000.000000\n\nMatriz C: \nC[0][0]=1.000000 C[999][999]=1000.000000\n\nMatriz "
    "A=B*C: \nA[0][0]=500500.000000 A[999][999]=500500000.000000\n\n";
const char* const kMatrixStaticCap =
    "Tiempo (seg): 1.500000000\n\n__________\nResultados:\n\nMatriz B: \nB[0][0]=1.000000 "
    "B[9999][9999]=10000.000000\n\nMatriz C: \nC[0][0]=1.000000 C[9999][9999]=10000.000000\n\n"
    "Matriz A=B*C: \nA[0][0]=50005000.000000 A[9999][9999]=500050000000.000000\n\n";
const char* const kRecordsFilled =
    "Tiempo (seg): 0.123456\n\n__________\nResultados:\n\nVector R: \nR[0]=24995000 "
    "R[39999]=-162502500\n";
const char* const kRecordsZero =
    "Tiempo (seg): 0.123456\n\n__________\nResultados:\n\nVector R: \nR[0]=0 R[39999]=-199995000\n";

std::string replace(std::string s, const std::string& from, const std::string& to) {
  const auto at = s.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? s : s.replace(at, from.size(), to);
}

TEST(BenchmarkChecks, DocumentedReportsAreValidAndTheirTimesRead) {
  struct Case {
    const char* program;
    RunSpec spec;
    std::string out;
    double time;
  };
  const Case cases[] = {
      {"plus-static", args({"10"}), kTen, 0.000000321},
      {"plus-parloop", args({"10"}, 2), kTen, 0.000000321},
      {"plus-quarters", args({"4294967306"}, 4), kTen, 0.000000321},  // low 32 bits: 10
      {"plus-static", args({"3"}), kThree, 0.00000015},
      {"plus-static", args({"-1"}), kCapped, 0.052},
      {"plus-parloop", args({"33554433"}, 2), kCapped, 0.052},
      {"plus-heap", args({"10"}),
       replace(replace(std::string("Tamanio Vectores:10 (4 B)\n") + kTen, "Tiempo(seg.)", "Tiempo"),
               "Tamaño", "Tamanio"),
       0.000000321},
      {"mprod-heap", args({"2"}), kMatrixTwo, 0.000001},
      {"mprod-heap", args({"1000"}), kMatrixThousand, 1.234567},
      {"mprod-team", args({"2"}, 4), std::string("Nthreads: 4\n") + kMatrixTwo, 0.000001},
      {"mprod-static", args({"20000"}), kMatrixStaticCap, 1.5},
      {"mprod-unroll4", args({"-1"}), kMatrixStaticCap, 1.5},
      {"mprod-colwise", args({"10000"}), kMatrixStaticCap, 1.5},
      {"yupd-o0", args({"8"}), "Tiempo(seg): 0.000001\ny[0]=0, y[N-1]=336 \n", 0.000001},
      {"yupd-o3", args({"1000000"}), "Tiempo(seg): 0.000400\ny[0]=0, y[N-1]=47999952 \n", 0.0004},
      // 48 * 49999999 wraps modulo 2^32.
      {"yupd-os", args({"50000000"}), "Tiempo(seg): 0.020000\ny[0]=0, y[N-1]=-1894967344 \n", 0.02},
      {"yupd-o1", args({"1"}), "Tiempo(seg): 0.000000\ny[0]=0, y[N-1]=0 \n", 0},
      {"recmin-base", args({}), kRecordsFilled, 0.123456},
      {"recmin-fused", args({"ignored"}), kRecordsFilled, 0.123456},
      {"recmin-unroll4", args({}), kRecordsZero, 0.123456},
  };
  for (const Case& c : cases) {
    const ks::driver::Check k = check(c.program, c.spec, exited(c.out));
    EXPECT_TRUE(k.valid) << c.program << ": " << k.why;
    ASSERT_TRUE(k.printed_seconds.has_value()) << c.program;
    EXPECT_DOUBLE_EQ(*k.printed_seconds, c.time) << c.program;
  }
}

TEST(BenchmarkChecks, WrongReportsAndBadEndingsAreInvalid) {
  struct Case {
    const char* program;
    RunSpec spec;
    ks::RunResult result;
    const char* why_part;
  };
  const Case cases[] = {
      {"plus-static", args({"10"}), exited(replace(kTen, "=2.000000) /\n", "=2.100000) /\n")),
       "line 1"},
      {"plus-static", args({"11"}), exited(kTen), "line 1"},  // the size it printed is not 11
      {"plus-static", args({"10"}), exited(replace(kTen, "0.000000321", "0.00000032")), "%11.9f"},
      {"plus-static", args({"3"}),
       exited(replace(kThree, "(0.500000+0.100000=0.600000)", "(0.500000+0.100000=0.700000)")),
       "line 4"},
      {"plus-static", args({"3"}),
       exited(replace(kThree, "/ V1[2]+V2[2]=V3[2](0.500000+0.100000=0.600000) /\n", "")),
       "ends early"},
      {"plus-parloop", args({"-1"}, 2), exited(replace(kCapped, "33554432\t", "33554433\t")),
       "line 1"},
      {"plus-static", args({"10"}), exited(kTen, 0, "aviso\n"), "standard error"},
      {"plus-static", args({"10"}), exited(kTen, 3), "exit 3"},
      {"plus-static", args({"10"}), killed(11), "signal 11"},
      {"plus-static", args({"10"}), timed_out(), "timed out"},
      {"mprod-heap", args({"2"}),
       exited(replace(kMatrixTwo, "3.000000 6.000000 \n\n", "3.000000 6.500000 \n\n")), "line 16"},
      {"mprod-heap", args({"1000"}),
       exited(replace(kMatrixThousand, "A[999][999]=500500000.000000",
                      "A[999][999]=500499999.000000")),
       "line 13"},
      {"mprod-team", args({"2"}, 4), exited(std::string("Nthreads: 3\n") + kMatrixTwo), "line 1"},
      {"mprod-team", args({"2"}, 4), exited(kMatrixTwo), "line 1"},
      {"mprod-static", args({"2"}), exited(kMatrixTwo), "%11.9f"},  // six decimals, not nine
      {"yupd-o2", args({"8"}), exited("Tiempo(seg): 0.000001\ny[0]=0, y[N-1]=335 \n"), "line 2"},
      {"yupd-o2", args({"8"}), exited("Tiempo(seg): 0.000001\ny[0]=0, y[N-1]=336\n"), "line 2"},
      {"yupd-o2", args({"0"}), exited("Tiempo(seg): 0.000001\ny[0]=0, y[N-1]=0 \n"), "below 1"},
      {"recmin-unroll4", args({}), exited(kRecordsFilled), "line 7"},
      {"recmin-base", args({}), exited(kRecordsZero), "line 7"},
  };
  for (const Case& c : cases) {
    const ks::driver::Check k = check(c.program, c.spec, c.result);
    EXPECT_FALSE(k.valid) << c.program;
    EXPECT_NE(k.why.find(c.why_part), std::string::npos) << c.program << ": " << k.why;
  }
}

TEST(BenchmarkChecks, MissingArgumentsMustTakeTheUsagePath) {
  struct Case {
    const char* program;
    ks::RunResult result;
    bool valid;
  };
  const Case cases[] = {
      {"plus-static", exited("Faltan nº componentes del vector\n", 255), true},
      {"plus-heap", exited("Faltan numero componentes del vector\n", 255), true},
      {"plus-heap", exited("Faltan nº componentes del vector\n", 255), false},
      {"mprod-static", exited("[ERROR]-Debe insertar tamaño matriz\n", 255), true},
      {"mprod-static", exited("[ERROR]-Debe insertar tamaño matriz\n", 0), false},
      {"yupd-o0", exited("", 255, "Falta num\n"), true},
      {"yupd-o0", exited("Falta num\n", 255), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(check(c.program, args({}), c.result).valid, c.valid) << c.program;
  }
}

}  // namespace
