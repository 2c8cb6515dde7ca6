// The matrix-product programs, run as built: whole reports with only the time field matched by
// its format, every argument form, mprod-team under many teams and schedules (sane and not),
// and the heap programs' allocation paths provoked for real.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "matrix-product/matrix_product.h"
#include "tests/support/program_test.h"

namespace {

using ks::test::ExitedWith;
using ks::test::kTeamSizes;
using ks::test::MatchesPrintf;
using ks::test::run;

const std::vector<std::string> kHeapPrograms = {"mprod-heap", "mprod-team"};
const std::vector<std::string> kStaticPrograms = {"mprod-static", "mprod-unroll4", "mprod-colwise"};
const std::vector<std::string> kAllPrograms = {"mprod-heap", "mprod-team", "mprod-static",
                                               "mprod-unroll4", "mprod-colwise"};

std::string fixed(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%f", v);
  return buf;
}

// The expected report, built from the data rule independently of the programs: B and C rows
// read 1 ... N, and A[i][j] = (j + 1) * N * (N + 1) / 2, exact.
std::string expected_report(const std::string& program, std::uint32_t N) {
  const bool nine = program != "mprod-heap" && program != "mprod-team";
  std::string out = nine ? "Tiempo (seg): {%11.9f}\n" : "Tiempo (seg): {%f}\n";
  out += "\n__________\nResultados:\n";
  const std::uint64_t half_sum = static_cast<std::uint64_t>(N) * (N + 1ull) / 2;
  auto b = [](std::uint64_t j) { return static_cast<double>(j + 1); };
  auto a = [&](std::uint64_t j) { return static_cast<double>((j + 1) * half_sum); };
  auto section = [&](const char* name, auto value) {
    out += std::string("\nMatriz ") + name + ": \n";
    const char letter = name[0];
    if (N > 9) {
      const std::string last = std::to_string(N - 1);
      out += std::string(1, letter) + "[0][0]=" + fixed(value(0)) + " " + letter + "[" + last +
             "][" + last + "]=" + fixed(value(N - 1)) + "\n";
      return;
    }
    for (std::uint32_t i = 0; i < N; i++) {
      for (std::uint32_t j = 0; j < N; j++) {
        out += fixed(value(j)) + " ";
      }
      out += "\n";
    }
  };
  section("B", b);
  section("C", b);
  section("A=B*C", a);
  return out + "\n";
}

std::string nthreads_line(int threads) {
  return "Nthreads: " + std::to_string(threads) + "\n";
}

// What a program prints for N, mprod-team run with two threads.
std::string expected_output(const std::string& program, std::uint32_t N) {
  const std::string report = expected_report(program, N);
  return program == "mprod-team" ? nthreads_line(2) + report : report;
}

int threads_for(const std::string& program) {
  return program == "mprod-team" ? 2 : 0;
}

TEST(MatrixProduct, SpecimenReportsReadExactlyAsDocumented) {
  // Written out by hand, so that the expected-report builder is itself checked.
  const std::string two =
      "Tiempo (seg): {%f}\n\n__________\nResultados:\n\nMatriz B: \n"
      "1.000000 2.000000 \n1.000000 2.000000 \n\nMatriz C: \n"
      "1.000000 2.000000 \n1.000000 2.000000 \n\nMatriz A=B*C: \n"
      "3.000000 6.000000 \n3.000000 6.000000 \n\n";
  const std::string zero =
      "Tiempo (seg): {%11.9f}\n\n__________\nResultados:\n\nMatriz B: \n\nMatriz C: \n"
      "\nMatriz A=B*C: \n\n";
  const std::string ten =
      "Tiempo (seg): {%11.9f}\n\n__________\nResultados:\n\nMatriz B: \n"
      "B[0][0]=1.000000 B[9][9]=10.000000\n\nMatriz C: \nC[0][0]=1.000000 C[9][9]=10.000000\n"
      "\nMatriz A=B*C: \nA[0][0]=55.000000 A[9][9]=550.000000\n\n";
  const std::string nine_row_of_a =
      "45.000000 90.000000 135.000000 180.000000 225.000000 270.000000 315.000000 360.000000 "
      "405.000000 \n";
  EXPECT_EQ(expected_report("mprod-heap", 2), two);
  EXPECT_EQ(expected_report("mprod-static", 0), zero);
  EXPECT_EQ(expected_report("mprod-colwise", 10), ten);
  EXPECT_TRUE(expected_report("mprod-heap", 9).ends_with(nine_row_of_a + "\n"));
  EXPECT_TRUE(expected_report("mprod-team", 1000)
                  .ends_with("B[0][0]=1.000000 B[999][999]=1000.000000\n\nMatriz C: \n"
                             "C[0][0]=1.000000 C[999][999]=1000.000000\n\nMatriz A=B*C: \n"
                             "A[0][0]=500500.000000 A[999][999]=500500000.000000\n\n"));

  EXPECT_TRUE(MatchesPrintf(run("mprod-heap", {"2"}).out, two));
  EXPECT_TRUE(MatchesPrintf(run("mprod-team", {"2"}, 4).out, "Nthreads: 4\n" + two));
  EXPECT_TRUE(MatchesPrintf(run("mprod-unroll4", {"0"}).out, zero));
  EXPECT_TRUE(MatchesPrintf(run("mprod-static", {"10"}).out, ten));
}

TEST(MatrixProduct, ReportsFollowTheDataRuleForEveryArgumentForm) {
  struct Case {
    std::vector<std::string> args;
    std::uint32_t N;
  };
  const Case cases[] = {
      {{"0"}, 0},
      {{"abc"}, 0},
      {{"1"}, 1},
      {{"2"}, 2},
      {{"5"}, 5},
      {{"9"}, 9},
      {{"10"}, 10},
      {{"12abc"}, 12},
      {{"  +7"}, 7},
      {{"4294967296"}, 0},
      {{"4294967298"}, 2},   // only the low 32 bits count
      {{"-4294967295"}, 1},  // wraps to 1 as unsigned
      {{"3", "extra", "9"}, 3},
  };
  for (const auto& program : kAllPrograms) {
    for (const auto& c : cases) {
      SCOPED_TRACE(program + " " + c.args[0]);
      const ks::RunResult r = run(program, c.args, threads_for(program));
      EXPECT_TRUE(ExitedWith(r, 0));
      EXPECT_TRUE(MatchesPrintf(r.out, expected_output(program, c.N)));
      EXPECT_EQ(r.err, "");
    }
  }
}

// N = 1000, once per kernel: about a second each, so one test per program lets CTest run them
// side by side. AddressSanitizer makes every load of the kernel several times dearer, so an
// instrumented build takes the corner form at a smaller order.
constexpr std::uint32_t kCornerOrder = ks::test::kUnderAddressSanitizer ? 300 : 1000;

class CornerForm : public ::testing::TestWithParam<std::string> {};

TEST_P(CornerForm, AtALargeOrder) {
  const std::string& program = GetParam();
  const ks::RunResult r = run(program, {std::to_string(kCornerOrder)}, threads_for(program));
  EXPECT_TRUE(ExitedWith(r, 0));
  EXPECT_TRUE(MatchesPrintf(r.out, expected_output(program, kCornerOrder)));
}

INSTANTIATE_TEST_SUITE_P(MatrixProduct, CornerForm, ::testing::ValuesIn(kAllPrograms),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             c = c == '-' ? '_' : c;
                           }
                           return name;
                         });

TEST(StaticMatrices, EveryRemainderOfTheUnrolledLoopGivesTheSameMatrix) {
  // N = 1..3: only single steps; 4 and 8: only groups of four; 5..7: one to three left over.
  // Odd sizes above the full form check the corners after a remainder too.
  const std::uint32_t sizes[] = {1, 2, 3, 4, 5, 6, 7, 8, 11, 13, 14, 16};
  for (const auto& program : kStaticPrograms) {
    for (std::uint32_t N : sizes) {
      SCOPED_TRACE(program + " N=" + std::to_string(N));
      const ks::RunResult r = run(program, {std::to_string(N)});
      EXPECT_TRUE(ExitedWith(r, 0));
      EXPECT_TRUE(MatchesPrintf(r.out, expected_output(program, N)));
    }
  }
}

TEST(StaticMatrices, OrderIsCappedAsUnsignedAtTheCapacity) {
  // Orders near the cap take far too long to run here, so the cap is checked on the family's
  // command line.
  struct Case {
    const char* arg;
    std::uint32_t N;
  };
  const Case cases[] = {
      {"9999", 9999},
      {"10000", 10000},
      {"10001", 10000},
      {"20000", 10000},
      {"-1", 10000},
      {"-1000", 10000},
      {"-4294957295", 10000},  // 10001 as unsigned
      {"-4294957296", 10000},  // exactly 10000
      {"-4294967295", 1},
      {"4294967296", 0},
      {"4294977296", 10000},  // 2^32 + 10000
      {"x", 0},
  };
  for (const auto& c : cases) {
    std::string name = "mprod-static";
    std::string arg = c.arg;
    char* argv[] = {name.data(), arg.data(), nullptr};
    EXPECT_EQ(mprod::capped_order_from_command_line(2, argv), c.N) << c.arg;
  }
}

TEST(MprodTeam, ValuesDoNotDependOnTeamOrSchedule) {
  const std::optional<std::string> schedules[] = {
      std::nullopt, "static", "static,3", "dynamic", "dynamic,2", "guided", "guided,3",
  };
  const std::uint32_t sizes[] = {0, 2, 9, 37};
  for (int threads : kTeamSizes) {
    for (const auto& schedule : schedules) {
      for (std::uint32_t N : sizes) {
        SCOPED_TRACE("threads=" + std::to_string(threads) +
                     " OMP_SCHEDULE=" + schedule.value_or("(unset)") + " N=" + std::to_string(N));
        ks::RunOptions options;
        if (schedule) {
          options.env["OMP_SCHEDULE"] = *schedule;
        }
        const ks::RunResult r = run("mprod-team", {std::to_string(N)}, threads, options);
        EXPECT_TRUE(ExitedWith(r, 0));
        EXPECT_TRUE(
            MatchesPrintf(r.out, nthreads_line(threads) + expected_report("mprod-team", N)));
      }
    }
  }
}

TEST(MprodTeam, BadRuntimeSettingsStillGiveTheRightValues) {
  // Each must finish (the spawn helper's timeout turns a hang into a failure) with status 0,
  // the team it should have had and the right matrix, whatever the runtime. A malformed team
  // size gives the default team and one warning line; a run-time chunk below 1 is dropped with
  // one warning line. Other values the runtime reads itself, and may warn about in its words.
  const ks::RunResult baseline = run("mprod-team", {"0"});
  ASSERT_TRUE(ExitedWith(baseline, 0));
  ASSERT_EQ(baseline.err, "");
  const std::string default_team = ks::test::lines(baseline.out).at(0) + "\n";

  enum class Err { kEmpty, kOneWarning, kRuntimes };
  struct Case {
    std::string variable;  // set on top of OMP_NUM_THREADS=team
    std::string value;
    int team;
    std::string first_line;  // the Nthreads line expected
    Err err;
  };
  const Case cases[] = {
      {"OMP_SCHEDULE", "garbage", 3, nthreads_line(3), Err::kRuntimes},
      {"OMP_SCHEDULE", "dynamic,0", 3, nthreads_line(3), Err::kOneWarning},
      {"OMP_SCHEDULE", "dynamic,-1", 3, nthreads_line(3), Err::kOneWarning},
      {"OMP_SCHEDULE", "dynamic,-2147483648", 2, nthreads_line(2), Err::kOneWarning},
      {"OMP_SCHEDULE", "monotonic:dynamic,-3", 2, nthreads_line(2), Err::kOneWarning},
      {"OMP_SCHEDULE", "guided,-5", 3, nthreads_line(3), Err::kOneWarning},
      {"OMP_SCHEDULE", "static,-1", 3, nthreads_line(3), Err::kOneWarning},
      {"OMP_SCHEDULE", "static,2147483647", 3, nthreads_line(3), Err::kRuntimes},
      {"OMP_SCHEDULE", "dynamic,2147483647", 2, nthreads_line(2), Err::kRuntimes},
      // The largest chunk the driver offers: read silently by every runtime.
      {"OMP_SCHEDULE", "dynamic,2147483646", 2, nthreads_line(2), Err::kEmpty},
      {"OMP_SCHEDULE", "guided,7", 2, nthreads_line(2), Err::kEmpty},
      {"OMP_NUM_THREADS", "0", 0, default_team, Err::kOneWarning},
      {"OMP_NUM_THREADS", "abc", 0, default_team, Err::kOneWarning},
      {"OMP_NUM_THREADS", "-3", 0, default_team, Err::kOneWarning},
      {"OMP_NUM_THREADS", "", 0, default_team, Err::kOneWarning},
      {"OMP_NUM_THREADS", "2,x", 0, default_team, Err::kOneWarning},
      {"OMP_NUM_THREADS", "2147483648", 0, default_team, Err::kOneWarning},
      {"OMP_NUM_THREADS", "64", 0, nthreads_line(64), Err::kEmpty},
      {"OMP_NUM_THREADS", "3,2", 0, nthreads_line(3), Err::kEmpty},
  };
  for (const auto& c : cases) {
    for (std::uint32_t N : {9u, 50u}) {
      SCOPED_TRACE(c.variable + "=" + c.value + " N=" + std::to_string(N));
      ks::RunOptions options;
      options.timeout_seconds = 20;
      options.env[c.variable] = c.value;
      const ks::RunResult r = run("mprod-team", {std::to_string(N)}, c.team, options);
      EXPECT_TRUE(ExitedWith(r, 0));
      EXPECT_TRUE(MatchesPrintf(r.out, c.first_line + expected_report("mprod-team", N)));
      if (c.err == Err::kEmpty) {
        EXPECT_EQ(r.err, "");
      } else if (c.err == Err::kOneWarning) {
        EXPECT_TRUE(ks::test::WarnedOnceAbout(r, c.variable));
      }
    }
  }
}

TEST(MatrixProduct, MissingArgumentIsAUsageError) {
  for (const auto& program : kAllPrograms) {
    SCOPED_TRACE(program);
    const ks::RunResult r = run(program, {}, threads_for(program));
    EXPECT_TRUE(ExitedWith(r, 255));
    EXPECT_EQ(r.out, "[ERROR]-Debe insertar tamaño matriz\n");
    EXPECT_EQ(r.err, "");
  }
}

TEST(HeapMatrices, StorageThatCannotBeHadEndsWithItsMessageAndStatus254) {
  const std::string tables = "Error en la reserva de espacio para las matrices\n";
  const std::string rows = "Error en la reserva de espacio para los vectores\n";
  struct Case {
    std::string arg;
    std::optional<rlim_t> address_space;  // a real malloc failure under a limit, or none
    std::string message;
  };
  const Case cases[] = {
      // Under a 1 GiB address space: the table of A (800 MB) is granted, that of B is not.
      {"100000000", rlim_t{1} << 30, tables},
      // 80 KB rows: a few thousand are granted before one is refused.
      {"10000", rlim_t{1} << 30, rows},
      // More than the machine holds, refused before anything is touched: tables of 32 GiB ...
      {"-1", std::nullopt, tables},
      {"-1000", std::nullopt, tables},
      // ... or 240 GB of rows of 800 KB, refused at the first row instead of being killed in
      // the fill.
      {"100000", std::nullopt, rows},
  };
  for (const auto& program : kHeapPrograms) {
    for (const auto& c : cases) {
      SCOPED_TRACE(program + " " + c.arg);
      // ASan's shadow memory cannot live under an address-space limit.
      if (ks::test::kUnderAddressSanitizer && c.address_space) {
        continue;
      }
      ks::RunOptions options;
      options.address_space_limit = c.address_space;
      const ks::RunResult r = run(program, {c.arg}, 2, options);
      EXPECT_TRUE(ExitedWith(r, 254));
      EXPECT_EQ(r.out, c.message);  // no Nthreads line: the teams never start
      EXPECT_EQ(r.err, "");
    }
  }
}

TEST(MatrixProduct, AReportThatCannotBeWrittenFailsWithTheRunsOwnStatus) {
  // Status 1 where the run would otherwise succeed; a usage error and an allocation failure
  // keep their statuses. Each also says on standard error that its output was lost.
  struct Case {
    std::string program;
    std::vector<std::string> args;
    int status;
    std::optional<rlim_t> address_space = std::nullopt;
  };
  std::vector<Case> cases;
  for (const auto& program : kAllPrograms) {
    cases.push_back({program, {"20"}, 1});
    cases.push_back({program, {}, 255});
  }
  for (const auto& program : kHeapPrograms) {
    cases.push_back({program, {"-1"}, 254});                      // the tables
    cases.push_back({program, {"100000"}, 254});                  // the rows, planned
    cases.push_back({program, {"10000"}, 254, rlim_t{1} << 30});  // a row, for real
  }
  for (const auto mode : {ks::StdoutMode::kDevFull, ks::StdoutMode::kClosedPipe}) {
    const std::string cause =
        mode == ks::StdoutMode::kDevFull ? "No space left on device" : "Broken pipe";
    for (const auto& c : cases) {
      SCOPED_TRACE(c.program + " " + (c.args.empty() ? "(no argument)" : c.args[0]) + ": " + cause);
      if (c.address_space && ks::test::kUnderAddressSanitizer) {
        continue;  // ASan's shadow memory cannot live under an address-space limit
      }
      ks::RunOptions options;
      options.stdout_mode = mode;
      options.address_space_limit = c.address_space;
      const ks::RunResult r = run(c.program, c.args, threads_for(c.program), options);
      EXPECT_TRUE(ExitedWith(r, c.status));
      EXPECT_EQ(r.err, c.program + ": no se pudo escribir la salida estándar: " + cause + "\n");
    }
  }
}

}  // namespace
