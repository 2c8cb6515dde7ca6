#include "driver/results/machine_context.h"

#include <gtest/gtest.h>

#include "driver/results/results.h"

namespace {

using ks::driver::MachineContext;
using ks::driver::read_machine_context;
using nlohmann::json;

// A context as the driver stores it, with every member the reports read.
json stored() {
  return json::parse(R"({
    "date": "2026-12-10T11:00:00Z", "host": "vm", "kernel": "Linux 6.1",
    "source_revision": "abc123",
    "cpu": {"model": "EPYC", "usable_cpus": 2, "logical_cpus": 4, "scaling_governor": "performance",
            "caches": [{"level": 1, "type": "Data", "size": "32K"}, {"level": 3, "type": "Unified",
            "size": 33554432}]},
    "memory": {"total_bytes": 25769803776},
    "build": {"compiler": "g++ 12", "type": "RelWithDebInfo", "missing": ["yupd-o0", 7],
              "bin_dir": "/b", "programs": {"plus-static": {"options": "-O2", "openmp": true,
              "openmp_runtime": {"name": "libgomp", "version": "12"}}}},
    "openmp": {"proc_bind": "close", "passed_from_caller": {"OMP_DISPLAY_ENV": "true",
               "OMP_WAIT_POLICY": 3}},
    "conditions": {"load_average_1min": 0.25, "usable_cpus": 2, "warnings": ["busy", false]},
    "counters": {"events": false, "notice": "hardware counters: none"},
    "clock": {"resolution_seconds": 1e-9},
    "ceilings": {"source": "cache", "file": "/c/p.json", "probed_at": "then", "probe": {"x": 1}},
    "loops": {"plus-static": {"error": "objdump: not found"}}
  })");
}

TEST(MachineContext, EveryMemberReadOnceTyped) {
  const MachineContext m = read_machine_context(stored());
  EXPECT_EQ(m.date, "2026-12-10T11:00:00Z");
  EXPECT_EQ(m.host, "vm");
  EXPECT_EQ(m.source_revision, "abc123");
  EXPECT_EQ(m.cpu.model, "EPYC");
  EXPECT_EQ(m.cpu.usable_cpus, 2);
  EXPECT_EQ(m.cpu.logical_cpus, 4);
  ASSERT_EQ(m.cpu.caches.size(), 2u);
  EXPECT_EQ(m.cpu.caches[0].level, "1");  // numbers as the context gives them
  EXPECT_EQ(m.cpu.caches[1].size, "33554432");
  EXPECT_EQ(m.memory_bytes, 25769803776.0);
  // Only the strings of a list: a stray number is no program name, false no warning.
  EXPECT_EQ(m.build.missing, std::vector<std::string>{"yupd-o0"});
  EXPECT_EQ(m.conditions.warnings, std::vector<std::string>{"busy"});
  ASSERT_EQ(m.build.programs.size(), 1u);
  EXPECT_EQ(m.build.programs[0].name, "plus-static");
  EXPECT_TRUE(m.build.programs[0].openmp);
  EXPECT_EQ(m.build.programs[0].runtime_name, "libgomp");
  EXPECT_TRUE(m.openmp.known);
  EXPECT_EQ(m.openmp.proc_bind, "close");
  EXPECT_FALSE(m.openmp.places.has_value());
  // A value that is not a string is shown as its JSON.
  EXPECT_EQ(m.openmp.passed_from_caller,
            (std::vector<std::pair<std::string, std::string>>{{"OMP_DISPLAY_ENV", "true"},
                                                              {"OMP_WAIT_POLICY", "3"}}));
  EXPECT_EQ(m.conditions.load_average_1min, 0.25);
  EXPECT_FALSE(m.counters.events);
  EXPECT_EQ(m.counters.notice, "hardware counters: none");
  EXPECT_EQ(m.clock_resolution_seconds, 1e-9);
  EXPECT_EQ(m.ceilings.source, "cache");
  EXPECT_EQ(m.ceilings.file, "/c/p.json");
  EXPECT_EQ(m.probe, json({{"x", 1}}));
  EXPECT_TRUE(m.loops.contains("plus-static"));
}

// Whatever a store holds, a context reads: a member of the wrong type is unknown.
TEST(MachineContext, WrongTypesReadAsUnknown) {
  const json cases[] = {
      nullptr,
      json::array(),
      "text",
      json::parse(R"({"date": 5, "host": ["a"], "cpu": "EPYC", "memory": {"total_bytes": "1"},
                     "build": {"missing": "yupd-o0", "programs": []}, "openmp": 1,
                     "conditions": {"warnings": "busy", "load_average_1min": "high"},
                     "counters": {"events": "no"}, "clock": [], "ceilings": 1})"),
  };
  for (const json& c : cases) {
    SCOPED_TRACE(c.dump());
    const MachineContext m = read_machine_context(c);
    EXPECT_EQ(m.date, "");
    EXPECT_EQ(m.host, "");
    EXPECT_EQ(m.cpu.model, "");
    EXPECT_FALSE(m.cpu.usable_cpus);
    EXPECT_FALSE(m.memory_bytes);
    EXPECT_TRUE(m.build.missing.empty());
    EXPECT_TRUE(m.build.programs.empty());
    EXPECT_FALSE(m.openmp.known);
    EXPECT_TRUE(m.conditions.warnings.empty());
    EXPECT_FALSE(m.conditions.load_average_1min);
    EXPECT_TRUE(m.counters.events);  // counted unless the context says otherwise
    EXPECT_FALSE(m.clock_resolution_seconds);
    EXPECT_TRUE(m.probe.is_null());
    EXPECT_TRUE(m.loops.is_null());
  }
}

// A result set reads its context again once it changes, and keeps the JSON it stores as it is.
TEST(MachineContext, AResultSetReadsItsContextAgainWhenItChanges) {
  ks::driver::ResultSet r;
  r.context = stored();
  const std::string as_stored = r.context.dump();
  EXPECT_EQ(ks::driver::machine_of(r).host, "vm");
  const MachineContext* first = &ks::driver::machine_of(r);
  EXPECT_EQ(&ks::driver::machine_of(r), first);  // read once while it stays the same
  EXPECT_EQ(r.context.dump(), as_stored);
  r.context["host"] = "other";
  EXPECT_EQ(ks::driver::machine_of(r).host, "other");
}

}  // namespace
