// How a stored plan differs from another one, in one line.
#include <algorithm>
#include <unordered_set>

#include <fmt/format.h>

#include "driver/plan/lists.h"
#include "driver/store/store.h"
#include "driver/store/store_detail.h"

namespace ks::driver {
namespace {

std::string join(const std::vector<std::string>& items, std::string_view sep) {
  std::string s;
  for (std::size_t i = 0; i < items.size(); ++i) {
    s += (i == 0 ? "" : std::string(sep)) + items[i];
  }
  return s;
}

std::string threads_text(int t) {
  return t > 0 ? std::to_string(t) : "unset";
}

struct Dimension {
  const char* option;
  const char* separator;  // as the option's list is written
  std::string (*value)(const Config&);
};

const Dimension kDimensions[] = {
    {"--sizes", ",",
     [](const Config& c) { return c.size ? size_label(*c.size) : std::string("none"); }},
    {"--chunks", ",",
     [](const Config& c) { return c.chunk ? std::to_string(*c.chunk) : std::string("none"); }},
    {"--threads", ",", [](const Config& c) { return threads_text(c.threads); }},
    {"--schedules", ";",
     [](const Config& c) { return c.schedule.empty() ? std::string("default") : c.schedule; }},
    {"--repeat", ",", [](const Config& c) { return std::to_string(c.repeat); }},
    {"--warmup", ",", [](const Config& c) { return std::to_string(c.warmup); }},
    {"--bind", ",",
     [](const Config& c) { return c.bind.empty() ? std::string("default") : c.bind; }},
    {"--places", ",",
     [](const Config& c) { return c.places.empty() ? std::string("default") : c.places; }},
};

// The distinct values of one dimension over one program's configurations, in plan order.
std::vector<std::string> values_of(const std::vector<Config>& configs, std::string_view program,
                                   const Dimension& d) {
  std::vector<std::string> values;
  std::unordered_set<std::string> seen;
  for (const Config& c : configs) {
    if (c.program->name == program) {
      std::string v = d.value(c);
      if (seen.insert(v).second) {
        values.push_back(std::move(v));
      }
    }
  }
  return values;
}

std::vector<std::string> programs_of(const std::vector<Config>& configs) {
  std::vector<std::string> names;
  for (const Config& c : configs) {
    std::string name(c.program->name);
    if (std::find(names.begin(), names.end(), name) == names.end()) {
      names.push_back(std::move(name));
    }
  }
  return names;
}

bool same_config(const Config& a, const Config& b) {
  return a.program == b.program && a.size == b.size && a.chunk == b.chunk &&
         a.threads == b.threads && a.schedule == b.schedule && a.repeat == b.repeat &&
         a.warmup == b.warmup && a.args == b.args && a.bind == b.bind && a.places == b.places;
}

}  // namespace

namespace store_detail {

std::string run_text(const Plan& plan, std::size_t i) {
  const PlannedRun& r = plan.runs[i];
  return fmt::format("{} {} {}", plan.configs[r.config].label(),
                     r.warmup ? "warm-up" : "repetition", r.repetition + 1);
}

}  // namespace store_detail

using namespace store_detail;

std::optional<std::string> plan_difference(const Plan& stored, const Plan& asked,
                                           std::string_view asked_name) {
  const std::vector<std::string> stored_programs = programs_of(stored.configs);
  const std::vector<std::string> asked_programs = programs_of(asked.configs);
  if (stored_programs != asked_programs) {
    return fmt::format("programs: the store has {}, {} {}", join(stored_programs, " "), asked_name,
                       join(asked_programs, " "));
  }
  for (const std::string& program : stored_programs) {
    for (const Dimension& d : kDimensions) {
      const auto s = values_of(stored.configs, program, d);
      const auto a = values_of(asked.configs, program, d);
      if (s != a) {
        return fmt::format("{} {}: the store has {}, {} {}", program, d.option,
                           join(s, d.separator), asked_name, join(a, d.separator));
      }
    }
  }
  const std::size_t n = std::min(stored.configs.size(), asked.configs.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (!same_config(stored.configs[i], asked.configs[i])) {
      return fmt::format("configuration {}: the store has {}, {} {}", i + 1,
                         stored.configs[i].label(), asked_name, asked.configs[i].label());
    }
  }
  if (stored.configs.size() != asked.configs.size()) {
    return fmt::format("the store has {} configurations, {} {}", stored.configs.size(), asked_name,
                       asked.configs.size());
  }
  const std::size_t m = std::min(stored.runs.size(), asked.runs.size());
  for (std::size_t i = 0; i < m; ++i) {
    if (!(stored.runs[i] == asked.runs[i])) {
      return fmt::format("run {} of the plan: the store has {}, {} {}", i + 1, run_text(stored, i),
                         asked_name, run_text(asked, i));
    }
  }
  if (stored.runs.size() != asked.runs.size()) {
    return fmt::format("the store plans {} runs, {} {}", stored.runs.size(), asked_name,
                       asked.runs.size());
  }
  return std::nullopt;
}

}  // namespace ks::driver
