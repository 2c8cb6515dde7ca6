// The pictures, read as gnuplot scripts, data and SVG: what a student needs to read them is
// there (the ideal line, the intervals, labelled axes and categories), and series can be told
// apart.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "driver/exporters.h"
#include "driver/plots.h"
#include "driver/summary.h"
#include "driver/tests/configs.h"

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

TEST(Plots, EachScheduleHasItsOwnTimeAndSpeedupPicture) {
  const std::vector<PlotText> plots = ks::driver::plot_texts(sweep());
  std::set<std::string> names;
  for (const PlotText& p : plots) {
    names.insert(p.name);
  }
  const std::set<std::string> expected = {"time-matrix-product",
                                          "time-matrix-product-static",
                                          "time-matrix-product-dynamic-4",
                                          "speedup-matrix-product-static",
                                          "speedup-matrix-product-dynamic-4",
                                          "time-vector-add",
                                          "speedup-vector-add",
                                          "variants-vector-add",
                                          "variants-struct-kernel"};
  EXPECT_EQ(names, expected);
  struct Case {
    const char* plot;
    std::vector<std::string> series;  // titles, in order
    const char* title;
  };
  const Case cases[] = {
      {"time-matrix-product", {"mprod-heap"}, "matrix-product: time against size'"},
      // A schedule's picture shows the sequential baseline for reference.
      {"time-matrix-product-static",
       {"mprod-heap", "mprod-team T=1", "mprod-team T=2"},
       "matrix-product: time against size, OMP_SCHEDULE=static'"},
      {"time-matrix-product-dynamic-4",
       {"mprod-heap", "mprod-team T=1", "mprod-team T=2"},
       "OMP_SCHEDULE=dynamic,4'"},
      {"speedup-matrix-product-dynamic-4",
       {"mprod-team N=100", "mprod-team N=200"},
       "matrix-product: speedup against threads (vs one thread), OMP_SCHEDULE=dynamic,4'"},
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
  ASSERT_EQ(rows.size(), 20u);  // two sizes, ten team sizes
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
  const std::vector<PlotText> plots = ks::driver::plot_texts(sweep());
  const PlotText* p = find(plots, "time-vector-add");
  ASSERT_NE(p, nullptr);
  const std::vector<std::string> styles = series_styles(p->script);
  ASSERT_EQ(styles.size(), 11u);  // plus-static and plus-parloop at ten team sizes
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
  EXPECT_NE(p->script.find("set ylabel 'seconds (median; bars: its confidence interval)'"),
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

}  // namespace
