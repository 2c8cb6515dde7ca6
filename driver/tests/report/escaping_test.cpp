// Texts from outside, escaped for each file they go into: gnuplot's scripts and data files,
// Markdown, the shell. Each escape is read back by the program that reads that file (gnuplot, a
// GitHub-flavoured Markdown renderer) where it is installed, with every byte and with texts made
// to break out.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "driver/analysis/summary.h"
#include "driver/base/text.h"
#include "driver/report/compare_report.h"
#include "driver/report/exporters.h"
#include "driver/report/map_view.h"
#include "driver/report/markdown_export.h"
#include "driver/report/plots.h"
#include "driver/session/measure.h"
#include "driver/tests/support/configs.h"
#include "spawn/spawn.h"

namespace {

namespace fs = std::filesystem;
namespace kd = ks::driver;
using kd::GnuplotField;
using kd::GnuplotQuotes;
using kd::test::config;
using kd::test::record;
using namespace std::string_literals;

// A folder of the test's own, removed at its end, pass or fail.
class Scratch {
 public:
  explicit Scratch(const std::string& name) : path_(::testing::TempDir() + "ks-escape-" + name) {
    path_ += "-XXXXXX";
    if (mkdtemp(path_.data()) == nullptr) {
      ADD_FAILURE() << "cannot make " << path_;
    }
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The test's working folder for a while: a command that a fault let run would leave its file
// there, where the test looks for it and removes it, not wherever the tests run.
class WorkingIn {
 public:
  explicit WorkingIn(const std::string& dir) : before_(fs::current_path()) {
    fs::current_path(dir);
  }
  ~WorkingIn() {
    std::error_code ec;
    fs::current_path(before_, ec);
  }
  WorkingIn(const WorkingIn&) = delete;
  WorkingIn& operator=(const WorkingIn&) = delete;

 private:
  fs::path before_;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Whether a file named HIT is anywhere under `dir`: what the texts below would make if gnuplot
// ran any of them.
bool hit_under(const std::string& dir) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->path().filename() == "HIT") {
      return true;
    }
  }
  return false;
}

// Texts that would run `touch HIT` in gnuplot's folder, or break its line, if a literal let them
// out: a backquote, a line break before a command, a quote closing the literal early (gnuplot
// reads '' at a literal's start or twice in a row as an end), a macro, a format.
const std::vector<std::string> kBreakouts = {
    "`touch HIT`",
    "x\nsystem(\"touch HIT\")\nprint \"",
    "x'\nsystem('touch HIT')\nprint '",
    "'' ; system(\"touch HIT\") ; print ''",
    "x'''' ; system(\"touch HIT\") ; print ''''",
    "\" ; system(\"touch HIT\") ; print \"",
    "\\\" ; system(\"touch HIT\") ; print \"\\",
    "\\`touch HIT\\`",
    "end \\\nsystem(\"touch HIT\")",
    "\r\nsystem(\"touch HIT\")\r\n",
    "@m `touch HIT` $(touch HIT)",
    "%s %n %999999999f %",
};

// Every byte alone, doubled and inside a text.
std::vector<std::string> every_byte() {
  std::vector<std::string> texts;
  for (int b = 0; b < 256; ++b) {
    const std::string c(1, static_cast<char>(b));
    texts.push_back(c);
    texts.push_back(c + c);
    texts.push_back("a" + c + "1b");
  }
  return texts;
}

// Every byte and every breakout in one text.
std::string all_in_one() {
  std::string s;
  for (const std::string& b : kBreakouts) {
    s += b + " ";
  }
  for (int b = 0; b < 256; ++b) {
    s += static_cast<char>(b);
  }
  return s;
}

// --- gnuplot --------------------------------------------------------------------------------

TEST(GnuplotString, WritesTheLiteralThatGnuplotReadsBack) {
  struct Case {
    std::string text;
    GnuplotField field;
    GnuplotQuotes quotes;
    std::string literal;
  };
  const GnuplotField text = GnuplotField::kText;
  const GnuplotQuotes single = GnuplotQuotes::kSingle;
  const GnuplotQuotes twice = GnuplotQuotes::kDouble;
  const std::vector<Case> cases = {
      // Ordinary texts are written as before: single-quoted, a lone quote doubled.
      {"speedup (one thread's median / median)", text, single,
       "'speedup (one thread''s median / median)'"},
      {"1.20 μs × 4, Tamaño, OMP_SCHEDULE=dynamic,4", text, single,
       "'1.20 μs × 4, Tamaño, OMP_SCHEDULE=dynamic,4'"},
      {"", text, single, "''"},
      {"it's", text, twice, "\"it's\""},
      // What single quotes cannot carry: a quote first, two together, a line break, a tab.
      {"'quoted' first", text, single, "\"'quoted' first\""},
      {"two '' together", text, single, "\"two '' together\""},
      {"title\nverdict", text, single, "\"title\\nverdict\""},
      {"a\tb\rc", text, single, "\"a\\tb\\rc\""},
      // A backquote runs a command in double quotes only, unless escaped.
      {"`touch x`", text, single, "'`touch x`'"},
      {"`touch x`\n", text, single, "\"\\`touch x\\`\\n\""},
      {"back\\slash \"q\" @m $x", text, twice, "\"back\\\\slash \\\"q\\\" @m $x\""},
      // What is not text becomes U+FFFD: NUL, other controls, bytes that are not UTF-8.
      {"nul\0x\x01y\x7f"s, text, single, "'nul\uFFFDx\uFFFDy\uFFFD'"},
      {"\xff\xc3 caf\xc3\xa9 \xed\xa0\x80", text, single, "'\uFFFD\uFFFD café \uFFFD\uFFFD\uFFFD'"},
      // Tic labels are formats.
      {"50% of %s", GnuplotField::kTicLabel, single, "'50%% of %%s'"},
      {"1K", GnuplotField::kTicLabel, twice, "\"1K\""},
      // A data file's column: no quote, no line break, no tab inside.
      {"a \"b\" \\c\nd\te`x`", GnuplotField::kData, single, "\"a 'b' \\\\c d e`x`\""},
      {"", GnuplotField::kData, single, "\"\""},
      // A path byte for byte.
      {"/tmp/caf\xe9", GnuplotField::kPath, single, "'/tmp/caf\xe9'"},
      {"/tmp/a\nb'", GnuplotField::kPath, single, "\"/tmp/a\\nb'\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kd::gnuplot_string(c.text, c.field, c.quotes), c.literal) << c.text;
  }
}

// What gnuplot shows of `text` written for `field`.
std::string shown(const std::string& text, GnuplotField field) {
  if (field == GnuplotField::kPath) {
    return text;
  }
  std::string s = kd::displayable(text);
  if (field == GnuplotField::kTicLabel) {
    std::string doubled;
    for (char c : s) {
      doubled += c == '%' ? std::string("%%") : std::string(1, c);
    }
    return doubled;
  }
  if (field == GnuplotField::kData) {
    for (char& c : s) {
      c = c == '"' ? '\'' : (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
    }
  }
  return s;
}

// Every byte alone, doubled and inside a text, and every breakout, through every kind of
// literal: gnuplot reads each back as the text it shows, and runs none.
TEST(GnuplotString, EveryByteAndBreakoutReadsBackAndRunsNothing) {
  const std::string gnuplot = kd::find_gnuplot();
  if (gnuplot.empty()) {
    GTEST_SKIP() << "gnuplot is not installed";
  }
  const Scratch dir("gnuplot-bytes");
  const WorkingIn here(dir.path());
  std::vector<std::string> texts = every_byte();
  texts.insert(texts.end(), kBreakouts.begin(), kBreakouts.end());
  texts.push_back(all_in_one());

  // Scripts: each literal printed.
  std::string script = "set print 'printed.txt'\n";
  std::string printed;
  const std::vector<std::pair<GnuplotField, GnuplotQuotes>> kinds = {
      {GnuplotField::kText, GnuplotQuotes::kSingle},
      {GnuplotField::kText, GnuplotQuotes::kDouble},
      {GnuplotField::kTicLabel, GnuplotQuotes::kSingle},
      {GnuplotField::kTicLabel, GnuplotQuotes::kDouble},
      {GnuplotField::kPath, GnuplotQuotes::kSingle}};
  for (const std::string& t : texts) {
    for (const auto& [field, quotes] : kinds) {
      if (field == GnuplotField::kPath && t.find('\0') != std::string::npos) {
        continue;  // no path holds a NUL
      }
      script += "print " + kd::gnuplot_string(t, field, quotes) + "\n";
      printed += shown(t, field) + "\n";
    }
  }
  // A data file: each text a point's label, read back through a table.
  std::string data;
  std::vector<std::string> labels;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    data += fmt::format("{} {}\n", i, kd::gnuplot_string(texts[i], GnuplotField::kData));
    labels.push_back(shown(texts[i], GnuplotField::kData));
  }
  script += "unset print\nset table 'table.txt'\nplot 'points.dat' using 1:1:2 with labels\n";
  script += "unset table\n";
  std::ofstream(dir.path() + "/points.dat", std::ios::binary) << data;
  std::ofstream(dir.path() + "/bytes.gp", std::ios::binary) << script;

  EXPECT_EQ(kd::run_gnuplot(gnuplot, dir.path() + "/bytes.gp", dir.path()), "");
  EXPECT_FALSE(hit_under(dir.path()));
  EXPECT_TRUE(slurp(dir.path() + "/printed.txt") == printed) << "gnuplot printed other texts";
  std::vector<std::string> read;
  std::istringstream table(slurp(dir.path() + "/table.txt"));
  for (std::string line; std::getline(table, line);) {
    if (!line.empty() && line[0] != '#' && line.find('"') != std::string::npos) {
      const std::size_t open = line.find('"');
      read.push_back(line.substr(open + 1, line.rfind('"') - open - 1));
    }
  }
  ASSERT_EQ(read.size(), labels.size());
  for (std::size_t i = 0; i < labels.size(); ++i) {
    EXPECT_EQ(read[i], labels[i]) << "label " << i;
  }
}

// The hand-made results of a sweep with `hostile` wherever a store, a ceilings file or a
// program puts text: every configuration's schedule, a configuration's arguments, the vector
// ISA of the ceilings, an invalid run's reason, a map's labels.
kd::ResultSet hostile_results(const std::string& hostile, double factor = 1) {
  kd::ResultSet r;
  r.command = {"kernelscope", "sweep", hostile};
  auto add = [&](kd::Config c, double seconds) {
    r.configs.push_back(c);
    for (int k = 0; k < 6; ++k) {
      r.runs.push_back(record(r.configs.size() - 1, factor * seconds * (1 + 0.01 * ((k * 7) % 6))));
    }
  };
  for (std::uint64_t n : {1000, 2000}) {
    add(config("plus-static", n, 0), static_cast<double>(n) * 1e-6);
    for (int t : {1, 2}) {
      add(config("plus-parloop", n, t), static_cast<double>(n) * 1e-6 / t);
      kd::Config c = config("mprod-team", n / 10, t);
      c.schedule = hostile;
      add(c, static_cast<double>(n) * 1e-5 / t);
    }
  }
  kd::Config base = config("recmin-base", std::nullopt, 0);
  base.args = std::vector<std::string>{hostile};
  add(base, 0.004);
  add(config("recmin-fused", std::nullopt, 0), 0.002);
  std::ifstream in(std::string(KS_DRIVER_TEST_DATA) + "/probe.json");
  nlohmann::json probe = nlohmann::json::parse(in);
  for (nlohmann::json& result : probe["compute"]["results"]) {
    if (result["code"] != "scalar") {
      result["code"] = hostile;
    }
  }
  r.context["ceilings"] = {{"source", "file"}, {"file", hostile}, {"probe", probe}};
  r.summary = kd::summarize_runs(r.configs, r.runs);
  kd::add_model_and_counters(r);
  return r;
}

kd::Trace hostile_trace(const std::string& hostile) {
  kd::Trace t;
  t.team = 2;
  t.columns = 3;
  t.column_labels = {hostile, "%s", "'"};
  t.value_label = hostile;
  t.thread_value_label = hostile;
  t.outside_label = hostile;
  t.outside = 3;
  t.problems = {hostile};
  for (long long i = 0; i < 3; ++i) {
    t.cells.push_back({static_cast<int>(i % 2), i, i, static_cast<int>(i)});
  }
  t.thread_values = {{0, 1}, {1, 2}};
  return t;
}

// The plots, the roofline, a schedule map and compare's plot, with every byte and every
// breakout in each field a store, a ceilings file or a program fills, drawn in a folder whose
// own name holds quotes, a backquote and a line break: gnuplot draws every picture and runs
// nothing.
TEST(GnuplotFiles, HostileTextsInEveryFieldAreDrawnAndRunNothing) {
  const std::string gnuplot = kd::find_gnuplot();
  if (gnuplot.empty()) {
    GTEST_SKIP() << "gnuplot is not installed";
  }
  const Scratch scratch("gnuplot-fields");
  const WorkingIn here(scratch.path());
  const std::string dir = scratch.path() + "/out '\"`touch HIT`$(touch HIT)\n\t\xff";
  fs::create_directories(dir);
  const std::string hostile = all_in_one();

  const kd::ResultSet results = hostile_results(hostile);
  const kd::Exports exports = kd::export_results(dir, results, {"csv", "json", "html"});
  const kd::Exported& plots = exports.of("plots");
  EXPECT_EQ(plots.notice, "");
  EXPECT_TRUE(plots.failed.empty()) << plots.failed.front();
  const std::vector<kd::PlotText> texts = kd::plot_texts(results);
  EXPECT_GE(texts.size(), 5u);  // time and speedup per schedule, variants, roofline
  for (const kd::PlotText& p : texts) {
    SCOPED_TRACE(p.name);
    EXPECT_EQ(p.name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                       "0123456789-._+"),
              std::string::npos);
    EXPECT_TRUE(fs::exists(dir + "/plots/" + p.name + ".svg"));
    EXPECT_TRUE(fs::exists(dir + "/plots/" + p.name + ".png"));
  }
  EXPECT_NE(slurp(dir + "/plots/plots.gp").find("\\`touch HIT\\`"), std::string::npos);

  // A map with the hostile labels, and one whose 256 columns are named by each byte alone.
  kd::Trace bytes = hostile_trace("x");
  bytes.columns = 256;
  bytes.column_labels.clear();
  for (int b = 0; b < 256; ++b) {
    bytes.column_labels.push_back(std::string(1, static_cast<char>(b)));
    bytes.cells.push_back({b % 2, b, std::nullopt, b});
  }
  const kd::ProgramInfo& program = *kd::find_program("chunk-static");
  for (const auto& [stem, trace] :
       {std::pair{"hostile", hostile_trace(hostile)}, std::pair{"bytes", bytes}}) {
    kd::RunSpec spec;
    spec.args = {hostile};
    spec.threads = 2;
    const kd::Exported map = kd::write_map_files(dir, stem, program, spec, trace);
    EXPECT_TRUE(map.failed.empty()) << map.failed.front();
    EXPECT_TRUE(fs::exists(dir + "/" + stem + ".png")) << stem;
  }

  // compare's plot, its labels holding the hostile schedule and arguments.
  const kd::ResultSet slower = hostile_results(hostile, 2);
  const kd::CompareResult compared = kd::compare_results(results, slower, std::nullopt);
  ASSERT_FALSE(compared.configs.empty());
  const kd::Exported plot =
      kd::write_compare_plot(dir, {dir, results, {}}, {dir, slower, {}}, compared);
  EXPECT_EQ(plot.notice, "");
  EXPECT_TRUE(fs::exists(dir + "/compare.svg"));

  EXPECT_FALSE(hit_under(scratch.path()));
}

// Schedules that a store holds never reach a plot's file name.
TEST(GnuplotFiles, SchedulesNeverReachAPlotsFileName) {
  kd::ResultSet r;
  const std::vector<std::string> schedules = {"dynamic,4", "a/../../b", "a:b", "a,b",
                                              std::string(300, 'x')};
  for (const std::string& schedule : schedules) {
    for (int t : {1, 2}) {
      for (std::uint64_t n : {100, 200}) {
        kd::Config c = config("mprod-team", n, t);
        c.schedule = schedule;
        r.configs.push_back(c);
        r.runs.push_back(record(r.configs.size() - 1, 1e-3 * static_cast<double>(n) / t));
      }
    }
  }
  r.summary = kd::summarize_runs(r.configs, r.runs);
  std::vector<std::string> names;
  for (const kd::Plot& p : kd::plot_models(r)) {
    if (p.name.starts_with("time-")) {
      names.push_back(p.name);
    }
  }
  // One time figure for the family: a schedule names a series, never a file.
  const std::vector<std::string> expected = {"time-matrix-product"};
  EXPECT_EQ(names, expected);
}

// --- Markdown -------------------------------------------------------------------------------

TEST(MarkdownText, EscapesWhatMarkdownWouldReadAsMarkup) {
  struct Case {
    std::string text;
    std::string escaped;
  };
  const std::vector<Case> cases = {
      // Ordinary texts are as they were.
      {"plus-parloop N=1M T=2 dynamic,4", "plus-parloop N=1M T=2 dynamic,4"},
      {"OMP_PROC_BIND=close OMP_PLACES={0,1}", "OMP_PROC_BIND=close OMP_PLACES={0,1}"},
      {"Intel(R) Xeon(R) CPU @ 2.20GHz, 1.2 μs <12 us, try N >= 1M",
       "Intel(R) Xeon(R) CPU @ 2.20GHz, 1.2 μs <12 us, try N >= 1M"},
      // Markup escaped.
      {"<img src=x onerror=alert(1)>", "\\<img src=x onerror=alert(1)>"},
      {"</b> <!-- <?x <", "\\</b> \\<!-- \\<?x \\<"},
      {"a|b `c` *d* [e](f) ~g~ \\h", "a\\|b \\`c\\` \\*d\\* \\[e\\](f) \\~g\\~ \\\\h"},
      {"_em_ a_b_c é_ü x_ _", "\\_em\\_ a_b_c é_ü x\\_ \\_"},
      {"&amp; &#60; & R&D &", "\\&amp; \\&#60; & R\\&D \\&"},
      // One line; what is not text becomes U+FFFD.
      {"one\ntwo\r\nthree\t4", "one two  three\t4"},
      {"nul\0\xff"s, "nul\uFFFD\uFFFD"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kd::markdown_text(c.text), c.escaped) << c.text;
  }
}

TEST(MarkdownCode, DelimitsByMoreBackticksThanTheText) {
  struct Case {
    std::string text;
    bool in_table;
    std::string span;
  };
  const std::vector<Case> cases = {
      {"kernelscope sweep plus-static", true, "`kernelscope sweep plus-static`"},
      {"a|b", false, "`a|b`"},
      {"a|b", true, "`a\\|b`"},
      {"a`b", false, "``a`b``"},
      {"x``y```z", false, "````x``y```z````"},
      {"``x", false, "``` ``x ```"},
      {"`x", false, "`` `x ``"},
      {" x ", false, "`  x  `"},
      {" x", false, "` x`"},
      {"  ", false, "`  `"},
      {"", false, "` `"},
      {"<img src=x>\nline", false, "`<img src=x> line`"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kd::markdown_code(c.text, c.in_table), c.span) << c.text;
  }
}

// The GitHub-flavoured Markdown renderer, or "".
std::string find_renderer() {
  for (const char* dir : {"/usr/bin", "/usr/local/bin"}) {
    const std::string path = std::string(dir) + "/cmark-gfm";
    if (access(path.c_str(), X_OK) == 0) {
      return path;
    }
  }
  return "";
}

// Markdown as a viewer that allows HTML shows it.
std::string render(const std::string& renderer, const std::string& markdown) {
  ks::RunOptions options;
  options.args = {"--unsafe", "-e", "table"};
  options.stdin_data = markdown;
  options.timeout_seconds = 60;
  const ks::RunResult r = ks::run_program(renderer, options);
  EXPECT_TRUE(r.ok()) << r.err;
  return r.out;
}

// `text` as the renderer writes text in HTML.
std::string as_html(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c == '&'   ? "&amp;"
           : c == '<' ? "&lt;"
           : c == '>' ? "&gt;"
           : c == '"' ? "&quot;"
                      : std::string(1, c);
  }
  return out;
}

const std::vector<std::string> kMarkup = {
    "<img src=x onerror=alert(1)>",
    "<script>alert(1)</script>",
    "a|b||c",
    "`code` ``x`` ```",
    "**bold** __b__ _em_ *em* ~~del~~ ~d~",
    "[link](javascript:alert(1)) ![i](x) [r]: /x",
    "&lt;img&gt; &amp; &#60; &copy",
    "\\*not\\* \\",
    "<!-- c --> <?php ?> <![CDATA[x]]> <!DOCTYPE x>",
    "<https://example.invalid> <a@b.c>",
    "line\nbreak\n\n<img src=x>\n# h\n---\n> q\n1. l\n| x |",
    "trailing\\",
    "x<",
    "x&",
    "_",
};

// Every byte alone, doubled and inside a text, and texts full of markup, as text in a paragraph
// and in a table cell and as code spans: the renderer shows each as it is, on one line, in its
// own cell.
TEST(MarkdownText, EveryByteAndMarkupIsShownAsItIs) {
  const std::string renderer = find_renderer();
  if (renderer.empty()) {
    GTEST_SKIP() << "cmark-gfm is not installed";
  }
  std::vector<std::string> texts = every_byte();
  texts.insert(texts.end(), kMarkup.begin(), kMarkup.end());

  std::string paragraphs;
  std::string table = "| n | text | code |\n|---|---|---|\n";
  for (std::size_t i = 0; i < texts.size(); ++i) {
    paragraphs +=
        "x" + kd::markdown_text(texts[i]) + "x " + kd::markdown_code(texts[i], false) + " x\n\n";
    table += fmt::format("| {} | x{}x | {} |\n", i, kd::markdown_text(texts[i]),
                         kd::markdown_code(texts[i], true));
  }
  std::vector<std::string> shown_paragraphs;
  std::istringstream p(render(renderer, paragraphs));
  for (std::string line; std::getline(p, line);) {
    shown_paragraphs.push_back(line);
  }
  std::vector<std::string> cells;
  std::istringstream t(render(renderer, table));
  for (std::string line; std::getline(t, line);) {
    if (line.starts_with("<td")) {
      cells.push_back(line);
    }
  }
  ASSERT_EQ(shown_paragraphs.size(), texts.size());
  ASSERT_EQ(cells.size(), 3 * texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::string text = as_html(kd::one_line(texts[i]));
    const std::string code = text.empty() ? " " : text;
    EXPECT_EQ(shown_paragraphs[i], "<p>x" + text + "x <code>" + code + "</code> x</p>")
        << "text " << i;
    EXPECT_EQ(cells[3 * i], fmt::format("<td>{}</td>", i));
    EXPECT_EQ(cells[3 * i + 1], "<td>x" + text + "x</td>") << "text " << i;
    EXPECT_EQ(cells[3 * i + 2], "<td><code>" + code + "</code></td>") << "text " << i;
  }
}

// report.md and compare.md with markup wherever a store, a program or the caller's environment
// puts text: shown as text, no tag, link or emphasis of it, every row whole.
TEST(MarkdownReports, ForeignTextsRenderAsText) {
  const std::string renderer = find_renderer();
  if (renderer.empty()) {
    GTEST_SKIP() << "cmark-gfm is not installed";
  }
  const std::string hostile =
      "<img src=x onerror=alert(1)> a|b _em_ ~~del~~ [a](javascript:alert(1)) `c` "
      "<script>alert(1)</script>\n# h";
  kd::ResultSet r = hostile_results(hostile);
  r.context["host"] = hostile;
  r.context["kernel"] = hostile;
  r.context["cpu"] = {{"model", hostile}, {"scaling_governor", hostile}};
  r.context["build"] = {{"compiler", hostile}};
  r.context["openmp"] = {{"places", hostile},
                         {"passed_from_caller", {{"OMP_DISPLAY_ENV", hostile}}}};
  r.context["conditions"] = {{"warnings", {hostile}}};
  r.context["counters"] = {{"events", true}, {"notice", hostile}};
  r.missing = {hostile};
  kd::RunRecord bad = record(0, 0.001, false, kd::Outcome::kInvalid);
  bad.why = hostile;
  r.runs.push_back(bad);
  kd::DemoMap map{0, hostile_trace(hostile)};
  r.maps = {map};
  r.nodes = {{hostile, hostile_results(hostile)}, {hostile + "2", hostile_results(hostile, 2)}};

  const std::string shown = as_html(kd::one_line(hostile));
  const std::string report = render(renderer, kd::report_markdown(r, {{}, hostile}));
  const kd::ResultSet slower = hostile_results(hostile, 2);
  const std::string compare = render(
      renderer, kd::compare_markdown({hostile, r, {hostile}}, {hostile, slower, {hostile}},
                                     kd::compare_results(r, slower, std::nullopt), {{}, hostile}));
  for (const auto& [name, html] : {std::pair{"report.md", report}, {"compare.md", compare}}) {
    SCOPED_TRACE(name);
    for (const char* tag : {"<img src=x", "<script", "<em>", "<del>", "<h1>h"}) {
      EXPECT_EQ(html.find(tag), std::string::npos) << tag;
    }
    EXPECT_EQ(html.find("href=\"javascript"), std::string::npos);
    EXPECT_NE(html.find(shown), std::string::npos);
  }
  // In the tables: the host's row and the nodes' headings show the whole text.
  for (const std::string& part :
       {"<td>host</td>\n<td>" + shown + "</td>", "<h3>" + shown + "</h3>",
        "<td>OpenMP, from the caller</td>\n<td>OMP_DISPLAY_ENV=" + shown + "</td>"}) {
    EXPECT_NE(report.find(part), std::string::npos) << part;
  }
  EXPECT_NE(
      compare.find("<td>hosts of the runs</td>\n<td>" + shown + "</td>\n<td>" + shown + "</td>"),
      std::string::npos);
}

// --- the shell ------------------------------------------------------------------------------

TEST(ShellWord, QuotesWhereAShellWouldReadOtherwise) {
  struct Case {
    std::string word;
    std::string quoted;
  };
  const std::vector<Case> cases = {
      {"--sizes=1K,2K", "--sizes=1K,2K"},
      {"/out/dir_1:+@%", "/out/dir_1:+@%"},
      {"", "''"},
      {"static;dynamic,4", "'static;dynamic,4'"},
      {"it's", "'it'\\''s'"},
      {"$(touch x) `y` \"z\" ~ * \\\n", "'$(touch x) `y` \"z\" ~ * \\\n'"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kd::shell_word(c.word), c.quoted) << c.word;
  }
}

// Each word read back by a shell is the word itself, and nothing runs.
TEST(ShellWord, AShellReadsEveryByteBack) {
  const Scratch dir("shell-words");
  const WorkingIn here(dir.path());
  std::vector<std::string> words;
  for (const std::string& t : every_byte()) {
    if (t.find('\0') == std::string::npos) {
      words.push_back(t);
    }
  }
  words.push_back("$(touch HIT) `touch HIT` ; touch HIT");
  std::string command = "printf '%s\\0'";
  std::string expected;
  for (const std::string& w : words) {
    command += " " + kd::shell_word(w);
    expected += w + '\0';
  }
  ks::RunOptions options;
  options.args = {"-c", "cd " + kd::shell_word(dir.path()) + " && " + command};
  const ks::RunResult r = ks::run_program("/bin/sh", options);
  EXPECT_TRUE(r.ok()) << r.err;
  EXPECT_TRUE(r.out == expected);
  EXPECT_FALSE(hit_under(dir.path()));
}

}  // namespace

// What reaches the terminal from outside is shown, never obeyed: every control character and
// every byte outside well-formed UTF-8 spelled out, ordinary text (UTF-8 included) kept.
TEST(TerminalText, ShowsControlsAndBadBytesVisiblyAndKeepsUtf8) {
  struct Case {
    std::string text;
    std::string shown;
  };
  const Case cases[] = {
      {"dynamic,4", "dynamic,4"},
      {"Tama\xc3\xb1o \xe2\x80\x93 \xf0\x9f\x98\x80",
       "Tama\xc3\xb1o \xe2\x80\x93 \xf0\x9f\x98\x80"},
      {"a\nb\rc\td", "a\\nb\\rc\\td"},
      {"\x1b[2J\x1b]0;title\x07", "\\x1b[2J\\x1b]0;title\\x07"},
      {std::string("nul\0end", 7), "nul\\x00end"},
      {"del\x7f", "del\\x7f"},
      {"c1 \xc2\x9b"
       "31m",
       "c1 \\u009b31m"},
      {"bidi \xe2\x80\xae"
       "abc \xe2\x81\xa6x",
       "bidi \\u202eabc \\u2066x"},
      {"latin1 \xf1 cut \xe2\x80", "latin1 \\xf1 cut \\xe2\\x80"},
      {"overlong \xc0\xaf", "overlong \\xc0\\xaf"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kd::terminal_text(c.text), c.shown) << c.text;
  }
}
