// The CSV format: runs.csv (every run) and summary.csv (one row per configuration).
#pragma once

#include <string>
#include <vector>

#include "driver/report/exporters.h"

namespace ks::driver {

std::string csv_field(const std::string& text);
std::string runs_csv(const std::vector<Config>& configs, const std::vector<RunRecord>& runs);
// runs.csv written piece by piece into `sink`, one run at a time.
void runs_csv(const std::vector<Config>& configs, const RunSource& runs, const TextSink& sink);
std::string summary_csv(const std::vector<Config>& configs, const std::vector<SummaryRow>& rows);

}  // namespace ks::driver
