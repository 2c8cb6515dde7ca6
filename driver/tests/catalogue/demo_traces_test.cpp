// The demonstrations' traces held against their work-sharing rules: documented
// assignments pass in any interleaving, and each kind of fault is named.
#include <gtest/gtest.h>

#include <fmt/format.h>
#include <algorithm>

#include "driver/catalogue/catalogue.h"
#include "driver/catalogue/demo_traces.h"
#include "driver/catalogue/rules.h"
#include "driver/tests/support/run_results.h"

namespace {

using ks::driver::Assignment;

using ks::driver::test::exited;

ks::driver::Trace trace(const char* program, std::vector<std::string> args, int threads,
                        const std::string& out, int status = 0, const std::string& err = "") {
  const ks::driver::ProgramInfo* p = ks::driver::find_program(program);
  EXPECT_NE(p, nullptr);
  return p->trace(ks::driver::RunSpec{std::move(args), threads, "", "", ""},
                  exited(out, status, err));
}

// Lines of a first/last-private loop, one thread's lines after another's, as the program
// prints them: " thread t suma a[i] suma=s \n" with running sums from 0.
std::string carry_lines(const Assignment& a, bool with_element, std::vector<int> order) {
  std::string out;
  for (int t : order) {
    long long sum = 0;
    for (long long i : a[static_cast<std::size_t>(t)]) {
      sum += i;
      out += with_element ? fmt::format(" thread {} suma a[{}]={} suma={} \n", t, i, i, sum)
                          : fmt::format(" thread {} suma a[{}] suma={} \n", t, i, sum);
    }
  }
  return out;
}

TEST(DemonstrationTraces, DocumentedRunsFollowTheirRules) {
  struct Case {
    const char* program;
    std::vector<std::string> args;
    int threads;
    std::string out;
  };
  const Case cases[] = {
      {"greet-team", {}, 1, "(0:!Hello!)(0:!world!)"},
      {"greet-team", {}, 2, "(1:!Hello!)(0:!Hello!)(0:!world!)(1:!world!)"},
      {"iter-owner",
       {"5"},
       2,
       "thread 1 ejecuta la iteración 3 del bucle\nthread 0 ejecuta la iteración 0 del bucle\n"
       "thread 1 ejecuta la iteración 4 del bucle\nthread 0 ejecuta la iteración 1 del bucle\n"
       "thread 0 ejecuta la iteración 2 del bucle\n"},
      {"iter-owner", {"-5"}, 3, ""},
      {"inplace-add",
       {},
       4,
       "Después de parallel for:\na[0] = 1\na[1] = 3\na[2] = 5\na[3] = 7\na[4] = 9\na[5] = "
       "11\na[6] = 13\n"},
      {"own-copy",
       {},
       1,
       "thread 0 suma a[0] / thread 0 suma a[1] / thread 0 suma a[2] / thread 0 suma a[3] / "
       "thread 0 suma a[4] / thread 0 suma a[5] / thread 0 suma a[6] / \n* thread 0 suma= "
       "28Valor de suma fuera de parallel = 0\n"},
      {"own-copy-outer",
       {},
       2,
       "thread 1 suma a[4] / thread 0 suma a[0] / thread 0 suma a[1] / thread 1 suma a[5] / "
       "thread 0 suma a[2] / thread 1 suma a[6] / thread 0 suma a[3] / \n* thread 1 suma= 22\n* "
       "thread 0 suma= 13\nValor de suma fuera de parallel = 122\n"},
      {"common-sum",
       {},
       2,
       "thread 0 suma a[0] / thread 1 suma a[4] / thread 0 suma a[1] / thread 1 suma a[5] / "
       "thread 0 suma a[2] / thread 1 suma a[6] / thread 0 suma a[3] / \n* thread 0 suma= 18\n* "
       "thread 1 suma= 18\nValor de suma fuera de parallel = 18\n"},
      {"carry-inout",
       {},
       2,
       carry_lines(ks::driver::static_block(7, 2), false, {1, 0}) +
           "\nFuera de la construcción parallel suma=15\n"},
      {"chunk-static",
       {"2"},
       2,
       carry_lines(ks::driver::cyclic_chunks(16, 2, 2), false, {0, 1}) +
           "Fuera de 'parallel for' suma=68\n"},
      {"chunk-static",
       {"2147483647"},
       4,
       carry_lines(ks::driver::cyclic_chunks(16, 16, 4), false, {0}) +
           "Fuera de 'parallel for' suma=120\n"},
      {"chunk-static", {"0"}, 2, ""},  // refused: see the status below
      {"chunk-dynamic",
       {"10", "3"},
       2,
       carry_lines({{3, 4, 5, 9}, {0, 1, 2, 6, 7, 8}}, true, {0, 1}) +
           "Fuera de 'parallel for' suma=21\n"},
      {"chunk-dynamic", {"-3", "2"}, 2, "Fuera de 'parallel for' suma=0\n"},
      {"chunk-guided",
       {"500", "2"},
       2,  // capped at 20
       carry_lines({{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 17}, {10, 11, 12, 13, 14, 15, 18, 19}}, true,
                   {1, 0}) +
           "Fuera de 'parallel for' suma=112\n"},
  };
  for (const Case& c : cases) {
    const bool refused = std::string(c.program) == "chunk-static" && c.args[0] == "0";
    const ks::driver::Trace t =
        refused ? trace(c.program, c.args, c.threads, "", 255, "\nFalta chunk \n")
                : trace(c.program, c.args, c.threads, c.out);
    EXPECT_TRUE(t.problems.empty()) << c.program << ": " << t.problems.front();
    EXPECT_EQ(t.refused, refused) << c.program;
  }
}

TEST(DemonstrationTraces, FaultsAreNamed) {
  struct Case {
    const char* program;
    std::vector<std::string> args;
    int threads;
    std::string out;
    const char* problem;
  };
  const Case cases[] = {
      {"greet-team", {}, 2, "(0:!Hello!)(0:!world!)(1:!Hello!)(1:!world!)", "second region"},
      {"greet-team", {}, 2, "(0:!Hello!)(0:!world!)", "thread 1 greets 0 times"},
      {"greet-team", {}, 2, "(0:!Hello!)(2:!Hello!)(0:!world!)(1:!world!)", "thread 2 reported"},
      {"iter-owner",
       {"5"},
       2,
       "thread 0 ejecuta la iteración 0 del bucle\nthread 0 ejecuta la iteración 1 del bucle\n"
       "thread 1 ejecuta la iteración 2 del bucle\nthread 1 ejecuta la iteración 3 del bucle\n"
       "thread 1 ejecuta la iteración 4 del bucle\n",
       "static block partition gives it 0,1,2"},
      {"iter-owner",
       {"3"},
       1,
       "thread 0 ejecuta la iteración 0 del bucle\nthread 0 ejecuta la iteración 2 del bucle\n",
       "never run: 1"},
      {"iter-owner", {"3"}, 1, "thread 0 ejecuta la iteracion 0 del bucle\n", "unexpected text"},
      {"inplace-add",
       {},
       2,
       "Después de parallel for:\na[0] = 1\na[1] = 3\na[2] = 5\na[3] = 8\na[4] = 9\na[5] = "
       "11\na[6] = 13\n",
       "line 5"},
      {"own-copy",
       {},
       1,
       "thread 0 suma a[0] / thread 0 suma a[1] / thread 0 suma a[2] / thread 0 suma a[3] / "
       "thread 0 suma a[4] / thread 0 suma a[5] / thread 0 suma a[6] / \n* thread 0 suma= "
       "21Valor de suma fuera de parallel = 0\n",
       "private sum is 28"},
      {"own-copy-outer",
       {},
       1,
       "thread 0 suma a[0] / thread 0 suma a[1] / thread 0 suma a[2] / thread 0 suma a[3] / "
       "thread 0 suma a[4] / thread 0 suma a[5] / thread 0 suma a[6] / \n* thread 0 suma= "
       "28\nValor de suma fuera de parallel = 28\n",
       "must stay 122"},
      {"own-copy",
       {},
       2,
       "thread 0 suma a[0] / thread 0 suma a[1] / thread 0 suma a[2] / thread 0 suma a[3] / "
       "\n* thread 0 suma= 13thread 1 suma a[4] / thread 1 suma a[5] / thread 1 suma a[6] / \n* "
       "thread 1 suma= 22Valor de suma fuera de parallel = 0\n",
       "after the loop's barrier"},
      {"common-sum",
       {},
       2,
       "thread 0 suma a[0] / thread 1 suma a[4] / thread 0 suma a[1] / thread 1 suma a[5] / "
       "thread 0 suma a[2] / thread 1 suma a[6] / thread 0 suma a[3] / \n* thread 0 suma= 18\n* "
       "thread 1 suma= 15\nValor de suma fuera de parallel = 18\n",
       "must read the same"},
      {"common-sum",
       {},
       1,
       "thread 0 suma a[0] / thread 0 suma a[1] / thread 0 suma a[2] / thread 0 suma a[3] / "
       "thread 0 suma a[4] / thread 0 suma a[5] / thread 0 suma a[6] / \n* thread 0 suma= "
       "122\nValor de suma fuera de parallel = 122\n",
       "not a sum of elements"},
      {"carry-inout",
       {},
       2,
       carry_lines(ks::driver::static_block(7, 2), false, {0, 1}) +
           "\nFuera de la construcción parallel suma=6\n",
       "ended at 15"},
      {"carry-inout",
       {},
       2,
       "\nFuera de la construcción parallel suma=15\n" +
           carry_lines(ks::driver::static_block(7, 2), false, {0, 1}),
       "not the last one"},
      {"chunk-static",
       {"3"},
       4,
       carry_lines(ks::driver::cyclic_chunks(16, 2, 4), false, {0, 1, 2, 3}) +
           "Fuera de 'parallel for' suma=42\n",
       "cyclic chunk assignment"},
      {"chunk-static",
       {"2"},
       2,
       " thread 0 suma a[0] suma=0 \n thread 0 suma a[1] suma=2 \n" +
           carry_lines({{}, {2, 3, 6, 7, 10, 11, 14, 15}}, false, {1}) +
           " thread 0 suma a[4] suma=6 \n thread 0 suma a[5] suma=11 \n thread 0 suma a[8] "
           "suma=19 \n thread 0 suma a[9] suma=28 \n thread 0 suma a[12] suma=40 \n thread 0 "
           "suma a[13] suma=53 \nFuera de 'parallel for' suma=68\n",
       "running sum is 1"},
      {"chunk-dynamic",
       {"10", "3"},
       2,
       carry_lines({{3, 4, 9}, {0, 1, 2, 5, 6, 7, 8}}, true, {0, 1}) +
           "Fuera de 'parallel for' suma=16\n",
       "split among 2 threads"},
      {"chunk-dynamic",
       {"4", "2"},
       2,
       carry_lines({{2, 3, 0, 1}, {}}, true, {0}) + "Fuera de 'parallel for' suma=6\n",
       "out of order"},
      {"chunk-dynamic",
       {"4", "2"},
       1,
       " thread 0 suma a[0]=0 suma=0 \n thread 0 suma a[1]=7 suma=1 \n thread 0 suma a[2]=2 "
       "suma=3 \n thread 0 suma a[3]=3 suma=6 \nFuera de 'parallel for' suma=6\n",
       "a[1] is printed as 7"},
      {"chunk-guided",
       {"20", "4"},
       2,
       carry_lines({{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 13, 14, 15, 16, 17, 18, 19}, {10, 11}}, true,
                   {0, 1}) +
           "Fuera de 'parallel for' suma=169\n",
       "below the chunk size 4"},
      {"chunk-guided", {"3"}, 2, "", "usage message"},  // one argument: must be refused
  };
  for (const Case& c : cases) {
    const ks::driver::Trace t = trace(c.program, c.args, c.threads, c.out);
    ASSERT_FALSE(t.problems.empty()) << c.program << " " << c.problem;
    std::string all;
    for (const std::string& p : t.problems) {
      all += p + " | ";
    }
    EXPECT_NE(all.find(c.problem), std::string::npos) << c.program << ": " << all;
    EXPECT_FALSE(ks::driver::check_from_trace(t).valid);
  }
}

TEST(DemonstrationTraces, ChunksBelowOneMayBeRefusedOrRunAsOne) {
  const std::string as_one = carry_lines(ks::driver::cyclic_chunks(16, 1, 2), false, {0, 1}) +
                             "Fuera de 'parallel for' suma=64\n";
  EXPECT_TRUE(trace("chunk-static", {"0"}, 2, as_one).problems.empty());
  EXPECT_TRUE(trace("chunk-static", {"-4"}, 2, "", 255, "\nFalta chunk \n").problems.empty());
  // Refusing with another message, or with output, is not the usage path.
  EXPECT_FALSE(trace("chunk-static", {"0"}, 2, "", 255, "chunk malo\n").problems.empty());
  EXPECT_FALSE(trace("chunk-dynamic", {"5", "0"}, 2, "x", 255, "\nFalta iteraciones o chunk \n")
                   .problems.empty());
}

}  // namespace
