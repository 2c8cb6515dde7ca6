#include "driver/analysis/context.h"

#include <fmt/format.h>

namespace ks::driver {
namespace {

std::string or_unknown(const std::string& text, const char* unknown = "?") {
  return text.empty() ? unknown : text;
}

std::string cpu_fact(const MachineContext::Cpu& cpu) {
  std::string cpus = or_unknown(cpu.model);
  if (cpu.usable_cpus) {
    cpus += fmt::format(", {} usable CPUs", *cpu.usable_cpus);
    if (cpu.logical_cpus && *cpu.logical_cpus != *cpu.usable_cpus) {
      cpus += fmt::format(" of {}", *cpu.logical_cpus);
    }
  }
  if (!cpu.scaling_governor.empty()) {
    cpus += ", governor " + cpu.scaling_governor;
  }
  return cpus;
}

void add_openmp_facts(const MachineContext::OpenMp& openmp,
                      std::vector<std::pair<std::string, std::string>>& facts) {
  if (!openmp.known) {
    return;
  }
  std::string placement;
  for (const auto& [name, value] :
       {std::pair{"OMP_PROC_BIND", &openmp.proc_bind}, std::pair{"OMP_PLACES", &openmp.places}}) {
    if (*value) {
      placement += fmt::format("{}{}={}", placement.empty() ? "" : ", ", name, **value);
    }
  }
  std::string passed;
  for (const auto& [name, value] : openmp.passed_from_caller) {
    passed += fmt::format("{}{}={}", passed.empty() ? "" : " ", name, value);
  }
  facts.emplace_back("OpenMP placement", placement.empty() ? "the runtime's default" : placement);
  if (!passed.empty()) {
    facts.emplace_back("OpenMP, from the caller", passed);
  }
}

}  // namespace

std::vector<std::pair<std::string, std::string>> context_facts(const MachineContext& context) {
  std::vector<std::pair<std::string, std::string>> facts;
  facts.emplace_back("date", or_unknown(context.date));
  facts.emplace_back("host", or_unknown(context.host));
  facts.emplace_back("CPU", cpu_fact(context.cpu));
  if (context.memory_bytes) {
    facts.emplace_back("memory", fmt::format("{:.1f} GiB", *context.memory_bytes / 1073741824.0));
  }
  facts.emplace_back("kernel", or_unknown(context.kernel));
  std::string compiler = or_unknown(context.build.compiler);
  if (!context.build.type.empty()) {
    compiler += " (" + context.build.type + ")";
  }
  facts.emplace_back("build", compiler);
  facts.emplace_back("revision", or_unknown(context.source_revision, "unknown"));
  add_openmp_facts(context.openmp, facts);
  if (const auto& load = context.conditions.load_average_1min) {
    facts.emplace_back("load at start",
                       fmt::format("{:.2f} (1-minute average) on {} usable CPUs", *load,
                                   context.conditions.usable_cpus.value_or(0)));
  }
  return facts;
}

std::vector<std::string> condition_warnings(const MachineContext& context) {
  return context.conditions.warnings;
}

}  // namespace ks::driver
