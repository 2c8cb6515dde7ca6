// The OpenMP environment of the runs: which placements are valid, and what becomes of each of
// the caller's OpenMP variables.
#include <gtest/gtest.h>

#include "driver/base/errors.h"
#include "driver/plan/omp_env.h"

namespace {

using ks::driver::Placement;

bool accepted(void (*check)(const std::string&, const std::string&), const std::string& text) {
  try {
    check(text, "");
    return true;
  } catch (const ks::driver::UsageError&) {
    return false;
  }
}

TEST(OpenmpEnvironment, BindingsAndPlacesAreCheckedAsTheRuntimeReadsThem) {
  struct Case {
    const char* text;
    bool bind_ok;
    bool places_ok;
  };
  const Case cases[] = {
      {"close", true, false},
      {"SPREAD", true, false},
      {"spread,close", true, false},  // nested teams
      {"primary", true, false},
      {"false", true, false},
      {"close,", false, false},
      {"tight", false, false},
      {"", false, false},
      {"cores", false, true},
      {"ll_caches", false, true},
      {"cores(4)", false, true},
      {"cores(0)", false, false},
      {"cores(x)", false, false},
      {"{0,1},{2,3}", false, true},
      {"{0:4}:2:4", false, true},
      {"!{0}", false, true},
      {"{0,1", false, false},
      {"{{0}}", false, false},
      {"{0};rm", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(accepted(ks::driver::check_bind, c.text), c.bind_ok) << c.text;
    EXPECT_EQ(accepted(ks::driver::check_places, c.text), c.places_ok) << c.text;
  }
}

TEST(OpenmpEnvironment, EachOfTheCallersVariablesIsPassedTakenOrReplacedWithANotice) {
  struct Case {
    const char* name;
    Placement asked;
    std::map<std::string, std::string> caller;
    Placement placement;
    std::map<std::string, std::string> passed;
    std::map<std::string, std::string> not_passed;
    std::size_t notices;
  };
  const Case cases[] = {
      {"nothing", {}, {}, {}, {}, {}, 0},
      {"options only", {"close", "cores"}, {}, {"close", "cores"}, {}, {}, 0},
      {"the caller's placement", {}, {{"OMP_PROC_BIND", "spread"}}, {"spread", ""}, {}, {}, 1},
      {"replaced",
       {"close", ""},
       {{"OMP_PROC_BIND", "spread"}},
       {"close", ""},
       {},
       {{"OMP_PROC_BIND", "spread"}},
       1},
      {"set per run",
       {},
       {{"OMP_NUM_THREADS", "8"}, {"OMP_SCHEDULE", "static"}},
       {},
       {},
       {{"OMP_NUM_THREADS", "8"}, {"OMP_SCHEDULE", "static"}},
       2},
      {"passed on, in one notice",
       {},
       {{"OMP_WAIT_POLICY", "active"}, {"GOMP_SPINCOUNT", "0"}, {"KMP_AFFINITY", "compact"}},
       {},
       {{"OMP_WAIT_POLICY", "active"}, {"GOMP_SPINCOUNT", "0"}, {"KMP_AFFINITY", "compact"}},
       {},
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto env = ks::driver::resolve_openmp_environment(c.asked, c.caller);
    EXPECT_EQ(env.placement, c.placement);
    EXPECT_EQ(env.passed, c.passed);
    EXPECT_EQ(env.not_passed, c.not_passed);
    EXPECT_EQ(env.notices.size(), c.notices);
    const nlohmann::json j = ks::driver::openmp_context(env);
    EXPECT_EQ(j["passed_from_caller"].size(), c.passed.size());
    EXPECT_EQ(j["proc_bind"].is_null(), c.placement.bind.empty());
  }
  // A caller's placement that is not valid is refused, pointing at the option.
  try {
    ks::driver::resolve_openmp_environment({}, {{"OMP_PLACES", "everywhere"}});
    ADD_FAILURE() << "OMP_PLACES=everywhere was accepted";
  } catch (const ks::driver::UsageError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("OMP_PLACES=everywhere in the environment (use "
                                          "--places to choose) is not a list of places",
                                          0),
              0u)
        << e.what();
  }
}

}  // namespace
