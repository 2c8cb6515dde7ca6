// A store's files rendered with its runs read in passes are the files rendered from the store
// loaded whole, byte for byte; and the store's passes hand over the runs a vector of the same
// runs does.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <fmt/format.h>

#include "driver/analysis/stored_results.h"
#include "driver/results/run_source.h"
#include "driver/session/measure.h"
#include "driver/store/store_runs.h"
#include "driver/tests/support/configs.h"
#include "driver/tests/support/run_results.h"

namespace {

namespace fs = std::filesystem;
namespace kd = ks::driver;

class TempDir {
 public:
  TempDir() {
    std::string templ = ::testing::TempDir() + "ks-stream-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path_ = templ;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string sub(const std::string& name) const {
    const std::string dir = path_ + "/" + name;
    fs::create_directories(dir);
    return dir;
  }

 private:
  std::string path_;
};

// chunk-static 2 on one thread: every iteration on thread 0, main's suma the last running sum.
std::string one_thread_chunks() {
  std::string out;
  int sum = 0;
  for (int i = 0; i < 16; ++i) {
    sum += i;
    out += fmt::format(" thread 0 suma a[{}] suma={} \n", i, sum);
  }
  return out + fmt::format("Fuera de 'parallel for' suma={}\n", sum);
}

kd::Plan stream_plan(int repeat) {
  kd::Config seq = kd::test::config("plus-static", 4096, 0);
  kd::Config one = kd::test::config("plus-parloop", 4096, 1);
  kd::Config two = kd::test::config("plus-parloop", 4096, 2);
  kd::Config demo;
  demo.program = kd::find_program("chunk-static");
  demo.chunk = 2;
  demo.threads = 1;
  for (kd::Config* c : {&seq, &one, &two, &demo}) {
    c->repeat = repeat;
    c->warmup = 1;
  }
  demo.repeat = 4;
  return kd::interleaved_plan({seq, one, two, demo});
}

// The run of planned run `seq` on `node`: times that vary from run to run, and now and then
// one that is not valid (some printing the same, some not).
kd::RunRecord made_run(const kd::Plan& plan, std::size_t seq, int node) {
  const kd::PlannedRun& p = plan.runs[seq];
  const double base = 1e-3 * static_cast<double>(p.config + 1) * (1 + 0.1 * node);
  kd::RunRecord r =
      kd::test::record(p.config, base * (1 + 0.013 * static_cast<double>(seq % 17)), p.warmup);
  r.round = p.round;
  r.started_at = 1.7e9 + 0.01 * static_cast<double>(seq) + node;
  r.counters.minor_faults = static_cast<std::int64_t>(100 + seq % 7);
  r.counters.user_seconds = 0.001 * static_cast<double>(seq % 5);
  if (plan.configs[p.config].program->kind == kd::Kind::kDemonstration) {
    r.result = kd::test::exited(one_thread_chunks());
    r.printed_seconds.reset();
  } else if (seq % 97 == 5) {
    r.outcome = kd::Outcome::kInvalid;
    r.why = fmt::format("line 1: expected {}, got <{}>", seq, seq + 1);
    r.result = kd::test::exited(seq % 2 == 0 ? "the same wrong text\n" : fmt::format("{}\n", seq));
  } else if (seq % 211 == 7) {
    r.outcome = kd::Outcome::kFailed;
    r.why = "exit status 3";
    r.exit_status = 3;
    r.result = kd::test::exited("", 3, "caf\xe9: no\n");
  }
  return r;
}

// A store of `nodes` hosts in `dir`, each running the whole plan of `kind`.
void make_store(const std::string& dir, const kd::Plan& plan, const std::string& kind, int nodes) {
  const nlohmann::json context = {{"cpu", {{"model", "test CPU"}}},
                                  {"clock", {{"resolution_seconds", 1e-9}}}};
  std::vector<std::string> command = {"kernelscope", kind, "plus-static", "--out", dir};
  kd::StoreOptions options;
  options.kind = kind;
  options.host = "node0";
  kd::Store::create(dir, plan, context, command, options);
  for (int node = 0; node < nodes; ++node) {
    options.host = fmt::format("node{}", node);
    kd::Store store = kd::Store::open(dir, options);
    nlohmann::json mine = context;
    mine["host"] = options.host;
    store.record_machine(mine);
    for (std::size_t seq = 0; seq < plan.runs.size(); ++seq) {
      store.append_run(made_run(plan, seq, node));
    }
  }
}

// Every file under `dir` by its path relative to it, with its bytes.
std::map<std::string, std::string> files_of(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const std::string rel = fs::relative(e.path(), dir).string();
    if (!e.is_regular_file() || rel.starts_with("results.db") || rel.starts_with(".kernelscope")) {
      continue;
    }
    std::ifstream in(e.path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    files[rel] = text.str();
  }
  return files;
}

TEST(StreamedReport, WritesTheFilesOfTheStoreLoadedWhole) {
  struct Case {
    const char* kind;
    int nodes;
  };
  // A sweep on one host, a tour (maps from the demonstration's kept output), and a plan run
  // whole on two hosts (a section per node).
  for (const Case& c : {Case{"sweep", 1}, Case{"tour", 1}, Case{"sweep", 2}}) {
    SCOPED_TRACE(fmt::format("{} on {} node(s)", c.kind, c.nodes));
    TempDir tmp;
    const std::string streamed = tmp.sub("streamed");
    const std::string whole = tmp.sub("whole");
    const kd::Plan plan = stream_plan(400);
    make_store(streamed, plan, c.kind, c.nodes);

    const kd::StoreContents contents = kd::Store::open_readonly(streamed + "/results.db").load();
    ASSERT_EQ(contents.runs.size(), plan.runs.size() * static_cast<std::size_t>(c.nodes));
    const kd::ResultSet in_memory = kd::result_set(contents);
    const kd::Exports from_memory = kd::render(whole, c.kind, in_memory, true);
    ASSERT_TRUE(from_memory.failed().empty()) << from_memory.failed()[0];

    auto store = std::make_shared<kd::Store>(kd::Store::open_readonly(streamed + "/results.db"));
    const kd::ResultSet passes = kd::result_set(store->load_head(), store);
    EXPECT_TRUE(passes.runs.empty());  // read from the store, not held
    ASSERT_NE(passes.source, nullptr);
    EXPECT_EQ(passes.nodes.size(), c.nodes > 1 ? 2u : 0u);
    EXPECT_EQ(passes.maps.size(), std::string(c.kind) == "tour" ? 1u : 0u);
    const kd::Exports from_store = kd::render(streamed, c.kind, passes, true);
    ASSERT_TRUE(from_store.failed().empty()) << from_store.failed()[0];
    EXPECT_EQ(kd::runs_seconds(passes), kd::runs_seconds(in_memory));

    const auto expected = files_of(whole);
    const auto got = files_of(streamed);
    ASSERT_GE(expected.size(), 6u);
    for (const auto& [name, text] : expected) {
      const auto it = got.find(name);
      ASSERT_NE(it, got.end()) << name;
      EXPECT_TRUE(it->second == text) << name << " differs";
    }
    EXPECT_EQ(got.size(), expected.size());
  }
}

bool same_run(const kd::RunRecord& a, const kd::RunRecord& b) {
  const auto same = [](double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); };
  return a.config == b.config && a.round == b.round && a.warmup == b.warmup &&
         a.outcome == b.outcome && a.why == b.why && a.printed_seconds == b.printed_seconds &&
         same(a.wall_seconds, b.wall_seconds) && a.exit_status == b.exit_status &&
         a.signal == b.signal && a.started_at == b.started_at && a.counters == b.counters &&
         a.result.has_value() == b.result.has_value() &&
         (!a.result || (a.result->out == b.result->out && a.result->err == b.result->err));
}

// What a pass hands over: "index:config:round" per run, and whether each run was the same.
std::vector<std::pair<std::size_t, kd::RunRecord>> taken(const kd::RunSource& source,
                                                         const kd::RunQuery& query) {
  std::vector<std::pair<std::size_t, kd::RunRecord>> out;
  source.each(query, [&](std::size_t i, const kd::RunRecord& r) { out.emplace_back(i, r); });
  return out;
}

TEST(StoreRuns, HandOverWhatAVectorOfTheSameRunsDoes) {
  TempDir tmp;
  const std::string dir = tmp.sub("store");
  const kd::Plan plan = stream_plan(40);
  make_store(dir, plan, "tour", 2);
  auto store = std::make_shared<kd::Store>(kd::Store::open_readonly(dir + "/results.db"));
  const kd::StoreContents whole = store->load();

  std::vector<bool> demos(plan.configs.size(), false);
  demos[3] = true;
  struct Query {
    const char* what;
    kd::RunQuery query;
  };
  const Query queries[] = {
      {"every run", {}},
      {"with output", {false, true, {}}},
      {"not valid", {true, false, {}}},
      {"not valid, with output, at most 3", {true, true, {}, 3}},
      {"the demonstrations' with output", {false, true, demos}},
  };
  for (const std::optional<std::string>& host :
       {std::optional<std::string>(), std::optional<std::string>("node1")}) {
    std::vector<kd::RunRecord> records;
    for (const kd::StoredRun& run : whole.runs) {
      if (!host || run.host == *host) {
        records.push_back(run.record);
      }
    }
    const kd::MemoryRuns memory(records, plan.configs.size());
    const kd::StoreRuns stored(store, host);
    SCOPED_TRACE(host.value_or("every host"));

    const kd::RunTotals& a = stored.totals();
    const kd::RunTotals& b = memory.totals();
    EXPECT_EQ(a.runs, records.size());
    EXPECT_GT(a.not_valid, 0u);
    EXPECT_EQ(a.not_valid, b.not_valid);
    EXPECT_EQ(a.not_valid_of, b.not_valid_of);
    EXPECT_EQ(a.first_start, b.first_start);
    EXPECT_EQ(a.last_end, b.last_end);
    EXPECT_EQ(a.wall_seconds, b.wall_seconds);

    for (const Query& q : queries) {
      SCOPED_TRACE(q.what);
      const auto got = taken(stored, q.query);
      const auto expected = taken(memory, q.query);
      ASSERT_EQ(got.size(), expected.size());
      ASSERT_FALSE(got.empty());
      for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].first, expected[i].first);
        EXPECT_TRUE(same_run(got[i].second, expected[i].second)) << "run " << got[i].first;
        EXPECT_EQ(got[i].second.result.has_value() && !q.query.with_output, false);
      }
    }

    std::vector<std::size_t> configs;
    std::size_t handed = 0;
    stored.by_config([&](std::size_t config, std::span<const kd::RunRecord> runs) {
      configs.push_back(config);
      std::vector<kd::RunRecord> mine;
      for (const kd::RunRecord& r : records) {
        if (r.config == config) {
          mine.push_back(r);
          mine.back().result.reset();
        }
      }
      ASSERT_EQ(runs.size(), mine.size());
      for (std::size_t i = 0; i < runs.size(); ++i) {
        EXPECT_TRUE(same_run(runs[i], mine[i])) << "config " << config << " run " << i;
      }
      handed += runs.size();
    });
    EXPECT_EQ(configs, (std::vector<std::size_t>{0, 1, 2, 3}));
    EXPECT_EQ(handed, records.size());
  }
}

}  // namespace
