// report.html without a browser: text made safe for a page, charts that draw every value they
// claim and nothing that is not a number, and a page that holds what its result set holds.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "driver/analysis/ceilings.h"
#include "driver/analysis/compare.h"
#include "driver/analysis/loop_model.h"
#include "driver/analysis/model.h"
#include "driver/analysis/summary.h"
#include "driver/base/text.h"
#include "driver/report/html.h"
#include "driver/report/html_export.h"
#include "driver/report/json_export.h"
#include "driver/report/svg_chart.h"
#include "driver/tests/support/configs.h"

namespace {

using ks::driver::html_escape;
using ks::driver::Plot;
using ks::driver::test::config;
using ks::driver::test::record;

const std::string kFffd = "\xEF\xBF\xBD";

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

TEST(HtmlEscape, MarkupEscapedAndWhatIsNotTextReplaced) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"Tiempo(seg.):0.1\t / x\n", "Tiempo(seg.):0.1\t / x\n"},
      {"<a href=\"x\">&'</a>", "&lt;a href=&quot;x&quot;&gt;&amp;&#39;&lt;/a&gt;"},
      {"Tamaño ✓ \xF0\x9D\x84\x9E", "Tamaño ✓ \xF0\x9D\x84\x9E"},  // two, three and four bytes
      {"a\xFF"
       "b",
       "a" + kFffd + "b"},                                  // a byte that starts nothing
      {"cut \xC3", "cut " + kFffd},                         // a character cut short
      {"\xC3(", kFffd + "("},                               // ... and not continued
      {"\xC0\xAF", kFffd + kFffd},                          // an overlong '/'
      {"\xED\xA0\x80", kFffd + kFffd + kFffd},              // a surrogate
      {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},  // beyond U+10FFFF
      {std::string("a\0b", 3), "a" + kFffd + "b"},
      {"\x1B[31mred\x7F", kFffd + "[31mred" + kFffd},  // a terminal's colour, a delete
      {"\xC2\x85|\xC2\xA0", kFffd + "|\xC2\xA0"},      // a C1 control; a no-break space stays
  };
  for (const auto& c : cases) {
    EXPECT_EQ(html_escape(c.in), c.out) << c.in;
  }
}

TEST(Charts, EveryDrawableValueIsOneMarkAndNoCoordinateIsNotANumber) {
  const double nan = NAN;
  const struct {
    const char* what;
    Plot plot;
    std::size_t marks;
  } cases[] = {
      {"log-log, a NaN and a zero left out",
       {.name = "time-x",
        .title = "t",
        .logx = true,
        .logy = true,
        .seconds = true,
        .series = {{"a <b>", {{1024, 1e-3, 9e-4, 2e-3}, {2048, nan, 0, 0}, {4096, 0, 0, 0}}},
                   {"b", {{1024, 2e-3, 2e-3, 2e-3}, {4096, 8e-3, 7e-3, 9e-3}}}}},
       3},
      {"one point: a range of zero width",
       {.name = "speedup-x", .title = "s", .series = {{"a", {{2, 1.5, 1.5, 1.5}}}}},
       1},
      {"bars, a variant not measured at one size",
       {.name = "variants-x",
        .title = "v",
        .bars = true,
        .series = {{"a", {{0, 1, 0, 0}, {1, 1, 0, 0}}}, {"b", {{0, 0.5, 0, 0}, {1, nan, 0, 0}}}},
        .categories = {"N=1K", "N=2K"}},
       3},
      {"the model's line: no marks of its own",
       {.name = "time-z",
        .title = "m",
        .logx = true,
        .logy = true,
        .seconds = true,
        .series = {{"a", {{1024, 1e-3, 9e-4, 2e-3}, {2048, 2e-3, 2e-3, 2e-3}}},
                   {"model: a", {{1024, 5e-4, 5e-4, 5e-4}, {2048, 1e-3, 1e-3, 1e-3}}, true, 0}}},
       2},
      {"nothing to draw",
       {.name = "time-y", .title = "e", .logy = true, .series = {{"a", {{1, -1, 0, 0}}}}},
       0},
  };
  for (const auto& c : cases) {
    const std::string svg = ks::driver::chart_svg(c.plot, "described");
    EXPECT_EQ(ks::driver::drawable_values(c.plot), c.marks) << c.what;
    EXPECT_EQ(count(svg, "class=\"mark\""), c.marks) << c.what;
    EXPECT_NE(svg.find("data-marks=\"" + std::to_string(c.marks) + "\""), std::string::npos);
    EXPECT_NE(svg.find("role=\"img\" aria-label=\"described\""), std::string::npos) << c.what;
    for (const char* bad : {"nan", "inf", "<b>"}) {
      EXPECT_EQ(svg.find(bad), std::string::npos) << c.what << ": " << bad;
    }
  }
}

// plus-static at two sizes (valid), plus-heap once invalid with output a page must not obey,
// and a demonstration's map that breaks its rule.
ks::driver::ResultSet made_results(const std::string& output) {
  ks::driver::ResultSet r;
  r.command = {"kernelscope", "--bin", "b", "tour", "--out", "it's here"};
  r.context = {{"date", "2024-05-01T12:00:00Z"}, {"cpu", {{"model", "Test <CPU>"}}}};
  r.configs = {config("plus-static", 1000, 0), config("plus-static", 4000, 0),
               config("plus-heap", 1000, 0), config("chunk-static", std::nullopt, 2)};
  r.configs[3].chunk = 3;
  r.runs = {record(0, 0.002),
            record(0, 0.003),
            record(1, 0.008),
            record(1, 0.009),
            record(2, 0.001, false, ks::driver::Outcome::kInvalid),
            record(3, NAN)};
  r.runs[4].why = "expected 2.000000, got <i>2.1</i>";
  r.runs[4].exit_status = 0;
  r.runs[4].result = ks::RunResult{};
  r.runs[4].result->out = output;
  r.runs[5].printed_seconds.reset();
  r.summary = ks::driver::summarize_runs(r.configs, r.runs);
  ks::driver::Trace trace;
  trace.team = 2;
  trace.columns = 2;
  trace.rule = "chunk k goes to thread k mod T";
  trace.cells = {{0, 0, 1, 0}, {0, 1, 2, 1}};
  trace.problems = {"thread 0 ran 0,1"};
  r.maps = {{3, trace}};
  return r;
}

std::string table_body(const std::string& page, const std::string& id) {
  const std::size_t at = page.find("id=\"" + id + "\"");
  if (at == std::string::npos) {
    return "";
  }
  const std::size_t from = page.find("<tbody>", at);
  return page.substr(from, page.find("</tbody>", from) - from);
}

TEST(HtmlReport, HoldsEveryRowVerdictAndMapAndObeysNothingItQuotes) {
  const std::string output =
      "Tiempo: <script>alert(1)</script> \xFF\xFE" + std::string(6000, 'x') + "the end\n";
  const std::string page = ks::driver::html_report(made_results(output));
  EXPECT_EQ(count(page, "<script"), 1u) << "the page's own script only";
  EXPECT_EQ(count(page, kFffd), 2u) << "the two stray bytes, and the page is UTF-8 otherwise";
  EXPECT_EQ(count(html_escape(page), kFffd), 2u);
  // Nothing fetched: the only address is the SVG namespace.
  EXPECT_EQ(count(page, "http"), count(page, "xmlns=\"http://www.w3.org/2000/svg\""));
  EXPECT_EQ(count(page, "src="), 0u);
  EXPECT_NE(page.find("<title>kernelscope tour, 2024-05-01T12:00:00Z</title>"), std::string::npos);
  EXPECT_NE(page.find("kernelscope --bin b tour --out &#39;it&#39;\\&#39;&#39;s here&#39;"),
            std::string::npos);
  EXPECT_NE(page.find("1 of 6 runs not valid: plus-heap N=1000 (1)"), std::string::npos);
  EXPECT_NE(page.find("1 demonstration map breaks the rule"), std::string::npos);
  EXPECT_NE(page.find("Test &lt;CPU&gt;"), std::string::npos);
  // Each configuration in its family's table, every invalid run in its own.
  EXPECT_EQ(count(table_body(page, "summary-vector-add"), "<tr"), 3u);
  EXPECT_EQ(count(table_body(page, "summary-omp-demos"), "<tr"), 1u);
  const std::string invalid = table_body(page, "invalid-table");
  EXPECT_EQ(count(invalid, "<tr"), 1u);
  EXPECT_NE(invalid.find("expected 2.000000, got &lt;i&gt;2.1&lt;/i&gt;"), std::string::npos);
  // Its output: the start and the end, escaped, the middle left out.
  EXPECT_NE(invalid.find("Tiempo: &lt;script&gt;alert(1)&lt;/script&gt; " + kFffd + kFffd),
            std::string::npos);
  EXPECT_NE(invalid.find("bytes left out"), std::string::npos);
  EXPECT_NE(invalid.find("the end"), std::string::npos);
  EXPECT_LT(invalid.size(), output.size());
  // The map, with its verdict and a text alternative; the plot of the two sizes.
  EXPECT_NE(page.find("id=\"map-chunk-static-T2\""), std::string::npos);
  EXPECT_NE(page.find("BREAKS THE RULE: thread 0 ran 0,1"), std::string::npos);
  EXPECT_EQ(count(page, "<figure"), 2u);
  EXPECT_EQ(count(page, "role=\"img\" aria-label=\""), 2u);
  EXPECT_NE(page.find("id=\"plot-time-vector-add\""), std::string::npos);
}

TEST(HtmlReport, AllValidSaysSoAndListsNoInvalidRun) {
  ks::driver::ResultSet r = made_results("");
  r.runs.erase(r.runs.begin() + 4);
  r.maps.clear();
  r.summary = ks::driver::summarize_runs(r.configs, r.runs);
  const std::string page = ks::driver::html_report(r);
  EXPECT_NE(page.find("All 5 runs valid"), std::string::npos);
  EXPECT_EQ(page.find("invalid-table"), std::string::npos);
  EXPECT_EQ(page.find("breaks the rule"), std::string::npos);
}

// The model's line is grey and dotted, a colour and a dash no measured series has, with hollow
// markers of the shape of the series it predicts and no whiskers; the page hides it until asked.
TEST(Charts, TheModelsLineIsGreyAndDottedUnlikeEverySeries) {
  Plot p{.name = "time-x", .title = "t", .logx = true, .logy = true, .seconds = true};
  for (int k = 0; k < 8; ++k) {
    p.series.push_back(
        {fmt::format("s{}", k), {{1, 1.0 + k, 1.0 + k, 1.0 + k}, {2, 2.0 + k, 2.0 + k, 2.0 + k}}});
  }
  p.series.push_back({"model: s1", {{1, 1.5, 1.5, 1.5}, {2, 2.5, 2.5, 2.5}}, true, 1});
  const std::string svg = ks::driver::chart_svg(p, "d");
  const std::size_t at = svg.find("class=\"predicted\"");
  ASSERT_NE(at, std::string::npos);
  const std::string model = svg.substr(at, svg.find("</g>", at) - at);
  const std::size_t path = model.find("<path");
  ASSERT_NE(path, std::string::npos);
  const std::string line = model.substr(path, model.find("/>", path) - path);
  auto attribute = [](const std::string& tag, const std::string& name) {
    const std::size_t from = tag.find(name + "=\"");
    return from == std::string::npos
               ? std::string()
               : tag.substr(from + name.size() + 2,
                            tag.find('"', from + name.size() + 2) - from - name.size() - 2);
  };
  const std::string colour = attribute(line, "stroke");
  const std::string dash = attribute(line, "stroke-dasharray");
  ASSERT_FALSE(colour.empty());
  ASSERT_FALSE(dash.empty());
  // Every measured series' line: neither its colour nor its dash.
  for (std::size_t from = svg.find("<path d=\"M"); from != std::string::npos;
       from = svg.find("<path d=\"M", from + 1)) {
    const std::string tag = svg.substr(from, svg.find('>', from) - from);
    if (tag.find("fill=\"none\"") == std::string::npos || from > at) {
      continue;
    }
    EXPECT_NE(attribute(tag, "stroke"), colour) << tag;
    EXPECT_NE(attribute(tag, "stroke-dasharray"), dash) << tag;
  }
  EXPECT_EQ(count(model, "class=\"whisker\""), 0u);
  EXPECT_EQ(count(model, "fill=\"white\""), 2u) << "a hollow marker at each point: " << model;
  EXPECT_NE(ks::driver::series_swatch(p, 8).find(colour), std::string::npos);
}

TEST(HtmlReport, TheModelWithCeilingsAndALineSayingSoWithout) {
  ks::driver::ResultSet r = made_results("");
  std::string page = ks::driver::html_report(r);
  EXPECT_NE(page.find("id=\"no-model\""), std::string::npos);
  EXPECT_EQ(page.find("ceilings-table"), std::string::npos);
  EXPECT_EQ(page.find("% of ceiling"), std::string::npos);

  std::ifstream in(std::string(KS_DRIVER_TEST_DATA) + "/probe.json");
  const ks::driver::KnownCeilings known{ks::driver::parse_ceilings(nlohmann::json::parse(in)),
                                        "file", "", "probe.json"};
  r.context["ceilings"] = ks::driver::ceilings_context(known);
  // plus-static's larger size measured at exactly its predicted time (explained); the smaller
  // one at milliseconds, far above its prediction (not explained).
  const auto predicted = ks::driver::predict(r.configs[1], known.ceilings);
  ASSERT_TRUE(predicted);
  r.runs[2].printed_seconds = r.runs[3].printed_seconds = predicted->predicted_seconds;
  r.summary = ks::driver::summarize_runs(r.configs, r.runs);
  ks::driver::apply_model(r.configs, r.summary, known.ceilings);
  ASSERT_TRUE(r.summary[0].model && r.summary[1].model);
  page = ks::driver::html_report(r);
  EXPECT_EQ(page.find("no-model"), std::string::npos);
  // Every team size's column and a row per figure: bandwidths, first touch, compute, OpenMP.
  const std::string ceilings = table_body(page, "ceilings-table");
  EXPECT_GE(count(ceilings, "<tr"), 10u);
  for (const char* figure : {"T=1", "T=2", "first touch", "a barrier", "schedule(dynamic, 16)",
                             "L2 bandwidth", "clock_gettime"}) {
    EXPECT_NE(page.find(figure), std::string::npos) << figure;
  }
  const std::size_t roof = page.find("id=\"plot-roofline\"");
  ASSERT_NE(roof, std::string::npos);
  EXPECT_NE(page.find("data-marks=\"2\"", roof), std::string::npos) << "one per priced size";
  EXPECT_NE(page.find("role=\"img\" aria-label=\"Roofline", roof), std::string::npos);
  const std::string summary = table_body(page, "summary-vector-add");
  EXPECT_EQ(count(summary, "class=\"explain\""), 2u);
  EXPECT_EQ(count(summary, "does not explain it\">!</span>"), 1u);
  EXPECT_NE(summary.find(html_escape(r.summary[1].model->line)), std::string::npos);
  EXPECT_NE(summary.find("1.00"), std::string::npos) << "measured / predicted";
  EXPECT_NE(summary.find(fmt::format("{:.0f}%", r.summary[1].model->percent_of_ceiling)),
            std::string::npos);
}

// With the loops a measured sweep keeps (the recorded analyses), each configuration the model
// priced from its compiled loop has an explanation, linked from its summary row, with the
// loop's instructions and its chain marked; an analysis's text is escaped.
TEST(HtmlReport, EachCompiledLoopsExplanationLinkedFromItsRow) {
  ks::driver::ResultSet r;
  r.configs = {config("mprod-heap", 200, 0), config("yupd-o1", 100000, 0),
               config("plus-static", 1000, 0)};
  r.runs = {record(0, 0.006), record(0, 0.0061), record(1, 5e-5),
            record(1, 5e-5),  record(2, 2e-6),   record(2, 2e-6)};
  std::ifstream in(std::string(KS_DRIVER_TEST_DATA) + "/probe.json");
  const ks::driver::KnownCeilings known{ks::driver::parse_ceilings(nlohmann::json::parse(in)),
                                        "file", "", "probe.json"};
  r.context["ceilings"] = ks::driver::ceilings_context(known);
  std::ifstream loops_in(std::string(KS_DRIVER_TEST_DATA) + "/loops.json");
  r.context["loops"] = nlohmann::json::parse(loops_in);  // no plus-static among them
  r.context["loops"]["mprod-heap"]["cpu"] = "znver3<script>";
  r.summary = ks::driver::summarize_runs(r.configs, r.runs);
  ks::driver::apply_model(r.configs, r.summary, known.ceilings,
                          ks::driver::context_loops(ks::driver::machine_of(r)));
  const std::string page = ks::driver::html_report(r);
  const std::size_t section = page.find("<section id=\"explanations\">");
  ASSERT_NE(section, std::string::npos);
  const std::string explained = page.substr(section, page.find("</section>", section) - section);
  EXPECT_EQ(count(explained, "class=\"explained\""), 2u);
  for (const char* id : {"explain-0", "explain-1"}) {
    EXPECT_NE(explained.find(std::string("id=\"") + id + "\""), std::string::npos) << id;
    EXPECT_NE(page.find(std::string("href=\"#") + id + "\""), std::string::npos) << id;
  }
  EXPECT_EQ(page.find("explain-2"), std::string::npos) << "plus-static has no compiled loop";
  // The product's chain is its add; the update's, its index.
  EXPECT_NE(explained.find("<mark>  1367  addsd %xmm0,%xmm1</mark>"), std::string::npos)
      << explained;
  EXPECT_NE(explained.find("<mark>  144c  add $0x1,%rax</mark>"), std::string::npos);
  EXPECT_NE(explained.find("3.00 by the loop-carried chain"), std::string::npos);
  EXPECT_EQ(page.find("znver3<script>"), std::string::npos);
  EXPECT_NE(explained.find("znver3&lt;script&gt;"), std::string::npos);

  // results.json holds the same figures.
  const nlohmann::json j = ks::driver::results_json(r);
  const nlohmann::json& loop = j["summary"][0]["model"]["compiled_loop"];
  EXPECT_DOUBLE_EQ(loop["chain_cycles"].get<double>(), 3.0);
  EXPECT_EQ(loop["iterations"], 200 * 200 * 200);
  ASSERT_EQ(loop["links"].size(), 3u);
  EXPECT_EQ(loop["links"][0]["from"], "L2");
  EXPECT_EQ(loop["streams"][1]["array"], "C");
  EXPECT_TRUE(j["summary"][2]["model"]["compiled_loop"].is_null());
}

}  // namespace

// compare's ratio chart cuts a long label to fit its margin, between characters: the page
// shows the cut label and "…", never a replacement character, and the mark's title the whole.
TEST(CompareHtml, ALongLabelIsCutBetweenCharacters) {
  std::string schedule = "dynamic,1";
  for (int k = 0; k < 20; ++k) {
    schedule += "\xc3\xb1";  // ñ: every cut past the first bytes may fall inside one
  }
  ks::driver::ResultSet base;
  ks::driver::ResultSet slower;
  for (ks::driver::ResultSet* r : {&base, &slower}) {
    ks::driver::Config c = config("mprod-team", 100, 2);
    c.schedule = schedule;
    r->configs = {c};
    const double seconds = r == &base ? 0.01 : 0.02;
    for (int k = 0; k < 6; ++k) {
      r->runs.push_back(record(0, seconds * (1 + 0.01 * k)));
    }
    r->summary = ks::driver::summarize_runs(r->configs, r->runs);
  }
  const ks::driver::CompareResult compared = ks::driver::compare_results(base, slower, {});
  ASSERT_EQ(compared.configs.size(), 1u);
  const std::string& label = compared.configs[0].label;
  ASSERT_GT(label.size(), 40u) << label;
  const std::string page =
      ks::driver::compare_html({"a/results.db", base, {}}, {"b/results.db", slower, {}}, compared);
  EXPECT_EQ(page.find(kFffd), std::string::npos);
  const std::string cut = ks::driver::shortened(label, 34);
  EXPECT_LT(cut.size(), label.size());
  EXPECT_NE(page.find(">" + html_escape(cut) + "</text>"), std::string::npos) << cut;
  EXPECT_NE(page.find("<title>" + html_escape(label) + ": "), std::string::npos);
}
