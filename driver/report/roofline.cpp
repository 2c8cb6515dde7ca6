#include "driver/report/roofline.h"

#include <algorithm>
#include <optional>

#include <fmt/format.h>

#include "driver/analysis/ceilings.h"
#include "driver/analysis/model.h"
#include "driver/base/text.h"
#include "driver/report/plots.h"

namespace ks::driver {

std::optional<Roofline> roofline_model(const ResultSet& results) {
  const std::optional<Ceilings> ceilings = ceilings_from_context(machine_of(results));
  if (!ceilings) {
    return std::nullopt;
  }
  const Ceilings& c = *ceilings;
  Roofline r;
  double xmin = 1e300, xmax = 0, ymin = 1e300, ymax = 0;
  for (const SummaryRow& row : results.summary) {
    if (!row.model || !(row.model->work.traffic() > 0) || !(row.model->work.ops > 0) ||
        !(row.model->measured_seconds > 0)) {
      continue;
    }
    const Config& cf = results.configs[row.config];
    const double x = row.model->work.ops / row.model->work.traffic();
    const double y = row.model->work.ops / row.model->measured_seconds;
    const std::string family(cf.program->family);
    auto at = std::find(r.families.begin(), r.families.end(), family);
    if (at == r.families.end()) {
      r.families.push_back(family);
      r.points.emplace_back();
      at = r.families.end() - 1;
    }
    r.points[static_cast<std::size_t>(at - r.families.begin())].push_back({x, y, cf.label()});
    xmin = std::min(xmin, x);
    xmax = std::max(xmax, x);
    ymin = std::min(ymin, y);
    ymax = std::max(ymax, y);
  }
  if (r.families.empty()) {
    return std::nullopt;
  }
  const int all = c.max_threads();
  auto add = [&](const std::string& title, std::optional<double> v, double scale, bool bandwidth) {
    if (v && *v > 0) {
      r.roofs.push_back({title, *v * scale, bandwidth});
    }
  };
  add("memory bandwidth, T=1", c.add_bytes_per_second(0, 1), kTrafficPerNamedByte, true);
  if (all > 1) {
    add(fmt::format("memory bandwidth, T={}", all), c.add_bytes_per_second(0, all),
        kTrafficPerNamedByte, true);
  }
  for (const CacheLevel& level : c.caches) {
    add(fmt::format("L{} bandwidth, T=1", level.level), c.add_bytes_per_second(level.level, 1),
        kTrafficPerNamedByte, true);
  }
  add("scalar fp64 adds, T=1", c.ops_per_second("fp64_add", "scalar", 1), 1, false);
  add("scalar int32 adds, T=1", c.ops_per_second("int32_add", "scalar", 1), 1, false);
  if (!c.vector_isa.empty()) {
    add(fmt::format("{} fp64 fma flops, T={}", c.vector_isa, all),
        c.ops_per_second("fp64_fma", c.vector_isa, all), 2, false);
  }
  for (const Roof& roof : r.roofs) {
    ymax = std::max(ymax, roof.bandwidth ? 0.0 : roof.value);
  }
  r.xmin = xmin / 4;
  r.xmax = xmax * 4;
  r.ymin = ymin / 4;
  r.ymax = ymax * 2;
  return r;
}

std::optional<PlotText> roofline_plot(const ResultSet& results) {
  const std::optional<Roofline> model = roofline_model(results);
  if (!model) {
    return std::nullopt;
  }
  const Roofline& r = *model;
  const std::vector<std::string>& families = r.families;
  const std::string name = "roofline";
  const std::string title =
      "roofline: achieved operations per second against operational intensity";
  const std::string xlabel = "operations per byte of memory traffic (model)";
  const std::string ylabel = "operations per second (flop or int op)";
  std::string own_data;
  for (std::size_t f = 0; f < families.size(); ++f) {
    own_data += "# " + one_line(families[f]) + "\n";
    for (const RooflinePoint& p : r.points[f]) {
      own_data += fmt::format("{:.9g} {:.9g} {}\n", p.intensity, p.rate,
                              gnuplot_string(p.label, GnuplotField::kData));
    }
    own_data += "\n\n";
  }
  std::string body;
  body += "set title " + gnuplot_string(title) + "\n";
  body += "set xlabel " + gnuplot_string(xlabel) + "\nset ylabel " + gnuplot_string(ylabel) + "\n";
  body += "set logscale x 10\nset logscale y 10\nset format x '%.0e'\nset format y '%.0e'\n";
  body += fmt::format("set xrange [{:.6g}:{:.6g}]\nset yrange [{:.6g}:{:.6g}]\n", r.xmin, r.xmax,
                      r.ymin, r.ymax);
  body += "set key below maxrows 4\nset grid\nset samples 400\n";
  const std::string data = gnuplot_string(name + ".dat");
  body += "plot ";
  std::string sep;
  for (const Roof& roof : r.roofs) {
    body +=
        sep +
        (roof.bandwidth ? fmt::format("{:.6g}*x", roof.value) : fmt::format("{:.6g}", roof.value)) +
        fmt::format(" with lines dt {} lw 1.5 title {}", roof.bandwidth ? 2 : 3,
                    gnuplot_string(fmt::format("{} ({:.3g} G{}/s)", roof.title, roof.value / 1e9,
                                               roof.bandwidth ? "B" : "")));
    sep = ", \\\n     ";
  }
  std::size_t shown = 0;
  for (const auto& family_points : r.points) {
    shown += family_points.size();
  }
  const bool labelled = shown <= 12;
  for (std::size_t i = 0; i < families.size(); ++i) {
    body += sep + fmt::format("{} index {} using 1:2 with points pt 7 ps 1.2 title {}", data, i,
                              gnuplot_string(families[i]));
    // Names beside the points only while they can be read; a tour's crowd names no point (the
    // data file and report.html's roofline name every one).
    if (labelled) {
      body += sep + fmt::format(
                        "{} index {} using 1:2:3 with labels offset 0.6,0.6 left font ',8' notitle",
                        data, i);
    }
  }
  body += "\n";
  std::string script;
  script += "set terminal svg size 960,600 dynamic noenhanced font 'sans,12'\n";
  script += "set output " + gnuplot_string(name + ".svg.part") + "\n" + body + "unset output\n";
  script += "set terminal pngcairo size 960,600 noenhanced font 'sans,10'\n";
  script +=
      "set output " + gnuplot_string(name + ".png.part") + "\n" + "replot\nunset output\nreset\n";
  return PlotText{name, own_data, script};
}

}  // namespace ks::driver
