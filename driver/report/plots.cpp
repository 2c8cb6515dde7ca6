// The plots' models: which series each family's pictures show, from the summary and the
// measured runs' times, each median or ratio with its confidence interval.
#include "driver/report/plots.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include <fmt/format.h>

#include "driver/plan/lists.h"
#include "driver/results/inference.h"

namespace ks::driver {
namespace {

// A schedule as part of a file name: "dynamic,4" -> "dynamic-4". A store may hold any text
// there: whatever is not a letter, a digit, '.', '_' or '+' becomes '-' (no folder, no line
// break, nothing a script or a link would have to quote), and the part is cut at 64 bytes.
std::string slug(const std::string& schedule) {
  std::string s = schedule.substr(0, 64);
  std::replace_if(
      s.begin(), s.end(),
      [](char c) {
        return !((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '_' || c == '+');
      },
      '-');
  return s;
}

std::string series_key(const Config& c, bool with_threads, bool with_schedule) {
  std::string key(c.program->name);
  if (with_threads && c.threads > 0) {
    key += fmt::format(" T={}", c.threads);
  }
  if (with_schedule && !c.schedule.empty()) {
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
    std::sort(by_key[key].points.begin(), by_key[key].points.end(),
              [](const Point& a, const Point& b) { return a.x < b.x; });
    series.push_back(by_key[key]);
  }
  return series;
}

// What the plots draw from: per configuration, its summary row, whose values are the times of
// its valid measured runs, for the intervals (which do not depend on the times' order).
class Measured {
 public:
  explicit Measured(const ResultSet& results) : results_(results) {
    rows_.assign(results.configs.size(), nullptr);
    for (const SummaryRow& row : results.summary) {
      rows_[row.config] = &row;
    }
  }

  const Config& config(std::size_t i) const { return results_.configs[i]; }
  std::size_t size() const { return results_.configs.size(); }
  // A median to plot: measured, above 0, and above the resolution of the program's time.
  bool usable(std::size_t i) const {
    return rows_[i] != nullptr && rows_[i]->stats.count > 0 && rows_[i]->stats.median > 0 &&
           !rows_[i]->below_resolution;
  }
  const std::vector<double>& times(std::size_t i) const { return rows_[i]->values; }
  const SummaryRow& row(std::size_t i) const { return *rows_[i]; }

  // The median with its interval.
  Point median(std::size_t i, double x) const {
    return point(x, median_interval(times(i)), rows_[i]->stats.median);
  }
  // median(numerator) / median(denominator) with its interval; a configuration against itself
  // is 1 exactly, without one.
  Point ratio(std::size_t numerator, std::size_t denominator, double x) const {
    if (numerator == denominator) {
      return {x, 1, 1, 1};
    }
    return point(x, ratio_interval(times(numerator), times(denominator)),
                 rows_[numerator]->stats.median / rows_[denominator]->stats.median);
  }

 private:
  static Point point(double x, const Estimate& e, double fallback) {
    const double y = e.value.value_or(fallback);
    return {x, y, e.ci ? e.ci->low : y, e.ci ? e.ci->high : y};
  }

  const ResultSet& results_;
  std::vector<const SummaryRow*> rows_;
};

// The families' benchmarks in the order they were measured.
std::vector<std::string> benchmark_families(const Measured& m) {
  std::vector<std::string> families;
  for (std::size_t i = 0; i < m.size(); ++i) {
    const std::string f(m.config(i).program->family);
    if (m.config(i).program->kind == Kind::kBenchmark &&
        std::find(families.begin(), families.end(), f) == families.end()) {
      families.push_back(f);
    }
  }
  return families;
}

std::string stem(const std::string& kind, const std::string& family, const std::string& schedule) {
  return kind + "-" + family + (schedule.empty() ? "" : "-" + slug(schedule));
}

// The rows a family's time and speedup plots draw: each program on its largest team, with the
// schedule that was fastest at its largest size, so that a figure answers one question with a
// handful of lines (the table holds every configuration).
struct Chosen {
  int threads = 0;
  std::uint64_t size = 0;
  double median = INFINITY;
  std::string schedule;
};
std::map<const ProgramInfo*, Chosen> chosen_configs(const Measured& m, const std::string& family) {
  std::map<const ProgramInfo*, Chosen> chosen;
  for (std::size_t i = 0; i < m.size(); ++i) {
    const Config& c = m.config(i);
    if (c.program->family == family && m.usable(i) && c.size) {
      Chosen& k = chosen[c.program];
      k.threads = std::max(k.threads, c.threads);
    }
  }
  for (std::size_t i = 0; i < m.size(); ++i) {
    const Config& c = m.config(i);
    if (c.program->family != family || !m.usable(i) || !c.size) {
      continue;
    }
    Chosen& k = chosen[c.program];
    const std::uint64_t n = *c.effective_size();
    const double median = m.row(i).stats.median;
    if (c.threads == k.threads && (n > k.size || (n == k.size && median < k.median))) {
      k.size = n;
      k.median = median;
      k.schedule = c.schedule;
    }
  }
  return chosen;
}

// Time against size, one series per program (on its largest team, its fastest schedule), with
// the model's predicted times as lines of their own, drawn on demand.
void time_plots(const Measured& m, const std::string& family, std::vector<Plot>& plots) {
  const std::map<const ProgramInfo*, Chosen> chosen = chosen_configs(m, family);
  std::map<std::string, Series> by_key;
  std::vector<std::string> order;
  std::set<std::uint64_t> sizes;
  std::vector<std::string> pending;  // the model's lines, after the measured series
  for (std::size_t i = 0; i < m.size(); ++i) {
    const Config& c = m.config(i);
    const auto it = chosen.find(c.program);
    if (c.program->family != family || !m.usable(i) || !c.size || it == chosen.end() ||
        c.threads != it->second.threads || c.schedule != it->second.schedule) {
      continue;
    }
    const std::string key = series_key(c, true, true);
    if (by_key.find(key) == by_key.end()) {
      order.push_back(key);
      by_key[key].title = key;
    }
    by_key[key].points.push_back(m.median(i, static_cast<double>(*c.effective_size())));
    sizes.insert(*c.effective_size());
    // The model's predicted time, where it priced this size.
    if (const auto& model = m.row(i).model) {
      const std::string predicted = "model: " + key;
      if (by_key.find(predicted) == by_key.end()) {
        pending.push_back(predicted);
        by_key[predicted].title = predicted;
        by_key[predicted].predicted = true;
        by_key[predicted].follows =
            static_cast<std::size_t>(std::find(order.begin(), order.end(), key) - order.begin());
      }
      const double p = model->predicted_seconds;
      by_key[predicted].points.push_back({static_cast<double>(*c.effective_size()), p, p, p});
    }
  }
  // A model line of one point draws nothing: those are left out.
  for (const std::string& key : pending) {
    if (by_key[key].points.size() >= 2) {
      order.push_back(key);
    }
  }
  if (sizes.size() >= 2) {
    plots.push_back({.name = stem("time", family, ""),
                     .family = family,
                     .title = family + ": time against size",
                     .xlabel = "size (N)",
                     .ylabel = "seconds (median; bars: its confidence interval)",
                     .logx = true,
                     .logy = true,
                     .seconds = true,
                     .series = in_order(by_key, order)});
  }
}

// Speedup against threads, against the same program on one thread, with the ideal line: one
// series per parallel program and schedule, at the program's largest size.
void speedup_plots(const Measured& m, const std::string& family, std::vector<Plot>& plots) {
  std::map<const ProgramInfo*, std::uint64_t> largest;
  for (std::size_t i = 0; i < m.size(); ++i) {
    const Config& c = m.config(i);
    if (c.program->family == family && c.program->openmp && m.usable(i)) {
      largest[c.program] = std::max(largest[c.program], c.effective_size().value_or(0));
    }
  }
  std::map<std::string, Series> speed;
  std::vector<std::string> order;
  for (std::size_t i = 0; i < m.size(); ++i) {
    const Config& c = m.config(i);
    if (c.program->family != family || !c.program->openmp || !m.usable(i) ||
        c.effective_size().value_or(0) != largest[c.program]) {
      continue;
    }
    std::optional<std::size_t> one;
    for (std::size_t j = 0; j < m.size(); ++j) {
      const Config& o = m.config(j);
      if (o.program == c.program && o.threads == 1 && o.schedule == c.schedule &&
          o.effective_size() == c.effective_size() && o.chunk == c.chunk && m.usable(j)) {
        one = j;
      }
    }
    if (!one) {
      continue;
    }
    std::string key = series_key(c, false, true);
    if (c.size) {
      key += " N=" + size_label(*c.size);
    }
    if (speed.find(key) == speed.end()) {
      order.push_back(key);
      speed[key].title = key;
    }
    speed[key].points.push_back(m.ratio(*one, i, static_cast<double>(c.threads)));
  }
  const bool any = std::any_of(speed.begin(), speed.end(),
                               [](const auto& s) { return s.second.points.size() >= 2; });
  if (any) {
    plots.push_back({.name = stem("speedup", family, ""),
                     .family = family,
                     .title = family + ": speedup against threads (vs one thread)",
                     .xlabel = "threads (OMP_NUM_THREADS)",
                     .ylabel = "speedup (one thread's median / median; bars: confidence interval)",
                     .ideal = true,
                     .series = in_order(speed, order)});
  }
}

// The variants side by side: sequential programs and one-thread runs, default schedule, each
// relative to the first measured at each size, so that sizes far apart share one scale.
void variant_plot(const Measured& m, const std::string& family, std::vector<Plot>& plots) {
  std::vector<std::string> programs;
  std::vector<std::string> categories;
  std::map<std::pair<std::string, std::string>, std::size_t> at;
  bool sized = false;
  for (std::size_t i = 0; i < m.size(); ++i) {
    const Config& c = m.config(i);
    if (c.program->family != family || !m.usable(i) || c.threads > 1 || !c.schedule.empty()) {
      continue;
    }
    const std::string program(c.program->name);
    const std::string category = c.size ? "N=" + size_label(*c.effective_size()) : "";
    sized = sized || c.size.has_value();
    if (std::find(programs.begin(), programs.end(), program) == programs.end()) {
      programs.push_back(program);
    }
    if (std::find(categories.begin(), categories.end(), category) == categories.end()) {
      categories.push_back(category);
    }
    at[{category, program}] = i;
  }
  if (programs.size() < 2) {
    return;
  }
  Plot p{.name = "variants-" + family,
         .family = family,
         .title = family + ": median time of each variant relative to " + programs[0] +
                  (sized ? " at each size" : "") + " (one thread)",
         .ylabel = "time relative to " + programs[0] +
                   " (lower is faster; whiskers: confidence interval)",
         .bars = true,
         .reference = programs[0] + " = 1"};
  auto value = [&](const std::string& category, const std::string& program, std::size_t k) {
    const auto it = at.find({category, program});
    const auto base = at.find({category, programs[0]});
    if (it == at.end() || base == at.end()) {
      return Point{static_cast<double>(k), NAN, NAN, NAN};
    }
    return m.ratio(it->second, base->second, static_cast<double>(k));
  };
  if (categories.size() == 1) {
    // One size (or none): the programs themselves are the categories, named under their bars.
    p.xlabel = sized ? categories[0] : "each runs its built-in problem (no size argument)";
    p.categories = programs;
    Series s{"median time relative to " + programs[0], {}};
    for (std::size_t k = 0; k < programs.size(); ++k) {
      s.points.push_back(value(categories[0], programs[k], k));
    }
    p.series.push_back(std::move(s));
  } else {
    p.xlabel = "size (N)";
    p.categories = categories;
    for (const std::string& program : programs) {
      Series s{program, {}};
      for (std::size_t k = 0; k < categories.size(); ++k) {
        s.points.push_back(value(categories[k], program, k));
      }
      p.series.push_back(std::move(s));
    }
  }
  plots.push_back(std::move(p));
}

}  // namespace

std::vector<Plot> plot_models(const ResultSet& results) {
  const Measured m(results);
  std::vector<Plot> plots;
  for (const std::string& family : benchmark_families(m)) {
    time_plots(m, family, plots);
    speedup_plots(m, family, plots);
    variant_plot(m, family, plots);
  }
  // Schedules that differ only where their slugs do not would share a file: the later ones are
  // numbered.
  std::set<std::string> stems;
  for (Plot& p : plots) {
    const std::string base = p.name;
    for (int k = 2; !stems.insert(p.name).second; ++k) {
      p.name = fmt::format("{}-{}", base, k);
    }
  }
  return plots;
}

}  // namespace ks::driver
