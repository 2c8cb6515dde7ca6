#include "driver/commands.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <fmt/format.h>

namespace ks::driver {
namespace {

// A plain number within bounds: "nan", "inf" and numbers out of range are refused, whatever a
// comparison with NaN would let through.
std::string number_problem(const std::string& text, double low, bool low_open, double high,
                           std::string_view what) {
  const char* begin = text.c_str();
  char* end = nullptr;
  const double value = std::strtod(begin, &end);
  const bool number = end != begin && *end == '\0' && std::isfinite(value);
  if (number && (low_open ? value > low : value >= low) && value <= high) {
    return "";
  }
  return fmt::format("'{}' is not {}", text, what);
}

}  // namespace

void add_bin_option(CLI::App& app, Common& common) {
  app.add_option("--bin", common.bin_dir,
                 "folder of the suite's programs (default: $KERNELSCOPE_BIN, else the folder "
                 "kernelscope is in)")
      ->type_name("DIR")
      ->default_str(common.bin_dir);
}

void add_timeout_option(CLI::App& app, Common& common) {
  app.add_option("--timeout", common.timeout,
                 fmt::format("seconds a run may take before it is killed (above 0, at most {:g})",
                             kMaxTimeout))
      ->type_name("SECONDS")
      ->check(CLI::Validator(
          [](std::string& text) {
            return number_problem(
                text, 0, true, kMaxTimeout,
                fmt::format("a number of seconds above 0 and at most {:g}, a day", kMaxTimeout));
          },
          ""))
      ->default_str(fmt::format("{:g}", common.timeout));
}

CLI::Validator number_between(double low, double high, std::string what) {
  return CLI::Validator(
      [low, high, what](std::string& text) { return number_problem(text, low, false, high, what); },
      "");
}

std::string help_pointer(std::string_view subcommand) {
  return subcommand.empty() || subcommand == "help"
             ? "(kernelscope help)"
             : fmt::format("(kernelscope help {})", subcommand);
}

void error_line(const std::string& what) {
  std::fprintf(stderr, "kernelscope: %s\n", what.c_str());
}

bool built(const Common& common, std::string_view name) {
  return access((common.bin_dir + "/" + std::string(name)).c_str(), X_OK) == 0;
}

std::string missing_message(const Common& common, std::string_view name) {
  return fmt::format("{} is in the catalogue but missing from the build (no executable {}/{})",
                     name, common.bin_dir, name);
}

bool report_bad_runs(const ResultSet& results) {
  int bad = 0;
  for (const RunRecord& r : results.runs) {
    if (r.outcome == Outcome::kValid) {
      continue;
    }
    if (++bad <= 8) {
      error_line(fmt::format("{} run of {}: {}", outcome_name(r.outcome),
                             results.configs[r.config].label(), r.why));
    }
  }
  if (bad > 8) {
    error_line(fmt::format("... {} runs in all were not valid (see runs.csv)", bad));
  }
  return bad > 0;
}

}  // namespace ks::driver
