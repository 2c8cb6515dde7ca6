// The catalogue against the build it describes, and its cost models.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>

#include "driver/base/build_info.h"
#include "driver/catalogue/catalogue.h"
#include "tests/support/program_test.h"

namespace {

using ks::driver::find_program;

// The optimisation level the build gave a program: the last -O option of its target.
std::string level_of(std::string_view options) {
  std::string level;
  for (std::size_t at = options.find("-O"); at != std::string_view::npos;
       at = options.find("-O", at + 1)) {
    level = std::string(options.substr(at + 1, options.find(' ', at) - at - 1));
  }
  return level;
}

TEST(Catalogue, HoldsEveryProgramOnceWithWhatTheDriverNeeds) {
  std::set<std::string> names;
  for (const ks::driver::ProgramInfo& p : ks::driver::catalogue()) {
    EXPECT_TRUE(names.insert(std::string(p.name)).second) << p.name;
    EXPECT_NE(p.check, nullptr) << p.name;
    if (p.kind == ks::driver::Kind::kBenchmark) {
      EXPECT_FALSE(p.time_line.empty()) << p.name;
      EXPECT_GT(p.ops(1000), 0) << p.name;
      EXPECT_NE(find_program(p.baseline), nullptr) << p.name << " baseline " << p.baseline;
    } else {
      EXPECT_NE(p.trace, nullptr) << p.name;
      EXPECT_TRUE(p.openmp) << p.name;
    }
  }
  EXPECT_EQ(find_program("plus-nothing"), nullptr);
}

TEST(Catalogue, DescribesExactlyTheProgramsThisBuildMakesAndHowItMadeThem) {
  const auto built = ks::driver::built_programs();
  ASSERT_FALSE(built.empty()) << "the build recorded no program";
  for (const ks::driver::BuiltProgram& b : built) {
    const ks::driver::ProgramInfo* p = find_program(b.name);
    ASSERT_NE(p, nullptr) << b.name << " is built but not in the catalogue";
    EXPECT_EQ(level_of(b.options), p->opt) << b.name << " is built with " << b.options;
    // mprod-heap links the OpenMP runtime for its timer alone: no team size matters to it.
    EXPECT_EQ(b.openmp, p->openmp || p->name == "mprod-heap") << b.name;
  }
  const auto families = ks::driver::build_families();
  for (const ks::driver::ProgramInfo& p : ks::driver::catalogue()) {
    if (std::find(families.begin(), families.end(), p.family) == families.end()) {
      continue;  // a build restricted to other folders
    }
    EXPECT_TRUE(std::any_of(built.begin(), built.end(),
                            [&](const ks::driver::BuiltProgram& b) { return b.name == p.name; }))
        << p.name << " is in the catalogue but the build does not make it";
  }
}

TEST(Catalogue, CostModelsAndCaps) {
  struct Case {
    const char* program;
    std::uint64_t requested;
    std::uint64_t effective;
    double bytes;
    double ops;
  };
  const Case cases[] = {
      {"plus-static", 1000, 1000, 24000, 1000},
      {"plus-static", 4294967295u, 33554432, 24.0 * 33554432, 33554432},
      {"plus-heap", 40000000, 40000000, 24.0 * 40000000, 40000000},
      {"mprod-heap", 1000, 1000, 24e6, 2e9},
      {"mprod-colwise", 20000, 10000, 24e8, 2e12},
      {"yupd-o3", 1000000, 1000000, 12e6, 2e6},
      {"chunk-dynamic", 500, 200, 0, 0},
      {"chunk-guided", 21, 20, 0, 0},
  };
  for (const Case& c : cases) {
    const ks::driver::ProgramInfo& p = *find_program(c.program);
    const std::uint64_t eff = ks::driver::effective_size(p, c.requested);
    EXPECT_EQ(eff, c.effective) << c.program;
    EXPECT_DOUBLE_EQ(p.bytes(static_cast<double>(eff)), c.bytes) << c.program;
    EXPECT_DOUBLE_EQ(p.ops(static_cast<double>(eff)), c.ops) << c.program;
  }
  // The record kernels do a fixed amount of work: 40000 steps over 5000 records.
  EXPECT_DOUBLE_EQ(find_program("recmin-fused")->ops(0), 1.2e9);
  EXPECT_DOUBLE_EQ(find_program("recmin-base")->bytes(0),
                   2 * find_program("recmin-fused")->bytes(0));
}

TEST(Catalogue, CostModelsReadAsTheyCount) {
  struct Case {
    const char* program;
    const char* text;
  };
  const Case cases[] = {
      {"plus-heap", "24N B, N flop"},
      {"mprod-static", "24N^2 B, 2N^3 flop"},
      {"yupd-os", "12N B, 2N int op"},
      {"recmin-base", "3.2e9 B (s read twice per step), 1.2e9 int op"},
      {"recmin-fused", "1.6e9 B (s read once per step), 1.2e9 int op"},
      {"chunk-guided", "none"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ks::driver::cost_text(*find_program(c.program)), c.text) << c.program;
  }
}

TEST(Catalogue, EachTimedIntervalInOneStatement) {
  struct Case {
    const char* program;
    const char* text;
  };
  const Case cases[] = {
      {"plus-heap", "reads 16N B (v1, v2), writes 8N B (v3), N flop; first touch of v3 (8N B)"},
      {"plus-quarters",
       "reads 16N B (v1, v2), writes 8N B (v3), N flop; first touch of v3 (8N B); 1 parallel "
       "region of 4 sections"},
      {"mprod-colwise",
       "reads 16N^2 B (B, C), writes 8N^2 B (A), 2N^3 flop; first touch of A (N rows of 8N B, "
       "80000 B apart)"},
      {"mprod-heap",
       "reads 16N^2 B (B, C), writes 8N^2 B (A), 2N^3 flop; first touch of the pages inside A's "
       "N heap rows of 8N B"},
      {"mprod-team",
       "reads 16N^2 B (B, C), writes 8N^2 B (A), 2N^3 flop; 2 barriers; N rows shared out by "
       "the run-time schedule"},
      {"yupd-o1", "reads 8N B (x, y), writes 4N B (y), 2N int op"},
      {"recmin-unroll4", "reads 3.2e9 B (s), 1.2e9 int op; first touch of R (160000 B)"},
      {"greet-team", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ks::driver::interval_text(*find_program(c.program)), c.text) << c.program;
  }
  // Which ceiling bounds each family.
  EXPECT_EQ(find_program("mprod-unroll4")->interval.bound, ks::driver::Bound::kCompute);
  EXPECT_EQ(find_program("recmin-fused")->interval.bound, ks::driver::Bound::kMemory);
  EXPECT_TRUE(find_program("yupd-os")->interval.integer);
}

// The printed precision comes from the catalogue's time line; the programs must print that many
// decimals, or times would be marked below resolution wrongly.
TEST(Catalogue, PrintedStepsAreWhatTheProgramsPrint) {
  struct Case {
    const char* program;
    std::optional<double> step;
  };
  const Case cases[] = {
      {"plus-static", 1e-9},  {"plus-heap", 1e-9},
      {"plus-parloop", 1e-9}, {"mprod-heap", 1e-6},
      {"mprod-team", 1e-6},   {"mprod-static", 1e-9},
      {"yupd-o0", 1e-6},      {"yupd-os", 1e-6},
      {"recmin-fused", 1e-6}, {"greet-team", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    const ks::driver::ProgramInfo& p = *find_program(c.program);
    const std::optional<double> step = ks::driver::printed_step(p);
    ASSERT_EQ(step.has_value(), c.step.has_value());
    if (!c.step) {
      continue;
    }
    EXPECT_DOUBLE_EQ(*step, *c.step);
    const std::string path = ks::test::program_path(c.program);
    if (access(path.c_str(), X_OK) != 0 || p.arg == ks::driver::ArgKind::kNone) {
      continue;  // not in this build, or a fixed amount of work too long for a unit test
    }
    ks::RunOptions options;
    options.args = {"4"};
    const ks::RunResult r = ks::run_program(path, options);
    const auto at = r.out.find("Tiempo");
    ASSERT_NE(at, std::string::npos) << r.out;
    const auto dot = r.out.find('.', r.out.find_first_of("0123456789", at));
    const auto end = r.out.find_first_not_of("0123456789", dot + 1);
    EXPECT_EQ(static_cast<int>(end - dot - 1), static_cast<int>(std::lround(-std::log10(*step))))
        << r.out;
  }
}

// Every benchmark's loop nest: the source's iterations (a term of a sum, an element, a record
// in a step) at a size, its streams well formed, and every array its timed interval names
// among them.
TEST(Catalogue, LoopNestsRunTheSourcesIterations) {
  const double n = 100;
  struct Case {
    const char* program;
    double iterations;     // innermost iterations of every pass together
    double per_iteration;  // the source's iterations in one of them
  };
  const Case cases[] = {
      {"plus-static", n, 1},
      {"plus-heap", n, 1},
      {"plus-parloop", n, 1},
      {"plus-quarters", n, 1},
      {"mprod-heap", n * n * n, 1},
      {"mprod-team", n * n * n, 1},
      {"mprod-static", n * n * n, 1},
      {"mprod-colwise", n * n * n, 1},
      {"mprod-unroll4", n * n * n / 4, 4},
      {"yupd-o0", n, 1},
      {"yupd-o3", n, 1},
      {"recmin-base", 2 * 40000.0 * 5000, 1},
      {"recmin-fused", 40000.0 * 5000, 1},
      {"recmin-unroll4", 2 * 40000.0 * 1250, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    const ks::driver::ProgramInfo* p = find_program(c.program);
    ASSERT_NE(p, nullptr);
    ASSERT_NE(p->nest, nullptr);
    const ks::driver::KernelNest nest = p->nest(n);
    double iterations = nest.passes;
    for (const auto& loop : nest.loops) {
      iterations *= loop.trips;
    }
    EXPECT_EQ(iterations, c.iterations);
    // The step of the nearest stream is the source's iterations per nest iteration.
    double nearest = 0;
    for (const auto& stream : nest.streams) {
      // A stream made at an outer loop (a sum stored once per j) steps with the loops to it.
      EXPECT_EQ(stream.steps.size(),
                stream.loop < 0 ? nest.loops.size() : static_cast<std::size_t>(stream.loop) + 1)
          << stream.array;
      EXPECT_GT(stream.element_bytes, 0) << stream.array;
      const double inner = stream.loop < 0 ? stream.steps.back() : 0;
      if (inner > 0 && (nearest == 0 || inner * stream.element_bytes < nearest)) {
        nearest = inner * stream.element_bytes;
      }
    }
    EXPECT_EQ(nest.step_bytes, nearest);
    EXPECT_EQ(nest.shared, p->openmp);
    for (const ks::driver::Cost& named : {p->interval.read, p->interval.written}) {
      for (std::string_view rest = named.note; !rest.empty();) {
        const std::string array(rest.substr(0, rest.find(", ")));
        rest = rest.find(", ") == std::string_view::npos ? "" : rest.substr(rest.find(", ") + 2);
        EXPECT_TRUE(std::any_of(nest.streams.begin(), nest.streams.end(), [&](const auto& s) {
          return s.array.rfind(array, 0) == 0;
        })) << array;
      }
    }
  }
  for (const ks::driver::ProgramInfo& p : ks::driver::catalogue()) {
    EXPECT_EQ(p.nest != nullptr, p.kind == ks::driver::Kind::kBenchmark) << p.name;
  }
}

}  // namespace
