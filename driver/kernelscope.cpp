// kernelscope: the suite's measurement driver.
//
//   kernelscope list                      the catalogue of programs
//   kernelscope sweep PROGRAM... [opts]   repeated, interleaved, validated runs; CSV, JSON,
//                                         Markdown and plots in a folder
//   kernelscope map PROGRAM [-- ARGS]     which thread ran which iteration of a demonstration
//   kernelscope tour                      every family at sizes that finish in minutes
//   kernelscope probe [--reprobe]         this machine's ceilings (measured once, cached)
//
// Exit status: 0 when every run was valid, 1 when a run was invalid, crashed, failed or timed
// out (or a program is missing from the build during a tour, or an output file could not be
// written), 2 for bad input.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include <CLI/CLI.hpp>

#include "common/output_check.h"
#include "driver/commands.h"
#include "driver/errors.h"

namespace {

using namespace ks::driver;

std::string default_bin_dir() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : self.parent_path().string();
}

// Tables and lines that could not be written are a failure, not a success: checked as the
// process ends. A closed pipe shows up here as a failed write (SIGPIPE is ignored; the
// programs run with its default action).
void check_standard_output() {
  ks::report_output_errors("kernelscope: cannot write standard output", "write error", kRunsFailed);
}

// The options every subcommand takes: where the programs are and how long a run may take.
void setup_common(CLI::App& app, Common& common) {
  app.require_subcommand(1);
  app.fallthrough();  // --bin and --timeout also after the subcommand
  common.bin_dir = default_bin_dir();
  app.add_option("--bin", common.bin_dir, "folder of the suite's programs")
      ->envname("KERNELSCOPE_BIN");
  app.add_option("--timeout", common.timeout, "seconds a run may take before it is killed")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--ceilings", common.ceilings_file,
                 "the machine's ceilings from this ks-probe output, not the cache or a probe")
      ->envname("KERNELSCOPE_CEILINGS");
  app.add_flag("--no-probe", common.no_probe,
               "no ceilings and no model: never run the probe before a sweep or tour");
  app.add_flag("--reprobe", common.reprobe, "measure the ceilings again, even if cached");
  app.add_flag("--no-events", common.no_events,
               "count no performance events (the kernel's accounting of each run stays)");
  app.footer(
      "Exit status: 0 when every run was valid; 1 when a run printed a wrong value, crashed, "
      "failed or timed out (or, in a tour, a program is missing from the build); 2 for bad "
      "input.");
}

// The status when the command line cannot be parsed or asks for help; none when it can.
std::optional<int> parse(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    error_line(std::string(e.what()) + " (kernelscope --help)");
    return kBadInput;
  }
  return std::nullopt;
}

int run_chosen(const std::vector<Subcommand>& subcommands) {
  try {
    for (const Subcommand& s : subcommands) {
      if (s.app->parsed()) {
        return s.run();
      }
    }
  } catch (const UsageError& e) {
    error_line(e.what());
    return kBadInput;
  } catch (const std::exception& e) {
    // An output that cannot be written (WriteError) or any other failure once the input was
    // accepted: the run failed.
    error_line(e.what());
    return kRunsFailed;
  }
  return kBadInput;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::atexit(check_standard_output);
  CLI::App app{
      "kernelscope: runs the suite's programs, checks what they print, measures and "
      "plots"};
  Common common;
  common.command.assign(argv, argv + argc);
  setup_common(app, common);
  const std::vector<Subcommand> subcommands = {setup_list(app, common), setup_sweep(app, common),
                                               setup_map(app, common), setup_tour(app, common),
                                               setup_probe(app, common)};
  if (const std::optional<int> status = parse(app, argc, argv)) {
    return *status;
  }
  return run_chosen(subcommands);
}
