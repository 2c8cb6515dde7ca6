// report.html opened in headless chromium through file://, at a desktop's and a phone's width,
// for a sweep (with fixed ceilings: their table, the roofline, an explanation per configuration)
// and a tour (without: a line saying so) made with fake programs beside real ones, and for a
// comparison: no script error, nothing fetched, every figure drawn with all its values and a
// text alternative, every table holding the rows the results hold, every invalid run's reason
// shown, program output never obeyed, no sideways scrolling, sorting and filtering working.
// Pages broken on purpose must fail the same checks. Screenshots stay in KS_HTML_CHECK_DIR.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include <nlohmann/json.hpp>

#include "driver/store/store.h"
#include "driver/tests/app/browser.h"
#include "tests/support/program_test.h"

namespace {

namespace fs = std::filesystem;
using ks::driver::test::Browser;
using ks::driver::test::PageReport;

const std::string kFakes = KS_DRIVER_FAKES;
const std::string kLookHere = KS_HTML_CHECK_DIR;
const std::string kTestData = KS_DRIVER_TEST_DATA;

// Run in the page once it has loaded: sorts and filters a table as a reader would, opens every
// collapsed section as printing does, then measures what is on the page.
constexpr const char* kCheck = R"js((() => {
  const out = {scripts: document.scripts.length, title: document.title, sort: null, filter: null};
  const table = document.querySelector('table.sortable[id^="summary-"], table#compare-table');
  if (table) {
    const heads = Array.from(table.tHead.rows[0].cells);
    const col = heads.findIndex(th => th.textContent.includes('median'));
    const button = col >= 0 ? heads[col].querySelector('button') : null;
    if (button) {
      const keys = () => Array.from(table.tBodies[0].rows).filter(r => !r.classList.contains('detail'))
                              .map(r => r.cells[col].getAttribute('data-v'))
                              .filter(v => v !== '').map(Number);
      button.click();
      const up = keys();
      button.click();
      const down = keys();
      out.sort = {ascending: up.every((v, i) => i === 0 || up[i - 1] <= v),
                  descending: down.every((v, i) => i === 0 || down[i - 1] >= v), rows: up.length};
    }
  }
  const input = document.querySelector('input[data-filter]');
  if (input) {
    const rows = Array.from(document.getElementById(input.dataset.filter).tBodies[0].rows)
                      .filter(r => !r.classList.contains('detail'));
    const word = rows[rows.length - 1].cells[0].textContent.trim();
    input.value = word;
    input.dispatchEvent(new Event('input'));
    out.filter = {boxShown: !input.closest('[hidden]'),
                  shown: rows.filter(r => !r.hidden).length,
                  matching: rows.filter(r => r.textContent.includes(word)).length,
                  rows: rows.length};
    input.value = '';
    input.dispatchEvent(new Event('input'));
  }
  document.querySelectorAll('details').forEach(d => { d.open = true; });
  out.overflow = document.documentElement.scrollWidth - window.innerWidth;
  out.figures = Array.from(document.querySelectorAll('figure'), f => {
    const svg = f.querySelector('svg[role="img"]');
    const box = (svg || f).getBoundingClientRect();
    let content = 0;
    try { const b = svg.getBBox(); content = b.width * b.height; } catch (e) {}
    const marks = svg ? Array.from(svg.querySelectorAll('.mark')) : [];
    return {id: f.id, width: box.width, height: box.height, content,
            label: svg ? (svg.getAttribute('aria-label') || '') : '',
            caption: f.querySelector('figcaption') ? f.querySelector('figcaption').textContent.trim() : '',
            expected: svg && svg.hasAttribute('data-marks') ? Number(svg.getAttribute('data-marks')) : -1,
            drawn: marks.filter(m => { const b = m.getBoundingClientRect();
                                       return b.width > 0 && b.height > 0; }).length};
  });
  out.tables = {};
  document.querySelectorAll('table[id]').forEach(t => {
    out.tables[t.id] = Array.from(t.tBodies[0].rows).filter(r => !r.classList.contains('detail')).length;
  });
  // What a reader sees first, what is cut off at the right, and whether every map cell shows.
  const findings = document.getElementById('findings');
  const firstSection = document.querySelector('main section, main h2');
  out.findings = findings ? {top: findings.getBoundingClientRect().top + window.scrollY,
                             before: !firstSection || !!(findings.compareDocumentPosition(firstSection) &
                                                         Node.DOCUMENT_POSITION_FOLLOWING),
                             text: findings.innerText} : null;
  out.cut = Array.from(document.querySelectorAll('.table-wrap'))
                 .filter(w => w.scrollWidth > w.clientWidth + 1 ||
                              w.getBoundingClientRect().right > window.innerWidth + 1)
                 .map(w => (w.querySelector('table') || {}).id || '(a table)');
  out.medians = Array.from(document.querySelectorAll('table[id^="summary-"]'), t => {
    const cell = t.querySelector('tbody tr:not(.detail) td[data-label^="median"]');
    const b = cell ? cell.getBoundingClientRect() : null;
    return {id: t.id, visible: !!b && b.width > 0 && b.left >= 0 && b.right <= window.innerWidth};
  });
  out.maps = Array.from(document.querySelectorAll('figure.map'), f => {
    const svg = f.querySelector('svg');
    const box = f.querySelector('.map-box');
    const cells = svg ? Array.from(svg.querySelectorAll('rect.cell')) : [];
    return {id: f.id, expected: svg ? Number(svg.getAttribute('data-cells') || -1) : -1,
            shown: cells.filter(c => { const b = c.getBoundingClientRect();
                                       return b.width > 0 && b.left >= 0 && b.right <= window.innerWidth; }).length,
            scrolls: !!box && box.scrollWidth > box.clientWidth + 1};
  });
  out.height = document.documentElement.scrollHeight;
  out.explained = document.querySelectorAll('.explain').length;
  out.roofline = !!document.querySelector('figure#plot-roofline svg[role="img"]');
  out.ceilings = document.querySelectorAll('#ceilings-table tbody tr').length;
  out.text = document.body.innerText;
  return out;
})())js";

// What a page must hold, from the results its folder holds.
struct Expected {
  std::string url;                                // the page itself: the one request allowed
  std::map<std::string, std::size_t> table_rows;  // table id -> rows
  std::vector<std::string> shown;                 // text the page must show
  bool filterable = false;                        // a table long enough for a filter box
  bool maps = false;                              // the demonstrations' maps are there
  // Ceilings: their table, the roofline, explanations; none: a line saying so; unset: no section.
  std::optional<bool> model;
  std::size_t explained = 0;       // configurations with a valid measured run
  bool findings = false;           // the page opens with its findings
  std::vector<std::string> found;  // what the findings box must say
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Runs of blanks as one space: how the page's text reads.
std::string squeeze(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool blank = c == ' ' || c == '\t' || c == '\n' || c == '\r';
    if (!blank) {
      out += c;
    } else if (!out.empty() && out.back() != ' ') {
      out += ' ';
    }
  }
  return out;
}

// From the folder's store: a summary row per configuration, and every run that was not valid.
Expected expected_of(const std::string& dir, const std::string& page) {
  Expected e;
  e.url = "file://" + fs::absolute(dir + "/" + page).string();
  e.findings = true;
  const ks::driver::StoreContents store =
      ks::driver::Store::open_readonly(dir + "/" + std::string(ks::driver::kStoreFile)).load();
  for (const ks::driver::Config& c : store.plan.configs) {
    ++e.table_rows["summary-" + std::string(c.program->family)];
  }
  std::size_t invalid = 0;
  std::vector<bool> measured(store.plan.configs.size());
  for (const ks::driver::StoredRun& run : store.runs) {
    const ks::driver::Config& c = store.plan.configs[run.record.config];
    if (run.record.outcome == ks::driver::Outcome::kValid && !run.record.warmup &&
        c.program->kind == ks::driver::Kind::kBenchmark) {
      measured[run.record.config] = true;
    }
    if (run.record.outcome != ks::driver::Outcome::kValid) {
      ++invalid;
      e.shown.push_back(squeeze(run.record.why));
    }
  }
  if (invalid > 0) {
    e.table_rows["invalid-table"] = invalid;
  }
  e.model = store.context.contains("ceilings");
  e.explained = *e.model ? std::count(measured.begin(), measured.end(), true) : 0;
  for (const auto& [id, rows] : e.table_rows) {
    e.filterable = e.filterable || rows > 12;
  }
  return e;
}

// Everything wrong with a page, one line each.
std::vector<std::string> page_problems(const PageReport& page, const Expected& e, int width) {
  std::vector<std::string> problems;
  if (!page.problem.empty()) {
    return {"not examined: " + page.problem};
  }
  for (const std::string& error : page.errors) {
    problems.push_back("script error: " + error);
  }
  for (const std::string& url : page.requests) {
    if (url != e.url) {
      problems.push_back("fetched " + url);
    }
  }
  const nlohmann::json& v = page.value;
  if (!v.is_object()) {
    problems.push_back("the check gave no result");
    return problems;
  }
  if (v["scripts"] != 1) {
    problems.push_back("the page holds " + v["scripts"].dump() + " scripts, not its own one");
  }
  if (v["title"] == "obeyed") {
    problems.push_back("a program's output ran as a script");
  }
  if (v["overflow"].get<double>() > 0) {
    problems.push_back("the page scrolls sideways by " + v["overflow"].dump() + " px at " +
                       std::to_string(width) + " px");
  }
  std::size_t maps = 0;
  if (v["figures"].empty()) {
    problems.push_back("no figure");
  }
  for (const nlohmann::json& f : v["figures"]) {
    const std::string id = f["id"];
    maps += id.rfind("map-", 0) == 0 ? 1 : 0;
    if (!(f["width"].get<double>() > 0 && f["height"].get<double>() > 0)) {
      problems.push_back("figure " + id + " has no size");
    }
    if (!(f["content"].get<double>() > 0)) {
      problems.push_back("figure " + id + " draws nothing");
    }
    if (f["label"] == "" && f["caption"] == "") {
      problems.push_back("figure " + id + " has no text alternative");
    }
    if (f["expected"] >= 0 && f["drawn"] != f["expected"]) {
      problems.push_back("figure " + id + " drew " + f["drawn"].dump() + " of " +
                         f["expected"].dump() + " values");
    }
  }
  if (e.model == true && (v["roofline"] != true || v["ceilings"] == 0)) {
    problems.push_back("no roofline or no ceilings table");
  }
  if (v["explained"] != e.explained) {
    problems.push_back("the page explains " + v["explained"].dump() + " configurations, not " +
                       std::to_string(e.explained));
  }
  if (e.model == false &&
      squeeze(v["text"]).find("there is no model here: kernelscope probe measures") ==
          std::string::npos) {
    problems.push_back("no line saying there is no model");
  }
  if (e.maps && maps == 0) {
    problems.push_back("no map");
  }
  for (const nlohmann::json& m : v["maps"]) {
    if (m["expected"] >= 0 && m["shown"] != m["expected"]) {
      problems.push_back("map " + m["id"].get<std::string>() + " shows " + m["shown"].dump() +
                         " of its " + m["expected"].dump() + " cells at " + std::to_string(width) +
                         " px");
    }
    if (m["scrolls"] == true) {
      problems.push_back("map " + m["id"].get<std::string>() + " scrolls sideways");
    }
  }
  if (e.findings) {
    if (!v["findings"].is_object()) {
      problems.push_back("no findings box");
    } else if (v["findings"]["before"] != true || v["findings"]["top"].get<double>() > 400) {
      problems.push_back("the findings box is not what the page opens with (at " +
                         v["findings"]["top"].dump() + " px)");
    }
  }
  for (const nlohmann::json& id : v["cut"]) {
    problems.push_back("table " + id.get<std::string>() + " is cut off at the right at " +
                       std::to_string(width) + " px");
  }
  for (const nlohmann::json& m : v["medians"]) {
    if (m["visible"] != true) {
      problems.push_back("the median of " + m["id"].get<std::string>() + " is off-screen at " +
                         std::to_string(width) + " px");
    }
  }
  for (const auto& [id, rows] : e.table_rows) {
    if (!v["tables"].contains(id)) {
      problems.push_back("no table " + id);
    } else if (v["tables"][id] != rows) {
      problems.push_back("table " + id + " holds " + v["tables"][id].dump() + " rows, not " +
                         std::to_string(rows));
    }
  }
  const std::string text = squeeze(v["text"]);
  const std::string found = v["findings"].is_object() ? squeeze(v["findings"]["text"]) : "";
  for (const std::string& s : e.found) {
    if (found.find(s) == std::string::npos) {
      problems.push_back("the findings do not say \"" + s + "\"");
    }
  }
  for (const std::string& s : e.shown) {
    if (text.find(s) == std::string::npos) {
      problems.push_back("the page does not show \"" + s + "\"");
    }
  }
  if (!v["sort"].is_object() || v["sort"]["ascending"] != true || v["sort"]["descending"] != true ||
      v["sort"]["rows"] == 0) {
    problems.push_back("sorting by the median does not work: " + v["sort"].dump());
  }
  if (e.filterable && (!v["filter"].is_object() || v["filter"]["boxShown"] != true ||
                       v["filter"]["shown"] != v["filter"]["matching"] ||
                       v["filter"]["shown"] == v["filter"]["rows"])) {
    problems.push_back("filtering does not work: " + v["filter"].dump());
  }
  return problems;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) {
    s += "\n  " + l;
  }
  return s;
}

// A folder of programs: each name points at a built program or at a fake.
std::string bin_folder(const std::string& dir,
                       const std::vector<std::pair<std::string, std::string>>& programs) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  for (const auto& [name, target] : programs) {
    fs::create_symlink(target, dir + "/" + name);
  }
  return dir;
}

struct Report {
  std::string dir;
  std::string problem;  // why it could not be made
  Expected expected;
};

// Runs kernelscope into `name` under the build tree's check folder, over a folder of programs.
Report make_report(const std::string& name,
                   const std::vector<std::pair<std::string, std::string>>& programs,
                   std::vector<std::string> args) {
  Report report;
  report.dir = kLookHere + "/" + name;
  fs::remove_all(report.dir);
  const std::string bin = bin_folder(kLookHere + "/" + name + "-bin", programs);
  args.insert(args.begin(), {"--bin", bin});
  args.insert(args.end(), {"--out", report.dir});
  ks::RunOptions options;
  options.args = args;
  options.timeout_seconds = 300;
  // The fixed ceilings of the test data (no probe runs), or none at all with --no-probe.
  const bool probe = std::find(args.begin(), args.end(), "--no-probe") == args.end();
  options.env["KERNELSCOPE_CEILINGS"] =
      probe ? std::optional<std::string>(kTestData + "/probe.json") : std::nullopt;
  options.env["XDG_CACHE_HOME"] = kLookHere + "/cache";
  const ks::RunResult r = ks::run_program(ks::test::program_path("kernelscope"), options);
  if (!r.exited || r.exit_status > 1 || !fs::exists(report.dir + "/report.html")) {
    report.problem = "kernelscope " + name + ": " + r.describe() + "\n" + r.err;
    return report;
  }
  report.expected = expected_of(report.dir, "report.html");
  return report;
}

std::string built(const std::string& name) {
  return ks::test::program_path(name);
}

// A sweep into `name`: real vector programs (valid), a fake plus-heap whose report is wrong and
// whose output holds markup and bytes that are not UTF-8 (invalid); sizes enough for every plot.
Report sweep_report(const std::string& name) {
  Report r =
      make_report(name,
                  {{"plus-static", built("plus-static")},
                   {"plus-parloop", built("plus-parloop")},
                   {"plus-heap", kFakes + "/html/plus-heap"}},
                  {"sweep", "plus-static", "plus-parloop", "plus-heap", "--sizes",
                   "1000,2000,4000,8000", "--threads", "1,2", "--repeat", "2", "--warmup", "0"});
  r.expected.shown.push_back("<b>V3</b> & \xEF\xBF\xBD\xEF\xBF\xBD <i>roto</i>");
  r.expected.shown.push_back("<script>document.title = \"obeyed\"</script>");
  r.expected.found = {"vector-add",   "At N = 8000,", "faster than", "On 2 threads (ideal 2×)",
                      "plus-parloop", "Model: ",      "warning"};
  return r;
}

// A tour over three programs: a valid benchmark, a demonstration that follows its rule and a
// fake one that breaks it; the others are missing.
Report tour_report() {
  Report r = make_report("tour",
                         {{"plus-static", built("plus-static")},
                          {"greet-team", built("greet-team")},
                          {"chunk-static", kFakes + "/wrong/chunk-static"}},
                         {"tour", "--scale", "0.01", "--no-probe"});
  r.expected.maps = true;
  r.expected.shown.push_back("BREAKS THE RULE");
  r.expected.found = {"omp-demos", "maps break their rules", "chunk-static"};
  return r;
}

// kernelscope compare of two sweeps' folders into `name`: a row per configuration in both.
Report compare_report(const std::string& name, const std::string& base, const std::string& fresh) {
  Report report;
  report.dir = kLookHere + "/" + name;
  fs::remove_all(report.dir);
  ks::RunOptions options;
  options.args = {"compare", base, fresh, "--out", report.dir};
  options.timeout_seconds = 300;
  const ks::RunResult r = ks::run_program(ks::test::program_path("kernelscope"), options);
  if (!r.exited || r.exit_status != 0 || !fs::exists(report.dir + "/report.html")) {
    report.problem = "kernelscope compare: " + r.describe() + "\n" + r.err;
    return report;
  }
  report.expected.url = "file://" + fs::absolute(report.dir + "/report.html").string();
  const nlohmann::json j = nlohmann::json::parse(slurp(report.dir + "/compare.json"));
  report.expected.table_rows["compare-table"] = j["configurations"].size();
  for (const nlohmann::json& c : j["configurations"]) {
    report.expected.shown.push_back(c["verdict"].get<std::string>());
  }
  return report;
}

class HtmlReportInABrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    chromium_ = ks::driver::test::find_chromium();
    if (chromium_.empty()) {
      GTEST_SKIP() << "no chromium installed";
    }
    for (const char* p : {"plus-static", "plus-parloop", "greet-team"}) {
      if (access(built(p).c_str(), X_OK) != 0) {
        GTEST_SKIP() << p << " is not in this build";
      }
    }
  }
  // Every process the browser started is gone with it, and so is its folder.
  static void ExpectCleanedUp(const std::string& folder) {
    EXPECT_TRUE(ks::driver::test::processes_naming(folder).empty()) << folder;
    EXPECT_FALSE(fs::exists(folder)) << folder;
  }
  std::string chromium_;
};

TEST_F(HtmlReportInABrowser, SweepAndTourReadAtDesktopAndPhoneWidths) {
  std::string folder;
  {
    Browser browser(chromium_);
    folder = browser.folder();
    ASSERT_EQ(browser.problem(), "");
    const Report sweep = sweep_report("sweep");
    const Report tour = tour_report();
    const Report again = sweep_report("sweep-again");
    const Report compare = compare_report("compare", sweep.dir, again.dir);
    for (const Report* report : {&sweep, &tour, &compare}) {
      ASSERT_EQ(report->problem, "");
      for (int width : {1280, 390}) {
        const std::string name = fs::path(report->dir).filename().string();
        const std::string shot = kLookHere + "/" + name + "-" + std::to_string(width) + ".png";
        const PageReport page = browser.open(report->expected.url, width, kCheck, shot);
        EXPECT_EQ(joined(page_problems(page, report->expected, width)), "")
            << name << " at " << width << " px";
        if (page.value.is_object() && page.value.contains("height")) {
          std::printf("%s at %d px: %s px tall\n", name.c_str(), width,
                      page.value["height"].dump().c_str());
        }
        EXPECT_GT(fs::exists(shot) ? fs::file_size(shot) : 0, 1000u) << shot;
      }
    }
  }
  ExpectCleanedUp(folder);
}

// The checks catch a page broken in each of these ways.
TEST_F(HtmlReportInABrowser, APageBrokenOnPurposeFailsTheChecks) {
  const Report report = sweep_report("sweep-broken");
  ASSERT_EQ(report.problem, "");
  const std::string page = slurp(report.dir + "/report.html");
  const std::size_t body = page.find("<tbody>\n", page.find("id=\"summary-"));
  ASSERT_NE(body, std::string::npos);
  const std::string first_row =
      page.substr(body, page.find("</tr>\n", body) + 6 - body);  // "<tbody>\n<tr>...</tr>\n"
  struct Case {
    const char* what;
    std::string from, to;  // `from` becomes `to` (everywhere when `all`)
    const char* expected;  // in one of the problems found
    bool all = false;
  };
  const std::vector<Case> cases = {
      {"its script throws", "'use strict';", "'use strict'; null.property;", "script error"},
      {"a figure is hidden", "class=\"chart\"", "class=\"chart\" style=\"display:none\"",
       "has no size"},
      {"a value is not drawn", "class=\"mark\"", "class=\"mark\" transform=\"scale(0)\"", "drew"},
      {"a table loses a row", first_row, "<tbody>\n", "rows, not"},
      {"it fetches something", "<body>", "<body><img alt=\"\" src=\"http://127.0.0.1:9/x.png\">",
       "fetched"},
      {"program output is markup", "&lt;b&gt;V3&lt;/b&gt;", "<b>V3</b>", "does not show", true},
      {"the findings come last", "<section class=\"findings\"",
       "<section style=\"position:absolute;top:9000px\" class=\"findings\"", "opens with"},
      {"a table is too wide", "<table class=\"sortable cards\"",
       "<table style=\"min-width:3000px\" class=\"sortable cards\"", "cut off"},
      {"the findings say nothing", "<ul class=\"families\">", "<ul hidden class=\"families\">",
       "findings do not say"},
  };
  std::string folder;
  {
    Browser browser(chromium_);
    folder = browser.folder();
    ASSERT_EQ(browser.problem(), "");
    for (std::size_t k = 0; k < cases.size(); ++k) {
      const Case& c = cases[k];
      std::string broken = page;
      std::size_t at = broken.find(c.from);
      ASSERT_NE(at, std::string::npos) << c.what;
      while (at != std::string::npos) {
        broken.replace(at, c.from.size(), c.to);
        at = c.all ? broken.find(c.from, at + c.to.size()) : std::string::npos;
      }
      const std::string name = "report-broken-" + std::to_string(k) + ".html";
      std::ofstream(report.dir + "/" + name, std::ios::binary) << broken;
      Expected expected = report.expected;
      expected.url = "file://" + fs::absolute(report.dir + "/" + name).string();
      const std::vector<std::string> problems =
          page_problems(browser.open(expected.url, 1280, kCheck, ""), expected, 1280);
      EXPECT_NE(joined(problems).find(c.expected), std::string::npos)
          << c.what << ": found only" << joined(problems);
      fs::remove(report.dir + "/" + name);
    }
  }
  ExpectCleanedUp(folder);
}

}  // namespace
