// kernelscope: the suite's measurement driver.
//
//   kernelscope list                      the catalogue of programs
//   kernelscope sweep PROGRAM... [opts]   repeated, interleaved, validated runs; CSV, JSON,
//                                         Markdown and plots in a folder
//   kernelscope map PROGRAM [-- ARGS]     which thread ran which iteration of a demonstration
//   kernelscope tour                      every family at sizes that finish in minutes
//   kernelscope report DIR                a folder's files rendered again from its store
//   kernelscope status DIR                the tasks of a folder's Slurm job (sweep/tour --slurm)
//   kernelscope resume DIR                the runs a Slurm job left missing, submitted again
//   kernelscope help [SUBCOMMAND]         the options of one subcommand, global ones included
//   kernelscope compare BASE NEW          two stores side by side: faster, slower, unchanged
//   kernelscope probe [--reprobe]         this machine's ceilings (measured once, cached)
//
// Exit status: 0 when every run was valid, 1 when a run was invalid, crashed, failed or timed
// out (or a program is missing from the build during a tour, or an output file could not be
// written), 2 for bad input, 128 + the signal when SIGINT, SIGTERM or SIGHUP interrupted it.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "common/output_check.h"
#include "driver/app/commands.h"
#include "driver/base/build_info.h"
#include "driver/base/errors.h"
#include "driver/base/text.h"

namespace {

using namespace ks::driver;

// The programs' folder: $KERNELSCOPE_BIN when set, else the folder kernelscope itself is in.
std::string default_bin_dir() {
  if (const char* env = std::getenv("KERNELSCOPE_BIN"); env != nullptr && *env != '\0') {
    return env;
  }
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

const char* const kFooter =
    "Exit status: 0 when every run was valid; 1 when a run printed a wrong value, crashed,\n"
    "failed or timed out (or, in a tour, a program is missing from the build), or an output\n"
    "could not be written; 2 for bad input; 130, 143, 129 when interrupted by SIGINT, SIGTERM,\n"
    "SIGHUP.";

// The options given before the subcommand, and the version.
void setup_common(CLI::App& app, Common& common) {
  app.fallthrough();             // the common options also after the subcommand
  app.require_subcommand(0, 1);  // a word after the subcommand is its argument, never a second one
  common.bin_dir = default_bin_dir();
  add_bin_option(app, common);
  add_timeout_option(app, common);
  add_model_options(app, common);
  app.set_version_flag(
      "--version", fmt::format("kernelscope {} (revision {})", build_version(), build_revision()),
      "the version and the source revision of this build");
  app.footer(std::string("kernelscope help SUBCOMMAND shows its options, these included.\n") +
             kFooter);
}

std::string names(const std::vector<Subcommand>& subcommands) {
  std::string out;
  for (const Subcommand& s : subcommands) {
    if (!s.app->get_group().empty()) {  // the hidden ones (a Slurm task's) are not named
      out += (out.empty() ? "" : ", ") + s.app->get_name();
    }
  }
  return out;
}

// `kernelscope help [SUBCOMMAND]`: the help of the driver or of one subcommand, as --help
// gives it.
Subcommand setup_help(CLI::App& app, const std::vector<Subcommand>& subcommands) {
  auto topic = std::make_shared<std::string>();
  auto* help = app.add_subcommand("help", "the help of kernelscope, or of one subcommand");
  help->fallthrough(false);  // "help sweep" names the sweep, it does not start one
  help->add_option("SUBCOMMAND", *topic, "a subcommand: " + names(subcommands));
  // The formatter itself, not App::help, which would show the help of the subcommand chosen
  // (help itself).
  auto show = [](const CLI::App* a, const std::string& usage) {
    std::fputs(a->get_formatter()->make_help(a, usage, CLI::AppFormatMode::Normal).c_str(), stdout);
    return 0;
  };
  return {help, [&app, help, topic, &subcommands, show] {
            if (topic->empty()) {
              return show(&app, app.get_name());
            }
            for (const Subcommand& s : subcommands) {
              if (s.app->get_name() == *topic) {
                return show(s.app, app.get_name() + " " + *topic);
              }
            }
            if (*topic == help->get_name()) {
              return show(help, app.get_name() + " " + *topic);
            }
            throw UsageError(fmt::format("unknown subcommand '{}': the subcommands are {}", *topic,
                                         names(subcommands)));
          }};
}

// The subcommand the command line entered (even when it then failed to parse), or null.
const Subcommand* entered(const std::vector<Subcommand>& subcommands) {
  for (const Subcommand& s : subcommands) {
    if (s.app->parsed()) {
      return &s;
    }
  }
  return nullptr;
}

// The long and short names an option of `app` is given by ("--sizes", "-h"), the common ones
// of its parent included.
std::vector<std::string> option_names(const CLI::App& app) {
  std::vector<std::string> out;
  for (const CLI::App* a = &app; a != nullptr; a = a->get_parent()) {
    for (const CLI::Option* o : a->get_options()) {
      for (const std::string& n : o->get_lnames()) {
        out.push_back("--" + n);
      }
      for (const std::string& n : o->get_snames()) {
        out.push_back("-" + n);
      }
    }
  }
  return out;
}

// An error of the command line in words that name what was wrong.
std::string parse_problem(const CLI::App& app, const Subcommand* sub,
                          const std::vector<Subcommand>& subcommands, const CLI::ParseError& e) {
  if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr) {
    std::vector<std::string> extras = sub != nullptr ? sub->app->remaining() : app.remaining();
    if (extras.empty()) {
      extras = app.remaining();
    }
    const std::string first = extras.empty() ? std::string("?") : extras.front();
    if (first.size() > 1 && first[0] == '-') {
      // "--size=1M" is the option --size given a value.
      const std::string hint = did_you_mean(first.substr(0, first.find('=')),
                                            option_names(sub != nullptr ? *sub->app : app));
      return sub != nullptr
                 ? fmt::format("unknown option '{}' for {}{}", first, sub->app->get_name(), hint)
                 : fmt::format("unknown option '{}'{}", first, hint);
    }
    if (sub == nullptr) {
      std::vector<std::string> known;
      for (const Subcommand& s : subcommands) {
        known.push_back(s.app->get_name());
      }
      return fmt::format("unknown subcommand '{}'{}: the subcommands are {}", first,
                         did_you_mean(first, known), names(subcommands));
    }
    return fmt::format("unexpected argument '{}' for {}", first, sub->app->get_name());
  }
  return e.what();
}

// The status when the command line cannot be parsed or asks for help; none when it can.
std::optional<int> parse(CLI::App& app, const std::vector<Subcommand>& subcommands, int argc,
                         char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    const Subcommand* sub = entered(subcommands);
    error_line(parse_problem(app, sub, subcommands, e) + " " +
               help_pointer(sub != nullptr ? sub->app->get_name() : ""));
    return kBadInput;
  }
  if (entered(subcommands) == nullptr) {
    error_line(
        fmt::format("a subcommand is required: {} {}", names(subcommands), help_pointer("")));
    return kBadInput;
  }
  return std::nullopt;
}

int run_chosen(const std::vector<Subcommand>& subcommands) {
  const Subcommand* chosen = entered(subcommands);
  try {
    return chosen->run();
  } catch (const UsageError& e) {
    error_line(std::string(e.what()) + " " + help_pointer(chosen->app->get_name()));
    return kBadInput;
  } catch (const std::exception& e) {
    // An output that cannot be written (WriteError) or any other failure once the input was
    // accepted: the run failed.
    error_line(e.what());
    return kRunsFailed;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::atexit(check_standard_output);
  CLI::App app{
      "kernelscope: runs the suite's programs, checks what they print, measures and "
      "plots",
      "kernelscope"};
  Common common;
  common.command.assign(argv, argv + argc);
  setup_common(app, common);
  std::vector<Subcommand> subcommands = {
      setup_list(app, common),   setup_sweep(app, common),   setup_map(app, common),
      setup_tour(app, common),   setup_report(app, common),  setup_compare(app, common),
      setup_probe(app, common),  setup_explain(app, common), setup_status(app, common),
      setup_resume(app, common), setup_task(app, common)};
  subcommands.push_back(setup_help(app, subcommands));
  for (const Subcommand& s : subcommands) {
    s.app->footer(kFooter);
  }
  if (const std::optional<int> status = parse(app, subcommands, argc, argv)) {
    return *status;
  }
  return run_chosen(subcommands);
}
