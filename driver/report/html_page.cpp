#include "driver/report/html_page.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include <fmt/format.h>

#include "driver/base/text.h"
#include "driver/report/html.h"
#include "driver/results/run_source.h"

namespace ks::driver::html_page {
namespace {

// The page's style: readable from a phone to a wide screen (tables scroll inside their box,
// figures flow into as many columns as fit) and printed without cutting a figure or a row.
constexpr std::string_view kStyle = R"css(
:root{--fg:#1b1b1b;--muted:#595959;--line:#d0d7de;--soft:#f4f6f8;--ok:#17692e;--bad:#b3261e;--warn:#7a4d00}
*{box-sizing:border-box}
body{margin:0;font:15px/1.5 system-ui,"Segoe UI",Roboto,"Noto Sans","DejaVu Sans",sans-serif;color:var(--fg);background:#fff}
header,nav,main,footer{margin:0 auto;padding:0 24px}
p,ul.warnings,details.machine{max-width:80em}
h1{font-size:1.6em;margin:.7em 0 .3em}
h2{font-size:1.3em;margin:1.8em 0 .5em;padding-bottom:.2em;border-bottom:2px solid var(--line)}
h3{font-size:1.1em;margin:1.2em 0 .4em}
a{color:#0b57a4}
code,pre,.mono{font-family:ui-monospace,"DejaVu Sans Mono",Menlo,Consolas,monospace;font-size:.88em}
.command{background:var(--soft);padding:.5em .8em;border-radius:6px;margin:.3em 0 .8em;white-space:pre-wrap;overflow-wrap:anywhere}
.verdict{margin:.2em 0 .4em;font-weight:600}
.findings{margin:.6em 0 1em;padding:.4em 1.1em .6em;border:2px solid var(--line);border-radius:8px;background:#f8fafc}
.findings h2{margin:.3em 0 .4em;border:0;padding:0}
.findings ul.families{margin:.3em 0;padding-left:1.2em}.findings ul.families>li{margin:.3em 0}
.findings ul ul{padding-left:1.2em;margin:.1em 0}
.findings details.warnings{margin:.5em 0 .2em}
.findings details.warnings ul{padding:.4em .8em .4em 2em;border-left:4px solid var(--warn);background:#fff6e5;margin:.3em 0}
.ok{color:var(--ok)}.bad{color:var(--bad)}
.warnings{margin:.2em 0 1em;padding:.5em .8em .5em 2em;border-left:4px solid var(--warn);background:#fff6e5}
.warnings li{margin:.2em 0}
dl.context{display:grid;grid-template-columns:max-content 1fr;gap:.15em 1.2em;margin:.5em 0}
dl.context dt{font-weight:600;color:var(--muted)}dl.context dd{margin:0;overflow-wrap:anywhere}
nav ul{list-style:none;display:flex;flex-wrap:wrap;gap:.2em 1.2em;padding:.4em 0;margin:0;border-top:1px solid var(--line);border-bottom:1px solid var(--line)}
.figures{display:grid;grid-template-columns:repeat(auto-fill,minmax(min(100%,470px),1fr));gap:16px;margin:.6em 0 1em}
figure{margin:0;padding:8px;border:1px solid var(--line);border-radius:6px;background:#fff;break-inside:avoid;page-break-inside:avoid}
figure svg.chart{display:block;width:100%;height:auto}
svg.chart .predicted,.legend .model-key{display:none}
body.show-model svg.chart .predicted{display:inline}body.show-model .legend .model-key{display:flex}
.model-toggle label{cursor:pointer}
.maps{display:grid;grid-template-columns:repeat(auto-fill,minmax(min(100%,420px),1fr));gap:16px;margin:.6em 0 1em}
figure.map{min-width:0}
.map-box{overflow-x:auto}
svg.map{display:block;width:100%;height:auto}
svg.swatch{flex:none}
figcaption{font-size:.9em;margin-top:.3em}
.legend{list-style:none;display:flex;flex-wrap:wrap;gap:.1em 1.1em;padding:0;margin:.3em 0 0}
.legend li{display:flex;align-items:center;gap:.35em}
.hint,.note{color:var(--muted);font-size:.9em}
.table-wrap{overflow-x:auto;max-width:100%;border:1px solid var(--line);border-radius:6px;margin:.4em 0}
table{border-collapse:collapse;width:100%;font-size:.92em}
th,td{padding:.35em .6em;border-bottom:1px solid var(--line);text-align:left;vertical-align:top;white-space:nowrap}
thead th{background:var(--soft);white-space:normal;vertical-align:bottom}
th.num,td.num{text-align:right;font-variant-numeric:tabular-nums}
td.text{white-space:normal;overflow-wrap:anywhere;min-width:14em;max-width:40em}
th button{font:inherit;font-weight:700;color:inherit;background:none;border:0;padding:0;cursor:pointer;text-align:inherit}
th[aria-sort=ascending] button::after{content:" \25B2"}th[aria-sort=descending] button::after{content:" \25BC"}
tr.failing td{background:#fcebea}
tr.differs th,tr.differs td{background:#fff6e5}
figure.wide{max-width:960px}figure.wide svg.chart{display:block;width:100%;height:auto}
.ci{color:var(--muted);font-size:.85em}
tr.detail td{padding-top:0;white-space:normal;color:var(--muted);font-size:.92em}
tbody tr:has(+tr.detail) td{border-bottom:0}
.explain{white-space:normal}
.flag{font-weight:700;color:var(--warn);cursor:help}
pre.output{white-space:pre-wrap;overflow-wrap:anywhere;max-width:72ch;margin:.3em 0;padding:.5em;background:var(--soft);border-radius:4px}
pre.loop{white-space:pre-wrap;overflow-wrap:anywhere;max-width:80ch;margin:.3em 0;padding:.5em;background:var(--soft);border-radius:4px}
pre.loop mark{font-weight:bold}
.filter{margin:.4em 0}
.filter input{font:inherit;padding:.25em .5em;width:min(100%,24em)}
details>summary{cursor:pointer}
.problems{margin:.3em 0;padding-left:1.4em}
footer{margin:2.5em auto 2em;color:var(--muted);font-size:.9em;border-top:1px solid var(--line);padding-top:.6em}
@media (max-width:640px){table.cards thead{display:none}table.cards,table.cards tbody{display:block}
table.cards tr{display:block;padding:.3em .2em;border-bottom:1px solid var(--line)}
table.cards td{display:inline-block;border:0;padding:.05em .5em .05em 0;white-space:nowrap}
table.cards td[data-label]::before{content:attr(data-label) " ";color:var(--muted);font-size:.8em}
table.cards td:first-child{font-weight:600}table.cards td:first-child::before{content:none}table.cards td.minor{display:none}table.cards td.text{display:block;white-space:normal;min-width:0}
table.cards tr.detail{border-bottom:1px solid var(--line);padding-top:0}table.cards tr:has(+tr.detail){border-bottom:0}
table.cards tr.detail td{display:block;white-space:normal;font-weight:normal}
.table-wrap table:not(.cards) td{white-space:normal;overflow-wrap:anywhere;padding:.3em .4em}td.text{min-width:0}
svg.chart .ticks{font-size:19px}svg.chart .axis-title{font-size:16px}body{font-size:14px}header,nav,main,footer{padding:0 10px}dl.context{grid-template-columns:1fr}dl.context dd{margin-bottom:.3em}}
@media print{body{font-size:10pt}header,nav,main,footer{max-width:none;padding:0}nav,.filter{display:none}
.table-wrap{overflow:visible;border:0}th,td{white-space:normal}h2,h3{break-after:avoid}
tr,figure,.verdict{break-inside:avoid;page-break-inside:avoid}
.map-box{overflow:visible}svg.map{min-width:0!important}a{color:inherit;text-decoration:none}}
)css";

// Sorting a table by a click on a column's header (again: the other way), filtering the long
// ones, and opening every collapsed section before printing. The page reads the same without it.
constexpr std::string_view kScript = R"js(
(function () {
  'use strict';
  function key(cell) {
    var v = cell.getAttribute('data-v');
    if (v === null) { return cell.textContent.trim(); }
    return v === '' ? NaN : Number(v);
  }
  /* A row's explanation is a row of its own under it, class "detail": it moves and hides
     with its row. */
  function detailOf(row) {
    var next = row.nextElementSibling;
    return next && next.classList.contains('detail') ? next : null;
  }
  function mainRows(table) {
    return Array.prototype.filter.call(table.tBodies[0].rows, function (row) {
      return !row.classList.contains('detail');
    });
  }
  function sortBy(table, column, header) {
    var ascending = header.getAttribute('aria-sort') !== 'ascending';
    Array.prototype.forEach.call(table.tHead.rows[0].cells, function (th) {
      th.removeAttribute('aria-sort');
    });
    header.setAttribute('aria-sort', ascending ? 'ascending' : 'descending');
    var body = table.tBodies[0];
    var rows = mainRows(table);
    rows.sort(function (a, b) {
      var x = key(a.cells[column]), y = key(b.cells[column]);
      if (typeof x === 'number' && typeof y === 'number') {
        if (isNaN(x) || isNaN(y)) { return isNaN(x) - isNaN(y); }  /* empty cells last */
        return ascending ? x - y : y - x;
      }
      var c = String(x).localeCompare(String(y), undefined, {numeric: true});
      return ascending ? c : -c;
    });
    rows.forEach(function (row) {
      var detail = detailOf(row);
      body.appendChild(row);
      if (detail) { body.appendChild(detail); }
    });
  }
  document.querySelectorAll('table.sortable').forEach(function (table) {
    Array.prototype.forEach.call(table.tHead.rows[0].cells, function (th, column) {
      var button = document.createElement('button');
      button.type = 'button';
      button.title = 'Sort by this column';
      while (th.firstChild) { button.appendChild(th.firstChild); }
      th.appendChild(button);
      button.addEventListener('click', function () { sortBy(table, column, th); });
    });
  });
  document.querySelectorAll('input[data-filter]').forEach(function (input) {
    var table = document.getElementById(input.getAttribute('data-filter'));
    input.closest('.filter').hidden = false;
    input.addEventListener('input', function () {
      var words = input.value.trim().toLowerCase();
      mainRows(table).forEach(function (row) {
        var detail = detailOf(row);
        var text = row.textContent + (detail ? ' ' + detail.textContent : '');
        row.hidden = words !== '' && text.toLowerCase().indexOf(words) < 0;
        if (detail) { detail.hidden = row.hidden; }
      });
    });
  });
  /* One switch shows or hides the model's predicted times in every plot. */
  var toggle = document.getElementById('show-model');
  if (toggle) {
    toggle.closest('.model-toggle').hidden = false;
    toggle.addEventListener('change', function () {
      document.body.classList.toggle('show-model', toggle.checked);
    });
  }
  var closed = [];
  window.addEventListener('beforeprint', function () {
    document.querySelectorAll('details:not([open])').forEach(function (d) {
      d.open = true;
      closed.push(d);
    });
  });
  window.addEventListener('afterprint', function () {
    closed.forEach(function (d) { d.open = false; });
    closed = [];
  });
})();
)js";

// A table longer than this gets a filter box.
constexpr std::size_t kFilterRows = 12;
// What a run's output excerpt keeps: its start and its end.
constexpr std::size_t kExcerptHead = 1600;
constexpr std::size_t kExcerptTail = 600;

}  // namespace

std::string_view style() {
  return kStyle;
}

std::string_view script() {
  return kScript;
}

std::string esc(std::string_view text) {
  return html_escape(text);
}

// An id for the page: letters, digits and '-', from any text.
std::string anchor(std::string_view text) {
  std::string id;
  for (char c : text) {
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (word) {
      id += c;
    } else if (!id.empty() && id.back() != '-') {
      id += '-';
    }
  }
  while (!id.empty() && id.back() == '-') {
    id.pop_back();
  }
  return id;
}

// A string field of the machine context, or "" when it is missing or of another type.
std::string context_text(const nlohmann::json& j, std::initializer_list<const char*> path) {
  const nlohmann::json* at = &j;
  for (const char* key : path) {
    if (!at->is_object() || !at->contains(key)) {
      return "";
    }
    at = &(*at)[key];
  }
  if (at->is_string()) {
    return at->get<std::string>();
  }
  if (at->is_number()) {
    return at->dump();
  }
  return "";
}

// The page's families, in the order their first configuration was planned.
std::vector<std::string> families(const ResultSet& results) {
  std::vector<std::string> out;
  for (const Config& c : results.configs) {
    const std::string f(c.program->family);
    if (std::find(out.begin(), out.end(), f) == out.end()) {
      out.push_back(f);
    }
  }
  return out;
}

std::size_t invalid_count(const ResultSet& results) {
  return runs_of(results)->totals().not_valid;
}

TableCell text_cell(const std::string& text) {
  return {esc(text)};
}

TableCell number_cell(double v, const std::string& text) {
  return {esc(text), std::isfinite(v) ? std::optional<double>(v) : std::nullopt, true};
}

// A sortable table of `columns` (those whose cells are all "-" are left out); rows whose
// `failing` flag is set are marked.
std::string table_html(const std::string& id, const std::string& caption,
                       const std::vector<Column>& columns, const std::vector<bool>& failing,
                       const std::vector<std::string>& details) {
  std::vector<const Column*> shown;
  for (const Column& c : columns) {
    if (std::any_of(c.cells.begin(), c.cells.end(),
                    [](const TableCell& cell) { return cell.html != "-" && !cell.html.empty(); })) {
      shown.push_back(&c);
    }
  }
  const std::size_t rows = failing.size();
  std::string s;
  if (rows > kFilterRows) {
    s += fmt::format(
        "<p class=\"filter\" hidden><label>Show rows containing <input type=\"search\" "
        "data-filter=\"{}\"></label></p>\n",
        id);
  }
  s += fmt::format(
      "<div class=\"table-wrap\"><table class=\"sortable cards\" id=\"{}\">\n<thead><tr>", id);
  for (const Column* c : shown) {
    const bool numeric = std::any_of(c->cells.begin(), c->cells.end(),
                                     [](const TableCell& cell) { return cell.numeric; });
    s += fmt::format("<th scope=\"col\"{}{}>{}</th>", numeric ? " class=\"num\"" : "",
                     c->title.empty() ? "" : " title=\"" + esc(c->title) + "\"", esc(c->head));
  }
  s += "</tr></thead>\n<tbody>\n";
  for (std::size_t r = 0; r < rows; ++r) {
    s += failing[r] ? "<tr class=\"failing\">" : "<tr>";
    for (const Column* c : shown) {
      const TableCell& cell = c->cells[r];
      std::string classes = cell.prose ? "text" : "";
      if (cell.numeric) {
        classes += classes.empty() ? "num" : " num";
      }
      if (c->minor || cell.html == "-" || cell.html.empty()) {
        classes += classes.empty() ? "minor" : " minor";
      }
      std::string attrs = classes.empty() ? "" : " class=\"" + classes + "\"";
      if (cell.numeric) {
        attrs += cell.sort ? fmt::format(" data-v=\"{:.17g}\"", *cell.sort) : " data-v=\"\"";
      }
      s += "<td" + attrs + " data-label=\"" + esc(c->head) + "\">" + cell.html + "</td>";
    }
    s += "</tr>\n";
    if (r < details.size() && !details[r].empty()) {
      s += fmt::format("<tr class=\"detail{}\"><td colspan=\"{}\">{}</td></tr>\n",
                       failing[r] ? " failing" : "", shown.size(), details[r]);
    }
  }
  return s + "</tbody></table></div>\n<p class=\"note\">" + caption + "</p>\n";
}

std::string seconds_cell_text(double v) {
  return std::isfinite(v) ? human_seconds(v) : "-";
}

// A program's output cut to its start and its end, at character boundaries.
std::string excerpt(const std::string& text) {
  if (text.size() <= kExcerptHead + kExcerptTail + 64) {
    return esc(text);
  }
  auto boundary = [&](std::size_t at) {
    while (at > 0 && at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) {
      --at;
    }
    return at;
  };
  const std::size_t head = boundary(kExcerptHead);
  const std::size_t tail = boundary(text.size() - kExcerptTail);
  return esc(text.substr(0, head)) +
         fmt::format("\n<span class=\"note\">[… {} bytes left out …]</span>\n", tail - head) +
         esc(text.substr(tail));
}

}  // namespace ks::driver::html_page
