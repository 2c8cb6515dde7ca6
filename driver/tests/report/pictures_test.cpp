// The pictures, read as gnuplot scripts, data and SVG: what a student needs to read them is
// there (the ideal line, the intervals, labelled axes and categories, a key to the cells, the
// values a demonstration exists to show), and series and threads can be told apart.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <fmt/format.h>

#include "driver/analysis/summary.h"
#include "driver/report/exporters.h"
#include "driver/report/map_view.h"
#include "driver/report/plots.h"
#include "driver/tests/support/configs.h"

namespace {

namespace fs = std::filesystem;
using ks::driver::PlotText;
using ks::driver::ResultSet;
using ks::driver::test::config;
using ks::driver::test::record;

// Six valid runs of each configuration around `seconds`, spread by up to 5 %.
void add_runs(ResultSet& r, const ks::driver::Config& c, double seconds) {
  r.configs.push_back(c);
  for (int k = 0; k < 6; ++k) {
    r.runs.push_back(record(r.configs.size() - 1, seconds * (1 + 0.01 * ((k * 7) % 6))));
  }
}

// matrix-product: mprod-heap and mprod-team at two sizes, two team sizes and two schedules;
// vector-add: plus-static and plus-parloop at two sizes and ten team sizes (whose time taken
// by T threads is a T-th); struct-kernel: two variants without a size.
ResultSet sweep() {
  ResultSet r;
  for (std::uint64_t n : {100, 200}) {
    const double cube = static_cast<double>(n * n * n) * 1e-9;
    add_runs(r, config("mprod-heap", n, 0), cube);
    for (const char* schedule : {"static", "dynamic,4"}) {
      for (int t : {1, 2}) {
        ks::driver::Config c = config("mprod-team", n, t);
        c.schedule = schedule;
        add_runs(r, c, cube / t);
      }
    }
  }
  for (std::uint64_t n : {1000, 2000}) {
    add_runs(r, config("plus-static", n, 0), static_cast<double>(n) * 1e-6);
    for (int t = 1; t <= 10; ++t) {
      add_runs(r, config("plus-parloop", n, t), static_cast<double>(n) * 1e-6 / t);
    }
  }
  add_runs(r, config("recmin-base", std::nullopt, 0), 0.004);
  add_runs(r, config("recmin-fused", std::nullopt, 0), 0.002);
  r.summary = ks::driver::summarize_runs(r.configs, r.runs);
  return r;
}

const PlotText* find(const std::vector<PlotText>& plots, const std::string& name) {
  for (const PlotText& p : plots) {
    if (p.name == name) {
      return &p;
    }
  }
  return nullptr;
}

// The rows of a line plot's data: x, y, low, high.
std::vector<std::array<double, 4>> data_rows(const std::string& data) {
  std::vector<std::array<double, 4>> rows;
  std::istringstream in(data);
  std::string line;
  while (std::getline(in, line)) {
    std::array<double, 4> v{};
    if (!line.empty() && line[0] != '#' &&
        std::sscanf(line.c_str(), "%lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3]) == 4) {
      rows.push_back(v);
    }
  }
  return rows;
}

// Each series' style (colour, marker, dash) in the plot command.
std::vector<std::string> series_styles(const std::string& script) {
  std::vector<std::string> styles;
  for (std::size_t at = script.find("with yerrorlines "); at != std::string::npos;
       at = script.find("with yerrorlines ", at + 1)) {
    const std::size_t begin = at + std::string("with yerrorlines ").size();
    const std::string style = script.substr(begin, script.find(" lw ", begin) - begin);
    styles.push_back(style);
  }
  return styles;
}

// One figure per question and family: the time of each program on its largest team with its
// fastest schedule, the speedup of each parallel program and schedule at its largest size, the
// variants side by side.
TEST(Plots, OneFigurePerQuestionWithAHandfulOfSeries) {
  const std::vector<PlotText> plots = ks::driver::plot_texts(sweep());
  std::set<std::string> names;
  for (const PlotText& p : plots) {
    names.insert(p.name);
  }
  const std::set<std::string> expected = {"time-matrix-product", "speedup-matrix-product",
                                          "time-vector-add",     "speedup-vector-add",
                                          "variants-vector-add", "variants-struct-kernel"};
  EXPECT_EQ(names, expected);
  struct Case {
    const char* plot;
    std::vector<std::string> series;  // titles, in order
    const char* title;
  };
  const Case cases[] = {
      {"time-matrix-product",
       {"mprod-heap", "mprod-team T=2 static"},
       "matrix-product: time against size'"},
      {"speedup-matrix-product",
       {"mprod-team static N=200", "mprod-team dynamic,4 N=200"},
       "matrix-product: speedup against threads (vs one thread)'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.plot);
    const PlotText* p = find(plots, c.plot);
    ASSERT_NE(p, nullptr);
    EXPECT_NE(p->script.find(c.title), std::string::npos) << p->script;
    std::vector<std::string> titles;
    for (std::size_t at = p->script.find(" title '"); at != std::string::npos;
         at = p->script.find(" title '", at + 1)) {
      if (at >= 3 && p->script.compare(at - 3, 3, "set") == 0) {
        continue;  // the plot's own title
      }
      const std::size_t begin = at + 8;
      titles.push_back(p->script.substr(begin, p->script.find('\'', begin) - begin));
    }
    titles.erase(std::remove(titles.begin(), titles.end(), "ideal: speedup = threads"),
                 titles.end());
    // The script draws each picture twice (SVG, then PNG by replot): the titles once.
    EXPECT_EQ(titles, c.series);
  }
}

TEST(Plots, SpeedupHasTheIdealLineAndEachPointItsInterval) {
  const std::vector<PlotText> plots = ks::driver::plot_texts(sweep());
  const PlotText* p = find(plots, "speedup-vector-add");
  ASSERT_NE(p, nullptr);
  EXPECT_NE(p->script.find("x with lines lc rgb '#777777' dt 1 lw 3 title 'ideal: speedup = "
                           "threads'"),
            std::string::npos)
      << p->script;
  EXPECT_NE(p->script.find("set xlabel 'threads (OMP_NUM_THREADS)'"), std::string::npos);
  EXPECT_NE(p->script.find("set xtics (1, 2, 3, 4, 5, 6, 7, 8, 9, 10)"), std::string::npos);
  EXPECT_NE(p->script.find("using 1:2:3:4 with yerrorlines"), std::string::npos);
  const auto rows = data_rows(p->data);
  ASSERT_EQ(rows.size(), 10u);  // the larger size, ten team sizes
  for (const auto& [x, y, low, high] : rows) {
    SCOPED_TRACE(x);
    // T threads took a T-th of one thread's time: the speedup is T.
    EXPECT_NEAR(y, x, 1e-9);
    if (x == 1) {
      EXPECT_EQ(low, 1);  // one thread against itself: 1, without an interval
      EXPECT_EQ(high, 1);
    } else {
      EXPECT_LT(low, y);
      EXPECT_GT(high, y);
      EXPECT_GT(low, 0.9 * y);  // six runs spread by 5 %
      EXPECT_LT(high, 1.1 * y);
    }
  }
}

TEST(Plots, ManySeriesDifferInColourMarkerAndDash) {
  // The speedup of mprod-team under eleven schedules: eleven series in one figure.
  ResultSet r;
  for (int k = 1; k <= 11; ++k) {
    for (int t : {1, 2}) {
      ks::driver::Config c = config("mprod-team", 200, t);
      c.schedule = fmt::format("static,{}", k);
      add_runs(r, c, 0.008 / t);
    }
  }
  r.summary = ks::driver::summarize_runs(r.configs, r.runs);
  const std::vector<PlotText> plots = ks::driver::plot_texts(r);
  const PlotText* p = find(plots, "speedup-matrix-product");
  ASSERT_NE(p, nullptr);
  const std::vector<std::string> styles = series_styles(p->script);
  ASSERT_EQ(styles.size(), 11u);
  EXPECT_EQ(std::set<std::string>(styles.begin(), styles.end()).size(), styles.size());
  std::set<std::string> colours;
  std::set<std::string> dashes;
  for (const std::string& s : styles) {
    colours.insert(s.substr(0, s.find(" pt ")));
    dashes.insert(s.substr(s.find(" dt ")));
  }
  EXPECT_EQ(colours.size(), 8u);  // the whole palette
  EXPECT_EQ(dashes.size(), 4u);   // solid, dashed, dotted, dash-dotted
  EXPECT_EQ(colours.count("lc rgb '#F0E442'"), 0u) << "no yellow line on white";
  const std::vector<PlotText> swept = ks::driver::plot_texts(sweep());  // outlives `time`
  const PlotText* time = find(swept, "time-vector-add");
  ASSERT_NE(time, nullptr);
  EXPECT_NE(time->script.find("set ylabel 'seconds (median; bars: its confidence interval)'"),
            std::string::npos);
}

TEST(Plots, VariantsAreLabelledWithWhiskersAndTheReferenceBarInsideTheFrame) {
  const std::vector<PlotText> plots = ks::driver::plot_texts(sweep());
  struct Case {
    const char* plot;
    std::vector<std::string> categories;
    const char* xlabel;
    const char* reference;
  };
  const Case cases[] = {
      {"variants-struct-kernel",
       {"recmin-base", "recmin-fused"},
       "each runs its built-in problem (no size argument)",
       "recmin-base = 1"},
      {"variants-vector-add", {"N=1000", "N=2000"}, "size (N)", "plus-static = 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.plot);
    const PlotText* p = find(plots, c.plot);
    ASSERT_NE(p, nullptr);
    EXPECT_NE(p->script.find("set style histogram errorbars"), std::string::npos);
    EXPECT_NE(p->script.find(std::string("set xlabel '") + c.xlabel + "'"), std::string::npos)
        << p->script;
    EXPECT_NE(p->script.find(std::string("1 with lines lc rgb '#444444' dt 2 lw 1 title '") +
                             c.reference + "'"),
              std::string::npos)
        << p->script;
    // Categories, each with value, low and high per series; the top of the y range above every
    // bar and whisker.
    std::istringstream in(p->data);
    std::string line;
    std::getline(in, line);  // the header
    std::vector<std::string> categories;
    double highest = 0;
    while (std::getline(in, line)) {
      const std::size_t close = line.find('"', 1);
      categories.push_back(line.substr(1, close - 1));
      std::istringstream values(line.substr(close + 1));
      for (double v; values >> v;) {
        highest = std::max(highest, v);
      }
    }
    EXPECT_EQ(categories, c.categories);
    double top = 0;
    ASSERT_EQ(std::sscanf(p->script.substr(p->script.find("set yrange [0:")).c_str(),
                          "set yrange [0:%lf]", &top),
              1);
    EXPECT_GE(highest, 1.0);
    EXPECT_GT(top, highest * 1.05) << "the tallest bar or whisker touches the frame";
  }
  // recmin-fused took half of recmin-base's time: 0.5 with an interval around it; the reference
  // against itself is 1 without one.
  const std::string data = find(plots, "variants-struct-kernel")->data;
  EXPECT_NE(data.find("\"recmin-base\" 1 1 1\n"), std::string::npos) << data;
  double y = 0, low = 0, high = 0;
  ASSERT_EQ(std::sscanf(data.substr(data.find("\"recmin-fused\"") + 14).c_str(), "%lf %lf %lf", &y,
                        &low, &high),
            3);
  EXPECT_NEAR(y, 0.5, 1e-9);
  EXPECT_LT(low, y);
  EXPECT_GT(high, y);
}

// gnuplot reads every script and draws every picture; the SVG holds the ideal line's key.
TEST(Plots, GnuplotDrawsEveryPicture) {
  if (ks::driver::find_gnuplot().empty()) {
    GTEST_SKIP() << "gnuplot is not installed";
  }
  const std::string dir = ::testing::TempDir() + "ks-pictures-" + std::to_string(getpid());
  fs::remove_all(dir);
  fs::create_directories(dir);
  const ResultSet results = sweep();
  const ks::driver::Exports exports = ks::driver::export_results(dir, results, {"csv", "json"});
  EXPECT_EQ(exports.of("plots").notice, "");
  for (const PlotText& p : ks::driver::plot_texts(results)) {
    SCOPED_TRACE(p.name);
    EXPECT_TRUE(fs::exists(dir + "/plots/" + p.name + ".png"));
    std::ifstream in(dir + "/plots/" + p.name + ".svg");
    const std::string svg((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
    if (p.name.starts_with("speedup-")) {
      EXPECT_NE(svg.find("ideal: speedup = threads"), std::string::npos);
    }
  }
  fs::remove_all(dir);
}

// A trace of own-copy-like output: `team` threads over `columns` iterations in blocks, the
// per-thread lines printed in the order given, and main's value.
ks::driver::Trace sums_trace(int team, long long columns, std::vector<int> printed_order) {
  ks::driver::Trace t;
  t.team = team;
  t.columns = columns;
  t.rule = "static blocks";
  t.thread_value_label = "suma";
  t.outside_label = "suma fuera";
  t.outside = 0;
  int order = 0;
  for (long long i = 0; i < columns; ++i) {
    t.cells.push_back({static_cast<int>(i * team / columns), i, std::nullopt, order++});
  }
  for (int thread : printed_order) {
    t.thread_values.emplace_back(thread, 7 + thread);
  }
  return t;
}

TEST(Maps, TheValuesAfterTheLoopComeInThreadOrderWithMainsValueAndAKey) {
  const ks::driver::Trace t = sums_trace(4, 7, {3, 0, 2, 1});
  const std::string lines =
      "thread 0 after the loop: suma= 7\nthread 1 after the loop: suma= 8\n"
      "thread 2 after the loop: suma= 9\nthread 3 after the loop: suma= 10\n"
      "main after the region: suma fuera = 0\n";
  const std::string text = ks::driver::map_text(t, "own-copy, T=4", false);
  EXPECT_NE(text.find("(a filled cell: the thread ran that iteration)\n" + lines),
            std::string::npos)
      << text;
  const std::string svg = ks::driver::map_svg(t, "own-copy, T=4");
  std::size_t last = 0;
  for (const char* line :
       {"a filled cell: the thread ran that iteration", "thread 0 after the loop",
        "thread 1 after the loop", "thread 2 after the loop", "thread 3 after the loop",
        "main after the region: suma fuera = 0"}) {
    const std::size_t at = svg.find(line);
    ASSERT_NE(at, std::string::npos) << line;
    EXPECT_GT(at, last) << line << " out of order";
    last = at;
  }
  const std::string script = ks::driver::map_gnuplot_script(t, "own-copy, T=4", "map");
  EXPECT_NE(script.find("set xlabel 'iteration'\nset ylabel 'thread'\n"), std::string::npos)
      << script;
  last = 0;
  for (const char* label : {"set label 1 \"a filled cell: the thread ran that iteration\"",
                            "set label 2 \"thread 0 after the loop: suma= 7\"",
                            "set label 3 \"thread 1 after the loop: suma= 8\"",
                            "set label 4 \"thread 2 after the loop: suma= 9\"",
                            "set label 5 \"thread 3 after the loop: suma= 10\"",
                            "set label 6 \"main after the region: suma fuera = 0\""}) {
    const std::size_t at = script.find(label);
    ASSERT_NE(at, std::string::npos) << label << " in\n" << script;
    EXPECT_GT(at, last);
    last = at;
  }
}

TEST(Maps, TheKeySaysWhatTheCellsHold) {
  struct Case {
    const char* name;
    ks::driver::Trace trace;
    const char* key;
    const char* xlabel;
    const char* ylabel;
  };
  ks::driver::Trace values = sums_trace(2, 4, {});
  values.value_label = "suma";
  for (ks::driver::Cell& c : values.cells) {
    c.value = c.column;
  }
  ks::driver::Trace unknown_thread;
  unknown_thread.columns = 2;
  unknown_thread.value_label = "a[i]";
  unknown_thread.cells = {{-1, 0, 1, 0}, {-1, 1, 3, 1}};
  ks::driver::Trace items;
  items.team = 1;
  items.columns = 2;
  items.column_labels = {"Hello", "world"};
  items.cells = {{0, 0, std::nullopt, 0}, {0, 1, std::nullopt, 1}};
  const Case cases[] = {
      {"values", values, "cells: the thread's suma after the iteration", "iteration", "thread"},
      {"no thread", unknown_thread, "cells: a[i] as the program printed it, by iteration",
       "iteration", ""},
      {"items", items, "cells: #k is the item's place in the output (#1 was printed first)",
       "what each thread printed", "thread"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NE(ks::driver::map_text(c.trace, "t", false).find(std::string("(") + c.key + ")\n"),
              std::string::npos);
    EXPECT_NE(ks::driver::map_svg(c.trace, "t").find(c.key), std::string::npos);
    const std::string script = ks::driver::map_gnuplot_script(c.trace, "t", "map");
    EXPECT_NE(script.find(std::string("set label 1 \"") + c.key + "\""), std::string::npos)
        << script;
    EXPECT_NE(
        script.find(std::string("set xlabel '") + c.xlabel + "'\nset ylabel '" + c.ylabel + "'"),
        std::string::npos)
        << script;
  }
}

TEST(Maps, TwelveThreadsGetTwelveColours) {
  const ks::driver::Trace t = sums_trace(12, 12, {});
  // PNG: the colour column of the data, one per thread.
  std::map<int, std::set<std::string>> png;
  std::istringstream data(ks::driver::map_gnuplot_data(t));
  std::string line;
  std::getline(data, line);
  for (int column = 0, row = 0; data >> column >> row >> line;) {
    std::string label;
    std::getline(data, label);
    png[row].insert(line);
  }
  std::set<std::string> png_colours;
  for (const auto& [row, colours] : png) {
    EXPECT_EQ(colours.size(), 1u) << "thread " << row;
    png_colours.insert(*colours.begin());
  }
  EXPECT_EQ(png_colours.size(), 12u);
  // SVG: the fill of each thread's cell.
  const std::string svg = ks::driver::map_svg(t, "t");
  std::set<std::string> svg_colours;
  for (std::size_t at = svg.find("stroke=\"white\""); at != std::string::npos;
       at = svg.find("stroke=\"white\"", at + 1)) {
    const std::size_t fill = svg.rfind("fill=\"#", at);
    svg_colours.insert(svg.substr(fill + 6, 7));
  }
  EXPECT_EQ(svg_colours.size(), 12u);
  // Terminal: the background of each thread's cells.
  const std::string text = ks::driver::map_text(t, "t", true);
  std::set<std::string> backgrounds;
  for (std::size_t at = text.find("\033[48;5;"); at != std::string::npos;
       at = text.find("\033[48;5;", at + 1)) {
    backgrounds.insert(text.substr(at + 7, text.find('m', at) - at - 7));
  }
  EXPECT_EQ(backgrounds.size(), 12u);
}

}  // namespace
