// The explanations on report.html: for each configuration the model priced from its compiled
// loop, what `kernelscope explain` shows on the terminal: the inner loop with its loop-carried
// chain marked, cycles per iteration by throughput and by the chain, the streams with the level
// serving each, and the predicted time term by term against the measured median. The summary
// tables' explanations link here.
#include <algorithm>
#include <cmath>
#include <map>

#include <fmt/format.h>

#include "driver/analysis/ceilings.h"
#include "driver/analysis/loop_model.h"
#include "driver/base/text.h"
#include "driver/report/html_page.h"

namespace ks::driver::html_page {
namespace {

namespace lm = ks::loopmodel;

std::string loop_listing(const lm::BinaryAnalysis& a, const lm::Latencies& latencies) {
  const lm::TimedKernel& k = a.kernel;
  const lm::Loop& loop = k.loops[k.main];
  const lm::PricedLoop* priced = a.priced_loop(k.main);
  std::vector<std::size_t> path;
  if (priced != nullptr) {
    path = lm::in_core(a, *priced, latencies).path.instructions;
  }
  std::string s = fmt::format(
      "<p>Compiled inner loop: {} at 0x{:x}, {} instructions, priced for {} by llvm-mca {}{}; "
      "<mark>marked</mark>: the loop-carried chain.</p>\n<pre class=\"loop\">",
      esc(loop.function), loop.header, loop.size(), esc(a.cpu), esc(a.llvm_mca_version),
      a.cpu_fell_back ? " (this CPU unknown to it: its fallback)" : "");
  for (std::size_t i = 0; i < loop.body.size(); ++i) {
    const std::string line =
        esc(fmt::format("{:>6x}  {}", loop.body[i].address, one_line(loop.body[i].text())));
    const bool on_path = std::find(path.begin(), path.end(), i) != path.end();
    s += on_path ? "<mark>" + line + "</mark>\n" : line + "\n";
  }
  return s + "</pre>\n";
}

std::string figures_list(const Prediction& p) {
  const EcmFigures& f = *p.ecm;
  std::string s = "<ul>\n";
  for (const LoopUse& u : f.loops) {
    s += fmt::format(
        "<li>loop {}: {:.2f} cycles per compiled iteration by throughput, {:.2f} by the "
        "loop-carried chain{}; {} of the nest's iterations each</li>\n",
        esc(u.where), u.throughput_cycles, u.chain_cycles,
        u.chain_via.empty() ? "" : " (via " + esc(u.chain_via) + ")", u.per_iteration);
  }
  for (const StreamUse& st : f.streams) {
    s += fmt::format("<li>stream {}: served by {}, {} bytes from it per thread</li>\n",
                     esc(st.array), esc(st.level), grouped(std::round(st.bytes)));
  }
  for (const Term* t : {&p.compute, &p.memory, &p.fresh, &p.openmp}) {
    if (t->seconds > 0) {
      s += fmt::format("<li>{}: {} ({})</li>\n", esc(t->name), esc(human_seconds(t->seconds)),
                       esc(t->what));
    }
  }
  s += fmt::format(
      "<li>predicted {}: in-core and data overlapping (the larger of the two), then first touch "
      "and OpenMP{}</li>\n</ul>\n",
      esc(human_seconds(p.predicted_seconds)),
      p.measured_seconds > 0 ? fmt::format("; measured {}, measured / predicted {:.2f}",
                                           esc(human_seconds(p.measured_seconds)), p.ratio)
                             : "");
  return s;
}

}  // namespace

std::string explain_id(std::size_t config) {
  return fmt::format("explain-{}", config);
}

std::string explanations_section(const ResultSet& results) {
  const std::optional<Ceilings> ceilings = ceilings_from_context(machine_of(results));
  const std::map<std::string, lm::BinaryAnalysis> loops = context_loops(machine_of(results));
  if (!ceilings || loops.empty()) {
    return "";
  }
  const lm::Latencies latencies = probe_latencies(*ceilings);
  std::string s =
      "<section id=\"explanations\">\n<h2>Explanations: the compiled loops</h2>\n<p>For each "
      "configuration, what <code>kernelscope explain</code> shows: the timed kernel's inner loop "
      "in the program's machine code, its cycles, the level serving each stream of its loop "
      "nest, and the predicted time term by term.</p>\n";
  bool any = false;
  for (const SummaryRow& row : results.summary) {
    const Config& c = results.configs[row.config];
    const auto analysis = loops.find(std::string(c.program->name));
    if (!row.model || !row.model->ecm || analysis == loops.end()) {
      continue;
    }
    any = true;
    s += fmt::format("<div class=\"explained\" id=\"{}\">\n<h3>{}</h3>\n<p>{}</p>\n",
                     explain_id(row.config), esc(c.label()), esc(row.model->line));
    s += loop_listing(analysis->second, latencies) + figures_list(*row.model) + "</div>\n";
  }
  return any ? s + "</section>\n" : "";
}

}  // namespace ks::driver::html_page
