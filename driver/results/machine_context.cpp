#include "driver/results/machine_context.h"

#include "driver/results/results.h"

namespace ks::driver {
namespace {

using json = nlohmann::json;

const json& member(const json& j, const char* key) {
  static const json kNull;
  return j.is_object() && j.contains(key) ? j[key] : kNull;
}

std::string text(const json& j, const char* key) {
  const json& m = member(j, key);
  return m.is_string() ? m.get<std::string>() : std::string();
}

std::optional<std::string> maybe_text(const json& j, const char* key) {
  const json& m = member(j, key);
  return m.is_string() ? std::optional<std::string>(m.get<std::string>()) : std::nullopt;
}

std::optional<double> number(const json& j, const char* key) {
  const json& m = member(j, key);
  return m.is_number() ? std::optional<double>(m.get<double>()) : std::nullopt;
}

std::optional<int> integer(const json& j, const char* key) {
  const json& m = member(j, key);
  return m.is_number() ? std::optional<int>(m.get<int>()) : std::nullopt;
}

// A string or a number as text ("" for anything else), down a path of members.
std::string scalar(const json& j, std::initializer_list<const char*> path) {
  const json* at = &j;
  for (const char* key : path) {
    at = &member(*at, key);
  }
  return at->is_string() ? at->get<std::string>() : at->is_number() ? at->dump() : std::string();
}

std::vector<std::string> texts(const json& j, const char* key) {
  std::vector<std::string> out;
  const json& m = member(j, key);
  if (m.is_array()) {
    for (const json& item : m) {
      if (item.is_string()) {
        out.push_back(item.get<std::string>());
      }
    }
  }
  return out;
}

MachineContext::OpenMp openmp_of(const json& openmp) {
  MachineContext::OpenMp o;
  o.known = openmp.is_object();
  o.proc_bind = maybe_text(openmp, "proc_bind");
  o.places = maybe_text(openmp, "places");
  const json& passed = member(openmp, "passed_from_caller");
  if (passed.is_object()) {
    for (const auto& [name, value] : passed.items()) {
      o.passed_from_caller.emplace_back(
          name, value.is_string() ? value.get<std::string>() : value.dump());
    }
  }
  return o;
}

MachineContext::Build build_of(const json& build) {
  MachineContext::Build b{text(build, "compiler"),
                          text(build, "type"),
                          texts(build, "missing"),
                          scalar(build, {"bin_dir"}),
                          {}};
  if (const json& programs = member(build, "programs"); programs.is_object()) {
    for (const auto& [name, p] : programs.items()) {
      b.programs.push_back({name, scalar(p, {"options"}),
                            member(p, "openmp").is_boolean() && member(p, "openmp").get<bool>(),
                            scalar(p, {"openmp_runtime", "name"}),
                            scalar(p, {"openmp_runtime", "version"})});
    }
  }
  return b;
}

}  // namespace

MachineContext read_machine_context(const json& stored) {
  MachineContext m;
  m.date = text(stored, "date");
  m.host = text(stored, "host");
  m.submitted_from = text(stored, "submitted_from");
  m.kernel = text(stored, "kernel");
  m.source_revision = text(stored, "source_revision");
  const json& cpu = member(stored, "cpu");
  m.cpu = {text(cpu, "model"),
           integer(cpu, "usable_cpus"),
           integer(cpu, "logical_cpus"),
           text(cpu, "scaling_governor"),
           {}};
  if (const json& caches = member(cpu, "caches"); caches.is_array()) {
    for (const json& c : caches) {
      m.cpu.caches.push_back({scalar(c, {"level"}), scalar(c, {"type"}), scalar(c, {"size"})});
    }
  }
  m.memory_bytes = number(member(stored, "memory"), "total_bytes");
  m.build = build_of(member(stored, "build"));
  m.openmp = openmp_of(member(stored, "openmp"));
  const json& conditions = member(stored, "conditions");
  m.conditions = {number(conditions, "load_average_1min"), integer(conditions, "usable_cpus"),
                  texts(conditions, "warnings")};
  const json& counters = member(stored, "counters");
  if (member(counters, "events").is_boolean()) {
    m.counters.events = member(counters, "events").get<bool>();
  }
  m.counters.notice = text(counters, "notice");
  m.clock_resolution_seconds = number(member(stored, "clock"), "resolution_seconds");
  const json& ceilings = member(stored, "ceilings");
  m.ceilings = {text(ceilings, "source"), text(ceilings, "file"), text(ceilings, "probed_at")};
  m.probe = member(ceilings, "probe");
  m.loops = member(stored, "loops");
  return m;
}

const MachineContext& machine_of(const ResultSet& results) {
  // Read again only when the context changed since (a result set being made, a test's).
  if (!results.machine || results.machine->from != results.context) {
    results.machine = std::make_shared<const ReadContext>(
        ReadContext{results.context, read_machine_context(results.context)});
  }
  return results.machine->machine;
}

}  // namespace ks::driver
