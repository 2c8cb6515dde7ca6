#include "driver/plan/omp_env.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include <fmt/format.h>

#include "driver/base/errors.h"

extern char** environ;

namespace ks::driver {
namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool abstract_places(const std::string& text) {
  const std::string s = lower(text);
  for (std::string_view name : {"threads", "cores", "sockets", "ll_caches", "numa_domains"}) {
    if (s == name) {
      return true;
    }
    if (s.size() > name.size() + 2 && s.compare(0, name.size(), name) == 0 &&
        s[name.size()] == '(' && s.back() == ')') {
      const std::string count = s.substr(name.size() + 1, s.size() - name.size() - 2);
      return count.find_first_not_of("0123456789") == std::string::npos && count[0] != '0';
    }
  }
  return false;
}

bool explicit_places(const std::string& s) {
  if (s.empty() || (s[0] != '{' && s[0] != '!') ||
      s.find_first_not_of("0123456789{},:!-") != std::string::npos) {
    return false;
  }
  int depth = 0;
  for (char c : s) {
    depth += c == '{' ? 1 : c == '}' ? -1 : 0;
    if (depth < 0 || depth > 1) {
      return false;
    }
  }
  return depth == 0;
}

}  // namespace

void check_bind(const std::string& bind, const std::string& origin) {
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = bind.find(',', start);
    const std::string item =
        lower(bind.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    const auto policies = {"true", "false", "primary", "master", "close", "spread"};
    if (std::find(policies.begin(), policies.end(), item) == policies.end()) {
      throw UsageError(
          fmt::format("{} is not a binding: give close, spread, primary, master, true or false (a "
                      "comma-separated list for nested teams)",
                      origin.empty() ? fmt::format("--bind '{}'", bind) : origin));
    }
    if (comma == std::string::npos) {
      return;
    }
    start = comma + 1;
  }
}

void check_places(const std::string& places, const std::string& origin) {
  if (!abstract_places(places) && !explicit_places(places)) {
    throw UsageError(
        fmt::format("{} is not a list of places: give threads, cores, sockets, ll_caches or "
                    "numa_domains (with a count, as cores(4)), or places such as {{0,1}},{{2,3}}",
                    origin.empty() ? fmt::format("--places '{}'", places) : origin));
  }
}

std::map<std::string, std::string> caller_openmp_variables() {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const auto eq = entry.find('=');
    if (eq == std::string::npos) {
      continue;
    }
    const std::string name = entry.substr(0, eq);
    if (name.rfind("OMP_", 0) == 0 || name.rfind("GOMP_", 0) == 0 || name.rfind("KMP_", 0) == 0) {
      vars[name] = entry.substr(eq + 1);
    }
  }
  return vars;
}

OpenmpEnvironment resolve_openmp_environment(const Placement& asked,
                                             const std::map<std::string, std::string>& caller) {
  OpenmpEnvironment env;
  env.placement = asked;
  std::string passed_list;
  for (const auto& [name, value] : caller) {
    const std::string given = name + "=" + value;
    if (name == "OMP_NUM_THREADS" || name == "OMP_SCHEDULE") {
      env.not_passed[name] = value;
      env.notices.push_back(fmt::format(
          "{} from the environment is not passed on: each run gets its own {} ({})", given, name,
          name == "OMP_NUM_THREADS" ? "--threads"
                                    : "--schedules, or the runtime's default schedule"));
      continue;
    }
    if (name == "OMP_PROC_BIND" || name == "OMP_PLACES") {
      const bool bind = name == "OMP_PROC_BIND";
      std::string& chosen = bind ? env.placement.bind : env.placement.places;
      const char* option = bind ? "--bind" : "--places";
      if (!chosen.empty()) {
        env.not_passed[name] = value;
        env.notices.push_back(
            fmt::format("{} from the environment is replaced by {} {}", given, option, chosen));
        continue;
      }
      const std::string origin =
          fmt::format("{} in the environment (use {} to choose)", given, option);
      if (bind) {
        check_bind(value, origin);
      } else {
        check_places(value, origin);
      }
      chosen = value;
      env.notices.push_back(
          fmt::format("{} from the environment is passed to the OpenMP programs, as {} {} would",
                      given, option, value));
      continue;
    }
    env.passed[name] = value;
    passed_list += (passed_list.empty() ? "" : " ") + given;
  }
  if (!passed_list.empty()) {
    env.notices.push_back("passed on from the environment to every run: " + passed_list);
  }
  return env;
}

nlohmann::json openmp_context(const OpenmpEnvironment& env) {
  nlohmann::json j;
  nlohmann::json per_run = {"OMP_NUM_THREADS", "OMP_SCHEDULE"};
  if (!env.placement.bind.empty()) {
    per_run.push_back("OMP_PROC_BIND");
  }
  if (!env.placement.places.empty()) {
    per_run.push_back("OMP_PLACES");
  }
  j["set_per_run"] = per_run;
  j["proc_bind"] =
      env.placement.bind.empty() ? nlohmann::json(nullptr) : nlohmann::json(env.placement.bind);
  j["places"] =
      env.placement.places.empty() ? nlohmann::json(nullptr) : nlohmann::json(env.placement.places);
  j["passed_from_caller"] = env.passed;
  j["caller_environment_not_passed"] = env.not_passed;
  return j;
}

}  // namespace ks::driver
