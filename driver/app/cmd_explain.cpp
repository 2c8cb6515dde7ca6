// kernelscope explain PROGRAM... [--size N] [--threads T] [--out DIR] [--json]: why a
// benchmark takes its time, in one place: the source lines between its clock readings, its
// compiled inner loop with the instructions of the loop-carried chain marked, cycles per
// iteration by throughput and by that chain, the streams with the level serving each, the
// predicted time term by term, and the measured median with the ratio when the folder's store
// has runs of the same configuration. Several programs are set side by side first.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>

#include <fmt/format.h>

#include "driver/analysis/loop_model.h"
#include "driver/analysis/model.h"
#include "driver/analysis/stored_results.h"
#include "driver/app/commands.h"
#include "driver/base/build_info.h"
#include "driver/base/files.h"
#include "driver/base/lock.h"
#include "driver/base/text.h"
#include "driver/plan/lists.h"
#include "driver/session/loop_analyses.h"
#include "driver/store/store.h"
#include "loopmodel/cache.h"

namespace ks::driver {
namespace {

namespace lm = ks::loopmodel;

constexpr std::size_t kWidth = 100;

struct ExplainOptions {
  std::vector<std::string> programs;
  std::string size;
  int threads = 1;
  std::string out = ".";
  bool json = false;
};

struct SourceLine {
  int number = 0;
  std::string text;
};

struct Explained {
  Config config;
  std::string source_file;  // relative to the source tree
  std::vector<SourceLine> source;
  std::optional<lm::BinaryAnalysis> analysis;
  std::string analysis_error;
  std::optional<Prediction> prediction;
  std::vector<std::size_t> path;   // the main loop's instructions on its loop-carried chain
  std::optional<lm::InCore> main;  // the main loop's figures per compiled iteration
  std::optional<double> measured;  // the store's median of the same configuration
  int runs = 0;
};

// The program's source: <family>/<name>.cpp, else the one its builds share (yupd.cpp for
// yupd-o0); "" when neither is in the source tree.
std::string source_file(const ProgramInfo& p) {
  std::string name(p.name);
  while (true) {
    const std::string rel = fmt::format("{}/{}.cpp", p.family, name);
    if (is_regular_file(std::string(build_source_dir()) + "/" + rel)) {
      return rel;
    }
    const auto dash = name.rfind('-');
    if (dash == std::string::npos) {
      return "";
    }
    name.resize(dash);
  }
}

// A clock reading in a line of source: a call of the wall clock or of omp_get_wtime.
bool reads_clock(const std::string& line) {
  for (const char* call : {"wall_now(", "omp_get_wtime(", "clock_gettime("}) {
    if (line.find(call) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// The lines from the first clock reading to the next one, both included.
std::vector<SourceLine> timed_lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<SourceLine> lines;
  std::string line;
  int number = 0;
  bool inside = false;
  while (std::getline(in, line)) {
    ++number;
    const bool reads = reads_clock(line);
    if (reads || inside) {
      lines.push_back({number, line});
    }
    if (reads && inside) {
      return lines;
    }
    inside = inside || reads;
  }
  return inside ? lines : std::vector<SourceLine>{};
}

// The store's results in `dir`, when it has one that can be read now.
std::optional<ResultSet> stored_results(const std::string& dir) {
  if (!Store::exists(dir)) {
    return std::nullopt;
  }
  try {
    FolderLock lock(dir);
    Store store = Store::open_readonly(dir + "/" + std::string(kStoreFile));
    return result_set(store.load());
  } catch (const std::exception& e) {
    warning_line(fmt::format("{}: {} (no measured times)", dir, e.what()));
    return std::nullopt;
  }
}

const SummaryRow* matching_row(const ResultSet& results, const Config& c) {
  for (const SummaryRow& row : results.summary) {
    const Config& s = results.configs[row.config];
    if (s.program == c.program && s.effective_size() == c.effective_size() &&
        s.threads == c.threads && s.schedule.empty() && row.stats.count > 0) {
      return &row;
    }
  }
  return nullptr;
}

Config explained_config(const ProgramInfo& p, const ExplainOptions& o) {
  Config c;
  c.program = &p;
  if (p.arg != ArgKind::kNone) {
    std::string sizes = o.size.empty() ? std::string(p.default_sizes) : o.size;
    try {
      c.size = parse_sizes(sizes).front();
    } catch (const std::invalid_argument& e) {
      throw UsageError(fmt::format("--size: {} {}", e.what(), help_pointer("explain")));
    }
  }
  c.threads = p.openmp ? o.threads : 0;
  return c;
}

// Everything shown of one program; `stored` the folder's results (its ceilings and loops are
// the measurement's), `ceilings` the machine's otherwise.
Explained explain_one(const Common& common, const ProgramInfo& p, const ExplainOptions& o,
                      const std::optional<ResultSet>& stored,
                      const std::optional<Ceilings>& ceilings) {
  Explained e;
  e.config = explained_config(p, o);
  e.source_file = source_file(p);
  if (!e.source_file.empty()) {
    e.source = timed_lines(std::string(build_source_dir()) + "/" + e.source_file);
  }
  std::map<std::string, std::string> errors;
  std::map<std::string, lm::BinaryAnalysis> loops;
  if (stored) {
    loops = context_loops(machine_of(*stored), &errors);
  }
  if (!loops.count(std::string(p.name))) {
    MachineContext here;
    here.loops = loops_context({e.config}, common.bin_dir, lm::default_cache_dir());
    loops = context_loops(here, &errors);
  }
  if (const auto it = loops.find(std::string(p.name)); it != loops.end()) {
    e.analysis = it->second;
  } else {
    e.analysis_error = errors.count(std::string(p.name)) ? errors[std::string(p.name)]
                                                         : "no loop nest in the catalogue";
  }
  const lm::Latencies latencies = ceilings ? probe_latencies(*ceilings) : lm::Latencies{};
  if (e.analysis && e.analysis->priced_loop(e.analysis->kernel.main) != nullptr) {
    e.main = lm::in_core(*e.analysis, *e.analysis->priced_loop(e.analysis->kernel.main), latencies);
    e.path = e.main->path.instructions;
  }
  if (ceilings) {
    e.prediction = predict(e.config, *ceilings, e.analysis ? &*e.analysis : nullptr);
  }
  if (const SummaryRow* row = stored ? matching_row(*stored, e.config) : nullptr) {
    e.measured = row->stats.median;
    e.runs = row->stats.count;
    if (e.prediction && *e.measured > 0) {
      explain(*e.prediction, *e.measured);
    }
  }
  return e;
}

std::string seconds_or_dash(double s) {
  return s > 0 ? human_seconds(s) : "-";
}

std::string fit(std::string text, std::size_t width) {
  if (text.size() > width) {
    text.resize(width - 3);
    text += "...";
  }
  return text;
}

// One line per stretch of `text` that fits the width, broken at blanks, the continuations
// indented by `indent`.
void wrapped_lines(const std::string& text, std::size_t indent) {
  std::string line;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t room = kWidth - (line.empty() && start == 0 ? 0 : indent);
    std::size_t end = text.size();
    if (end - start > room) {
      end = text.rfind(' ', start + room);
      end = end == std::string::npos || end <= start ? start + room : end;
    }
    output_line(std::string(start == 0 ? 0 : indent, ' ') + text.substr(start, end - start));
    start = end;
    while (start < text.size() && text[start] == ' ') {
      ++start;
    }
  }
}

std::string bytes_text(double b) {
  if (b <= 0) {
    return "-";
  }
  const char* units[] = {"B", "kB", "MB", "GB", "TB"};
  int u = 0;
  while (b >= 1000 && u < 4) {
    b /= 1000;
    ++u;
  }
  return fmt::format("{:.3g} {}", b, units[u]);
}

// The side-by-side table: one column per program, a row per figure.
void print_side_by_side(const std::vector<Explained>& all) {
  const std::size_t label = 22;
  const std::size_t column =
      std::max<std::size_t>(10, std::min<std::size_t>(19, (kWidth - label) / all.size()));
  auto row = [&](const std::string& name, auto&& cell) {
    std::string line = fmt::format("{:<{}}", name, label);
    for (const Explained& e : all) {
      line += fmt::format("{:>{}}", fit(cell(e), column - 1), column);
    }
    output_line(line);
  };
  auto ecm = [](const Explained& e) -> const EcmFigures* {
    return e.prediction && e.prediction->ecm ? &*e.prediction->ecm : nullptr;
  };
  row("", [](const Explained& e) { return terminal_text(e.config.label()); });
  // Per iteration of the nest; without a model, per compiled iteration of the main loop.
  row("cycles/it throughput", [&](const Explained& e) {
    return ecm(e)   ? fmt::format("{:.2f}", ecm(e)->throughput_cycles)
           : e.main ? fmt::format("{:.2f}", e.main->throughput_cycles)
                    : "-";
  });
  row("cycles/it chain", [&](const Explained& e) {
    return ecm(e)   ? fmt::format("{:.2f}", ecm(e)->chain_cycles)
           : e.main ? fmt::format("{:.2f}", e.main->latency_cycles)
                    : "-";
  });
  row("cycles/it transfers", [&](const Explained& e) {
    if (!ecm(e)) {
      return std::string("-");
    }
    double t = 0;
    for (const double c : ecm(e)->link_cycles) {
      t += c;
    }
    return fmt::format("{:.2f}", t);
  });
  row("data from", [&](const Explained& e) { return ecm(e) ? ecm(e)->data_level : "-"; });
  row("in-core / compute", [](const Explained& e) {
    return e.prediction ? seconds_or_dash(e.prediction->compute.seconds) : "-";
  });
  row("data / memory", [](const Explained& e) {
    return e.prediction ? seconds_or_dash(e.prediction->memory.seconds) : "-";
  });
  row("first touch", [](const Explained& e) {
    return e.prediction ? seconds_or_dash(e.prediction->fresh.seconds) : "-";
  });
  row("OpenMP", [](const Explained& e) {
    return e.prediction ? seconds_or_dash(e.prediction->openmp.seconds) : "-";
  });
  row("predicted", [](const Explained& e) {
    return e.prediction ? human_seconds(e.prediction->predicted_seconds) : "-";
  });
  row("measured (median)",
      [](const Explained& e) { return e.measured ? human_seconds(*e.measured) : "-"; });
  row("measured/predicted", [](const Explained& e) {
    return e.measured && e.prediction ? fmt::format("{:.2f}", e.prediction->ratio) : "-";
  });
  output_line("");
}

void print_loop(const Explained& e) {
  const lm::BinaryAnalysis& a = *e.analysis;
  const lm::TimedKernel& k = a.kernel;
  const lm::Loop& loop = k.loops[k.main];
  const lm::PricedLoop* priced = a.priced_loop(k.main);
  const std::vector<std::size_t>& path = e.path;
  wrapped_lines(fmt::format("compiled inner loop: {} at 0x{:x}, {} instructions, priced for {} by "
                            "llvm-mca {}{}; * marks the loop-carried chain",
                            terminal_text(loop.function), loop.header, loop.size(),
                            terminal_text(a.cpu), terminal_text(a.llvm_mca_version),
                            a.cpu_fell_back ? " (this CPU unknown to it: its fallback)" : ""),
                2);
  for (std::size_t i = 0; i < loop.body.size(); ++i) {
    const bool on_path = std::find(path.begin(), path.end(), i) != path.end();
    const lm::Instruction& in = loop.body[i];
    const double latency =
        priced != nullptr && i < priced->figures.size() ? priced->figures[i].latency : 0;
    output_line(fit(fmt::format("  {} {:>6x}  {:<44} latency {:.0f}", on_path ? "*" : " ",
                                in.address, terminal_text(in.text()), latency),
                    kWidth));
  }
}

void print_figures(const Explained& e) {
  const Prediction& p = *e.prediction;
  if (p.ecm) {
    const EcmFigures& f = *p.ecm;
    for (const LoopUse& u : f.loops) {
      wrapped_lines(
          fmt::format("loop {}: {:.2f} cycles per compiled iteration by throughput, {:.2f} by "
                      "the loop-carried chain{}; {} of the nest's iterations each, {} compiled "
                      "iterations per thread",
                      terminal_text(u.where), u.throughput_cycles, u.chain_cycles,
                      u.chain_via.empty() ? "" : " (via " + terminal_text(u.chain_via) + ")",
                      u.per_iteration, grouped(u.iterations)),
          2);
    }
    output_line("streams: the level serving each, and the bytes it brings one thread:");
    for (const StreamUse& s : f.streams) {
      output_line(
          fmt::format("  {:<20} {:<7} {}", terminal_text(s.array), s.level, bytes_text(s.bytes)));
    }
  }
  output_line("predicted, term by term:");
  for (const Term* t : {&p.compute, &p.memory, &p.fresh, &p.openmp}) {
    if (t->seconds > 0 || t == &p.compute) {
      wrapped_lines(fmt::format("  {:<12} {:>10}  {}", t->name, human_seconds(t->seconds), t->what),
                    27);
    }
  }
  output_line(fmt::format("  {:<12} {:>10}  {}", "total", human_seconds(p.predicted_seconds),
                          p.ecm ? "max(in-core, data) + first touch + OpenMP"
                                : "max(memory, compute) + first touch + OpenMP"));
  if (e.measured) {
    output_line(fmt::format("measured: median {} of {} runs; measured/predicted {:.2f}",
                            human_seconds(*e.measured), e.runs, p.ratio));
    wrapped_lines("model: " + p.line, 2);
  }
}

void print_one(const Explained& e) {
  output_line(fmt::format("== {}", terminal_text(e.config.label())));
  if (!e.source.empty()) {
    output_line(fmt::format("source: {}, lines {}-{}", terminal_text(e.source_file),
                            e.source.front().number, e.source.back().number));
    for (const SourceLine& l : e.source) {
      output_line(fit(fmt::format("  {:>4} | {}", l.number, terminal_text(l.text)), kWidth));
    }
  }
  if (e.analysis) {
    print_loop(e);
  } else {
    wrapped_lines("compiled loop: none (" + terminal_text(e.analysis_error) + ")", 2);
  }
  if (e.prediction) {
    print_figures(e);
  } else {
    output_line("predicted: no model (no ceilings: kernelscope probe measures them)");
  }
  output_line("");
}

nlohmann::json explained_json(const Explained& e) {
  nlohmann::json j = {{"program", e.config.program->name},
                      {"label", e.config.label()},
                      {"source_file", e.source_file}};
  j["size"] = e.config.effective_size() ? nlohmann::json(*e.config.effective_size()) : nullptr;
  j["threads"] = e.config.threads;
  j["source"] = nlohmann::json::array();
  for (const SourceLine& l : e.source) {
    j["source"].push_back({{"line", l.number}, {"text", l.text}});
  }
  j["analysis"] = e.analysis ? lm::to_json(*e.analysis) : nlohmann::json(nullptr);
  if (!e.analysis) {
    j["analysis_error"] = e.analysis_error;
  }
  if (e.prediction) {
    const Prediction& p = *e.prediction;
    nlohmann::json terms = nlohmann::json::object();
    for (const Term* t : {&p.compute, &p.memory, &p.fresh, &p.openmp}) {
      terms[t->name] = {{"seconds", t->seconds}, {"what", t->what}};
    }
    j["predicted"] = {{"seconds", p.predicted_seconds}, {"terms", terms}, {"level", p.level}};
    if (p.ecm) {
      const EcmFigures& f = *p.ecm;
      j["predicted"]["cycles_per_iteration"] = {{"throughput", f.throughput_cycles},
                                                {"chain", f.chain_cycles},
                                                {"ecm", f.ecm_cycles},
                                                {"max_bound", f.max_cycles}};
      j["predicted"]["iterations"] = f.iterations;
      j["predicted"]["hertz"] = f.hertz;
      nlohmann::json streams = nlohmann::json::array();
      for (const StreamUse& s : f.streams) {
        streams.push_back({{"array", s.array}, {"level", s.level}, {"bytes", s.bytes}});
      }
      j["predicted"]["streams"] = streams;
    }
  }
  j["measured"] = e.measured ? nlohmann::json({{"median", *e.measured}, {"runs", e.runs}})
                             : nlohmann::json(nullptr);
  if (e.measured && e.prediction) {
    j["measured"]["ratio"] = e.prediction->ratio;
  }
  return j;
}

int run_explain(const Common& common, const ExplainOptions& o) {
  std::vector<const ProgramInfo*> programs;
  for (const std::string& name : o.programs) {
    const ProgramInfo* p = find_program(name);
    if (p == nullptr || p->kind != Kind::kBenchmark) {
      throw UsageError(fmt::format("{} is not a benchmark of the catalogue (kernelscope list) {}",
                                   terminal_text(name), help_pointer("explain")));
    }
    if (!built(common, p->name)) {
      throw UsageError(missing_message(common, p->name));
    }
    programs.push_back(p);
  }
  const std::optional<ResultSet> stored = stored_results(o.out);
  std::optional<Ceilings> ceilings;
  if (stored) {
    ceilings = ceilings_from_context(machine_of(*stored));
  }
  if (!ceilings) {
    if (std::optional<KnownCeilings> known = ceilings_for_measuring(common)) {
      ceilings = known->ceilings;
    }
  }
  std::vector<Explained> all;
  for (const ProgramInfo* p : programs) {
    all.push_back(explain_one(common, *p, o, stored, ceilings));
  }
  if (o.json) {
    nlohmann::json out = nlohmann::json::array();
    for (const Explained& e : all) {
      out.push_back(explained_json(e));
    }
    output_line(out.dump());
    return 0;
  }
  if (all.size() > 1) {
    print_side_by_side(all);
  }
  for (const Explained& e : all) {
    print_one(e);
  }
  return 0;
}

}  // namespace

Subcommand setup_explain(CLI::App& app, Common& common) {
  auto o = std::make_shared<ExplainOptions>();
  auto* explain = app.add_subcommand(
      "explain", "why a benchmark takes its time: source, compiled loop, cycles, streams, terms");
  explain->add_option("PROGRAM", o->programs, "benchmarks to explain, side by side")->required();
  explain->add_option("--size", o->size, "the size (default: the program's default size)");
  explain->add_option("--threads", o->threads, "the team of an OpenMP program (default: 1)")
      ->check(CLI::Range(1, kMaxThreads));
  explain->add_option("--out", o->out,
                      "the folder whose store (results.db) gives the measured median (default: .)");
  explain->add_flag("--json", o->json, "one JSON array on standard output instead of text");
  add_bin_option(*explain, common);
  add_model_options(*explain, common);
  return {explain, [&common, o] { return run_explain(common, *o); }};
}

}  // namespace ks::driver
