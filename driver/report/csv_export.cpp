#include "driver/report/csv_export.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <fmt/format.h>

#include "driver/base/files.h"
#include "driver/base/text.h"
#include "driver/results/counters.h"
#include "driver/results/run_source.h"

namespace ks::driver {
namespace {

std::string number(double v, const char* format = "{:.9g}") {
  // Not a number and infinities are left empty: a figure that could not be had is no figure.
  return std::isfinite(v) ? fmt::format(fmt::runtime(format), v) : std::string();
}

std::string size_text(const Config& c) {
  return c.size ? std::to_string(*c.size) : std::string();
}

std::string optional_number(const std::optional<double>& v) {
  return v ? number(*v) : std::string();
}

// The counters' columns, each with a prefix: "minor_faults" or "median_minor_faults".
std::string counter_header(const char* prefix) {
  std::string out;
  for (const CounterInfo& c : counter_table()) {
    out += fmt::format(",{}{}", prefix, c.name);
  }
  return out;
}

// The model's columns of summary.csv.
constexpr const char* kModelHeader =
    ",ceiling,ceiling_rate,ceiling_unit,percent_of_ceiling,predicted_seconds,"
    "measured_over_predicted,dominant_term,explained,explanation,memory_seconds,"
    "compute_seconds,first_touch_seconds,openmp_seconds,traffic_bytes,fresh_pages,team";

std::string model_fields(const std::optional<Prediction>& m) {
  if (!m) {
    return std::string(std::count(kModelHeader, kModelHeader + std::strlen(kModelHeader), ','),
                       ',');
  }
  return fmt::format(
      ",{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{}", csv_field(m->ceiling),
      number(m->ceiling_rate, "{:.4g}"), m->ceiling_unit, number(m->percent_of_ceiling, "{:.3g}"),
      number(m->predicted_seconds), number(m->ratio, "{:.3g}"), csv_field(m->dominant),
      m->explained ? 1 : 0, csv_field(m->line), number(m->memory.seconds),
      number(m->compute.seconds), number(m->fresh.seconds), number(m->openmp.seconds),
      number(m->work.traffic(), "{:.6g}"), number(m->work.fresh_pages, "{:.0f}"), m->work.team);
}

}  // namespace

std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\n\r") == std::string::npos) {
    return text;
  }
  std::string quoted = "\"";
  for (char c : text) {
    quoted += c;
    if (c == '"') {
      quoted += '"';
    }
  }
  return quoted + "\"";
}

std::string runs_csv(const std::vector<Config>& configs, const std::vector<RunRecord>& runs) {
  std::string out;
  runs_csv(configs, MemoryRuns(runs), [&out](std::string_view text) { out += text; });
  return out;
}

void runs_csv(const std::vector<Config>& configs, const RunSource& runs, const TextSink& sink) {
  sink(
      "run,round,warmup,program,family,kind,size,effective_size,threads,schedule,chunk,"
      "proc_bind,places,args,outcome,reason,printed_seconds,wall_seconds,exit_status,signal,"
      "started_at" +
      counter_header("") + "\n");
  std::string out;
  runs.each({}, [&](std::size_t i, const RunRecord& r) {
    const Config& c = configs[r.config];
    std::string args;
    for (const std::string& a : c.spec().args) {
      args += (args.empty() ? "" : " ") + a;
    }
    const auto eff = c.effective_size();
    out = fmt::format("{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{}", i + 1,
                      r.round + 1, r.warmup ? 1 : 0, c.program->name, c.program->family,
                      kind_name(c.program->kind), size_text(c), eff ? std::to_string(*eff) : "",
                      c.threads > 0 ? std::to_string(c.threads) : "", csv_field(c.schedule),
                      c.chunk ? std::to_string(*c.chunk) : "", csv_field(c.bind),
                      csv_field(c.places), csv_field(args), outcome_name(r.outcome),
                      csv_field(r.why), number(r.printed_seconds.value_or(NAN)),
                      number(r.wall_seconds), r.exit_status, r.signal, iso_time(r.started_at));
    for (const CounterInfo& k : counter_table()) {
      out += "," + optional_number(k.value(r.counters));
    }
    out += "\n";
    sink(out);
    out.clear();
  });
}

std::string summary_csv(const std::vector<Config>& configs, const std::vector<SummaryRow>& rows) {
  std::string out =
      "program,family,kind,size,effective_size,threads,schedule,chunk,proc_bind,places,runs,"
      "valid,"
      "metric,min,median,median_low,median_high,median_confidence,mean,max,stddev,"
      "outliers_mild,outliers_severe,noisy,time_step,below_resolution,process_median,gb_per_s,"
      "gops_per_s,op_unit,speedup,speedup_low,speedup_high,speedup_confidence,speedup_vs" +
      std::string(kModelHeader) + counter_header("median_") + "\n";
  for (const SummaryRow& row : rows) {
    const Config& c = configs[row.config];
    const auto eff = c.effective_size();
    const bool stats = row.stats.count > 0;
    const Estimate& m = row.sample.median;
    const Estimate& s = row.speedup;
    auto opt = [](const std::optional<double>& v, const char* format = "{:.9g}") {
      return v ? number(*v, format) : std::string();
    };
    std::vector<std::string> fields = {
        std::string(c.program->name),
        std::string(c.program->family),
        kind_name(c.program->kind),
        size_text(c),
        eff ? std::to_string(*eff) : "",
        c.threads > 0 ? std::to_string(c.threads) : "",
        csv_field(c.schedule),
        c.chunk ? std::to_string(*c.chunk) : "",
        csv_field(c.bind),
        csv_field(c.places),
        std::to_string(row.runs),
        std::to_string(row.valid),
        row.printed_time ? "printed_seconds" : "wall_seconds",
        stats ? number(row.stats.min) : "",
        stats ? number(row.stats.median) : "",
        m.ci ? number(m.ci->low) : "",
        m.ci ? number(m.ci->high) : "",
        m.ci ? number(m.confidence, "{:.4g}") : "",
        stats ? number(row.stats.mean) : "",
        stats ? number(row.stats.max) : "",
        row.stats.count > 1 ? number(row.stats.stddev) : "",  // one run has no spread
        stats ? std::to_string(row.sample.outliers.mild()) : "",
        stats ? std::to_string(row.sample.outliers.severe()) : "",
        row.noisy ? "1" : "0",
        row.time_step > 0 ? number(row.time_step, "{:.3g}") : "",
        row.below_resolution ? "1" : "0",
        number(row.process_median),
        number(row.gb_per_s, "{:.4g}"),
        number(row.gops_per_s, "{:.4g}"),
        std::string(c.program->op_unit),
        opt(s.value, "{:.4g}"),
        s.ci ? number(s.ci->low, "{:.4g}") : "",
        s.ci ? number(s.ci->high, "{:.4g}") : "",
        s.ci ? number(s.confidence, "{:.4g}") : "",
        csv_field(row.speedup_vs)};
    for (std::size_t k = 0; k < fields.size(); ++k) {
      out += (k == 0 ? "" : ",") + fields[k];
    }
    out += model_fields(row.model);
    for (const auto& median : row.counters) {
      out += "," + optional_number(median);
    }
    out += "\n";
  }
  return out;
}

Exported write_csv(const std::string& dir, const ResultSet& results, const Exports& /*earlier*/) {
  Exported e;
  e.write_with(dir, "runs.csv",
               [&](const TextSink& sink) { runs_csv(results.configs, *runs_of(results), sink); });
  e.write(dir, "summary.csv", summary_csv(results.configs, results.summary));
  return e;
}

}  // namespace ks::driver
