// The JSON format: results.json, the command line, the machine context, every run and the
// summary in one document.
#pragma once

#include <nlohmann/json.hpp>

#include "driver/exporters.h"

namespace ks::driver {

nlohmann::json results_json(const ResultSet& results);

}  // namespace ks::driver
