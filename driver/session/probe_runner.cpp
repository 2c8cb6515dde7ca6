#include "driver/session/probe_runner.h"

#include <chrono>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "driver/base/json_input.h"
#include "driver/base/text.h"
#include "spawn/spawn.h"

namespace ks::driver {
namespace {

std::string last_line(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  const auto newline = text.rfind('\n');
  return newline == std::string::npos ? text : text.substr(newline + 1);
}

std::string now_iso() {
  return iso_time(
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
}

}  // namespace

KnownCeilings run_probe(const ProbeRun& run) {
  ks::RunOptions options;
  options.args = run.args;
  options.timeout_seconds = run.timeout_seconds;
  // Lines pass on one behind: the last one is kept for a failure's message.
  std::string pending;  // what came after the last newline
  std::string held;     // the last complete line, not passed on yet
  options.on_stderr = [&](std::string_view piece) {
    pending += piece;
    for (auto newline = pending.find('\n'); newline != std::string::npos;
         newline = pending.find('\n')) {
      if (!held.empty() && run.on_progress) {
        run.on_progress(held);
      }
      held = pending.substr(0, newline);
      pending.erase(0, newline + 1);
    }
  };
  const ks::RunResult r = ks::run_program(run.path, options);
  if (!r.started) {
    throw ProbeError(fmt::format("the probe could not be started: {}", r.error));
  }
  if (!r.ok()) {
    const std::string why = last_line(r.err);
    throw ProbeError(fmt::format("the probe failed ({}){}", r.describe(),
                                 why.empty() ? std::string() : ": " + why));
  }
  if (!held.empty() && run.on_progress) {
    run.on_progress(held);
  }
  nlohmann::json out;
  try {
    out = parse_json(r.out);
  } catch (const nlohmann::json::exception&) {
    throw ProbeError("the probe's output is not JSON");
  } catch (const JsonTooDeep& e) {
    throw ProbeError(fmt::format("the probe's output is {}", e.what()));
  }
  try {
    return {parse_ceilings(out), "probe", now_iso(), ""};
  } catch (const CeilingsError& e) {
    throw ProbeError(e.what());
  }
}

KnownCeilings read_ceilings_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    throw CeilingsError(fmt::format("cannot read {}", path));
  }
  std::stringstream ss;
  ss << in.rdbuf();
  nlohmann::json j;
  try {
    j = parse_json(ss.str());
  } catch (const nlohmann::json::exception&) {
    throw CeilingsError(fmt::format("{} is not JSON", path));
  } catch (const JsonTooDeep& e) {
    throw CeilingsError(fmt::format("{} is JSON {}", path, e.what()));
  }
  // A cache file wraps the probe's output.
  const bool cached = j.is_object() && j.contains("probe") && j.contains("key");
  const nlohmann::json& probe = cached ? j["probe"] : j;
  try {
    return {parse_ceilings(probe), "file", cached ? j.value("probed_at", "") : "", path};
  } catch (const CeilingsError& e) {
    throw CeilingsError(fmt::format("{}: {}", path, e.what()));
  }
}

std::string ceilings_text(const Ceilings& c) {
  auto per_team = [&](auto&& value, auto&& format) {
    std::string s;
    for (const int t : c.threads) {
      if (const std::optional<double> v = value(t)) {
        s += fmt::format("{}{} (T={})", s.empty() ? "" : ", ", format(*v), t);
      }
    }
    return s.empty() ? std::string("-") : s;
  };
  auto gbs = [](double v) { return fmt::format("{:.3g} GB/s", v / 1e9); };
  auto gops = [](double v) { return fmt::format("{:.3g} G/s", v / 1e9); };
  std::string out;
  out += fmt::format("  memory, the addition:     {}\n",
                     per_team([&](int t) { return c.add_bytes_per_second(0, t); }, gbs));
  for (const CacheLevel& level : c.caches) {
    out +=
        fmt::format("  L{} ({:.0f} KiB), addition: {}\n", level.level, level.size_bytes / 1024,
                    per_team([&](int t) { return c.add_bytes_per_second(level.level, t); }, gbs));
  }
  out += fmt::format("  a fresh page adds:        {}\n",
                     per_team([&](int t) { return c.fault_seconds(t); }, human_seconds));
  out +=
      fmt::format("  fp64 add, scalar:         {}\n",
                  per_team([&](int t) { return c.ops_per_second("fp64_add", "scalar", t); }, gops));
  if (!c.vector_isa.empty()) {
    out += fmt::format(
        "  fp64 fma, {}:{}{}\n", c.vector_isa,
        std::string(16 - std::min<std::size_t>(15, c.vector_isa.size()), ' '),
        per_team([&](int t) { return c.ops_per_second("fp64_fma", c.vector_isa, t); }, gops));
  }
  out += fmt::format(
      "  int32 add, scalar:        {}\n",
      per_team([&](int t) { return c.ops_per_second("int32_add", "scalar", t); }, gops));
  // The OpenMP costs with their noise: one below it reads "below noise (±x)".
  auto costs = [&](auto&& value, auto&& noise) {
    std::string s;
    for (const int t : c.threads) {
      if (const std::optional<double> v = value(t)) {
        s += fmt::format("{}{} (T={})", s.empty() ? "" : ", ", cost_text(*v, noise(t)), t);
      }
    }
    return s.empty() ? std::string("-") : s;
  };
  out += fmt::format(
      "  a parallel region:        {}\n",
      costs([&](int t) { return c.region(t); }, [&](int t) { return c.region_noise_at(t); }));
  out += fmt::format(
      "  a barrier:                {}\n",
      costs([&](int t) { return c.barrier(t); }, [&](int t) { return c.barrier_noise_at(t); }));
  if (!c.core_hertz.empty()) {
    out += fmt::format("  core clock under load:    {}\n",
                       per_team([&](int t) { return c.clock_hertz(t); },
                                [](double v) { return fmt::format("{:.3g} GHz", v / 1e9); }));
  }
  if (!c.latency_cycles.empty()) {
    std::string s;
    for (const auto& [kernel, cycles] : c.latency_cycles) {
      s += fmt::format("{}{} {:.2f}", s.empty() ? "" : ", ", kernel, cycles);
    }
    out += fmt::format("  latencies (cycles):       {}\n", s);
  }
  return out;
}

}  // namespace ks::driver
