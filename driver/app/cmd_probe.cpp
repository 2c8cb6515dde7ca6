// kernelscope probe [--reprobe] [--quick]: this machine's ceilings, measured once by ks-probe
// and kept in a per-user cache (ceilings.h); and the ceilings a sweep or a tour uses for its
// model, found the same way before it measures.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include <fmt/format.h>

#include "driver/app/commands.h"
#include "driver/base/files.h"
#include "driver/run/run_counters.h"
#include "driver/session/probe_runner.h"

namespace ks::driver {
namespace {

struct ProbeOptions {
  bool quick = false;
};

std::string probe_path(const Common& common) {
  return common.bin_dir + "/" + std::string(kProbeProgram);
}

std::string probe_missing(const Common& common) {
  return fmt::format("{} is missing from the build (no executable {})", kProbeProgram,
                     probe_path(common));
}

// Measures now and, unless it was a quick probe, keeps the figures in the cache.
KnownCeilings probe_now(const Common& common, bool quick) {
  ProbeRun run;
  run.path = probe_path(common);
  if (quick) {
    run.args = {"--quick"};
  }
  run.timeout_seconds = std::max(common.timeout, 600.0);
  run.on_progress = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
  KnownCeilings known = run_probe(run);
  const std::string dir = default_cache_dir();
  if (!quick && !dir.empty()) {
    try {
      known.path =
          save_cached_ceilings(dir, this_machine_key(), known.ceilings.probe, known.probed_at);
    } catch (const WriteError& e) {
      error_line(std::string(e.what()) + " (the ceilings are not cached)");
    }
  }
  return known;
}

KnownCeilings file_ceilings(const Common& common) {
  try {
    return read_ceilings_file(common.ceilings_file);
  } catch (const CeilingsError& e) {
    throw UsageError(fmt::format("--ceilings: {}", e.what()));
  }
}

int run_probe_command(const Common& common, const ProbeOptions& options) {
  std::optional<KnownCeilings> known;
  if (!common.ceilings_file.empty()) {
    known = file_ceilings(common);
  } else if (!common.reprobe && !options.quick) {
    known = load_cached_ceilings(default_cache_dir(), this_machine_key());
  }
  if (!known) {
    if (!built(common, kProbeProgram)) {
      throw UsageError(probe_missing(common));
    }
    try {
      known = probe_now(common, options.quick);
    } catch (const ProbeError& e) {
      error_line(e.what());
      return kRunsFailed;
    }
  }
  const Ceilings& c = known->ceilings;
  std::printf("Ceilings of %s (%s)%s%s:\n%s", c.key.host.c_str(), c.key.cpu_model.c_str(),
              known->probed_at.empty() ? "" : (", measured " + known->probed_at).c_str(),
              c.quick ? ", a quick probe: rough figures" : "", ceilings_text(c).c_str());
  if (known->source == "cache") {
    std::printf("From the cache, %s (kernelscope probe --reprobe measures again)\n",
                known->path.c_str());
  } else if (known->source == "file") {
    std::printf("From %s\n", known->path.c_str());
  } else if (!known->path.empty()) {
    std::printf("Cached in %s for the sweeps and tours of this machine\n", known->path.c_str());
  } else {
    std::printf("Not cached%s\n", options.quick ? " (a quick probe)" : "");
  }
  return 0;
}

}  // namespace

std::optional<KnownCeilings> ceilings_for_measuring(const Common& common) {
  if (common.no_probe) {
    return std::nullopt;
  }
  if (!common.ceilings_file.empty()) {
    return file_ceilings(common);
  }
  if (!common.reprobe) {
    if (auto cached = load_cached_ceilings(default_cache_dir(), this_machine_key())) {
      return cached;
    }
  }
  if (!built(common, kProbeProgram)) {
    error_line(fmt::format("no ceilings, so no model: {}", probe_missing(common)));
    return std::nullopt;
  }
  error_line(
      "measuring this machine's ceilings first (about half a minute, once: they are cached; "
      "--no-probe skips them)");
  try {
    return probe_now(common, false);
  } catch (const ProbeError& e) {
    error_line(fmt::format("no ceilings, so no model: {}", e.what()));
    return std::nullopt;
  }
}

std::optional<KnownCeilings> ceilings_known(const Common& common) {
  if (common.no_probe || common.reprobe) {
    return std::nullopt;
  }
  if (!common.ceilings_file.empty()) {
    try {
      return file_ceilings(common);
    } catch (const std::exception&) {
      return std::nullopt;  // the real run says what is wrong with the file
    }
  }
  return load_cached_ceilings(default_cache_dir(), this_machine_key());
}

std::string events_notice(const Common& common) {
  return common.no_events ? std::string() : counters_notice(ks::event_support());
}

Subcommand setup_probe(CLI::App& app, Common& common) {
  auto o = std::make_shared<ProbeOptions>();
  auto* probe = app.add_subcommand(
      "probe", "this machine's ceilings: bandwidth, first touch, compute, OpenMP (cached)");
  probe->add_flag("--quick", o->quick, "a smoke test of a second or two (not cached)");
  add_bin_option(*probe, common);
  return {probe, [&common, o] { return run_probe_command(common, *o); }};
}

}  // namespace ks::driver
