// kernelscope compare BASE NEW [--threshold P%] [--out DIR]: two stores side by side, every
// configuration in both judged as faster, slower or unchanged; the status says whether any is
// slower beyond the threshold.
#include <cstdio>
#include <memory>
#include <optional>

#include "driver/app/commands.h"
#include "driver/base/files.h"
#include "driver/report/compare_report.h"

namespace ks::driver {
namespace {

struct CompareOptions {
  std::string base;
  std::string fresh;
  std::string threshold;  // empty: the status does not depend on the verdicts
  std::string min_effect = "2%";
  std::string out = "kernelscope-compare";
  bool no_plots = false;
};

int run_compare(const CompareOptions& options) {
  std::optional<double> threshold;
  if (!options.threshold.empty()) {
    threshold = parse_threshold(options.threshold);
  }
  const double min_effect = parse_percent(options.min_effect, "--min-effect",
                                          "the least change in the median worth a verdict");
  const CompareSide base = read_side(options.base);
  const CompareSide fresh = read_side(options.fresh);
  prepare_output_dir(options.out);
  const CompareResult result = compare_results(base.results, fresh.results, threshold, min_effect);
  const Exports exports = export_with(
      compare_exporters(), options.out, ComparedSides{base, fresh, result},
      options.no_plots ? std::vector<std::string_view>{"plots"} : std::vector<std::string_view>{});
  std::fputs(compare_text(base, fresh, result).c_str(), stdout);
  if (const std::string& notice = exports.of("plots").notice; !notice.empty()) {
    error_line(notice);
  }
  const std::vector<std::string> failed = exports.failed();
  for (const std::string& f : failed) {
    error_line(f);
  }
  if (!exports.of("markdown").files.empty()) {
    std::printf("comparison in %s/compare.md\n", options.out.c_str());
  }
  if (!failed.empty()) {
    return kRunsFailed;
  }
  return result.regressed ? kRunsFailed : 0;
}

}  // namespace

Subcommand setup_compare(CLI::App& app, Common&) {
  auto o = std::make_shared<CompareOptions>();
  auto* compare = app.add_subcommand(
      "compare", "two stores side by side: which configurations got faster or slower");
  compare
      ->add_option("base", o->base,
                   "the base: an output folder of sweep or tour, or its "
                   "results.db")
      ->required();
  compare->add_option("new", o->fresh, "the new one, the same way")->required();
  compare->add_option("--threshold", o->threshold,
                      "percent: status 1 when a configuration is slower by more than this with "
                      "confidence (5% or 5)");
  compare
      ->add_option("--min-effect", o->min_effect,
                   "percent: a significant change of the median smaller than this is no "
                   "practical change")
      ->default_val(o->min_effect);
  compare->add_option("--out", o->out, "output folder")->default_val(o->out);
  compare->add_flag("--no-plots", o->no_plots, "draw no plot");
  compare->footer(
      "Exit status: 0, or 1 when --threshold is given and a configuration is significantly "
      "slower by more than it (or an output could not be written); 2 for bad input.");
  return {compare, [o] { return run_compare(*o); }};
}

}  // namespace ks::driver
