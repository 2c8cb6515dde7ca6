// The report pages, the files a reader opens first: report.md and report.html, written after
// every other format so that report.md links the plots that were drawn.
#include "driver/report/exporters.h"
#include "driver/report/html_export.h"
#include "driver/report/markdown_export.h"

namespace ks::driver {

Exported write_report(const std::string& dir, const ResultSet& results, const Exports& earlier) {
  Exported report;
  report.write(dir, "report.md", report_markdown(results, earlier.of("plots")));
  report.write(dir, "report.html", html_report(results));
  return report;
}

}  // namespace ks::driver
