#include "driver/report/json_export.h"

#include <cmath>

#include <fmt/format.h>

#include "driver/base/files.h"
#include "driver/base/text.h"
#include "driver/results/counters.h"
#include "driver/results/run_source.h"

namespace ks::driver {
namespace {

nlohmann::json num(double v) {
  return std::isfinite(v) ? nlohmann::json(v) : nlohmann::json(nullptr);
}

nlohmann::json counters_json(const RunCounters& c) {
  nlohmann::json j = nlohmann::json::object();
  for (const CounterInfo& k : counter_table()) {
    const auto v = k.value(c);
    j[std::string(k.name)] = v ? nlohmann::json(*v) : nlohmann::json(nullptr);
  }
  return j;
}

nlohmann::json term_json(const Term& t) {
  return {{"seconds", t.seconds}, {"what", t.what}};
}

// The compiled loop's figures, per iteration of the nest's innermost loop and one thread.
nlohmann::json ecm_json(const EcmFigures& f) {
  nlohmann::json links = nlohmann::json::array();
  for (std::size_t k = 0; k < f.links.size(); ++k) {
    links.push_back({{"from", f.links[k]},
                     {"bytes_per_iteration", f.link_bytes[k]},
                     {"bytes_per_second", f.link_rates[k]},
                     {"cycles_per_iteration", f.link_cycles[k]}});
  }
  nlohmann::json loops = nlohmann::json::array();
  for (const LoopUse& u : f.loops) {
    loops.push_back({{"where", u.where},
                     {"instructions", u.instructions},
                     {"nest_iterations_per_iteration", u.per_iteration},
                     {"throughput_cycles", u.throughput_cycles},
                     {"chain_cycles", u.chain_cycles},
                     {"chain_via", u.chain_via},
                     {"iterations", u.iterations}});
  }
  nlohmann::json streams = nlohmann::json::array();
  for (const StreamUse& s : f.streams) {
    streams.push_back({{"array", s.array}, {"level", s.level}, {"bytes", s.bytes}});
  }
  return {{"cpu", f.cpu},
          {"cpu_fell_back", f.cpu_fell_back},
          {"loops", loops},
          {"throughput_cycles", f.throughput_cycles},
          {"chain_cycles", f.chain_cycles},
          {"links", links},
          {"streams", streams},
          {"data_level", f.data_level},
          {"ecm_cycles", f.ecm_cycles},
          {"max_bound_cycles", f.max_cycles},
          {"iterations", f.iterations},
          {"hertz", f.hertz}};
}

nlohmann::json model_json(const Prediction& m) {
  const Work& w = m.work;
  nlohmann::json j = {
      {"ceiling", m.ceiling},
      {"ceiling_rate", m.ceiling_rate},
      {"ceiling_unit", m.ceiling_unit},
      {"level", m.level},
      {"achieved_rate", m.achieved_rate},
      {"percent_of_ceiling", m.percent_of_ceiling},
      {"predicted_seconds", m.predicted_seconds},
      {"measured_seconds", m.measured_seconds},
      {"measured_over_predicted", m.ratio},
      {"explained", m.explained},
      {"dominant_term", m.dominant},
      {"explanation", m.line},
      {"terms",
       {{"memory", term_json(m.memory)},
        {"compute", term_json(m.compute)},
        {"first_touch", term_json(m.fresh)},
        {"openmp", term_json(m.openmp)}}},
      {"work",
       {{"read_bytes", w.read_bytes},
        {"written_bytes", w.written_bytes},
        {"fetched_bytes", w.fetched_bytes},
        {"traffic_bytes", w.traffic()},
        {"operations", w.ops},
        {"working_set_bytes", w.working_set},
        {"fresh_pages", w.fresh_pages},
        {"team", w.team},
        {"parallel_regions", w.regions},
        {"barriers", w.barriers},
        {"chunks", w.chunks},
        {"schedule", w.schedule}}},
  };
  j["compiled_loop"] = m.ecm ? ecm_json(*m.ecm) : nlohmann::json(nullptr);
  return j;
}

}  // namespace

nlohmann::json estimate_json(const Estimate& e) {
  nlohmann::json j;
  j["value"] = e.value && std::isfinite(*e.value) ? nlohmann::json(*e.value) : nullptr;
  j["interval"] =
      e.ci
          ? nlohmann::json({{"low", e.ci->low}, {"high", e.ci->high}, {"confidence", e.confidence}})
          : nlohmann::json(nullptr);
  return j;
}

namespace {

nlohmann::json config_json(const Config& c) {
  nlohmann::json cj;
  cj["program"] = c.program->name;
  cj["family"] = c.program->family;
  cj["kind"] = kind_name(c.program->kind);
  cj["size"] = c.size ? nlohmann::json(*c.size) : nlohmann::json(nullptr);
  const auto eff = c.effective_size();
  cj["effective_size"] = eff ? nlohmann::json(*eff) : nlohmann::json(nullptr);
  cj["threads"] = c.threads > 0 ? nlohmann::json(c.threads) : nlohmann::json(nullptr);
  cj["schedule"] = c.schedule.empty() ? nlohmann::json(nullptr) : nlohmann::json(c.schedule);
  cj["chunk"] = c.chunk ? nlohmann::json(*c.chunk) : nlohmann::json(nullptr);
  cj["proc_bind"] = c.bind.empty() ? nlohmann::json(nullptr) : nlohmann::json(c.bind);
  cj["places"] = c.places.empty() ? nlohmann::json(nullptr) : nlohmann::json(c.places);
  cj["args"] = c.spec().args;
  return cj;
}

nlohmann::json run_json(const Config& c, const RunRecord& r) {
  nlohmann::json rj = config_json(c);
  rj["round"] = r.round + 1;
  rj["warmup"] = r.warmup;
  rj["outcome"] = outcome_name(r.outcome);
  rj["reason"] = r.why;
  rj["printed_seconds"] =
      r.printed_seconds ? nlohmann::json(*r.printed_seconds) : nlohmann::json(nullptr);
  rj["wall_seconds"] = num(r.wall_seconds);
  rj["exit_status"] = r.exit_status;
  rj["signal"] = r.signal;
  rj["started_at"] = iso_time(r.started_at);
  rj["counters"] = counters_json(r.counters);
  return rj;
}

// Everything but the runs, whose place holds an empty array.
nlohmann::json results_head(const ResultSet& results) {
  const std::vector<Config>& configs = results.configs;
  nlohmann::json j;
  j["kernelscope"] = {{"command", results.command}, {"format", 1}};
  j["context"] = results.context;
  j["runs"] = nlohmann::json::array();
  j["summary"] = nlohmann::json::array();
  for (const SummaryRow& row : results.summary) {
    nlohmann::json sj = config_json(configs[row.config]);
    sj["runs"] = row.runs;
    sj["valid"] = row.valid;
    sj["metric"] = row.printed_time ? "printed_seconds" : "wall_seconds";
    if (row.stats.count > 0) {
      sj["min"] = row.stats.min;
      sj["median"] = row.stats.median;
      sj["median_interval"] = estimate_json(row.sample.median)["interval"];
      sj["mean"] = row.stats.mean;
      sj["max"] = row.stats.max;
      // One run has no spread: null, not 0.
      sj["stddev"] = row.stats.count > 1 ? nlohmann::json(row.stats.stddev) : nullptr;
      const Outliers& o = row.sample.outliers;
      sj["outliers"] = {{"low_mild", o.low_mild},
                        {"low_severe", o.low_severe},
                        {"high_mild", o.high_mild},
                        {"high_severe", o.high_severe}};
    }
    sj["process_median"] = num(row.process_median);
    sj["time_step"] = row.time_step > 0 ? nlohmann::json(row.time_step) : nullptr;
    sj["below_resolution"] = row.below_resolution;
    if (row.below_resolution) {
      sj["hint"] = row.hint;
    }
    sj["gb_per_s"] = num(row.gb_per_s);
    sj["gops_per_s"] = num(row.gops_per_s);
    sj["op_unit"] = configs[row.config].program->op_unit;
    const nlohmann::json speedup = estimate_json(row.speedup);
    sj["speedup"] = speedup["value"];
    sj["speedup_interval"] = speedup["interval"];
    sj["speedup_vs"] = row.speedup_vs;
    sj["noisy"] = row.noisy;
    nlohmann::json medians = nlohmann::json::object();
    for (std::size_t k = 0; k < kCounterCount; ++k) {
      const auto& v = row.counters[k];
      medians[std::string(counter_table()[k].name)] =
          v ? nlohmann::json(*v) : nlohmann::json(nullptr);
    }
    sj["counters_median_per_run"] = medians;
    sj["model"] = row.model ? model_json(*row.model) : nlohmann::json(nullptr);
    j["summary"].push_back(sj);
  }
  return j;
}

// `j` as dump(2) writes it at `depth` levels in: each line after the first indented by as
// many steps (a JSON text holds no newline but between its tokens).
std::string dump_at(const nlohmann::json& j, std::size_t depth) {
  const std::string text = j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  const std::string indent(2 * depth, ' ');
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    out += c;
    if (c == '\n') {
      out += indent;
    }
  }
  return out;
}

}  // namespace

nlohmann::json results_json(const ResultSet& results) {
  nlohmann::json j = results_head(results);
  runs_of(results)->each({}, [&](std::size_t, const RunRecord& r) {
    j["runs"].push_back(run_json(results.configs[r.config], r));
  });
  return j;
}

void results_json_text(const ResultSet& results, const TextSink& sink) {
  // The text of results_json(results).dump(2) and a newline, with the runs made and written
  // one at a time.
  const nlohmann::json head = results_head(results);
  if (!head.is_object() || head.empty()) {
    sink(dump_at(head, 0) + "\n");
    return;
  }
  sink("{\n");
  bool first_key = true;
  for (const auto& [key, value] : head.items()) {
    sink(fmt::format("{}  {}: ", first_key ? "" : ",\n", dump_at(nlohmann::json(key), 1)));
    first_key = false;
    if (key != "runs") {
      sink(dump_at(value, 1));
      continue;
    }
    bool first_run = true;
    runs_of(results)->each({}, [&](std::size_t, const RunRecord& r) {
      sink((first_run ? "[\n    " : ",\n    ") +
           dump_at(run_json(results.configs[r.config], r), 2));
      first_run = false;
    });
    sink(first_run ? "[]" : "\n  ]");
  }
  sink("\n}\n");
}

Exported write_json(const std::string& dir, const ResultSet& results, const Exports& /*earlier*/) {
  Exported e;
  e.write_with(dir, "results.json",
               [&](const TextSink& sink) { results_json_text(results, sink); });
  return e;
}

}  // namespace ks::driver
