// A plan run whole on several nodes, without a cluster: the nodes' stores merged as the
// submitting command merges them, each node's section in report.md and report.html, and every
// node against the first with the rank test's verdicts.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <map>

#include "driver/analysis/nodes_report.h"
#include "driver/cluster/cluster.h"
#include "driver/report/html_export.h"
#include "driver/report/markdown_export.h"
#include "driver/session/measure.h"
#include "driver/tests/support/configs.h"

namespace {

namespace fs = std::filesystem;
namespace kd = ks::driver;
using ks::driver::test::config;
using ks::driver::test::record;

// One run's printed time on a node: by configuration and round.
using Timing = std::function<double(std::size_t config, int round)>;

struct Node {
  std::string host;
  Timing time;
  bool every_run = true;  // else only the planned runs whose index has this parity
  std::size_t parity = 0;
};

struct Merged {
  std::string dir;
  kd::StoreContents contents;
};

// Each node's own store, then all of them merged into results.db.
Merged merged_store(const std::string& name, const kd::Plan& plan, const std::vector<Node>& nodes,
                    const std::vector<std::string>& command = {}) {
  std::string dir = ::testing::TempDir() + "ks-nodes-" + name + "-XXXXXX";
  EXPECT_NE(mkdtemp(dir.data()), nullptr);
  kd::ClusterJob job;
  job.submissions.push_back({"7", {}});
  for (const Node& node : nodes) {
    const std::string file = node.host + ".db";
    job.submissions[0].tasks.push_back({{}, node.host, file});
    kd::StoreOptions options;
    options.file = file;
    options.host = node.host;
    kd::Store store = kd::Store::create(
        dir, plan, {{"host", node.host}, {"cpu", {{"model", node.host + " CPU"}}}}, command,
        options);
    for (std::size_t seq = 0; seq < plan.runs.size(); ++seq) {
      if (!node.every_run && seq % 2 != node.parity) {
        continue;
      }
      const kd::PlannedRun& p = plan.runs[seq];
      kd::RunRecord r = record(p.config, node.time(p.config, p.round), p.warmup);
      r.round = p.round;
      store.append_run(r);
    }
  }
  kd::Store into = kd::Store::create(dir, plan, {}, command);
  std::vector<std::string> problems;
  kd::merge_tasks(into, dir, job, problems);
  EXPECT_TRUE(problems.empty());
  return {dir, into.load()};
}

kd::Plan two_configs() {
  kd::Config a = config("plus-static", 100000, 0);
  kd::Config b = config("plus-parloop", 100000, 2);
  a.repeat = b.repeat = 8;
  return kd::interleaved_plan({a, b});
}

// Around `base` seconds, a little different each round, shifted by `offset` of a step.
Timing around(double a, double b, double offset = 0) {
  return [=](std::size_t config, int round) {
    return (config == 0 ? a : b) * (1 + 0.01 * (round + offset));
  };
}

std::string verdict_of(const kd::NodeComparison& c, const std::string& program) {
  for (const kd::ComparedConfig& k : c.result.configs) {
    if (k.label.starts_with(program + " ")) {
      return k.verdict();
    }
  }
  return "(missing)";
}

TEST(NodeResults, EachNodeAloneAndComparedWithTheFirst) {
  const kd::Plan plan = two_configs();
  // n2 is twice as slow on plus-static and the same on plus-parloop; n3 twice as fast on both.
  const Merged m = merged_store("three", plan,
                                {{"n1", around(0.001, 0.002)},
                                 {"n2", around(0.002, 0.002, 0.5)},
                                 {"n3", around(0.0005, 0.001)}});
  const kd::ResultSet results = kd::result_set(m.contents);
  ASSERT_EQ(results.nodes.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const kd::NodeResults& node = results.nodes[i];
    EXPECT_EQ(node.host, "n" + std::to_string(i + 1));
    EXPECT_EQ(node.results.runs.size(), plan.runs.size()) << node.host;
    EXPECT_EQ(node.results.context["cpu"]["model"], node.host + " CPU");
    EXPECT_TRUE(node.results.nodes.empty());
  }
  // The first node's own median, not the pool's.
  EXPECT_NEAR(results.nodes[0].results.summary[0].stats.median, 0.001035, 1e-6);

  const std::vector<kd::NodeComparison> across = kd::compare_nodes(results.nodes);
  ASSERT_EQ(across.size(), 2u);
  struct Case {
    std::size_t comparison;
    const char* program;
    const char* verdict;
    double ratio;
  };
  for (const Case& c : std::vector<Case>{{0, "plus-static", "slower", 2},
                                         {0, "plus-parloop", "no significant change", 1},
                                         {1, "plus-static", "faster", 0.5},
                                         {1, "plus-parloop", "faster", 0.5}}) {
    const kd::NodeComparison& k = across[c.comparison];
    EXPECT_EQ(k.base.path, "n1");
    EXPECT_EQ(verdict_of(k, c.program), c.verdict) << k.other.path << " " << c.program;
    for (const kd::ComparedConfig& cc : k.result.configs) {
      if (cc.label.starts_with(std::string(c.program) + " ")) {
        EXPECT_NEAR(cc.comparison.ratio.value.value_or(0), c.ratio, 0.02 * c.ratio);
      }
    }
  }
  EXPECT_EQ(kd::verdict_tally(across[0].result), "1 slower, 1 no significant change");

  const std::string md = kd::report_markdown(results, {});
  const std::vector<const char*> md_parts = {
      "## Nodes\n\nThe whole plan ran on each of 3 nodes: n1, n2, n3.",
      "### n2\n\n| | |\n|---|---|\n",
      "| CPU | n2 CPU |",
      "### Across nodes",
      "#### n2 against n1\n\n1 slower, 1 no significant change.",
      "| configuration | n1 median | n2 median | n2/n1 | p | verdict |",
      "#### n3 against n1\n\n2 faster."};
  for (const char* part : md_parts) {
    EXPECT_NE(md.find(part), std::string::npos) << part << "\n" << md;
  }
  // The sections come in order: every node's, then the comparisons.
  EXPECT_LT(md.find("### n3\n"), md.find("### Across nodes"));

  const std::string html = kd::html_report(results);
  for (const char* part :
       {"<a href=\"#nodes\">nodes</a>", "<section id=\"node-n2\">", "<dd>n3 CPU</dd>",
        "id=\"node-summary-n1\"", "<h3>n2 against n1</h3>", "id=\"across-table-n3\"",
        "id=\"plot-across-n2\"", ">n1 median<", "n2 / n1 (log scale)"}) {
    EXPECT_NE(html.find(part), std::string::npos) << part;
  }

  // Rendered again from the store, the reports read the same.
  const kd::ResultSet again =
      kd::result_set(kd::Store::open_readonly(m.dir + "/results.db").load());
  EXPECT_EQ(kd::report_markdown(again, {}), md);
  EXPECT_EQ(kd::html_report(again), html);
  fs::remove_all(m.dir);
}

TEST(NodeResults, OnlyWhenEveryNodeRanThePlan) {
  const kd::Plan plan = two_configs();
  struct Case {
    const char* name;
    std::vector<Node> nodes;
    std::vector<std::string> command;
    std::vector<std::string> hosts;  // of the node sections
  };
  const std::vector<Case> cases = {
      {"one host", {{"n1", around(0.001, 0.002)}}, {"kernelscope", "sweep"}, {}},
      {"shared out",
       {{"n1", around(0.001, 0.002), false, 0}, {"n2", around(0.001, 0.002), false, 1}},
       {"kernelscope", "sweep", "--slurm"},
       {}},
      {"per node, one answered",
       {{"n1", around(0.001, 0.002)}},
       {"kernelscope", "sweep", "--slurm", "--per-node"},
       {"n1"}},
  };
  for (const Case& c : cases) {
    const Merged m = merged_store("only", plan, c.nodes, c.command);
    const kd::ResultSet results = kd::result_set(m.contents);
    std::vector<std::string> hosts;
    for (const kd::NodeResults& n : results.nodes) {
      hosts.push_back(n.host);
    }
    EXPECT_EQ(hosts, c.hosts) << c.name;
    const std::string md = kd::report_markdown(results, {});
    EXPECT_EQ(md.find("## Nodes") != std::string::npos, !c.hosts.empty()) << c.name;
    EXPECT_EQ(md.find("### Across nodes"), std::string::npos) << c.name;
    fs::remove_all(m.dir);
  }
}

}  // namespace
