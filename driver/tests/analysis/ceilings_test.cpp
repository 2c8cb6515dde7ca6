// The machine's ceilings read from a fixed probe output (driver/tests/data/probe.json), the
// outputs that must be refused, and the per-user cache that keeps them per machine.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>

#include "driver/analysis/ceilings.h"
#include "driver/session/probe_runner.h"

namespace {

namespace fs = std::filesystem;
using ks::driver::Ceilings;
using ks::driver::CeilingsError;
using ks::driver::MachineKey;
using nlohmann::json;

const std::string kProbeFile = std::string(KS_DRIVER_TEST_DATA) + "/probe.json";

json fixture() {
  std::ifstream in(kProbeFile);
  return json::parse(in);
}

std::string scratch(const std::string& name) {
  const std::string dir =
      ::testing::TempDir() + "ks-ceilings-" + name + "-" + std::to_string(getpid());
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

TEST(Ceilings, ReadFromTheProbesOutput) {
  const Ceilings c = ks::driver::parse_ceilings(fixture());
  EXPECT_EQ(c.key, (MachineKey{"Test CPU", "Linux 6.1.0 #1 SMP x86_64", "fixture"}));
  EXPECT_EQ(c.page_bytes, 4096);
  EXPECT_FALSE(c.quick);
  EXPECT_EQ(c.threads, (std::vector<int>{1, 2}));
  // The instruction cache is left out; levels ascend.
  ASSERT_EQ(c.caches.size(), 3u);
  EXPECT_EQ(c.caches[0].level, 1);
  EXPECT_EQ(c.caches[1].size_bytes, 1048576);
  EXPECT_EQ(c.caches[2].instances, 1);
  EXPECT_EQ(c.vector_isa, "avx512f");

  struct Case {
    const char* what;
    std::optional<double> got;
    std::optional<double> want;
  };
  const Case cases[] = {
      // The plain addition, not the copy or the explicit vectors.
      {"memory T=1", c.add_bytes_per_second(0, 1), 12e9},
      {"memory T=2", c.add_bytes_per_second(0, 2), 18e9},
      // A team larger than any measured gets the largest measured; below, the smallest.
      {"memory T=8", c.add_bytes_per_second(0, 8), 18e9},
      {"memory T=0", c.add_bytes_per_second(0, 0), 12e9},
      {"L2 T=1", c.add_bytes_per_second(2, 1), 36e9},
      {"L4", c.add_bytes_per_second(4, 1), std::nullopt},
      // The roof is the best kernel and code form: the widest copy at T=2 (20e9 * 1.1).
      {"roof memory T=2", c.roof_bytes_per_second(0, 2), 22e9},
      {"roof L1 T=1", c.roof_bytes_per_second(1, 1), 96e9},
      {"fault T=1", c.fault_seconds(1), 4e-6},
      {"fault T=2", c.fault_seconds(2), 2.5e-6},
      // The addition into fresh pages less the warm one from memory: 3 pages of named bytes.
      {"added fault T=1", c.added_fault_seconds(1), 6.4e-6 - 3 * 4096 / 12e9},
      {"added fault T=2", c.added_fault_seconds(2), 4.6e-6 - 3 * 4096 / 18e9},
      {"fp64 add", c.ops_per_second("fp64_add", "scalar", 2), 8e9},
      {"int32 add", c.ops_per_second("int32_add", "scalar", 1), 12e9},
      {"fma vector", c.ops_per_second("fp64_fma", "avx512f", 1), 16e9},
      {"no such kernel", c.ops_per_second("fp32_add", "scalar", 1), std::nullopt},
      {"region T=2", c.region(2), 10e-6},
      {"barrier T=1", c.barrier(1), 0.5e-6},
      // The nearest chunk measured (1 and 16), by ratio; a cost below zero counts as none.
      {"dynamic,1", c.per_chunk("dynamic", 1, 2), 0.4e-6},
      {"dynamic,3", c.per_chunk("dynamic", 3, 2), 0.4e-6},
      {"dynamic,100", c.per_chunk("dynamic", 100, 2), 2e-6},
      {"guided,16", c.per_chunk("guided", 16, 1), 0.0},
      {"no such schedule", c.per_chunk("auto", 1, 1), std::nullopt},
      // The clock per team, the latencies of one thread.
      {"clock T=1", c.clock_hertz(1), 3.6e9},
      {"clock T=4", c.clock_hertz(4), 3.5e9},
      {"fp64 add latency", c.latency("fp64_add"), 3.0},
      {"store-load latency", c.latency("store_load"), 7.0},
      {"no such latency", c.latency("fp32_add"), std::nullopt},
  };
  for (const Case& k : cases) {
    ASSERT_EQ(k.got.has_value(), k.want.has_value()) << k.what;
    if (k.want) {
      EXPECT_DOUBLE_EQ(*k.got, *k.want) << k.what;
    }
  }
}

// What a fresh page adds to the addition that writes it: the warm addition it is set against
// is the one of the level that holds the probe's three arrays, and it never goes below zero.
TEST(Ceilings, TheAdditionsFaultIsSetAgainstItsWarmAdditionAtTheLevelHoldingIt) {
  const struct {
    const char* what;
    std::function<void(json&)> change;
    std::optional<double> want;  // T=1
  } cases[] = {
      {"64 MiB arrays: from memory", [](json&) {}, 6.4e-6 - 3 * 4096 / 12e9},
      {"2 MiB arrays (a quick probe): 6 MiB in L3",
       [](json& j) { j["first_touch"]["bytes"] = 2 << 20; }, 6.4e-6 - 3 * 4096 / 24e9},
      {"256 KiB arrays: 768 KiB in L2", [](json& j) { j["first_touch"]["bytes"] = 256 << 10; },
       6.4e-6 - 3 * 4096 / 36e9},
      {"faster than the warm addition: nothing",
       [](json& j) { j["first_touch"]["results"][0]["add_seconds_per_page"] = 0.5e-6; }, 0.0},
      {"a probe that did not time it",
       [](json& j) {
         for (json& r : j["first_touch"]["results"]) {
           r.erase("add_seconds_per_page");
         }
       },
       std::nullopt},
  };
  for (const auto& k : cases) {
    json j = fixture();
    k.change(j);
    const Ceilings c = ks::driver::parse_ceilings(j);
    const std::optional<double> got = c.added_fault_seconds(1);
    ASSERT_EQ(got.has_value(), k.want.has_value()) << k.what;
    if (k.want) {
      EXPECT_DOUBLE_EQ(*got, *k.want) << k.what;
    }
    EXPECT_EQ(c.fault_seconds(1), 4e-6) << k.what << ": the store's figure stays as measured";
  }
}

TEST(Ceilings, ACostBelowTheProbesNoiseIsShownAsSuch) {
  json j = fixture();
  for (json& r : j["openmp_overheads"]["results"]) {
    if (r["construct"] == "barrier" && r["threads"] == 2) {
      r["seconds_per_barrier"] = 0.0;
      r["noise_seconds_per_barrier"] = 4e-8;
      r["below_noise"] = true;
    }
  }
  const Ceilings c = ks::driver::parse_ceilings(j);
  struct Case {
    const char* what;
    double seconds;
    ks::driver::Noise noise;
    std::string want;
  };
  const Case cases[] = {
      {"a region above its noise", *c.region(2), c.region_noise_at(2), "10 us"},
      {"a barrier below its noise", *c.barrier(2), c.barrier_noise_at(2), "below noise (±40 ns)"},
      {"a chunk below its noise", *c.per_chunk("static", 16, 2), c.chunk_noise_at("static", 16, 2),
       "below noise (±9 ns)"},
      // The nearest chunk's noise, as the cost's.
      {"the nearest chunk", *c.per_chunk("static", 20, 2), c.chunk_noise_at("static", 20, 2),
       "below noise (±9 ns)"},
      {"a chunk that was negative", *c.per_chunk("guided", 16, 1),
       c.chunk_noise_at("guided", 16, 1), "below noise (±50 ns)"},
      {"not measured", 0, c.chunk_noise_at("auto", 1, 1), "0 ns"},
  };
  for (const Case& k : cases) {
    const std::string text = ks::driver::cost_text(k.seconds, k.noise);
    EXPECT_EQ(text, k.want) << k.what;
    EXPECT_EQ(text.find('-'), std::string::npos) << k.what << ": never a negative cost";
  }
  // The terminal's lines show the same.
  const std::string lines = ks::driver::ceilings_text(c);
  EXPECT_NE(lines.find("below noise (±40 ns) (T=2)"), std::string::npos) << lines;
  EXPECT_NE(lines.find("core clock under load:    3.6 GHz (T=1), 3.5 GHz (T=2)"), std::string::npos)
      << lines;
  EXPECT_NE(lines.find("fp64_add 3.00"), std::string::npos) << lines;
}

TEST(Ceilings, AProbeWithoutClockOrLatenciesIsReadWithout) {
  json j = fixture();
  j.erase("core_clock");
  j.erase("latencies");
  const Ceilings c = ks::driver::parse_ceilings(j);
  EXPECT_FALSE(c.clock_hertz(1).has_value());
  EXPECT_FALSE(c.latency("fp64_add").has_value());
  EXPECT_EQ(ks::driver::ceilings_text(c).find("latencies"), std::string::npos);
}

TEST(Ceilings, AnOutputThatCannotBeUsedIsRefusedWithOneLine) {
  struct Case {
    const char* what;
    std::function<void(json&)> damage;
    const char* message;  // part of the one line
  };
  const Case cases[] = {
      {"another format", [](json& j) { j["format"] = "ks-probe 2"; }, "format 'ks-probe 2'"},
      {"no context", [](json& j) { j.erase("context"); }, "has no context"},
      {"no memory bandwidth", [](json& j) { j.erase("memory_bandwidth"); },
       "has no memory_bandwidth"},
      {"no plain addition",
       [](json& j) {
         for (json& r : j["memory_bandwidth"]["results"]) {
           r["code"] = "widest";
         }
       },
       "no memory bandwidth of the plain addition"},
      {"a negative bandwidth",
       [](json& j) { j["memory_bandwidth"]["results"][0]["bytes_per_second"] = -1.0; },
       "memory_bandwidth.results[].bytes_per_second is -1.0: a real machine's is between 1000 and "
       "1e+15 B/s"},
      // Figures no machine shows, which would reach the plots as infinite or zero times.
      {"every bandwidth at 1e308",
       [](json& j) {
         for (json& r : j["memory_bandwidth"]["results"]) {
           r["bytes_per_second"] = 1e308;
         }
       },
       "memory_bandwidth.results[].bytes_per_second is 1e+308: a real machine's is between 1000 "
       "and 1e+15 B/s"},
      {"an infinite rate",
       [](json& j) { j["compute"]["results"][0]["operations_per_second"] = HUGE_VAL; },
       "compute.results[].operations_per_second is null"},
      {"a rate above 1e15 op/s",
       [](json& j) { j["compute"]["results"][1]["operations_per_second"] = 2e15; },
       "compute.results[].operations_per_second is 2e+15: a real machine's is between 1000 and "
       "1e+15 op/s"},
      {"a page that costs seconds",
       [](json& j) { j["first_touch"]["results"][0]["fault_seconds_per_page"] = 5.0; },
       "first_touch.results[].fault_seconds_per_page is 5.0: a real machine's is between -1 and 1 "
       "s"},
      {"a region cost hugely negative",
       [](json& j) { j["openmp_overheads"]["results"][0]["seconds_per_region"] = -1e300; },
       "seconds_per_region is -1e+300: a cost is never negative"},
      // Noise brings a difference below zero; the probe marks it rather than print it.
      {"a chunk cost slightly negative",
       [](json& j) { j["openmp_overheads"]["results"][2]["seconds_per_chunk"] = -9e-9; },
       "seconds_per_chunk is -9e-09: a cost is never negative"},
      {"a barrier of a minute",
       [](json& j) { j["openmp_overheads"]["results"][1]["seconds_per_barrier"] = 60.0; },
       "seconds_per_barrier is 60.0: a real machine's is between 0 and 1 s"},
      {"a noise that is not a figure",
       [](json& j) {
         j["openmp_overheads"]["results"][1]["below_noise"] = true;
         j["openmp_overheads"]["results"][1]["noise_seconds_per_barrier"] = "small";
       },
       "noise_seconds_per_barrier is not a number"},
      {"below noise as text",
       [](json& j) { j["openmp_overheads"]["results"][1]["below_noise"] = "yes"; },
       "below_noise is not true or false"},
      {"a clock of 1 kHz", [](json& j) { j["core_clock"]["results"][0]["hertz"] = 1e3; },
       "core_clock.results[].hertz is 1000.0: a real machine's is between 1e+07 and 1e+11 Hz"},
      {"a latency of no cycles",
       [](json& j) { j["latencies"]["results"][0]["latency_cycles"] = 0.0; },
       "latencies.results[].latency_cycles is 0.0"},
      {"a latency of a million cycles",
       [](json& j) { j["latencies"]["results"][3]["latency_cycles"] = 1e6; },
       "latency_cycles is 1000000.0"},
      {"latencies without their clock", [](json& j) { j["latencies"].erase("hertz"); },
       "has no latencies.hertz"},
      {"a page of 3 bytes", [](json& j) { j["context"]["page_bytes"] = 3; },
       "context.page_bytes is 3: a real machine's is between 512 and 1.07374e+09 bytes"},
      {"a cache level 99", [](json& j) { j["context"]["caches"][0]["level"] = 99; },
       "context.caches.level is 99"},
      {"a chunk of zero",
       [](json& j) {
         for (json& r : j["openmp_overheads"]["results"]) {
           if (r["construct"] == "for") {
             r["chunk"] = 0;
           }
         }
       },
       "openmp_overheads.results[].chunk is 0"},
      {"a bandwidth as text",
       [](json& j) { j["cache_bandwidth"]["results"][3]["bytes_per_second"] = "fast"; },
       "cache_bandwidth.results[].bytes_per_second is not a number"},
      {"a fractional team", [](json& j) { j["first_touch"]["results"][0]["threads"] = 1.5; },
       "threads is 1.5"},
      {"no first touch", [](json& j) { j["first_touch"]["results"] = json::array(); },
       "no first-touch figure"},
      {"no scalar integer adds",
       [](json& j) {
         json kept = json::array();
         for (const json& r : j["compute"]["results"]) {
           if (r["kernel"] != "int32_add") {
             kept.push_back(r);
           }
         }
         j["compute"]["results"] = kept;
       },
       "no int32_add/scalar throughput"},
      {"no parallel region",
       [](json& j) {
         json kept = json::array();
         for (const json& r : j["openmp_overheads"]["results"]) {
           if (r["construct"] != "parallel") {
             kept.push_back(r);
           }
         }
         j["openmp_overheads"]["results"] = kept;
       },
       "no cost of a parallel region"},
      {"not an object", [](json& j) { j = json::array(); }, "not a JSON object"},
  };
  for (const Case& k : cases) {
    json j = fixture();
    k.damage(j);
    try {
      ks::driver::parse_ceilings(j);
      ADD_FAILURE() << k.what << ": accepted";
    } catch (const CeilingsError& e) {
      const std::string line = e.what();
      EXPECT_NE(line.find(k.message), std::string::npos) << k.what << ": " << line;
      EXPECT_EQ(line.find('\n'), std::string::npos) << k.what;
    }
  }
}

TEST(Ceilings, TheCacheFileIsNamedByTheWholeMachineKey) {
  const MachineKey key{"AMD EPYC", "Linux 6.1.0 #1 SMP x86_64", "node-7.cluster"};
  const std::string name = ks::driver::cache_file_name(key);
  EXPECT_EQ(name, ks::driver::cache_file_name(key)) << "the same machine, the same file";
  EXPECT_EQ(name.rfind("ceilings-node-7.cluster-", 0), 0u) << name;
  EXPECT_EQ(name.size(), std::string("ceilings-node-7.cluster-").size() + 16 + 5) << name;
  // Any part of the key changed: another file.
  for (MachineKey other : {MachineKey{"AMD EPYC 2", key.kernel, key.host},
                           MachineKey{key.cpu_model, "Linux 6.2.0 #1 SMP x86_64", key.host},
                           MachineKey{key.cpu_model, key.kernel, "node-8.cluster"}}) {
    EXPECT_NE(ks::driver::cache_file_name(other), name);
  }
  // A host name never leaves the folder.
  const std::string odd = ks::driver::cache_file_name({"x", "y", "../a b/c"});
  EXPECT_EQ(odd.find('/'), std::string::npos) << odd;
  EXPECT_EQ(odd.find(' '), std::string::npos) << odd;
  EXPECT_EQ(odd.rfind("ceilings-host.._a_b_c-", 0), 0u) << odd;
}

TEST(Ceilings, TheCacheKeepsEachMachinesCeilingsAndTrustsNothingElse) {
  const std::string dir = scratch("cache") + "/deeper";
  const MachineKey here{"Test CPU", "Linux 6.1.0 #1 SMP x86_64", "fixture"};
  EXPECT_FALSE(ks::driver::load_cached_ceilings(dir, here)) << "nothing cached yet";
  EXPECT_FALSE(ks::driver::load_cached_ceilings("", here)) << "no cache folder at all";

  const std::string path =
      ks::driver::save_cached_ceilings(dir, here, fixture(), "2024-05-01T12:00:00Z");
  EXPECT_EQ(path, dir + "/" + ks::driver::cache_file_name(here));
  const auto loaded = ks::driver::load_cached_ceilings(dir, here);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->source, "cache");
  EXPECT_EQ(loaded->probed_at, "2024-05-01T12:00:00Z");
  EXPECT_EQ(loaded->path, path);
  EXPECT_DOUBLE_EQ(*loaded->ceilings.add_bytes_per_second(0, 1), 12e9);
  // read back as a --ceilings file too
  const auto from_file = ks::driver::read_ceilings_file(path);
  EXPECT_EQ(from_file.source, "file");
  EXPECT_EQ(from_file.probed_at, "2024-05-01T12:00:00Z");

  // Another machine does not see it.
  const MachineKey other{"Test CPU", "Linux 6.2.0 #1 SMP x86_64", "fixture"};
  EXPECT_FALSE(ks::driver::load_cached_ceilings(dir, other));
  // A file renamed to another machine's name still names its own key: not trusted.
  fs::copy_file(path, dir + "/" + ks::driver::cache_file_name(other));
  EXPECT_FALSE(ks::driver::load_cached_ceilings(dir, other));
  // An older probe's, without the core clock or the latencies, is measured again.
  for (const char* section : {"core_clock", "latencies"}) {
    json older = fixture();
    ASSERT_TRUE(older.contains(section));
    older.erase(section);
    ks::driver::save_cached_ceilings(dir, here, older, "2024-05-01T12:00:00Z");
    EXPECT_FALSE(ks::driver::load_cached_ceilings(dir, here)) << section;
  }
  // A damaged file is measured again, not trusted.
  std::ofstream(path) << "{\"format\": \"kernelscope ceilings 1\", \"key\": ";
  EXPECT_FALSE(ks::driver::load_cached_ceilings(dir, here));
}

TEST(Ceilings, TheResultSetsContextCarriesThem) {
  const ks::driver::KnownCeilings known{ks::driver::parse_ceilings(fixture()), "probe",
                                        "2024-05-01T12:00:00Z", "/somewhere"};
  json context = {{"cpu", {{"model", "Test CPU"}}}};
  EXPECT_FALSE(ks::driver::ceilings_from_context(ks::driver::read_machine_context(context)));
  context["ceilings"] = ks::driver::ceilings_context(known);
  EXPECT_EQ(context["ceilings"]["source"], "probe");
  const auto back = ks::driver::ceilings_from_context(ks::driver::read_machine_context(context));
  ASSERT_TRUE(back);
  EXPECT_DOUBLE_EQ(*back->fault_seconds(2), 2.5e-6);
  context["ceilings"]["probe"]["format"] = "something else";
  EXPECT_FALSE(ks::driver::ceilings_from_context(ks::driver::read_machine_context(context)));
}

TEST(Ceilings, CacheFolderFollowsTheUsersSettings) {
  const char* saved_xdg = std::getenv("XDG_CACHE_HOME");
  const char* saved_home = std::getenv("HOME");
  const std::string xdg = saved_xdg ? saved_xdg : "", home = saved_home ? saved_home : "";
  setenv("XDG_CACHE_HOME", "/tmp/xdg", 1);
  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(ks::driver::default_cache_dir(), "/tmp/xdg/kernelscope");
  setenv("XDG_CACHE_HOME", "relative", 1);  // not absolute: ignored, as the convention says
  EXPECT_EQ(ks::driver::default_cache_dir(), "/home/someone/.cache/kernelscope");
  unsetenv("XDG_CACHE_HOME");
  unsetenv("HOME");
  EXPECT_EQ(ks::driver::default_cache_dir(), "");
  saved_xdg ? setenv("XDG_CACHE_HOME", xdg.c_str(), 1) : unsetenv("XDG_CACHE_HOME");
  saved_home ? setenv("HOME", home.c_str(), 1) : unsetenv("HOME");
}

}  // namespace
