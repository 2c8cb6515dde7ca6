// The exporters, fed one result set made by hand: every format writes what it says it wrote,
// from the same configurations, runs and summary.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "driver/analysis/summary.h"
#include "driver/base/text.h"
#include "driver/catalogue/catalogue.h"
#include "driver/report/exporters.h"
#include "driver/report/json_export.h"
#include "driver/report/map_view.h"
#include "driver/report/markdown_export.h"
#include "driver/session/measure.h"
#include "driver/tests/support/configs.h"

namespace {

namespace fs = std::filesystem;
using ks::driver::test::config;
using ks::driver::test::record;

// plus-static at 2 and 4 ms (100 and 200 minor faults), plus-parloop on two threads at 1 ms
// (120), and a demonstration traced; the fixed ceilings of driver/tests/data in the context.
ks::driver::ResultSet made_results() {
  ks::driver::ResultSet r;
  r.command = {"kernelscope", "sweep", "plus-static", "plus-parloop", "greet-team"};
  r.context = {{"cpu", {{"model", "Test CPU"}, {"usable_cpus", 2}}},
               {"memory", {{"total_bytes", 2147483648u}}},
               {"date", "2024-05-01T12:00:00Z"},
               {"kernel", "Linux test"},
               {"source_revision", "abc123"}};
  r.configs = {config("plus-static", 1000, 0), config("plus-parloop", 1000, 2),
               config("greet-team", std::nullopt, 2)};
  r.runs = {record(0, 0.002), record(0, 0.004), record(1, 0.001)};
  for (const auto& [run, faults] : {std::pair{0, 100}, {1, 200}, {2, 120}}) {
    r.runs[run].counters.minor_faults = faults;
  }
  std::ifstream probe(std::string(KS_DRIVER_TEST_DATA) + "/probe.json");
  r.context["ceilings"] = {{"source", "probe"},
                           {"probed_at", "2024-05-01T11:00:00Z"},
                           {"probe", nlohmann::json::parse(probe)}};
  ks::driver::RunRecord demo = record(2, NAN);
  demo.printed_seconds.reset();
  demo.wall_seconds = 0.001;
  r.runs.push_back(demo);
  r.summary = ks::driver::summarize_runs(r.configs, r.runs);
  ks::driver::Trace trace;
  trace.team = 2;
  trace.columns = 2;
  trace.column_labels = {"Hello", "world"};
  trace.cells = {{0, 0, std::nullopt, 0},
                 {1, 0, std::nullopt, 1},
                 {1, 1, std::nullopt, 2},
                 {0, 1, std::nullopt, 3}};
  r.maps = {{2, trace}};
  ks::driver::add_model_and_counters(r);
  return r;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

TEST(Exporters, EachFormatWritesWhatItReports) {
  const std::string dir = ::testing::TempDir() + "ks-exporters-" + std::to_string(getpid());
  fs::remove_all(dir);
  fs::create_directories(dir);
  const ks::driver::ResultSet results = made_results();
  const ks::driver::Exports exports = ks::driver::export_results(dir, results);
  ASSERT_EQ(exports.by_format.size(), ks::driver::exporters().size());
  for (const auto& [format, exported] : exports.by_format) {
    for (const std::string& file : exported.files) {
      EXPECT_TRUE(fs::exists(dir + "/" + file)) << format << ": " << file;
    }
  }
  for (const char* file :
       {"runs.csv", "summary.csv", "summary.md", "results.json", "maps/greet-team-T2.svg",
        "maps/greet-team-T2.csv", "maps/greet-team-T2.json", "report.md", "report.html"}) {
    EXPECT_TRUE(fs::exists(dir + "/" + file)) << file;
  }
  // Every file in the folder is one that a format of the table says it wrote.
  std::set<std::string> reported;
  for (const auto& [format, exported] : exports.by_format) {
    reported.insert(exported.files.begin(), exported.files.end());
  }
  std::set<std::string> on_disk;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) {
      on_disk.insert(fs::relative(e.path(), dir).string());
    }
  }
  EXPECT_EQ(on_disk, reported);
  // The pages come last, after the plots they link.
  EXPECT_EQ(exports.by_format.back().first, "report");
  fs::create_directories(dir + "/again");
  const auto skipped = ks::driver::export_results(dir + "/again", results, {"plots", "maps"});
  EXPECT_TRUE(skipped.of("plots").files.empty());
  EXPECT_FALSE(fs::exists(dir + "/again/plots"));
  EXPECT_FALSE(fs::exists(dir + "/again/maps"));
  EXPECT_TRUE(fs::exists(dir + "/again/results.json"));
  fs::remove_all(dir);
}

TEST(Exporters, SummaryMarkdownReadsAsATable) {
  const ks::driver::ResultSet results = made_results();
  const std::string dir = ::testing::TempDir() + "ks-markdown-" + std::to_string(getpid());
  fs::create_directories(dir);
  ks::driver::export_results(dir, results, {"csv", "json", "plots", "maps"});
  const std::string md = slurp(dir + "/summary.md");
  fs::remove_all(dir);
  // The model: plus-static N=1000 is predicted 11.25 us (two fresh pages at 5.376 us, what
  // the probe's 6.4 us addition into a fresh page adds to its warm 1.024 us; 32 kB of traffic
  // at 64 GB/s in L1), plus-parloop on two threads 18.08 us (two pages at 3.917 us, a region
  // at 10 us, 32 kB at 128 GB/s): far from the hand-made times.
  const std::string table =
      "| program | size | T | schedule | valid | median | 95% interval | min | max | sd | "
      "outliers | process | GB/s | Gop/s | speedup | faults | %ceil | meas/pred |\n"
      "|---|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n"
      "| plus-static | 1000 | - | - | 2/2 | 3 ms ~ | 2\u20134 ms (50%) | 2 ms | 4 ms | 1.41 ms | 0 "
      "| 4 ms | 0.008 | 0.000333 | 1.00 | 150 | 0% | 266.62 ! |\n"
      "| plus-parloop | 1000 | 2 | - | 1/1 | 1 ms | - | 1 ms | 1 ms | - | 0 | 2 ms | 0.024 | "
      "0.001 | 3.00 (2.00\u20134.00, 50%) | 120 | 0% | 55.30 ! |\n"
      "| greet-team | - | 2 | - | 1/1 | 1 ms (wall) | - | 1 ms | 1 ms | - | 0 | - | - | - | - "
      "| - | - | - |\n";
  EXPECT_EQ(md.substr(0, table.size()), table);
  EXPECT_NE(md.find("\n**median** is the median of the valid runs"), std::string::npos) << md;
  for (const char* part : {
           "## Why it takes that long\n\nCeilings measured by ks-probe on fixture at "
           "2024-05-01T11:00:00Z: the addition streams 12 GB/s at T=1, 18 GB/s at T=2",
           "- **plus-static N=1000** (measured 3 ms, predicted 11.3 us, ratio 266.62; 0% of L1 "
           "bandwidth, T=1): the model does not explain this time: measured 3 ms, predicted "
           "11.3 us (its largest term: 2 fresh pages written by the addition at 5.38 us = "
           "10.8 us)\n",
           "- `plus-parloop`: reads 16N B (v1, v2), writes 8N B (v3), N flop; first touch of v3 "
           "(8N B); 1 parallel region\n",
           "## Counters\n\n| configuration | minor faults |\n|---|---:|\n"
           "| plus-static N=1000 | 150 |\n| plus-parloop N=1000 T=2 | 120 |\n"
           "| greet-team T=2 | - |\n",
       }) {
    EXPECT_NE(md.find(part), std::string::npos) << part << "\nnot in\n" << md;
  }
  EXPECT_EQ(md.find("greet-team T=2** ("), std::string::npos) << "a demonstration has no model";
}

TEST(Exporters, ResultsJsonHoldsTheCommandContextRunsAndSummary) {
  const ks::driver::ResultSet results = made_results();
  const nlohmann::json j = ks::driver::results_json(results);
  EXPECT_EQ(j["kernelscope"]["command"], results.command);
  EXPECT_EQ(j["kernelscope"]["format"], 1);
  EXPECT_EQ(j["context"], results.context);
  ASSERT_EQ(j["runs"].size(), 4u);
  EXPECT_EQ(j["runs"][2]["program"], "plus-parloop");
  EXPECT_EQ(j["runs"][2]["threads"], 2);
  EXPECT_EQ(j["runs"][2]["args"], std::vector<std::string>{"1000"});
  EXPECT_TRUE(j["runs"][3]["printed_seconds"].is_null());
  EXPECT_TRUE(j["runs"][0]["threads"].is_null());
  ASSERT_EQ(j["summary"].size(), 3u);
  EXPECT_DOUBLE_EQ(j["summary"][0]["median"].get<double>(), 0.003);
  EXPECT_DOUBLE_EQ(j["summary"][1]["speedup"].get<double>(), 3.0);
  EXPECT_DOUBLE_EQ(j["summary"][1]["speedup_interval"]["low"].get<double>(), 2.0);
  EXPECT_DOUBLE_EQ(j["summary"][1]["speedup_interval"]["high"].get<double>(), 4.0);
  EXPECT_DOUBLE_EQ(j["summary"][1]["speedup_interval"]["confidence"].get<double>(), 0.5);
  EXPECT_TRUE(j["summary"][1]["median_interval"].is_null());  // one run
  EXPECT_TRUE(j["summary"][1]["stddev"].is_null());
  EXPECT_DOUBLE_EQ(j["summary"][0]["median_interval"]["low"].get<double>(), 0.002);
  EXPECT_FALSE(j["summary"][0]["below_resolution"].get<bool>());
  EXPECT_EQ(j["summary"][1]["speedup_vs"], "plus-static N=1000");
  EXPECT_TRUE(j["summary"][2]["gb_per_s"].is_null());
  EXPECT_EQ(j["summary"][2]["metric"], "wall_seconds");
  // Counters per run and their medians; the model per configuration.
  EXPECT_EQ(j["runs"][0]["counters"]["minor_faults"], 100);
  EXPECT_TRUE(j["runs"][0]["counters"]["perf_cycles"].is_null());
  EXPECT_EQ(j["summary"][0]["counters_median_per_run"]["minor_faults"], 150);
  const nlohmann::json& model = j["summary"][0]["model"];
  EXPECT_NEAR(model["predicted_seconds"].get<double>(), 2 * (6.4e-6 - 1.024e-6) + 0.5e-6, 1e-15);
  EXPECT_EQ(model["explained"], false);
  EXPECT_EQ(model["dominant_term"], "first touch");
  EXPECT_EQ(model["work"]["fresh_pages"], 2);
  EXPECT_EQ(model["level"], "L1");
  EXPECT_TRUE(j["summary"][2]["model"].is_null());
}

TEST(Exporters, PlotsDrawTheModelBesideTheMeasurementsAndARoofline) {
  ks::driver::ResultSet r = made_results();
  // A second size, so that plus-static has a line: 11.25 us predicted at N=1000, and at
  // N=2000 4 fresh pages at 5.376 us and 64 kB of traffic at 48 GB/s (its 48 kB in L2)
  // = 22.84 us.
  r.configs.push_back(config("plus-static", 2000, 0));
  r.runs.push_back(record(3, 0.005));
  r.summary = ks::driver::summarize_runs(r.configs, r.runs);
  ks::driver::add_model_and_counters(r);
  const std::string dir = ::testing::TempDir() + "ks-model-plots-" + std::to_string(getpid());
  fs::create_directories(dir);
  ks::driver::export_results(dir, r, {"csv", "json", "markdown", "maps"});
  const std::string time = slurp(dir + "/plots/time-vector-add.dat");
  EXPECT_NE(time.find("# model: plus-static\n1000 1.1252e-05 1.1252e-05 1.1252e-05\n2000 "
                      "2.28373333e-05 2.28373333e-05 2.28373333e-05\n"),
            std::string::npos)
      << time;
  // One point per modelled configuration: operations per byte of traffic, operations per
  // second measured; the demonstration has none.
  const std::string roof = slurp(dir + "/plots/roofline.dat");
  EXPECT_NE(roof.find("# vector-add\n0.03125 333333.333 \"plus-static N=1000\"\n"),
            std::string::npos)
      << roof;
  EXPECT_NE(roof.find("0.03125 1000000 \"plus-parloop N=1000 T=2\"\n"), std::string::npos) << roof;
  EXPECT_NE(roof.find("0.03125 400000 \"plus-static N=2000\"\n"), std::string::npos) << roof;
  EXPECT_EQ(roof.find("greet-team"), std::string::npos) << roof;
  const std::string script = slurp(dir + "/plots/plots.gp");
  for (const char* part :
       {"1.6e+10*x with lines dt 2 lw 1.5 title 'memory bandwidth, T=1 (16 GB/s)'",
        "2.4e+10*x with lines dt 2 lw 1.5 title 'memory bandwidth, T=2 (24 GB/s)'",
        "4e+09 with lines dt 3 lw 1.5 title 'scalar fp64 adds, T=1 (4 G/s)'", "predicted times",
        "lc rgb '#8c8c8c' dt (2,6)", "with labels"}) {
    EXPECT_NE(script.find(part), std::string::npos) << part;
  }
  fs::remove_all(dir);
}

TEST(Exporters, BytesThatAreNotUtf8AreReplacedInJson) {
  ks::driver::ResultSet results = made_results();
  results.runs[0].why = "found \"...\xb1o Vectores\"";  // cut inside the "ñ" of "Tamaño"
  results.maps[0].trace.problems = {"standard error: \xff\xfe"};
  const std::string dir = ::testing::TempDir() + "ks-utf8-" + std::to_string(getpid());
  fs::create_directories(dir);
  ks::driver::export_results(dir, results, {"csv", "markdown", "plots"});
  const auto json = nlohmann::json::parse(slurp(dir + "/results.json"));
  EXPECT_EQ(json["runs"][0]["reason"], "found \"...\xef\xbf\xbdo Vectores\"");
  const auto map = nlohmann::json::parse(slurp(dir + "/maps/greet-team-T2.json"));
  EXPECT_FALSE(map["follows_rule"].get<bool>());
  fs::remove_all(dir);
}

// A file in the way of one format's output: that file is named, with the reason, and every
// other file of every format is still written.
TEST(Exporters, AFileThatCannotBeWrittenIsNamedAndTheRestIsWritten) {
  const std::string dir = ::testing::TempDir() + "ks-blocked-" + std::to_string(getpid());
  fs::remove_all(dir);
  for (const char* blocked : {"summary.csv", "results.json"}) {
    fs::create_directories(dir + "/" + blocked + "/in-the-way");
  }
  std::ofstream(dir + "/maps") << "a file where the maps' folder goes";
  const ks::driver::Exports exports = ks::driver::export_results(dir, made_results(), {"plots"});
  const std::vector<std::string> failed = exports.failed();
  ASSERT_EQ(failed.size(), 3u);
  EXPECT_EQ(failed[0],
            "cannot write " + dir + "/summary.csv: a folder is in its place, left as it is");
  EXPECT_EQ(failed[1],
            "cannot write " + dir + "/results.json: a folder is in its place, left as it is");
  EXPECT_EQ(failed[2].rfind("cannot create " + dir + "/maps: ", 0), 0u) << failed[2];
  EXPECT_EQ(exports.of("csv").files, std::vector<std::string>{"runs.csv"});
  EXPECT_EQ(exports.of("markdown").files, std::vector<std::string>{"summary.md"});
  EXPECT_TRUE(exports.of("json").files.empty());
  for (const char* file : {"runs.csv", "summary.md"}) {
    EXPECT_TRUE(fs::is_regular_file(dir + "/" + file)) << file;
  }
  fs::remove_all(dir);
}

// A static schedule's map over n iterations and 4 threads: contiguous blocks.
ks::driver::Trace blocks(long long n) {
  ks::driver::Trace t;
  t.team = 4;
  t.columns = n;
  t.rule = "static blocks";
  for (long long i = 0; i < n; ++i) {
    t.cells.push_back({static_cast<int>(i * 4 / n), i, std::nullopt, static_cast<int>(i)});
  }
  return t;
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

// Wide maps are drawn as one bar per run of consecutive iterations, whatever their number;
// narrow ones cell by cell, with borders and labels.
TEST(MapView, WideMapsAreBandsAndNarrowOnesCells) {
  struct Case {
    long long n;
    std::size_t svg_rects;  // the background, then each row and each band (or cell)
    std::size_t data_lines;
    bool labels;
  };
  const Case cases[] = {
      {16, 1 + 4 * 16, 16, true},
      {201, 1 + 4 + 4, 4, false},
      {2000, 1 + 4 + 4, 4, false},
      {100000, 1 + 4 + 4, 4, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    const ks::driver::Trace t = blocks(c.n);
    const std::string svg = ks::driver::map_svg(t, "blocks");
    EXPECT_EQ(count(svg, "<rect"), c.svg_rects);
    EXPECT_LT(svg.size(), 200000u);
    const std::string data = ks::driver::map_gnuplot_data(t);
    EXPECT_EQ(count(data, "\n") - 1, c.data_lines);  // after its header
    const std::string script = ks::driver::map_gnuplot_script(t, "blocks", "m");
    EXPECT_EQ(script.find("with labels") != std::string::npos, c.labels) << script;
    EXPECT_EQ(script.find("noborder") == std::string::npos, c.labels) << script;
    const std::string text = ks::driver::map_text(t, "blocks", false);
    EXPECT_LT(count(text, "\n"), 40u) << "a wide map is summarised on the terminal";
  }
  const std::string text = ks::driver::map_text(blocks(2000), "blocks", false);
  EXPECT_NE(text.find("thread 1 500-999  (500 iterations)\n"), std::string::npos) << text;
  // A thread that comes back many times is shown by its first runs and their number.
  ks::driver::Trace cyclic = blocks(1000);
  for (ks::driver::Cell& cell : cyclic.cells) {
    cell.thread = static_cast<int>(cell.column / 10 % 4);
  }
  const std::string many = ks::driver::map_text(cyclic, "cyclic", false);
  EXPECT_NE(many.find("thread 0 0-9 40-49 80-89"), std::string::npos) << many;
  EXPECT_NE(many.find("... (25 runs in all)  (250 iterations)"), std::string::npos) << many;
}

// A map fits 80 columns on the terminal, every iteration shown, the rule broken into lines; a
// card for a page draws every cell in blocks no wider than a phone's screen, without the title,
// rule and verdict that the page gives once.
TEST(MapView, TextFitsEightyColumnsAndCardsFitAPhone) {
  struct Case {
    const char* what;
    ks::driver::Trace trace;
  };
  ks::driver::Trace sums = blocks(20);  // values up to 190, as chunk-dynamic 20 prints them
  for (ks::driver::Cell& cell : sums.cells) {
    cell.value = cell.column * (cell.column + 1) / 2;
  }
  sums.rule = std::string(200, 'r').replace(60, 1, " ").replace(130, 1, " ");
  ks::driver::Trace wide = blocks(150);
  ks::driver::Trace cyclic = blocks(1000);
  for (ks::driver::Cell& cell : cyclic.cells) {
    cell.thread = static_cast<int>(cell.column / 3 % 4);
  }
  ks::driver::Trace broken = blocks(12);
  broken.problems = {
      "iteration 3 ran twice, on thread 0 and on thread 2, which the rule forbids "
      "since every iteration runs once",
      "iteration 4 never ran"};
  const Case cases[] = {{"20 iterations with sums", sums},
                        {"150 iterations", wide},
                        {"1000 iterations, cyclic", cyclic},
                        {"a broken map", broken}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string text = ks::driver::map_text(c.trace, "title", false);
    std::istringstream lines(text);
    std::size_t longest = 0;
    std::vector<long long> headed;  // the iterations the headings name, in order
    for (std::string line; std::getline(lines, line);) {
      longest = std::max(longest, line.size());
      std::istringstream words(line);
      std::string word;
      words >> word;
      for (long long i = 0; word == "iteration" && words >> i;) {
        headed.push_back(i);
      }
    }
    EXPECT_LE(longest, 80u) << text;
    if (c.trace.columns <= ks::driver::kMapBandColumns) {
      ASSERT_EQ(headed.size(), static_cast<std::size_t>(c.trace.columns)) << text;
      for (std::size_t i = 0; i < headed.size(); ++i) {
        EXPECT_EQ(headed[i], static_cast<long long>(i));
      }
    }
    const std::string card = ks::driver::map_svg(c.trace, "title", true);
    EXPECT_EQ(card.find("rule:"), std::string::npos);
    EXPECT_EQ(card.find("verdict:"), std::string::npos);
    EXPECT_EQ(card.find(">title<"), std::string::npos);
    const std::size_t at = card.find("width=\"");
    EXPECT_LE(std::stoi(card.substr(at + 7)), 440) << card.substr(0, 200);
    if (c.trace.columns <= ks::driver::kMapBandColumns) {
      EXPECT_EQ(count(card, "class=\"cell\""), c.trace.cells.size());
    }
  }
  EXPECT_NE(ks::driver::map_text(broken, "t", false).find("verdict: BREAKS THE RULE: iteration 3"),
            std::string::npos);
}

// A map's title names its arguments and its team in words.
TEST(MapView, TitlesInWords) {
  struct Case {
    const char* program;
    std::vector<std::string> args;
    int threads;
    const char* title;
  };
  const Case cases[] = {
      {"chunk-dynamic", {"20", "4"}, 2, "chunk-dynamic, n = 20, chunk = 4, 2 threads"},
      {"chunk-static", {"3"}, 1, "chunk-static, chunk = 3, 1 thread"},
      {"iter-owner", {"10"}, 4, "iter-owner, n = 10, 4 threads"},
      {"greet-team", {}, 4, "greet-team, 4 threads"},
  };
  for (const Case& c : cases) {
    const ks::driver::ProgramInfo* p = ks::driver::find_program(c.program);
    ASSERT_NE(p, nullptr) << c.program;
    ks::driver::RunSpec spec;
    spec.args = c.args;
    spec.threads = c.threads;
    EXPECT_EQ(ks::driver::map_title(*p, spec), c.title);
  }
}

TEST(Report, HeaderTimesTablesPlotsMapsAndVerdicts) {
  ks::driver::ResultSet results = made_results();
  results.missing = {"mprod-heap", "yupd-o0"};
  results.runs[1].outcome = ks::driver::Outcome::kInvalid;
  results.runs[1].why = "line 1: wrong text";
  results.runs[0].started_at = 1000;
  results.runs[3].started_at = 1075;
  results.summary = ks::driver::summarize_runs(results.configs, results.runs);
  struct Case {
    ks::driver::Exported plots;
    const char* plots_part;
  };
  const Case cases[] = {
      {{{"plots/time-vector-add.dat", "plots/time-vector-add.svg", "plots/time-vector-add.png"},
        ""},
       "## Plots\n\n![time-vector-add](plots/time-vector-add.svg)\n\n## Demonstrations"},
      {{{"plots/plots.gp"}, "gnuplot not found"},
       "## Plots\n\nNot drawn: gnuplot not found\n\n## Demonstrations"},
      {{}, "No run was counted.\n\n## Demonstrations"},  // no plots section
  };
  // The title names the subcommand, not an option given before it.
  ks::driver::ResultSet with_option = results;
  with_option.command = {"kernelscope", "--bin", "build/bin", "tour"};
  EXPECT_EQ(ks::driver::report_markdown(with_option, {}).rfind("# kernelscope tour\n", 0), 0u);
  with_option.command = {"kernelscope", "--no-probe"};
  EXPECT_EQ(ks::driver::report_markdown(with_option, {}).rfind("# kernelscope report\n", 0), 0u);
  for (const Case& c : cases) {
    const std::string md = ks::driver::report_markdown(results, c.plots);
    EXPECT_EQ(md.rfind("# kernelscope sweep\n\n| | |\n|---|---|\n| command | `kernelscope sweep "
                       "plus-static plus-parloop greet-team` |\n| date | 2024-05-01T12:00:00Z |\n",
                       0),
              0u)
        << md;
    for (const char* row :
         {"| CPU | Test CPU, 2 usable CPUs |\n", "| memory | 2.0 GiB |\n",
          "| kernel | Linux test |\n", "| revision | abc123 |\n", "| runs | 4 in 1 min 15 s |\n"}) {
      EXPECT_NE(md.find(row), std::string::npos) << row << md;
    }
    EXPECT_NE(md.find("**Missing from the build:** `mprod-heap` `yupd-o0`\n"), std::string::npos);
    // The kernel's own time against the whole process's, from this result set.
    EXPECT_NE(md.find("Here, plus-static N=1000 took 2 ms by its own clock and 3 ms as a whole "
                      "process. Programs that print no time"),
              std::string::npos)
        << md;
    EXPECT_NE(md.find("## Measurements\n\n| program |"), std::string::npos);
    EXPECT_NE(md.find(c.plots_part), std::string::npos) << md;
    EXPECT_NE(md.find("| greet-team | 2 | follows the rule |\n\n![greet-team T=2]"
                      "(maps/greet-team-T2.svg)\n"),
              std::string::npos)
        << md;
    EXPECT_NE(md.find("## Runs that were not valid (1)\n\n- plus-static N=1000 (invalid): line 1: "
                      "wrong text\n"),
              std::string::npos)
        << md;
  }
}

TEST(Report, TheCommandLineReadsAsAShellWouldTakeItBack) {
  EXPECT_EQ(ks::driver::command_text({"/build/ci/bin/kernelscope", "sweep", "mprod-team",
                                      "--schedules", "static;dynamic,4", "--out", "it's here", ""}),
            "kernelscope sweep mprod-team --schedules 'static;dynamic,4' --out 'it'\\''s here' ''");
}

}  // namespace
