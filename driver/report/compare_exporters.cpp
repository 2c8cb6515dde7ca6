// compare's formats, one row each: the plot of the ratios, compare.md, report.html,
// compare.csv and compare.json.
#include "driver/report/compare_report.h"
#include "driver/report/html_export.h"

namespace ks::driver {
namespace {

Exported write_plot(const std::string& dir, const ComparedSides& c, const Exports&) {
  return write_compare_plot(dir, c.base, c.fresh, c.result);
}

Exported write_markdown(const std::string& dir, const ComparedSides& c, const Exports& earlier) {
  Exported e;
  e.write(dir, "compare.md", compare_markdown(c.base, c.fresh, c.result, earlier.of("plots")));
  return e;
}

Exported write_html(const std::string& dir, const ComparedSides& c, const Exports&) {
  Exported e;
  e.write(dir, "report.html", compare_html(c.base, c.fresh, c.result));
  return e;
}

Exported write_csv(const std::string& dir, const ComparedSides& c, const Exports&) {
  Exported e;
  e.write(dir, "compare.csv", compare_csv(c.base, c.fresh, c.result));
  return e;
}

Exported write_json(const std::string& dir, const ComparedSides& c, const Exports&) {
  Exported e;
  e.write(dir, "compare.json",
          compare_json(c.base, c.fresh, c.result)
                  .dump(2, ' ', false, nlohmann::json::error_handler_t::replace) +
              "\n");
  return e;
}

constexpr ExporterOf<ComparedSides> kCompareExporters[] = {
    {"plots", write_plot}, {"markdown", write_markdown}, {"html", write_html},
    {"csv", write_csv},    {"json", write_json},
};

}  // namespace

std::span<const ExporterOf<ComparedSides>> compare_exporters() {
  return kCompareExporters;
}

}  // namespace ks::driver
