// The exporters read the runs only through a result set's source, a run at a time, never one
// pass inside another; and results.json written a run at a time is the document dumped whole.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include <fmt/format.h>

#include "driver/analysis/summary.h"
#include "driver/report/exporters.h"
#include "driver/report/html_export.h"
#include "driver/report/json_export.h"
#include "driver/report/markdown_export.h"
#include "driver/results/run_source.h"
#include "driver/tests/support/configs.h"
#include "driver/tests/support/run_results.h"

namespace {

namespace fs = std::filesystem;
namespace kd = ks::driver;
using kd::test::config;
using kd::test::record;

// The runs of a vector, each handed over as a copy of its own that is destroyed when its call
// returns, counting how many are alive at once, how deep passes nest, and how many there are.
class CheckingRuns : public kd::RunSource {
 public:
  explicit CheckingRuns(std::vector<kd::RunRecord> runs) : runs_(std::move(runs)), memory_(runs_) {}
  const kd::RunTotals& totals() const override { return memory_.totals(); }
  void each(const kd::RunQuery& query,
            const std::function<void(std::size_t, const kd::RunRecord&)>& each) const override {
    const Pass pass(*this);
    memory_.each(query, [&](std::size_t i, const kd::RunRecord& r) {
      const auto copy = std::make_unique<kd::RunRecord>(r);
      const Alive alive(*this, 1);
      each(i, *copy);
    });
  }
  void by_config(
      const std::function<void(std::size_t, std::span<const kd::RunRecord>)>& each) const override {
    const Pass pass(*this);
    memory_.by_config([&](std::size_t config, std::span<const kd::RunRecord> runs) {
      const std::vector<kd::RunRecord> copy(runs.begin(), runs.end());
      const Alive alive(*this, copy.size());
      each(config, copy);
    });
  }
  std::size_t most_alive() const { return most_alive_; }
  int deepest() const { return deepest_; }
  int passes() const { return passes_; }

 private:
  struct Pass {
    explicit Pass(const CheckingRuns& s) : s(s) {
      ++s.passes_;
      s.deepest_ = std::max(s.deepest_, ++s.depth_);
    }
    ~Pass() { --s.depth_; }
    const CheckingRuns& s;
  };
  struct Alive {
    Alive(const CheckingRuns& s, std::size_t n) : s(s), n(n) {
      s.alive_ += n;
      s.most_alive_ = std::max(s.most_alive_, s.alive_);
    }
    ~Alive() { s.alive_ -= n; }
    const CheckingRuns& s;
    std::size_t n;
  };
  std::vector<kd::RunRecord> runs_;
  kd::MemoryRuns memory_;
  mutable std::size_t alive_ = 0;
  mutable std::size_t most_alive_ = 0;
  mutable int depth_ = 0;
  mutable int deepest_ = 0;
  mutable int passes_ = 0;
};

// Three configurations of 40 runs each, some not valid (with output kept, twice the same).
kd::ResultSet made_results() {
  kd::ResultSet r;
  r.command = {"kernelscope", "sweep", "plus-static", "plus-parloop"};
  r.context = {{"cpu", {{"model", "Test CPU"}}}, {"source_revision", "abc123"}};
  r.configs = {config("plus-static", 4096, 0), config("plus-parloop", 4096, 1),
               config("plus-parloop", 4096, 2)};
  for (int round = 0; round < 40; ++round) {
    for (std::size_t c = 0; c < r.configs.size(); ++c) {
      kd::RunRecord run = record(c, 1e-3 * static_cast<double>(c + 1) * (1 + 0.01 * (round % 7)));
      run.round = round;
      run.started_at = 1.7e9 + round;
      run.counters.minor_faults = 100 + round % 3;
      if (round % 9 == 4) {
        run.outcome = kd::Outcome::kInvalid;
        run.why = fmt::format("line 1: got <{}>", round);
        run.result = kd::test::exited(round % 2 == 0 ? "same\n" : fmt::format("{}\n", round));
      }
      r.runs.push_back(run);
    }
  }
  r.summary = kd::summarize_runs(r.configs, r.runs);
  return r;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class Folder {
 public:
  Folder() {
    std::string templ = ::testing::TempDir() + "ks-runsource-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path_ = templ;
  }
  ~Folder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(RunSource, ExportersTakeTheRunsFromTheSourceOneAtATime) {
  const kd::ResultSet memory = made_results();
  kd::ResultSet checked = memory;
  auto source = std::make_shared<CheckingRuns>(checked.runs);
  checked.runs.clear();  // only the source has them now
  checked.source = source;

  Folder a;
  Folder b;
  const std::vector<std::string_view> skip = {"plots"};
  const kd::Exports from_memory = kd::export_results(a.path(), memory, skip);
  const kd::Exports from_source = kd::export_results(b.path(), checked, skip);
  ASSERT_TRUE(from_source.failed().empty()) << from_source.failed()[0];
  for (const char* name : {"runs.csv", "summary.csv", "results.json", "summary.md"}) {
    SCOPED_TRACE(name);
    const std::string expected = read_file(a.path() + "/" + name);
    EXPECT_FALSE(expected.empty());
    EXPECT_TRUE(read_file(b.path() + "/" + name) == expected);
  }
  EXPECT_EQ(kd::report_markdown(checked, {}), kd::report_markdown(memory, {}));
  EXPECT_EQ(kd::html_report(checked), kd::html_report(memory));

  EXPECT_EQ(source->deepest(), 1);      // no pass inside another
  EXPECT_EQ(source->most_alive(), 1u);  // the exporters were given one run at a time
  EXPECT_GT(source->passes(), 0);
  EXPECT_LE(source->passes(), 8);  // a few passes, not one per configuration or run
}

TEST(RunSource, ResultsJsonWrittenARunAtATimeIsTheDocumentDumpedWhole) {
  kd::ResultSet some = made_results();
  kd::ResultSet none = some;
  none.runs.clear();
  kd::ResultSet odd = some;
  odd.runs.resize(2);
  odd.runs[0].why = "found \"...\xb1o\"";  // cut inside a character: replaced, as dump() does
  odd.context = nlohmann::json();          // no context at all
  odd.summary.clear();
  for (const kd::ResultSet* r : {&some, &none, &odd}) {
    std::string streamed;
    kd::results_json_text(*r, [&](std::string_view text) { streamed += text; });
    EXPECT_EQ(
        streamed,
        kd::results_json(*r).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
  }
}

}  // namespace
