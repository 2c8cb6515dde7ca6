#include "driver/analysis/context.h"

#include <fmt/format.h>

namespace ks::driver {
namespace {

// A string member of a JSON object, or `fallback` when it is missing or not a string.
std::string text_of(const nlohmann::json& j, const char* key, const std::string& fallback = "") {
  if (j.is_object() && j.contains(key) && j[key].is_string()) {
    return j[key].get<std::string>();
  }
  return fallback;
}

const nlohmann::json& member(const nlohmann::json& j, const char* key) {
  static const nlohmann::json kNull;
  return j.is_object() && j.contains(key) ? j[key] : kNull;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> context_facts(const nlohmann::json& context) {
  std::vector<std::pair<std::string, std::string>> facts;
  const nlohmann::json& cpu = member(context, "cpu");
  const nlohmann::json& memory = member(context, "memory");
  const nlohmann::json& build = member(context, "build");
  facts.emplace_back("date", text_of(context, "date", "?"));
  facts.emplace_back("host", text_of(context, "host", "?"));
  std::string cpus = text_of(cpu, "model", "?");
  if (member(cpu, "usable_cpus").is_number()) {
    cpus += fmt::format(", {} usable CPUs", member(cpu, "usable_cpus").get<int>());
    if (member(cpu, "logical_cpus").is_number() &&
        member(cpu, "logical_cpus") != member(cpu, "usable_cpus")) {
      cpus += fmt::format(" of {}", member(cpu, "logical_cpus").get<int>());
    }
  }
  if (const std::string governor = text_of(cpu, "scaling_governor"); !governor.empty()) {
    cpus += ", governor " + governor;
  }
  facts.emplace_back("CPU", cpus);
  if (member(memory, "total_bytes").is_number()) {
    facts.emplace_back(
        "memory",
        fmt::format("{:.1f} GiB", member(memory, "total_bytes").get<double>() / 1073741824.0));
  }
  facts.emplace_back("kernel", text_of(context, "kernel", "?"));
  std::string compiler = text_of(build, "compiler", "?");
  if (const std::string type = text_of(build, "type"); !type.empty()) {
    compiler += " (" + type + ")";
  }
  facts.emplace_back("build", compiler);
  facts.emplace_back("revision", text_of(context, "source_revision", "unknown"));
  const nlohmann::json& openmp = member(context, "openmp");
  if (openmp.is_object()) {
    std::string placement;
    for (const char* key : {"proc_bind", "places"}) {
      if (member(openmp, key).is_string()) {
        placement += fmt::format("{}{}={}", placement.empty() ? "" : ", ",
                                 key == std::string("proc_bind") ? "OMP_PROC_BIND" : "OMP_PLACES",
                                 member(openmp, key).get<std::string>());
      }
    }
    std::string passed;
    if (member(openmp, "passed_from_caller").is_object()) {
      for (const auto& [name, value] : member(openmp, "passed_from_caller").items()) {
        passed += fmt::format("{}{}={}", passed.empty() ? "" : " ", name,
                              value.is_string() ? value.get<std::string>() : value.dump());
      }
    }
    facts.emplace_back("OpenMP placement", placement.empty() ? "the runtime's default" : placement);
    if (!passed.empty()) {
      facts.emplace_back("OpenMP, from the caller", passed);
    }
  }
  const nlohmann::json& conditions = member(context, "conditions");
  if (member(conditions, "load_average_1min").is_number()) {
    facts.emplace_back("load at start",
                       fmt::format("{:.2f} (1-minute average) on {} usable CPUs",
                                   member(conditions, "load_average_1min").get<double>(),
                                   member(conditions, "usable_cpus").is_number()
                                       ? member(conditions, "usable_cpus").get<int>()
                                       : 0));
  }
  return facts;
}

std::vector<std::string> condition_warnings(const nlohmann::json& context) {
  std::vector<std::string> out;
  if (context.is_object() && context.contains("conditions") && context["conditions"].is_object() &&
      context["conditions"].contains("warnings") && context["conditions"]["warnings"].is_array()) {
    for (const nlohmann::json& w : context["conditions"]["warnings"]) {
      if (w.is_string()) {
        out.push_back(w.get<std::string>());
      }
    }
  }
  return out;
}

}  // namespace ks::driver
