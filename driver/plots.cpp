#include "driver/plots.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include <fmt/format.h>

#include "driver/ceilings.h"
#include "driver/exporters.h"
#include "driver/files.h"
#include "driver/lists.h"
#include "driver/model.h"
#include "spawn/spawn.h"

namespace ks::driver {
namespace {

struct Series {
  std::string title;
  std::vector<std::array<double, 4>> points;  // x, median, min, max
  bool predicted = false;                     // the model's line: x, predicted (three times)
  int linetype = 0;  // a predicted line's: the one of the measured series it goes with
};

struct Plot {
  std::string name;  // file stem
  std::string title;
  std::string xlabel = {};
  std::string ylabel = {};
  bool logx = false;
  bool logy = false;
  bool bars = false;  // clustered bars: categories x series
  std::vector<Series> series = {};
  std::vector<std::string> categories = {};  // bars: one per row
  // A plot of its own making (the roofline): its data and its gnuplot commands, drawn into
  // the terminals set around them.
  std::string own_data = {};
  std::string own_body = {};
};

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    q += c == '\'' ? std::string("''") : std::string(1, c);
  }
  return q + "'";
}

std::string series_key(const Config& c, bool with_threads) {
  std::string key(c.program->name);
  if (with_threads && c.threads > 0) {
    key += fmt::format(" T={}", c.threads);
  }
  if (!c.schedule.empty()) {
    key += " " + c.schedule;
  }
  if (c.chunk) {
    key += fmt::format(" chunk={}", *c.chunk);
  }
  return key;
}

// The series of `by_key` in the order given, each point sorted by x.
std::vector<Series> in_order(std::map<std::string, Series>& by_key,
                             const std::vector<std::string>& order) {
  std::vector<Series> series;
  for (const std::string& key : order) {
    std::sort(by_key[key].points.begin(), by_key[key].points.end());
    series.push_back(by_key[key]);
  }
  return series;
}

// The model's predicted time beside each measured series of a time plot: "model: <key>", one
// point per size the model priced.
void add_predicted(std::map<std::string, Series>& by_key, std::vector<std::string>& order,
                   const std::vector<SummaryRow>& rows, const std::vector<Config>& configs,
                   const std::string& family) {
  for (const SummaryRow& row : rows) {
    const Config& c = configs[row.config];
    if (c.program->family != family || !row.model || !c.size) {
      continue;
    }
    const std::string measured = series_key(c, true);
    const std::string key = "model: " + measured;
    if (by_key.find(key) == by_key.end()) {
      // gnuplot gives the k-th element of a plot linetype k: the measured series come first.
      const auto at = std::find(order.begin(), order.end(), measured) - order.begin();
      order.push_back(key);
      by_key[key].title = key;
      by_key[key].predicted = true;
      by_key[key].linetype = static_cast<int>(at) + 1;
    }
    const double p = row.model->predicted_seconds;
    by_key[key].points.push_back({static_cast<double>(*c.effective_size()), p, p, p});
  }
  // A model line of one point draws nothing: leave those out.
  std::erase_if(order, [&](const std::string& key) {
    return by_key[key].predicted && by_key[key].points.size() < 2;
  });
}

// The roofline of a sweep or tour: each configuration the model priced, at its operational
// intensity (operations per byte of memory traffic, from the model) against the operations
// per second it achieved, under the machine's measured roofs: memory bandwidth (one thread
// and the whole machine) and arithmetic throughput (scalar on one thread, the widest vectors
// on every thread).
std::optional<Plot> roofline(const std::vector<Config>& configs,
                             const std::vector<SummaryRow>& rows, const Ceilings& c) {
  std::map<std::string, std::string> by_family;
  std::vector<std::string> families;
  double xmin = 1e300, xmax = 0, ymin = 1e300, ymax = 0;
  for (const SummaryRow& row : rows) {
    if (!row.model || !(row.model->work.traffic() > 0) || !(row.model->work.ops > 0)) {
      continue;
    }
    const Config& cf = configs[row.config];
    const double x = row.model->work.ops / row.model->work.traffic();
    const double y = row.model->work.ops / row.model->measured_seconds;
    const std::string family(cf.program->family);
    if (by_family.find(family) == by_family.end()) {
      families.push_back(family);
    }
    std::string label = cf.label();
    for (char& ch : label) {
      ch = ch == '"' ? '\'' : ch;
    }
    by_family[family] += fmt::format("{:.9g} {:.9g} \"{}\"\n", x, y, label);
    xmin = std::min(xmin, x);
    xmax = std::max(xmax, x);
    ymin = std::min(ymin, y);
    ymax = std::max(ymax, y);
  }
  if (families.empty()) {
    return std::nullopt;
  }
  const int all = c.max_threads();
  struct Roof {
    std::string title;
    double value;
    bool bandwidth;
  };
  std::vector<Roof> roofs;
  auto add = [&](const std::string& title, std::optional<double> v, double scale, bool bandwidth) {
    if (v && *v > 0) {
      roofs.push_back({title, *v * scale, bandwidth});
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
  for (const Roof& r : roofs) {
    ymax = std::max(ymax, r.bandwidth ? 0.0 : r.value);
  }
  xmin /= 4;
  xmax *= 4;
  ymin /= 4;
  ymax *= 2;
  Plot p{.name = "roofline",
         .title = "roofline: achieved operations per second against operational intensity",
         .xlabel = "operations per byte of memory traffic (model)",
         .ylabel = "operations per second (flop or int op)",
         .logx = true,
         .logy = true};
  for (const std::string& family : families) {
    p.own_data += "# " + family + "\n" + by_family[family] + "\n\n";
  }
  std::string body;
  body += "set title " + quote(p.title) + "\n";
  body += "set xlabel " + quote(p.xlabel) + "\nset ylabel " + quote(p.ylabel) + "\n";
  body += "set logscale x 10\nset logscale y 10\nset format x '%g'\nset format y '%.0e'\n";
  body += fmt::format("set xrange [{:.6g}:{:.6g}]\nset yrange [{:.6g}:{:.6g}]\n", xmin, xmax, ymin,
                      ymax);
  body += "set key below maxrows 4\nset grid\nset samples 400\n";
  const std::string data = quote(p.name + ".dat");
  body += "plot ";
  std::string sep;
  for (const Roof& r : roofs) {
    body += sep +
            (r.bandwidth ? fmt::format("{:.6g}*x", r.value) : fmt::format("{:.6g}", r.value)) +
            fmt::format(" with lines dt {} lw 1.5 title {}", r.bandwidth ? 2 : 3,
                        quote(fmt::format("{} ({:.3g} G{}/s)", r.title, r.value / 1e9,
                                          r.bandwidth ? "B" : "")));
    sep = ", \\\n     ";
  }
  for (std::size_t i = 0; i < families.size(); ++i) {
    body += sep + fmt::format("{} index {} using 1:2 with points pt 7 ps 1.2 title {}", data, i,
                              quote(families[i]));
    body += sep +
            fmt::format("{} index {} using 1:2:3 with labels offset 0.6,0.6 left font ',8' notitle",
                        data, i);
  }
  p.own_body = body + "\n";
  return p;
}

std::vector<Plot> build_plots(const std::vector<Config>& configs,
                              const std::vector<SummaryRow>& rows) {
  std::vector<Plot> plots;
  std::vector<std::string> families;
  for (const Config& c : configs) {
    const std::string f(c.program->family);
    if (c.program->kind == Kind::kBenchmark &&
        std::find(families.begin(), families.end(), f) == families.end()) {
      families.push_back(f);
    }
  }
  for (const std::string& family : families) {
    // Time against size, one series per program, thread count and schedule.
    std::map<std::string, Series> by_key;
    std::vector<std::string> order;
    std::set<std::uint64_t> sizes;
    for (const SummaryRow& row : rows) {
      const Config& c = configs[row.config];
      if (c.program->family != family || row.stats.count == 0 || !c.size) {
        continue;
      }
      const std::string key = series_key(c, true);
      if (by_key.find(key) == by_key.end()) {
        order.push_back(key);
        by_key[key].title = key;
      }
      const auto n = static_cast<double>(*c.effective_size());
      by_key[key].points.push_back({n, row.stats.median, row.stats.min, row.stats.max});
      sizes.insert(*c.effective_size());
    }
    add_predicted(by_key, order, rows, configs, family);
    if (sizes.size() >= 2) {
      plots.push_back({.name = "time-" + family,
                       .title = family + ": time against size",
                       .xlabel = "size (N)",
                       .ylabel = "seconds (median, min-max)",
                       .logx = true,
                       .logy = true,
                       .series = in_order(by_key, order)});
    }
    // Speedup against threads, one series per program, size and schedule.
    std::map<std::string, Series> speed;
    std::vector<std::string> speed_order;
    for (const SummaryRow& row : rows) {
      const Config& c = configs[row.config];
      if (c.program->family != family || !c.program->openmp || row.stats.count == 0) {
        continue;
      }
      const SummaryRow* one = nullptr;
      for (const SummaryRow& other : rows) {
        const Config& o = configs[other.config];
        if (o.program == c.program && o.threads == 1 && o.schedule == c.schedule &&
            o.effective_size() == c.effective_size() && o.chunk == c.chunk &&
            other.stats.count > 0) {
          one = &other;
        }
      }
      if (one == nullptr) {
        continue;
      }
      std::string key = series_key(c, false);
      if (c.size) {
        key += " N=" + size_label(*c.size);
      }
      if (speed.find(key) == speed.end()) {
        speed_order.push_back(key);
        speed[key].title = key;
      }
      const double s = one->stats.median / row.stats.median;
      speed[key].points.push_back({static_cast<double>(c.threads), s,
                                   one->stats.median / row.stats.max,
                                   one->stats.median / row.stats.min});
    }
    bool any_speedup = false;
    for (auto& [key, s] : speed) {
      any_speedup = any_speedup || s.points.size() >= 2;
    }
    if (any_speedup) {
      plots.push_back({.name = "speedup-" + family,
                       .title = family + ": speedup against threads (vs one thread)",
                       .xlabel = "threads",
                       .ylabel = "speedup",
                       .series = in_order(speed, speed_order)});
    }
    // The variants side by side: sequential programs and one-thread runs, default schedule.
    std::vector<std::string> programs;
    std::vector<std::string> categories;
    std::map<std::pair<std::string, std::string>, double> medians;
    for (const SummaryRow& row : rows) {
      const Config& c = configs[row.config];
      if (c.program->family != family || row.stats.count == 0 || c.threads > 1 ||
          !c.schedule.empty()) {
        continue;
      }
      const std::string program(c.program->name);
      const std::string category = c.size ? "N=" + size_label(*c.effective_size()) : "run";
      if (std::find(programs.begin(), programs.end(), program) == programs.end()) {
        programs.push_back(program);
      }
      if (std::find(categories.begin(), categories.end(), category) == categories.end()) {
        categories.push_back(category);
      }
      medians[{category, program}] = row.stats.median;
    }
    if (programs.size() >= 2) {
      // Relative to the first variant measured at each size, so that sizes far apart share
      // one scale: below 1 is faster than it.
      Plot p{.name = "variants-" + family,
             .title = family + ": the variants side by side (median time relative to " +
                      programs[0] + ", one thread)",
             .ylabel = "time relative to " + programs[0] + " (lower is faster)",
             .bars = true,
             .categories = categories};
      for (const std::string& program : programs) {
        Series s{program, {}};
        for (std::size_t k = 0; k < categories.size(); ++k) {
          const auto it = medians.find({categories[k], program});
          const auto base = medians.find({categories[k], programs[0]});
          const bool both = it != medians.end() && base != medians.end();
          s.points.push_back(
              {static_cast<double>(k), both ? it->second / base->second : NAN, 0, 0});
        }
        p.series.push_back(std::move(s));
      }
      plots.push_back(std::move(p));
    }
  }
  return plots;
}

// Strings in gnuplot data files are double-quoted.
std::string data_quote(const std::string& s) {
  std::string q = "\"";
  for (char c : s) {
    q += c == '"' ? '\'' : c;
  }
  return q + "\"";
}

std::string data_text(const Plot& p) {
  std::string out;
  if (p.bars) {
    out += "category";
    for (const Series& s : p.series) {
      out += " " + data_quote(s.title);
    }
    out += "\n";
    for (std::size_t k = 0; k < p.categories.size(); ++k) {
      out += data_quote(p.categories[k]);
      for (const Series& s : p.series) {
        const double v = s.points[k][1];
        out += std::isnan(v) ? " NaN" : fmt::format(" {:.9g}", v);
      }
      out += "\n";
    }
    return out;
  }
  for (const Series& s : p.series) {
    out += "# " + s.title + "\n";
    for (const auto& pt : s.points) {
      out += fmt::format("{:.9g} {:.9g} {:.9g} {:.9g}\n", pt[0], pt[1], pt[2], pt[3]);
    }
    out += "\n\n";
  }
  return out;
}

// A plot's commands drawn to its SVG and its PNG, each under a temporary name.
std::string terminals_around(const Plot& p, const std::string& body) {
  std::string out;
  out += "set terminal svg size 900,560 dynamic noenhanced font 'sans,12'\n";
  out += "set output " + quote(p.name + ".svg.part") + "\n" + body + "unset output\n";
  out += "set terminal pngcairo size 900,560 noenhanced font 'sans,10'\n";
  out += "set output " + quote(p.name + ".png.part") + "\n" + "replot\nunset output\nreset\n";
  return out;
}

std::string script_text(const Plot& p) {
  std::string body = p.own_body;
  if (!body.empty()) {
    return terminals_around(p, body);
  }
  body += "set title " + quote(p.title) + "\n";
  body += "set xlabel " + quote(p.xlabel) + "\nset ylabel " + quote(p.ylabel) + "\n";
  body += p.logx ? "set logscale x 2\n" : "unset logscale x\n";
  if (p.logx) {
    std::set<double> xs;
    for (const Series& s : p.series) {
      for (const auto& pt : s.points) {
        xs.insert(pt[0]);
      }
    }
    std::string tics;
    for (double x : xs) {
      tics += fmt::format("{}\"{}\" {:.0f}", tics.empty() ? "" : ", ",
                          size_label(static_cast<std::uint64_t>(x)), x);
    }
    body += "set xtics (" + tics + ")\n";
  }
  body += p.logy ? "set logscale y 10\n" : "unset logscale y\n";
  body += "set key outside right top\nset grid\nset format y '%g'\n";
  const std::string data = quote(p.name + ".dat");
  if (p.bars) {
    body += "set style data histogram\nset style histogram clustered gap 1\n";
    body += "set style fill solid 0.8 border -1\nset yrange [0:*]\nset xtics nomirror\n";
    body += "plot for [i=2:" + std::to_string(p.series.size() + 1) + "] " + data +
            " using i:xtic(1) title columnheader(i)\n";
  } else {
    if (!p.logx) {
      body += "set xtics 1\nset offsets 0.25, 0.25, 0, 0\n";
    }
    body += "plot ";
    for (std::size_t i = 0; i < p.series.size(); ++i) {
      body += p.series[i].predicted
                  ? fmt::format("{}{} index {} using 1:2 with lines lt {} dt 2 lw 1.5 title {}",
                                i == 0 ? "" : ", \\\n     ", data, i, p.series[i].linetype,
                                quote(p.series[i].title))
                  : fmt::format("{}{} index {} using 1:2:3:4 with yerrorlines title {}",
                                i == 0 ? "" : ", \\\n     ", data, i, quote(p.series[i].title));
    }
    body += "\n";
  }
  return terminals_around(p, body);
}

}  // namespace

std::string find_gnuplot() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/gnuplot";
    if (access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return "";
}

std::string run_gnuplot(const std::string& gnuplot, const std::string& script_path,
                        const std::string& workdir) {
  ks::RunOptions options;
  options.args = {"-e", "cd " + quote(workdir), script_path};
  options.timeout_seconds = 60;
  const ks::RunResult r = ks::run_program(gnuplot, options);
  if (!r.ok()) {
    // gnuplot names the problem on the last line of its message.
    std::string last = r.err;
    while (!last.empty() && (last.back() == '\n' || last.back() == ' ')) {
      last.pop_back();
    }
    last = last.substr(last.rfind('\n') == std::string::npos ? 0 : last.rfind('\n') + 1);
    return fmt::format("gnuplot failed ({}){}", r.describe(), last.empty() ? "" : ": " + last);
  }
  return "";
}

Exported write_plots(const std::string& dir, const ResultSet& results) {
  Exported result;
  std::vector<Plot> plots = build_plots(results.configs, results.summary);
  if (const std::optional<Ceilings> ceilings = ceilings_from_context(results.context)) {
    if (std::optional<Plot> roof = roofline(results.configs, results.summary, *ceilings)) {
      plots.push_back(std::move(*roof));
    }
  }
  if (plots.empty()) {
    return result;
  }
  const std::string plot_dir = dir + "/plots";
  create_folder(plot_dir);
  std::string script;
  for (const Plot& p : plots) {
    write_file_atomic(plot_dir + "/" + p.name + ".dat",
                      p.own_body.empty() ? data_text(p) : p.own_data);
    result.files.push_back("plots/" + p.name + ".dat");
    script += script_text(p);
  }
  const std::string script_path = std::filesystem::absolute(plot_dir + "/plots.gp").string();
  write_file_atomic(script_path, script);
  result.files.push_back("plots/plots.gp");
  const std::string gnuplot = find_gnuplot();
  if (gnuplot.empty()) {
    result.notice = fmt::format(
        "gnuplot not found: plots not drawn (install gnuplot-nox; the data and the script are "
        "in {})",
        plot_dir);
    return result;
  }
  const std::string problem =
      run_gnuplot(gnuplot, script_path, std::filesystem::absolute(plot_dir).string());
  if (!problem.empty()) {
    for (const Plot& p : plots) {
      for (const char* ext : {".svg.part", ".png.part"}) {
        std::error_code ec;
        std::filesystem::remove(plot_dir + "/" + p.name + ext, ec);
      }
    }
    result.notice = problem;
    return result;
  }
  // gnuplot wrote under temporary names: the images appear only once both are complete.
  for (const Plot& p : plots) {
    for (const char* ext : {".svg", ".png"}) {
      const std::string final_path = plot_dir + "/" + p.name + ext;
      std::error_code ec;
      std::filesystem::rename(final_path + ".part", final_path, ec);
      if (ec) {
        result.notice = fmt::format("gnuplot did not write {}: {}", final_path, ec.message());
        return result;
      }
      result.files.push_back("plots/" + p.name + ext);
    }
  }
  return result;
}

}  // namespace ks::driver
